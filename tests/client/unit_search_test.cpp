// The page path's searches give their scalar definitions' answers at every level, every
// offset and length, with the unit sought anywhere or nowhere.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "client/unit_search.h"
#include "support/simd_levels.h"

namespace {

using namespace glyphary::client;

TEST(UnitSearch, EverySearchGivesTheScalarAnswerAtEveryLevel) {
    std::mt19937 rng(11);
    // Mostly ASCII, with units beyond it, at the top of the range and at the edges of `low`.
    const char16_t pool[] = {u'a', u' ',   u'<',   u':',   0x7F,   0x80,
                             0x81, 0x3042, 0x7FFF, 0x8000, 0xD83D, 0xFFFF};
    std::uniform_int_distribution<size_t> pick(0, std::size(pool) - 1), ascii(0, 3);
    std::u16string text;
    for (int i = 0; i < 200; ++i) text += ascii(rng) ? u'x' : pool[pick(rng)];
    glyphary::testing::AtEveryLevel([&](glyphary::text::simd::Level) {
        const UnitSearch find = ChooseUnitSearch();
        const AtLeastSearch atLeast = ChooseAtLeastSearch();
        for (size_t from = 0; from < 40; ++from) {
            for (size_t n = 0; from + n <= text.size(); ++n) {
                const char16_t* p = text.data() + from;
                for (const char16_t unit : pool) {
                    ASSERT_EQ(find(p, n, unit), glyphary::text::FindUnitScalar(p, n, unit))
                        << from << " " << n << " " << int{unit};
                    ASSERT_EQ(atLeast(p, n, unit), FindAtLeastScalar(p, n, unit))
                        << from << " " << n << " " << int{unit};
                }
                ASSERT_EQ(atLeast(p, n, 0), 0u);
            }
        }
    });
}

}  // namespace
