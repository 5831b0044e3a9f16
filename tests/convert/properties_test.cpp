#include <climits>

#include <gtest/gtest.h>

#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

class Properties : public ::testing::Test {
  protected:
    void SetUp() override { ResetTables(); }
    void TearDown() override { ResetTables(); }
};

using Getter = HRESULT (STDMETHODCALLTYPE IGlyphary::*)(BSTR*);
using Setter = HRESULT (STDMETHODCALLTYPE IGlyphary::*)(BSTR);
struct StringProperty {
    const char* name;
    Setter put;
    Getter get;
    std::wstring SettingsDefaults::*defaultValue;
};
const StringProperty kStringProperties[] = {
    {"LocalizePattern", &IGlyphary::put_LocalizePattern, &IGlyphary::get_LocalizePattern,
     &SettingsDefaults::localizePattern},
    {"LocalizeUndefinedFormat", &IGlyphary::put_LocalizeUndefinedFormat,
     &IGlyphary::get_LocalizeUndefinedFormat, &SettingsDefaults::localizeUndefinedFormat},
    {"GlobalizeFormat", &IGlyphary::put_GlobalizeFormat, &IGlyphary::get_GlobalizeFormat,
     &SettingsDefaults::globalizeFormat},
    {"GlobalizeUndefinedFormat", &IGlyphary::put_GlobalizeUndefinedFormat,
     &IGlyphary::get_GlobalizeUndefinedFormat, &SettingsDefaults::globalizeUndefinedFormat},
};

TEST_F(Properties, NewObjectStartsInModeNoneWithEmptyNonNullDefaults) {
    auto obj = MakeObject();
    EMapMode mode = MPM_softbank;
    EXPECT_EQ(obj->get_MapMode(&mode), S_OK);
    EXPECT_EQ(mode, MPM_none);
    for (const auto& p : kStringProperties) {
        const StringResult r = Get(obj.get(), p.get);
        EXPECT_EQ(r.hr, S_OK) << p.name;
        EXPECT_FALSE(r.isNull) << p.name;
        EXPECT_EQ(r.text, u"") << p.name;
    }
    // Mode 0 has no map here: the object sees empty tables and nothing was added for it.
    EXPECT_EQ(g_tables.idToCodeByMode.Find(0), nullptr);
    EXPECT_EQ(g_tables.codeToIdByMode.Find(0), nullptr);
}

TEST_F(Properties, NewObjectsCopyTheDefaultsAndChangesStayWithTheirObject) {
    g_tables.defaults = {L"lp", L"luf", L"gf", L"guf"};
    auto a = MakeObject();
    auto b = MakeObject();
    for (const auto& p : kStringProperties) {
        EXPECT_EQ(Get(a.get(), p.get).text, Narrow(g_tables.defaults.*p.defaultValue)) << p.name;
        ASSERT_EQ(Put(a.get(), p.put, u"changed"), S_OK);
        EXPECT_EQ(Get(a.get(), p.get).text, u"changed") << p.name;
        EXPECT_NE(Get(b.get(), p.get).text, u"changed") << p.name;
    }
    EXPECT_EQ(g_tables.defaults.globalizeFormat, L"gf");
    auto c = MakeObject();
    EXPECT_EQ(Get(c.get(), &IGlyphary::get_GlobalizeFormat).text, u"gf");
}

TEST_F(Properties, StringPutKeepsUnitsBeforeAZeroAndTakesNullAsEmpty) {
    auto obj = MakeObject();
    const char16_t withZero[] = {u'a', 0xD83D, 0, u'b'};
    for (const auto& p : kStringProperties) {
        unique_bstr v(SysAllocStringLen(withZero, 4));
        ASSERT_EQ((obj.get()->*p.put)(v.get()), S_OK);
        EXPECT_EQ(Get(obj.get(), p.get).text, (std::u16string{u'a', 0xD83D})) << p.name;
        ASSERT_EQ((obj.get()->*p.put)(nullptr), S_OK) << p.name;
        const StringResult r = Get(obj.get(), p.get);
        EXPECT_FALSE(r.isNull);
        EXPECT_EQ(r.text, u"") << p.name;
    }
}

