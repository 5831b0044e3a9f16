// Files and standard streams: whole-file reads, pieces of input, complete writes.
#pragma once

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

/// Whether `fd` is a terminal.
bool IsTerminal(int fd);

}  // namespace glyphary::tool
