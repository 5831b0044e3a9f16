#include "io.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>  // renameat2, RENAME_EXCHANGE
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "commands.h"

namespace glyphary::tool {
namespace {

std::string Why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Closes a file descriptor on every path out.
class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&&) = delete;
    ~Fd() { reset(); }
    void reset(int fd = -1) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }
    int get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }

  private:
    int m_fd;
};

std::string ReadFd(int fd, const std::string& what) {
    std::string bytes;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        bytes.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return bytes;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ToolError(Why(what));
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

void RefuseIrregular(const struct stat& st, const std::string& path) {
    if (S_ISDIR(st.st_mode)) throw ToolError(path + ": is a directory");
    if (!S_ISREG(st.st_mode)) throw ToolError(path + ": not a regular file");
}

// ---------------------------------------------------------------------------------------------
// Work in progress, as the signal cleanup sees it

// A file being written: where our temporary file for it lies, if there is one yet.
struct Work {
    std::string what;       // "converting FILE", for the message
    int dir = -1;           // the directory of the temporary file
    std::string temp;       // its name there; empty when there is none
    bool finished = false;  // the result is in place: nothing to undo
};

// Every Work of the process. Its mutex also covers each swap of a result into place, so that a
// signal waits for the swap to finish rather than removing a file that half of it moved.
struct Works {
    std::mutex mutex;
    std::list<Work*> list;
};

Works& AllWorks() {
    static Works* works = new Works;  // never destroyed: the signal thread may need it to the end
    return *works;
}

// A Work listed while it lives.
class Working {
  public:
    explicit Working(std::string what) {
        m_work.what = std::move(what);
        Works& works = AllWorks();
        std::lock_guard lock(works.mutex);
        m_at = works.list.insert(works.list.end(), &m_work);
    }
    ~Working() {
        Works& works = AllWorks();
        std::lock_guard lock(works.mutex);
        works.list.erase(m_at);
    }
    Working(const Working&) = delete;
    Working& operator=(const Working&) = delete;
    Work& work() noexcept { return m_work; }

  private:
    Work m_work;
    std::list<Work*>::iterator m_at;
};

void Say(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0 && errno != EINTR) return;
        if (n > 0) text.remove_prefix(static_cast<size_t>(n));
    }
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// The signals are blocked in every thread and taken here, on a thread of their own: unlike a
// handler it may wait for a swap in progress, so it never removes a file half moved.
void* AwaitSignal(void* set) {
    int sig = 0;
    while (sigwait(static_cast<const sigset_t*>(set), &sig) != 0) {
    }
    Works& works = AllWorks();
    works.mutex.lock();                          // kept: nothing may start moving files any more
    if (isatty(STDERR_FILENO)) Say("\r\033[K");  // over the progress bar
    for (const Work* work : works.list) {
        if (work->finished) continue;
        if (!work->temp.empty()) unlinkat(work->dir, work->temp.c_str(), 0);
        Say("glyphary: ");
        Say(SignalName(sig));
        Say(" while ");
        Say(work->what);
        Say("; left as it was\n");
    }
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// ---------------------------------------------------------------------------------------------
// Places and temporary files

// Where a file lies: its directory, open, and its name there. The symbolic links of the last
// component are followed, so that a link is written through and never replaced by a file.
struct Place {
    Fd dir;
    std::string name;
};

std::string DirectoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

Place Locate(const std::string& path) {
    std::string file = path;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (links == 40) {
            errno = ELOOP;
            throw ToolError(Why(path));
        }
        std::string to(PATH_MAX, '\0');
        const ssize_t n = readlink(file.c_str(), to.data(), to.size());
        if (n < 0) throw ToolError(Why(path));
        to.resize(static_cast<size_t>(n));
        // A relative link counts from its own directory.
        file = to.starts_with('/') ? to : DirectoryOf(file) + "/" + to;
    }
    Place place;
    const size_t slash = file.rfind('/');
    place.name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (place.name.empty() || place.name == "." || place.name == "..") {
        // "", "dir/", "name/.": no name to write under.
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) throw ToolError(Why(path));
        RefuseIrregular(st, path);
        errno = ENOTDIR;
        throw ToolError(Why(path));
    }
    place.dir.reset(open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!place.dir) throw ToolError(Why(path));
    return place;
}

