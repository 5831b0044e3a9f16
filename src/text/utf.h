// UTF-8 <-> UTF-16, the one transcoder of the project: the platform's file names, messages,
// and every client's text at the edge. Fast on ASCII and on runs of two- and three-byte
// characters, streaming (a sequence cut at the end of a piece is left for the next), with
// the caller's error policy.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text/format.h"

namespace glyphary::text {

/// How far a call got.
struct UtfResult {
    size_t read = 0;     ///< input consumed (bytes or units)
    size_t written = 0;  ///< output produced (units or bytes)
    bool ok = true;      ///< false: stopped at what cannot be converted, which starts at `read`
};

/// Decodes UTF-8 `in` into `out`, which has room for in.size() units. Unless `final`, an
/// incomplete sequence at the end is left unread for the next piece. Each maximal ill-formed
/// part (Fault::utf8Sequence, at `offset` + its index) goes to `issues`: strict stops there,
/// replace writes U+FFFD, keep writes U+DC00 + each of its bytes.
UtfResult Utf16FromUtf8(std::string_view in, char16_t* out, bool final, Issues& issues,
                        size_t offset = 0);

/// The room Utf8FromUtf16 needs for `units` units under `errors`.
inline size_t Utf8Room(size_t units, Errors errors) {
    return units * (errors == Errors::keep ? kMaxReference : 3);
}

/// Encodes UTF-16 `in` as UTF-8 into `out`, which has room for Utf8Room(in.size()). Unless
/// `final`, a high surrogate at the end is left unread for the next piece. Each lone surrogate
/// (Fault::loneSurrogate) goes to `issues`: strict stops there, replace writes '?', keep
/// writes U+DC80..U+DCFF as their bytes and the others as &#N;.
UtfResult Utf8FromUtf16(std::u16string_view in, char* out, bool final, Issues& issues,
                        size_t offset = 0);

/// The same for callers that need no account of what was replaced.
inline UtfResult Utf16FromUtf8(std::string_view in, char16_t* out, bool final, Errors errors) {
    Issues issues(errors);
    return Utf16FromUtf8(in, out, final, issues);
}
inline UtfResult Utf8FromUtf16(std::u16string_view in, char* out, bool final, Errors errors) {
    Issues issues(errors);
    return Utf8FromUtf16(in, out, final, issues);
}

/// All of `in` as UTF-16; none when `errors` is strict and `in` is not UTF-8.
std::optional<std::u16string> Utf16FromUtf8(std::string_view in, Errors errors);
/// All of `in` as UTF-8; none when `errors` is strict and `in` holds a lone surrogate.
std::optional<std::string> Utf8FromUtf16(std::u16string_view in, Errors errors);

/// Whether `bytes` are well-formed UTF-8 (what Utf16FromUtf8 decodes with no issue).
bool IsUtf8(std::string_view bytes) noexcept;
/// The scalar definition, which every other path must agree with.
bool IsUtf8Scalar(std::string_view bytes) noexcept;

/// UTF-16 to UTF-8 for people to read (messages, paths, mail shown as text): a lone surrogate
/// becomes U+FFFD.
std::string Utf8ForDisplay(std::u16string_view text);
/// The same, appended to `out`.
void AppendUtf8ForDisplay(std::u16string_view text, std::string& out);

}  // namespace glyphary::text
