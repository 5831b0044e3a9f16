#include <gtest/gtest.h>

#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

class LocalizeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetTables();
        AddCode(1, L"sunny", L"\xE63E");
        AddCode(1, L"cloudy", L"\xE63F");
        AddCode(1, L"gone", L"");              // an id with an empty code
        AddCode(1, L"pair", L"\xD83D\xDE00");  // a code of two units
        obj = MakeObject();
        obj->put_MapMode(MPM_imode);
    }
    void TearDown() override {
        obj.reset();
        ResetTables();
    }
    void Use(std::u16string_view pattern, std::u16string_view undefinedFormat) {
        ASSERT_EQ(Put(obj.get(), &IGlyphary::put_LocalizePattern, pattern), S_OK);
        ASSERT_EQ(Put(obj.get(), &IGlyphary::put_LocalizeUndefinedFormat, undefinedFormat), S_OK);
    }
    com_ptr<IGlyphary> obj;
};

struct Case {
    const char* what;
    std::u16string_view pattern, undefinedFormat, input, expected;
};

TEST_F(LocalizeTest, ReplacesEachWholeMatchByTheCodeOfItsFirstGroup) {
    const Case cases[] = {
        {"no match", u":([a-z]+):", u"", u"plain text", u"plain text"},
        {"empty input", u":([a-z]+):", u"", u"", u""},
        {"markers go with the id", u":([a-z]+):", u"", u"a:sunny:b",
         u"a\xE63E"
         u"b"},
        {"adjacent notations", u":([a-z]+):", u"", u":sunny::cloudy:", u"\xE63E\xE63F"},
        {"empty code removes", u":([a-z]+):", u"", u"x:gone:y", u"xy"},
        {"two-unit code", u":([a-z]+):", u"", u":pair:", u"\xD83D\xDE00"},
        {"unknown id, no format: removed", u":([a-z]+):", u"", u"x:rain:y", u"xy"},
        {"unknown id through the format", u":([a-z]+):", u"[%1%]", u"x:rain:y", u"x[rain]y"},
        {"format without directive", u":([a-z]+):", u"?", u":rain::snow:", u"??"},
        {"known ids ignore the format", u":([a-z]+):", u"%2%", u":sunny:", u"\xE63E"},
        {"no first group: empty id", u":[a-z]+:", u"<%1%>", u":sunny:", u"<>"},
        {"group that took no part", u":(?:([0-9]+)|[a-z]+):", u"<%1%>", u":sunny:", u"<>"},
        {"case counts", u":([a-z]+):", u"", u":Sunny:", u":Sunny:"},
        {"anchor restarts after each match", u"^:([a-z]+):", u"", u":sunny::cloudy:x:sunny:",
         u"\xE63E\xE63Fx:sunny:"},
        {"look-behind sees nothing before the current position", u"(?<=:)([a-z]+):", u"",
         u":sunny:cloudy:",
         u":\xE63E"
         u"cloudy:"},
        {"word boundary at the current position", u"\\b([a-z]+);", u"", u"sunny;cloudy;",
         u"\xE63E\xE63F"},
        {"alternation", u"\\[([a-z]+)\\]|:([a-z]+):", u"", u"[sunny]:cloudy:", u"\xE63E"},
        {"surrogates pass untouched", u":([a-z]+):", u"", u"\xDC00:sunny:\xD800",
         u"\xDC00\xE63E\xD800"},
    };
    for (const Case& c : cases) {
        Use(c.pattern, c.undefinedFormat);
        const StringResult r = Localize(obj.get(), c.input);
        EXPECT_EQ(r.hr, S_OK) << c.what;
        EXPECT_FALSE(r.isNull) << c.what;
        EXPECT_EQ(r.text, c.expected) << c.what;
    }
}

TEST_F(LocalizeTest, EmptyMatchesAreReplacedOnceEachAndTheTextMovesOn) {
    const Case cases[] = {
        {"empty pattern", u"", u"-", u"ab", u"-a-b-"},
        {"star", u"x*", u"-", u"axc", u"-a--c-"},
        {"start anchor", u"^", u"-", u"ab", u"-a-b-"},
        {"look-ahead", u"(?=b)", u"-", u"abb", u"a-b-b"},
        {"empty input", u"", u"-", u"", u"-"},
        {"removed when no format", u"x*", u"", u"axc", u"ac"},
    };
    for (const Case& c : cases) {
        Use(c.pattern, c.undefinedFormat);
        const StringResult r = Localize(obj.get(), c.input);
        EXPECT_EQ(r.hr, S_OK) << c.what;
        EXPECT_EQ(r.text, c.expected) << c.what;
    }
}

TEST_F(LocalizeTest, InputEndsAtTheFirstZeroUnitAndNullIsEmpty) {
    Use(u":([a-z]+):", u"");
    const char16_t units[] = {u':', u's', u'u', u'n', u'n', u'y', u':', 0, u':', u'x'};
    EXPECT_EQ(Localize(obj.get(), std::u16string_view(units, 10)).text, u"\xE63E");
    BSTR out = nullptr;
    ASSERT_EQ(obj->Localize(nullptr, &out), S_OK);
    unique_bstr owned(out);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(SysStringLen(out), 0u);
    EXPECT_EQ(obj->Localize(nullptr, nullptr), E_POINTER);
}

