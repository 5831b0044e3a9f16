// Where a file lies: its symbolic links followed, its directory opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "files/replace.h"

namespace glyphary::files {

bool FollowLinks(const std::string& path, std::string& target) {
    std::string file = path;
    for (int links = 0; links <= 40; ++links) {
        struct stat st {};
        if (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = std::move(file);
            return true;
        }
        char buffer[PATH_MAX];
        const ssize_t n = readlink(file.c_str(), buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == static_cast<ssize_t>(sizeof buffer)) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string_view to(buffer, static_cast<size_t>(n));
        if (to.starts_with('/')) {
            file = to;
        } else {
            file = DirectoryOf(file);
            file += '/';
            file += to;
        }
    }
    errno = ELOOP;
    return false;
}

std::string DirectoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

Status Locate(const std::string& path, Place& place) {
    std::string file;
    if (!FollowLinks(path, file)) return {Fault::locate, errno};
    const size_t slash = file.rfind('/');
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        // "", "dir/", "name/.": no name to write under.
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return {Fault::locate, errno};
        if (S_ISDIR(st.st_mode)) return {Fault::directory};
        if (!S_ISREG(st.st_mode)) return {Fault::irregular};
        return {Fault::locate, ENOTDIR};
    }
    Fd dir(open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return {Fault::locate, errno};
    place.dir = std::move(dir);
    place.name = std::move(name);
    return {};
}

}  // namespace glyphary::files
