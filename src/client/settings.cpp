#include "client/settings.h"

#include <optional>

#include "client/errors.h"
#include "tables/config_reader.h"
#include "text/utf.h"

namespace glyphary::client {
namespace fs = std::filesystem;
namespace {

// ---------------------------------------------------------------------------------------------
// Between the client's paths and text (UTF-8 paths, UTF-16 strings) and the configuration
// reader's (UTF-16 paths, one unit per wchar_t), the one reader the module's loaders use.

std::optional<std::u16string> Utf16Path(const fs::path& path) {
    return text::Utf16FromUtf8(path.string(), text::Errors::strict);
}

// A path as the reader resolved it; empty when it names no file that could be loaded.
fs::path PathOf(LPCWSTR path) {
    return path ? fs::path(text::Utf8ForDisplay(path)) : fs::path();
}

std::u16string Units(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

// Why a file did not load, as the reader tells it.
std::string Problem(const config::ConfigFile& file) {
    const std::optional<config::LoadFailure> failure = file.Failure();
    if (!failure) return "missing or not well-formed";
    const std::string why = text::Utf8ForDisplay(Units(failure->reason));
    if (failure->missing) return "missing or unreadable (" + why + ")";
    std::string where;
    if (failure->line > 0)
        where = " at line " + std::to_string(failure->line) + ", column " +
                std::to_string(failure->column);
    return "not well-formed" + where + ": " + why;
}

// The configuration file at `path`, with why it did not load in `*problem` when given. A
// path that is not UTF-8 loads nothing.
config::ConfigFile Open(const std::u16string& path, std::string* problem = nullptr) {
    HRESULT status = S_OK;
    config::ConfigFile file = config::ConfigFile::Open(path.c_str(), status);
    if (!file.root() && problem) *problem = Problem(file);
    return file;
}

}  // namespace

SettingsFile ReadSettings(const fs::path& path) {
    SettingsFile settings;
    const std::optional<std::u16string> name = Utf16Path(path);
    if (!name) return settings;
    const config::ConfigFile file = Open(*name, &settings.problem);
    if (!file.root()) return settings;
    settings.loaded = true;
    config::SettingsHandlers handlers;
    handlers.codeMap = [&](int32_t mode, LPCWSTR map) {
        settings.maps.push_back({mode, PathOf(map)});
        return S_OK;
    };
    handlers.userAgent = [&](int32_t id, std::wstring&& pattern) {
        settings.rules.push_back({id, Units(pattern)});
    };
    handlers.mailMap = [&](LPCWSTR map) {
        settings.mailMap = PathOf(map);
        return S_OK;
    };
    config::ReadSettings(file, name->c_str(), handlers);
    return settings;
}

std::vector<fs::path> MapFilesOf(const SettingsFile& settings, int mode) {
    std::vector<fs::path> files;
    for (const CodeMapEntry& map : settings.maps)
        if (map.mode == mode) files.push_back(map.path);
    return files;
}

std::optional<std::vector<CodeMapElement>> ReadCodeMap(
    const fs::path& path, std::initializer_list<const char16_t*> extra) {
    const std::optional<std::u16string> name = Utf16Path(path);
    if (!name) return std::nullopt;
    const config::ConfigFile file = Open(*name);
    if (!file.root()) return std::nullopt;
    std::vector<CodeMapElement> elements;
    config::ReadCodeMap(
        file,
        [&](config::CodeMapEntry& e) {
            CodeMapElement& element = elements.emplace_back();
            element.id = Units(e.id);
            element.code = Units(e.code);
            for (const std::wstring& value : e.extra) element.extra.push_back(Units(value));
        },
        extra);
    return elements;
}

std::vector<CodeMapElement> ReadCodeMapsOf(const SettingsFile& settings, int mode,
                                           std::initializer_list<const char16_t*> extra) {
    std::vector<CodeMapElement> all;
    for (const fs::path& file : MapFilesOf(settings, mode)) {
        std::optional<std::vector<CodeMapElement>> elements = ReadCodeMap(file, extra);
        if (!elements) throw ClientError(file.string() + " is missing or ill-formed");
        for (CodeMapElement& e : *elements) all.push_back(std::move(e));
    }
    return all;
}

bool ReadCodeMapKeys(const fs::path& path, std::set<std::u16string>& ids,
                     std::set<std::u16string>& codes) {
    std::optional<std::vector<CodeMapElement>> elements = ReadCodeMap(path);
    if (!elements) return false;
    for (CodeMapElement& e : *elements) {
        if (!e.id.empty()) ids.insert(std::move(e.id));
        if (!e.code.empty()) codes.insert(std::move(e.code));
    }
    return true;
}

MailMapSize ReadMailMapSize(const fs::path& path) {
    MailMapSize size;
    const std::optional<std::vector<MailMapCode>> codes = ReadMailMap(path);
    if (!codes) return size;
    size.loaded = true;
    std::set<unsigned> keys;
    for (const MailMapCode& code : *codes) keys.insert(unsigned{code.mail[0]} << 8 | code.mail[1]);
    size.codes = keys.size();
    return size;
}

std::optional<std::vector<MailMapCode>> ReadMailMap(const fs::path& path) {
    const std::optional<std::u16string> name = Utf16Path(path);
    if (!name) return std::nullopt;
    const config::ConfigFile file = Open(*name);
    if (!file.root()) return std::nullopt;
    std::vector<MailMapCode> codes;
    config::ReadMailMap(file, [&](const config::MailMapEntry& e) {
        codes.push_back({{e.mail[0], e.mail[1]}, {e.web[0], e.web[1]}});
    });
    return codes;
}

}  // namespace glyphary::client
