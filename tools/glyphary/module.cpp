#include "module.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include <boost/format.hpp>

#include "platform/registry.h"
#include "text.h"

namespace glyphary::tool {
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Errors

namespace {

std::string ComErrorMessage(const std::string& operation, HRESULT hr,
                            const std::string& description) {
    std::string message = operation + " failed: " + DescribeHresult(hr);
    if (!description.empty()) message += ": " + description;
    return message;
}

std::u16string U16(const fs::path& path) {
    return Utf16FromUtf8(path.string());
}

}  // namespace

ComError::ComError(std::string operation, HRESULT hr, std::string description)
    : std::runtime_error(ComErrorMessage(operation, hr, description)), m_hr(hr) {}

std::string DescribeHresult(HRESULT hr) {
    struct Name {
        HRESULT hr;
        const char* name;
    };
    static constexpr Name names[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_ABORT, "E_ABORT"},
        {E_FAIL, "E_FAIL"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_HANDLE, "E_HANDLE"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {REGDB_E_READREGDB, "REGDB_E_READREGDB"},
        {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB"},
        {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
        {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND"},
        {CO_E_ERRORINDLL, "CO_E_ERRORINDLL"},
        {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
        {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
    };
    std::string text = str(boost::format("0x%08X") % static_cast<uint32_t>(hr));
    for (const Name& n : names)
        if (n.hr == hr) return text + " " + n.name;
    return text;
}

void Check(HRESULT hr, const std::string& operation) {
    if (SUCCEEDED(hr)) return;
    std::string description;
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        unique_bstr text;
        if (SUCCEEDED(info->GetDescription(text.put())) && text)
            description = Utf8ForDisplay(std::u16string_view(text.get(), SysStringLen(text.get())));
    }
    throw ComError(operation, hr, description);
}

// ---------------------------------------------------------------------------------------------
// Choosing the module

namespace {

// The program's own directory, from the kernel: the module is found relative to it, wherever
// the build tree or the installation lies.
fs::path ProgramDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
}

}  // namespace

ModuleChoice ChooseModule(const std::optional<fs::path>& explicitPath) {
    if (explicitPath) return {fs::absolute(*explicitPath), "--module"};
    if (const char* env = std::getenv("GLYPHARY_MODULE"); env && *env)
        return {fs::absolute(env), "GLYPHARY_MODULE"};
    const fs::path dir = ProgramDirectory();
    if (!dir.empty()) {
        // An installed program first, then the build tree's layout.
        for (const char* relative : {GLYPHARY_INSTALLED_MODULE_DIR, GLYPHARY_BUILT_MODULE_DIR}) {
            const fs::path candidate = (dir / relative / "glyphary.so").lexically_normal();
            std::error_code ec;
            if (fs::is_regular_file(candidate, ec)) return {candidate, "beside the program"};
        }
    }
    return {fs::path(), "registered as \"Glyphary\""};
}

// ---------------------------------------------------------------------------------------------
// Loading

namespace {

// The file of the class registered as "Glyphary", from its InProcServer32 key; empty when
// none is registered. A registry that cannot be read is no empty one: that throws, saying why.
fs::path RegisteredModulePath() {
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(OLESTR("Glyphary"), &clsid);
    if (hr == REGDB_E_READREGDB) {
        throw ToolError("no Glyphary module found: none beside the program, and " +
                        platform::RegistryFailure() + "; name one with --module PATH");
    }
    if (FAILED(hr)) return {};  // not registered
    const std::u16string key = u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\\InProcServer32";
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(key.c_str()), 0, KEY_READ,
                      &hKey) != ERROR_SUCCESS)
        return {};
    OLECHAR buffer[4096] = {};
    DWORD type = 0, size = sizeof(buffer) - sizeof(OLECHAR);
    const LSTATUS status =
        RegQueryValueExW(hKey, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(hKey);
    if (status != ERROR_SUCCESS || type != REG_SZ) return {};
    return fs::path(Utf8ForDisplay(std::u16string_view(buffer, size / sizeof(OLECHAR))));
}

// UTF-16 units of a UTF-8 file name, as the platform hands it to the module (a byte that is
// no UTF-8 becomes one unit).
size_t Utf16Units(std::string_view bytes) {
    size_t units = 0;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) ++units;      // a character starts here
        if (b >= 0xF0 && b <= 0xF4) ++units;  // ...and needs a surrogate pair
    }
    return units;
}

// The module keeps its own full path in a buffer of MAX_PATH units: one that does not fit
// comes back cut short, and the module cannot find its type library in it.
std::string ModulePathTooLong(const fs::path& path) {
    const size_t units = Utf16Units(path.lexically_normal().string());
    if (units < MAX_PATH) return {};
    return str(boost::format("the module path is too long: %1% UTF-16 units, where the "
                             "module's 260-unit path buffers hold %2%") %
               units % (MAX_PATH - 1));
}

std::string LoadFailure(const fs::path& path, DWORD error) {
    std::string why;
    if (error == ERROR_DLL_INIT_FAILED) why = ModulePathTooLong(path);
    if (!why.empty()) return "cannot load the module " + path.string() + ": " + why;
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_MOD_NOT_FOUND:
            why = "no loadable module there";
            break;
        case ERROR_PROC_NOT_FOUND:
            why = "it is not a Glyphary module";
            break;
        case ERROR_DLL_INIT_FAILED:
            why =
                "the module refused to start (its type library or Glyphary.setting could not "
                "be read)";
            break;
        default:
            why = "error " + std::to_string(error);
            break;
    }
    return "cannot load the module " + path.string() + ": " + why;
}

}  // namespace

