#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "platform/owners.h"
#include "support/text.h"

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

    unique_bstr back(glyphary::AllocBstr(wide));
    EXPECT_EQ(glyphary::testing::Units(back.get()), std::u16string(units, 4));
}

}  // namespace
