// The registry: HKEY_CLASSES_ROOT kept in one file (format in registry_file.h).
//
// Every change is a read-modify-write of the whole file under an exclusive flock on a lock
// file beside it, so writers in different processes take turns; the new state goes to a
// temporary file that is synced and renamed over the old one, so a reader (which takes no
// lock) and a crash both see either the state before a change or the state after it.
// Handles remember the path of their key, not the key itself: another process may rewrite
// the file at any time.
#include "platform/winreg.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "platform/unicode.h"

namespace {

namespace reg = glyphary::platform::registry;
using Path = std::vector<std::u16string>;

// ---------------------------------------------------------------------------------------------
// The file: where it is, reading it (with a cache), writing it atomically.

// GLYPHARY_REGISTRY, else $XDG_DATA_HOME/glyphary/registry, else ~/.local/share/glyphary/...
// Read on every call, so that a test can point the process at a registry of its own.
std::optional<std::string> RegistryFile() {
    if (const char* file = std::getenv("GLYPHARY_REGISTRY"); file && *file) return file;
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : nullptr;
        }
        if (!home || !*home) return std::nullopt;
        base = std::string(home) + "/.local/share";
    }
    return base + "/glyphary/registry";
}

// Closes a file descriptor on every path out.
class Fd {
  public:
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) close(m_fd);
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd;
};

// The parsed file, valid while the file is the same one: every write replaces the file
// (rename), so a new inode, size or time means a new state.
struct Snapshot {
    std::string file;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool exists = false;
    std::optional<reg::Key> root;

    bool Matches(const std::string& f, const struct stat* st) const {
        if (!root || file != f || exists != (st != nullptr)) return false;
        return !st || (st->st_dev == dev && st->st_ino == ino && st->st_size == size &&
                       st->st_mtim.tv_sec == mtime.tv_sec && st->st_mtim.tv_nsec == mtime.tv_nsec);
    }
    void Remember(const std::string& f, const struct stat* st) {
        file = f;
        exists = st != nullptr;
        if (st) {
            dev = st->st_dev;
            ino = st->st_ino;
            size = st->st_size;
            mtime = st->st_mtim;
        }
    }
};

// One mutex for the registry's state in this process: the snapshot and the handle table.
std::mutex g_mutex;
Snapshot g_snapshot;

bool ReadAll(int fd, std::string& out) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > reg::kMaxFileSize) return false;
    }
}

// The current tree of `file` in g_snapshot. No file is a new registry, which holds
// HKEY_CLASSES_ROOT\CLSID as every Windows registry does: servers register under it by opening
// it, not creating it. Caller holds g_mutex.
LSTATUS Load(const std::string& file) {
    Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno != ENOENT) return ERROR_CANTREAD;
        if (!g_snapshot.Matches(file, nullptr)) {
            g_snapshot.root.emplace();
            g_snapshot.root->AddSubkey(u"CLSID");
            g_snapshot.Remember(file, nullptr);
        }
        return ERROR_SUCCESS;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return ERROR_CANTREAD;
    if (g_snapshot.Matches(file, &st)) return ERROR_SUCCESS;
    g_snapshot.root.reset();
    std::string text;
    if (!ReadAll(fd.get(), text))
        return text.size() > reg::kMaxFileSize ? ERROR_BADDB : ERROR_CANTREAD;
    g_snapshot.root = reg::Parse(text);
    if (!g_snapshot.root) return ERROR_BADDB;
    g_snapshot.Remember(file, &st);
    return ERROR_SUCCESS;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string DirectoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

// Creates `dir` and its missing parents (private to the user, as XDG asks).
bool MakeDirectories(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = DirectoryOf(dir);
    if (parent != dir && !MakeDirectories(parent)) return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Replaces `file` with the text of `root`: temporary file, fsync, rename, fsync of the
// directory. The caller holds the file lock, so the one temporary name is ours alone; one
// left behind by a crash is simply overwritten.
LSTATUS Store(const std::string& file, const reg::Key& root, struct stat& written) {
    const std::string text = reg::Serialize(root);
    const std::string temp = file + ".tmp";
    {
        Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd || !WriteAll(fd.get(), text) || fsync(fd.get()) != 0 ||
            fstat(fd.get(), &written) != 0) {
            unlink(temp.c_str());
            return ERROR_CANTWRITE;
        }
    }
    if (rename(temp.c_str(), file.c_str()) != 0) {
        unlink(temp.c_str());
        return ERROR_CANTWRITE;
    }
    // Make the rename itself durable; the new state is in place either way.
    Fd dir(open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) fsync(dir.get());
    return ERROR_SUCCESS;
}

// Holds the cross-process write lock: flock on "<registry>.lock".
class FileLock {
  public:
    explicit FileLock(const std::string& file)
        : m_fd(open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (!m_fd) return;
        int rc;
        do rc = flock(m_fd.get(), LOCK_EX);
        while (rc != 0 && errno == EINTR);
        m_locked = rc == 0;
    }
    ~FileLock() {
        if (m_locked) flock(m_fd.get(), LOCK_UN);
    }
    bool locked() const { return m_locked; }

