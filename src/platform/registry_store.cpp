// The registry file on disk (see registry_store.h).
#include "platform/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "files/fd.h"
#include "files/replace.h"

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

// Creates `dir` and its missing parents (private to the user, as XDG asks).
bool MakeDirectories(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const std::string parent = files::DirectoryOf(dir);
    if (parent != dir && !MakeDirectories(parent)) return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// The registry's temporary files: "registry.tmp-" and eight letters or digits, beside it.
constexpr files::Naming kTemporaries{"", ".tmp-", 8};

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
    files::Fd fd(open(f.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
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
    if (!files::ReadAll(fd.get(), text, kMaxFileSize)) {
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
    if (!files::FollowLinks(file, m_target)) {
        Fail(ERROR_CANTWRITE, "the registry " + file +
                                  " cannot be written: its symbolic links lead nowhere (" +
                                  ErrnoText(errno) + ")");
        return;
    }
    const std::string who = Describe(m_file, m_target);
    const std::string dir = files::DirectoryOf(m_target);
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
    // The registry keeps its permissions; a file made read-only is left alone.
    struct stat old;
    const bool replacing = stat(target.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) return Fail(ERROR_CANTWRITE, who + " is a directory");
    if (replacing && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail(ERROR_ACCESS_DENIED, who + " is not writable (" + ErrnoText(errno) + ")");

    const std::string text = Serialize(root);
    // Read afresh for every write: writers killed since the last one may have left some.
    files::Leftovers leftovers(kTemporaries);
    files::Replacement replacement(leftovers, "writing " + who);
    files::Status st = replacement.Target(target, 0644);
    if (st.ok()) st = replacement.Create();
    if (st.ok()) st = replacement.Write(text);
    if (st.ok()) st = replacement.Commit();
    switch (st.fault) {
        case files::Fault::none:
            written = replacement.written();
            return ERROR_SUCCESS;
        case files::Fault::directory:
            return Fail(ERROR_CANTWRITE, who + " is a directory");
        case files::Fault::irregular:
            return Fail(ERROR_CANTWRITE, who + " is not a regular file");
        case files::Fault::create:
            return Fail(ERROR_CANTWRITE, who + " is not writable: no new file can be made in " +
                                             files::DirectoryOf(target) + " (" +
                                             ErrnoText(st.error) + ")");
        case files::Fault::replace:
            return Fail(ERROR_CANTWRITE, who + " cannot be replaced (" + ErrnoText(st.error) + ")");
        default:
            return Fail(ERROR_CANTWRITE, who + " cannot be written (" + ErrnoText(st.error) + ")");
    }
}

}  // namespace glyphary::platform::registry
