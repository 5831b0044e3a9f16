// What "Glyphary.setting" and the map files it names say, read by the module's own
// configuration reader (tables/config_reader.h), so the program sees what the module loads.
// The interface reports only results, so this is how the program learns the order of the
// user-agent rules and the size of each mode's tables.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
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
    /// Resolved against the settings file's directory as the module resolves it; empty when
    /// the result does not fit the module's path buffers.
    std::filesystem::path path;
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

/// The map files the settings name for `mode`, in the order the module loads them.
std::vector<std::filesystem::path> MapFilesOf(const SettingsFile& settings, int mode);

/// One <map> element of a code map file.
struct CodeMapElement {
    std::u16string id;
    std::u16string code;
    std::vector<std::u16string> extra;  ///< the attributes asked for, in order; empty if absent
};

/// The <map> elements of the code map file at `path` in document order, with the attributes
/// named in `extra` beside id and code; none when the file is missing or not well-formed.
std::optional<std::vector<CodeMapElement>> ReadCodeMap(
    const std::filesystem::path& path, std::initializer_list<const char16_t*> extra = {});

/// The elements of every code map file the settings name for `mode`, in the order the module
/// loads them. Throws ClientError when one is missing or not well-formed.
std::vector<CodeMapElement> ReadCodeMapsOf(const SettingsFile& settings, int mode,
                                           std::initializer_list<const char16_t*> extra = {});

/// Adds the non-empty ids and codes of the code map file at `path` to `ids` and `codes` (the
/// keys of its mode's two tables); false when the file is missing or not well-formed.
bool ReadCodeMapKeys(const std::filesystem::path& path, std::set<std::u16string>& ids,
                     std::set<std::u16string>& codes);

struct MailMapSize {
    bool loaded = false;
    size_t codes = 0;  ///< distinct mail codes with a web code
};
/// How many entries the EZweb mail map file at `path` gives the module.
MailMapSize ReadMailMapSize(const std::filesystem::path& path);

/// One entry of an EZweb mail map: the two bytes of a code in a mail's ISO-2022-JP text, and
/// the two written in its place.
struct MailMapCode {
    uint8_t mail[2];
    uint8_t web[2];
};
/// The entries the module takes from the EZweb mail map file at `path`, in document order (a
/// later entry for the same mail code replaces an earlier one); none when the file is missing
/// or not well-formed.
std::optional<std::vector<MailMapCode>> ReadMailMap(const std::filesystem::path& path);

}  // namespace glyphary::client
