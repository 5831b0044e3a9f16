#include "text/wide_units.h"

#include <cstdint>
#include <cstring>

#include "text/simd.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary::text {

void WidenUnitsScalar(const char16_t* from, size_t n, wchar_t* to) noexcept {
    for (size_t i = 0; i < n; ++i) to[i] = static_cast<wchar_t>(from[i]);
}

void NarrowUnitsScalar(const wchar_t* from, size_t n, char16_t* to) noexcept {
    for (size_t i = 0; i < n; ++i) to[i] = static_cast<char16_t>(from[i]);
}

namespace {

using WidenFn = void (*)(const char16_t*, size_t, wchar_t*) noexcept;
using NarrowFn = void (*)(const wchar_t*, size_t, char16_t*) noexcept;

#if __SIZEOF_WCHAR_T__ != 4
// Where wchar_t is 16 bits (Windows) both are copies.
void Copy16(const char16_t* from, size_t n, wchar_t* to) noexcept {
    std::memcpy(to, from, n * sizeof(char16_t));
}
void Copy16(const wchar_t* from, size_t n, char16_t* to) noexcept {
    std::memcpy(to, from, n * sizeof(char16_t));
}
constexpr simd::Paths<WidenFn> kWiden = {.scalar = Copy16};
constexpr simd::Paths<NarrowFn> kNarrow = {.scalar = Copy16};
#else
#if GLYPHARY_SIMD_X86
// Blocks of eight units; a text of one block or more ends with the block that ends it, which
// may cover units already written (with the same values).

GLYPHARY_TARGET_SSE2 inline void WidenBlockSse2(const char16_t* from, wchar_t* to) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(v, _mm_setzero_si128()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4),
                     _mm_unpackhi_epi16(v, _mm_setzero_si128()));
}

GLYPHARY_TARGET_SSE2 void WidenSse2(const char16_t* from, size_t n, wchar_t* to) noexcept {
    if (n < 8) return WidenUnitsScalar(from, n, to);
    for (size_t i = 0; i + 8 <= n; i += 8) WidenBlockSse2(from + i, to + i);
    if (n % 8) WidenBlockSse2(from + n - 8, to + n - 8);
}

// Each unit's low 16 bits, sign-extended from bit 15 so that the saturating pack keeps them.
GLYPHARY_TARGET_SSE2 inline __m128i LowUnitsSse2(const wchar_t* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
}

GLYPHARY_TARGET_SSE2 inline void NarrowBlockSse2(const wchar_t* from, char16_t* to) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                     _mm_packs_epi32(LowUnitsSse2(from), LowUnitsSse2(from + 4)));
}

GLYPHARY_TARGET_SSE2 void NarrowSse2(const wchar_t* from, size_t n, char16_t* to) noexcept {
    if (n < 8) return NarrowUnitsScalar(from, n, to);
    for (size_t i = 0; i + 8 <= n; i += 8) NarrowBlockSse2(from + i, to + i);
    if (n % 8) NarrowBlockSse2(from + n - 8, to + n - 8);
}

GLYPHARY_TARGET_AVX2 inline void WidenBlockAvx2(const char16_t* from, wchar_t* to) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_cvtepu16_epi32(v));
}

GLYPHARY_TARGET_AVX2 void WidenAvx2(const char16_t* from, size_t n, wchar_t* to) noexcept {
    if (n < 8) return WidenUnitsScalar(from, n, to);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        WidenBlockAvx2(from + i, to + i);
        WidenBlockAvx2(from + i + 8, to + i + 8);
    }
    if (i + 8 <= n) WidenBlockAvx2(from + i, to + i), i += 8;
    if (i < n) WidenBlockAvx2(from + n - 8, to + n - 8);
}

GLYPHARY_TARGET_AVX2 inline __m256i LowUnitsAvx2(const wchar_t* at) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    return _mm256_and_si256(v, _mm256_set1_epi32(0xFFFF));  // then no pack saturates
}

GLYPHARY_TARGET_AVX2 inline void NarrowBlockAvx2(const wchar_t* from, char16_t* to) {
    const __m256i v = LowUnitsAvx2(from);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                     _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

GLYPHARY_TARGET_AVX2 void NarrowAvx2(const wchar_t* from, size_t n, char16_t* to) noexcept {
    if (n < 8) return NarrowUnitsScalar(from, n, to);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        // The pack works within each half: a0-3 b0-3 | a4-7 b4-7, put in order after.
        const __m256i packed =
            _mm256_packus_epi32(LowUnitsAvx2(from + i), LowUnitsAvx2(from + i + 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i),
                            _mm256_permute4x64_epi64(packed, 0xD8));
    }
    if (i + 8 <= n) NarrowBlockAvx2(from + i, to + i), i += 8;
    if (i < n) NarrowBlockAvx2(from + n - 8, to + n - 8);
}
#endif

constexpr simd::Paths<WidenFn> kWiden = {
    .scalar = WidenUnitsScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = WidenSse2,
    .avx2 = WidenAvx2,
#endif
};

constexpr simd::Paths<NarrowFn> kNarrow = {
    .scalar = NarrowUnitsScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = NarrowSse2,
    .avx2 = NarrowAvx2,
#endif
};
#endif

}  // namespace

void WidenUnits(const char16_t* from, size_t n, wchar_t* to) noexcept {
    kWiden.Choose()(from, n, to);
}

void NarrowUnits(const wchar_t* from, size_t n, char16_t* to) noexcept {
    kNarrow.Choose()(from, n, to);
}

}  // namespace glyphary::text
