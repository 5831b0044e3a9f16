// The Decoder and Encoder. One generated cross product of encoding, carrier, references, error
// policy, piece size and SIMD level, each against the whole input read at the scalar level
// and against the other policies; then what each policy writes, and references.
#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/simd_levels.h"
#include "text/codec.h"

namespace {

using namespace glyphary::text;
using glyphary::testing::AtEveryLevel;

constexpr Errors kPolicies[] = {Errors::strict, Errors::replace, Errors::keep};
constexpr size_t kPieces[] = {1, 2, 3, 7, 4096, std::numeric_limits<size_t>::max()};

std::string Describe(const Format& f, Errors errors) {
    static const char* const kNames[] = {"strict", "replace", "keep"};
    return std::string(EncodingName(f.encoding)) + " " + CarrierName(f.carrier) +
           (f.references() ? " references " : " ") + kNames[static_cast<int>(errors)];
}

// Everything a run of a codec tells: its output and its account of what did not fit.
template <class Text>
struct Outcome {
    Text text;
    bool ok = true;
    std::optional<Issue> failure, first;
    size_t count = 0;
    bool operator==(const Outcome&) const = default;
};

template <class Text>
std::ostream& operator<<(std::ostream& out, const Outcome<Text>& o) {
    out << (o.ok ? "ok" : "failed") << ", " << o.count << " replaced, " << o.text.size() << " out";
    for (const auto& issue : {o.failure, o.first})
        if (issue) out << "; issue at " << issue->offset << " fault " << int(issue->fault);
    return out;
}

// `bytes` decoded in pieces of `piece` bytes, each into a buffer of exactly Decoder::Room. An
// even `piece` ends the stream with an empty call, as the program does; an odd one with the
// last piece.
Outcome<std::u16string> DecodeInPieces(std::string_view bytes, const Format& format, Errors errors,
                                       size_t piece) {
    Decoder decoder(format, errors);
    Outcome<std::u16string> o;
    for (size_t at = 0, n = 0;; at += n) {
        n = std::min(piece, bytes.size() - at);
        const bool final = piece % 2 ? at + n == bytes.size() : n == 0;
        std::vector<char16_t> room(Decoder::Room(n));
        const std::string_view in = n ? bytes.substr(at, n) : std::string_view();
        const Decoded d = decoder.Decode(in, final, room.data());
        o.text.append(room.data(), d.units);
        if (!d.ok || final) {
            o.ok = d.ok;
            break;
        }
    }
    o.failure = decoder.issues().failure();
    o.first = decoder.issues().first();
    o.count = decoder.issues().count();
    return o;
}

Outcome<std::string> EncodeInPieces(std::u16string_view text, const Format& format, Errors errors,
                                    size_t piece) {
    Encoder encoder(format, errors);
    Outcome<std::string> o;
    ByteBuffer bytes;
    for (size_t at = 0, n = 0;; at += n) {
        n = std::min(piece, text.size() - at);
        const bool final = piece % 2 ? at + n == text.size() : n == 0;
        o.ok = encoder.Encode(n ? text.substr(at, n) : std::u16string_view(), final, bytes);
        if (!o.ok || final) break;
    }
    o.text = bytes.view();
    o.failure = encoder.issues().failure();
    o.first = encoder.issues().first();
    o.count = encoder.issues().count();
    return o;
}

// Text with a little of everything: ASCII and the letters of references, kana, kanji,
// half-width katakana, each carrier's sun, a private-use character of no carrier, a
// supplementary character, a zero unit, the legacy forms whole and cut short (a localsrc tag,
// web codes, a Google code, references to Shift_JIS codes, what CP932 makes of carrier codes,
// a unit that marked text escapes); with `lone`, lone surrogates (a byte a decoder kept among
// them).
std::u16string RandomText(std::mt19937& rng, size_t longest, bool lone) {
    static const std::u16string pool[] = {
        u"a", u" ", u":", u"\n", u"&", u"#", u"x", u";", u"E", u"6", u"3", u"e", u"9", u"\x3042",
        u"\x65E5", u"\xFF71", u"\xE63E", u"\xE488", u"\xE04A", u"\xE000", u"\xD83D\xDE00",
        std::u16string(1, u'\0'), u"<img localsrc=\"44\">", u"<img localsrc=", u"\x1B$Gj\x0F",
        u"\x1B$Q!\"", u"\x1B$", u"\xDBB8\xDC00", u"&#63647;", u"&#xFE000;", u"\xE69D", u"\x7E8A",
        u"\xFDE0", u"\xFDEF",
        // lone surrogates last
        u"\xD800", u"\xDC80", u"\xDCFF"};
    std::uniform_int_distribution<size_t> pick(0, std::size(pool) - (lone ? 1 : 4)),
        length(0, longest);
    std::u16string s;
    for (size_t n = length(rng); n > 0; --n) s += pool[pick(rng)];
    return s;
}

// Damage: bytes that start or end sequences badly, SoftBank's escapes whole and broken, and
// references, at random places.
std::string Damage(std::mt19937& rng, std::string bytes) {
    static const std::string kBytes[] = {"\xFF",   "\x80",         "\xE3",       "\x82",
                                         "\xF0",   "\xED\xA0\x80", "\x1B",       "\x0F",
                                         ";",      "\x1B$Gj\x0F",  "\x1B$G\x0F", "\x1B$Gj",
                                         "\x1B$Z", "\x1B$G~\x0F",  "&#xE63E;",   "&#58942;",
                                         "&#x",    "&#xDB80;",     "&#x10FFFF;"};
    std::uniform_int_distribution<size_t> pick(0, std::size(kBytes) - 1);
    for (int k = std::uniform_int_distribution<int>(0, 3)(rng); k > 0; --k) {
        const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size())(rng);
        if (at < bytes.size() && k % 2) bytes.erase(at, 1);
        bytes.insert(at, kBytes[pick(rng)]);
    }
    return bytes;
}

