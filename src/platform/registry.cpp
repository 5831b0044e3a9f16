// The registry: HKEY_CLASSES_ROOT kept in one file (its format in registry_file.h, the file on
// disk in registry_store.h).
//
// Every change is a read-modify-write of the whole file under the file's cross-process lock,
// so writers in different processes take turns; the new state replaces the file atomically,
// so a reader (which takes no lock) and a crash both see either the state before a change or
// the state after it. A transaction (registry.h) stretches one such turn over many calls.
// Handles remember the path of their key, not the key itself: another process may rewrite
// the file at any time.
#include "platform/registry.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/boundary.h"
#include "platform/registry_store.h"
#include "platform/unicode.h"

namespace {

namespace reg = glyphary::platform::registry;
using Path = std::vector<std::u16string>;

// ---------------------------------------------------------------------------------------------
// This process's state, under one mutex: the file as last read, the open transaction, and the
// handle table (below).

std::mutex g_mutex;
std::condition_variable g_transactionEnded;
reg::Snapshot g_snapshot;

// The open transaction: the lock it holds and the tree its calls read and change.
struct Transaction {
    std::thread::id owner;
    std::unique_ptr<reg::WriteLock> lock;
    reg::Key root;
    bool existed = false;  // whether the file existed when it began
    bool changed = false;
    bool broken = false;  // a change stopped half-way (out of memory): nothing may be written
    std::vector<uintptr_t> deletedHandles;  // handles that its deletions marked
};
std::optional<Transaction> g_transaction;

bool NoOtherThreadsTransaction() {
    return !g_transaction || g_transaction->owner == std::this_thread::get_id();
}

// Takes g_mutex once no other thread's transaction is open.
std::unique_lock<std::mutex> TakeTurn() {
    std::unique_lock lock(g_mutex);
    g_transactionEnded.wait(lock, NoOtherThreadsTransaction);
    return lock;
}

// ---------------------------------------------------------------------------------------------
// Reasons

// "HKEY_CLASSES_ROOT\A\B", for people.
std::string KeyText(const Path& path) {
    std::string text = "HKEY_CLASSES_ROOT";
    for (const std::u16string& name : path) {
        text += '\\';
        text += glyphary::platform::Utf8FromUtf16(name).value_or("?");
    }
    return text;
}

// The registry the calls work on, for the reasons about keys. Caller holds g_mutex, after a
// Read or Modify.
std::string Where() {
    if (g_transaction) {
        return reg::Describe(g_transaction->lock->file(), g_transaction->lock->target()) +
               (g_transaction->existed ? "" : " (the file does not exist)");
    }
    return "the registry " + g_snapshot.file +
           (g_snapshot.exists ? "" : " (the file does not exist)");
}

LSTATUS Missing(const Path& path) {
    return reg::Fail(ERROR_FILE_NOT_FOUND, KeyText(path) + " is not in " + Where());
}

const char* StatusText(LSTATUS st) {
    switch (st) {
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_INVALID_HANDLE:
            return "not an open key handle";
        case ERROR_OUTOFMEMORY:
            return "out of memory";
        case ERROR_INVALID_PARAMETER:
            return "invalid parameter";
        case ERROR_BAD_PATHNAME:
            return "ill-formed key path";
        case ERROR_NOACCESS:
            return "no data at the address given";
        case ERROR_INTERNAL_ERROR:
            return "internal error";
    }
    return "error";
}

// Runs the body of a registry function inside the boundary (out of memory becomes
// ERROR_OUTOFMEMORY), and gives a failure that kept no reason of its own one that names the
// function and the status. ERROR_MORE_DATA and ERROR_NO_MORE_ITEMS answer questions; they
// are no failures.
template <class F>
LSTATUS Call(const char* function, F&& body) noexcept {
    const unsigned before = reg::FailureCount();
    const LSTATUS st = glyphary::StatusBoundary(std::forward<F>(body));
    if (st != ERROR_SUCCESS && st != ERROR_MORE_DATA && st != ERROR_NO_MORE_ITEMS &&
        reg::FailureCount() == before) {
        try {
            reg::Fail(st, std::string(function) + " failed: " + StatusText(st) + " (" +
                              std::to_string(st) + ")");
        } catch (const std::bad_alloc&) {
            reg::Fail(st, std::string());
        }
    }
    return st;
}

// ---------------------------------------------------------------------------------------------
// Reading and changing the tree: the transaction's, or the file's.

// Runs `read(const reg::Key& root)` on the current state. Caller holds g_mutex.
template <class F>
LSTATUS Read(F&& read) {
    if (g_transaction) return read(static_cast<const reg::Key&>(g_transaction->root));
    const auto file = reg::Location();
    if (!file) return ERROR_CANTREAD;
    if (const LSTATUS st = g_snapshot.Load(*file)) return st;
    return read(static_cast<const reg::Key&>(*g_snapshot.root));
}

// Runs `change(reg::Key& root, bool& changed)` on the current state: in the transaction, or
// under the file lock, storing the result if it changed anything. `change` leaves the tree
// untouched when it fails. Caller holds g_mutex.
template <class F>
LSTATUS Modify(F&& change) {
    bool changed = false;
    if (g_transaction) {
        LSTATUS st;
        try {
            st = change(g_transaction->root, changed);
        } catch (...) {
            g_transaction->broken = true;
            throw;
        }
        g_transaction->changed = g_transaction->changed || changed;
        return st;
    }
    const auto file = reg::Location();
    if (!file) return ERROR_CANTWRITE;
    const reg::WriteLock lock(*file);
    if (const LSTATUS st = lock.status()) return st;
    if (const LSTATUS st = g_snapshot.Load(*file)) return st;
    LSTATUS st;
    try {
        st = change(*g_snapshot.root, changed);
    } catch (...) {
        g_snapshot.root.reset();  // perhaps changed half-way: reread next time
        throw;
    }
    if (st != ERROR_SUCCESS || !changed) return st;
    struct stat written;
    st = reg::Store(lock, *g_snapshot.root, written);
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
    if (key) return ERROR_SUCCESS;
    return reg::Fail(ERROR_KEY_DELETED,
                     KeyText(h.path) + " was deleted from " + Where() + " after it was opened");
}

std::u16string_view ValueName(LPCWSTR lpValueName) {
    return glyphary::platform::OleView(lpValueName);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The Windows calls

extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions,
                                   REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                                   LPDWORD lpdwDisposition) {
    return Call("RegCreateKeyExW", [&]() -> LSTATUS {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        // Volatile keys would need a registry that forgets them at shutdown; refuse rather than
        // keep them for ever.
        if (dwOptions != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
        const auto lock = TakeTurn();
        const Handle* base = FindHandle(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        Path path = base->path;
        if (const LSTATUS st = SplitSubKey(lpSubKey, path)) return st;
        const Handle parent = *base;

        bool created = false;
        // Most calls find the key in place: no need to lock the file for those.
        constexpr LSTATUS kAbsent = ERROR_FILE_NOT_FOUND;
        LSTATUS st = Read([&](const reg::Key& root) -> LSTATUS {
            reg::Key* key;
            if (const LSTATUS st = KeyOf(root, parent, key)) return st;
            return Walk(root, path) ? ERROR_SUCCESS : kAbsent;
        });
        if (st == kAbsent) {
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
        if (lpdwDisposition)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                                 PHKEY phkResult) {
    return Call("RegOpenKeyExW", [&]() -> LSTATUS {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        const auto lock = TakeTurn();
        const Handle* base = FindHandle(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        Path path = base->path;
        if (const LSTATUS st = SplitSubKey(lpSubKey, path)) return st;
        const LSTATUS st = Read([&](const reg::Key& root) -> LSTATUS {
            reg::Key* key;
            if (const LSTATUS st = KeyOf(root, *base, key)) return st;
            return Walk(root, path) ? ERROR_SUCCESS : Missing(path);
        });
        if (st != ERROR_SUCCESS) return st;
        *phkResult = NewHandle(std::move(path), samDesired);
        return ERROR_SUCCESS;
    });
}

extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData) {
    return Call("RegSetValueExW", [&]() -> LSTATUS {
        if (!lpData && cbData) return ERROR_NOACCESS;
        const std::u16string_view name = ValueName(lpValueName);
        if (name.size() > reg::kMaxValueName) return ERROR_INVALID_PARAMETER;
        const auto lock = TakeTurn();
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
    });
}

extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData) {
    return Call("RegQueryValueExW", [&]() -> LSTATUS {
        if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
        const auto lock = TakeTurn();
        const Handle* h = FindHandle(hKey);
        if (!h) return ERROR_INVALID_HANDLE;
        if (!(h->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        return Read([&](const reg::Key& root) -> LSTATUS {
            reg::Key* key;
            if (const LSTATUS st = KeyOf(root, *h, key)) return st;
            const std::u16string_view name = ValueName(lpValueName);
            const reg::Value* value = key->FindValue(name);
            if (!value) {
                return reg::Fail(ERROR_FILE_NOT_FOUND,
                                 "the value \"" +
                                     glyphary::platform::Utf8FromUtf16(name).value_or("?") +
                                     "\" of " + KeyText(h->path) + " is not in " + Where());
            }
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
    });
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                 LPDWORD, LPWSTR lpClass, LPDWORD lpcchClass,
                                 FILETIME* lpftLastWriteTime) {
    return Call("RegEnumKeyExW", [&]() -> LSTATUS {
        if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
        const auto lock = TakeTurn();
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
    });
}

extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Call("RegDeleteKeyW", [&]() -> LSTATUS {
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        const auto lock = TakeTurn();
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
            if (!key) return Missing(path);
            // As on Windows: only a key without subkeys can go.
            if (!key->subkeys.empty()) {
                return reg::Fail(ERROR_ACCESS_DENIED, KeyText(path) + " has subkeys in " + Where() +
                                                          ", so it cannot be deleted");
            }
            parent->RemoveSubkey(path.back());
            changed = true;
            return ERROR_SUCCESS;
        });
        if (st != ERROR_SUCCESS) return st;
        for (auto& [id, handle] : g_handles) {
            if (handle.deleted || !SamePath(handle.path, path)) continue;
            // Noted first, so that an abort can undo every mark it finds.
            if (g_transaction) g_transaction->deletedHandles.push_back(id);
            handle.deleted = true;
        }
        return ERROR_SUCCESS;
    });
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
    if (IsRoot(hKey)) return ERROR_SUCCESS;
    // Needs no turn: closing touches only this process's handle table.
    std::lock_guard lock(g_mutex);
    return g_handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}

// ---------------------------------------------------------------------------------------------
// Transactions and reasons

namespace {

// Ends the open transaction: its lock is dropped and waiting threads go on. When its changes
// did not land, the handles its deletions marked are whole again. Caller holds g_mutex.
void EndTransaction(bool landed) noexcept {
    if (!landed) {
        for (uintptr_t id : g_transaction->deletedHandles)
            if (auto it = g_handles.find(id); it != g_handles.end()) it->second.deleted = false;
    }
    g_transaction.reset();
    g_transactionEnded.notify_all();
}

bool OwnTransaction() {
    return g_transaction && g_transaction->owner == std::this_thread::get_id();
}

}  // namespace

namespace glyphary::platform {

LSTATUS BeginRegistryTransaction() {
    return Call("BeginRegistryTransaction", []() -> LSTATUS {
        std::unique_lock lock(g_mutex);
        if (OwnTransaction())
            return reg::Fail(ERROR_BUSY, "a registry transaction is open on this thread already");
        g_transactionEnded.wait(lock, [] { return !g_transaction; });
        reg::ClearFailure();
        const auto file = reg::Location();
        if (!file) return ERROR_CANTWRITE;
        auto writeLock = std::make_unique<reg::WriteLock>(*file);
        if (const LSTATUS st = writeLock->status()) return st;
        // A damaged file is refused here, before anything is changed.
        if (const LSTATUS st = g_snapshot.Load(*file)) return st;
        Transaction& transaction = g_transaction.emplace();
        transaction.owner = std::this_thread::get_id();
        transaction.lock = std::move(writeLock);
        transaction.root = std::move(*g_snapshot.root);
        transaction.existed = g_snapshot.exists;
        g_snapshot.root.reset();
        return ERROR_SUCCESS;
    });
}

LSTATUS CommitRegistryTransaction() {
    return Call("CommitRegistryTransaction", []() -> LSTATUS {
        std::lock_guard lock(g_mutex);
        if (!OwnTransaction())
            return reg::Fail(ERROR_INVALID_FUNCTION,
                             "no registry transaction is open on this thread");
        Transaction& transaction = *g_transaction;
        LSTATUS st = ERROR_SUCCESS;
        bool stored = false;
        try {
            if (transaction.broken) {
                st = ERROR_OUTOFMEMORY;
            } else if (!transaction.changed) {
                // The file is as the transaction found it: its tree is still current.
                g_snapshot.root = std::move(transaction.root);
            } else {
                struct stat written;
                st = reg::Store(*transaction.lock, transaction.root, written);
                stored = st == ERROR_SUCCESS;
                if (stored) {
                    g_snapshot.root = std::move(transaction.root);
                    g_snapshot.Remember(transaction.lock->file(), &written);
                }
            }
        } catch (const std::bad_alloc&) {
            // Before the file was replaced, or while noting that it was: read it again.
            g_snapshot.root.reset();
            if (!stored) st = ERROR_OUTOFMEMORY;
        }
        EndTransaction(st == ERROR_SUCCESS);
        return st;
    });
}

void AbortRegistryTransaction() {
    std::lock_guard lock(g_mutex);
    if (OwnTransaction()) EndTransaction(false);
}

std::string RegistryFailure() {
    return reg::LastFailure();
}

}  // namespace glyphary::platform
