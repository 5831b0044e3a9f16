// Replacing a file: the temporary file, and putting it in place. Every step that creates, moves
// or removes names runs between Flight::Enter and Leave and allocates nothing there, so that
// the clean-up at the process's end (AbandonAll) finds each name either ours or not.
#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_EXCHANGE, RENAME_NOREPLACE
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "files/flight.h"
#include "files/replace.h"

namespace glyphary::files {
namespace {

// Overwrites the last `count` characters of `name` with random letters and digits; O_EXCL
// settles the rare clash.
void Randomize(std::string& name, size_t count) noexcept {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char* const letters = name.data() + name.size() - count;
    if (getrandom(letters, count, GRND_NONBLOCK) != static_cast<ssize_t>(count)) {
        static thread_local unsigned counter = 0;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned long long r = static_cast<unsigned long long>(now.tv_nsec) * 2654435761u ^
                               static_cast<unsigned long long>(getpid()) << 20 ^ ++counter;
        for (size_t i = 0; i < count; ++i) letters[i] = static_cast<char>(r >> 8), r *= 6364136223u;
    }
    for (size_t i = 0; i < count; ++i)
        letters[i] = kLetters[static_cast<unsigned char>(letters[i]) % (sizeof kLetters - 1)];
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool SameFileAndChangeTime(const struct stat& a, const struct stat& b) {
    return SameFile(a, b) && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

Status KindOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return {Fault::directory};
    if (!S_ISREG(st.st_mode)) return {Fault::irregular};
    return {};
}

// Whether renameat2 failed for want of the flag on this file system or kernel.
bool Unsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Moves `from` to `to` in `dir` unless `to` is taken. False, with errno, when it is not moved.
bool MoveNoReplace(int dir, const char* from, const char* to) {
    if (renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return true;
    if (!Unsupported(errno)) return false;
    // No such rename here: a second name (refused when taken), then the first goes.
    if (linkat(dir, from, dir, to, 0) != 0) return false;
    unlinkat(dir, from, 0);
    return true;
}

bool PlainName(const std::string& name) {
    return name.empty() || (name.find('/') == std::string::npos && name != "." && name != "..");
}

}  // namespace

Replacement::Replacement(Leftovers& leftovers, std::string label)
    : m_leftovers(leftovers), m_flight(std::make_unique<detail::Flight>(std::move(label))) {}

Replacement::~Replacement() {
    if (m_flight->temp.empty()) return;
    // Removed while still locked (m_temp is closed after this), so that no other run sees it
    // unlocked and takes it for a leftover.
    m_flight->Enter();
    unlinkat(m_flight->dir, m_flight->temp.c_str(), 0);
    m_flight->temp.clear();
    m_flight->Leave();
}

Status Replacement::Target(const std::string& path, mode_t mode) {
    if (const Status s = Locate(path, m_place); !s.ok()) return s;
    m_mode = mode;
    if (fstatat(m_place.dir.get(), m_place.name.c_str(), &m_found, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(m_found.st_mode)) return {Fault::irregular};
        m_existed = true;
        return {};
    }
    const int error = errno;
    m_found = {};
    if (error != ENOENT) return {Fault::open, error};
    return {};
}

Status Replacement::Open(const std::string& path) {
    if (const Status s = Locate(path, m_place); !s.ok()) return s;
    const int dir = m_place.dir.get();
    const char* name = m_place.name.c_str();
    // Looked at before it is opened, so that opening a device or a FIFO has no effect; opened
    // without waiting, in case one took the file's place in between.
    struct stat st {};
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {Fault::open, errno};
    if (const Status s = KindOf(st); !s.ok()) return s;
    m_original.reset(openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!m_original || fstat(m_original.get(), &m_found) != 0) return {Fault::open, errno};
    if (const Status s = KindOf(m_found); !s.ok()) return s;
    m_existed = m_checked = true;
    return {};
}

bool Replacement::Unchanged() const {
    struct stat now {};
    return m_original && fstat(m_original.get(), &now) == 0 && SameFileAndChangeTime(now, m_found);
}

Status Replacement::Create() {
    if (m_temp || !m_place.dir) return {Fault::create, EINVAL};
    m_leftovers.RemoveFor(m_place);
    const size_t letters = m_leftovers.naming().letters;
    std::string name = m_leftovers.naming().PrefixFor(m_place.name);
    name.append(letters, 'A');
    std::string listed = name;
    // A file replaced gives the result its permissions once the result is complete; a new one
    // gets the mode less the umask from the kernel itself.
    const mode_t mode = m_existed ? 0600 : m_mode;
    for (int attempt = 0;; ++attempt) {
        Randomize(name, letters);
        listed.replace(listed.size() - letters, letters, name, name.size() - letters);
        m_flight->Enter();
        const int fd = openat(m_place.dir.get(), name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        const int error = errno;
        if (fd >= 0) {
            flock(fd, LOCK_EX | LOCK_NB);  // while it lives: no other run takes it for a leftover
            m_flight->dir = m_place.dir.get();
            m_flight->temp.swap(listed);
        }
        m_flight->Leave();
        if (fd >= 0) {
            m_temp.reset(fd);
            m_tempName = std::move(name);
            return {};
        }
        if (error != EEXIST || attempt == 100) return {Fault::create, error};
    }
}

Status Replacement::Write(std::string_view bytes) {
    if (!WriteAll(m_temp.get(), bytes)) return {Fault::write, errno};
    return {};
}

Status Replacement::Commit(const CommitOptions& options) {
    const bool backup = !options.backup.empty(), move = !options.renameTo.empty();
    if (!m_temp || ((backup || move) && !m_checked) || (backup && move) ||
        !PlainName(options.backup) || !PlainName(options.renameTo))
        return {Fault::replace, EINVAL};
    const int fd = m_temp.get();
    if (m_existed) {
        // Keeping the owner needs privileges; without them the file is ours, as any editor's.
        // The owner first: changing it may clear set-user-ID bits, which the mode then restores.
        if (fchown(fd, m_found.st_uid, m_found.st_gid) != 0 && errno != EPERM)
            return {Fault::write, errno};
        if (fchmod(fd, m_found.st_mode & 07777) != 0) return {Fault::write, errno};
    }
    if (fsync(fd) != 0 || fstat(fd, &m_written) != 0) return {Fault::write, errno};
    // A spare name for the backup where no exchange is possible, made before the step.
    std::string spare;
    if (backup) {
        spare = m_leftovers.naming().PrefixFor(m_place.name);
        spare.append(m_leftovers.naming().letters, 'A');
    }

    m_flight->Enter();
    const Status status = m_checked ? Swap(options, spare) : Rename();
    if (status.ok()) m_flight->finished = true;
    m_flight->Leave();
    // The rename reaches the disk with its directory; nothing to undo if it cannot.
    if (status.ok()) fsync(m_place.dir.get());
    return status;
}

Status Replacement::Rename() {
    const int dir = m_place.dir.get();
    if (renameat(dir, m_tempName.c_str(), dir, m_place.name.c_str()) != 0)
        return {Fault::replace, errno};
    m_flight->temp.clear();
    return {};
}

// Where the file system can exchange two names, the file swapped out is checked again and
// swapped back if it is not the one read: a change can then slip in only through a descriptor
// opened before the swap. Elsewhere a change or a move between the check and the rename, a
// window of a few system calls, is lost.
Status Replacement::Swap(const CommitOptions& options, std::string& spare) {
    const int dir = m_place.dir.get();
    const char* name = m_place.name.c_str();
    const char* temp = m_tempName.c_str();
    struct stat now {};
    if (fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Status{Fault::changed} : Status{Fault::replace, errno};
    if (!SameFileAndChangeTime(now, m_found)) return {Fault::changed};
    const char* moveTo = options.renameTo.empty() ? nullptr : options.renameTo.c_str();
    if (moveTo && fstatat(dir, moveTo, &now, AT_SYMLINK_NOFOLLOW) == 0)
        return {Fault::replace, EEXIST};
    // While the original lies under the temporary name, a run that takes leftovers for its
    // own cannot lock it.
    flock(m_original.get(), LOCK_EX | LOCK_NB);

    if (renameat2(dir, temp, dir, name, RENAME_EXCHANGE) == 0) {
        // The exchange changed the change time of both files: it cannot be compared any more.
        struct stat out {};
        if (fstatat(dir, temp, &out, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(out, m_found))
            return SwapBack({Fault::changed});
        if (moveTo && !MoveNoReplace(dir, name, moveTo)) return SwapBack({Fault::replace, errno});
        if (!options.backup.empty()) {
            if (renameat(dir, temp, dir, options.backup.c_str()) != 0)
                return SwapBack({Fault::replace, errno});
        } else {
            unlinkat(dir, temp, 0);
        }
        m_flight->temp.clear();
        return {};
    }
    if (errno == ENOENT) {
        // The temporary file is there (or a leftover hunt took it): the file went.
        struct stat st {};
        if (fstatat(dir, temp, &st, AT_SYMLINK_NOFOLLOW) == 0) return {Fault::changed};
        return {Fault::replace, ENOENT};
    }
    if (!Unsupported(errno)) return {Fault::replace, errno};

    // No exchange on this file system: check, then rename.
    if (!options.backup.empty() && !LinkAs(spare, options.backup)) return {Fault::replace, errno};
    if (moveTo) {
        if (!MoveNoReplace(dir, temp, moveTo)) return {Fault::replace, errno};
        m_flight->temp.clear();
        unlinkat(dir, name, 0);  // the original, unless someone removed it meanwhile
        return {};
    }
    if (renameat(dir, temp, dir, name) != 0) return {Fault::replace, errno};
    m_flight->temp.clear();
    return {};
}

Status Replacement::SwapBack(Status why) {
    const int dir = m_place.dir.get();
    if (renameat2(dir, m_tempName.c_str(), dir, m_place.name.c_str(), RENAME_EXCHANGE) == 0)
        return why;
    m_flight->temp.clear();  // it holds what someone else wrote: not ours to remove
    return {Fault::stranded};
}

// Gives the file a second name, `as`, replacing any file of that name: no link can replace a
// name, so the link is made under `spare` (a name of our own, randomized here) and renamed.
bool Replacement::LinkAs(std::string& spare, const std::string& as) {
    const int dir = m_place.dir.get();
    for (int attempt = 0;; ++attempt) {
        Randomize(spare, m_leftovers.naming().letters);
        if (linkat(dir, m_place.name.c_str(), dir, spare.c_str(), 0) == 0) {
            if (renameat(dir, spare.c_str(), dir, as.c_str()) == 0) return true;
            const int error = errno;
            unlinkat(dir, spare.c_str(), 0);
            errno = error;
            return false;
        }
        if (errno != EEXIST || attempt == 100) return false;
    }
}

}  // namespace glyphary::files
