// Text converted from one table to another through the sample configuration: standard emoji
// found as a plain reading of emoji sequences says, on generated texts; and text converted
// in pieces gives what one whole conversion gives.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "support/module_fixture.h"
#include "client/carrier_convert.h"
#include "client/errors.h"
#include "client/carriers.h"
#include "client/settings.h"
#include "support/legacy_forms.h"
#include "text/text_pipe.h"
#include "tools/program.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;
using glyphary::testing::TempDir;
using glyphary::testing::WriteFile;

class CarrierConvertTest : public glyphary::testing::ModuleTest {
  protected:
    static std::u16string ConvertWhole(CarrierConverter& converter, std::u16string_view text) {
        std::u16string out;
        converter.Convert(text, [&](std::u16string_view piece) { out += piece; });
        return out;
    }
};

// The elements of the sample's map files for `mode`.
std::vector<CodeMapElement> SampleMap(int mode) {
    const SettingsFile settings = ReadSettings(
        std::filesystem::path(GLYPHARY_MODULE_FILE).parent_path() / "Glyphary.setting");
    std::vector<CodeMapElement> all;
    for (const auto& file : MapFilesOf(settings, mode)) {
        std::optional<std::vector<CodeMapElement>> elements = ReadCodeMap(file);
        if (!elements) throw std::runtime_error("cannot read " + file.string());
        for (CodeMapElement& e : *elements) all.push_back(std::move(e));
    }
    return all;
}

std::u16string Utf16(char32_t c) {
    if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
    c -= 0x10000;
    return {static_cast<char16_t>(0xD800 + (c >> 10)), static_cast<char16_t>(0xDC00 + (c & 0x3FF))};
}

// Empty when `actual` is `expected`; else where they part, with the units around it.
std::string Difference(std::u16string_view actual, std::u16string_view expected) {
    if (actual == expected) return {};
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const auto around = [&](std::u16string_view text) {
        std::string hex;
        const size_t from = at < 8 ? 0 : at - 8;
        for (size_t i = from; i < text.size() && i < at + 8; ++i) {
            char unit[8];
            std::snprintf(unit, sizeof unit, i == at ? " [%04X]" : " %04X", unsigned(text[i]));
            hex += unit;
        }
        return hex;
    };
    return "they part at unit " + std::to_string(at) + ":" + around(actual) + " instead of" +
           around(expected);
}

// ---------------------------------------------------------------------------------------------
// The plain reading: the text between U+FDD0 and zero units, cut into emoji sequences (two
// regional indicators or one character, its modifiers, then any U+200D with the character
// other than U+200D it joins and that one's modifiers); a sequence that is a form becomes what the
// target shows for its id, unless a U+200D that joins nothing stands next to it; everything else
// stays.

bool IsModifier(char32_t c) {
    return c == 0xFE0F || c == 0xFE0E || c == 0x20E3 || (c >= 0x1F3FB && c <= 0x1F3FF) ||
           (c >= 0xE0020 && c <= 0xE007F);
}
bool IsRegionalIndicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

