// File descriptors: an owner that closes them, and whole reads and writes through them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace glyphary::files {

/// Owns a file descriptor: closes it on every path out.
class Fd {
  public:
    explicit Fd(int fd = -1) noexcept : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }

    /// Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept;
    /// Gives the descriptor up to the caller.
    int release() noexcept;
    int get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }

  private:
    int m_fd;
};

/// Appends what `fd` holds up to its end to `out`. False, with errno, when a read fails, or
/// once `out` has grown past `limit` bytes.
bool ReadAll(int fd, std::string& out, size_t limit = std::string::npos);

/// Writes all of `bytes` to `fd`. False, with errno, when a write fails.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace glyphary::files
