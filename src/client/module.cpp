#include "client/module.h"

#include <cstdlib>
#include <system_error>

#include "client/errors.h"
#include "platform/registry.h"
#include "text/utf.h"

namespace glyphary::client {
namespace fs = std::filesystem;

namespace {

std::u16string U16(const fs::path& path) {
    return *text::Utf16FromUtf8(path.string(), text::Errors::replace);
}

// The file of the class registered as "Glyphary", from its InProcServer32 key; empty when
// none is registered. A registry that cannot be read is no empty one: that throws, saying why.
fs::path RegisteredModulePath() {
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(OLESTR("Glyphary"), &clsid);
    if (hr == REGDB_E_READREGDB) {
        throw ClientError("no Glyphary module found: none beside the program, and " +
                          platform::RegistryFailure() + "; name one with --module PATH");
    }
    if (FAILED(hr)) return {};  // not registered
    const std::u16string key = u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\\InProcServer32";
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return {};
    OLECHAR buffer[4096] = {};
    DWORD type = 0, size = sizeof(buffer) - sizeof(OLECHAR);
    const LSTATUS status =
        RegQueryValueExW(hKey, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(hKey);
    if (status != ERROR_SUCCESS || type != REG_SZ) return {};
    return fs::path(text::Utf8ForDisplay(std::u16string_view(buffer, size / sizeof(OLECHAR))));
}

// UTF-16 units of a file name, as the platform hands it to the module.
size_t Utf16Units(const fs::path& path) {
    return text::Utf16FromUtf8(path.lexically_normal().string(), text::Errors::replace)->size();
}

// The module keeps its own full path in a buffer of MAX_PATH units: one that does not fit
// comes back cut short, and the module cannot find its type library in it.
std::string ModulePathTooLong(const fs::path& path) {
    const size_t units = Utf16Units(path);
    if (units < MAX_PATH) return {};
    return "the module path is too long: " + std::to_string(units) +
           " UTF-16 units, where the module's 260-unit path buffers hold " +
           std::to_string(MAX_PATH - 1);
}

// What the loader said of the failed load, as Windows would word it for `error`.
std::string LoaderMessage(DWORD error) {
    OLECHAR text[1024];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, 1024, nullptr);
    if (n == 0) return "error " + std::to_string(error);
    return text::Utf8ForDisplay(std::u16string_view(text, n));
}

}  // namespace

std::string SettingsPathTooLong(const fs::path& module) {
    const size_t units = Utf16Units(module.lexically_normal().parent_path());
    const size_t limit = MAX_PATH - 1 - (1 + std::string_view("Glyphary.setting").size());
    if (units <= limit) return {};
    return "the module directory is too long: " + std::to_string(units) +
           " UTF-16 units, where the module's 260-unit path buffers leave room for " +
           std::to_string(limit) +
           " before /Glyphary.setting; the module cannot find its settings and runs with empty "
           "tables";
}

ModuleChoice ChooseModule(const std::optional<fs::path>& explicitPath,
                          const std::vector<fs::path>& besides) {
    if (explicitPath) return {fs::absolute(*explicitPath), "--module"};
    if (const char* env = std::getenv("GLYPHARY_MODULE"); env && *env)
        return {fs::absolute(env), "GLYPHARY_MODULE"};
    for (const fs::path& candidate : besides) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec))
            return {candidate.lexically_normal(), "beside the program"};
    }
    return {fs::path(), "registered as \"Glyphary\""};
}

Module::Module(ModuleChoice choice)
    : m_path(std::move(choice.path)), m_origin(std::move(choice.origin)) {
    if (m_path.empty()) {
        // Nothing beside the program: the class registered in the registry, if any.
        m_path = RegisteredModulePath();
        if (m_path.empty())
            throw ClientError(
                "no Glyphary module found: none beside the program, none registered; name one "
                "with --module PATH");
        m_registered = true;
        return;
    }
    std::error_code ec;
    if (!fs::exists(m_path, ec)) throw ClientError("no module at " + m_path.string());
    m_module = LoadLibraryW(U16(m_path).c_str());
    if (!m_module) {
        const DWORD error = GetLastError();
        std::string why = error == ERROR_DLL_INIT_FAILED ? ModulePathTooLong(m_path) : "";
        if (why.empty()) {
            why = LoaderMessage(error);
            if (error == ERROR_DLL_INIT_FAILED)
                why += " (its type library or Glyphary.setting could not be read)";
        }
        throw ClientError("cannot load the module " + m_path.string() + ": " + why);
    }
}

Module::~Module() {
    if (m_module) FreeLibrary(m_module);
}

void* Module::Export(const char* name) {
    void* fn = reinterpret_cast<void*>(GetProcAddress(m_module, name));
    if (!fn)
        throw ClientError(m_path.string() + " is not a Glyphary module (it does not export " +
                          name + ")");
    return fn;
}

com_ptr<IGlyphary> Module::Create() {
    com_ptr<IGlyphary> object;
    if (m_registered) {
        CLSID clsid{};
        Check(CLSIDFromProgID(OLESTR("Glyphary"), &clsid), "CLSIDFromProgID(\"Glyphary\")");
        Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IGlyphary,
                               object.put_void()),
              "CoCreateInstance(Glyphary)");
        return object;
    }
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
    const auto getClassObject = reinterpret_cast<GetClassObjectFn>(Export("DllGetClassObject"));
    com_ptr<IClassFactory> factory;
    Check(getClassObject(CLSID_Glyphary, IID_IClassFactory, factory.put_void()),
          "DllGetClassObject");
    Check(factory->CreateInstance(nullptr, IID_IGlyphary, object.put_void()),
          "IClassFactory::CreateInstance");
    return object;
}

void Module::Register() {
    if (m_registered) throw ClientError("name the module to register with --module PATH");
    using RegisterFn = HRESULT (*)();
    Check(reinterpret_cast<RegisterFn>(Export("DllRegisterServer"))(), "DllRegisterServer");
}

void Module::Unregister() {
    if (m_registered) throw ClientError("name the module to unregister with --module PATH");
    using RegisterFn = HRESULT (*)();
    Check(reinterpret_cast<RegisterFn>(Export("DllUnregisterServer"))(), "DllUnregisterServer");
}

}  // namespace glyphary::client