// Our temporary files are ".NAME.glyphary-" and six letters or digits, as mkstemp makes them;
// NAME is cut short where the whole would not fit a directory entry.
constexpr std::string_view kTempMark = ".glyphary-";
constexpr size_t kRandomLetters = 6;

std::string TempPrefix(const std::string& name) {
    const size_t room = NAME_MAX - 1 - kTempMark.size() - kRandomLetters;
    std::string temp = ".";  // piece by piece: GCC 12 misreads "." + temporary as overlapping
    temp += name.substr(0, room);
    temp += kTempMark;
    return temp;
}

// The prefix of `entry` if it is named as our temporary files are; empty otherwise.
std::string_view TempPrefixOf(std::string_view entry) {
    if (entry.size() < 2 + kTempMark.size() + kRandomLetters || entry[0] != '.') return {};
    const std::string_view prefix = entry.substr(0, entry.size() - kRandomLetters);
    if (!prefix.ends_with(kTempMark)) return {};
    for (const char c : entry.substr(prefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
            return {};
    return prefix;
}

std::string RandomLetters() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kRandomLetters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static thread_local unsigned counter = 0;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned long long r = static_cast<unsigned long long>(now.tv_nsec) * 2654435761u ^
                               static_cast<unsigned long long>(getpid()) << 20 ^ ++counter;
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(r >> 8), r *= 6364136223u;
    }
    std::string letters;
    for (const unsigned char b : bytes) letters += kLetters[b % (sizeof kLetters - 1)];
    return letters;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool SameFileAndChangeTime(const struct stat& a, const struct stat& b) {
    return SameFile(a, b) && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Temporary files that killed runs left. A directory is read once, the first time a file in
// it comes up; each leftover is removed when the file it was for comes up, and only if it can
// be locked: a running conversion holds the lock on its own.
class Leftovers {
  public:
    void RemoveFor(const Place& place) {
        struct stat dir {};
        if (fstat(place.dir.get(), &dir) != 0) return;
        std::vector<std::string> names;
        {
            std::lock_guard lock(m_mutex);
            auto [found, fresh] = m_found.try_emplace({dir.st_dev, dir.st_ino});
            if (fresh) Scan(place.dir.get(), found->second);
            const auto [first, last] = found->second.equal_range(TempPrefix(place.name));
            for (auto it = first; it != last; ++it) names.push_back(it->second);
            found->second.erase(first, last);
        }
        for (const std::string& name : names) RemoveIfStale(place.dir.get(), name);
    }

  private:
    static void Scan(int dirFd, std::multimap<std::string, std::string>& into) {
        DIR* dir = fdopendir(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir) return;
        while (const dirent* entry = readdir(dir)) {
            const std::string_view prefix = TempPrefixOf(entry->d_name);
            if (!prefix.empty()) into.emplace(prefix, entry->d_name);
        }
        closedir(dir);
    }

    static void RemoveIfStale(int dir, const std::string& name) {
        const Fd fd(
            openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {
        }, now{};
        if (!fd || fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) return;
        if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
        if (fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_ino != held.st_ino || now.st_dev != held.st_dev)
            return;
        unlinkat(dir, name.c_str(), 0);
    }

    std::mutex m_mutex;
    std::map<std::pair<dev_t, ino_t>, std::multimap<std::string, std::string>> m_found;
};

Leftovers& TheLeftovers() {
    static Leftovers leftovers;
    return leftovers;
}

// Our temporary file beside a target: a new file (O_EXCL, through no link), locked while it
// lives so that no other run takes it for a leftover, known to the signal cleanup, and removed
// unless it was put in place.
class Temporary {
  public:
    Temporary(const Place& place, Work& work, mode_t mode, const std::string& shown)
        : m_dir(place.dir.get()), m_work(work), m_shown(shown) {
        TheLeftovers().RemoveFor(place);
        const std::string prefix = TempPrefix(place.name);
        for (int attempt = 0;; ++attempt) {
            std::string name = prefix + RandomLetters();
            const int fd = openat(m_dir, name.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd >= 0) {
                m_fd.reset(fd);
                flock(fd, LOCK_EX | LOCK_NB);
                std::lock_guard lock(AllWorks().mutex);
                m_name = name;
                m_work.dir = m_dir;
                m_work.temp = std::move(name);
                return;
            }
            if (errno != EEXIST || attempt == 100)
                throw ToolError(Why("cannot create a temporary file beside " + shown));
        }
    }
    ~Temporary() {
        // Removed while still locked, so that no other run sees it unlocked.
        std::lock_guard lock(AllWorks().mutex);
        if (!m_name.empty()) unlinkat(m_dir, m_name.c_str(), 0);
        m_work.temp.clear();
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    const std::string& name() const noexcept { return m_name; }

    /// Writes `bytes`, gives the file the permissions and owner of `like` (if any) and flushes
    /// it to disk.
    void Fill(std::string_view bytes, const struct stat* like) {
        const std::string what = m_shown + " (writing " + m_name + ")";
        WriteAll(m_fd.get(), bytes, what);
        if (like) {
            if (fchmod(m_fd.get(), like->st_mode & 07777) != 0) throw ToolError(Why(what));
            // Keeping the owner needs privileges; without them the file is ours, as any
            // editor's.
            if (fchown(m_fd.get(), like->st_uid, like->st_gid) != 0 && errno != EPERM)
                throw ToolError(Why(what));
        }
        if (fsync(m_fd.get()) != 0) throw ToolError(Why(what));
    }

    /// The name no longer holds our file. Called with AllWorks().mutex held.
    void ForgetLocked() {
        m_name.clear();
        m_work.temp.clear();
    }

  private:
    int m_dir;
    Work& m_work;
    std::string m_shown;
    Fd m_fd;
    std::string m_name;
};

void SyncDirectory(int dir) {
    fsync(dir);  // the rename reaches the disk with its directory; nothing to undo if not
}

// How putting a result in place went.
enum class Swap { done, changed, stranded, failed };

// Puts `temp` in the place of `name`, if `name` is still the file `read` describes. Called with
// AllWorks().mutex held. Where the file system can exchange two names atomically, the file
// swapped out is checked again and swapped back if it is not the one read: a change can then
// slip in only through a descriptor opened before the swap. Elsewhere a change or a move between
// the check and the rename, a window of a few system calls, is lost.
Swap PutInPlace(int dir, const std::string& name, Temporary& temp, int readFd,
                const struct stat& read, int& error) {
    struct stat now {};
    if (fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Swap::changed : (error = errno, Swap::failed);
    if (!SameFileAndChangeTime(now, read)) return Swap::changed;
    // While the original lies under the temporary name, a run that takes leftovers for its
    // own cannot lock it.
    flock(readFd, LOCK_EX | LOCK_NB);

    if (renameat2(dir, temp.name().c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0) {
        // The exchange changed the change time of both files: it cannot be compared any more.
        struct stat out {};
        if (fstatat(dir, temp.name().c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(out, read)) {
            unlinkat(dir, temp.name().c_str(), 0);
            temp.ForgetLocked();
            return Swap::done;
        }
        if (renameat2(dir, temp.name().c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0)
            return Swap::changed;
        temp.ForgetLocked();  // it holds what someone else wrote: not ours to remove
        return Swap::stranded;
    }
    if (errno == ENOENT) {
        // The temporary file is there (or a leftover hunt took it): the file went.
        struct stat st {};
        if (fstatat(dir, temp.name().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return Swap::changed;
        error = ENOENT;
        return Swap::failed;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return error = errno, Swap::failed;

    // No exchange on this file system: check, then rename.
    if (renameat(dir, temp.name().c_str(), dir, name.c_str()) != 0)
        return error = errno, Swap::failed;
    temp.ForgetLocked();
    return Swap::done;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading and writing

std::string ReadInput(const std::string& path) {
    if (path == "-") return ReadFd(STDIN_FILENO, "standard input");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(Why(path));
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        throw ToolError(path + ": is a directory");
    }
    try {
        std::string bytes = ReadFd(fd, path);
        close(fd);
        return bytes;
    } catch (...) {
        close(fd);
        throw;
    }
}

InputStream::InputStream(const std::string& path)
    : m_fd(STDIN_FILENO), m_owned(false), m_name(path == "-" ? "standard input" : path) {
    if (path == "-") return;
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) throw ToolError(Why(path));
    m_owned = true;
    struct stat st {};
    if (fstat(m_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(m_fd);
        throw ToolError(path + ": is a directory");
    }
}

InputStream::~InputStream() {
    if (m_owned) close(m_fd);
}

size_t InputStream::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(m_fd, buffer, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) throw ToolError(Why(m_name));
    }
}

bool InputStream::WouldWait() const {
    pollfd p{m_fd, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

void WriteAll(int fd, std::string_view bytes, const std::string& what) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ToolError(Why(what));
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

// ---------------------------------------------------------------------------------------------
// Replacing files

void ReplaceFile(const std::string& path, std::string_view bytes) {
    Working working("writing " + path);
    const Place place = Locate(path);
    struct stat st {};
    const bool exists = fstatat(place.dir.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) throw ToolError(Why(path));
    if (exists && !S_ISREG(st.st_mode)) throw ToolError(path + ": not a regular file");

    // A new file gets 0666 less the umask from the kernel itself.
    Temporary temp(place, working.work(), exists ? 0600 : 0666, path);
    temp.Fill(bytes, exists ? &st : nullptr);
    {
        std::lock_guard lock(AllWorks().mutex);
        if (renameat(place.dir.get(), temp.name().c_str(), place.dir.get(), place.name.c_str()) !=
            0)
            throw ToolError(Why(path));
        temp.ForgetLocked();
        working.work().finished = true;
    }
    SyncDirectory(place.dir.get());
}

struct InPlaceFile::State {
    explicit State(const std::string& p) : path(p), working("converting " + p), place(Locate(p)) {}
    std::string path;
    Working working;
    Place place;
    Fd fd;
    struct stat read {};
};

InPlaceFile::InPlaceFile(const std::string& path) : m_state(std::make_unique<State>(path)) {
    State& s = *m_state;
    // Looked at before it is opened, so that opening a device or a FIFO has no effect; opened
    // without waiting, in case one took the file's place in between.
    struct stat st {};
    if (fstatat(s.place.dir.get(), s.place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw ToolError(Why(path));
    RefuseIrregular(st, path);
    s.fd.reset(openat(s.place.dir.get(), s.place.name.c_str(),
                      O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!s.fd || fstat(s.fd.get(), &s.read) != 0) throw ToolError(Why(path));
    RefuseIrregular(s.read, path);
}

InPlaceFile::~InPlaceFile() = default;

size_t InPlaceFile::size() const noexcept {
    return static_cast<size_t>(m_state->read.st_size);
}

std::string InPlaceFile::Read() {
    State& s = *m_state;
    std::string bytes = ReadFd(s.fd.get(), s.path);
    struct stat after {};
    if (bytes.size() != size() || fstat(s.fd.get(), &after) != 0 ||
        !SameFileAndChangeTime(after, s.read))
        throw ToolError(s.path + ": changed while converting");
    return bytes;
}

void InPlaceFile::Replace(std::string_view bytes) {
    State& s = *m_state;
    Temporary temp(s.place, s.working.work(), 0600, s.path);
    temp.Fill(bytes, &s.read);
    const std::string tempName = temp.name();
    Swap swap;
    int error = 0;
    {
        std::lock_guard lock(AllWorks().mutex);
        swap = PutInPlace(s.place.dir.get(), s.place.name, temp, s.fd.get(), s.read, error);
        if (swap == Swap::done) s.working.work().finished = true;
    }
    switch (swap) {
        case Swap::done:
            SyncDirectory(s.place.dir.get());
            return;
        case Swap::changed:
            throw ToolError(s.path + ": changed while converting");
        case Swap::stranded:
            throw ToolError(s.path + ": changed while converting; what was there then is kept as " +
                            tempName + " beside it");
        case Swap::failed:
            errno = error;
            throw ToolError(Why(s.path));
    }
}

// ---------------------------------------------------------------------------------------------
// Signals

void CleanUpOnSignals() {
    static sigset_t set;  // read by the signal thread for as long as the program runs
    static std::once_flag once;
    std::call_once(once, [] {
        sigemptyset(&set);
        for (const int sig : {SIGHUP, SIGINT, SIGTERM}) {
            struct sigaction old {};
            // An ignored signal stays ignored (nohup, a background job).
            if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
                sigaddset(&set, sig);
        }
        if (sigisemptyset(&set)) return;
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &set, &previous);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, std::max<size_t>(PTHREAD_STACK_MIN, 1 << 20));
        pthread_t thread;
        // Without the thread (memory is short) the signals act as they always do.
        if (pthread_create(&thread, &attr, AwaitSignal, &set) != 0)
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attr);
    });
}

}  // namespace glyphary::tool
