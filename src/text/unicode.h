// Code points and UTF-16 units: surrogates, the private-use and noncharacter ranges, numeric
// character references. Every layer that looks inside text uses these, never a formula of
// its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace glyphary::text {

// ---------------------------------------------------------------------------------------------
// Surrogates

inline constexpr bool IsHighSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
inline constexpr bool IsLowSurrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}
inline constexpr bool IsSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDFFF;
}

/// The code point of the surrogate pair `high` `low`.
inline constexpr char32_t CombineSurrogates(char32_t high, char32_t low) {
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
/// The two halves of `c`, a code point above U+FFFF.
inline constexpr char16_t HighSurrogateOf(char32_t c) {
    return static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
}
inline constexpr char16_t LowSurrogateOf(char32_t c) {
    return static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
}

/// Writes `c` at `out` as one unit or a surrogate pair; returns the units written.
inline size_t WriteUtf16(char32_t c, char16_t* out) {
    if (c < 0x10000) {
        out[0] = static_cast<char16_t>(c);
        return 1;
    }
    out[0] = HighSurrogateOf(c);
    out[1] = LowSurrogateOf(c);
    return 2;
}

/// Appends `c` to `out` as one unit or a surrogate pair.
inline void AppendUtf16(char32_t c, std::u16string& out) {
    char16_t units[2];
    out.append(units, WriteUtf16(c, units));
}

/// The units of the character at text[i]: 2 for a surrogate pair, else 1 (a lone surrogate is
/// a character of its own).
inline size_t CharacterUnits(std::u16string_view text, size_t i) {
    return IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
}

/// The code point of the character at text[i] (a lone surrogate as itself).
inline char32_t CodePointAt(std::u16string_view text, size_t i) {
    return CharacterUnits(text, i) == 2 ? CombineSurrogates(text[i], text[i + 1]) : text[i];
}

/// Where a piece of `text` that would end at `end` ends without cutting a surrogate pair:
/// `end`, or one before it.
inline size_t PieceEnd(std::u16string_view text, size_t end) {
    return end > 0 && end < text.size() && IsHighSurrogate(text[end - 1]) &&
                   IsLowSurrogate(text[end])
               ? end - 1
               : end;
}

// ---------------------------------------------------------------------------------------------
// Ranges

/// Whether `c` is a private-use code point (where the carriers' emoji live): U+E000..U+F8FF,
/// and planes 15 and 16 but for their last two, which are noncharacters.
inline constexpr bool IsPrivateUse(char32_t c) {
    return (c >= 0xE000 && c <= 0xF8FF) ||
           (c >= 0xF0000 && c <= 0x10FFFD && (c & 0xFFFE) != 0xFFFE);
}

/// Whether `c` is a noncharacter: U+FDD0..U+FDEF, and the last two code points of each plane.
/// No interchanged text holds one, so they can mark text internally.
inline constexpr bool IsNoncharacter(char32_t c) {
    return (c >= 0xFDD0 && c <= 0xFDEF) || ((c & 0xFFFE) == 0xFFFE && c <= 0x10FFFF);
}

/// Appends `text` to `out` with every private-use character of the basic plane (U+E000..U+F8FF,
/// where the carriers' emoji are) written as "U+XXXX", for a terminal that cannot draw them.
void AppendShowingCodes(std::u16string_view text, std::u16string& out);

/// `value` in upper-case hexadecimal, at least `digits` digits ("E63E"), for messages.
std::string Hex(unsigned value, int digits);

// ---------------------------------------------------------------------------------------------
// Numeric character references

/// The longest reference WriteReference writes: &#x10FFFD; or &#1114111;.
inline constexpr size_t kMaxReference = 10;

enum class Radix : uint8_t {
    hex,      ///< &#xE63E; (upper-case digits, at least four), as the codecs write emoji
    decimal,  ///< &#58942;, as Python's xmlcharrefreplace writes what an encoding lacks
};

/// Writes `c` as a reference at `out` (room for kMaxReference); returns its length.
template <class Char>
size_t WriteReference(char32_t c, Char* out, Radix radix = Radix::hex) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    size_t n = 0;
    out[n++] = '&';
    out[n++] = '#';
    if (radix == Radix::hex) {
        out[n++] = 'x';
        for (int shift = c > 0xFFFFF ? 20 : c > 0xFFFF ? 16 : 12; shift >= 0; shift -= 4)
            out[n++] = static_cast<Char>(kDigits[(c >> shift) & 0xF]);
    } else {
        char digits[10];
        size_t k = 0;
        do digits[k++] = kDigits[c % 10];
        while (c /= 10);
        while (k) out[n++] = static_cast<Char>(digits[--k]);
    }
    out[n++] = ';';
    return n;
}

/// The most digits a reference may have and still be read; more is text (and so bounds what
/// a reader holds back at the end of a piece).
inline constexpr size_t kMaxReferenceDigits = 8;
/// The longest reference ParseReference reads: &#x and eight digits and ;.
inline constexpr size_t kMaxReadReference = 4 + kMaxReferenceDigits;

/// What stands at an '&': a reference of `length` units to `value`; length 0 when it is
/// none; `open` when the text ends before that is known.
struct Reference {
    size_t length = 0;
    uint32_t value = 0;
    bool open = false;
};

/// Reads the numeric reference (&#N; or &#xH; with at most kMaxReferenceDigits digits) at
/// text[0], which is '&'.
template <class Char>
Reference ParseReference(const Char* text, size_t size) {
    size_t i = 1;
    if (i == size) return {0, 0, true};
    if (text[i++] != '#') return {};
    if (i == size) return {0, 0, true};
    const bool hex = text[i] == 'x' || text[i] == 'X';
    if (hex) ++i;
    const size_t from = i;
    uint32_t value = 0;
    for (; i < size; ++i) {
        const char32_t c = static_cast<char32_t>(text[i]);
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            digit = (c | 0x20) - 'a' + 10;
        } else {
            break;
        }
        if (i - from == kMaxReferenceDigits) return {};
        value = value * (hex ? 16 : 10) + digit;
    }
    if (i == size) return {0, 0, true};
    if (text[i] != ';' || i == from) return {};
    return {i + 1, value, false};
}

}  // namespace glyphary::text
