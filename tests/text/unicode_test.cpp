// The Unicode helpers over every code point, and the choice of SIMD paths.
#include <gtest/gtest.h>

#include "support/simd_levels.h"
#include "text/unicode.h"

namespace {

using namespace glyphary::text;

TEST(Unicode, RangesHoldWhatUnicodeAssignsThem) {
    size_t privateUse = 0, noncharacters = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        privateUse += IsPrivateUse(c);
        noncharacters += IsNoncharacter(c);
    }
    EXPECT_EQ(privateUse, 6400u + 2 * 65534u);
    EXPECT_EQ(noncharacters, 32u + 17 * 2u);
}

// Each code point split into units and combined again; written as a reference in either radix
// and read back.
TEST(Unicode, EveryCodePointSurvivesUnitsAndReferences) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        char16_t units[2] = {};
        const size_t n = WriteUtf16(c, units);
        ASSERT_EQ(n, c > 0xFFFF ? 2u : 1u);
        ASSERT_EQ(CodePointAt(std::u16string_view(units, n), 0), c);
        if (n == 2) {
            ASSERT_TRUE(IsHighSurrogate(units[0]) && IsLowSurrogate(units[1]));
        }
        for (const Radix radix : {Radix::hex, Radix::decimal}) {
            char reference[kMaxReference];
            const size_t length = WriteReference(c, reference, radix);
            const Reference read = ParseReference(reference, length);
            ASSERT_EQ(read.length, length);
            ASSERT_EQ(read.value, c);
        }
    }
    char16_t hex[kMaxReference];
    EXPECT_EQ(std::u16string_view(hex, WriteReference(0xE9, hex)), u"&#x00E9;");
    char decimal[kMaxReference];
    EXPECT_EQ(std::string_view(decimal, WriteReference(0x10FFFF, decimal, Radix::decimal)),
              "&#1114111;");
}

TEST(Simd, FastPathsFollowTheLimit) {
    using simd::Level;
    constexpr simd::Paths<int (*)()> paths = {.scalar = +[] { return 0; },
                                              .ssse3 = +[] { return 2; }};
    glyphary::testing::AtEveryLevel([&](Level level) {
        EXPECT_EQ(simd::Active(), level);
        EXPECT_EQ(paths.Choose()(), level >= Level::ssse3 ? 2 : 0);
    });
    EXPECT_EQ(simd::Active(), simd::Detected());
}

}  // namespace