// Every encoding and carrier with no forms, references, and every form; and marked text.
std::vector<Format> AllFormats() {
    const Forms every = kDefaultInputForms | Form::sjisReferences | Form::cp932;
    std::vector<Format> formats;
    for (const Encoding encoding : {Encoding::utf8, Encoding::utf16le, Encoding::sjis}) {
        for (const Carrier carrier :
             {Carrier::none, Carrier::imode, Carrier::ezweb, Carrier::softbank})
            for (const Forms forms : {Forms(), Forms(Form::references), every})
                formats.push_back({encoding, carrier, forms});
        for (const Forms forms : {Forms(), every})
            formats.push_back({encoding, Carrier::automatic, forms});
    }
    return formats;
}

// Policies differ only where an item does not fit: before the first one they agree, a strict
// run stops there, and replace and keep count the same items.
// (`ordered`: items are told in the order they stand, which forms other than references
// change: a piece's bytes are decoded before its forms are read.)
template <class Text>
void ExpectPoliciesAgree(const Outcome<Text>& strict, const Outcome<Text>& replace,
                         const Outcome<Text>& keep, bool ordered = true) {
    ASSERT_EQ(replace.count, keep.count);
    ASSERT_EQ(replace.first, keep.first);
    ASSERT_TRUE(replace.ok && keep.ok);
    if (strict.ok) {
        ASSERT_EQ(replace.count, 0u);
        ASSERT_EQ(replace.text, strict.text);
        ASSERT_EQ(keep.text, strict.text);
    } else {
        if (ordered) {
            ASSERT_EQ(replace.first, strict.failure);
        }
        ASSERT_EQ(replace.text.substr(0, strict.text.size()), strict.text);
        ASSERT_EQ(keep.text.substr(0, strict.text.size()), strict.text);
    }
}

