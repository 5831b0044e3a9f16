// The transcoder against glibc's iconv on generated text, whole and cut into random pieces, at
// every SIMD level.
#include <iconv.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/simd_levels.h"
#include "text/utf.h"

namespace {

using namespace glyphary::text;
using glyphary::testing::AtEveryLevel;

// What iconv makes of `in`: the output, or the offset where it stopped at something it cannot
// convert.
struct IconvOutcome {
    std::string out;
    bool ok = true;
    size_t stoppedAt = 0;
};

IconvOutcome Iconv(const char* to, const char* from, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    IconvOutcome r;
    r.out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size(), room = r.out.size();
    char* dst = r.out.data();
    if (iconv(cd, &src, &left, &dst, &room) == static_cast<size_t>(-1)) {
        r.ok = false;
        r.stoppedAt = static_cast<size_t>(src - in.data());
    }
    r.out.resize(r.out.size() - room);
    iconv_close(cd);
    return r;
}

std::string Bytes(const std::u16string& s) {
    std::string b;
    for (char16_t u : s) b += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return b;
}

// Text across every length of UTF-8 sequence: ASCII runs, kana and kanji, private-use emoji,
// supplementary characters; with `lone`, lone surrogates too.
std::u16string RandomText(std::mt19937& rng, bool lone) {
    std::uniform_int_distribution<int> kind(0, 9), length(0, 200);
    std::u16string s;
    for (int n = length(rng); n > 0; --n) {
        const int k = kind(rng);
        if (k < 4) {
            s += static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0x7F)(rng));
        } else if (k < 5) {
            s += static_cast<char16_t>(std::uniform_int_distribution<int>(0x80, 0x7FF)(rng));
        } else if (k < 7) {
            int c;
            do c = std::uniform_int_distribution<int>(0x800, 0xFFFF)(rng);
            while (c >= 0xD800 && c <= 0xDFFF);
            s += static_cast<char16_t>(c);
        } else if (k < 9) {
            const int c = std::uniform_int_distribution<int>(0x10000, 0x10FFFF)(rng) - 0x10000;
            AppendUtf16(0x10000 + c, s);
        } else if (lone) {
            s += static_cast<char16_t>(std::uniform_int_distribution<int>(0xD800, 0xDFFF)(rng));
        }
    }
    return s;
}

// `in` decoded in random pieces, as a stream reader feeds it.
template <class In, class Out, class F>
UtfResult InPieces(std::mt19937& rng, const In& in, Out& out, F convert) {
    UtfResult total;
    size_t start = 0;
    while (true) {
        const size_t piece = std::uniform_int_distribution<size_t>(0, 9)(rng);
        const size_t end = std::min(in.size(), start + piece);
        const bool final = end == in.size();
        const UtfResult r =
            convert(In(in.substr(start, end - start)), out.data() + total.written, final);
        total.written += r.written;
        if (!r.ok) return {start + r.read, total.written, false};
        start += r.read;
        if (final && start == in.size()) return {start, total.written, true};
    }
}

TEST(Utf, WellFormedTextConvertsAsIconvDoesWholeAndInPieces) {
    std::mt19937 rng(8);
    for (int round = 0; round < 1000; ++round) {
        const std::u16string text = RandomText(rng, false);
        const std::string utf8 = Iconv("UTF-8", "UTF-16LE", Bytes(text)).out;
        AtEveryLevel([&](auto) {
            std::string encoded(text.size() * 3, '\0');
            UtfResult r = Utf8FromUtf16(text, encoded.data(), true, Errors::strict);
            ASSERT_TRUE(r.ok);
            ASSERT_EQ(encoded.substr(0, r.written), utf8);
            r = InPieces(rng, std::u16string_view(text), encoded,
                         [](std::u16string_view in, char* out, bool final) {
                             return Utf8FromUtf16(in, out, final, Errors::strict);
                         });
            ASSERT_EQ(encoded.substr(0, r.written), utf8);

            std::u16string decoded(utf8.size(), u'\0');
            r = Utf16FromUtf8(utf8, decoded.data(), true, Errors::strict);
            ASSERT_TRUE(r.ok);
            ASSERT_EQ(decoded.substr(0, r.written), text);
            r = InPieces(rng, std::string_view(utf8), decoded,
                         [](std::string_view in, char16_t* out, bool final) {
                             return Utf16FromUtf8(in, out, final, Errors::strict);
                         });
            ASSERT_EQ(decoded.substr(0, r.written), text);
        });
    }
}

