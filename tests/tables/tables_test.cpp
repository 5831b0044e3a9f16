#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tables/tables.h"

namespace {

using glyphary::EzwebMailCodeMap;
using glyphary::ModeTable;
using glyphary::ModeTables;
using glyphary::UserAgentRules;

TEST(ModeTable, SetReplacesAndFindIsExact) {
    ModeTable t;
    t.Set(L"sunny", L"\xE63E");
    t.Set(L"sunny", L"\xE63F");  // the last write wins
    t.Set(L"sun", L"");
    ASSERT_NE(t.Find(L"sunny"), nullptr);
    EXPECT_EQ(*t.Find(L"sunny"), L"\xE63F");
    ASSERT_NE(t.Find(L"sun"), nullptr);
    EXPECT_EQ(*t.Find(L"sun"), L"");
    EXPECT_EQ(t.Find(L"Sunny"), nullptr);
    EXPECT_EQ(t.Find(L"sunn"), nullptr);
    EXPECT_EQ(t.Find(L""), nullptr);
    EXPECT_EQ(t.size(), 2u);
}

// Thousands of keys as ids and codes come (prefixes of one another, one unit apart, units
// beyond ASCII), each found with its last value, and near misses of each not found.
TEST(ModeTable, FindAgreesWithTheMapForManyKeys) {
    ModeTable t;
    std::map<std::wstring, std::wstring> expected;
    for (int i = 0; i < 3000; ++i) {
        std::wstring key = L"id" + std::to_wstring(i % 1500);
        if (i % 3 == 1) key += static_cast<wchar_t>(0xE63E + i % 7);
        if (i % 5 == 2) key = key.substr(0, 2 + i % 3);
        const std::wstring value = std::to_wstring(i);
        t.Set(key, value);
        expected[key] = value;
    }
    EXPECT_EQ(t.size(), expected.size());
    for (const auto& [key, value] : expected) {
        const std::wstring* found = t.Find(key);
        ASSERT_NE(found, nullptr) << t.size();
        EXPECT_EQ(*found, value);
        for (const std::wstring& miss : {key + L"x", key.substr(1), L"x" + key.substr(1)}) {
            if (!expected.contains(miss)) {
                EXPECT_EQ(t.Find(miss), nullptr);
            }
        }
    }
}

TEST(ModeTable, KeysAreOrderedByUnsignedUnitPrefixFirst) {
    ModeTable t;
    for (const wchar_t* k : {L"\xFFFF", L"b", L"ab", L"a", L"\x00E9", L"\xD800"}) t.Set(k, L"");
    std::vector<std::wstring> keys;
    for (const auto& [k, v] : t.entries()) keys.push_back(k);
    const std::vector<std::wstring> expected = {L"a", L"ab", L"b", L"\x00E9", L"\xD800", L"\xFFFF"};
    EXPECT_EQ(keys, expected);
}

TEST(ModeTable, OneUnitIndexFollowsTheMap) {
    ModeTable t;
    EXPECT_GT(t.UnitLow(), t.UnitHigh());  // no one-unit key yet
    t.Set(L"\xE63E", L"sunny");
    t.Set(L"\xE63E\xE63F", L"pair");  // two units: never in the index
    t.Set(L"\x0041", L"A");
    t.Set(L"\xE63E", L"fine");  // replaced in place
    ASSERT_NE(t.FindUnit(0xE63E), nullptr);
    EXPECT_EQ(t.FindUnit(0xE63E)->second, L"fine");
    EXPECT_EQ(t.FindUnit(0xE63F), nullptr);
    EXPECT_EQ(t.FindUnit(0x110000), nullptr);
    EXPECT_EQ(t.UnitLow(), 0x41u);
    EXPECT_EQ(t.UnitHigh(), 0xE63Eu);
    for (wchar_t u = 0; u < 0xFFFF; ++u) {
        const std::wstring key(1, u);
        const std::wstring* slow = t.Find(key);
        const auto* fast = t.FindUnit(u);
        ASSERT_EQ(slow != nullptr, fast != nullptr) << int(u);
    }
}

TEST(ModeTables, FindOrAddKeepsAddressesWhileModesAreAdded) {
    ModeTables tables;
    ModeTable& one = tables.FindOrAdd(1);
    one.Set(L"x", L"y");
    for (int32_t mode = -100; mode < 100; ++mode) tables.FindOrAdd(mode);
    tables.FindOrAdd(INT32_MIN);
    tables.FindOrAdd(INT32_MAX);
    EXPECT_EQ(&tables.FindOrAdd(1), &one);
    EXPECT_EQ(*one.Find(L"x"), L"y");
    EXPECT_EQ(tables.Find(1), &one);
    EXPECT_EQ(tables.Find(1000), nullptr);  // Find adds nothing
    const auto modes = tables.Modes();
    EXPECT_EQ(modes.size(), 202u);
    EXPECT_EQ(modes.front(), INT32_MIN);
    EXPECT_EQ(modes.back(), INT32_MAX);
}

TEST(UserAgentRules, AppendKeepsOrderAndDuplicatesAndEarlierAddresses) {
    UserAgentRules rules;
    rules.Append(1, L"DoCoMo/.*");
    const auto* first = &rules[0];
    for (int i = 0; i < 1000; ++i) rules.Append(2, L"same");
    EXPECT_EQ(&rules[0], first);
    EXPECT_EQ(rules.size(), 1001u);
    EXPECT_EQ(rules[0].id, 1);
    EXPECT_EQ(rules[1].pattern, L"same");
    EXPECT_EQ(rules[1000].pattern, L"same");
}

TEST(EzwebMailCodeMap, FindIsExactOnBothBytesAndSetReplaces) {
    EzwebMailCodeMap map;
    uint8_t web[2];
    EXPECT_FALSE(map.Find(0xF6, 0x60, web));
    map.Set(0xF6, 0x60, 0x75, 0x41);
    map.Set(0x75, 0x21, 0xF6, 0x40);
    map.Set(0x75, 0x21, 0xF6, 0x41);
    EXPECT_EQ(map.size(), 2u);
    ASSERT_TRUE(map.Find(0xF6, 0x60, web));
    EXPECT_EQ(web[0], 0x75);
    EXPECT_EQ(web[1], 0x41);
    EXPECT_FALSE(map.Find(0xF6, 0x61, web));
    EXPECT_FALSE(map.Find(0x60, 0xF6, web));
    ASSERT_TRUE(map.Find(0x75, 0x21, web));
    EXPECT_EQ(web[1], 0x41);
    map.Set(0, 0, 0, 0);  // a zero code is a code like any other
    ASSERT_TRUE(map.Find(0, 0, web));

    // Translate: the web code of a known code, any other code unchanged.
    EXPECT_EQ(map.Translate(0xF660), 0x7541);
    EXPECT_EQ(map.Translate(0x7521), 0xF641);
    EXPECT_EQ(map.Translate(0xF661), 0xF661);
    EXPECT_EQ(map.Translate(0xFFFF), 0xFFFF);
    EXPECT_EQ(map.Translate(0x0000), 0x0000);
    EXPECT_EQ(map.Translate(0x0001), 0x0001);
}

}  // namespace
