#include "client/unit_search.h"

#include "text/unit_search_blocks.h"

namespace glyphary::client {

size_t FindAtLeastScalar(const char16_t* p, size_t n, char16_t low) noexcept {
    size_t i = 0;
    while (i < n && p[i] < low) ++i;
    return i;
}

namespace {

#if GLYPHARY_SIMD_X86
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

GLYPHARY_TARGET_SSE2 size_t FindAtLeastSse2(const char16_t* p, size_t n, char16_t low) {
    return low == 0 ? 0 : text::blocks::SearchSse2(p, n, AtLeast{low});
}
GLYPHARY_TARGET_AVX2 size_t FindAtLeastAvx2(const char16_t* p, size_t n, char16_t low) {
    return low == 0 ? 0 : text::blocks::SearchAvx2(p, n, AtLeast{low});
}
#endif

constexpr text::simd::Paths<AtLeastSearch> kAtLeast = {
    .scalar = FindAtLeastScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindAtLeastSse2,
    .avx2 = FindAtLeastAvx2,
#endif
};

}  // namespace

AtLeastSearch ChooseAtLeastSearch() noexcept {
    return kAtLeast.Choose();
}

}  // namespace glyphary::client
