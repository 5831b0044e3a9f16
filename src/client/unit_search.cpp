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
// The mask of the units of the block at `p` that `match` takes, two bits a unit.
template <class Match>
GLYPHARY_TARGET_SSE2 unsigned Block128(const char16_t* p, const Match& match) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(match(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
}
template <class Match>
GLYPHARY_TARGET_AVX2 unsigned Block256(const char16_t* p, const Match& match) {
    return static_cast<unsigned>(
        _mm256_movemask_epi8(match(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))));
}

// The searches share their loop: a block of units at a time, the mask of those the predicate
// takes, the first of them. A tail shorter than a block is read as a last block that ends
// where the units do, its units already searched masked off: one more block, never a loop
// of single units whose trip count the branch predictor cannot learn (most runs are a word
// or two between tags).
template <class Match>
GLYPHARY_TARGET_SSE2 size_t SearchShort(const char16_t* p, size_t n, const Match& match) {
    if (n < 4) return match.Scalar(p, n);
    // Four units at each end, overlapping in fewer than eight.
    const __m128i units =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 4)));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(match(units)));
    if (found & 0xFF) return static_cast<size_t>(__builtin_ctz(found)) / 2;
    if (found) return n - 4 + static_cast<size_t>(__builtin_ctz(found >> 8)) / 2;
    return n;
}

template <class Match>
GLYPHARY_TARGET_SSE2 size_t SearchSse2(const char16_t* p, size_t n, const Match& match) {
    if (n < 8) return SearchShort(p, n, match);
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (const unsigned found = Block128(p + i, match))
            return i + static_cast<size_t>(__builtin_ctz(found)) / 2;
    if (i == n) return n;
    const unsigned found = Block128(p + n - 8, match) >> 2 * (i - (n - 8));
    return found ? i + static_cast<size_t>(__builtin_ctz(found)) / 2 : n;
}

template <class Match>
GLYPHARY_TARGET_AVX2 size_t SearchAvx2(const char16_t* p, size_t n, const Match& match) {
    if (n < 16) return SearchSse2(p, n, match);
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        if (const unsigned found = Block256(p + i, match))
            return i + static_cast<size_t>(__builtin_ctz(found)) / 2;
    if (i == n) return n;
    const unsigned found = Block256(p + n - 16, match) >> 2 * (i - (n - 16));
    return found ? i + static_cast<size_t>(__builtin_ctz(found)) / 2 : n;
}

struct EqualTo {
    char16_t unit;
    GLYPHARY_TARGET_SSE2 __m128i operator()(__m128i units) const {
        return _mm_cmpeq_epi16(units, _mm_set1_epi16(static_cast<short>(unit)));
    }
    GLYPHARY_TARGET_AVX2 __m256i operator()(__m256i units) const {
        return _mm256_cmpeq_epi16(units, _mm256_set1_epi16(static_cast<short>(unit)));
    }
    size_t Scalar(const char16_t* p, size_t n) const { return FindUnitScalar(p, n, unit); }
};

// u >= low (low above 0), unsigned.
struct AtLeast {
    char16_t low;
    GLYPHARY_TARGET_SSE2 __m128i operator()(__m128i units) const {
        // SSE2 has no unsigned 16-bit compare: both sides shifted by 0x8000 for the signed one.
        const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
        return _mm_cmpgt_epi16(_mm_xor_si128(units, flip),
                               _mm_set1_epi16(static_cast<short>((low - 1) ^ 0x8000)));
    }
    GLYPHARY_TARGET_AVX2 __m256i operator()(__m256i units) const {
        // max(u, low) == u
        return _mm256_cmpeq_epi16(
            _mm256_max_epu16(units, _mm256_set1_epi16(static_cast<short>(low))), units);
    }
    size_t Scalar(const char16_t* p, size_t n) const { return FindAtLeastScalar(p, n, low); }
};

GLYPHARY_TARGET_SSE2 size_t FindUnitSse2(const char16_t* p, size_t n, char16_t unit) {
    return SearchSse2(p, n, EqualTo{unit});
}
GLYPHARY_TARGET_AVX2 size_t FindUnitAvx2(const char16_t* p, size_t n, char16_t unit) {
    return SearchAvx2(p, n, EqualTo{unit});
}
GLYPHARY_TARGET_SSE2 size_t FindAtLeastSse2(const char16_t* p, size_t n, char16_t low) {
    return low == 0 ? 0 : SearchSse2(p, n, AtLeast{low});
}
GLYPHARY_TARGET_AVX2 size_t FindAtLeastAvx2(const char16_t* p, size_t n, char16_t low) {
    return low == 0 ? 0 : SearchAvx2(p, n, AtLeast{low});
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