TEST(Codec, EveryCutAndEveryLevelGivesWhatTheWholeGivesAtTheScalarLevel) {
    std::mt19937 rng(20);
    for (const Format& format : AllFormats()) {
        for (int round = 0; round < 24; ++round) {
            // Every third round well-formed, the others with what does not fit.
            const bool clean = round % 3 == 0;
            const std::u16string text = RandomText(rng, round == 0 ? 6000 : 200, !clean);
            // Marked text is read, never written: its input is plain text.
            const bool marked = format.carrier == Carrier::automatic;
            const Format plain = marked ? Format(format.encoding) : format;
            std::string bytes = Encode(text, plain, Errors::keep);
            if (!clean) bytes = Damage(rng, bytes);

            std::map<Errors, Outcome<std::u16string>> decoded;
            std::map<Errors, Outcome<std::string>> encoded;
            simd::Limit(simd::Level::scalar);
            for (const Errors errors : kPolicies) {
                decoded[errors] = DecodeInPieces(bytes, format, errors, kPieces[5]);
                encoded[errors] = EncodeInPieces(text, plain, errors, kPieces[5]);
            }
            simd::Limit(simd::Level::avx512bw);
            AtEveryLevel([&](simd::Level) {
                for (const Errors errors : kPolicies) {
                    SCOPED_TRACE(Describe(format, errors));
                    for (const size_t piece : kPieces) {
                        Outcome<std::u16string> o = DecodeInPieces(bytes, format, errors, piece);
                        if (format.forms.without(Form::references) != Forms())
                            o.first = decoded[errors].first;
                        ASSERT_EQ(o, decoded[errors]) << "pieces of " << piece;
                        ASSERT_EQ(EncodeInPieces(text, plain, errors, piece), encoded[errors])
                            << "pieces of " << piece;
                    }
                }
            });
            SCOPED_TRACE(Describe(format, Errors::strict));
            ExpectPoliciesAgree(decoded[Errors::strict], decoded[Errors::replace],
                                decoded[Errors::keep],
                                format.forms.without(Form::references) == Forms());
            ExpectPoliciesAgree(encoded[Errors::strict], encoded[Errors::replace],
                                encoded[Errors::keep]);

            // Round trips. Text the encoding carries reads back as it was (unless references
            // of its own text are read); what a decoder kept reads back the same once
            // written again, and in UTF-8 without references it is the very bytes. Other
            // forms read what plain text writes as they please.
            if (marked || format.forms.without(Form::references) != Forms()) continue;
            const Outcome<std::u16string>& kept = decoded[Errors::keep];
            const std::string again = Encode(kept.text, format, Errors::keep);
            ASSERT_EQ(Decode(again, format, Errors::keep), kept.text);
            if (format.encoding == Encoding::utf8 && !format.references()) {
                ASSERT_EQ(again, bytes);
            }
            const Outcome<std::string>& written = encoded[Errors::strict];
            // Shift_JIS writes what it lacks as references, which read back only for
            // private use; and SoftBank's layout reads web codes always.
            const bool sjis = format.encoding == Encoding::sjis;
            const bool readsBack =
                (!format.references() || text.find(u'&') == text.npos) &&
                !(sjis && format.references() &&
                  std::any_of(text.begin(), text.end(),
                              [](char16_t u) { return IsSurrogate(u); })) &&
                !(sjis && format.carrier == Carrier::softbank && text.find(u'\x1B') != text.npos);
            if (written.ok && readsBack) {
                ASSERT_EQ(Decode(written.text, format), text);
            }
        }
    }
}

