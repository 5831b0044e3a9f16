// What "Glyphary.setting" and the map files it names say, read through the platform's MSXML
// DOM the way the module's loaders read them (child elements of the root, exact names,
// document order). The interface reports only results, so this is how the program learns the
// order of the user-agent rules and the size of each mode's tables.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace glyphary::client {

struct UserAgentRuleEntry {
    long id = 0;
    std::u16string pattern;
};

struct CodeMapEntry {
    int mode = 0;
    std::filesystem::path path;  ///< resolved against the settings file's directory
};

struct SettingsFile {
    bool loaded = false;  ///< false: missing or not well-formed (the module then runs empty)
    /// Why it was not loaded: "missing or unreadable (...)" or "not well-formed at line L,
    /// column C: ...", as the XML reader tells it.
    std::string problem;
    std::vector<CodeMapEntry> maps;
    std::vector<UserAgentRuleEntry> rules;
    std::filesystem::path mailMap;  ///< empty when the file names none
};

/// Reads the settings file at `path`; never throws for a missing or ill-formed file.
SettingsFile ReadSettings(const std::filesystem::path& path);

/// Adds the non-empty ids and codes of the code map file at `path` to `ids` and `codes` (the
/// keys of its mode's two tables); false when the file is missing or not well-formed.
bool ReadCodeMapKeys(const std::filesystem::path& path, std::set<std::u16string>& ids,
                     std::set<std::u16string>& codes);

struct MailMapSize {
    bool loaded = false;
    size_t codes = 0;  ///< distinct mail codes with a web code
};
MailMapSize ReadMailMapSize(const std::filesystem::path& path);

}  // namespace glyphary::client
