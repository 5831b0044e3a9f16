// UTF-8 <-> UTF-16, the one transcoder of the project: the platform's file names and paths,
// and every client's text at the edge. Fast on ASCII runs, streaming (a sequence cut at the
// end of a piece waits for the next), with the error policy chosen per caller.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/wintypes.h"

namespace glyphary::platform {

inline bool IsHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool IsLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

/// What to do with what the other encoding cannot carry: ill-formed UTF-8, or a lone
/// surrogate in UTF-16.
enum class UtfErrors {
    stop,     ///< stop there and say where
    replace,  ///< write U+FFFD in its place (one per maximal ill-formed subpart)
};

/// How far a call got.
struct UtfResult {
    size_t read = 0;     ///< input consumed (bytes or units)
    size_t written = 0;  ///< output produced (units or bytes)
    bool ok = true;      ///< false: stopped at what cannot be converted, which starts at `read`
};

/// Decodes UTF-8 `in` into `out`, which has room for in.size() units. Unless `final`, an
/// incomplete sequence at the end is left unread for the next piece.
GLYPHARY_PLATFORM_API UtfResult Utf16FromUtf8(std::string_view in, char16_t* out, bool final,
                                              UtfErrors errors) noexcept;

/// Encodes UTF-16 `in` as UTF-8 into `out`, which has room for 3 * in.size() bytes. Unless
/// `final`, a high surrogate at the end is left unread for the next piece.
GLYPHARY_PLATFORM_API UtfResult Utf8FromUtf16(std::u16string_view in, char* out, bool final,
                                              UtfErrors errors) noexcept;

/// All of `in` as UTF-16; none when `errors` is stop and `in` is not UTF-8.
inline std::optional<std::u16string> Utf16FromUtf8(std::string_view in, UtfErrors errors) {
    std::u16string out(in.size(), u'\0');
    const UtfResult r = Utf16FromUtf8(in, out.data(), true, errors);
    if (!r.ok) return std::nullopt;
    out.resize(r.written);
    return out;
}

/// All of `in` as UTF-8; none when `errors` is stop and `in` holds a lone surrogate.
inline std::optional<std::string> Utf8FromUtf16(std::u16string_view in, UtfErrors errors) {
    std::string out(in.size() * 3, '\0');
    const UtfResult r = Utf8FromUtf16(in, out.data(), true, errors);
    if (!r.ok) return std::nullopt;
    out.resize(r.written);
    return out;
}

}  // namespace glyphary::platform
