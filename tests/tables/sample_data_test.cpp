// The sample installation data (data/, copied beside the module by the build), loaded as
// module start-up loads it.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"
#include "tables/loaders.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

struct SjisRun {
    int32_t mode;
    uint16_t first;  // code point
    uint16_t sjis;   // its Shift_JIS code
    uint16_t count;
};
constexpr SjisRun kSjisRuns[] = {
#include "text/sjis_layouts.inc"
};

class SampleData : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, 0)));
        ResetTables();
        const std::u16string path = u"" GLYPHARY_SAMPLE_DIR u"/Glyphary.setting";
        ASSERT_EQ(LoadSettingFile(path.c_str()), S_OK);
    }
    void TearDown() override {
        ResetTables();
        CoUninitialize();
    }

    static com_ptr<IGlyphary> ObjectFor(EMapMode mode) {
        auto obj = MakeObject();
        EXPECT_EQ(obj->put_MapMode(mode), S_OK);
        return obj;
    }
};

TEST_F(SampleData, FillsEveryTable) {
    const SettingsDefaults& d = g_tables.defaults;
    EXPECT_EQ(d.globalizeFormat, L":%1%:");
    EXPECT_EQ(d.globalizeUndefinedFormat, L"\x3013");
    EXPECT_EQ(d.localizePattern, L":([a-z0-9_+\\-]+):");
    EXPECT_EQ(d.localizeUndefinedFormat, L":%1%:");
    for (int32_t mode : {1, 2, 3, 4, 5}) {  // the carriers, standard Unicode out and in
        ASSERT_NE(g_tables.codeToIdByMode.Find(mode), nullptr);
        EXPECT_GT(g_tables.codeToIdByMode.Find(mode)->size(), 200u) << mode;
        EXPECT_GT(g_tables.idToCodeByMode.Find(mode)->size(), 200u) << mode;
    }
    EXPECT_EQ(g_tables.userAgentRules.size(), 13u);

    // KDDI's published pairs: mail (JIS) -> web (Shift_JIS).
    const uint16_t pairs[][2] = {{0x753A, 0xF659}, {0x7541, 0xF660}, {0x7521, 0xF640},
                                 {0x7729, 0xF748}, {0x7B69, 0xF489}, {0x7B6D, 0xF48D}};
    for (const auto& [mail, web] : pairs) {
        uint8_t found[2] = {};
        ASSERT_TRUE(g_tables.ezwebMailCodeMap.Find(mail >> 8, mail & 0xFF, found)) << mail;
        EXPECT_EQ((found[0] << 8) | found[1], web) << mail;
    }
}

TEST_F(SampleData, ExactNamesOwnSharedCodes) {
    // U+E63E is i-mode's sun: it stands in for the sunrise too, but the exact name keeps the
    // code's reverse mapping.
    const std::wstring* sunny = g_tables.codeToIdByMode.Find(1)->Find(L"\xE63E");
    ASSERT_NE(sunny, nullptr);
    EXPECT_EQ(*sunny, L"sunny");
    // An alias shows what its emoji shows, everywhere.
    for (int32_t mode : {1, 2, 3, 4}) {
        const ModeTable* table = g_tables.idToCodeByMode.Find(mode);
        ASSERT_NE(table->Find(L"+1"), nullptr) << mode;
        ASSERT_NE(table->Find(L"thumbsup"), nullptr) << mode;
        EXPECT_EQ(*table->Find(L"thumbsup"), *table->Find(L"+1")) << mode;
    }
}

TEST_F(SampleData, TheMailMapHasTheWebCodeOfEveryAuEmoji) {
    std::set<uint16_t> web, au;
    for (unsigned mail = 0; mail <= 0xFFFF; ++mail) {
        uint8_t found[2] = {};
        if (g_tables.ezwebMailCodeMap.Find(mail >> 8, mail & 0xFF, found)) {
            web.insert(static_cast<uint16_t>((found[0] << 8) | found[1]));
        }
    }
    for (const SjisRun& run : kSjisRuns) {
        if (run.mode != MPM_ezweb) continue;
        for (uint16_t i = 0; i < run.count; ++i) au.insert(static_cast<uint16_t>(run.sjis + i));
    }
    EXPECT_EQ(au.size(), 647u);
    EXPECT_EQ(web, au);
    EXPECT_EQ(g_tables.ezwebMailCodeMap.size(), au.size());
}

