// The scanner finds what a person reads on a page, and finds the same whatever the pieces the
// page comes in.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/html_scan.h"
#include "support/simd_levels.h"
#include "text/utf.h"

namespace {

using glyphary::client::HtmlScanner;

std::u16string U16(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// Each unit's kind, from the page scanned in the pieces `cuts` gives (cuts past its end stop
// at it).
template <class Unit>
std::vector<bool> Kinds(std::basic_string_view<Unit> page, bool xml,
                        const std::vector<size_t>& cuts,
                        HtmlScanner::Tags tags = HtmlScanner::Tags::whole) {
    HtmlScanner scanner(xml, tags);
    std::vector<bool> kinds;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        std::basic_string_view<Unit> piece = page.substr(
            from, (i < cuts.size() ? std::min(cuts[i], page.size()) : page.size()) - from);
        from += piece.size();
        while (!piece.empty()) {
            bool readable;
            const size_t n = scanner.Next(piece, readable);
            EXPECT_GT(n, 0u);
            kinds.insert(kinds.end(), n, readable);
            piece.remove_prefix(n);
        }
    }
    return kinds;
}
std::vector<bool> Kinds(std::u16string_view page, bool xml, const std::vector<size_t>& cuts,
                        HtmlScanner::Tags tags = HtmlScanner::Tags::whole) {
    return Kinds<char16_t>(page, xml, cuts, tags);
}

// The same over the page's UTF-8, each byte's kind given to the unit it is part of (a pair's
// two units both), so that it reads as Kinds does.
std::vector<bool> KindsOfBytes(std::u16string_view page, bool xml,
                               const std::vector<size_t>& cuts) {
    const std::string bytes = *glyphary::text::Utf8FromUtf16(page, glyphary::text::Errors::strict);
    const std::vector<bool> byteKinds = Kinds<char>(bytes, xml, cuts);
    std::vector<bool> kinds;
    for (size_t b = 0; b < bytes.size(); ++b) {
        const auto lead = static_cast<unsigned char>(bytes[b]);
        if ((lead & 0xC0) == 0x80) {
            // Every byte of a character as its first.
            EXPECT_EQ(byteKinds[b], kinds.back()) << "byte " << b;
            continue;
        }
        kinds.push_back(byteKinds[b]);
        if (lead >= 0xF0) kinds.push_back(byteKinds[b]);
    }
    return kinds;
}

// The stretches of readable text in order, as the scanner sees the whole page.
std::vector<std::string> Readable(std::string_view page, bool xml = false) {
    const std::u16string units = U16(page);
    const std::vector<bool> kinds = Kinds(units, xml, {});
    std::vector<std::string> out;
    for (size_t i = 0; i < page.size(); ++i) {
        if (!kinds[i]) continue;
        if (i == 0 || !kinds[i - 1]) out.emplace_back();
        out.back() += page[i];
    }
    return out;
}

struct Case {
    const char* name;
    const char* page;
    std::vector<std::string> readable;
    bool xml = false;
};

class HtmlScanTest : public ::testing::TestWithParam<Case> {};

TEST_P(HtmlScanTest, FindsTheTextAPersonReads) {
    EXPECT_EQ(Readable(GetParam().page, GetParam().xml), GetParam().readable);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, HtmlScanTest,
    ::testing::Values(
        Case{"TextAndReadableAttributes",
             R"(<p title="T1" class="c" id=x>A<b>B</b></p><img alt=A1 src="a:b:c" title='T2'>)",
             {"T1", "A", "B", "A1", "T2"}},
        Case{"FormFields",
             R"(<input disabled value="V" placeholder="P" type=text name=value>)",
             {"V", "P"}},
        Case{"ScriptStyleCommentCdata",
             "<style>a:link:hover{x:o:y}</style><script>if(a<b&&c>d)s='</p>'</script>X"
             "<!-- C --> Y<![CDATA[ Z ]]>W",
             {"X", " Y", "W"}},
        Case{"EscapableRawText",
             "<title>T < t</title><textarea>a</b>c</textarea>",
             {"T ", " t", "a", "b>c"}},
        Case{"NamesInAnyCase",
             "<SCRIPT>x</SCRIPT >y<IMG ALT=\"a\"><Style>z</sTyle>w",
             {"y", "a", "w"}},
        Case{"EndTagAttributesAndOtherNames",
             R"(</p title="x">z<p data-title="d" titlex="e" alt="" title = "sp">)",
             {"z", "sp"}},
        Case{"LessThanThatOpensNoTag", "a < b <3 c", {"a ", " b ", "3 c"}},
        Case{"DeclarationsAndInstructions", "<!DOCTYPE html><?xml x?><!x>t</ >u", {"t", "u"}},
        Case{"CommentsEndAsBrowsersEndThem",
             "<!-->a<!--->b<!-- x --!>c<!-- -- > -->d",
             {"a", "b", "c", "d"}},
        Case{"OnlyTheElementsOwnEndTagEndsIt", "<script>a</scriptx>b</script\tc>d", {"d"}},
        Case{"SelfClosingScriptInHtml", "<script/>a</script>b", {"b"}},
        Case{"SelfClosingScriptInXhtml", "<script/>a<b>c</b>", {"a", "c"}, true},
        Case{"UnquotedValuesEndAtSpaceOrTagEnd",
             "<a title=x>y<a alt=p q=r>s",
             {"x", "y", "p", "s"}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Pages made of the pieces markup is made of, in any order: every way a tag, an attribute, a
// value, a comment or a raw-text element can begin, end or fail to.
std::u16string RandomPage(std::mt19937& rng) {
    static const std::vector<std::u16string> kTokens = {
        u"<",        u">",         u"/",           u"/>",        u"</",          u"=",
        u" = ",      u"\"",        u"'",           u" ",         u"\t",          u"\n",
        u"!",        u"?",         u"-",           u"--",        u"]]",          u"<!--",
        u"-->",      u"<![CDATA[", u"a",           u"p",         u"Ab",          u"x:y",
        u"\u00e9",   u"\u4eca",    u"\U0001F600",  u"<\u4eca",   u"title",       u"TITLE",
        u"alt",      u"value",     u"placeholder", u"Title",     u"titlex",      u"script",
        u"SCRIPT",   u"style",     u"textarea",    u"xmp",       u"iframe",      u"noembed",
        u"noframes", u"<a ",       u"<p title=\"", u"<img alt=", u"</script>",   u"</title ",
        u"<title>",  u"<script>",  u"<textarea>",  u"<style/>",  u"class=\"c\"", u"value='v'",
        u"alt=b "};
    std::uniform_int_distribution<size_t> token(0, kTokens.size() - 1), length(0, 60);
    std::u16string page;
    for (size_t i = length(rng); i > 0; --i) page += kTokens[token(rng)];
    return page;
}

TEST(HtmlScan, AnyPiecesGiveWhatTheStateMachineGivesOnEveryPath) {
    const std::u16string page = U16(
        "<!DOCTYPE html><html><head><title>T :a:</title><style>p{x:o:y}</style></head>"
        "<body class=\"c\"><!-- c -- --><p title=\"t :b:\" alt='a' value=v>x &amp; y<br/>"
        "<script>if (a < b) { s = \"</p>\"; }</script ><![CDATA[ c ]]>z</p>"
        "<textarea>q</b></textarea><SCRIPT>w</Script><?pi?>a run of text longer than a "
        "register, <i title=\"and a title longer than a register too\">then</i> end</body></html>");
    glyphary::text::simd::Limit(glyphary::text::simd::Level::scalar);
    const std::vector<bool> whole = Kinds(page, false, {}, HtmlScanner::Tags::stepped);
    glyphary::testing::AtEveryLevel([&](glyphary::text::simd::Level) {
        for (size_t cut = 0; cut <= page.size(); ++cut)
            ASSERT_EQ(Kinds(page, false, {cut}), whole) << "cut at " << cut;
        std::mt19937 rng(7);
        for (int round = 0; round < 2000; ++round) {
            const std::u16string random = RandomPage(rng);
            const bool xml = round % 2;
            std::vector<size_t> cuts;
            std::uniform_int_distribution<size_t> at(0, random.size());
            for (int i = round % 8; i > 0; --i) cuts.push_back(at(rng));
            std::sort(cuts.begin(), cuts.end());
            const std::vector<bool> stepped = Kinds(random, xml, {}, HtmlScanner::Tags::stepped);
            ASSERT_EQ(Kinds(random, xml, cuts), stepped) << "round " << round;
            // The cuts fall inside characters too, as they count bytes here.
            ASSERT_EQ(KindsOfBytes(random, xml, cuts), stepped) << "round " << round;
        }
    });
}

}  // namespace
