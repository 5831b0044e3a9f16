// The registry file on disk: where it is, reading it, and replacing it atomically under a
// cross-process lock, with the reason of every failure kept for the caller in words (which
// file, and why). Internal to the platform library (registry.cpp).
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "platform/registry_file.h"
#include "platform/winreg.h"

namespace glyphary::platform::registry {

// ---------------------------------------------------------------------------------------------
// Reasons, one per thread, as GetLastError keeps its code

/// Keeps `why` as this thread's last registry failure and returns `status`.
LSTATUS Fail(LSTATUS status, std::string why) noexcept;
/// This thread's last registry failure; empty when none was kept since ClearFailure.
const std::string& LastFailure() noexcept;
void ClearFailure() noexcept;
/// How many failures this thread has kept: tells whether a call kept a reason of its own.
unsigned FailureCount() noexcept;

// ---------------------------------------------------------------------------------------------
// The file

/// $GLYPHARY_REGISTRY, else $XDG_DATA_HOME/glyphary/registry, else
/// ~/.local/share/glyphary/registry; read on every call, so that a test can point the process
/// at a registry of its own. Nullopt, with the reason kept, when there is no home to put it in.
std::optional<std::string> Location();

/// The parsed file, valid while the file is the same one: every write replaces the file
/// (rename), so a new inode, size or time means a new state.
struct Snapshot {
    std::string file;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool exists = false;  // whether the file existed (a missing file is a new registry)
    std::optional<Key> root;

    /// Brings `root` up to date with `file`. ERROR_CANTREAD (unreadable, a directory, not a
    /// regular file) or ERROR_BADDB (damaged), with the reason kept; the root stays empty then.
    LSTATUS Load(const std::string& file);
    /// Notes that `root` is what `f` now holds, as `st` (null: no file) describes it.
    void Remember(const std::string& f, const struct stat* st);

  private:
    bool Matches(const std::string& f, const struct stat* st) const;
};

/// "the registry FILE", and where it leads when it is a symbolic link: the words every reason
/// starts with.
std::string Describe(const std::string& file, const std::string& target);

/// The exclusive right to replace one registry file, across processes: flock on a lock file
/// beside the file that writes replace. The kernel drops it when the process dies, so a
/// crashed writer never blocks the next one.
class WriteLock {
  public:
    /// Waits for the lock of `file` (the registry as configured); creates the directory the
    /// file goes in if need be.
    explicit WriteLock(const std::string& file);
    ~WriteLock();
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    /// ERROR_SUCCESS once held; ERROR_CANTWRITE with the reason kept otherwise.
    LSTATUS status() const noexcept { return m_status; }
    const std::string& file() const noexcept { return m_file; }
    /// The file that writes replace: `file` itself, or where its symbolic links lead (the
    /// links stay as they are).
    const std::string& target() const noexcept { return m_target; }

  private:
    std::string m_file, m_target;
    int m_fd = -1;
    LSTATUS m_status = ERROR_CANTWRITE;
};

/// Replaces the locked file with the text of `root`: a new file of a name no one else uses,
/// beside it, synced and renamed over it, with the old file's permissions (and owner, where the
/// process may give it). Temporary files that killed writers left are removed. `written` describes
/// the new file. ERROR_CANTWRITE (or ERROR_ACCESS_DENIED for a read-only file) with the reason
/// kept; the file is untouched then.
LSTATUS Store(const WriteLock& lock, const Key& root, struct stat& written);

}  // namespace glyphary::platform::registry