// Random bytes with UTF-8 in them: both stop at the same byte; replacing, every well-formed
// sequence survives and nothing else does; kept, the bytes come back as they were.
TEST(Utf, IllFormedInputStopsWhereIconvStopsOrIsReplacedOrKept) {
    std::mt19937 rng(9);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes = Iconv("UTF-8", "UTF-16LE", Bytes(RandomText(rng, false))).out;
        for (int k = std::uniform_int_distribution<int>(1, 4)(rng); k > 0 && !bytes.empty(); --k)
            bytes[std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng)] =
                static_cast<char>(std::uniform_int_distribution<int>(0x80, 0xFF)(rng));
        const IconvOutcome expected = Iconv("UTF-16LE", "UTF-8", bytes);
        AtEveryLevel([&](auto) {
            std::u16string out(bytes.size(), u'\0');
            const UtfResult r = Utf16FromUtf8(bytes, out.data(), true, Errors::strict);
            ASSERT_EQ(r.ok, expected.ok);
            if (!r.ok) {
                ASSERT_EQ(r.read, expected.stoppedAt);
            }
            const UtfResult pieces =
                InPieces(rng, std::string_view(bytes), out,
                         [](std::string_view in, char16_t* o, bool final) {
                             return Utf16FromUtf8(in, o, final, Errors::strict);
                         });
            ASSERT_EQ(pieces.ok, r.ok);
            ASSERT_EQ(pieces.read, r.read);

            const std::u16string replaced = *Utf16FromUtf8(bytes, Errors::replace);
            const std::string back = *Utf8FromUtf16(replaced, Errors::strict);
            ASSERT_TRUE(Iconv("UTF-16LE", "UTF-8", back).ok);  // U+FFFD aside, only what was valid
            if (expected.ok) {
                ASSERT_EQ(back, bytes);
            }
            ASSERT_EQ(*Utf8FromUtf16(*Utf16FromUtf8(bytes, Errors::keep), Errors::keep), bytes);
        });
    }
}

// Each of the sequences the block-at-a-time decoder must leave to the careful code, at every
// offset inside longer text, stops where iconv stops (or, well-formed, decodes as it does).
TEST(Utf, SequencesAtEveryOffsetOfABlockDecodeAsIconvDoes) {
    const std::string sequences[] = {
        "\xED\xA0\x80",  // a surrogate
        "\xE0\x9F\xBF",  // overlong
        "\xC0\x80",
        "\xC1\xBF",
        "\xF5\x80\x80\x80",
        "\x80",
        "\xBF\xBF",
        "\xE3\x81",
        "\xE3\x41\x41",      // cut short
        "\xF0\x9F\x98\x80",  // well-formed, four bytes
        "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",  // edges
    };
    const std::string context = "ab \xE3\x81\x82\xE6\x97\xA5 cd\xC3\xA9\xEE\x98\xBE efgh";
    for (const std::string& sequence : sequences) {
        for (size_t at = 0; at < 24; ++at) {
            std::string bytes = context + context + context;
            bytes.insert(std::min(at, bytes.size()), sequence);
            const IconvOutcome expected = Iconv("UTF-16LE", "UTF-8", bytes);
            std::u16string out(bytes.size(), u'\0');
            const UtfResult r = Utf16FromUtf8(bytes, out.data(), true, Errors::strict);
            ASSERT_EQ(r.ok, expected.ok) << at;
            if (r.ok) {
                ASSERT_EQ(Bytes(out.substr(0, r.written)), expected.out) << at;
            } else {
                ASSERT_EQ(r.read, expected.stoppedAt) << at;
            }
        }
    }
}

