// The client's finder finds what the module's Localize finds, whole or in any pieces, for
// patterns it reads without the regex engine and for those it gives to it.
#include <random>

#include <gtest/gtest.h>

#include "client/errors.h"
#include "client/module.h"
#include "client/notation_finder.h"
#include "client/object.h"
#include "support/simd_levels.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;

class NotationFinderTest : public ::testing::TestWithParam<const char16_t*> {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        s_module = new Module({GLYPHARY_MODULE_FILE, "test"});
    }
    static void TearDownTestSuite() {
        delete s_module;
        CoUninitialize();
    }
    static inline Module* s_module = nullptr;
};

// `text` given to the finder in the pieces `cuts` makes (settled parts written out, the rest
// given again with the next piece), each match written <id>.
std::u16string FindInPieces(const NotationFinder& finder, std::u16string_view text,
                            const std::vector<size_t>& cuts) {
    std::u16string held, out;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const bool final = i == cuts.size();
        const size_t to = final ? text.size() : cuts[i];
        held += text.substr(from, to - from);
        from = to;
        size_t copied = 0;
        const size_t settled = finder.Find(held, final, [&](const NotationMatch& m) {
            EXPECT_LE(copied, m.begin);
            out += held.substr(copied, m.begin - copied) + u"<" +
                   held.substr(m.idBegin, m.idEnd - m.idBegin) + u">";
            copied = m.end;
        });
        EXPECT_LE(copied, settled);
        out += held.substr(copied, settled - copied);
        held.erase(0, settled);
    }
    EXPECT_TRUE(held.empty());
    return out;
}

std::u16string RandomText(std::mt19937& rng, size_t pieces) {
    static const std::u16string parts[] = {u":",      u"a",  u"b",   u"sun", u"\n", u"{",
                                           u"}",      u" ",  u"x",   u"_",   u"-",  u"\xD83D\xDE00",
                                           u"\x3042", u"::", u":a:", u"{b}"};
    std::uniform_int_distribution<size_t> pick(0, std::size(parts) - 1);
    std::u16string text;
    for (size_t i = 0; i < pieces; ++i) text += parts[pick(rng)];
    return text;
}

TEST_P(NotationFinderTest, FindsWhatLocalizeFindsWholeAndInPieces) {
    Glyphary object(s_module->Create());
    object.SetMapMode(MPM_none);  // no table: every match written by the format
    object.Put(Property::localizePattern, GetParam());
    object.Put(Property::localizeUndefinedFormat, u"<%1%>");
    glyphary::testing::AtEveryLevel([&](text::simd::Level) {
        const NotationFinder finder(GetParam());  // its search chosen at this level
        std::mt19937 rng(11);
        for (int round = 0; round < 300; ++round) {
            const std::u16string text = RandomText(rng, 1 + round % 60);
            const std::u16string expected = object.Convert(Operation::localize, text);
            ASSERT_EQ(FindInPieces(finder, text, {}), expected) << "round " << round;
            std::vector<size_t> cuts;
            std::uniform_int_distribution<size_t> at(0, text.size());
            for (int i = 0; i < 6; ++i) cuts.push_back(at(rng));
            std::sort(cuts.begin(), cuts.end());
            ASSERT_EQ(FindInPieces(finder, text, cuts), expected) << "round " << round;
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Patterns, NotationFinderTest,
                         ::testing::Values(u":([a-z0-9_+\\-]+):",  // the sample's
                                           u"\\{(\\w+)\\}", u":([a-z]*):", u"::(b+)",
                                           u"([a-z]+)",         // settled after line feeds
                                           u":([a-z]+):(?!x)",  // settled at the end only
                                           u"(?<=\\s):([a-z]+):", u"(a*)", u"^:(\\w+):"));

TEST(NotationFinder, WhatEachPatternLetsItSettleEarly) {
    EXPECT_TRUE(NotationFinder(u":([a-z0-9_+\\-]+):").Settles());
    EXPECT_TRUE(NotationFinder(u"([a-z]+)").Settles());
    EXPECT_FALSE(NotationFinder(u":([a-z]+):(?!x)").Settles());
    EXPECT_THROW(NotationFinder(u"(:"), ClientError);
}

TEST(NotationFinder, ATextWithoutNotationSettlesAsItComesWhateverItsLength) {
    // Letters the id may hold, without end: all but what could still begin notation is
    // settled; and an id longer than kMaxIdUnits is no notation, so what follows it is found.
    const NotationFinder finder(u":([a-z]+):");
    const std::u16string letters(100000, u'a');
    EXPECT_EQ(finder.Find(letters, false, [](const NotationMatch&) { FAIL(); }), letters.size());
    const std::u16string opened = u":" + letters;
    EXPECT_EQ(finder.Find(opened, false, [](const NotationMatch&) { FAIL(); }), opened.size());
    std::vector<size_t> found;
    const std::u16string text = opened + u":b:";
    finder.Find(text, true, [&](const NotationMatch& m) { found.push_back(m.idBegin); });
    EXPECT_EQ(found, std::vector<size_t>{text.size() - 2});
}

}  // namespace
