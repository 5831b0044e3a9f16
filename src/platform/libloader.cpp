// Module loading with Windows' protocol over dlopen. One loader lock serialises every load and
// unload, and DllMain runs under it, as on Windows: a module's start-up and shutdown never
// overlap another module's, and GetModuleFileNameW works from inside DllMain.
#include "platform/libloader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "platform/winreg.h"

namespace {

using DllMainFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

struct Module {
    void* dl;             // the one dlopen reference held while the module is loaded
    std::u16string path;  // what GetModuleFileNameW reports
    DllMainFn dllMain;    // null: the module has no entry point
    ULONG refs;           // LoadLibraryW calls not yet undone by FreeLibrary
};

// Recursive: DllMain may load or free other modules, or ask for its own file name.
std::recursive_mutex& LoaderLock() {
    static std::recursive_mutex lock;
    return lock;
}

// Keyed by the module handle, which is the load address, as on Windows.
std::map<HMODULE, Module>& Modules() {
    static std::map<HMODULE, Module> modules;
    return modules;
}

thread_local DWORD t_lastError = ERROR_SUCCESS;

// Why this thread's last load failed, in the dynamic loader's words, and the error code it
// was reported under: FormatMessageW gives it for that code.
thread_local std::string t_loadFailure;
thread_local DWORD t_loadFailureCode = ERROR_SUCCESS;

void LoadFailed(DWORD error, std::string why) {
    t_loadFailure = std::move(why);
    t_loadFailureCode = error;
    SetLastError(error);
}

// The load address of a dlopen handle: what Windows calls the module handle.
HMODULE BaseOf(void* dl) {
    link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
    Dl_info info{};
    if (!map->l_ld || !dladdr(map->l_ld, &info)) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

// `path` made absolute against the working directory, with "." and ".." folded lexically,
// as Windows' full path names are.
std::string FullPath(const std::string& path) {
    std::string joined = path;
    if (joined.empty() || joined[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return path;
        joined = std::string(cwd) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= joined.size()) {
        size_t j = joined.find('/', i);
        if (j == std::string::npos) j = joined.size();
        std::string part = joined.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

// Copies `path` into `buffer` as GetModuleFileNameW does: a name that does not fit is
// truncated to nSize - 1 units and terminated, and the result is nSize.
DWORD CopyFileName(const std::u16string& path, LPWSTR buffer, DWORD nSize) {
    if (nSize == 0 || !buffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < nSize) {
        path.copy(buffer, path.size());
        buffer[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    path.copy(buffer, nSize - 1);
    buffer[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

}  // namespace

extern "C" DWORD GetLastError() {
    return t_lastError;
}

extern "C" void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

extern "C" HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    using glyphary::platform::Utf16FromUtf8;
    using glyphary::platform::Utf8FromUtf16;
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // "\\?\" only turns off Windows' path parsing; the file is the one named after it. The
    // module keeps the name it was loaded under, prefix and all, as on Windows.
    std::u16string_view name(lpLibFileName);
    constexpr std::u16string_view kLongPrefix = u"\\\\?\\";
    const bool longPrefix = name.starts_with(kLongPrefix);
    if (longPrefix) name.remove_prefix(kLongPrefix.size());
    const auto file = Utf8FromUtf16(name);
    if (!file || file->empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }

    std::lock_guard lock(LoaderLock());
    void* dl = dlopen(file->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        const char* why = dlerror();
        LoadFailed(access(file->c_str(), F_OK) == 0 ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND,
                   why ? why : "");
        return nullptr;
    }
    const HMODULE h = BaseOf(dl);
    if (!h) {
        dlclose(dl);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    auto& modules = Modules();
    if (auto it = modules.find(h); it != modules.end()) {
        dlclose(dl);  // the module keeps its own dlopen reference
        ++it->second.refs;
        return h;
    }

    // A name without a slash was found along the search path; report where.
    std::string found = *file;
    if (file->find('/') == std::string::npos) {
        link_map* map = nullptr;
        if (dlinfo(dl, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
            found = map->l_name;
    }
    std::u16string path = Utf16FromUtf8(FullPath(found));
    if (longPrefix) path.insert(0, kLongPrefix);

    // Recorded before DllMain runs, so that the module can ask for its own file name.
    auto dllMain = reinterpret_cast<DllMainFn>(dlsym(dl, "DllMain"));
    Module& module = modules[h] = Module{dl, std::move(path), dllMain, 1};
    if (module.dllMain &&
        !module.dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
        // As on Windows, a refused attach is told to detach (to undo whatever it had done),
        // then the module goes away: its static objects are destroyed by dlclose.
        module.dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
        modules.erase(h);
        dlclose(dl);
        LoadFailed(ERROR_DLL_INIT_FAILED, *file + ": its DllMain refused to start");
        return nullptr;
    }
    return h;
}

extern "C" BOOL FreeLibrary(HMODULE hLibModule) {
    std::lock_guard lock(LoaderLock());
    auto& modules = Modules();
    auto it = modules.find(hLibModule);
    if (it == modules.end() || it->second.refs == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (--it->second.refs > 0) return TRUE;
    // Detach while the module is still listed (its file name stays available), then forget
    // it and unload: dlclose runs its static destructors after the detach, as on Windows.
    if (it->second.dllMain)
        it->second.dllMain(reinterpret_cast<HINSTANCE>(hLibModule), DLL_PROCESS_DETACH, nullptr);
    void* dl = it->second.dl;
    modules.erase(it);
    dlclose(dl);
    return TRUE;
}

extern "C" DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    using glyphary::platform::Utf16FromUtf8;
    if (!hModule) {
        char exe[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof exe)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return CopyFileName(Utf16FromUtf8(std::string_view(exe, static_cast<size_t>(n))),
                            lpFilename, nSize);
    }
    {
        std::lock_guard lock(LoaderLock());
        auto& modules = Modules();
        if (auto it = modules.find(hModule); it != modules.end())
            return CopyFileName(it->second.path, lpFilename, nSize);
    }
    // A module the process loaded by other means (a library it links, say).
    Dl_info info{};
    if (dladdr(hModule, &info) && info.dli_fbase == hModule && info.dli_fname && *info.dli_fname)
        return CopyFileName(Utf16FromUtf8(FullPath(info.dli_fname)), lpFilename, nSize);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

extern "C" FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // Small values are ordinals on Windows; modules here export by name only.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // Under the lock, so that no other thread unloads the module meanwhile.
    std::lock_guard lock(LoaderLock());
    auto& modules = Modules();
    auto it = modules.find(hModule);
    if (it == modules.end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // dlsym also searches the module's dependencies; GetProcAddress sees only the module's
    // own exports.
    void* symbol = dlsym(it->second.dl, lpProcName);
    Dl_info info{};
    if (!symbol || !dladdr(symbol, &info) || info.dli_fbase != hModule) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" DWORD FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPWSTR lpBuffer,
                                DWORD nSize, void*) {
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (dwMessageId == t_loadFailureCode && !t_loadFailure.empty()) {
        text = t_loadFailure;
    } else {
        switch (dwMessageId) {
            case ERROR_FILE_NOT_FOUND:
                text = "The system cannot find the file specified.";
                break;
            case ERROR_MOD_NOT_FOUND:
                text = "The specified module could not be found.";
                break;
            case ERROR_PROC_NOT_FOUND:
                text = "The specified procedure could not be found.";
                break;
            case ERROR_BAD_EXE_FORMAT:
                text = "The file is not a loadable module.";
                break;
            case ERROR_DLL_INIT_FAILED:
                text = "A dynamic link library (DLL) initialization routine failed.";
                break;
            default:
                SetLastError(ERROR_MR_MID_NOT_FOUND);
                return 0;
        }
    }
    const std::u16string message = glyphary::platform::Utf16FromUtf8(text);
    if (message.size() >= nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    message.copy(lpBuffer, message.size());
    lpBuffer[message.size()] = 0;
    return static_cast<DWORD>(message.size());
}