// Runs of ASCII of every length up to past the widest block, each ended by a character of
// another length, a run of Japanese or a lone surrogate: every fast path, started at every offset
// of this text and cut at every length, gives what the scalar path gives, ill-formed cuts included.
TEST(Utf, EveryPathGivesTheScalarResultAtEveryOffsetAndLength) {
    std::mt19937 rng(33);
    std::u16string text;
    const std::u16string others[] = {
        u"\u00E9",     u"\u3042\u65E5", u"\uE63E",
        u"\U0001F600", u"\xD800",       u"\u3042\u65E5\u672C\u8A9E\u3067\u3059\u306D\u3002"};
    for (size_t run = 0; run <= 40; ++run) {
        for (size_t k = 0; k < run; ++k) text += static_cast<char16_t>(u'!' + (run + k) % 90);
        text += others[rng() % std::size(others)];
    }
    const std::string utf8 = *Utf8FromUtf16(text, Errors::keep);
    const auto decode = [](std::string_view in) {
        std::u16string out(in.size(), u'\0');
        const UtfResult r = Utf16FromUtf8(in, out.data(), true, Errors::keep);
        out.resize(r.written);
        return out;
    };
    const auto encode = [](std::u16string_view in) {
        std::string out(Utf8Room(in.size(), Errors::replace), '\0');
        const UtfResult r = Utf8FromUtf16(in, out.data(), true, Errors::replace);
        out.resize(r.written);
        return out;
    };
    for (size_t at = 0; at < 64; ++at) {
        for (size_t length = 0; at + length <= utf8.size(); ++length) {
            const std::string_view bytes = std::string_view(utf8).substr(at, length);
            const std::u16string_view units =
                std::u16string_view(text).substr(std::min(at, text.size()), length);
            simd::Limit(simd::Level::scalar);
            const std::u16string decoded = decode(bytes);
            const std::string encoded = encode(units);
            AtEveryLevel([&](simd::Level) {
                ASSERT_EQ(decode(bytes), decoded) << at << "+" << length;
                ASSERT_EQ(encode(units), encoded) << at << "+" << length;
            });
        }
    }
}

// What UTF-8 cannot carry: each policy, and U+FFFD for people to read.
TEST(Utf, LoneSurrogatesStopOrAreReplacedOrKept) {
    const std::u16string text = u"a\xDCFF\xD800\xD83D\xDE00\xDC00\xD83D";
    std::string out(text.size() * 3, '\0');
    UtfResult r = Utf8FromUtf16(text, out.data(), true, Errors::strict);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.read, 1u);
    EXPECT_EQ(*Utf8FromUtf16(text, Errors::replace), "a??\xF0\x9F\x98\x80??");
    EXPECT_EQ(*Utf8FromUtf16(text, Errors::keep), "a\xFF&#55296;\xF0\x9F\x98\x80&#56320;&#55357;");
    EXPECT_EQ(Utf8ForDisplay(text),
              "a\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
    // Unless final, a high surrogate at the end waits for its other half.
    r = Utf8FromUtf16(text, out.data(), false, Errors::replace);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.read, text.size() - 1);
}

}  // namespace

// The validator says of every slice what strict decoding says, at every level: slices of
// generated text whose fragments sit at the edges of what is allowed, ASCII runs between
// them so that blocks of all kinds meet.
TEST(Utf, ValidatorAgreesWithStrictDecodingAtEveryLevel) {
    const std::string_view fragments[] = {"\xC2\x80",
                                          "\xDF\xBF",
                                          "\xE0\xA0\x80",
                                          "\xED\x9F\xBF",
                                          "\xEE\x80\x80",
                                          "\xEF\xBF\xBF",
                                          "\xF0\x90\x80\x80",
                                          "\xF4\x8F\xBF\xBF",
                                          "\xC0\x80",
                                          "\xC1\xBF",
                                          "\xE0\x9F\xBF",
                                          "\xED\xA0\x80",
                                          "\xF0\x8F\xBF\xBF",
                                          "\xF4\x90\x80\x80",
                                          "\xF5\x80\x80\x80",
                                          "\xFF",
                                          "\x80",
                                          "\xBF\xBF",
                                          "\xE3\x81",
                                          "\xF0\x9F\x98",
                                          "\xC3",
                                          "\xE3\x81\x82\x80",
                                          "\xE3\x81\x82",
                                          "\xF0\x9F\x98\x80"};
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        // Mostly well-formed in the early trials, so that long slices pass too.
        const size_t valid = trial < 20 ? 8 : std::size(fragments);
        std::string text;
        while (text.size() < 160) {
            text.append(rng() % 3 == 0 ? rng() % 40 : rng() % 3, 'a');
            const size_t f = rng() % valid;
            text += fragments[f < 8 ? f : rng() % std::size(fragments)];
        }
        for (size_t at = 0; at < 40; ++at) {
            for (size_t length = 0; at + length <= text.size(); ++length) {
                const std::string_view bytes = std::string_view(text).substr(at, length);
                std::u16string out(bytes.size(), u'\0');
                const UtfResult r = Utf16FromUtf8(bytes, out.data(), true, Errors::strict);
                const bool expected = r.ok && r.read == bytes.size();
                ASSERT_EQ(IsUtf8Scalar(bytes), expected) << trial << " " << at << "+" << length;
                AtEveryLevel([&](glyphary::text::simd::Level) {
                    ASSERT_EQ(IsUtf8(bytes), expected) << trial << " " << at << "+" << length;
                });
            }
        }
    }
}
