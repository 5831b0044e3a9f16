#include "text/references.h"

#include <cstdint>
#include <cstring>

#include "text/ascii.h"
#include "text/simd.h"
#include "text/unicode.h"

#if GLYPHARY_SIMD_X86
#include <emmintrin.h>
#endif

namespace glyphary::text::references {
namespace {

// ---------------------------------------------------------------------------------------------
// Scans. '&' and the units that may start a private-use character are rare in text, so the
// fast paths look at eight units, or sixteen bytes, at a time.

using Find = size_t (*)(const char16_t* text, size_t from, size_t size);
// Copies bytes below 0xEE (none of which starts a private-use character) from in[i] to o
// while they last; advances i and o. May store sixteen bytes at o whatever it keeps.
using CopyPlain = void (*)(const uint8_t* in, size_t n, size_t& i, char*& o);

bool MayStartPrivateUse(char16_t u) {
    return static_cast<uint16_t>(u - 0xE000) < 0x1900 || static_cast<uint16_t>(u - 0xDB80) < 0x80;
}

size_t FindAmpersandScalar(const char16_t* text, size_t i, size_t size) {
    while (i < size && text[i] != u'&') ++i;
    return i;
}

size_t FindPrivateUseScalar(const char16_t* text, size_t i, size_t size) {
    while (i < size && !MayStartPrivateUse(text[i])) ++i;
    return i;
}

inline void CopyPlainScalar(const uint8_t* in, size_t n, size_t& i, char*& o) {
    while (i < n && in[i] < 0xEE) *o++ = static_cast<char>(in[i++]);
}

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 size_t FindAmpersandSse2(const char16_t* text, size_t i, size_t size) {
    for (; i + 8 <= size; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        if (const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(units, _mm_set1_epi16(u'&'))))
            return i + __builtin_ctz(mask) / 2;
    }
    return FindAmpersandScalar(text, i, size);
}

GLYPHARY_TARGET_SSE2 size_t FindPrivateUseSse2(const char16_t* text, size_t i, size_t size) {
    for (; i + 8 <= size; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i hit = _mm_or_si128(ascii::InRange(units, 0xE000, 0x1900),
                                         ascii::InRange(units, 0xDB80, 0x80));
        if (const int mask = _mm_movemask_epi8(hit)) return i + __builtin_ctz(mask) / 2;
    }
    return FindPrivateUseScalar(text, i, size);
}

GLYPHARY_TARGET_SSE2 inline void CopyPlainSse2(const uint8_t* in, size_t n, size_t& i, char*& o) {
    const __m128i from = _mm_set1_epi8(static_cast<char>(0xEE));
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, from), v));
        const size_t plain = mask ? static_cast<size_t>(__builtin_ctz(mask)) : 16;
        i += plain;
        o += plain;
        if (mask) return;
    }
    CopyPlainScalar(in, n, i, o);
}
#endif

constexpr simd::Paths<Find> kFindAmpersand = {
    .scalar = FindAmpersandScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindAmpersandSse2,
#endif
};

constexpr simd::Paths<Find> kFindPrivateUse = {
    .scalar = FindPrivateUseScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindPrivateUseSse2,
#endif
};

// CopyWithReferences around one kernel, so that the kernel runs inside its loop.
template <CopyPlain kCopyPlain>
[[gnu::always_inline]] inline size_t CopyWith(std::string_view utf8, char* out) {
    const auto* in = reinterpret_cast<const uint8_t*>(utf8.data());
    const size_t n = utf8.size();
    char* o = out;
    size_t i = 0;
    while (i < n) {
        kCopyPlain(in, n, i, o);
        if (i == n) break;
        // A lead byte of three or four bytes, all of them there (the text is well-formed).
        const size_t length = in[i] < 0xF0 ? 3 : 4;
        const char32_t c =
            length == 3 ? (in[i] & 0x0Fu) << 12 | (in[i + 1] & 0x3Fu) << 6 | (in[i + 2] & 0x3Fu)
                        : (in[i] & 0x07u) << 18 | (in[i + 1] & 0x3Fu) << 12 |
                              (in[i + 2] & 0x3Fu) << 6 | (in[i + 3] & 0x3Fu);
        if (IsPrivateUse(c)) {
            o += WriteReference(c, o);
        } else {
            std::memcpy(o, in + i, length);
            o += length;
        }
        i += length;
    }
    return static_cast<size_t>(o - out);
}

using Copy = size_t (*)(std::string_view utf8, char* out);

size_t CopyScalar(std::string_view utf8, char* out) {
    return CopyWith<CopyPlainScalar>(utf8, out);
}

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 size_t CopySse2(std::string_view utf8, char* out) {
    return CopyWith<CopyPlainSse2>(utf8, out);
}
#endif

constexpr simd::Paths<Copy> kCopy = {
    .scalar = CopyScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = CopySse2,
#endif
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading and writing

Read ReadPrivateUse(char16_t* text, size_t size, bool final) {
    // Span by span between the '&'s, each moved down over what the references before it
    // freed.
    const Find findAmpersand = kFindAmpersand.Choose();
    size_t r = 0, w = 0;
    while (r < size) {
        const size_t at = findAmpersand(text, r, size);
        if (w != r) std::memmove(text + w, text + r, (at - r) * sizeof(char16_t));
        w += at - r;
        r = at;
        if (r == size) break;
        const Reference ref = ParseReference(text + r, size - r);
        if (ref.open && !final) return {w, r};  // completed, or refuted, by the next piece
        if (ref.length == 0 || !IsPrivateUse(ref.value)) {
            text[w++] = text[r++];
        } else {
            w += WriteUtf16(ref.value, text + w);
            r += ref.length;
        }
    }
    return {w, size};
}

size_t FindPrivateUse(const char16_t* text, size_t from, size_t size) {
    return kFindPrivateUse.Choose()(text, from, size);
}

size_t CopyWithReferences(std::string_view utf8, char* out) {
    return kCopy.Choose()(utf8, out);
}

}  // namespace glyphary::text::references
