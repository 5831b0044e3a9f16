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
    {L"LocalizePattern", L""},
    {L"LocalizeUndefinedFormat", L""},
    {L"GlobalizeFormat", L""},
    {L"GlobalizeUndefinedFormat", L""},
};

inline const std::wstring kMarked = L"\\[(\\w+)\\]";

inline const Case kCases[] = {
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
