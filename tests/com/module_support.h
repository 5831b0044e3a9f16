// Loading glyphary.so the way a client does (LoadLibraryW, GetProcAddress), in a process whose
// registry is a temporary file and whose main thread has initialised COM.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "com/iglyphary.h"
#include "platform/owners.h"
#include "platform/scratch.h"

namespace glyphary::testing {

/// The built module, as CMake placed it in the module directory.
inline const std::string kModulePath = GLYPHARY_MODULE_PATH;

inline std::u16string Utf16(const std::string& s) {
    return std::u16string(s.begin(), s.end());  // test paths are ASCII
}

inline std::string Narrow(const OLECHAR* s) {
    std::string out;
    for (; s && *s; ++s) out += static_cast<char>(*s);
    return out;
}

/// Whether a file of that path is mapped into this process.
inline bool IsMapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.size() >= path.size() &&
            line.compare(line.size() - path.size(), path.size(), path) == 0)
            return true;
    }
    return false;
}

using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using DllFn = HRESULT (*)();

/// One LoadLibraryW reference on a module, dropped with FreeLibrary.
class Module {
  public:
    explicit Module(const std::string& path = kModulePath)
        : m_handle(LoadLibraryW(Utf16(path).c_str())) {}
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() { Free(); }

    void Free() {
        if (m_handle) FreeLibrary(std::exchange(m_handle, nullptr));
    }
    HMODULE handle() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

    template <class F>
    F Proc(const char* name) const {
        // Through void (*)(), the generic function pointer, as Windows code casts FARPROC.
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(m_handle, name)));
    }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const {
        return Proc<DllGetClassObjectFn>("DllGetClassObject")(clsid, iid, ppv);
    }
    HRESULT CanUnloadNow() const { return Proc<DllFn>("DllCanUnloadNow")(); }
    HRESULT Register() const { return Proc<DllFn>("DllRegisterServer")(); }
    HRESULT Unregister() const { return Proc<DllFn>("DllUnregisterServer")(); }

    com_ptr<IClassFactory> Factory() const {
        com_ptr<IClassFactory> factory;
        EXPECT_EQ(S_OK, GetClassObject(CLSID_Glyphary, IID_IClassFactory, factory.put_void()));
        return factory;
    }
    com_ptr<IGlyphary> Create() const {
        com_ptr<IGlyphary> object;
        EXPECT_EQ(S_OK, Factory()->CreateInstance(nullptr, IID_IGlyphary, object.put_void()));
        return object;
    }

  private:
    HMODULE m_handle;
};

/// A copy of the module in a directory of its own, beside a settings file of our choosing.
class ModuleCopy {
  public:
    /// `settings`: the content of "Glyphary.setting", or null for none.
    explicit ModuleCopy(const char* settings) {
        std::filesystem::copy_file(kModulePath, path());
        if (settings) std::ofstream(m_dir.file("Glyphary.setting")) << settings;
    }
    std::string path() const { return m_dir.file("glyphary.so"); }
    const TempDir& dir() const { return m_dir; }

  private:
    TempDir m_dir;
};

/// Points the process at a fresh registry file holding what Windows always has under
/// HKEY_CLASSES_ROOT: the key "CLSID".
class TemporaryRegistry {
  public:
    TemporaryRegistry() {
        setenv("GLYPHARY_REGISTRY", m_dir.file("registry").c_str(), 1);
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    ~TemporaryRegistry() { unsetenv("GLYPHARY_REGISTRY"); }
    std::string file() const { return m_dir.file("registry"); }

  private:
    TempDir m_dir;
};

/// Every test runs with COM initialised on its thread, as a client must (the module's XML
/// reader is a COM class).
class ComInitialized : public ::testing::Test {
  protected:
    ComInitialized() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComInitialized() override { CoUninitialize(); }
};

}  // namespace glyphary::testing
