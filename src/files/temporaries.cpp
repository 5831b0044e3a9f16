// Temporary files: their names, and the leftovers of killed runs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "files/replace.h"

namespace glyphary::files {

std::string Naming::PrefixFor(const std::string& name) const {
    const size_t room = NAME_MAX - before.size() - after.size() - letters;
    std::string prefix(before);  // piece by piece: GCC 12 misreads chained + as overlapping
    prefix += std::string_view(name).substr(0, room);
    prefix += after;
    return prefix;
}

std::string_view Naming::PrefixOf(std::string_view entry) const {
    if (entry.size() < before.size() + 1 + after.size() + letters || !entry.starts_with(before))
        return {};
    const std::string_view prefix = entry.substr(0, entry.size() - letters);
    if (!prefix.ends_with(after)) return {};
    for (const char c : entry.substr(prefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
            return {};
    return prefix;
}

namespace {

void Scan(int dirFd, const Naming& naming, std::multimap<std::string, std::string>& into) {
    DIR* dir = fdopendir(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view prefix = naming.PrefixOf(entry->d_name);
        if (!prefix.empty()) into.emplace(prefix, entry->d_name);
    }
    closedir(dir);
}

// Removes `name` if it is a regular file that no one holds locked (a running replacement holds
// its own), and still the file locked when it goes.
void RemoveIfStale(int dir, const std::string& name) {
    const Fd fd(
        openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat held {
    }, now{};
    if (!fd || fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) return;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
    if (fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_ino != held.st_ino ||
        now.st_dev != held.st_dev)
        return;
    unlinkat(dir, name.c_str(), 0);
}

}  // namespace

void Leftovers::RemoveFor(const Place& place) {
    struct stat dir {};
    if (fstat(place.dir.get(), &dir) != 0) return;
    std::vector<std::string> names;
    {
        std::lock_guard lock(m_mutex);
        auto [found, fresh] = m_found.try_emplace({dir.st_dev, dir.st_ino});
        if (fresh) Scan(place.dir.get(), m_naming, found->second);
        const auto [first, last] = found->second.equal_range(m_naming.PrefixFor(place.name));
        for (auto it = first; it != last; ++it) names.push_back(it->second);
        found->second.erase(first, last);
    }
    for (const std::string& name : names) RemoveIfStale(place.dir.get(), name);
}

}  // namespace glyphary::files
