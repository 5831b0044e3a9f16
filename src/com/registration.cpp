// Self-registration: the ProgID "Glyphary" and the class key with its in-process server,
// under HKEY_CLASSES_ROOT. The first failing step ends with E_FAIL; nothing is undone.
#include "com/exports.h"
#include "com/module.h"

namespace glyphary {

namespace {

constexpr const OLECHAR* kProgId = OLESTR("Glyphary");
constexpr const OLECHAR* kClsidText = OLESTR("{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}");

/// A registry key handle, closed when the scope ends.
class RegKey {
  public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (m_key) RegCloseKey(m_key);
    }
    HKEY get() const noexcept { return m_key; }
    HKEY* put() noexcept { return &m_key; }

  private:
    HKEY m_key = nullptr;
};

// New keys ask only to set values; existing keys are opened to read and write.
bool CreateKey(HKEY parent, const OLECHAR* name, RegKey& key) {
    return RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                           nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

bool OpenKey(HKEY parent, const OLECHAR* name, RegKey& key) {
    return RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE, key.put()) == ERROR_SUCCESS;
}

// The data is the string's units without a terminating null.
bool SetString(HKEY key, const OLECHAR* valueName, const OLECHAR* value) {
    DWORD units = 0;
    while (value[units]) ++units;
    return RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          units * static_cast<DWORD>(sizeof(OLECHAR))) == ERROR_SUCCESS;
}

bool Register() {
    RegKey progId, progIdClsid, clsidRoot, classKey, server;
    return CreateKey(HKEY_CLASSES_ROOT, kProgId, progId) &&
           CreateKey(progId.get(), OLESTR("CLSID"), progIdClsid) &&
           SetString(progIdClsid.get(), nullptr, kClsidText) &&
           OpenKey(HKEY_CLASSES_ROOT, OLESTR("CLSID"), clsidRoot) &&
           CreateKey(clsidRoot.get(), kClsidText, classKey) &&
           SetString(classKey.get(), nullptr, kProgId) &&
           CreateKey(classKey.get(), OLESTR("InProcServer32"), server) &&
           SetString(server.get(), nullptr, g_szModulePath) &&
           SetString(server.get(), OLESTR("ThreadingModel"), OLESTR("Apartment"));
}

bool Unregister() {
    RegKey progId, clsidRoot, classKey;
    return OpenKey(HKEY_CLASSES_ROOT, kProgId, progId) &&
           RegDeleteKeyW(progId.get(), OLESTR("CLSID")) == ERROR_SUCCESS &&
           RegDeleteKeyW(HKEY_CLASSES_ROOT, kProgId) == ERROR_SUCCESS &&
           OpenKey(HKEY_CLASSES_ROOT, OLESTR("CLSID"), clsidRoot) &&
           OpenKey(clsidRoot.get(), kClsidText, classKey) &&
           RegDeleteKeyW(classKey.get(), OLESTR("InProcServer32")) == ERROR_SUCCESS &&
           RegDeleteKeyW(clsidRoot.get(), kClsidText) == ERROR_SUCCESS;
}

}  // namespace

}  // namespace glyphary

STDAPI DllRegisterServer() {
    return glyphary::Register() ? S_OK : E_FAIL;
}

STDAPI DllUnregisterServer() {
    return glyphary::Unregister() ? S_OK : E_FAIL;
}
