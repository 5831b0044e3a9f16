// Activation of registered classes: CLSID text, ProgIDs, and the lookup that CoGetClassObject
// uses for classes that are not built in. As COM does, a module loaded for a class stays
// loaded until CoFreeUnusedLibraries finds that it can go.
#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/boundary.h"
#include "platform/combase.h"
#include "platform/libloader.h"
#include "platform/unicode.h"
#include "platform/winreg.h"

namespace {

constexpr int kGuidChars = 38;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"

int HexDigit(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Exactly the braced form, nothing after it.
bool ParseGuid(std::u16string_view s, GUID& guid) {
    if (s.size() != kGuidChars || s[0] != u'{' || s[37] != u'}' || s[9] != u'-' || s[14] != u'-' ||
        s[19] != u'-' || s[24] != u'-')
        return false;
    auto hex = [&](size_t at, size_t digits, uint64_t& out) {
        out = 0;
        for (size_t i = at; i < at + digits; ++i) {
            const int d = HexDigit(s[i]);
            if (d < 0) return false;
            out = out * 16 + static_cast<unsigned>(d);
        }
        return true;
    };
    uint64_t v;
    GUID g{};
    if (!hex(1, 8, v)) return false;
    g.Data1 = static_cast<DWORD>(v);
    if (!hex(10, 4, v)) return false;
    g.Data2 = static_cast<WORD>(v);
    if (!hex(15, 4, v)) return false;
    g.Data3 = static_cast<WORD>(v);
    static constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hex(kByteAt[i], 2, v)) return false;
        g.Data4[i] = static_cast<BYTE>(v);
    }
    guid = g;
    return true;
}

std::u16string GuidText(REFGUID guid) {
    OLECHAR text[kGuidChars + 1];
    StringFromGUID2(guid, text, kGuidChars + 1);
    return text;
}

// The default value of HKEY_CLASSES_ROOT\<key> as text (REG_SZ or REG_EXPAND_SZ, without
// terminating zeros); the registry's status when it cannot be read.
LSTATUS ReadDefaultString(const std::u16string& key, std::u16string& text) {
    HKEY h;
    LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &h);
    if (st != ERROR_SUCCESS) return st;
    DWORD type = 0, size = 0;
    st = RegQueryValueExW(h, u"", nullptr, &type, nullptr, &size);
    std::u16string units(size / sizeof(OLECHAR), u'\0');
    if (st == ERROR_SUCCESS) {
        size = static_cast<DWORD>(units.size() * sizeof(OLECHAR));
        st = RegQueryValueExW(h, u"", nullptr, &type, reinterpret_cast<BYTE*>(units.data()), &size);
    }
    RegCloseKey(h);
    if (st != ERROR_SUCCESS) return st;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
    units.resize(size / sizeof(OLECHAR));
    units.erase(std::find(units.begin(), units.end(), u'\0'), units.end());
    text = std::move(units);
    return ERROR_SUCCESS;
}

// An export of `module` as a plain pointer, to cast to its real type (FARPROC's own type fits
// no entry point).
void* EntryPoint(HMODULE module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

// Modules loaded for registered classes, one reference each.
std::mutex g_keptMutex;
std::vector<HMODULE> g_kept;

HRESULT GetRegisteredClassObjectImpl(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    std::u16string server;
    const LSTATUS st =
        ReadDefaultString(u"CLSID\\" + GuidText(rclsid) + u"\\InProcServer32", server);
    if (st == ERROR_BADDB || st == ERROR_CANTREAD) return REGDB_E_READREGDB;
    if (st != ERROR_SUCCESS || server.empty()) return REGDB_E_CLASSNOTREG;

    const HMODULE module = LoadLibraryW(server.c_str());
    if (!module) return CO_E_DLLNOTFOUND;
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
    const auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(EntryPoint(module, "DllGetClassObject"));
    if (!getClassObject) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    // Asked while this call's own reference holds the module; then one reference stays with
    // the list of kept modules, and the module answers for itself in CoFreeUnusedLibraries.
    const HRESULT hr = getClassObject(rclsid, riid, ppv);
    bool alreadyKept;
    {
        std::lock_guard lock(g_keptMutex);
        alreadyKept = std::find(g_kept.begin(), g_kept.end(), module) != g_kept.end();
        if (!alreadyKept) {
            try {
                g_kept.push_back(module);
            } catch (const std::bad_alloc&) {
                // Not listed: the module then stays loaded for good, which is safe.
            }
        }
    }
    if (alreadyKept) FreeLibrary(module);
    return hr;
}

HRESULT GetRegisteredClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return glyphary::CallBoundary([&] { return GetRegisteredClassObjectImpl(rclsid, riid, ppv); });
}

struct InstallLookup {
    InstallLookup() { glyphary::platform::SetRegisteredClassLookup(&GetRegisteredClassObject); }
} g_installLookup;

}  // namespace

STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < kGuidChars + 1) return 0;
    static constexpr char kHex[] = "0123456789ABCDEF";
    OLECHAR* p = lpsz;
    auto put = [&](uint64_t v, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *p++ = kHex[(v >> shift) & 0xF];
    };
    *p++ = u'{';
    put(rguid.Data1, 8);
    *p++ = u'-';
    put(rguid.Data2, 4);
    *p++ = u'-';
    put(rguid.Data3, 4);
    *p++ = u'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) *p++ = u'-';
        put(rguid.Data4[i], 2);
    }
    *p++ = u'}';
    *p = 0;
    return kGuidChars + 1;
}

STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    const std::u16string_view progId(lpszProgID);
    // A ProgID is one key name.
    if (progId.empty() || progId.find(u'\\') != progId.npos) return CO_E_CLASSSTRING;
    return glyphary::CallBoundary([&] {
        std::u16string text;
        const LSTATUS st = ReadDefaultString(std::u16string(progId) + u"\\CLSID", text);
        if (st == ERROR_BADDB || st == ERROR_CANTREAD) return REGDB_E_READREGDB;
        if (st != ERROR_SUCCESS) return CO_E_CLASSSTRING;
        return ParseGuid(text, *lpclsid) ? S_OK : CO_E_CLASSSTRING;
    });
}

STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    *pclsid = GUID_NULL;
    if (!lpsz) return S_OK;
    if (ParseGuid(lpsz, *pclsid)) return S_OK;
    // Windows takes a ProgID here too.
    CLSID clsid;
    const HRESULT hr = CLSIDFromProgID(lpsz, &clsid);
    if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : CO_E_CLASSSTRING;
    *pclsid = clsid;
    return S_OK;
}

STDAPI_(void) CoFreeUnusedLibraries() {
    std::vector<HMODULE> kept;
    {
        std::lock_guard lock(g_keptMutex);
        kept = g_kept;
    }
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
    for (HMODULE module : kept) {
        const auto canUnloadNow =
            reinterpret_cast<CanUnloadNowFn>(EntryPoint(module, "DllCanUnloadNow"));
        if (!canUnloadNow || canUnloadNow() != S_OK) continue;
        {
            std::lock_guard lock(g_keptMutex);
            auto it = std::find(g_kept.begin(), g_kept.end(), module);
            if (it == g_kept.end()) continue;  // another thread freed it meanwhile
            g_kept.erase(it);
        }
        FreeLibrary(module);  // outside the lock: the module's detach may activate classes
    }
}