std::u32string CodePoints(std::u16string_view text) {
    std::u32string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out += static_cast<char32_t>(0x10000 + ((text[i] - 0xD800) << 10) +
                                         (text[i + 1] - 0xDC00));
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::u16string PlainSegment(const std::u32string& c,
                            const std::map<std::u16string, std::u16string>& shown) {
    std::u16string out;
    for (size_t i = 0; i < c.size();) {
        size_t j =
            i + (IsRegionalIndicator(c[i]) && i + 1 < c.size() && IsRegionalIndicator(c[i + 1])
                     ? 2
                     : 1);
        while (j < c.size() && IsModifier(c[j])) ++j;
        while (j + 1 < c.size() && c[j] == 0x200D && c[j + 1] != 0x200D) {
            j += 2;
            while (j < c.size() && IsModifier(c[j])) ++j;
        }
        std::u16string sequence;
        for (size_t k = i; k < j; ++k) sequence += Utf16(c[k]);
        const auto it = shown.find(sequence);
        const bool joined = (i > 0 && c[i - 1] == 0x200D) || (j < c.size() && c[j] == 0x200D);
        out += it != shown.end() && !joined ? it->second : sequence;
        i = j;
    }
    return out;
}

std::u16string PlainConvert(std::u16string_view text,
                            const std::map<std::u16string, std::u16string>& shown) {
    std::u16string out;
    for (;;) {
        const size_t mark = text.find_first_of(std::u16string_view(u"\xFDD0\0", 2));
        out += PlainSegment(CodePoints(text.substr(0, mark)), shown);
        if (mark == std::u16string_view::npos) return out;
        out += text[mark];
        text.remove_prefix(mark + 1);
    }
}

// Texts of what standard emoji text holds, and what would trip a careless reading: forms
// alone and with modifiers, flags and lone regional indicators, keycaps and bare digits, ZWJ
// sequences of forms and of other emoji, runs longer than any form, notation and its marks.
std::u16string GeneratedText(std::mt19937& rng, const std::vector<std::u16string>& forms) {
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
    };
    const auto form = [&] { return forms[pick(forms.size())]; };
    const auto other = [&]() -> std::u16string {  // an emoji or symbol, in the table or not
        const char32_t ranges[][2] = {{0x2600, 0x27BF}, {0x1F300, 0x1F6FF}, {0x1F900, 0x1F9FF}};
        const auto& r = ranges[pick(3)];
        return Utf16(r[0] + static_cast<char32_t>(pick(r[1] - r[0] + 1)));
    };
    const std::u16string modifiers[] = {u"\xFE0F",
                                        u"\xFE0E",
                                        u"\x20E3",
                                        u"\xD83C\xDFFD",
                                        u"\xD83C\xDFFB",
                                        u"\xDB40\xDC67\xDB40\xDC62"
                                        u"\xDB40\xDC7F"};
    std::u16string text;
    for (int n = 0; n < 300; ++n) {
        switch (pick(20)) {
            case 0:
            case 1:
            case 2:
            case 3:
                text += form();
                break;
            case 4:
                text += form() + modifiers[pick(std::size(modifiers))];
                break;
            case 5:
                text += form() + u"\x200D" + (pick(2) ? form() : other());
                break;
            case 6:
                text += other() + u"\x200D" + form();
                if (pick(2)) text.append(u"\x200D").append(form());
                break;
            case 7:
                text += other();
                break;
            case 8:
                text += Utf16(0x1F1E6 + static_cast<char32_t>(pick(26)));
                break;
            case 9:
                text += std::u16string(1, u"0123456789#*"[pick(12)]) + (pick(2) ? u"\xFE0F" : u"") +
                        (pick(2) ? u"\x20E3" : u"");
                break;
            case 10:
                text += std::u16string(1, u"\x200D\xFE0F\x20E3\xD83C\xDFFD\n"[pick(6)]);
                break;
            case 11:
                text += u":sunny: \xFDD0sunny\xFDD1 \xFDD1";
                break;
            case 12:
                text += std::u16string(1, pick(2) ? u'\xFDD0' : u'\0');
                break;
            case 13:  // longer than the pattern's bounds, and just within them
                text += form() + std::u16string(pick(2) ? 33 : 32, u'\xFE0F');
                break;
            case 14:
                for (size_t k = pick(2) ? 17 : 16; k > 0; --k)
                    text.append(u"\x200D").append(form());
                break;
            case 15:
                text += std::u16string(1, pick(2) ? u'\xD83D' : u'\xDC00');  // lone surrogates
                break;
            default: {
                const char16_t plain[] = u" abcXYZ\x3042\x30A2\x4E9C\x6F22\xFF01";
                text += plain[pick(std::size(plain) - 1)];
            }
        }
    }
    return text;
}

// The sample's standard emoji as written, and what i-mode shows for each: a visible change
// for every one.
struct SampleForms {
    std::vector<std::u16string> forms;
    std::map<std::u16string, std::u16string> shown;
    SampleForms() {
        std::map<std::u16string, std::u16string> idOf, codeOf;
        for (const CodeMapElement& e : SampleMap(kStandardFormsMode))
            idOf[e.id] = e.code.substr(1, e.code.size() - 2);  // inside U+FDD0 ... U+FDD1
        for (const CodeMapElement& e : SampleMap(MPM_imode)) codeOf[e.id] = e.code;
        for (const auto& [form, id] : idOf) {
            forms.push_back(form);
            shown[form] = codeOf.at(id);
        }
    }
};