std::string SettingsPathTooLong(const fs::path& module) {
    const size_t units = Utf16Units(module.lexically_normal().parent_path().string());
    const size_t limit = MAX_PATH - 1 - (1 + std::string_view("Glyphary.setting").size());
    if (units <= limit) return {};
    return str(boost::format("the module directory is too long: %1% UTF-16 units, where the "
                             "module's 260-unit path buffers leave room for %2% before "
                             "/Glyphary.setting; the module cannot find its settings and runs "
                             "with empty tables") %
               units % limit);
}

Module::Module(ModuleChoice choice)
    : m_path(std::move(choice.path)), m_origin(std::move(choice.origin)) {
    if (m_path.empty()) {
        // Nothing beside the program: the class registered in the registry, if any.
        m_path = RegisteredModulePath();
        if (m_path.empty())
            throw ToolError(
                "no Glyphary module found: none beside the program, none registered; name one "
                "with --module PATH");
        m_registered = true;
        return;
    }
    std::error_code ec;
    if (!fs::exists(m_path, ec)) throw ToolError("no module at " + m_path.string());
    m_module = LoadLibraryW(reinterpret_cast<LPCWSTR>(U16(m_path).c_str()));
    if (!m_module) throw ToolError(LoadFailure(m_path, GetLastError()));
}

Module::~Module() {
    if (m_module) FreeLibrary(m_module);
}

void* Module::Export(const char* name) {
    void* fn = reinterpret_cast<void*>(GetProcAddress(m_module, name));
    if (!fn) throw ToolError(m_path.string() + " does not export " + name);
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
    if (m_registered) throw ToolError("name the module to register with --module PATH");
    using RegisterFn = HRESULT (*)();
    Check(reinterpret_cast<RegisterFn>(Export("DllRegisterServer"))(), "DllRegisterServer");
}

void Module::Unregister() {
    if (m_registered) throw ToolError("name the module to unregister with --module PATH");
    using RegisterFn = HRESULT (*)();
    Check(reinterpret_cast<RegisterFn>(Export("DllUnregisterServer"))(), "DllUnregisterServer");
}

}  // namespace glyphary::tool
