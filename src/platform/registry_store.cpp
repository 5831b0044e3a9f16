// The registry file on disk (see registry_store.h).
#include "platform/registry_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace glyphary::platform::registry {

// ---------------------------------------------------------------------------------------------
// Reasons

namespace {

thread_local std::string t_failure;
thread_local unsigned t_failures = 0;

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

}  // namespace

LSTATUS Fail(LSTATUS status, std::string why) noexcept {
    t_failure = std::move(why);
    ++t_failures;
    return status;
}

const std::string& LastFailure() noexcept {
    return t_failure;
}

void ClearFailure() noexcept {
    t_failure.clear();
}

unsigned FailureCount() noexcept {
    return t_failures;
}

// ---------------------------------------------------------------------------------------------
// Files

namespace {

// Closes a file descriptor on every path out.
class Fd {
  public:
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(-1); }
    void reset(int fd) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd;
};

bool ReadAll(int fd, std::string& out) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > kMaxFileSize) return false;
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string DirectoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

std::string NameOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

// Creates `dir` and its missing parents (private to the user, as XDG asks).
bool MakeDirectories(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const std::string parent = DirectoryOf(dir);
    if (parent != dir && !MakeDirectories(parent)) return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Where the symbolic links of `file` lead (a relative link counts from its own directory);
// `file` itself when it is no link. A link to nowhere yet leads to the file it names, which a
// write then creates. False, with errno, for a loop.
bool FollowLinks(const std::string& file, std::string& target) {
    std::string path = file;
    for (int links = 0; links <= 40; ++links) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        char buffer[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == static_cast<ssize_t>(sizeof buffer)) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string to(buffer, static_cast<size_t>(n));
        path = to.starts_with('/') ? to : DirectoryOf(path) + "/" + to;
    }
    errno = ELOOP;
    return false;
}

// Eight hex digits that no other writer is likely to pick; O_EXCL settles the rare clash.
std::string RandomSuffix() {
    static thread_local unsigned counter = 0;
    uint32_t r;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        r = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(now.tv_nsec) ^
            ++counter;
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", r);
    return text;
}

bool IsTemporaryName(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + 8 || !name.starts_with(prefix)) return false;
    for (char c : name.substr(prefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Temporary files that killed writers left beside the registry. Only the holder of the lock
// writes one, so under the lock every one of them is stale.
void RemoveStaleTemporaries(const std::string& dir, const std::string& prefix) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (const dirent* entry = readdir(d)) {
        if (IsTemporaryName(entry->d_name, prefix)) unlinkat(dirfd(d), entry->d_name, 0);
    }
    closedir(d);
}

}  // namespace

std::optional<std::string> Location() {
    if (const char* file = std::getenv("GLYPHARY_REGISTRY"); file && *file) return file;
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : nullptr;
        }
        if (!home || !*home) {
            Fail(ERROR_CANTREAD,
                 "there is no home directory to keep the registry in: set GLYPHARY_REGISTRY");
            return std::nullopt;
        }
        base = std::string(home) + "/.local/share";
    }
    return base + "/glyphary/registry";
}

std::string Describe(const std::string& file, const std::string& target) {
    return "the registry " + file + (target == file ? "" : " (a link to " + target + ")");
}

// ---------------------------------------------------------------------------------------------
// Reading

bool Snapshot::Matches(const std::string& f, const struct stat* st) const {
    if (!root || file != f || exists != (st != nullptr)) return false;
    return !st || (st->st_dev == dev && st->st_ino == ino && st->st_size == size &&
                   st->st_mtim.tv_sec == mtime.tv_sec && st->st_mtim.tv_nsec == mtime.tv_nsec);
}

void Snapshot::Remember(const std::string& f, const struct stat* st) {
    file = f;
    exists = st != nullptr;
    if (st) {
        dev = st->st_dev;
        ino = st->st_ino;
        size = st->st_size;
        mtime = st->st_mtim;
    }
}

