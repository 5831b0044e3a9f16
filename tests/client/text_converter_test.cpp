// Text converted in pieces gives, byte for byte, what one whole call gives, for each way a
// text may be cut; a text that cannot be cut goes in one call.
#include <random>

#include <gtest/gtest.h>

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
        {Operation::localize, u":([a-z0-9_]+):", Cuts::afterLineFeeds},
        {Operation::localize, u":([a-z0-9_\\n]+):", Cuts::nowhere},
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

}  // namespace
