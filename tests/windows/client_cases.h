// The string cases of the Windows clients, against the sample configuration in data/ that
// sits beside the DLL. client.js runs the same cases late-bound; keep the two in step.
#pragma once

#include <string>
#include <utility>

#include "platform/win.h"

namespace glyphary::wintest {

enum class Operation { Globalize, Localize, UserAgent };

/// One call on a new object: mode and properties set first, then the operation. For a
/// failure, `expected` is text that the error info's description must contain.
struct Case {
    const char* name;
    int mode;
    std::pair<const wchar_t*, std::wstring> properties[4];
    Operation op;
    std::wstring input;
    HRESULT hr;
    std::wstring expected;
};

/// The defaults that data/Glyphary.setting gives every new object, in slot order.
inline const std::pair<const wchar_t*, std::wstring> kDefaults[] = {
    {L"LocalizePattern", L":([a-z0-9_+\\-]+):"},
    {L"LocalizeUndefinedFormat", L":%1%:"},
    {L"GlobalizeFormat", L":%1%:"},
    {L"GlobalizeUndefinedFormat", L"\u3013"},
};

inline const std::wstring kMarked = L"\\[(\\w+)\\]";

inline const Case kCases[] = {
    // The sample maps: i-mode U+E63E is "sunny" and U+E6F0 is shared, mapping back to
    // "smiley"; EZweb "sunny" is U+E488, SoftBank's U+E04A.
    {"globalize, i-mode with the defaults",
     1,
     {},
     Operation::Globalize,
     L"a\uE63Eb\uE6F0c",
     S_OK,
     L"a:sunny:b:smiley:c"},
    {"globalize, format naming the id twice",
     3,
     {{L"GlobalizeFormat", L"[%1%|%1%]"}},
     Operation::Globalize,
     L"\uE04A x",
     S_OK,
     L"[sunny|sunny] x"},
    {"globalize, printf-style format",
     1,
     {{L"GlobalizeFormat", L"<%s>"}},
     Operation::Globalize,
     L"\uE63E",
     S_OK,
     L"<sunny>"},
    {"globalize, empty format removes",
     1,
     {{L"GlobalizeFormat", L""}},
     Operation::Globalize,
     L"a\uE63Eb",
     S_OK,
     L"ab"},
    {"globalize, mode none has no table", 0, {}, Operation::Globalize, L"\uE63E", S_OK, L"\uE63E"},
    {"globalize, surrogate pair passes unit by unit",
     1,
     {},
     Operation::Globalize,
     L"\xD83D\xDE00\uE63E",
     S_OK,
     L"\xD83D\xDE00:sunny:"},
    {"localize, EZweb with the defaults",
     2,
     {},
     Operation::Localize,
     L"x:sunny:y:nosuch:z",
     S_OK,
     L"x\uE488y:nosuch:z"},
    {"localize, custom pattern and format",
     3,
     {{L"LocalizePattern", kMarked}, {L"LocalizeUndefinedFormat", L"{%1%}"}},
     Operation::Localize,
     L"[sunny][nosuch]",
     S_OK,
     L"\uE04A{nosuch}"},
    {"user agent, i-mode",
     0,
     {},
     Operation::UserAgent,
     L"DoCoMo/2.0 P903i(c100;TB;W24H12)",
     S_OK,
     L"1"},
    {"user agent, EZweb",
     0,
     {},
     Operation::UserAgent,
     L"KDDI-SA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0",
     S_OK,
     L"2"},
    {"user agent, SoftBank", 0, {}, Operation::UserAgent, L"SoftBank/1.0/910T/TJ001", S_OK, L"3"},
    {"user agent, whole string must match",
     0,
     {},
     Operation::UserAgent,
     L"Mozilla/5.0 DoCoMo/2.0",
     S_OK,
     L"0"},
    {"user agent, case-sensitive", 0, {}, Operation::UserAgent, L"docomo/2.0", S_OK, L"0"},
    {"globalize, ill-formed format",
     1,
     {{L"GlobalizeFormat", L"%1"}},
     Operation::Globalize,
     L"\uE63E",
     E_INVALIDARG,
     L"GlobalizeFormat"},
    {"globalize, format wants a second argument",
     1,
     {{L"GlobalizeFormat", L"%2%"}},
     Operation::Globalize,
     L"\uE63E",
     E_INVALIDARG,
     L"GlobalizeFormat"},
    // A mode without tables passes text through, even with formats it never needs.
    {"globalize, empty table",
     7,
     {{L"GlobalizeFormat", L"%1"}},
     Operation::Globalize,
     L"abc",
     S_OK,
     L"abc"},
    {"localize, undefined id with format",
     7,
     {{L"LocalizePattern", kMarked}, {L"LocalizeUndefinedFormat", L"<%1%|%1%>"}},
     Operation::Localize,
     L"a[x]b[yz]",
     S_OK,
     L"a<x|x>b<yz|yz>"},
    {"localize, undefined id removed",
     7,
     {{L"LocalizePattern", kMarked}, {L"LocalizeUndefinedFormat", L""}},
     Operation::Localize,
     L"a[x]b",
     S_OK,
     L"ab"},
    {"localize, printf-style width",
     7,
     {{L"LocalizePattern", kMarked}, {L"LocalizeUndefinedFormat", L"%|5|"}},
     Operation::Localize,
     L"[ab]",
     S_OK,
     L"   ab"},
    {"localize, anchored pattern restarts after each match",
     7,
     {{L"LocalizePattern", L"^<(\\w)>"}, {L"LocalizeUndefinedFormat", L"%1%"}},
     Operation::Localize,
     L"<a><b>c<d>",
     S_OK,
     L"abc<d>"},
    // Ill-formed patterns and formats fail with E_INVALIDARG and say which property.
    {"localize, ill-formed pattern",
     0,
     {{L"LocalizePattern", L"(["}},
     Operation::Localize,
     L"",
     E_INVALIDARG,
     L"LocalizePattern"},
    {"localize, format wants a second argument",
     7,
     {{L"LocalizePattern", kMarked}, {L"LocalizeUndefinedFormat", L"%1% %2%"}},
     Operation::Localize,
     L"[x]",
     E_INVALIDARG,
     L"LocalizeUndefinedFormat"},
    {"localize, ill-formed format",
     7,
     {{L"LocalizePattern", kMarked}, {L"LocalizeUndefinedFormat", L"%1"}},
     Operation::Localize,
     L"[x]",
     E_INVALIDARG,
     L"LocalizeUndefinedFormat"},
    {"user agent, no rule matches", 0, {}, Operation::UserAgent, L"NoSuchBrowser/1.0", S_OK, L"0"},
};

}  // namespace glyphary::wintest
