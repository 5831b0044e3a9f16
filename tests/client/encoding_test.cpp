// The streaming codecs: any cut of the input gives what one whole call gives, errors included.
#include <algorithm>
#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "client/carriers.h"
#include "client/encoding.h"
#include "client/errors.h"

namespace {

using namespace glyphary::client;

std::u16string RandomText(std::mt19937& rng) {
    // ASCII, kana, kanji, the i-mode sun, a supplementary character: all have i-mode Shift_JIS
    // codes but the last, which Shift_JIS texts below leave out; and the pieces of references.
    static const std::u16string pool = u"a :\n\x3042\x65E5\xE63E&#x;E63e9";
    std::uniform_int_distribution<size_t> pick(0, pool.size()), length(0, 300);
    std::u16string s;
    for (size_t n = length(rng); n > 0; --n) {
        const size_t k = pick(rng);
        if (k < pool.size()) {
            s += pool[k];
        } else {
            s += u"\xD83D\xDE00";
        }
    }
    return s;
}

// `bytes` decoded in random pieces; the error's message and offset, if any, as text.
std::u16string DecodeInPieces(std::mt19937& rng, std::string_view bytes, const TextFormat& format,
                              std::string& error) {
    Decoder decoder(format);
    std::u16string out;
    try {
        while (true) {
            const size_t n =
                std::min(bytes.size(), std::uniform_int_distribution<size_t>(0, 7)(rng));
            const bool final = n == bytes.size();
            std::u16string room(Decoder::Room(n), u'\0');
            out.append(room.data(), decoder.Decode(bytes.substr(0, n), final, room.data()));
            bytes.remove_prefix(n);
            if (final) return out;
        }
    } catch (const EncodingError& e) {
        error = std::to_string(e.offset()) + ": " + e.what();
    }
    return out;
}

std::string Describe(const TextFormat& f) {
    return std::string(EncodingName(f.encoding)) + " mode " + std::to_string(f.carrier) +
           (f.ncr ? " ncr" : "");
}

std::u16string DecodeWhole(std::string_view bytes, const TextFormat& format, std::string& error) {
    try {
        return Decode(bytes, format);
    } catch (const EncodingError& e) {
        error = std::to_string(e.offset()) + ": " + e.what();
    }
    return {};
}

TEST(Encoding, PiecesDecodeAndEncodeAsTheWholeDoes) {
    std::mt19937 rng(12);
    std::vector<TextFormat> formats;
    for (const bool ncr : {false, true}) {
        formats.push_back({Encoding::utf8, MPM_imode, ncr});
        formats.push_back({Encoding::utf16le, MPM_imode, ncr});
        for (const EMapMode mode : {MPM_none, MPM_imode, MPM_softbank})
            formats.push_back({Encoding::sjis, mode, ncr});
    }
    for (const TextFormat& format : formats) {
        for (int round = 0; round < 200; ++round) {
            std::u16string text = RandomText(rng);
            if (format.encoding == Encoding::sjis) {
                std::erase_if(text, [](char16_t u) { return u >= 0xD800 && u < 0xE000; });
                if (format.carrier == MPM_softbank && !format.ncr)
                    std::replace(text.begin(), text.end(), u'\xE63E', u'\xE04A');
            }
            const std::string bytes = Encode(text, format);
            // Encoding in pieces, a surrogate pair cut between them included.
            Encoder encoder(format);
            std::string pieces;
            for (size_t at = 0; at < text.size();) {
                const size_t n = std::uniform_int_distribution<size_t>(0, 5)(rng);
                encoder.Encode(std::u16string_view(text).substr(at, n), false, pieces);
                at += n;
            }
            encoder.Encode({}, true, pieces);
            ASSERT_EQ(pieces, bytes) << Describe(format);

            std::string error, wholeError;
            const std::u16string whole = DecodeWhole(bytes, format, wholeError);
            ASSERT_EQ(wholeError, "") << Describe(format);
            ASSERT_EQ(DecodeInPieces(rng, bytes, format, error), whole) << Describe(format);
            ASSERT_EQ(error, "");
            // Without references in the text, the bytes read back as the text.
            if (!format.ncr || text.find(u'&') == std::u16string::npos) {
                ASSERT_EQ(whole, text) << Describe(format);
            }

            // A damaged copy (or one with SoftBank's escapes) fails at the same byte, or reads
            // the same, whatever the cuts.
            std::string damaged = bytes;
            if (damaged.empty()) continue;
            const size_t at = std::uniform_int_distribution<size_t>(0, damaged.size() - 1)(rng);
            if (format.carrier == MPM_softbank && round % 2) {
                damaged.insert(at, round % 4 == 1 ? "\x1B$Gji\x0F" : "\x1B$P");
            } else {
                damaged[at] = '\xFF';
            }
            wholeError.clear();
            error.clear();
            const std::u16string read = DecodeWhole(damaged, format, wholeError);
            const std::u16string readInPieces = DecodeInPieces(rng, damaged, format, error);
            ASSERT_EQ(error, wholeError) << Describe(format);
            if (error.empty()) {
                ASSERT_EQ(readInPieces, read) << Describe(format);
            }
        }
    }
}

// References to private-use code points are read as the characters; anything else that looks
// like a reference is text.
TEST(Encoding, ReferencesToPrivateUseCharactersAreReadAndTheRestIsText) {
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
        for (const auto& c : cases)
            EXPECT_EQ(Decode(c.in, {encoding, MPM_imode, true}), c.out) << c.in;
        EXPECT_EQ(Decode("&#xE63E;", {encoding, MPM_imode, false}), u"&#xE63E;");
    }
    EXPECT_EQ(Decode(std::string("&\0#\0\x35\0\x38\0\x39\0\x34\0\x32\0;\0", 16),
                     {Encoding::utf16le, MPM_imode, true}),
              u"\xE63E");
}

