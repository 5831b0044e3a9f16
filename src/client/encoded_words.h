// RFC 2047 encoded words ("=?charset?B?payload?=", or Q) in header text: found in time linear
// in the text (each attempt stops at the first '?' or white space it meets, so no byte is
// scanned more than a few times, however many "=?" the text holds), decoded and encoded.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace glyphary::client {

/// An encoded word as it stands in header text.
struct EncodedWordText {
    size_t begin = 0;          ///< at its "=?"
    size_t end = 0;            ///< just after its "?="
    std::string_view charset;  ///< as written, an RFC 2231 "*language" included
    char encoding = 'B';       ///< 'B' or 'Q'
    std::string_view payload;  ///< between the third '?' and "?="
};

/// The encoded word that begins at text[at], if one does: "=?", a charset, "?", B or Q in
/// either letter case, "?", the payload, "?=", with neither white space nor '?' in the
/// charset or the payload.
std::optional<EncodedWordText> EncodedWordAt(std::string_view text, size_t at);

/// Calls `bad(offset)` for each "=?" in `text` that begins no encoded word, in order.
template <class Bad>
void ForEachBadEncodedWord(std::string_view text, Bad bad) {
    for (size_t at = text.find("=?"); at != std::string_view::npos; at = text.find("=?", at)) {
        if (const std::optional<EncodedWordText> word = EncodedWordAt(text, at)) {
            at = word->end;
        } else {
            bad(at);
            at += 2;
        }
    }
}

/// The bytes `word` carries: its payload decoded as base64 (B) or as RFC 2047's
/// quoted-printable (Q: "=XX" a byte, '_' a space, any other character itself). What does not
/// decode is dropped (B) or kept as it stands (Q).
std::string DecodeWordPayload(const EncodedWordText& word);

/// The payload of `word` re-encoded for `bytes`, which has as many bytes as the word carries:
/// B encodes all of them anew; Q keeps each byte that did not change as the payload wrote it
/// and writes a changed one as "=XX".
std::string ReencodeWordPayload(const EncodedWordText& word, std::string_view bytes);

}  // namespace glyphary::client
