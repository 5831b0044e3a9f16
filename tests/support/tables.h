// Test helpers for the shared tables: a clean slate per test and one-line fills.
#pragma once

#include <string>

#include "tables/tables.h"

namespace glyphary::testing {

/// Empties every shared table and default. Only while no object exists.
inline void ResetTables() {
    g_tables.defaults = {};
    g_tables.idToCodeByMode.Clear();
    g_tables.codeToIdByMode.Clear();
    g_tables.userAgentRules.Clear();
    g_tables.ezwebMailCodeMap.Clear();
}

/// Stores one map entry for `mode` as the code map loader would: id -> code when the id is
/// not empty, code -> id when the code is not empty.
inline void AddCode(int32_t mode, const std::wstring& id, const std::wstring& code) {
    if (!id.empty()) g_tables.idToCodeByMode.FindOrAdd(mode).Set(id, code);
    if (!code.empty()) g_tables.codeToIdByMode.FindOrAdd(mode).Set(code, id);
}

}  // namespace glyphary::testing
