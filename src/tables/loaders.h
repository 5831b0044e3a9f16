// The configuration loaders: "Glyphary.setting" and the map files it names, read through
// the MSXML DOM into the shared tables. Each keeps one running status and returns the one
// recorded last; negative means failure.
#pragma once

#include <cstdint>

#include "platform/win.h"

namespace glyphary {

/// Reads the settings file at `path`: default strings, user-agent rules, code maps, mail map.
HRESULT LoadSettingFile(LPCWSTR path);
/// Reads a code map file into the two tables of `mode`.
HRESULT LoadCodeMapFile(int32_t mode, LPCWSTR path);
/// Reads the EZweb mail map file into the mail code map.
HRESULT LoadEzwebMailMapFile(LPCWSTR path);

}  // namespace glyphary
