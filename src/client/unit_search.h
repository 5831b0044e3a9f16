// The searches the page path repeats over most of a page: for one unit (the '<' that ends a
// run of text, the ':' that may begin notation), the text layer's, and for the next unit
// beyond ASCII. Chosen once through the text layer's dispatch.
#pragma once

#include <cstddef>
#include <string_view>

#include "text/unit_search.h"

namespace glyphary::client {

/// A unit as the page path reads it, from UTF-16 or from UTF-8 a byte at a time (a byte
/// beyond ASCII stays beyond it, so it never passes for markup or ASCII notation).
inline char16_t AsUnit(char16_t u) {
    return u;
}
inline char16_t AsUnit(char b) {
    return static_cast<unsigned char>(b);
}

/// The units before the first `unit` among p[0..n), or n.
using UnitSearch = text::UnitSearch<char16_t>;

inline UnitSearch ChooseUnitSearch() noexcept {
    return text::ChooseUnitSearch<char16_t>();
}

/// The units before the first one at or above `low` among p[0..n), or n: the next unit beyond
/// ASCII, say, in text that is mostly ASCII.
using AtLeastSearch = size_t (*)(const char16_t* p, size_t n, char16_t low);

AtLeastSearch ChooseAtLeastSearch() noexcept;
size_t FindAtLeastScalar(const char16_t* p, size_t n, char16_t low) noexcept;

/// Where `unit` is in `text` at or after `from`, or npos.
inline size_t FindUnit(UnitSearch search, std::u16string_view text, char16_t unit, size_t from) {
    if (from >= text.size()) return std::u16string_view::npos;
    const size_t at = from + search(text.data() + from, text.size() - from, unit);
    return at < text.size() ? at : std::u16string_view::npos;
}

}  // namespace glyphary::client