// What each policy makes of what does not fit, in each encoding.
TEST(Codec, ReplaceAndKeepWriteTheirSubstitutes) {
    const Format utf8{}, utf16{Encoding::utf16le}, softbank{Encoding::sjis, Carrier::softbank};
    const Format imode{Encoding::sjis, Carrier::imode};
    const struct {
        Format format;
        std::string bytes;
        std::u16string replaced, kept;
    } decoding[] = {
        // One U+FFFD per maximal ill-formed part; each of its bytes kept.
        {utf8,
         "a\xFF\xE3\x81"
         "b",
         u"a\xFFFD\xFFFD"
         "b",
         u"a\xDCFF\xDCE3\xDC81"
         "b"},
        {utf16, std::string("a\0b", 3), u"a\xFFFD", u"a\xDC62"},
        // A lead byte and a trail byte that make no character are one item; an ASCII byte of
        // it is kept as itself.
        {softbank, "\xF0@\x82", u"\xFFFD\xFFFD", u"\xDCF0@\xDC82"},
        {softbank, "\x1B$G\x0F\x1B$Z", u"\xFFFD\xFFFDZ", u"\x1B$G\x0F\x1B$Z"},
        {softbank, "\x1B$Gj\n", u"\xE04A\xFFFD\n", u"\xE04A\n"},
        // A web code that is no emoji is kept after its escape: the bytes keep their order.
        {softbank, "\x1B$G~\x0F", u"\xFFFD\xFFFD", u"\x1B$G~\x0F"},
        {imode, "\x81", u"\xFFFD", u"\xDC81"},
    };
    for (const auto& c : decoding) {
        EXPECT_EQ(Decode(c.bytes, c.format, Errors::replace), c.replaced) << c.bytes;
        EXPECT_EQ(Decode(c.bytes, c.format, Errors::keep), c.kept) << c.bytes;
    }

    // '?' for what does not fit, and kept: a byte kept by a decoder as that byte, anything
    // else as &#N;. UTF-16LE carries every unit.
    const std::u16string text = u"\xDCFF\xD800\xE63E\xD83D\xDE00";
    const struct {
        Format format;
        std::string replaced, kept;
    } encoding[] = {
        {utf8, "??\xEE\x98\xBE\xF0\x9F\x98\x80", "\xFF&#55296;\xEE\x98\xBE\xF0\x9F\x98\x80"},
        {imode, "??\xF8\x9F?", "\xFF&#55296;\xF8\x9F&#128512;"},
        {{Encoding::sjis, Carrier::imode, Form::references},
         "??&#xE63E;&#x1F600;",
         "\xFF&#55296;&#xE63E;&#x1F600;"},
        {utf16, std::string("\xFF\xDC\0\xD8\x3E\xE6\x3D\xD8\x00\xDE", 10),
         std::string("\xFF\xDC\0\xD8\x3E\xE6\x3D\xD8\x00\xDE", 10)},
    };
    for (const auto& c : encoding) {
        EXPECT_EQ(Encode(text, c.format, Errors::replace), c.replaced)
            << EncodingName(c.format.encoding);
        EXPECT_EQ(Encode(text, c.format, Errors::keep), c.kept) << EncodingName(c.format.encoding);
    }
}

// Every replaced or kept item is counted and handed to the hook with its place; a strict run
// stops at the first and says so by its result.
TEST(Codec, IssuesAreCountedWithTheirPlace) {
    Decoder decoder({}, Errors::replace);
    std::vector<Issue> seen;
    decoder.issues().SetHook([&](const Issue& issue) { seen.push_back(issue); });
    std::u16string out(Decoder::Room(8), u'\0');
    ASSERT_TRUE(decoder.Decode("ab\xFF", false, out.data()).ok);
    ASSERT_TRUE(decoder.Decode("c\xE3\x81", true, out.data()).ok);
    EXPECT_EQ(decoder.issues().count(), 2u);
    EXPECT_EQ(seen, (std::vector<Issue>{{2, 1, Fault::utf8Sequence, 0xFF},
                                        {4, 2, Fault::utf8Sequence, 0xE3}}));

    Encoder encoder({Encoding::sjis, Carrier::imode}, Errors::strict);
    ByteBuffer bytes;
    EXPECT_TRUE(encoder.Encode(u"ab", false, bytes));
    EXPECT_FALSE(
        encoder.Encode(u"c\xE04A"
                       u"d",
                       true, bytes));
    EXPECT_EQ(bytes.view(), "abc");
    EXPECT_EQ(encoder.issues().failure(), (Issue{3, 1, Fault::noCode, 0xE04A}));
    EXPECT_FALSE(encoder.Encode(u"e", true, bytes));
    EXPECT_EQ(bytes.view(), "abc");
}

