#include "files/fd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace glyphary::files {

void Fd::reset(int fd) noexcept {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
}

int Fd::release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool ReadAll(int fd, std::string& out, size_t limit) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(out.size() + std::min(static_cast<size_t>(st.st_size), limit));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace glyphary::files
