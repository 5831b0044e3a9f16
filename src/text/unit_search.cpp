#include "text/unit_search.h"

#include "text/unit_search_blocks.h"

namespace glyphary::text {

namespace {

#if GLYPHARY_SIMD_X86
template <class Unit>
GLYPHARY_TARGET_SSE2 size_t FindUnitSse2(const Unit* p, size_t n, Unit unit) {
    return blocks::SearchSse2(p, n, blocks::EqualTo<Unit>{unit});
}
template <class Unit>
GLYPHARY_TARGET_AVX2 size_t FindUnitAvx2(const Unit* p, size_t n, Unit unit) {
    return blocks::SearchAvx2(p, n, blocks::EqualTo<Unit>{unit});
}
#endif

template <class Unit>
constexpr simd::Paths<UnitSearch<Unit>> kSearch = {
    .scalar = FindUnitScalar<Unit>,
#if GLYPHARY_SIMD_X86
    .sse2 = FindUnitSse2<Unit>,
    .avx2 = FindUnitAvx2<Unit>,
#endif
};

}  // namespace

template <class Unit>
UnitSearch<Unit> ChooseUnitSearch() noexcept {
    return kSearch<Unit>.Choose();
}

template UnitSearch<char16_t> ChooseUnitSearch() noexcept;
template UnitSearch<wchar_t> ChooseUnitSearch() noexcept;

}  // namespace glyphary::text
