// Numeric character references (&#xE63E;), as the codecs write them: pages served in an
// encoding that cannot carry an emoji carry its reference instead.
#pragma once

#include <cstddef>

namespace glyphary::client {

/// Whether `c` is a private-use code point (where the carriers' emoji live).
inline bool IsPrivateUse(char32_t c) {
    return (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xF0000 && c <= 0x10FFFD);
}

/// The longest reference WriteReference writes: &#x10FFFD;
inline constexpr size_t kMaxReference = 10;

/// Writes `c` as &#xHEX; (upper-case digits, at least four) at `out`; returns its length.
template <class Char>
size_t WriteReference(char32_t c, Char* out) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    size_t digits = c > 0xFFFFF ? 6 : c > 0xFFFF ? 5 : 4;
    out[0] = '&';
    out[1] = '#';
    out[2] = 'x';
    for (size_t k = 0; k < digits; ++k)
        out[3 + k] = static_cast<Char>(kDigits[(c >> (4 * (digits - 1 - k))) & 0xF]);
    out[3 + digits] = ';';
    return 4 + digits;
}

}  // namespace glyphary::client