// References to private-use code points are read as the characters; anything else that looks
// like a reference is text.
TEST(Codec, ReferencesToPrivateUseCharactersAreReadAndTheRestIsText) {
    const struct {
        const char* in;
        std::u16string out;
    } cases[] = {
        {"a&#xE63E;b",
         u"a\xE63E"
         "b"},
        {"&#58942;&#xe63e;&#XE63E;", u"\xE63E\xE63E\xE63E"},
        {"&#x0000E63E;", u"\xE63E"},                           // eight digits
        {"&#x00000E63E;", u"&#x00000E63E;"},                   // nine: text
        {"&#xF0000;&#x10FFFD;", u"\xDB80\xDC00\xDBFF\xDFFD"},  // planes 15 and 16
        {"&#x1F600;&#x41;&#65;", u"&#x1F600;&#x41;&#65;"},     // not private use
        {"&amp;&#xE63E&#xE63G;&#x;&#;&", u"&amp;&#xE63E&#xE63G;&#x;&#;&"},
        {"&&#xE63E;", u"&\xE63E"},
    };
    for (const Encoding encoding : {Encoding::utf8, Encoding::sjis}) {
        const Format references{encoding, Carrier::imode, Form::references};
        for (const auto& c : cases)
            for (const Errors errors : kPolicies)
                EXPECT_EQ(Decode(c.in, references, errors), c.out) << c.in;
        EXPECT_EQ(Decode("&#xE63E;", {encoding, Carrier::imode}), u"&#xE63E;");
    }
    EXPECT_EQ(Decode(std::string("&\0#\0\x35\0\x38\0\x39\0\x34\0\x32\0;\0", 16),
                     {Encoding::utf16le, Carrier::imode, Form::references}),
              u"\xE63E");
}

// On output, private-use characters become references in every encoding; Shift_JIS writes
// what it cannot carry as references too, so that the unicode table's emoji survive it.
TEST(Codec, ReferencesCarryEmojiTheOutputCannot) {
    const Forms references = Form::references;
    const std::u16string text = u"a\xE63E\x65E5\xD83D\xDE00\xDB80\xDC00";
    EXPECT_EQ(Encode(text, {Encoding::utf8, Carrier::imode, references}),
              "a&#xE63E;\xE6\x97\xA5\xF0\x9F\x98\x80&#xF0000;");
    EXPECT_EQ(Encode(text, {Encoding::sjis, Carrier::imode, references}),
              "a&#xE63E;\x93\xFA&#x1F600;&#xF0000;");
    EXPECT_EQ(Encode(u"\xE63E", {Encoding::utf16le, Carrier::imode, references}),
              std::string("&\0#\0x\0E\0\x36\0\x33\0E\0;\0", 16));
    EXPECT_EQ(Encode(u"\xE63E\x65E5", {Encoding::sjis, Carrier::imode}), "\xF8\x9F\x93\xFA");
    // A lone surrogate has no reference either.
    EXPECT_THROW(Encode(u"a\xD800", {Encoding::sjis, Carrier::imode, references}), EncodingError);
    try {
        Encode(u"ab\xE63E\xDC00", {Encoding::utf8, Carrier::imode, references});
        ADD_FAILURE() << "a lone surrogate was written";
    } catch (const EncodingError& e) {
        EXPECT_EQ(e.offset(), 3u);
    }
}

}  // namespace
