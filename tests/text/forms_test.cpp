// The legacy forms and the carrier found per record. Generated: every emoji of every carrier in
// every form it has, in every encoding, reads back to the carrier's code point, for its own
// carrier, for the others (by the exact equivalents) and found automatically; records written
// by one carrier or by several come back as their writers wrote them, and what only a guess
// could decide is counted as one.
#include <random>

#include <gtest/gtest.h>

#include "text/codec.h"
#include "text/legacy_codes.h"
#include "text/resolver.h"
#include "text/shift_jis.h"
#include "support/legacy_forms.h"
#include "support/simd_levels.h"

namespace {

using namespace glyphary::text;
using namespace glyphary::testing;
using glyphary::testing::AtEveryLevel;

constexpr Encoding kEncodings[] = {Encoding::utf8, Encoding::utf16le, Encoding::sjis};

// For each carrier, emoji and encoding, each way of writing the emoji: read as that carrier's,
// as another's (the exact equivalent, for forms that name their carrier), and found
// automatically in a record that shows its carrier (no guess) or shows none (a guess when
// another carrier has the code too).
TEST(Forms, EveryEmojiInEveryFormAndEncodingReadsBackToItsCode) {
    size_t checked = 0;
    for (const Carrier carrier : kEmojiCarriers) {
        for (const LegacyEmoji& e : LegacyEmojis()) {
            const char16_t code = e.CodeOf(carrier);
            if (!code) continue;
            for (const Encoding encoding : kEncodings) {
                for (const Written& w : WaysOf(carrier, code, encoding)) {
                    const std::string in = Input("a ", w, " b", encoding);
                    const std::u16string expected = u"a " + std::u16string(1, code) + u" b";
                    SCOPED_TRACE(std::string(CarrierName(carrier)) + " " + Name(code) + " in " +
                                 EncodingName(encoding) + " as " + FormNames(w.forms));
                    ASSERT_EQ(Decode(in, {encoding, carrier, w.forms}), expected);

                    // Another carrier reads what names its own carrier as its equivalent.
                    const bool named = w.forms.has(Form::localsrc) || w.forms.has(Form::webCodes) ||
                                       w.forms.has(Form::google);
                    for (const Carrier other : kEmojiCarriers) {
                        if (other == carrier || !named) continue;
                        const Format format{encoding, other, w.forms};
                        if (const char16_t mine = e.CodeOf(other)) {
                            ASSERT_EQ(Decode(in, format), u"a " + std::u16string(1, mine) + u" b");
                            continue;
                        }
                        try {
                            Decode(in, format);
                            FAIL() << "no equivalent in " << CarrierName(other);
                        } catch (const EncodingError& error) {
                            EXPECT_EQ(error.issue().fault, Fault::noEquivalent);
                        }
                    }

                    // Automatically, after a code only this carrier has, and alone: a form
                    // that names its carrier gives that carrier's code.
                    const char16_t found =
                        w.forms.has(Form::localsrc) ? e.CodeOf(Carrier::ezweb) : code;
                    const std::u16string automaticExpected =
                        u"a " + std::u16string(1, found) + u" b";
                    const Format automatic{encoding, Carrier::automatic, w.forms};
                    size_t guesses = 0;
                    const auto count = [&](const Guess&) { ++guesses; };
                    const Carrier own = w.forms.has(Form::localsrc) ? Carrier::ezweb : carrier;
                    const std::string witness = Witness(own, encoding, w.forms);
                    ASSERT_EQ(DecodeResolved(witness + in, automatic, Errors::strict, {}, count),
                              WitnessCode(own) + automaticExpected);
                    ASSERT_EQ(guesses, 0u);
                    const std::u16string alone =
                        DecodeResolved(in, automatic, Errors::strict, {}, count);
                    if (w.forms.has(Form::google)) {  // any carrier's equivalent: the first
                        const char16_t first = e.codes[0]   ? e.codes[0]
                                               : e.codes[1] ? e.codes[1]
                                                            : e.codes[2];
                        ASSERT_EQ(alone, u"a " + std::u16string(1, first) + u" b");
                        ASSERT_EQ(guesses, 0u);
                    } else if (guesses == 0) {
                        ASSERT_EQ(alone, automaticExpected);
                    } else {
                        ASSERT_EQ(guesses, 1u);  // another carrier's code there too
                    }
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 10000u);
}

// What only looks like a form is text; what is a form but names nothing this carrier can show
// is an issue with its place, kept as it stood or replaced.
TEST(Forms, LookalikesAreTextAndWhatCannotBeReadIsTold) {
    const Format every{Encoding::utf8, Carrier::imode,
                       kDefaultInputForms | Form::sjisReferences | Form::cp932};
    for (const char* text : {
             "<img src=\"a.gif\">",                    // no localsrc
             "<img localsrc=\"44\" localsrc=\"44\">",  // twice
             "<img localsrc=\"4x\">",                  // not a number
             "<imgs localsrc=\"44\">",                 // another element
             "<img localsrc=\"44\" alt=\"an attribute that makes the tag too long to be one\">",
             "\x1B$B\x1B(B",                // ISO-2022-JP's escapes
             "&#63646;&#xF9FD;&#x10F89F;",  // no emoji's code; a private-use character
             "\xEE\x9F\xBF",                // U+E7FF: nothing CP932 makes
         }) {
        SCOPED_TRACE(text);
        std::u16string expected;
        for (const unsigned char c : std::string_view(text)) expected += c;
        if (expected.find(u'\xEE') != expected.npos) expected = u"\xE7FF";
        if (expected.find(u"&#x10F89F;") != expected.npos)  // private use: `references`
            expected = u"\xF89E&#xF9FD;\xDBFE\xDC9F";
        EXPECT_EQ(Decode(text, every), expected);
    }

    const struct {
        Carrier carrier;
        std::string in;
        Fault fault;
        size_t offset;  // units of the decoded text
        std::u16string kept;
    } cases[] = {
        {Carrier::imode, "ab<img localsrc=\"9999\">", Fault::unknownNumber, 2,
         u"<img localsrc=\"9999\">"},
        {Carrier::imode, "a\xF3\xBE\xB9\xA1", Fault::unknownGoogle, 1, u"\xDBBB\xDE61"},  // FEE61
        {Carrier::imode, "a&#xFE1E3;", Fault::unknownGoogle, 1,
         u"&#xFE1E3;"},  // CRAB: Google's own
        {Carrier::imode, "<img localsrc=\"227\">", Fault::noEquivalent, 0, u"\xE4BF"},
        {Carrier::imode, "x\x1B$Gm\x0F", Fault::noEquivalent, 4, u"\xE04D"},
        {Carrier::ezweb, "a\xEE\x9D\x95", Fault::cp932Code, 1, u"\xE755"},  // F9 FA: i-mode's
        {Carrier::imode, "\xEE\x80\x80", Fault::cp932Code, 0, u"\xE000"},   // F0 40: no one's
        {Carrier::softbank, "\x1B$G~\x0F", Fault::escapeCode, 3, u"\x1B$G~\x0F"},
        {Carrier::softbank, "\x1B$G\x0F", Fault::escapeEmpty, 0, u"\x1B$G\x0F"},
        {Carrier::softbank, "\x1B$Gj", Fault::escapeCut, 0, u"\xE04A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const Format format{Encoding::utf8, c.carrier, kDefaultInputForms | Form::cp932};
        try {
            Decode(c.in, format);
            ADD_FAILURE() << "read";
        } catch (const EncodingError& e) {
            EXPECT_EQ(e.issue().fault, c.fault) << e.what();
            EXPECT_EQ(e.offset(), c.offset);
        }
        const std::u16string kept = Decode(c.in, format, Errors::keep);
        EXPECT_NE(kept.find(c.kept), kept.npos);
        EXPECT_NE(Decode(c.in, format, Errors::replace).find(u'\xFFFD'), std::u16string::npos);
    }
}

// A record longer than a resolver holds is resolved in parts, each with what its record
// showed so far: a code after the part that shows the carrier is decided, one before it is
// guessed; memory stays at the part's size.
TEST(Forms, RecordsLongerThanTheLimitAreResolvedInParts) {
    constexpr size_t kMax = CarrierResolver::kMaxRecordUnits;
    std::u16string text(kMax + 10000, u'a');
    text[10] = 0xE501;           // ambiguous, in the first part
    text[kMax + 8192] = 0xE001;  // SoftBank only, in the second
    text[kMax + 9000] = 0xE501;  // after it
    std::vector<Guess> guesses;
    std::u16string out;
    CarrierResolver resolver({Record::whole},
                             [&](Carrier, std::u16string_view run) { out += run; });
    resolver.SetGuessHook([&](const Guess& g) { guesses.push_back(g); });
    for (size_t at = 0; at < text.size(); at += 4096)
        resolver.Feed(std::u16string_view(text).substr(at, 4096), false);
    resolver.Feed({}, true);
    EXPECT_EQ(out, text);
    ASSERT_EQ(guesses.size(), 1u);
    EXPECT_EQ(guesses[0].offset, 10u);
    EXPECT_EQ(guesses[0].chosen, Carrier::ezweb);
    EXPECT_EQ(Describe(guesses[0]),
              "U+E501 could be ezweb or softbank: took ezweb, the first preferred (the record "
              "shows no carrier)");
}

// A record as written: each unit with the carrier that wrote it.
using Written2 = std::vector<std::pair<char16_t, Carrier>>;

std::string BytesOf(const Written2& text, Encoding encoding) {
    std::string bytes;
    for (const auto& [u, carrier] : text) {
        if (encoding == Encoding::sjis && u >= 0xE000 && u <= 0xF8FF) {
            const uint16_t sjis = SjisCode(carrier, u);
            bytes += {static_cast<char>(sjis >> 8), static_cast<char>(sjis & 0xFF)};
        } else {
            bytes += Encode(std::u16string(1, u), {encoding});
        }
    }
    return bytes;
}

std::u16string UnitsOf(const Written2& text) {
    std::u16string units;
    for (const auto& [u, carrier] : text) units += u;
    return units;
}

uint8_t Bit(Carrier carrier) {
    return static_cast<uint8_t>(1u << (static_cast<int>(carrier) - 1));
}

// Records of one writer come back as written, without a guess where the record holds a code
// only it has, and with the writer preferred; preferring another carrier changes them only
// at counted guesses, in the records that had no such code. Records of two writers that
// show both decide every code one of them lacks, and guess the others. Guesses name their
// record and line.
TEST(Forms, EachRecordGoesToTheCarrierItsUnambiguousCodesShow) {
    std::mt19937 rng(21);
    std::vector<char16_t> codes[3];
    for (const LegacyEmoji& e : LegacyEmojis())
        for (int c = 0; c < 3; ++c)
            if (e.codes[c]) codes[c].push_back(e.codes[c]);
    const auto emoji = [&](Carrier c) {
        const auto& mine = codes[static_cast<int>(c) - 1];
        return mine[std::uniform_int_distribution<size_t>(0, mine.size() - 1)(rng)];
    };
    const auto prefer = [](Carrier first) {
        AutoOptions options;
        options.prefer = *ParsePrefer(CarrierName(first));
        return options;
    };
    size_t mixedGuesses = 0;
    for (const Encoding encoding : kEncodings) {
        for (const Record kind : {Record::line, Record::paragraph, Record::whole}) {
            const std::u16string end = kind == Record::paragraph ? u"\nmore\n \n" : u"\n";
            const size_t linesPerRecord = kind == Record::paragraph ? 3 : 1;
            for (const Carrier writer : kEmojiCarriers) {
                for (const bool mixed : {false, true}) {
                    const Carrier other =
                        writer == Carrier::softbank ? Carrier::ezweb : Carrier::softbank;
                    SCOPED_TRACE(std::string(EncodingName(encoding)) + " " + RecordName(kind) +
                                 " " + CarrierName(writer) + (mixed ? " and another" : ""));
                    Written2 text;
                    std::vector<bool> witnessed;
                    for (size_t r = 0; r < (kind == Record::whole ? 1 : 40); ++r) {
                        witnessed.push_back(mixed || r % 3 != 0);
                        if (witnessed.back()) text.push_back({WitnessCode(writer), writer});
                        if (mixed) text.push_back({WitnessCode(other), other});
                        for (int k = std::uniform_int_distribution<int>(1, 5)(rng); k > 0; --k) {
                            text.push_back({u'x', writer});
                            const Carrier c = mixed && k % 2 ? other : writer;
                            text.push_back({emoji(c), c});
                        }
                        for (const char16_t u : end) text.push_back({u, writer});
                    }
                    const std::string in = BytesOf(text, encoding);
                    const std::u16string expected = UnitsOf(text);
                    const Format automatic{encoding, Carrier::automatic};
                    AutoOptions options = prefer(writer);
                    options.record = kind;
                    std::vector<Guess> guesses;
                    const auto keep = [&](const Guess& g) { guesses.push_back(g); };
                    simd::Limit(simd::Level::scalar);
                    const std::u16string out =
                        DecodeResolved(in, automatic, Errors::strict, options, keep);
                    simd::Limit(simd::Level::avx512bw);
                    AtEveryLevel([&](simd::Level) {
                        ASSERT_EQ(DecodeResolved(in, automatic, Errors::strict, options), out);
                    });
                    ASSERT_EQ(out.size(), expected.size());
                    size_t differ = 0;
                    for (size_t i = 0; i < out.size(); ++i) differ += out[i] != expected[i];
                    if (!mixed) {
                        ASSERT_EQ(out, expected);
                    }
                    for (const Guess& g : guesses) {
                        SCOPED_TRACE(Describe(g));
                        ASSERT_FALSE(std::has_single_bit(g.candidates));
                        const size_t record = kind == Record::whole ? 0 : g.record - 1;
                        ASSERT_LT(record, witnessed.size());
                        if (kind != Record::whole) {
                            ASSERT_EQ(g.line, record * linesPerRecord + 1);
                        }
                        if (mixed) {
                            ASSERT_EQ(g.candidates & (Bit(writer) | Bit(other)),
                                      Bit(writer) | Bit(other));
                        } else {
                            ASSERT_FALSE(witnessed[record]);
                        }
                    }
                    EXPECT_LE(differ, guesses.size());
                    if (mixed) mixedGuesses += guesses.size();

                    // In pieces, as a stream goes: the same text, the same guesses.
                    for (const size_t piece : {1, 3, 64}) {
                        Decoder decoder(automatic, Errors::strict);
                        std::u16string pieces;
                        size_t count = 0;
                        CarrierResolver resolver(
                            options, [&](Carrier, std::u16string_view run) { pieces += run; });
                        resolver.SetGuessHook([&](const Guess& g) {
                            ASSERT_LT(count, guesses.size());
                            EXPECT_EQ(g.offset, guesses[count].offset);
                            EXPECT_EQ(g.line, guesses[count++].line);
                        });
                        for (size_t at = 0; at <= in.size(); at += piece) {
                            const std::string_view bytes = std::string_view(in).substr(at, piece);
                            std::u16string marked(Decoder::Room(bytes.size()), u'\0');
                            const bool final = at + piece > in.size();
                            marked.resize(decoder.Decode(bytes, final, marked.data()).units);
                            resolver.Feed(marked, final);
                        }
                        ASSERT_EQ(pieces, out) << "pieces of " << piece;
                        ASSERT_EQ(count, guesses.size());
                    }

                    // Another preferred order: the same guesses, different only there.
                    const Carrier last = kEmojiCarriers[(static_cast<int>(writer)) % 3];
                    std::vector<Guess> again;
                    AutoOptions elsewhere = prefer(last);
                    elsewhere.record = kind;
                    const std::u16string changed =
                        DecodeResolved(in, automatic, Errors::strict, elsewhere,
                                       [&](const Guess& g) { again.push_back(g); });
                    ASSERT_EQ(again.size(), guesses.size());
                    differ = 0;
                    for (size_t i = 0; i < out.size(); ++i) differ += out[i] != changed[i];
                    EXPECT_LE(differ, guesses.size());
                }
            }
        }
    }
    EXPECT_GT(mixedGuesses, 100u);
}

}  // namespace
