// The configuration loaders: what the configuration reader finds goes into the shared tables.
// Each keeps one running status (the reader records every step of its own), and returns the
// status recorded last.
#include "tables/loaders.h"

#include <new>
#include <string>

#include "platform/boundary.h"
#include "tables/config_reader.h"
#include "tables/tables.h"

namespace glyphary {

namespace {

HRESULT LoadCodeMapFileImpl(int32_t mode, LPCWSTR path) {
    HRESULT status = E_FAIL;
    const config::ConfigFile file = config::ConfigFile::Open(path, status);
    if (!file.root()) return status;  // no table may be touched then

    // Both tables exist once the file has loaded, even when it holds no entry.
    ModeTable& idToCode = g_tables.idToCodeByMode.FindOrAdd(mode);
    ModeTable& codeToId = g_tables.codeToIdByMode.FindOrAdd(mode);
    return config::ReadCodeMap(file, [&](const config::CodeMapEntry& entry) {
        if (!entry.id.empty()) idToCode.Set(entry.id, entry.code);
        if (!entry.code.empty()) codeToId.Set(entry.code, entry.id);
    });
}

HRESULT LoadEzwebMailMapFileImpl(LPCWSTR path) {
    HRESULT status = E_FAIL;
    const config::ConfigFile file = config::ConfigFile::Open(path, status);
    if (!file.root()) return status;

    return config::ReadMailMap(file, [](const config::MailMapEntry& entry) {
        g_tables.ezwebMailCodeMap.Set(entry.mail[0], entry.mail[1], entry.web[0], entry.web[1]);
    });
}

HRESULT LoadSettingFileImpl(LPCWSTR path) {
    HRESULT status = E_FAIL;
    const config::ConfigFile file = config::ConfigFile::Open(path, status);
    if (!file.root()) return status;

    // In the order of config::DefaultString.
    static constexpr std::wstring SettingsDefaults::*kFields[] = {
        &SettingsDefaults::globalizeFormat,
        &SettingsDefaults::globalizeUndefinedFormat,
        &SettingsDefaults::localizePattern,
        &SettingsDefaults::localizeUndefinedFormat,
    };
    config::SettingsHandlers handlers;
    handlers.defaultString = [](config::DefaultString which, std::wstring&& text) {
        g_tables.defaults.*kFields[static_cast<size_t>(which)] = std::move(text);
    };
    // A path that does not fit its buffer names no file that could be loaded.
    handlers.codeMap = [](int32_t mode, LPCWSTR map) {
        return map ? LoadCodeMapFile(mode, map) : S_FALSE;
    };
    handlers.userAgent = [](int32_t id, std::wstring&& pattern) {
        g_tables.userAgentRules.Append(id, std::move(pattern));
    };
    handlers.mailMap = [](LPCWSTR map) { return map ? LoadEzwebMailMapFile(map) : S_FALSE; };
    return config::ReadSettings(file, path, handlers);
}

}  // namespace

// Out of memory while filling the tables is a failure of the load, not a crash.
HRESULT LoadSettingFile(LPCWSTR path) {
    return CallBoundary([&] { return LoadSettingFileImpl(path); });
}

HRESULT LoadCodeMapFile(int32_t mode, LPCWSTR path) {
    return CallBoundary([&] { return LoadCodeMapFileImpl(mode, path); });
}

HRESULT LoadEzwebMailMapFile(LPCWSTR path) {
    return CallBoundary([&] { return LoadEzwebMailMapFileImpl(path); });
}

}  // namespace glyphary