TEST_F(SampleData, EveryCarrierCodeComesBackFromItsNeutralForm) {
    for (EMapMode mode : {MPM_imode, MPM_ezweb, MPM_softbank}) {
        auto obj = ObjectFor(mode);
        std::u16string all;
        for (const auto& [code, id] : g_tables.codeToIdByMode.Find(mode)->entries()) {
            if (code.size() != 1) continue;  // text shown for another carrier's emoji
            const std::u16string unit = Narrow(code);
            const StringResult neutral = Globalize(obj.get(), unit);
            ASSERT_EQ(neutral.hr, S_OK);
            EXPECT_EQ(neutral.text, std::u16string(u":").append(Narrow(id)).append(u":")) << mode;
            const StringResult back = Localize(obj.get(), neutral.text);
            ASSERT_EQ(back.hr, S_OK);
            EXPECT_EQ(back.text, unit) << mode << " " << std::string(id.begin(), id.end());
            all += unit + u" ";
        }
        EXPECT_EQ(Localize(obj.get(), Globalize(obj.get(), all).text).text, all) << mode;
    }
}

TEST_F(SampleData, UserAgentRulesTellTheCarrier) {
    struct Case {
        std::u16string_view ua;
        LONG id;
    };
    const Case cases[] = {
        // i-mode
        {u"DoCoMo/1.0/P503i/c10", 1},
        {u"DoCoMo/2.0 N905i(c100;TB;W24H16)", 1},
        {u"DoCoMo/2.0 P903i(c100;TB;W24H12;ser123456789012345;icc8981100000000000000F)", 1},
        // EZweb
        {u"KDDI-CA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0", 2},
        {u"KDDI-SN3F UP.Browser/6.2_7.2.7.1.K.2.234 (GUI) MMP/2.0", 2},
        {u"UP.Browser/3.04-SN12 UP.Link/3.4.4", 2},
        // SoftBank and its predecessors
        {u"SoftBank/1.0/910T/TJ001/SN123456789012345 Browser/NetFront/3.3 Profile/MIDP-2.0 "
         u"Configuration/CLDC-1.1",
         3},
        {u"Vodafone/1.0/V905SH/SHJ001/SN123456789012345 Browser/VF-NetFront/3.3 "
         u"Profile/MIDP-2.0 Configuration/CLDC-1.1",
         3},
        {u"J-PHONE/4.3/V602SH/SN123456789012345 SH/0007aa Profile/MIDP-1.0 "
         u"Configuration/CLDC-1.0 Ext-Profile/JSCL-1.3.2",
         3},
        {u"MOT-V980/80.2F.2E. MIB/2.2.1 Profile/MIDP-2.0 Configuration/CLDC-1.1", 3},
        // desktop browsers and crawlers
        {u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         u"Chrome/120.0.0.0 Safari/537.36",
         0},
        {u"Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:121.0) Gecko/20100101 Firefox/121.0",
         0},
        {u"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", 0},
        {u"Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)", 0},
        {u"Mozilla/5.0 (compatible; Yahoo! Slurp; http://help.yahoo.com/help/us/ysearch/slurp)", 0},
        {u"Mozilla/5.0 (compatible; Baiduspider/2.0; +http://www.baidu.com/search/spider.html)", 0},
        {u"", 0},
        {u"docomo/2.0 N905i", 0},        // case counts
        {u"Mozilla/5.0 DoCoMo/2.0", 0},  // the rule must match from the start
    };
    auto obj = MakeObject();
    for (const Case& c : cases) {
        unique_bstr ua = Bstr(c.ua);
        LONG id = -1;
        ASSERT_EQ(obj->GetUserAgentID(ua.get(), &id), S_OK);
        EXPECT_EQ(id, c.id) << std::string(c.ua.begin(), c.ua.end());
    }
}

}  // namespace
