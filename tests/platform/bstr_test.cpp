#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "platform/owners.h"
#include "support/text.h"
#include "text/wide_units.h"

namespace {

using glyphary::unique_bstr;

TEST(Bstr, CarriesByteLengthPrefixAndZeroUnit) {
    unique_bstr s(SysAllocString(u"abc"));
    ASSERT_TRUE(s);
    EXPECT_EQ(SysStringLen(s.get()), 3u);
    EXPECT_EQ(SysStringByteLen(s.get()), 6u);
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<const char*>(s.get()) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(s.get()[3], u'\0');
}

TEST(Bstr, EmptyIsNonNullAndNullStaysNull) {
    unique_bstr empty(SysAllocString(u""));
    ASSERT_TRUE(empty);
    EXPECT_EQ(SysStringLen(empty.get()), 0u);
    EXPECT_EQ(empty.get()[0], u'\0');
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);  // allowed
}

TEST(Bstr, LengthCountsEmbeddedZeroUnitsAndLoneSurrogates) {
    const char16_t units[] = {u'a', 0, 0xD800, 0xDC00, 0xDFFF};
    unique_bstr s(SysAllocStringLen(units, 5));
    ASSERT_TRUE(s);
    EXPECT_EQ(SysStringLen(s.get()), 5u);
    EXPECT_EQ(std::u16string(s.get(), 5), std::u16string(units, 5));
    EXPECT_EQ(s.get()[5], u'\0');
}

TEST(Bstr, NullSourceGivesTerminatedBufferOfThatLength) {
    unique_bstr s(SysAllocStringLen(nullptr, 4));
    ASSERT_TRUE(s);
    EXPECT_EQ(SysStringLen(s.get()), 4u);
    EXPECT_EQ(s.get()[4], u'\0');
}

TEST(Bstr, OddByteLengthIsKeptAndTerminated) {
    unique_bstr s(SysAllocStringByteLen("abc", 3));
    ASSERT_TRUE(s);
    EXPECT_EQ(SysStringByteLen(s.get()), 3u);
    EXPECT_EQ(SysStringLen(s.get()), 1u);
    EXPECT_EQ(reinterpret_cast<const char*>(s.get())[3], '\0');
    EXPECT_EQ(reinterpret_cast<const char*>(s.get())[4], '\0');
}

TEST(Bstr, SizesTheLengthPrefixCannotHoldAreRefused) {
    const UINT max = std::numeric_limits<UINT>::max();
    EXPECT_EQ(SysAllocStringLen(nullptr, max), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, max / 2 + 1), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, max), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, max - 8), nullptr);
}

TEST(OleText, WideningIsUnitForUnitAndStopsAtZero) {
    const char16_t units[] = {0xD83D, 0xDE00, u'x', 0xDC00, 0, u'y', 0};
    const std::wstring wide = glyphary::WideFromOle(units);
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_EQ(wide[0], 0xD83D);
    EXPECT_EQ(wide[1], 0xDE00);
    EXPECT_EQ(wide[3], 0xDC00);
    EXPECT_EQ(glyphary::WideFromOle(nullptr), L"");
    EXPECT_TRUE(glyphary::WideOleText(nullptr).view().empty());

    unique_bstr back(glyphary::AllocBstr(wide));
    EXPECT_EQ(glyphary::testing::Units(back.get()), std::u16string(units, 4));
}

// The length's block path against its definition, and the text's widening and narrowing, one unit
// at a time and through the text layer's paths (as the module calls them): every length up to a
// few blocks and across the widened text's own buffer (256 units), at every start within a block,
// the terminator followed by more text (which must not count), and units that differ from their
// neighbours in the high bit and beyond 16 bits (which narrowing drops).
TEST(OleText, LengthWideningAndNarrowingAgreeAtEveryOffsetAndLength) {
    std::vector<char16_t> buffer(300);
    for (size_t start = 0; start < 8; ++start) {
        for (size_t length = 0; start + length + 2 <= buffer.size(); ++length) {
            std::u16string expected;
            for (size_t i = 0; i < buffer.size(); ++i)
                buffer[i] = static_cast<char16_t>(i % 3 == 0 ? 0x8000 + i : 0x7F00 + i);
            for (size_t i = 0; i < length; ++i) expected += buffer[start + i];
            buffer[start + length] = 0;
            const char16_t* const s = buffer.data() + start;
            ASSERT_EQ(glyphary::OleLength(s), length) << "start " << start;
            const std::wstring wide = glyphary::WideFromOle(s);
            ASSERT_EQ(glyphary::WideOleText(s).view(), wide);
            ASSERT_EQ(glyphary::WideOleText(s, glyphary::text::WidenUnits).view(), wide);
            ASSERT_EQ(wide.size(), length);
            std::wstring withHighBits = wide;
            for (size_t i = 0; i < length; ++i) {
                ASSERT_EQ(static_cast<char32_t>(wide[i]), expected[i]);
                if (sizeof(wchar_t) > 2 && i % 2)
                    withHighBits[i] = static_cast<wchar_t>(withHighBits[i] | 0x50000);
            }
            unique_bstr back(glyphary::AllocBstr(withHighBits));
            ASSERT_EQ(glyphary::testing::Units(back.get()), expected) << "start " << start;
            back.reset(glyphary::AllocBstr(withHighBits, glyphary::text::NarrowUnits));
            ASSERT_EQ(glyphary::testing::Units(back.get()), expected) << "start " << start;
        }
    }
}

}  // namespace
