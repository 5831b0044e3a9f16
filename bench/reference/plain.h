// The three string operations written word for word from their description, with no
// shortcut: a map lookup per unit, a new wformat for every emoji, the pattern compiled for
// every search, every rule compiled at every call. The benchmarks measure the module's
// operations against these, and the tests check that both give the same results.
#pragma once

#include <string>
#include <string_view>

#include "tables/tables.h"

namespace glyphary::reference {

/// Globalize on module text. Throws what Boost.Format throws.
std::wstring Globalize(std::wstring_view input, const ModeTable& codeToId,
                       const std::wstring& format, const std::wstring& undefinedFormat);

/// Localize on module text, with the global-replace rule after an empty match. Throws what
/// Boost.Regex and Boost.Format throw.
std::wstring Localize(std::wstring_view input, const std::wstring& pattern,
                      const ModeTable& idToCode, const std::wstring& undefinedFormat);

/// GetUserAgentID on module text. Throws what Boost.Regex throws.
int32_t UserAgentId(std::wstring_view userAgent, const UserAgentRules& rules);

}  // namespace glyphary::reference