  private:
    Fd m_fd;
    bool m_locked = false;
};

// Runs `read(const reg::Key& root)` on the current state. Caller holds g_mutex.
template <class F>
LSTATUS Read(F&& read) {
    const auto file = RegistryFile();
    if (!file) return ERROR_CANTREAD;
    if (const LSTATUS st = Load(*file)) return st;
    return read(static_cast<const reg::Key&>(*g_snapshot.root));
}

// Runs `change(reg::Key& root, bool& changed)` on the current state under the file lock and
// stores the result if it changed anything. `change` leaves the tree untouched when it fails.
// Caller holds g_mutex.
template <class F>
LSTATUS Modify(F&& change) {
    const auto file = RegistryFile();
    if (!file || !MakeDirectories(DirectoryOf(*file))) return ERROR_CANTWRITE;
    FileLock lock(*file);
    if (!lock.locked()) return ERROR_CANTWRITE;
    if (const LSTATUS st = Load(*file)) return st;
    bool changed = false;
    LSTATUS st;
    try {
        st = change(*g_snapshot.root, changed);
    } catch (...) {
        g_snapshot.root.reset();  // perhaps changed half-way: reread next time
        throw;
    }
    if (st != ERROR_SUCCESS || !changed) return st;
    struct stat written;
    st = Store(*file, *g_snapshot.root, written);
    if (st == ERROR_SUCCESS) {
        g_snapshot.Remember(*file, &written);
    } else {
        g_snapshot.root.reset();  // the tree in memory is not what the file holds
    }
    return st;
}

// ---------------------------------------------------------------------------------------------
// Handles and key paths

struct Handle {
    Path path;
    REGSAM access;
    bool deleted = false;  // its key was deleted through this process
};

std::map<uintptr_t, Handle> g_handles;
uintptr_t g_nextHandle = 1;

bool IsRoot(HKEY h) {
    return h == HKEY_CLASSES_ROOT;
}

// The handle's state (a copy for the root); null for an invalid handle. Caller holds g_mutex.
const Handle* FindHandle(HKEY h) {
    static const Handle root{{}, KEY_ALL_ACCESS, false};
    if (IsRoot(h)) return &root;
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    return it != g_handles.end() ? &it->second : nullptr;
}

HKEY NewHandle(Path path, REGSAM access) {
    const uintptr_t id = g_nextHandle++ << 4;
    g_handles.emplace(id, Handle{std::move(path), access});
    return reinterpret_cast<HKEY>(id);
}

bool SamePath(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!reg::SameName(a[i], b[i])) return false;
    return true;
}

