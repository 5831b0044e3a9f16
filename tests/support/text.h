// Test helpers for UTF-16 text: BSTRs from literals, and module text back.
#pragma once

#include <string>

#include "platform/olestr.h"
#include "platform/owners.h"

namespace glyphary::testing {

/// A BSTR holding `text` (u"" literal), owned by the caller through unique_bstr.
inline unique_bstr Bstr(std::u16string_view text) {
    return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

/// The units of a BSTR as a u16string, by its length prefix.
inline std::u16string Units(BSTR s) {
    return s ? std::u16string(s, SysStringLen(s)) : std::u16string();
}

/// Module text (one unit per wchar_t) from a u16string.
inline std::wstring Wide(std::u16string_view text) {
    std::wstring out;
    for (char16_t c : text) out.push_back(static_cast<wchar_t>(c));
    return out;
}

/// Module text back to UTF-16 units.
inline std::u16string Narrow(std::wstring_view text) {
    std::u16string out;
    for (wchar_t c : text) out.push_back(static_cast<char16_t>(c));
    return out;
}

}  // namespace glyphary::testing
