// Numeric character references inside the codecs: read from decoded text, written for
// private-use characters. Internal to the text layer.
#pragma once

#include <cstddef>
#include <string_view>

namespace glyphary::text::references {

/// How far Read got.
struct Read {
    size_t size = 0;  ///< the text's new length
    /// Where a reference the text may end inside of starts (kept for the next piece), or the
    /// old length.
    size_t heldFrom = 0;
};

/// Replaces each reference to a private-use code point in text[0, size) by the character, in
/// place (the text only shrinks). Unless `final`, a reference that may go on past the end is
/// left at text[heldFrom, size).
Read ReadPrivateUse(char16_t* text, size_t size, bool final);

/// The first unit at or after `from` that may start a private-use character (U+E000..U+F8FF,
/// or the high surrogate of planes 15 and 16), or `size`.
size_t FindPrivateUse(const char16_t* text, size_t from, size_t size);

/// The room CopyWithReferences needs for `bytes` bytes.
inline size_t CopyRoom(size_t bytes) {
    return bytes + bytes / 3 * 5 + 16;  // three bytes to eight at most, and one spare store
}

/// Copies the well-formed UTF-8 `utf8` to `out`, each private-use character written as its
/// reference &#xHEX; instead; returns the bytes written.
size_t CopyWithReferences(std::string_view utf8, char* out);

}  // namespace glyphary::text::references