// No file is a new registry, which holds HKEY_CLASSES_ROOT\CLSID as every Windows registry
// does: servers register under it by opening it, not creating it.
LSTATUS Snapshot::Load(const std::string& f) {
    const std::string who = "the registry " + f;
    // Non-blocking, so that a FIFO planted in its place cannot hang the open.
    Fd fd(open(f.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        const int error = errno;
        if (error != ENOENT) {
            root.reset();
            return Fail(ERROR_CANTREAD, who + " cannot be read (" + ErrnoText(error) + ")");
        }
        if (!Matches(f, nullptr)) {
            root.emplace();
            root->AddSubkey(u"CLSID");
            Remember(f, nullptr);
        }
        return ERROR_SUCCESS;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        root.reset();
        return Fail(ERROR_CANTREAD, who + " cannot be read (" + ErrnoText(errno) + ")");
    }
    if (!S_ISREG(st.st_mode)) {
        root.reset();
        return Fail(ERROR_CANTREAD,
                    who + (S_ISDIR(st.st_mode) ? " is a directory" : " is not a regular file"));
    }
    if (Matches(f, &st)) return ERROR_SUCCESS;
    root.reset();
    std::string text;
    if (!ReadAll(fd.get(), text)) {
        if (text.size() > kMaxFileSize)
            return Fail(ERROR_BADDB, who + " is damaged: it is larger than 64 MiB");
        return Fail(ERROR_CANTREAD, who + " cannot be read (" + ErrnoText(errno) + ")");
    }
    ParseError error;
    root = Parse(text, &error);
    if (!root) {
        return Fail(ERROR_BADDB, who + " is damaged" +
                                     (error.line ? " at line " + std::to_string(error.line) : "") +
                                     ": " + error.what);
    }
    Remember(f, &st);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Writing

WriteLock::WriteLock(const std::string& file) : m_file(file) {
    if (!FollowLinks(file, m_target)) {
        Fail(ERROR_CANTWRITE, "the registry " + file +
                                  " cannot be written: its symbolic links lead nowhere (" +
                                  ErrnoText(errno) + ")");
        return;
    }
    const std::string who = Describe(m_file, m_target);
    const std::string dir = DirectoryOf(m_target);
    if (!MakeDirectories(dir)) {
        Fail(ERROR_CANTWRITE,
             who + " cannot be written: no directory " + dir + " (" + ErrnoText(errno) + ")");
        return;
    }
    // A planted link must not make us create or lock some other file.
    const std::string lockFile = m_target + ".lock";
    m_fd = open(lockFile.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        Fail(ERROR_CANTWRITE, who + " is not writable: its lock file " + lockFile +
                                  " cannot be made (" + ErrnoText(errno) + ")");
        return;
    }
    int rc;
    do rc = flock(m_fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        Fail(ERROR_CANTWRITE,
             who + " cannot be locked: " + lockFile + " (" + ErrnoText(errno) + ")");
        return;
    }
    m_status = ERROR_SUCCESS;
}

WriteLock::~WriteLock() {
    if (m_fd >= 0) close(m_fd);  // drops the lock
}

LSTATUS Store(const WriteLock& lock, const Key& root, struct stat& written) {
    const std::string& target = lock.target();
    const std::string who = Describe(lock.file(), target);
    const std::string dir = DirectoryOf(target);
    // The registry keeps its permissions; a file made read-only is left alone.
    struct stat old;
    const bool replacing = stat(target.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) return Fail(ERROR_CANTWRITE, who + " is a directory");
    if (replacing && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail(ERROR_ACCESS_DENIED, who + " is not writable (" + ErrnoText(errno) + ")");

    const std::string text = Serialize(root);
    const std::string prefix = NameOf(target) + ".tmp-";
    RemoveStaleTemporaries(dir, prefix);
    // A name of our own, made here and now: never a file or link that was there before.
    std::string temp;
    Fd fd(-1);
    for (int tries = 0; tries < 100 && !fd; ++tries) {
        temp = dir + "/" + prefix + RandomSuffix();
        fd.reset(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      replacing ? 0600 : 0644));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) {
        return Fail(ERROR_CANTWRITE, who + " is not writable: no new file can be made in " + dir +
                                         " (" + ErrnoText(errno) + ")");
    }
    if ((replacing && fchmod(fd.get(), old.st_mode & 0777) != 0) || !WriteAll(fd.get(), text) ||
        fsync(fd.get()) != 0 || fstat(fd.get(), &written) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        return Fail(ERROR_CANTWRITE, who + " cannot be written (" + ErrnoText(error) + ")");
    }
    fd.reset(-1);
    if (rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        return Fail(ERROR_CANTWRITE, who + " cannot be replaced (" + ErrnoText(error) + ")");
    }
    // Make the rename itself durable; the new state is in place either way.
    Fd directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory) fsync(directory.get());
    return ERROR_SUCCESS;
}

}  // namespace glyphary::platform::registry
