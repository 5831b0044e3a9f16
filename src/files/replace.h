// Replacing a file so that a failure, a crash or a signal at any moment leaves either the old or
// the new content under its name, never a mix; a symbolic link stays a link (the file it leads
// to is replaced); a file that someone else changed, moved or removed meanwhile can be left as
// they made it. The result goes to a temporary file of our own beside the target (a new name,
// created O_EXCL|O_NOFOLLOW and locked while it lives), is flushed to disk and renamed over the
// target, or exchanged with it (renameat2) where the check must hold to the last moment.
//
// One unit for the registry file (platform library) and the program's files. POSIX (Linux).
#pragma once

#include <sys/stat.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "files/fd.h"

namespace glyphary::files {

// ---------------------------------------------------------------------------------------------
// Outcomes

/// What stopped a step, if anything.
enum class Fault : unsigned char {
    none,
    locate,     ///< following the links or opening the directory failed (`error`)
    directory,  ///< the file is a directory
    irregular,  ///< something other than a regular file is there (a FIFO, a device...)
    open,       ///< looking at or opening the file failed (`error`)
    create,     ///< no temporary file could be made beside it (`error`)
    write,      ///< writing, giving permissions to or flushing the temporary file failed (`error`)
    replace,    ///< putting the result in place failed (`error`); the file is as it was
    changed,    ///< the file changed, moved or went since it was opened, and is left so
    stranded,   ///< as `changed`, but what was there then now lies under the temporary's name
};

/// How a step went: `fault` none, or what stopped it and the system's error number.
struct Status {
    Fault fault = Fault::none;
    int error = 0;
    bool ok() const noexcept { return fault == Fault::none; }
};

// ---------------------------------------------------------------------------------------------
// Where a file lies

/// Where the symbolic links of `path` lead (a relative link counts from its own directory; a
/// link to nowhere yet leads to the name it holds); `path` itself when it is no link. False,
/// with errno, when they cannot be followed (ELOOP after 40 links).
bool FollowLinks(const std::string& path, std::string& target);

/// The directory part of `file`: "." when it has none.
std::string DirectoryOf(const std::string& file);

/// A file's directory, open, and the file's name there.
struct Place {
    Fd dir;
    std::string name;
};

/// Where the file at `path` lies once its links are followed: a link is written through, never
/// replaced. A path that names no entry ("dir/") is a directory or not a file.
Status Locate(const std::string& path, Place& place);

// ---------------------------------------------------------------------------------------------
// Temporary files

/// How temporary files are named beside the file they are for: `before`, the file's name (cut
/// short where the whole would not fit a directory entry), `after`, then `letters` random
/// letters and digits.
struct Naming {
    std::string_view before;
    std::string_view after;
    size_t letters;

    /// The name of each temporary file for the file `name`, less its random letters.
    std::string PrefixFor(const std::string& name) const;
    /// The prefix of `entry` when it is named as a temporary file is; empty otherwise.
    std::string_view PrefixOf(std::string_view entry) const;
};

/// ".NAME.glyphary-" and six letters: hidden, as Maildir readers and `ls` skip dot files.
inline constexpr Naming kHiddenNaming{".", ".glyphary-", 6};

/// The temporary files that killed runs left. Each directory is read once per object, the
/// first time a file in it comes up: a batch keeps one object, a writer that must see every
/// leftover makes a new one each time. A leftover is removed when the file it was for comes up,
/// and only if it can be locked: a running replacement holds its own locked. Thread-safe.
class Leftovers {
  public:
    explicit Leftovers(Naming naming = kHiddenNaming) : m_naming(naming) {}
    Leftovers(const Leftovers&) = delete;
    Leftovers& operator=(const Leftovers&) = delete;

    const Naming& naming() const noexcept { return m_naming; }
    /// Removes the leftovers for the file at `place`.
    void RemoveFor(const Place& place);

  private:
    Naming m_naming;
    std::mutex m_mutex;
    // Per directory (device, inode): the leftovers not yet removed, by prefix.
    std::map<std::pair<dev_t, ino_t>, std::multimap<std::string, std::string>> m_found;
};

// ---------------------------------------------------------------------------------------------
// Replacing

namespace detail {
class Flight;
}

/// What Commit does besides putting the result in place: for files opened with Open, one of
/// the two at most.
struct CommitOptions {
    /// Keeps the file replaced under this name beside it (replacing any file of that name).
    std::string backup;
    /// Puts the result under this name beside the file instead, and the file's own name goes;
    /// refused when the name is taken.
    std::string renameTo;
};

/// One file being replaced, from Target or Open to Commit. Listed while it lives, so that
/// AbandonAll finds it. One thread at a time.
class Replacement {
  public:
    /// `label` says what is being done ("converting FILE"), for AbandonAll's report;
    /// `leftovers` names the temporary files and clears old ones away.
    Replacement(Leftovers& leftovers, std::string label);
    /// Removes the temporary file, unless it was put in place.
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    /// Replaces the file at `path` whatever it holds when committed: its permissions and owner
    /// are kept; a missing file is created with `mode` less the umask.
    Status Target(const std::string& path, mode_t mode = 0666);
    /// Replaces the regular file at `path` only if, when committed, it is still the one opened
    /// here (same inode, size, modification and change times). Opened without waiting, for
    /// reading: nothing but a regular file is accepted.
    Status Open(const std::string& path);
    /// The file opened by Open, for reading; -1 after Target.
    int original() const noexcept { return m_original.get(); }
    /// The file as Target or Open found it (all zero when there was none).
    const struct stat& found() const noexcept { return m_found; }
    /// Whether the file opened is still as it was opened (reading it changes nothing).
    bool Unchanged() const;

    /// Makes the temporary file, once, after clearing old ones away.
    Status Create();
    /// Appends `bytes` to the temporary file.
    Status Write(std::string_view bytes);
    /// The temporary file, for writing to it directly.
    int temporary() const noexcept { return m_temp.get(); }
    /// Its name beside the file, for messages.
    const std::string& temporaryName() const noexcept { return m_tempName; }

    /// Gives the temporary file the permissions and owner of the file found, flushes it and
    /// puts it in place (the directory flushed too). After Open, only if the file is unchanged:
    /// the check and the swap are one step where the file system can exchange two names, and
    /// the file swapped out is checked again and swapped back if it changed; elsewhere a change
    /// in the few system calls between the check and the rename is lost.
    Status Commit(const CommitOptions& options = {});
    /// The result as Commit wrote it.
    const struct stat& written() const noexcept { return m_written; }

  private:
    Status Rename();
    Status Swap(const CommitOptions& options, std::string& spare);
    Status SwapBack(Status why);
    bool LinkAs(std::string& spare, const std::string& as);

    Leftovers& m_leftovers;
    std::unique_ptr<detail::Flight> m_flight;
    Place m_place;
    mode_t m_mode = 0666;
    bool m_existed = false;  // whether there was a file to take permissions from
    bool m_checked = false;  // whether it must still be the file opened when committed
    Fd m_original;
    struct stat m_found {};
    Fd m_temp;
    std::string m_tempName;
    struct stat m_written {};
};

/// For a process about to end: stops every replacement in progress for good. Waits for any in
/// the middle of moving names (so a file just swapped in stays), removes the temporary file of
/// each whose result is not in place and calls `report` with its label. Replacements block at
/// their next step from then on, forever. Not for a signal handler: for a thread that waits
/// for signals (sigwait).
void AbandonAll(const std::function<void(const std::string& label)>& report);

}  // namespace glyphary::files