// On output, private-use characters become references in every encoding; Shift_JIS writes
// what it cannot carry as references too, so that the unicode table's emoji survive it.
TEST(Encoding, ReferencesCarryEmojiTheOutputCannot) {
    const std::u16string text = u"a\xE63E\x65E5\xD83D\xDE00\xDB80\xDC00";
    EXPECT_EQ(Encode(text, {Encoding::utf8, MPM_imode, true}),
              "a&#xE63E;\xE6\x97\xA5\xF0\x9F\x98\x80&#xF0000;");
    EXPECT_EQ(Encode(text, {Encoding::sjis, MPM_imode, true}),
              "a&#xE63E;\x93\xFA&#x1F600;&#xF0000;");
    EXPECT_EQ(Encode(u"\xE63E", {Encoding::utf16le, MPM_imode, true}),
              std::string("&\0#\0x\0E\0\x36\0\x33\0E\0;\0", 16));
    EXPECT_EQ(Encode(u"\xE63E\x65E5", {Encoding::sjis, MPM_imode, false}), "\xF8\x9F\x93\xFA");
    // A lone surrogate has no reference either.
    EXPECT_THROW(Encode(u"a\xD800", {Encoding::sjis, MPM_imode, true}), EncodingError);
    try {
        Encode(u"ab\xE63E\xDC00", {Encoding::utf8, MPM_imode, true});
        ADD_FAILURE() << "a lone surrogate was written";
    } catch (const EncodingError& e) {
        EXPECT_EQ(e.offset(), 3u);
    }

    // Long texts of ordinary characters with, now and then, one next to or inside the
    // private-use ranges, against each character written on its own.
    std::mt19937 rng(7);
    const char32_t ordinary[] = {U'a', U'\x3042', U'\x65E5'};
    const char32_t rare[] = {U'\xE000',  U'\xE63E',  U'\xEFFF',  U'\xF000',   U'\xF8FF',
                             U'\xF900',  U'\xFF01',  U'\x1F600', U'\xEFFFF',  U'\xF0000',
                             U'\xFFFFD', U'\x10000', U'\xFFFFF', U'\x10FFFD', U'\x10FFFF'};
    std::uniform_int_distribution<size_t> percent(0, 99), pickOrdinary(0, 2), pickRare(0, 14);
    for (int round = 0; round < 100; ++round) {
        std::u16string text;
        std::string expected;
        for (int n = std::uniform_int_distribution<int>(0, 300)(rng); n > 0; --n) {
            const char32_t c =
                percent(rng) < 85 ? ordinary[pickOrdinary(rng)] : rare[pickRare(rng)];
            const std::u16string one =
                c > 0xFFFF ? std::u16string{static_cast<char16_t>(0xD7C0 + (c >> 10)),
                                            static_cast<char16_t>(0xDC00 + (c & 0x3FF))}
                           : std::u16string(1, static_cast<char16_t>(c));
            text += one;
            const bool privateUse = (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xF0000 && c <= 0x10FFFD);
            char reference[16];
            std::snprintf(reference, sizeof reference, "&#x%04X;", static_cast<unsigned>(c));
            expected += privateUse ? reference : Encode(one, {Encoding::utf8, MPM_imode, false});
        }
        ASSERT_EQ(Encode(text, {Encoding::utf8, MPM_imode, true}), expected);
    }
}

TEST(Encoding, ShiftJisCannotCarryTheUnicodeTableUnlessAsReferences) {
    EXPECT_THROW(CheckTextFormat({Encoding::sjis, kUnicodeMode, false}), ClientError);
    EXPECT_NO_THROW(CheckTextFormat({Encoding::sjis, kUnicodeMode, true}));
    EXPECT_NO_THROW(CheckTextFormat({Encoding::utf8, kUnicodeMode, false}));
    EXPECT_NO_THROW(CheckTextFormat({Encoding::sjis, MPM_softbank, false}));
}

}  // namespace
