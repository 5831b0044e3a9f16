#include <gtest/gtest.h>

#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

class GlobalizeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetTables();
        AddCode(1, L"sunny", L"\xE63E");
        AddCode(1, L"12", L"\xE63F");
        AddCode(1, L"", L"\xE640");      // a code without an id
        AddCode(1, L"pair", L"AB");      // two units: never found by Globalize
        AddCode(1, L"high", L"\xD83D");  // a lone high surrogate as a code
        obj = MakeObject();
        obj->put_MapMode(MPM_imode);
    }
    void TearDown() override {
        obj.reset();
        ResetTables();
    }
    void Formats(std::u16string_view format, std::u16string_view undefinedFormat) {
        ASSERT_EQ(Put(obj.get(), &IGlyphary::put_GlobalizeFormat, format), S_OK);
        ASSERT_EQ(Put(obj.get(), &IGlyphary::put_GlobalizeUndefinedFormat, undefinedFormat), S_OK);
    }
    com_ptr<IGlyphary> obj;
};

struct Case {
    const char* what;
    std::u16string_view format, undefinedFormat, input, expected;
};

TEST_F(GlobalizeTest, WritesEachCarrierUnitThroughItsFormat) {
    const Case cases[] = {
        {"empty input", u":%1%:", u"", u"", u""},
        {"no carrier unit, ill-formed formats unused", u"%", u"%2%", u"plain \x65E5\x672C",
         u"plain \x65E5\x672C"},
        {"brackets around the id", u"[%1%]", u"",
         u"a\xE63F"
         u"b",
         u"a[12]b"},
        {"adjacent emoji", u":%1%:", u"", u"\xE63E\xE63E\xE63F", u":sunny::sunny::12:"},
        {"format without directive", u"*", u"", u"x\xE63Ey\xE63F", u"x*y*"},
        {"id written twice", u"%1%/%1%", u"", u"\xE63E", u"sunny/sunny"},
        {"doubled percent", u"%%%1%", u"", u"\xE63E", u"%sunny"},
        {"printf-style width", u"%-7s|", u"", u"\xE63E", u"sunny  |"},
        {"positional width", u"%|8|", u"", u"\xE63F", u"      12"},
        {"empty format removes", u"", u"",
         u"a\xE63E"
         u"b",
         u"ab"},
        {"no id: undefined format gets the unit", u"<%1%>", u"{%1%}", u"\xE640", u"{\xE640}"},
        {"no id and no undefined format: removed", u"<%1%>", u"",
         u"a\xE640"
         u"b",
         u"ab"},
        {"two-unit codes never match", u"<%1%>", u"", u"AB", u"AB"},
        {"surrogate halves looked up apart", u"<%1%>", u"", u"\xD83D\xDE00", u"<high>\xDE00"},
        {"lone low surrogate passes", u"<%1%>", u"", u"\xDC00\xD83D", u"\xDC00<high>"},
    };
    for (const Case& c : cases) {
        Formats(c.format, c.undefinedFormat);
        const StringResult r = Globalize(obj.get(), c.input);
        EXPECT_EQ(r.hr, S_OK) << c.what;
        EXPECT_FALSE(r.isNull) << c.what;
        EXPECT_EQ(r.text, c.expected) << c.what;
    }
}

TEST_F(GlobalizeTest, InputEndsAtTheFirstZeroUnit) {
    Formats(u":%1%:", u"");
    const char16_t units[] = {u'a', 0xE63E, 0, 0xE63E, u'b'};
    const StringResult r = Globalize(obj.get(), std::u16string_view(units, 5));
    EXPECT_EQ(r.text, u"a:sunny:");
}

TEST_F(GlobalizeTest, NullInputIsEmptyAndNullOutputIsRefused) {
    Formats(u":%1%:", u"");
    BSTR out = nullptr;
    ASSERT_EQ(obj->Globalize(nullptr, &out), S_OK);
    unique_bstr owned(out);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(SysStringLen(out), 0u);
    unique_bstr in = Bstr(u"\xE63E");
    EXPECT_EQ(obj->Globalize(in.get(), nullptr), E_POINTER);
}

TEST_F(GlobalizeTest, UnitsOfAModeWithoutMapsPassUnchanged) {
    Formats(u":%1%:", u"?");
    obj->put_MapMode(static_cast<EMapMode>(42));
    EXPECT_EQ(Globalize(obj.get(),
                        u"\xE63E\xE640"
                        u"AB")
                  .text,
              u"\xE63E\xE640"
              u"AB");
}

TEST_F(GlobalizeTest, FormatErrorsFailTheCallWithANullResultAndSayWhich) {
    struct ErrorCase {
        std::u16string_view format, undefinedFormat, input, property;
    };
    const ErrorCase cases[] = {
        {u"%1", u"", u"\xE63E", u"GlobalizeFormat"},       // ill-formed
        {u"%1% %2%", u"", u"\xE63E", u"GlobalizeFormat"},  // needs a second argument
        {u"%|", u"", u"\xE63E", u"GlobalizeFormat"},
        {u":%1%:", u"%2$s", u"\xE640", u"GlobalizeUndefinedFormat"},
    };
    for (const ErrorCase& c : cases) {
        Formats(c.format, c.undefinedFormat);
        SetErrorInfo(0, nullptr);
        const StringResult r = Globalize(obj.get(), c.input);
        EXPECT_EQ(r.hr, E_INVALIDARG) << ::testing::PrintToString(std::u16string(c.property));
        EXPECT_TRUE(r.isNull);
        const std::u16string description = TakeErrorDescription();
        EXPECT_EQ(description.find(c.property), 0u);
        EXPECT_GT(description.size(), c.property.size() + 2);  // the engine's message follows
    }
}

TEST_F(GlobalizeTest, ChangedFormatsAndModesTakeEffectAtTheNextCall) {
    Formats(u":%1%:", u"?");
    EXPECT_EQ(Globalize(obj.get(), u"\xE63E\xE640").text, u":sunny:?");
    Formats(u"[%1%]", u"!");
    EXPECT_EQ(Globalize(obj.get(), u"\xE63E\xE640").text, u"[sunny]!");
    AddCode(5, L"rain", L"\xE63E");
    obj->put_MapMode(static_cast<EMapMode>(5));
    EXPECT_EQ(Globalize(obj.get(), u"\xE63E\xE640").text, u"[rain]\xE640");
}

}  // namespace
