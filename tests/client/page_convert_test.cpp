// Pages converted in pieces give what converting each stretch of readable text whole through
// the module gives, touch nothing else, and hold back a bounded part of the page whatever its
// length.
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "client/carrier_convert.h"
#include "client/carriers.h"
#include "client/html_scan.h"
#include "client/page_convert.h"
#include "client/settings.h"
#include "text/codec.h"
#include "text/text_pipe.h"
#include "text/utf.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;

constexpr EMapMode kImode = static_cast<EMapMode>(1);

class PageConvertTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        s_module = std::make_shared<Module>(ModuleChoice{GLYPHARY_MODULE_FILE, "test"});
        s_pages = new PageLocalizer(s_module, {});
    }
    static void TearDownTestSuite() {
        delete s_pages;
        s_module.reset();
        CoUninitialize();
    }

    // The page through a PageConverter in the pieces `cuts` makes.
    static std::u16string Convert(PageLocalizer& pages, EMapMode mode, PageKind kind,
                                  std::u16string_view page, const std::vector<size_t>& cuts = {}) {
        std::u16string out;
        PageConverter converter(pages, mode, kind,
                                [&](std::u16string_view units) { out += units; });
        size_t from = 0;
        for (size_t i = 0; i <= cuts.size(); ++i) {
            const size_t to = i < cuts.size() ? cuts[i] : page.size();
            std::copy(page.begin() + from, page.begin() + to, converter.Reserve(to - from));
            converter.Commit(to - from);
            from = to;
        }
        converter.Finish();
        return out;
    }

    static inline std::shared_ptr<Module> s_module;
    static inline PageLocalizer* s_pages = nullptr;
};

// What the page should become: each stretch of readable text (as the scanner tells them)
// through Localize in `mode` and, for a carrier, then standard emoji to it, in whole calls.
std::u16string Expected(Module& module, EMapMode mode, PageKind kind, std::u16string_view page) {
    Glyphary localize(module.Create());
    localize.SetMapMode(mode);
    std::unique_ptr<CarrierConverter> standard;
    if (mode != kUnicodeMode)
        standard = std::make_unique<CarrierConverter>(module, kUnicodeMode, mode,
                                                      [](std::u16string_view) {});
    std::vector<bool> readable(page.size(), true);
    HtmlScanner scanner(kind == PageKind::xhtml);
    for (size_t i = 0; kind != PageKind::plain && i < page.size();) {
        bool r;
        const size_t n = scanner.Next(page.substr(i), r);
        std::fill_n(readable.begin() + i, n, r);
        i += n;
    }
    std::u16string out;
    for (size_t i = 0; i < page.size();) {
        size_t j = i;
        while (j < page.size() && readable[j] == readable[i]) ++j;
        const std::u16string_view part = page.substr(i, j - i);
        if (!readable[i]) {
            out += part;
        } else if (standard) {
            standard->Convert(localize.Convert(Operation::localize, part),
                              [&](std::u16string_view u) { out += u; });
        } else {
            out += localize.Convert(Operation::localize, part);
        }
        i = j;
    }
    return out;
}

std::u16string RandomPage(std::mt19937& rng) {
    static const std::u16string parts[] = {u"<p title=\":sunny:\" class=\":cloud:\">",
                                           u"</p>",
                                           u"<img alt=':ok:' src=a:b:c>",
                                           u"<script>s = 'x:o:y' + \"<b>:sunny:</b>\";</script>",
                                           u"<style>a:link:hover{}</style>",
                                           u"<!-- :sunny: -->",
                                           u"score 3:100:2 ",
                                           u":sunny:",
                                           u":nosuch:",
                                           u"\x2600\xFE0F",
                                           u"\xD83C\xDF08",
                                           u"\x3042\x3044",
                                           u"\n",
                                           u" ",
                                           u"1\xFE0F\x20E3",
                                           u"\xD83D\xDC4D\xD83C\xDFFD",
                                           u"<",
                                           u">",
                                           u"&amp;",
                                           u":rain",
                                           u"bow:",
                                           u"\xD83D\xDC68\x200D\xD83D\xDCBB",
                                           u"\x200D",
                                           u"\xFE0F",
                                           u"a"};
    std::uniform_int_distribution<size_t> pick(0, std::size(parts) - 1);
    std::u16string page;
    for (int i = 0; i < 80; ++i) page += parts[pick(rng)];
    return page;
}

