#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commands.h"
#include "files/fd.h"

namespace glyphary::tool {
namespace {

std::string Why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string ReadFd(int fd, const std::string& what) {
    std::string bytes;
    if (!files::ReadAll(fd, bytes)) throw ToolError(Why(what));
    return bytes;
}

}  // namespace

std::string ReadInput(const std::string& path) {
    if (path == "-") return ReadFd(STDIN_FILENO, "standard input");
    const files::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw ToolError(Why(path));
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode))
        throw ToolError(path + ": is a directory");
    return ReadFd(fd.get(), path);
}

InputStream::InputStream(const std::string& path)
    : m_fd(STDIN_FILENO), m_owned(false), m_name(path == "-" ? "standard input" : path) {
    if (path == "-") return;
    files::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw ToolError(Why(path));
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode))
        throw ToolError(path + ": is a directory");
    m_fd = fd.release();
    m_owned = true;
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
    if (!files::WriteAll(fd, bytes)) throw ToolError(Why(what));
}

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

}  // namespace glyphary::tool
