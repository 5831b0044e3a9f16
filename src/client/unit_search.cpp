#include "client/unit_search.h"

#include "text/simd.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary::client {

size_t FindUnitScalar(const char16_t* p, size_t n, char16_t unit) noexcept {
    size_t i = 0;
    while (i < n && p[i] != unit) ++i;
    return i;
}

size_t FindAtLeastScalar(const char16_t* p, size_t n, char16_t low) noexcept {
    size_t i = 0;
    while (i < n && p[i] < low) ++i;
    return i;
}

namespace {

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 size_t FindUnitSse2(const char16_t* p, size_t n, char16_t unit) {
    const __m128i wanted = _mm_set1_epi16(static_cast<short>(unit));
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const int found = _mm_movemask_epi8(_mm_cmpeq_epi16(units, wanted));
        if (found) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(found))) / 2;
    }
    return i + FindUnitScalar(p + i, n - i, unit);
}

// Most runs are short (a word between tags): one 16-unit block, then the SSE2 loop's tail.
GLYPHARY_TARGET_AVX2 size_t FindUnitAvx2(const char16_t* p, size_t n, char16_t unit) {
    const __m256i wanted = _mm256_set1_epi16(static_cast<short>(unit));
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const unsigned found =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(units, wanted)));
        if (found) return i + static_cast<size_t>(__builtin_ctz(found)) / 2;
    }
    return i + FindUnitSse2(p + i, n - i, unit);
}

// u >= low, unsigned, as max(u, low) == u.
GLYPHARY_TARGET_SSE2 size_t FindAtLeastSse2(const char16_t* p, size_t n, char16_t low) {
    // SSE2 has no unsigned 16-bit max: both sides shifted by 0x8000 for the signed compare.
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i below = _mm_set1_epi16(static_cast<short>((low - 1) ^ 0x8000));
    size_t i = 0;
    for (; low != 0 && i + 8 <= n; i += 8) {
        const __m128i units =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), flip);
        const int found = _mm_movemask_epi8(_mm_cmpgt_epi16(units, below));
        if (found) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(found))) / 2;
    }
    return i + FindAtLeastScalar(p + i, n - i, low);
}

GLYPHARY_TARGET_AVX2 size_t FindAtLeastAvx2(const char16_t* p, size_t n, char16_t low) {
    const __m256i wanted = _mm256_set1_epi16(static_cast<short>(low));
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const auto found = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi16(_mm256_max_epu16(units, wanted), units)));
        if (found) return i + static_cast<size_t>(__builtin_ctz(found)) / 2;
    }
    return i + FindAtLeastSse2(p + i, n - i, low);
}
#endif

constexpr text::simd::Paths<AtLeastSearch> kAtLeast = {
    .scalar = FindAtLeastScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindAtLeastSse2,
    .avx2 = FindAtLeastAvx2,
#endif
};

constexpr text::simd::Paths<UnitSearch> kSearch = {
    .scalar = FindUnitScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindUnitSse2,
    .avx2 = FindUnitAvx2,
#endif
};

}  // namespace

UnitSearch ChooseUnitSearch() noexcept {
    return kSearch.Choose();
}

AtLeastSearch ChooseAtLeastSearch() noexcept {
    return kAtLeast.Choose();
}

}  // namespace glyphary::client