TEST_F(PageConvertTest, PiecesGiveWhatEachStretchGivesWhole) {
    std::mt19937 rng(5);
    for (const EMapMode mode : {kImode, kUnicodeMode}) {
        for (const PageKind kind : {PageKind::html, PageKind::xhtml, PageKind::plain}) {
            for (int round = 0; round < 30; ++round) {
                const std::u16string page = RandomPage(rng);
                const std::u16string expected = Expected(*s_module, mode, kind, page);
                ASSERT_EQ(Convert(*s_pages, mode, kind, page), expected);
                std::vector<size_t> cuts;
                std::uniform_int_distribution<size_t> at(0, page.size());
                for (int i = 0; i < 10; ++i) cuts.push_back(at(rng));
                std::sort(cuts.begin(), cuts.end());
                ASSERT_EQ(Convert(*s_pages, mode, kind, page, cuts), expected)
                    << "mode " << mode << " round " << round;
            }
        }
    }
}

// A UTF-8 page through the pipe, as the middleware converts one in pieces.
std::string ThroughPipe(PageLocalizer& pages, EMapMode mode, PageKind kind, text::Errors errors,
                        std::string_view page) {
    std::string out;
    text::TextPipe pipe(text::Format(text::Encoding::utf8), text::Errors::replace,
                        text::Format(text::Encoding::utf8, text::CarrierOfMode(mode)), errors,
                        [&](std::string_view bytes) { out.append(bytes); });
    PageConverter converter(pages, mode, kind, [&](std::u16string_view u) { pipe.Take(u); });
    for (size_t at = 0; at < page.size(); at += 1000)
        pipe.Feed(converter, page.substr(at, 1000), false);
    pipe.Feed(converter, {}, true);
    converter.Finish();
    pipe.Finish();
    return out;
}

// Where the bytes of a UTF-8 page can stay as they are, they give what the pipe gives; where
// they cannot, the page is left to the pipe.
TEST_F(PageConvertTest, Utf8PagesConvertedInPlaceGiveWhatThePipeGives) {
    PageLocalizer braces(s_module,
                         {u"\\{([a-z+]+)\\}", std::set<std::u16string>{u"sunny", u"c++"}});
    PageLocalizer wide(s_module, {u"\\{(\\w+)\\}", std::nullopt});
    const auto inPlace = [](PageLocalizer& pages, EMapMode mode, PageKind kind, text::Errors errors,
                            std::string_view page) -> std::optional<std::string> {
        text::ByteBuffer out;
        if (!ConvertUtf8Page(pages, mode, kind, errors, page, out)) return std::nullopt;
        return std::string(out.view());
    };
    std::mt19937 rng(11);
    for (PageLocalizer* pages : {s_pages, &braces}) {
        for (const PageKind kind : {PageKind::html, PageKind::xhtml, PageKind::plain}) {
            for (int round = 0; round < 40; ++round) {
                std::u16string units = RandomPage(rng);
                units += u"{sunny}{c++}{cloud} :{sunny}: \x00e9{c";  // the braces' notation
                const std::string page = *text::Utf8FromUtf16(units, text::Errors::strict);
                for (const text::Errors errors : {text::Errors::keep, text::Errors::strict}) {
                    ASSERT_EQ(inPlace(*pages, kUnicodeMode, kind, errors, page),
                              ThroughPipe(*pages, kUnicodeMode, kind, errors, page))
                        << "round " << round;
                }
                // A carrier's emoji, a pattern whose ids reach beyond ASCII, bytes that are
                // no UTF-8: the pipe's.
                EXPECT_FALSE(inPlace(*pages, kImode, kind, text::Errors::keep, page));
                EXPECT_FALSE(inPlace(wide, kUnicodeMode, kind, text::Errors::keep, page));
                EXPECT_FALSE(inPlace(*pages, kUnicodeMode, kind, text::Errors::keep,
                                     page.substr(0, page.size() - 1) + "\xC3"));
            }
        }
    }
}

