// The loop the unit searches share, over units of 16 or 32 bits: a block of units at a time,
// the mask of those a predicate takes, the first of them. For the files that define searches
// (with the GLYPHARY_TARGET_* of each level); a predicate is a functor giving the lanes it
// takes for a 128-bit and a 256-bit block, and its scalar answer for fewer units than either.
#pragma once

#include <cstddef>

#include "text/simd.h"
#include "text/unit_search.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>

namespace glyphary::text::blocks {

// The mask of the units of the block at `p` that `match` takes, sizeof(Unit) bits a unit.
template <class Unit, class Match>
GLYPHARY_TARGET_SSE2 unsigned Block128(const Unit* p, const Match& match) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(match(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
}
template <class Unit, class Match>
GLYPHARY_TARGET_AVX2 unsigned Block256(const Unit* p, const Match& match) {
    return static_cast<unsigned>(
        _mm256_movemask_epi8(match(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))));
}

template <class Unit>
size_t UnitAt(unsigned mask) {
    return static_cast<size_t>(__builtin_ctz(mask)) / sizeof(Unit);
}

// A tail shorter than a block is read as a last block that ends where the units do, its
// units already searched masked off: one more block, never a loop of single units whose trip
// count the branch predictor cannot learn (most runs are a word or two between tags).
template <class Unit, class Match>
GLYPHARY_TARGET_SSE2 size_t SearchShort(const Unit* p, size_t n, const Match& match) {
    constexpr size_t kHalf = 8 / sizeof(Unit);  // units in 64 bits
    if (n < kHalf) return match.Scalar(p, n);
    // kHalf units at each end, overlapping in fewer than 2 * kHalf.
    const __m128i units =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - kHalf)));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(match(units)));
    if (found & 0xFF) return UnitAt<Unit>(found);
    if (found) return n - kHalf + UnitAt<Unit>(found >> 8);
    return n;
}

template <class Unit, class Match>
GLYPHARY_TARGET_SSE2 size_t SearchSse2(const Unit* p, size_t n, const Match& match) {
    constexpr size_t kLanes = 16 / sizeof(Unit);
    if (n < kLanes) return SearchShort(p, n, match);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        if (const unsigned found = Block128(p + i, match)) return i + UnitAt<Unit>(found);
    if (i == n) return n;
    const unsigned found = Block128(p + n - kLanes, match) >> sizeof(Unit) * (i - (n - kLanes));
    return found ? i + UnitAt<Unit>(found) : n;
}

template <class Unit, class Match>
GLYPHARY_TARGET_AVX2 size_t SearchAvx2(const Unit* p, size_t n, const Match& match) {
    constexpr size_t kLanes = 32 / sizeof(Unit);
    if (n < kLanes) return SearchSse2(p, n, match);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        if (const unsigned found = Block256(p + i, match)) return i + UnitAt<Unit>(found);
    if (i == n) return n;
    const unsigned found = Block256(p + n - kLanes, match) >> sizeof(Unit) * (i - (n - kLanes));
    return found ? i + UnitAt<Unit>(found) : n;
}

template <class Unit>
struct EqualTo {
    static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4);
    Unit unit;
    GLYPHARY_TARGET_SSE2 __m128i operator()(__m128i units) const {
        if constexpr (sizeof(Unit) == 2)
            return _mm_cmpeq_epi16(units, _mm_set1_epi16(static_cast<short>(unit)));
        else
            return _mm_cmpeq_epi32(units, _mm_set1_epi32(static_cast<int>(unit)));
    }
    GLYPHARY_TARGET_AVX2 __m256i operator()(__m256i units) const {
        if constexpr (sizeof(Unit) == 2)
            return _mm256_cmpeq_epi16(units, _mm256_set1_epi16(static_cast<short>(unit)));
        else
            return _mm256_cmpeq_epi32(units, _mm256_set1_epi32(static_cast<int>(unit)));
    }
    size_t Scalar(const Unit* p, size_t n) const { return FindUnitScalar(p, n, unit); }
};

}  // namespace glyphary::text::blocks
#endif
