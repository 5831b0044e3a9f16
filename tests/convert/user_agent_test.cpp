#include <gtest/gtest.h>

#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

class UserAgent : public ::testing::Test {
  protected:
    void SetUp() override { ResetTables(); }
    void TearDown() override { ResetTables(); }

    static LONG Id(std::u16string_view userAgent, HRESULT expected = S_OK) {
        auto obj = MakeObject();
        unique_bstr ua = Bstr(userAgent);
        LONG id = -12345;
        EXPECT_EQ(obj->GetUserAgentID(ua.get(), &id), expected);
        return id;
    }
};

TEST_F(UserAgent, NoRulesGivesZero) {
    EXPECT_EQ(Id(u"DoCoMo/2.0 P903i"), 0);
    EXPECT_EQ(Id(u""), 0);
}

TEST_F(UserAgent, FirstRuleMatchingTheWholeStringWins) {
    auto& rules = g_tables.userAgentRules;
    rules.Append(1, L"DoCoMo/.*");
    rules.Append(2, L"KDDI-.*");
    rules.Append(9, L"KDDI-CA3\\d.*");  // also matches, but later
    rules.Append(3, L"SoftBank");       // only the bare word
    rules.Append(0, L"Zero/.*");
    rules.Append(7, L"");  // only the empty string
    struct Case {
        std::u16string_view ua;
        LONG id;
    };
    const Case cases[] = {
        {u"DoCoMo/2.0 P903i(c100;TB;W24H12)", 1},
        {u"KDDI-CA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0", 2},
        {u"SoftBank/1.0/910T/TJ001", 0},  // the pattern matches only its beginning
        {u"SoftBank", 3},
        {u"docomo/2.0 P903i", 0},  // case counts
        {u"Zero/1.0", 0},
        {u"Mozilla/5.0 (Windows NT 10.0; Win64; x64)", 0},
        {u"", 7},
    };
    for (const Case& c : cases) EXPECT_EQ(Id(c.ua), c.id);
    // Longer than any User-Agent a handset sends.
    EXPECT_EQ(Id(u"DoCoMo/" + std::u16string(4000, u'x')), 1);
    EXPECT_EQ(Id(u"KDDI" + std::u16string(4000, u'x')), 0);
}

TEST_F(UserAgent, NullUserAgentIsTheEmptyString) {
    g_tables.userAgentRules.Append(5, L"(.*)");
    auto obj = MakeObject();
    LONG id = 0;
    ASSERT_EQ(obj->GetUserAgentID(nullptr, &id), S_OK);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(obj->GetUserAgentID(nullptr, nullptr), E_POINTER);
}

TEST_F(UserAgent, IllFormedRuleFailsOnlyWhenReached) {
    g_tables.userAgentRules.Append(1, L"DoCoMo/.*");
    g_tables.userAgentRules.Append(2, L"KDDI-(");
    EXPECT_EQ(Id(u"DoCoMo/1.0"), 1);
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(Id(u"KDDI-CA31", E_INVALIDARG), -12345);  // the result is left alone
    const std::u16string description = TakeErrorDescription();
    EXPECT_EQ(description.rfind(u"User-agent rule 2 (id 2", 0), 0u);
    EXPECT_NE(description.find(u"KDDI-("), std::u16string::npos);
    // The answer does not change from call to call.
    EXPECT_EQ(Id(u"KDDI-CA31", E_INVALIDARG), -12345);
    EXPECT_EQ(Id(u"DoCoMo/1.0"), 1);
    // A pattern the regex library would never finish compiling is refused the same way.
    g_tables.userAgentRules.Clear();
    g_tables.userAgentRules.Append(3, L"a*+(?#comment)b");
    EXPECT_EQ(Id(u"ab", E_INVALIDARG), -12345);
}

TEST_F(UserAgent, RegexEngineLimitsAreAFailure) {
    g_tables.userAgentRules.Append(4, L"(x+x+)+[y]");
    EXPECT_EQ(Id(std::u16string(40, u'x'), E_FAIL), -12345);
}

}  // namespace
