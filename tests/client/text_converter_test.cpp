// Text converted in pieces gives, byte for byte, what one whole call gives, for each way a
// text may be cut; a text that cannot be cut goes in one call; a text cut by the pattern's
// shape is cut at every place the analysis allows, and a line of any length goes in pieces.
#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "client/errors.h"
#include "support/module_fixture.h"
#include "client/module.h"
#include "client/text_converter.h"
#include "tools/program.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;
using glyphary::testing::TempDir;
using glyphary::testing::WriteFile;

class TextConverterTest : public glyphary::testing::ModuleTest {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        std::filesystem::copy_file(GLYPHARY_MODULE_FILE, *s_dir / "glyphary.so");
        WriteFile(*s_dir / "Glyphary.setting", R"(<glyphary>
  <globalizeFormat>:%1%:</globalizeFormat>
  <localizePattern>:([a-z0-9_]+):</localizePattern>
  <localizeUndefinedFormat>[%1%]</localizeUndefinedFormat>
  <map mode="1" src="imode.xml"/>
</glyphary>)");
        WriteFile(*s_dir / "imode.xml", R"(<maps><map id="sun" code="&#xE63E;"/>
<map id="cloud" code="&#xE63F;"/><map id="smile" code="&#x1F600;"/></maps>)");
        Load(*s_dir / "glyphary.so");
    }
    static void TearDownTestSuite() {
        ModuleTest::TearDownTestSuite();
        delete s_dir;
    }

    static inline TempDir* s_dir = nullptr;
};

// Over a million units (so that the converter does cut), with carrier codes, notation split by
// line feeds and not, surrogate pairs and zero units.
std::u16string LongText(std::mt19937& rng) {
    static const std::u16string pieces[] = {u"abc ",   u":sun:",  u":cloud", u"\n",
                                            u":",      u"sun:\n", u"\xE63E", u"\xD83D\xDE00",
                                            u"\x3042", u"\0"};
    std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
    std::u16string text;
    while (text.size() < 2'500'000) text += pieces[pick(rng)];
    return text;
}