TEST_F(Properties, NullResultPointersAreRefused) {
    auto obj = MakeObject();
    for (const auto& p : kStringProperties) EXPECT_EQ((obj.get()->*p.get)(nullptr), E_POINTER);
    EXPECT_EQ(obj->get_MapMode(nullptr), E_POINTER);
}

TEST_F(Properties, IllFormedPatternsAndFormatsAreStoredUnchecked) {
    auto obj = MakeObject();
    EXPECT_EQ(Put(obj.get(), &IGlyphary::put_LocalizePattern, u"(["), S_OK);
    EXPECT_EQ(Put(obj.get(), &IGlyphary::put_GlobalizeFormat, u"%1"), S_OK);
    EXPECT_EQ(Put(obj.get(), &IGlyphary::put_LocalizeUndefinedFormat, u"%2%"), S_OK);
    EXPECT_EQ(Get(obj.get(), &IGlyphary::get_LocalizePattern).text, u"([");
    // Only a call that needs the value fails.
    EXPECT_EQ(Globalize(obj.get(), u"plain").hr, S_OK);
    EXPECT_EQ(Localize(obj.get(), u"").hr, E_INVALIDARG);
}

// A mode that no file filled behaves as an empty table, and selecting it stores nothing: a
// host that takes the mode from request data cannot be driven out of memory.
TEST_F(Properties, MapModeTakesAnyValueAndUnknownModesBehaveAsEmptyTablesStoringNothing) {
    AddCode(1, L"sunny", L"\xE63E");
    auto obj = MakeObject();
    ASSERT_EQ(Put(obj.get(), &IGlyphary::put_GlobalizeFormat, u":%1%:"), S_OK);
    ASSERT_EQ(Put(obj.get(), &IGlyphary::put_LocalizePattern, u":([a-z]+):"), S_OK);
    ASSERT_EQ(Put(obj.get(), &IGlyphary::put_LocalizeUndefinedFormat, u"?"), S_OK);
    for (int mode : {7, -5, INT_MIN, INT_MAX, 0}) {
        ASSERT_EQ(obj->put_MapMode(static_cast<EMapMode>(mode)), S_OK);
        EMapMode got = MPM_imode;
        ASSERT_EQ(obj->get_MapMode(&got), S_OK);
        EXPECT_EQ(static_cast<int>(got), mode);
        EXPECT_EQ(Globalize(obj.get(), u"a\xE63E").text, u"a\xE63E") << mode;
        EXPECT_EQ(Localize(obj.get(), u"a:sunny:").text, u"a?") << mode;
    }
    for (int mode = 1000; mode < 101000; ++mode) obj->put_MapMode(static_cast<EMapMode>(mode));
    EXPECT_EQ(g_tables.idToCodeByMode.Modes(), std::vector<int32_t>{1});
    EXPECT_EQ(g_tables.codeToIdByMode.Modes(), std::vector<int32_t>{1});
}

TEST_F(Properties, SwitchingModesAndBackBindsTheSameTables) {
    AddCode(1, L"sunny", L"\xE63E");
    AddCode(2, L"sunny", L"\xE488");
    auto obj = MakeObject();
    ASSERT_EQ(Put(obj.get(), &IGlyphary::put_GlobalizeFormat, u":%1%:"), S_OK);
    ASSERT_EQ(Put(obj.get(), &IGlyphary::put_LocalizePattern, u":([a-z]+):"), S_OK);
    const ModeTable* imode = g_tables.codeToIdByMode.Find(1);
    obj->put_MapMode(MPM_imode);
    EXPECT_EQ(Localize(obj.get(), u":sunny:").text, u"\xE63E");
    obj->put_MapMode(MPM_ezweb);
    EXPECT_EQ(Localize(obj.get(), u":sunny:").text, u"\xE488");
    EXPECT_EQ(Globalize(obj.get(), u"\xE63E\xE488").text, u"\xE63E:sunny:");
    obj->put_MapMode(MPM_imode);
    EXPECT_EQ(Globalize(obj.get(), u"\xE63E\xE488").text, u":sunny:\xE488");
    EXPECT_EQ(g_tables.codeToIdByMode.Find(1), imode);
}

}  // namespace