TEST_F(PageConvertTest, EveryIdOfEveryModeBecomesWhatLocalizeMakesOfIt) {
    const SettingsFile settings = ReadSettings(s_module->SettingsPath());
    for (const EMapMode mode : {kImode, static_cast<EMapMode>(2), static_cast<EMapMode>(3)}) {
        std::set<std::u16string> ids, codes;
        for (const CodeMapEntry& map : settings.maps)
            if (map.mode == mode) ReadCodeMapKeys(map.path, ids, codes);
        ASSERT_GT(ids.size(), 100u) << "mode " << mode;
        std::u16string page;
        for (const std::u16string& id : ids) page += u":" + id + u": :" + id + u"x: ";
        EXPECT_EQ(Convert(*s_pages, mode, PageKind::plain, page),
                  Expected(*s_module, mode, PageKind::plain, page))
            << "mode " << mode;
    }
}

TEST_F(PageConvertTest, ScriptsStylesAndOtherAttributesStayAsWritten) {
    const std::u16string page =
        u"<style>a:link:hover{}</style><script>x:o:y</script><p class=\":sunny:\" "
        u"title=\":sunny:\">score 3:100:2 \x2600\xFE0F</p>";
    Glyphary unicode(s_module->Create());
    unicode.SetMapMode(kUnicodeMode);
    const std::u16string sun = unicode.Convert(Operation::localize, u":sunny:");
    const std::u16string hundred = unicode.Convert(Operation::localize, u":100:");
    EXPECT_EQ(Convert(*s_pages, kUnicodeMode, PageKind::html, page),
              u"<style>a:link:hover{}</style><script>x:o:y</script><p class=\":sunny:\" title=\"" +
                  sun + u"\">score 3" + hundred + u"2 \x2600\xFE0F</p>");
}

TEST_F(PageConvertTest, OnlyTheAllowedIdsAreLocalizedWithTheChosenPattern) {
    PageLocalizer pages(s_module, {u"\\{(\\w+)\\}", std::set<std::u16string>{u"sunny", u"c++"}});
    Glyphary imode(s_module->Create());
    imode.SetMapMode(kImode);
    const std::u16string sun = imode.Convert(Operation::localize, u":sunny:");
    EXPECT_EQ(Convert(pages, kImode, PageKind::plain, u"{sunny} {cloud} :sunny: {nosuch}"),
              sun + u" {cloud} :sunny: {nosuch}");
}

// Units the converter holds back, at most, for a page of `total` units of `part` (whose
// conversion is as long as itself) fed in pieces of `piece` units.
size_t MostHeld(PageLocalizer& pages, EMapMode mode, PageKind kind, std::u16string_view part,
                size_t total, size_t piece) {
    size_t in = 0, out = 0, most = 0;
    PageConverter converter(pages, mode, kind, [&](std::u16string_view u) { out += u.size(); });
    std::u16string chunk;
    while (chunk.size() < piece) chunk += part;
    while (in < total) {
        std::copy(chunk.begin(), chunk.end(), converter.Reserve(chunk.size()));
        converter.Commit(chunk.size());
        in += chunk.size();
        most = std::max(most, in - out);
    }
    converter.Finish();
    EXPECT_EQ(out, in);
    return most;
}

TEST_F(PageConvertTest, APageWithoutLineEndsIsHeldBackOnlyInPart) {
    // Notation whose id no table has (written back as it was), letters, kana, emoji no table
    // has: 20 million units without a line feed, in pieces of 64 Ki units.
    const std::u16string text = u"lorem:qqq:ipsum aaaaaaaaaaaaaaaaa \x3042 :x \xD83E\xDEE0 ";
    const size_t total = 20'000'000, piece = 65536;
    for (const EMapMode mode : {kImode, kUnicodeMode}) {
        EXPECT_LT(MostHeld(*s_pages, mode, PageKind::plain, text, total, piece), 2 * piece);
        EXPECT_LT(
            MostHeld(*s_pages, mode, PageKind::html, u"<p class=x>" + text + u"</p>", total, piece),
            2 * piece);
    }
    // A pattern that no cut is known safe for: held up to the limit, then converted.
    PageLocalizer lookbehind(s_module, {u"(?<=\\s):([a-z]+):", std::nullopt});
    EXPECT_LT(MostHeld(lookbehind, kUnicodeMode, PageKind::plain, text, total, piece),
              PageConverter::kMaxHeldUnits + 2 * piece);
}

}  // namespace
