#include "platform/utf.h"

#include <cstdint>
#include <cstring>

namespace glyphary::platform {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline bool AllAscii16(const uint8_t* p) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    return ((a | b) & kHighBits) == 0;
}

inline bool AllAscii8(const char16_t* p) {
    char16_t any = 0;
    for (int k = 0; k < 8; ++k) any |= p[k];
    return any < 0x80;
}

}  // namespace

UtfResult Utf16FromUtf8(std::string_view in, char16_t* out, bool final, UtfErrors errors) noexcept {
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    const size_t n = in.size();
    char16_t* o = out;
    size_t i = 0;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            // A run of ASCII, the bulk of most text: 16 bytes at a time, then byte by byte.
            while (i + 16 <= n && AllAscii16(p + i)) {
                for (int k = 0; k < 16; ++k) o[k] = p[i + k];
                o += 16;
                i += 16;
            }
            while (i < n && p[i] < 0x80) *o++ = p[i++];
            continue;
        }
        // The common sequences first: three bytes (kana, kanji, the carriers' private-use
        // emoji) with no range to check beyond the continuation bytes, and two bytes.
        if (i + 2 < n && (b & 0xF0) == 0xE0 && b != 0xE0 && b != 0xED &&
            (p[i + 1] & 0xC0) == 0x80 && (p[i + 2] & 0xC0) == 0x80) {
            *o++ = static_cast<char16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) |
                                         (p[i + 2] & 0x3F));
            i += 3;
            continue;
        }
        if (i + 1 < n && b >= 0xC2 && b <= 0xDF && (p[i + 1] & 0xC0) == 0x80) {
            *o++ = static_cast<char16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
            continue;
        }
        // The lead byte gives the length and the range of the second byte (no overlong forms,
        // no surrogates, nothing past U+10FFFF).
        size_t length = 0;
        uint32_t c = 0;
        uint8_t low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2, c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3, c = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4, c = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        }
        size_t k = length ? 1 : 0;  // bytes of a well-formed start seen so far
        bool truncated = false;
        for (; k < length; ++k) {
            if (i + k >= n) {
                truncated = true;
                break;
            }
            const uint8_t t = p[i + k];
            if (t < (k == 1 ? low : 0x80) || t > (k == 1 ? high : 0xBF)) break;
            c = (c << 6) | (t & 0x3F);
        }
        if (length && k == length) {
            if (c >= 0x10000) {
                c -= 0x10000;
                *o++ = static_cast<char16_t>(0xD800 + (c >> 10));
                *o++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            } else {
                *o++ = static_cast<char16_t>(c);
            }
            i += length;
            continue;
        }
        if (truncated && !final) break;  // the rest comes with the next piece
        if (errors == UtfErrors::stop) return {i, static_cast<size_t>(o - out), false};
        *o++ = u'\xFFFD';
        i += k ? k : 1;
    }
    return {i, static_cast<size_t>(o - out), true};
}

UtfResult Utf8FromUtf16(std::u16string_view in, char* out, bool final, UtfErrors errors) noexcept {
    const char16_t* p = in.data();
    const size_t n = in.size();
    char* o = out;
    size_t i = 0;
    while (i < n) {
        const char32_t u = p[i];
        if (u < 0x80) {
            while (i + 8 <= n && AllAscii8(p + i)) {
                for (int k = 0; k < 8; ++k) o[k] = static_cast<char>(p[i + k]);
                o += 8;
                i += 8;
            }
            while (i < n && p[i] < 0x80) *o++ = static_cast<char>(p[i++]);
        } else if (u < 0x800) {
            *o++ = static_cast<char>(0xC0 | (u >> 6));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
            ++i;
        } else if (u < 0xD800 || u > 0xDFFF) {
            *o++ = static_cast<char>(0xE0 | (u >> 12));
            *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
            ++i;
        } else if (u <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            const char32_t c = 0x10000 + ((u - 0xD800) << 10) + (p[i + 1] - 0xDC00);
            *o++ = static_cast<char>(0xF0 | (c >> 18));
            *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
            i += 2;
        } else if (u <= 0xDBFF && i + 1 == n && !final) {
            break;  // its low half may come with the next piece
        } else {
            if (errors == UtfErrors::stop) return {i, static_cast<size_t>(o - out), false};
            *o++ = '\xEF';
            *o++ = '\xBF';
            *o++ = '\xBD';
            ++i;
        }
    }
    return {i, static_cast<size_t>(o - out), true};
}

}  // namespace glyphary::platform
