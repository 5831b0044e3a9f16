// Files and standard streams: whole-file reads, complete writes, and replacing a file so that
// a failure, a crash or a signal at any moment leaves either the old or the new content, never
// a mix, and never brings back a file that someone else moved or removed meanwhile.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace glyphary::tool {

/// All bytes of the file at `path`, or of stdin for "-". Throws ToolError.
std::string ReadInput(const std::string& path);

/// An input read piece by piece: the file at `path`, or stdin for "-".
class InputStream {
  public:
    /// Opens `path`; a directory is refused. Throws ToolError.
    explicit InputStream(const std::string& path);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    /// Up to `size` bytes into `buffer`; 0 at the end. Throws ToolError.
    size_t Read(char* buffer, size_t size);
    /// Whether a Read now would wait for input (a pipe or terminal with nothing in it yet).
    bool WouldWait() const;
    /// "standard input" or the path, for messages.
    const std::string& name() const noexcept { return m_name; }

  private:
    int m_fd;
    bool m_owned;
    std::string m_name;
};
/// Writes all of `bytes` to `fd`. Throws ToolError naming `what` on failure.
void WriteAll(int fd, std::string_view bytes, const std::string& what);

/// Replaces the file at `path` with `bytes`, or creates it (0666 less the umask): a temporary
/// file beside it, written, flushed to disk and renamed over it; the original's permissions
/// are kept. The original is untouched when anything fails. A symbolic link stays a link:
/// the file it leads to is written. Throws ToolError.
void ReplaceFile(const std::string& path, std::string_view bytes);

/// A regular file converted where it lies: read whole, then replaced by the result only if it
/// is still the file that was read.
class InPlaceFile {
  public:
    /// Opens the file at `path` (a symbolic link leads to the file it names) without waiting;
    /// anything but a regular file is refused. Throws ToolError.
    explicit InPlaceFile(const std::string& path);
    ~InPlaceFile();
    InPlaceFile(const InPlaceFile&) = delete;
    InPlaceFile& operator=(const InPlaceFile&) = delete;

    /// Its size when it was opened.
    size_t size() const noexcept;
    /// All its bytes. Throws ToolError, also when the file changes while it is read.
    std::string Read();
    /// Puts `bytes` in its place as ReplaceFile does, unless the file changed, moved or went
    /// since it was opened: then it is left as it is, nothing of ours stays, and ToolError
    /// says "changed while converting".
    void Replace(std::string_view bytes);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// From now on SIGINT, SIGTERM and SIGHUP (those not ignored) remove the temporary files of
/// ReplaceFile and InPlaceFile, name the files being worked on, and then end the program as
/// the signal would. Call it once, before any other thread starts.
void CleanUpOnSignals();

/// Whether `fd` is a terminal.
bool IsTerminal(int fd);

}  // namespace glyphary::tool
