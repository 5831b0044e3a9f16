// Reaching the Glyphary module the COM way: load its file with LoadLibraryW and ask its
// DllGetClassObject for the class factory (or activate the registered class by ProgID), then
// talk to objects through IGlyphary only.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "com/iglyphary.h"
#include "platform/owners.h"

namespace glyphary::tool {

/// A failed call: the operation, its HRESULT and what the error info said.
class ComError : public std::runtime_error {
  public:
    ComError(std::string operation, HRESULT hr, std::string description);
    HRESULT hr() const noexcept { return m_hr; }

  private:
    HRESULT m_hr;
};

/// A failure that is no HRESULT: a file that cannot be read, a module that is not there.
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Throws ComError for a failed `hr`, with this thread's error info as the description.
void Check(HRESULT hr, const std::string& operation);
/// "0x80070057 E_INVALIDARG" for the codes this program meets; the hex alone otherwise.
std::string DescribeHresult(HRESULT hr);

/// Where the module to use lies, and how it was chosen.
struct ModuleChoice {
    std::filesystem::path path;  ///< empty: activate the registered class by ProgID
    std::string origin;          ///< "--module", "GLYPHARY_MODULE", "beside the program", ...
};

/// The module named by --module (`explicitPath`, if given), else $GLYPHARY_MODULE, else the one
/// installed or built beside this program, else the registered class.
ModuleChoice ChooseModule(const std::optional<std::filesystem::path>& explicitPath);

/// Why the Glyphary.setting beside the module at `module` does not fit the 260-unit path
/// buffers the module reads it through (the module then silently runs with empty tables);
/// empty when it fits.
std::string SettingsPathTooLong(const std::filesystem::path& module);

/// A loaded module; FreeLibrary when it goes. Objects must be released before it.
class Module {
  public:
    /// Loads the chosen module (or, for the registered class, finds its file in the registry).
    explicit Module(ModuleChoice choice);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::filesystem::path& path() const noexcept { return m_path; }
    const std::string& origin() const noexcept { return m_origin; }
    /// "Glyphary.setting" beside the module: the configuration it loaded.
    std::filesystem::path SettingsPath() const { return m_path.parent_path() / "Glyphary.setting"; }

    /// A new Glyphary object.
    com_ptr<IGlyphary> Create();
    /// The module's own DllRegisterServer / DllUnregisterServer.
    void Register();
    void Unregister();

  private:
    void* Export(const char* name);

    std::filesystem::path m_path;
    std::string m_origin;
    HMODULE m_module = nullptr;
    bool m_registered = false;  // activated through the registry rather than loaded here
};

}  // namespace glyphary::tool
