// UTF-16 <-> UTF-8 for the places where the platform meets Linux: file names for dlopen and
// open, paths reported back to callers. Internal to the platform library; the transcoding is
// the text layer's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/wintypes.h"
#include "text/utf.h"

namespace glyphary::platform {

/// `s` as UTF-8; nullopt when it holds a lone surrogate (no file name can be made of it).
inline std::optional<std::string> Utf8FromUtf16(std::u16string_view s) {
    return text::Utf8FromUtf16(s, text::Errors::strict);
}

/// `s` as UTF-16. Linux file names are bytes: what is not UTF-8 becomes U+FFFD, as a Windows
/// caller would see an unconvertible name.
inline std::u16string Utf16FromUtf8(std::string_view s) {
    return *text::Utf16FromUtf8(s, text::Errors::replace);
}

/// The zero-terminated UTF-16 string `s` as a view; empty for null.
inline std::u16string_view OleView(const WCHAR* s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

}  // namespace glyphary::platform
