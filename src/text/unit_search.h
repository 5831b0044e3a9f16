// The search for one unit that both sides repeat most: the module for the first unit of
// notation in wchar_t text (16 bits on Windows, 32 elsewhere), the page path for the '<' that
// ends a run of text and the ':' that may begin notation in UTF-16. Chosen once through the
// one dispatch.
#pragma once

#include <cstddef>

namespace glyphary::text {

/// The units before the first `unit` among p[0..n), or n.
template <class Unit>
using UnitSearch = size_t (*)(const Unit* p, size_t n, Unit unit);

/// The scalar definition, which every other search must agree with.
template <class Unit>
size_t FindUnitScalar(const Unit* p, size_t n, Unit unit) noexcept {
    size_t i = 0;
    while (i < n && p[i] != unit) ++i;
    return i;
}

/// The best search the processor has (as simd::Active allows), for units of 16 or 32 bits.
template <class Unit>
UnitSearch<Unit> ChooseUnitSearch() noexcept;

}  // namespace glyphary::text