TEST_F(TextConverterTest, PiecesConvertAsTheWholeDoesForEachKindOfCut) {
    std::mt19937 rng(3);
    const std::u16string text = LongText(rng);
    const struct {
        Operation operation;
        const char16_t* pattern;
        Cuts cuts;
    } cases[] = {
        {Operation::globalize, u":([a-z0-9_]+):", Cuts::anywhere},
        {Operation::localize, u":([a-z0-9_]+):", Cuts::byShape},
        {Operation::localize, u"(?::|;)([a-z0-9_]+):", Cuts::afterLineFeeds},
        {Operation::localize, u":([a-z0-9_\\n]+):", Cuts::byShape},
        {Operation::localize, u"(?::|;)([a-z0-9_\\n]+):", Cuts::nowhere},
    };
    for (const auto& c : cases) {
        Glyphary object(s_module->Create());
        object.SetMapMode(MPM_imode);
        object.Put(Property::localizePattern, c.pattern);
        const std::u16string whole = object.Convert(c.operation, text);
        std::u16string pieces;
        size_t calls = 0;
        TextConverter converter(object, c.operation, [&](std::u16string_view piece) {
            pieces += piece;
            ++calls;
        });
        ASSERT_EQ(converter.cuts(), c.cuts);
        for (size_t at = 0; at < text.size();) {
            const size_t n =
                std::min(text.size() - at, std::uniform_int_distribution<size_t>(1, 300'000)(rng));
            text.copy(converter.Reserve(n), n, at);
            converter.Commit(n);
            at += n;
        }
        converter.Finish();
        ASSERT_EQ(pieces, whole);
        // Cut texts went in several calls, the one that cannot be cut in one per zero unit.
        const size_t zeros = std::count(text.begin(), text.end(), u'\0');
        if (c.cuts == Cuts::nowhere) {
            EXPECT_EQ(calls, 2 * zeros + 1);
        } else {
            EXPECT_GT(calls, 2 * zeros + 1);
        }
    }
}

// Generated: short texts of the units the patterns care about, cut at every place ShapeCuts
// allows (its scan from the tail agreeing with the scan of every unit), convert part by part
// as they do whole; and a pattern whose P shares units with C still cuts outside its alphabet.
TEST_F(TextConverterTest, EveryPlaceTheShapeAllowsIsASafeCut) {
    std::mt19937 rng(7);
    static const std::u16string pool[] = {
        u":",  u"a",  u"b", u"1", u"sun", u"cloud", u" ",      u"\n",
        u"[[", u"]]", u"[", u"]", u"x",   u"-",     u"\xE63E", std::u16string(1, u'\0')};
    const char16_t* patterns[] = {
        u":([a-z0-9_]+):", u"\\[\\[([a-z]*)\\]\\]", u":([^:]+):", u"\\[([a-z\\[]+)\\]",
        u"x([a-z]+)",      u"::([a-z]+)",
    };
    size_t cuts = 0;
    for (const char16_t* pattern : patterns) {
        const PatternFacts facts = AnalyzePattern(
            std::wstring(pattern, pattern + std::char_traits<char16_t>::length(pattern)));
        ASSERT_TRUE(facts.simple) << std::string(pattern, pattern + 3);
        Glyphary object(s_module->Create());
        object.SetMapMode(MPM_imode);
        object.Put(Property::localizePattern, pattern);
        for (int round = 0; round < 300; ++round) {
            std::u16string text;
            for (int n = std::uniform_int_distribution<int>(0, 24)(rng); n > 0; --n)
                text += pool[std::uniform_int_distribution<size_t>(0, std::size(pool) - 1)(rng)];
            // The places, from scans over random pieces of the text.
            ShapeCuts scan(*facts.simple), each = scan;
            std::vector<size_t> places;
            for (size_t at = 0; at < text.size();) {
                const size_t n =
                    std::min(text.size() - at, std::uniform_int_distribution<size_t>(1, 4)(rng));
                for (size_t k = 1; k <= n; ++k) {  // every place, not just the last
                    ShapeCuts again = scan;
                    const size_t last = again.Scan(std::u16string_view(text).substr(at, k));
                    if (last != std::u16string_view::npos && at + last > 0 &&
                        (places.empty() || places.back() != at + last))
                        places.push_back(at + last);
                }
                // Scanning from the tail finds what scanning every unit finds.
                const std::u16string_view piece = std::u16string_view(text).substr(at, n);
                ASSERT_EQ(scan.Scan(piece), each.ScanEach(piece));
                ASSERT_EQ(scan.open(), each.open());
                at += n;
            }
            std::sort(places.begin(), places.end());
            places.erase(std::unique(places.begin(), places.end()), places.end());
            std::u16string parts;
            size_t from = 0;
            for (const size_t place : places) {
                parts += object.Convert(Operation::localize,
                                        std::u16string_view(text).substr(from, place - from));
                from = place;
            }
            parts += object.Convert(Operation::localize, std::u16string_view(text).substr(from));
            ASSERT_EQ(parts, object.Convert(Operation::localize, text));
            cuts += places.size();
        }
    }
    EXPECT_GT(cuts, 5000u);
}

// A line of millions of units with no notation open in it (a dump's hex) goes in bounded
// pieces; a notation left open beyond the limit is an error, not a whole-text call.
TEST_F(TextConverterTest, ALongLineGoesInPiecesAndAnOpenNotationHasALimit) {
    Glyphary object(s_module->Create());
    object.SetMapMode(MPM_imode);
    size_t longest = 0;
    std::u16string out;
    TextConverter converter(object, Operation::localize, [&](std::u16string_view piece) {
        longest = std::max(longest, piece.size());
        out += piece;
    });
    ASSERT_EQ(converter.cuts(), Cuts::byShape);
    const std::u16string chunk = u"'\\\\x0123456789abcdef0123456789abcdef' :sun: ";
    std::u16string line;
    while (line.size() < 4'000'000) line += chunk;
    for (size_t at = 0; at < line.size(); at += 100'000) {
        const size_t n = std::min<size_t>(100'000, line.size() - at);
        line.copy(converter.Reserve(n), n, at);
        converter.Commit(n);
    }
    converter.Finish();
    EXPECT_EQ(out, object.Convert(Operation::localize, line));
    EXPECT_LT(longest, 300'000u);

    TextConverter open(object, Operation::localize, [](std::u16string_view) {});
    const std::u16string hex(1 << 20, u'a');
    *open.Reserve(1) = u':';
    open.Commit(1);
    EXPECT_THROW(
        {
            for (size_t written = 0; written <= kMaxOpenCandidate; written += hex.size()) {
                hex.copy(open.Reserve(hex.size()), hex.size());
                open.Commit(hex.size());
            }
        },
        ClientError);
}

}  // namespace
