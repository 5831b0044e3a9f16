#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commands.h"

namespace glyphary::tool {
namespace fs = std::filesystem;
namespace {

std::string Why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

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

// Closes a descriptor and removes a temporary file unless told the rename happened.
class TempFile {
  public:
    TempFile(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    ~TempFile() {
        if (m_fd >= 0) close(m_fd);
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }
    void Close(const std::string& what) {
        const int fd = m_fd;
        m_fd = -1;
        if (close(fd) != 0) throw ToolError(Why(what));
    }
    void Keep() { m_path.clear(); }

  private:
    int m_fd;
    std::string m_path;
};

}  // namespace

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

void ReplaceFile(const fs::path& path, std::string_view bytes) {
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(fs::absolute(path), ec);
    if (ec) throw ToolError(path.string() + ": " + ec.message());
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) throw ToolError(Why(path.string()));
    if (exists && !S_ISREG(st.st_mode)) throw ToolError(path.string() + ": not a regular file");
    if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        st.st_mode = 0666 & ~mask;
    }

    // Beside the target, so that the rename stays within one file system and is atomic.
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".glyphary-XXXXXX")).string();
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) throw ToolError(Why("cannot create a temporary file beside " + path.string()));
    TempFile temp(fd, pattern);

    WriteAll(temp.fd(), bytes, temp.path());
    if (fchmod(temp.fd(), st.st_mode & 07777) != 0) throw ToolError(Why(temp.path()));
    // Keeping the owner needs privileges; without them the file is ours, as any editor's.
    if (exists && fchown(temp.fd(), st.st_uid, st.st_gid) != 0 && errno != EPERM)
        throw ToolError(Why(temp.path()));
    if (fsync(temp.fd()) != 0) throw ToolError(Why(temp.path()));
    temp.Close(temp.path());
    if (rename(temp.path().c_str(), target.c_str()) != 0) throw ToolError(Why(path.string()));
    temp.Keep();

    // The rename itself reaches the disk with the directory.
    const int dir = open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

}  // namespace glyphary::tool
