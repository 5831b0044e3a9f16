// Reaching the Glyphary module the COM way: load its file with LoadLibraryW and ask its
// DllGetClassObject for the class factory, or activate the class registered as "Glyphary".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "com/iglyphary.h"
#include "platform/owners.h"

namespace glyphary::client {

/// Where the module to use lies, and how it was chosen.
struct ModuleChoice {
    std::filesystem::path path;  ///< empty: activate the registered class by ProgID
    std::string origin;          ///< "--module", "GLYPHARY_MODULE", "beside the program", ...
};

/// The module at `explicitPath` if given, else $GLYPHARY_MODULE, else the first of
/// `besides` (the places an installation or a build tree puts it relative to the caller)
/// that exists, else the registered class.
ModuleChoice ChooseModule(const std::optional<std::filesystem::path>& explicitPath,
                          const std::vector<std::filesystem::path>& besides);

/// Why the Glyphary.setting beside the module at `module` does not fit the 260-unit path
/// buffers the module reads it through (the module then silently runs with empty tables);
/// empty when it fits.
std::string SettingsPathTooLong(const std::filesystem::path& module);

/// A loaded module (FreeLibrary when it goes), or the registered class. Objects made from it
/// must be released first.
class Module {
  public:
    /// Loads the chosen module, or finds the registered class's file. Throws ClientError with
    /// what the loader said.
    explicit Module(ModuleChoice choice);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::filesystem::path& path() const noexcept { return m_path; }
    const std::string& origin() const noexcept { return m_origin; }
    /// "Glyphary.setting" beside the module: the configuration it loaded.
    std::filesystem::path SettingsPath() const { return m_path.parent_path() / "Glyphary.setting"; }

    /// A new Glyphary object. Throws ComError.
    com_ptr<IGlyphary> Create();
    /// The module's own DllRegisterServer / DllUnregisterServer. Throws ComError.
    void Register();
    void Unregister();

  private:
    void* Export(const char* name);

    std::filesystem::path m_path;
    std::string m_origin;
    HMODULE m_module = nullptr;
    bool m_registered = false;  // activated through the registry rather than loaded here
};

}  // namespace glyphary::client