// `lpSubKey` split at backslashes. Windows refuses a leading backslash and empty names, and
// ignores one trailing backslash.
LSTATUS SplitSubKey(LPCWSTR lpSubKey, Path& out) {
    std::u16string_view rest = glyphary::platform::OleView(lpSubKey);
    if (rest.empty()) return ERROR_SUCCESS;
    if (rest.front() == u'\\') return ERROR_BAD_PATHNAME;
    if (rest.back() == u'\\') rest.remove_suffix(1);
    for (;;) {
        const size_t slash = rest.find(u'\\');
        const std::u16string_view name = rest.substr(0, slash);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        if (name.size() > reg::kMaxKeyName) return ERROR_INVALID_PARAMETER;
        out.emplace_back(name);
        if (slash == rest.npos) break;
        rest.remove_prefix(slash + 1);
    }
    return out.size() > reg::kMaxDepth ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// The key at `path`, or null.
reg::Key* Walk(const reg::Key& root, const Path& path, size_t count) {
    auto* key = const_cast<reg::Key*>(&root);
    for (size_t i = 0; i < count && key; ++i) key = key->FindSubkey(path[i]);
    return key;
}
reg::Key* Walk(const reg::Key& root, const Path& path) {
    return Walk(root, path, path.size());
}

// The key of a handle, or why there is none (ERROR_KEY_DELETED, as Windows says of a
// handle whose key was deleted, here also when another process deleted it).
LSTATUS KeyOf(const reg::Key& root, const Handle& h, reg::Key*& key) {
    key = h.deleted ? nullptr : Walk(root, h.path);
    return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

std::u16string_view ValueName(LPCWSTR lpValueName) {
    return glyphary::platform::OleView(lpValueName);
}

}  // namespace

extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions,
                                   REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                                   LPDWORD lpdwDisposition) try {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    // Volatile keys would need a registry that forgets them at shutdown; refuse rather than
    // keep them for ever.
    if (dwOptions != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mutex);
    const Handle* base = FindHandle(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    Path path = base->path;
    if (const LSTATUS st = SplitSubKey(lpSubKey, path)) return st;
    const Handle parent = *base;

    bool created = false;
    // Most calls find the key in place: no need to lock the file for those.
    LSTATUS st = Read([&](const reg::Key& root) -> LSTATUS {
        reg::Key* key;
        if (const LSTATUS st = KeyOf(root, parent, key)) return st;
        return Walk(root, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (st == ERROR_FILE_NOT_FOUND) {
        st = Modify([&](reg::Key& root, bool& changed) -> LSTATUS {
            reg::Key* key;
            if (const LSTATUS st = KeyOf(root, parent, key)) return st;
            for (size_t i = parent.path.size(); i < path.size(); ++i) {
                reg::Key* sub = key->FindSubkey(path[i]);
                if (!sub) {
                    sub = &key->AddSubkey(path[i]);
                    changed = created = true;
                }
                key = sub;
            }
            return ERROR_SUCCESS;
        });
    }
    if (st != ERROR_SUCCESS) return st;
    *phkResult = NewHandle(std::move(path), samDesired);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
}

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                                 PHKEY phkResult) try {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::lock_guard lock(g_mutex);
    const Handle* base = FindHandle(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    Path path = base->path;
    if (const LSTATUS st = SplitSubKey(lpSubKey, path)) return st;
    const LSTATUS st = Read([&](const reg::Key& root) -> LSTATUS {
        reg::Key* key;
        if (const LSTATUS st = KeyOf(root, *base, key)) return st;
        return Walk(root, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (st != ERROR_SUCCESS) return st;
    *phkResult = NewHandle(std::move(path), samDesired);
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
}

extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData) try {
    if (!lpData && cbData) return ERROR_NOACCESS;
    const std::u16string_view name = ValueName(lpValueName);
    if (name.size() > reg::kMaxValueName) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mutex);
    const Handle* h = FindHandle(hKey);
    if (!h) return ERROR_INVALID_HANDLE;
    if (!(h->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    const std::string data(reinterpret_cast<const char*>(lpData), cbData);
    return Modify([&](reg::Key& root, bool& changed) -> LSTATUS {
        reg::Key* key;
        if (const LSTATUS st = KeyOf(root, *h, key)) return st;
        if (reg::Value* value = key->FindValue(name)) {
            value->type = dwType;
            value->data = data;
        } else {
            key->values.push_back({std::u16string(name), dwType, data});
        }
        changed = true;
        return ERROR_SUCCESS;
    });
} catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
}

extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData) try {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mutex);
    const Handle* h = FindHandle(hKey);
    if (!h) return ERROR_INVALID_HANDLE;
    if (!(h->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return Read([&](const reg::Key& root) -> LSTATUS {
        reg::Key* key;
        if (const LSTATUS st = KeyOf(root, *h, key)) return st;
        const reg::Value* value = key->FindValue(ValueName(lpValueName));
        if (!value) return ERROR_FILE_NOT_FOUND;
        if (lpType) *lpType = value->type;
        const auto size = static_cast<DWORD>(value->data.size());
        if (lpData && *lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (lpData) value->data.copy(reinterpret_cast<char*>(lpData), size);
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    });
} catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                 LPDWORD, LPWSTR lpClass, LPDWORD lpcchClass,
                                 FILETIME* lpftLastWriteTime) try {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mutex);
    const Handle* h = FindHandle(hKey);
    if (!h) return ERROR_INVALID_HANDLE;
    if (!(h->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    return Read([&](const reg::Key& root) -> LSTATUS {
        reg::Key* key;
        if (const LSTATUS st = KeyOf(root, *h, key)) return st;
        if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
        const std::u16string& name = key->subkeys[dwIndex]->name;
        if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
        name.copy(lpName, name.size());
        lpName[name.size()] = 0;
        *lpcchName = static_cast<DWORD>(name.size());
        // Keys have no class here, and no write time is kept.
        if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = 0;
        if (lpcchClass) *lpcchClass = 0;
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
        return ERROR_SUCCESS;
    });
} catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
}

extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) try {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mutex);
    const Handle* h = FindHandle(hKey);
    if (!h) return ERROR_INVALID_HANDLE;
    Path path = h->path;
    if (const LSTATUS st = SplitSubKey(lpSubKey, path)) return st;
    if (path.empty()) return ERROR_ACCESS_DENIED;  // the root itself
    const LSTATUS st = Modify([&](reg::Key& root, bool& changed) -> LSTATUS {
        reg::Key* base;
        if (const LSTATUS st = KeyOf(root, *h, base)) return st;
        reg::Key* parent = Walk(root, path, path.size() - 1);
        reg::Key* key = parent ? parent->FindSubkey(path.back()) : nullptr;
        if (!key) return ERROR_FILE_NOT_FOUND;
        // As on Windows: only a key without subkeys can go.
        if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
        parent->RemoveSubkey(path.back());
        changed = true;
        return ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return st;
    for (auto& [id, handle] : g_handles)
        if (SamePath(handle.path, path)) handle.deleted = true;
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
    if (IsRoot(hKey)) return ERROR_SUCCESS;
    std::lock_guard lock(g_mutex);
    return g_handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}