TEST_F(LocalizeTest, ModeWithoutMapsFindsNoId) {
    Use(u":([a-z]+):", u"[%1%]");
    obj->put_MapMode(static_cast<EMapMode>(99));
    EXPECT_EQ(Localize(obj.get(), u":sunny:").text, u"[sunny]");
}

TEST_F(LocalizeTest, IllFormedOrUncompilablePatternFailsEvenOnEmptyInput) {
    // The last one would never finish compiling in the regex library: refused before it.
    for (std::u16string_view pattern :
         {u"(", u"[a-", u"*", u"a{2,1}", u"(?<", u"\\", u"a?+(?#c)b"}) {
        Use(pattern, u"");
        SetErrorInfo(0, nullptr);
        const StringResult r = Localize(obj.get(), u"");
        EXPECT_EQ(r.hr, E_INVALIDARG);
        EXPECT_TRUE(r.isNull);
        EXPECT_EQ(TakeErrorDescription().rfind(u"LocalizePattern: ", 0), 0u);
    }
}

TEST_F(LocalizeTest, UndefinedFormatErrorsSurfaceOnlyForUnknownIds) {
    Use(u":([a-z]+):", u"%1% %2%");
    EXPECT_EQ(Localize(obj.get(), u":sunny:").hr, S_OK);
    const StringResult r = Localize(obj.get(), u":sunny::rain:");
    EXPECT_EQ(r.hr, E_INVALIDARG);
    EXPECT_TRUE(r.isNull);
    EXPECT_EQ(TakeErrorDescription().rfind(u"LocalizeUndefinedFormat: ", 0), 0u);
}

TEST_F(LocalizeTest, RegexEngineLimitsAreAFailureNotAHang) {
    Use(u"(x+x+)+y", u"");
    const std::u16string input(40, u'x');
    const StringResult r = Localize(obj.get(), input);
    EXPECT_EQ(r.hr, E_FAIL);
    EXPECT_TRUE(r.isNull);
    EXPECT_EQ(TakeErrorDescription().rfind(u"LocalizePattern: ", 0), 0u);
}

TEST_F(LocalizeTest, ChangedPatternOrFormatTakesEffectAtTheNextCall) {
    Use(u":([a-z]+):", u"");
    EXPECT_EQ(Localize(obj.get(), u":sunny:[cloudy]").text, u"\xE63E[cloudy]");
    Use(u"\\[([a-z]+)\\]", u"");
    EXPECT_EQ(Localize(obj.get(), u":sunny:[cloudy]").text, u":sunny:\xE63F");
    // The undefined format is prepared once and dropped with its property, whatever its kind.
    const std::pair<std::u16string_view, std::u16string_view> formats[] = {
        {u"<%1%>", u"<rain>"}, {u"(%s)", u"(rain)"}, {u"", u""}, {u"%1%%%", u"rain%"}};
    for (const auto& [format, expected] : formats) {
        Use(u":([a-z]+):", format);
        EXPECT_EQ(Localize(obj.get(), u":rain:").text, expected);
        EXPECT_EQ(Localize(obj.get(), u":rain::sunny:").text, std::u16string(expected) + u"\xE63E");
    }
    Use(u":([a-z]+):", u"%2%");
    EXPECT_EQ(Localize(obj.get(), u":rain:").hr, E_INVALIDARG);
}

// A call's result holds nothing of the calls before it on the same object, whether they were
// longer, shorter, of the other kind, or failed halfway through their text.
TEST_F(LocalizeTest, EachCallsResultIsItsOwn) {
    Use(u":([a-z]+):", u"%1% %2%");
    ASSERT_EQ(Put(obj.get(), &IGlyphary::put_GlobalizeFormat, u":%1%:"), S_OK);
    std::u16string notation, codes;
    for (int i = 0; i < 3000; ++i) {
        notation += u"ab:sunny:";
        codes += u"ab\xE63E";
    }
    struct Call {
        bool localize;
        std::u16string_view input, expected;
        HRESULT hr;
    };
    const Call calls[] = {
        {true, notation, codes, S_OK},
        {true, u"x:cloudy:", u"x\xE63F", S_OK},
        {false, codes, notation, S_OK},
        {true, u":sunny::rain:", u"", E_INVALIDARG},  // fails after the sun is written
        {true, u"y", u"y", S_OK},
        {false, u"\xE63F", u":cloudy:", S_OK},
        {true, u"", u"", S_OK},
        {true, notation, codes, S_OK},
        {false, u"z", u"z", S_OK},
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        const Call& call = calls[i];
        const StringResult r =
            call.localize ? Localize(obj.get(), call.input) : Globalize(obj.get(), call.input);
        ASSERT_EQ(r.hr, call.hr) << "call " << i;
        if (r.hr == S_OK)
            EXPECT_EQ(r.text, call.expected) << "call " << i;
        else
            TakeErrorDescription();
    }
}

}  // namespace
