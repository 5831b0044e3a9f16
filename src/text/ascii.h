// Runs of ASCII, the bulk of most text, many characters at a time: the kernels every codec
// shares, each beside its scalar twin. Each stops at the first character it does not take and
// leaves it to the caller. They are inline so that a codec's loop, compiled once per level
// with the kernel as a template argument, keeps them inside it: a call for every short run
// of ASCII between Japanese words would cost more than the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/simd.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary::text::ascii {

/// Widens ASCII bytes from p[i] to units at o while they last, stopping also at ESC when
/// `escapes`; advances i and o. May store up to 32 units at o whatever it keeps: o needs room
/// for n - i units.
using Widen = void (*)(const uint8_t* p, size_t n, bool escapes, size_t& i, char16_t*& o);
/// Narrows ASCII units from p[i] to bytes at o while they last; advances i and o. May store
/// up to 16 bytes at o whatever it keeps: o needs room for n - i bytes.
using Narrow = void (*)(const char16_t* p, size_t n, size_t& i, char*& o);

// Eight bytes at a time, as 64-bit words.
inline void WidenScalar(const uint8_t* p, size_t n, bool escapes, size_t& i, char16_t*& o) {
    while (i + 8 <= n) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080u) return;
        if (escapes) {
            const uint64_t x = word ^ 0x1B1B1B1B1B1B1B1Bu;  // a zero byte where ESC was
            if ((x - 0x0101010101010101u) & ~x & 0x8080808080808080u) return;
        }
        for (int k = 0; k < 8; ++k) o[k] = p[i + k];
        i += 8;
        o += 8;
    }
}

inline void NarrowScalar(const char16_t* p, size_t n, size_t& i, char*& o) {
    while (i + 8 <= n) {
        char16_t any = 0;
        for (int k = 0; k < 8; ++k) any |= p[i + k];
        if (any >= 0x80) return;
        for (int k = 0; k < 8; ++k) o[k] = static_cast<char>(p[i + k]);
        i += 8;
        o += 8;
    }
}

#if GLYPHARY_SIMD_X86
// (Also for the scans beside the codecs, which look for a few ranges of units.)
// Units in [low, low + count) among eight, as a mask of two bits a unit. Unsigned 16-bit
// compare through the signed one: both sides shifted by 0x8000.
GLYPHARY_TARGET_SSE2 inline __m128i InRange(__m128i units, uint16_t low, uint16_t count) {
    const __m128i shifted =
        _mm_xor_si128(_mm_sub_epi16(units, _mm_set1_epi16(static_cast<short>(low))),
                      _mm_set1_epi16(static_cast<short>(0x8000)));
    return _mm_cmplt_epi16(shifted, _mm_set1_epi16(static_cast<short>(count ^ 0x8000)));
}

// Sixteen bytes at a time: all sixteen widened and stored, as many kept as are ASCII.
GLYPHARY_TARGET_SSE2 inline void WidenSse2(const uint8_t* p, size_t n, bool escapes, size_t& i,
                                           char16_t*& o) {
    const __m128i zero = _mm_setzero_si128(), escape = _mm_set1_epi8(0x1B);
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        int stop = _mm_movemask_epi8(v);
        if (escapes) stop |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, escape));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(v, zero));
        const size_t ascii = stop ? static_cast<size_t>(__builtin_ctz(stop)) : 16;
        i += ascii;
        o += ascii;
        if (stop) return;
    }
    WidenScalar(p, n, escapes, i, o);
}

// Eight units at a time: all eight packed and stored, as many kept as are ASCII.
GLYPHARY_TARGET_SSE2 inline void NarrowSse2(const char16_t* p, size_t n, size_t& i, char*& o) {
    while (i + 8 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
        const int other = _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) ^ 0xFFFF;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
        const size_t ascii = other ? static_cast<size_t>(__builtin_ctz(other)) / 2 : 8;
        i += ascii;
        o += ascii;
        if (other) return;
    }
}

// Thirty-two bytes (sixteen units) at a time, the same way.
GLYPHARY_TARGET_AVX2 inline void WidenAvx2(const uint8_t* p, size_t n, bool escapes, size_t& i,
                                           char16_t*& o) {
    const __m256i escape = _mm256_set1_epi8(0x1B);
    while (i + 32 <= n) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        uint32_t stop = static_cast<uint32_t>(_mm256_movemask_epi8(v));
        if (escapes)
            stop |= static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, escape)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o),
                            _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 16),
                            _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)));
        const size_t ascii = stop ? static_cast<size_t>(__builtin_ctz(stop)) : 32;
        i += ascii;
        o += ascii;
        if (stop) return;
    }
    WidenSse2(p, n, escapes, i, o);
}

GLYPHARY_TARGET_AVX2 inline void NarrowAvx2(const char16_t* p, size_t n, size_t& i, char*& o) {
    while (i + 16 <= n) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i high = _mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xFF80)));
        const uint32_t other = ~static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi16(high, _mm256_setzero_si256())));
        // packus works within each half: put the halves' eight bytes side by side.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0b1000);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
        const size_t ascii = other ? static_cast<size_t>(__builtin_ctz(other)) / 2 : 16;
        i += ascii;
        o += ascii;
        if (other) return;
    }
    NarrowSse2(p, n, i, o);
}
#endif

}  // namespace glyphary::text::ascii