TEST_F(CarrierConvertTest, StandardEmojiAreFoundAsThePlainReadingFindsThem) {
    const SampleForms sample;
    ASSERT_EQ(sample.forms.size(), 1430u);
    CarrierConverter converter(*s_module, kUnicodeMode, MPM_imode, [](std::u16string_view) {});
    std::mt19937 rng(13);
    for (int round = 0; round < 200; ++round) {
        const std::u16string text = GeneratedText(rng, sample.forms);
        ASSERT_EQ(Difference(ConvertWhole(converter, text), PlainConvert(text, sample.shown)), "")
            << "round " << round;
    }
    // Every form alone, each after a space so that none joins the one before.
    std::u16string all, expected;
    for (const std::u16string& form : sample.forms) {
        all += u" " + form;
        expected += u" " + sample.shown.at(form);
    }
    EXPECT_EQ(Difference(ConvertWhole(converter, all), expected), "");
    // However long a run of modifiers, it is no form; the engine's stack sets no limit.
    const std::u16string run = u"\x2600" + std::u16string(200'000, u'\xFE0F');
    EXPECT_EQ(ConvertWhole(converter, run), run);
}

TEST_F(CarrierConvertTest, TextCutWhereTheConverterAllowsConvertsAsTheWhole) {
    const SampleForms sample;
    std::mt19937 rng(5);
    for (const EMapMode from : {MPM_ezweb, kUnicodeMode}) {
        CarrierConverter converter(*s_module, from, MPM_softbank, [](std::u16string_view) {});
        size_t tried = 0;
        for (int round = 0; round < 10; ++round) {
            std::u16string text = GeneratedText(rng, sample.forms);
            for (size_t i = 0; i < text.size(); i += 7) text[i] = u'\xE488';  // EZweb's sun
            const std::u16string whole = ConvertWhole(converter, text);
            for (size_t at = 1; at < text.size(); at += 1 + rng() % 8) {
                if (!converter.MayCut(text[at - 1], text[at])) continue;
                ++tried;
                const std::u16string parts = ConvertWhole(converter, text.substr(0, at)) +
                                             ConvertWhole(converter, text.substr(at));
                ASSERT_EQ(Difference(parts, whole), "") << CarrierName(from) << " cut at " << at;
            }
        }
        EXPECT_GT(tried, 500u) << CarrierName(from);
    }
}

TEST_F(CarrierConvertTest, FormsOfATableOfItsOwnAreFoundWhole) {
    // Forms that are ZWJ and skin-tone sequences themselves, beside their parts.
    const TempDir dir;
    std::filesystem::copy_file(GLYPHARY_MODULE_FILE, dir / "glyphary.so");
    WriteFile(dir / "Glyphary.setting", R"(<glyphary>
  <map mode="4" src="out.xml"/><map mode="5" src="in.xml"/>
</glyphary>)");
    WriteFile(dir / "in.xml", R"(<maps>
  <map id="&#x1F468;" code="&#xFDD0;man&#xFDD1;"/>
  <map id="&#x1F4BB;" code="&#xFDD0;computer&#xFDD1;"/>
  <map id="&#x1F468;&#x200D;&#x1F4BB;" code="&#xFDD0;technologist&#xFDD1;"/>
  <map id="&#x1F44D;&#x1F3FD;" code="&#xFDD0;thumbsup_medium&#xFDD1;"/>
</maps>)");
    WriteFile(dir / "out.xml", R"(<maps>
  <map id="man" code="[man]"/><map id="computer" code="[computer]"/>
  <map id="technologist" code="[technologist]"/><map id="thumbsup_medium" code="[+1]"/>
</maps>)");
    Module module({dir / "glyphary.so", "test"});
    const struct {
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {u"\xD83D\xDC68\x200D\xD83D\xDCBB", u"[technologist]"},
        {u"\xD83D\xDC68 \xD83D\xDCBB", u"[man] [computer]"},
        {u"\xD83D\xDC68\x200D\xD83D\xDC69", u"\xD83D\xDC68\x200D\xD83D\xDC69"},
        {u"\xD83D\xDC68\x200D\xD83D\xDCBB\x200D", u"\xD83D\xDC68\x200D\xD83D\xDCBB\x200D"},
        {u"\xD83D\xDC4D\xD83C\xDFFD\xD83D\xDC4D\xD83C\xDFFF", u"[+1]\xD83D\xDC4D\xD83C\xDFFF"},
    };
    CarrierConverter converter(module, kUnicodeMode, kUnicodeMode, [](std::u16string_view) {});
    for (const auto& c : cases)
        EXPECT_EQ(Difference(ConvertWhole(converter, c.in), c.out), "") << CarrierName(0);
}

// Over a million units without a line feed or a zero unit (the rule for standard emoji must
// find cuts of its own) and without U+FDD0 (one call, converted whole), with carrier and
// standard emoji and ZWJ sequences.
std::u16string LongText(std::mt19937& rng) {
    static const std::u16string pieces[] = {u"abc ",
                                            u"\x3042\x3044",
                                            u"\xE63E",
                                            u"\xE63F\xE640",
                                            u"\x2600\xFE0F",
                                            u"1\x20E3",
                                            u"\xD83C\xDDEF\xD83C\xDDF5",
                                            u"\xD83D\xDC68\x200D\xD83D\xDCBB",
                                            u":sunny:",
                                            u"\xD83D\xDE00"};
    std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
    std::u16string text;
    while (text.size() < 1'500'000) text += pieces[pick(rng)];
    return text;
}

TEST_F(CarrierConvertTest, PiecesConvertAsTheWholeDoes) {
    std::mt19937 rng(7);
    const std::u16string text = LongText(rng);
    for (const EMapMode from : {MPM_imode, kUnicodeMode}) {
        std::u16string pieces;
        size_t calls = 0;
        CarrierConverter converter(*s_module, from, MPM_softbank, [&](std::u16string_view piece) {
            pieces += piece;
            ++calls;
        });
        std::u16string whole;
        size_t wholeCalls = 0;
        converter.Convert(text, [&](std::u16string_view piece) {
            whole += piece;
            ++wholeCalls;
        });
        ASSERT_NE(whole, text);
        for (size_t at = 0; at < text.size();) {
            const size_t n =
                std::min(text.size() - at, std::uniform_int_distribution<size_t>(1, 300'000)(rng));
            text.copy(converter.Reserve(n), n, at);
            converter.Commit(n);
            at += n;
        }
        converter.Finish();
        EXPECT_EQ(Difference(pieces, whole), "") << CarrierName(from);
        EXPECT_GT(calls, wholeCalls) << CarrierName(from) << ": the text was never cut";
    }
}

// The standard emoji as notation: each form found as the plain reading finds it becomes its
// id through the configured GlobalizeFormat; longer sequences stay whole.
TEST_F(CarrierConvertTest, StandardEmojiBecomeNotationAsThePlainReadingFindsThem) {
    SampleForms sample;
    for (const CodeMapElement& e : SampleMap(kStandardFormsMode)) {
        // Appended, not chained with + on a temporary (GCC 12's -Wrestrict at -O3).
        std::u16string shown = u":";
        shown.append(e.code, 1, e.code.size() - 2).append(u":");
        sample.shown[e.id] = std::move(shown);
    }
    CarrierConverter converter(*s_module, Source::Table(kUnicodeMode), Target::Notation(),
                               [](std::u16string_view) {});
    std::mt19937 rng(17);
    for (int round = 0; round < 100; ++round) {
        const std::u16string text = GeneratedText(rng, sample.forms);
        ASSERT_EQ(Difference(ConvertWhole(converter, text), PlainConvert(text, sample.shown)), "")
            << "round " << round;
    }
    CarrierConverter bracketed(*s_module, Source::Table(kUnicodeMode), Target::Notation(u"[%1%]"),
                               [](std::u16string_view) {});
    EXPECT_EQ(ConvertWhole(bracketed, u"a\x2600\xFE0F \xD83D\xDC4D\xD83C\xDFFD"),
              u"a[sunny] \xD83D\xDC4D\xD83C\xDFFD");
    EXPECT_THROW(CarrierConverter(*s_module, Source::Table(kUnicodeMode), Target::Notation(u"%2%"),
                                  [](std::u16string_view) {}),
                 ClientError);
}

// `bytes` in `format` through a text pipe and `converter`, as UTF-8.
std::string Piped(std::string_view bytes, const text::Format& format, Module& module,
                  const Source& from, const Target& to) {
    std::string out;
    text::TextPipe pipe(format, text::Errors::strict, {}, text::Errors::strict,
                        [&](std::string_view b) { out += b; });
    CarrierConverter converter(module, from, to,
                               [&](std::u16string_view piece) { pipe.Take(piece); });
    for (size_t at = 0; at < bytes.size(); at += 1000)
        pipe.Feed(converter, bytes.substr(at, 1000), false);
    pipe.Feed(converter, {}, true);
    converter.Finish();
    pipe.Finish();
    return out;
}

// Generated: every emoji of every carrier, in every form it was stored in, in UTF-8 and in
// Shift_JIS, read for its carrier and found automatically, reaches the standard emoji and the
// notation its plain code reaches; the notation is what Globalize writes.
TEST_F(CarrierConvertTest, EveryEmojiInEveryFormReachesWhatItsCodeReaches) {
    const auto convert = [&](const Source& from, const Target& to, std::u16string_view text) {
        CarrierConverter converter(*s_module, from, to, [](std::u16string_view) {});
        return ConvertWhole(converter, text);
    };
    size_t checked = 0;
    for (const text::Carrier carrier : text::kEmojiCarriers) {
        const auto mode = static_cast<EMapMode>(carrier);
        for (const text::Encoding encoding : {text::Encoding::utf8, text::Encoding::sjis}) {
            // Each way of writing, the codes written that way and the bytes.
            std::map<std::string, std::pair<std::u16string, std::string>> texts;
            std::map<std::string, text::Forms> formsOf;
            for (const text::LegacyEmoji& e : text::LegacyEmojis()) {
                const char16_t code = e.CodeOf(carrier);
                if (!code) continue;
                std::map<std::string, int> seen;
                for (const glyphary::testing::Written& w :
                     glyphary::testing::WaysOf(carrier, code, encoding)) {
                    const std::string key =
                        text::FormNames(w.forms) + std::to_string(seen[text::FormNames(w.forms)]++);
                    formsOf[key] = w.forms;
                    texts[key].first += std::u16string(u" ") + code;
                    texts[key].second += glyphary::testing::Input(" ", w, "", encoding);
                }
            }
            for (const auto& [key, text] : texts) {
                const text::Forms forms = formsOf[key];
                SCOPED_TRACE(std::string(text::CarrierName(carrier)) + " " +
                             text::EncodingName(encoding) + " " + key);
                const auto& [codes, bytes] = text;
                const std::string standard = text::Encode(
                    convert(Source::Table(mode), Target::Table(kUnicodeMode), codes), {});
                const std::u16string notation =
                    convert(Source::Table(mode), Target::Notation(), codes);
                Glyphary object(s_module->Create());
                object.SetMapMode(mode);
                ASSERT_EQ(notation, object.Convert(Operation::globalize, codes));

                ASSERT_EQ(Piped(bytes, {encoding, carrier, forms}, *s_module, Source::Table(mode),
                                Target::Table(kUnicodeMode)),
                          standard);
                // Found automatically after a code that shows the form's carrier.
                const text::Carrier own =
                    forms.has(text::Form::localsrc) ? text::Carrier::ezweb : carrier;
                const std::u16string witness(1, glyphary::testing::WitnessCode(own));
                const std::string witnessBytes = glyphary::testing::Witness(own, encoding, forms);
                const text::Format automatic{encoding, text::Carrier::automatic, forms};
                const Source ownSource = Source::Table(static_cast<EMapMode>(own));
                ASSERT_EQ(
                    Piped(witnessBytes + bytes, automatic, *s_module, Source::Automatic(),
                          Target::Table(kUnicodeMode)),
                    text::Encode(convert(ownSource, Target::Table(kUnicodeMode), witness), {}) +
                        standard);
                ASSERT_EQ(
                    Piped(witnessBytes + bytes, automatic, *s_module, Source::Automatic(),
                          Target::Notation()),
                    text::Encode(convert(ownSource, Target::Notation(), witness) + notation, {}));
                checked += codes.size() / 2;
            }
        }
    }
    EXPECT_GT(checked, 10000u);
}

// The module's own composition, call by call: Globalize in the source mode into the
// intermediate notation, Localize in the target mode (`notation`: a mode without maps, ids
// through that format), the text cut at U+FDD0, which passes.
std::u16string Composed(Module& module, EMapMode from, EMapMode to, std::u16string_view text,
                        const char16_t* notation = nullptr) {
    Glyphary source(module.Create()), target(module.Create());
    source.SetMapMode(from);
    source.Put(Property::globalizeFormat, u"\xFDD0%1%\xFDD1");
    target.SetMapMode(notation ? static_cast<EMapMode>(-7) : to);
    target.Put(Property::localizePattern, u"\\x{FDD0}([^\\x{FDD0}\\x{FDD1}]+)\\x{FDD1}");
    target.Put(Property::localizeUndefinedFormat, notation ? notation : u":%1%:");
    std::u16string out;
    for (;;) {
        const size_t mark = text.find(u'\xFDD0');
        out += target.Convert(Operation::localize,
                              source.Convert(Operation::globalize, text.substr(0, mark)));
        if (mark == std::u16string_view::npos) return out;
        out += u'\xFDD0';
        text.remove_prefix(mark + 1);
    }
}

// Generated: a carrier's text, other carriers' codes, the marks, zero units and surrogates
// among it, converted to every table and to notation, in one call and streamed, is what the
// module's own calls give; also where the configuration makes notation that a converter
// cannot take apart unit by unit.
TEST_F(CarrierConvertTest, CarrierTextIsWhatTheModulesCallsGive) {
    std::mt19937 rng(23);
    const auto text = [&] {
        static const std::u16string pool[] = {u"a ",
                                              u"\x3042",
                                              u"\x65E5",
                                              u":sunny:",
                                              u"\xFDD0",
                                              u"\xFDD1",
                                              std::u16string(1, 0),
                                              u"\xD83D\xDE00",
                                              u"\xD83D",
                                              u"\n",
                                              u"\xE63E",
                                              u"\xE488",
                                              u"\xE04A",
                                              u"\xE501",
                                              u"\xE000",
                                              u"\xF8FF"};
        std::u16string t;
        for (int n = 0; n < 400; ++n) {
            if (rng() % 3 == 0) {
                t += static_cast<char16_t>(0xE000 + rng() % 0xC00);  // any carrier's, or none
            } else {
                t += pool[rng() % std::size(pool)];
            }
        }
        return t;
    };
    const TempDir dir;
    std::filesystem::copy_file(GLYPHARY_MODULE_FILE, dir / "glyphary.so");
    WriteFile(dir / "Glyphary.setting", R"(<glyphary>
  <globalizeUndefinedFormat>&#xFDD0;%1%</globalizeUndefinedFormat>
  <map mode="1" src="imode.xml"/><map mode="2" src="imode.xml"/>
</glyphary>)");
    WriteFile(dir / "imode.xml", R"(<maps><map id="sun" code="&#xE63E;"/>
<map id="" code="&#xE63F;"/></maps>)");
    Module unclosed({dir / "glyphary.so", "test"});
    for (Module* module : {s_module, &unclosed}) {
        for (const EMapMode from : {MPM_imode, MPM_ezweb, MPM_softbank}) {
            for (const EMapMode to : {MPM_imode, MPM_ezweb, MPM_softbank, kUnicodeMode, MPM_none}) {
                const Target target =
                    to == MPM_none ? Target::Notation(u"[%1%]") : Target::Table(to);
                std::u16string streamed;
                CarrierConverter converter(*module, Source::Table(from), target,
                                           [&](std::u16string_view p) { streamed += p; });
                for (int round = 0; round < 4; ++round) {
                    const std::u16string t = text();
                    const std::u16string expected =
                        Composed(*module, from, to, t, to == MPM_none ? u"[%1%]" : nullptr);
                    ASSERT_EQ(Difference(ConvertWhole(converter, t), expected), "")
                        << CarrierName(from) << " to " << CarrierName(to);
                    streamed.clear();
                    for (size_t at = 0; at < t.size(); at += 37) {
                        const size_t n = std::min<size_t>(37, t.size() - at);
                        t.copy(converter.Reserve(n), n, at);
                        converter.Commit(n);
                    }
                    converter.Finish();
                    ASSERT_EQ(Difference(streamed, expected), "");
                }
            }
        }
    }
}

}  // namespace
