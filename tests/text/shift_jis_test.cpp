// The Shift_JIS codec: ordinary characters exactly as the C library's CP932 reads and writes
// them, every carrier emoji at the code its handsets use (checked against Unicode's
// EmojiSources.txt wherever it lists one), SoftBank's web code escapes, and clear failures.
#include <iconv.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "text/codec.h"
#include "text/shift_jis.h"

namespace {

using namespace glyphary::text;

constexpr Carrier kCarriers[] = {Carrier::none, Carrier::imode, Carrier::ezweb, Carrier::softbank};

Format Sjis(Carrier carrier) {
    return {Encoding::sjis, carrier, {}};
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What the C library's iconv makes of `in`, converted from `from` to `to`; none on failure.
std::optional<std::string> Iconv(const char* to, const char* from, std::string in) {
    struct Converters {
        std::map<std::pair<std::string, std::string>, iconv_t> open;
        ~Converters() {
            for (const auto& [names, cd] : open) iconv_close(cd);
        }
    };
    static Converters converters;
    iconv_t& cd = converters.open[{to, from}];
    if (!cd) cd = iconv_open(to, from);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[16];
    char *inp = in.data(), *outp = out;
    size_t inLeft = in.size(), outLeft = sizeof out;
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1) || inLeft) return std::nullopt;
    return std::string(out, static_cast<size_t>(outp - out));
}

std::string Bytes(unsigned code) {
    return code < 0x100 ? std::string(1, static_cast<char>(code))
                        : std::string{static_cast<char>(code >> 8), static_cast<char>(code)};
}

// `bytes` decoded whole in `format`; the error as "offset: message" in `error`.
std::u16string DecodeOrError(std::string_view bytes, const Format& format,
                             std::string* error = nullptr) {
    try {
        return Decode(bytes, format);
    } catch (const EncodingError& e) {
        if (error) *error = std::to_string(e.offset()) + ": " + e.what();
    }
    return u"<error>";
}

// Every code point and every code of CP932 against iconv: a plain table must agree
// everywhere, a carrier's everywhere outside the user-defined area and its own emoji codes.
TEST(ShiftJis, OrdinaryCharactersAreCp932AsIconvHasThem) {
    std::vector<unsigned> codes;
    for (unsigned b = 0; b < 0x100; ++b) codes.push_back(b);
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead)
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail)
            if (lead < 0xA0 || lead >= 0xE0) codes.push_back(lead << 8 | trail);

    for (const Carrier mode : kCarriers) {
        const ShiftJisTable& table = ShiftJisTable::For(mode);
        std::set<unsigned> emojiCodes;
        for (char16_t u = 0xE000; u <= 0xF8FF; ++u)
            if (mode != Carrier::none && table.Encode(u) != ShiftJisTable::kNone)
                emojiCodes.insert(table.Encode(u));
        size_t checked = 0;
        for (const unsigned code : codes) {
            if (mode != Carrier::none &&
                ((code >= 0xF040 && code <= 0xF9FC) || emojiCodes.count(code)))
                continue;
            const auto expected = Iconv("UTF-16LE", "CP932", Bytes(code));
            const uint16_t got = code < 0x100 ? table.Single(static_cast<uint8_t>(code))
                                              : table.Double(code >> 8, code & 0xFF);
            if (expected && expected->size() == 2) {
                const auto unit = static_cast<uint16_t>(static_cast<uint8_t>((*expected)[0]) |
                                                        static_cast<uint8_t>((*expected)[1]) << 8);
                ASSERT_EQ(got, unit) << std::hex << "code " << code << " " << CarrierName(mode);
                ++checked;
            } else if (code < 0x100) {
                ASSERT_TRUE(got == ShiftJisTable::kNone || got == ShiftJisTable::kLead) << code;
            } else {
                ASSERT_EQ(got, 0) << std::hex << "code " << code << " " << CarrierName(mode);
            }
        }
        EXPECT_GT(checked, mode == Carrier::none ? 9700u : 7700u);

        for (unsigned u = 0; u < 0x10000; ++u) {
            if ((u >= 0xD800 && u < 0xE000) || (mode != Carrier::none && u >= 0xE000 && u < 0xF900))
                continue;
            const char16_t unit = static_cast<char16_t>(u);
            const auto expected = Iconv("CP932", "UTF-16LE", std::string{char(u), char(u >> 8)});
            const uint16_t code = table.Encode(unit);
            if (!expected) {
                ASSERT_EQ(code, ShiftJisTable::kNone) << std::hex << "U+" << u;
            } else if (!emojiCodes.count(static_cast<unsigned>(
                           expected->size() == 1 ? static_cast<uint8_t>((*expected)[0])
                                                 : static_cast<uint8_t>((*expected)[0]) << 8 |
                                                       static_cast<uint8_t>((*expected)[1])))) {
                ASSERT_EQ(Bytes(code), *expected)
                    << std::hex << "U+" << u << " " << CarrierName(mode);
            } else {
                // Its code is a SoftBank emoji: it keeps another code that reads back as it.
                ASSERT_NE(code, ShiftJisTable::kNone) << std::hex << "U+" << u;
                ASSERT_EQ(table.Double(code >> 8, code & 0xFF), unit) << std::hex << "U+" << u;
            }
        }
    }
}

// Every emoji of every carrier, from the carrier's own list, through the codec both ways,
// at the code Unicode's EmojiSources.txt gives wherever it gives one.
TEST(ShiftJis, EveryCarrierEmojiTravelsAtItsHandsetsCode) {
    const std::string dir = GLYPHARY_EMOJI4UNICODE_DIR;
    const std::map<Carrier, std::string> names = {
        {Carrier::imode, "docomo"}, {Carrier::ezweb, "kddi"}, {Carrier::softbank, "softbank"}};
    const std::regex element("<e ([^>]*)>"), attribute("([a-z_]+)=\"([^\"]*)\"");
    const auto elements = [&](const std::string& file) {
        std::vector<std::map<std::string, std::string>> all;
        const std::string xml = ReadText(dir + "/" + file);
        for (std::sregex_iterator e(xml.begin(), xml.end(), element), end; e != end; ++e) {
            const std::string text = (*e)[1];
            auto& found = all.emplace_back();
            for (std::sregex_iterator a(text.begin(), text.end(), attribute); a != end; ++a)
                found[(*a)[1]] = (*a)[2];
        }
        return all;
    };

    // EmojiSources.txt: "2600;F89F;F660;F98B", the standard sequence then the three codes.
    std::map<std::string, std::vector<std::string>> sources;
    std::istringstream lines(ReadText("/usr/share/unicode/EmojiSources.txt"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
        fields.resize(4);
        sources[fields[0]] = {fields[1], fields[2], fields[3]};
    }
    ASSERT_GT(sources.size(), 700u);
    // Each carrier's exact code of an emoji -> its standard sequence as EmojiSources writes it.
    std::map<std::pair<Carrier, unsigned>, std::string> standard;
    for (auto& e : elements("emoji4unicode.xml")) {
        std::string sequence;
        for (std::string cp : {e["unicode"]}) {
            std::istringstream parts(std::regex_replace(cp, std::regex("\\+"), " "));
            for (std::string p; parts >> p;)
                if (p != "FE0F") sequence += (sequence.empty() ? "" : " ") + p;
        }
        for (const auto& [mode, name] : names) {
            const std::string& code = e[name];
            if (!sequence.empty() && !code.empty() && code.find_first_of("&+") == std::string::npos)
                standard[{mode, std::stoul(code, nullptr, 16)}] = sequence;
        }
    }

    // Each carrier's emoji, and how many of them EmojiSources.txt lists.
    const std::map<Carrier, std::pair<size_t, size_t>> expected = {{Carrier::imode, {282, 244}},
                                                                   {Carrier::ezweb, {647, 633}},
                                                                   {Carrier::softbank, {485, 469}}};
    for (const auto& [mode, name] : names) {
        const Format format = Sjis(mode);
        std::set<std::string> used;
        size_t count = 0, confirmed = 0;
        for (auto& e : elements(name + "-carrier_data.xml")) {
            const char16_t pua = static_cast<char16_t>(std::stoul(e["unicode"], nullptr, 16));
            const std::u16string text(1, pua);
            std::string bytes;
            ASSERT_NO_THROW(bytes = Encode(text, format)) << name << " " << e["unicode"];
            ASSERT_EQ(bytes.size(), 2u) << name << " " << e["unicode"];
            const auto lead = static_cast<uint8_t>(bytes[0]);
            EXPECT_TRUE(lead >= 0xF0 && lead <= 0xFC) << name << " " << e["unicode"];
            EXPECT_TRUE(used.insert(bytes).second) << name << " " << e["unicode"];
            EXPECT_EQ(DecodeOrError(bytes, format), text) << name << " " << e["unicode"];
            ++count;
            const auto s = standard.find({mode, pua});
            if (s == standard.end()) continue;
            const auto listed = sources.find(s->second);
            if (listed == sources.end()) continue;
            const std::string& code = listed->second[static_cast<int>(mode) - 1];
            if (code.empty()) continue;
            EXPECT_EQ(bytes, Bytes(std::stoul(code, nullptr, 16))) << name << " " << e["unicode"];
            ++confirmed;
        }
        EXPECT_EQ(count, expected.at(mode).first) << name;
        EXPECT_EQ(confirmed, expected.at(mode).second) << name;
    }
}

TEST(ShiftJis, SoftBankWebCodeEscapesAreReadAsTheirEmoji) {
    const Format softbank = Sjis(Carrier::softbank);
    const struct {
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"a\x1B$Gj\x0F"
         "b",
         u"a\xE04A"
         "b"},                              // the sun, page G
        {"\x1B$Gji\x0F", u"\xE04A\xE049"},  // several in one escape
        {"\x1B$E!\x0F\x1B$F!\x0F\x1B$O!\x0F", u"\xE101\xE201\xE301"},
        {"\x1B$P!\x0F\x1B$Q!\x0F", u"\xE401\xE501"},
        {"\x1B"
         "a",
         u"\x1B"
         "a"},  // ESC alone is a control character
        {"\x1B", u"\x1B"},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeOrError(c.bytes, softbank), c.text) << c.bytes;
    // Other carriers have no such escapes: the bytes are text.
    EXPECT_EQ(DecodeOrError("\x1B$Gj\x0F", Sjis(Carrier::imode)), u"\x1B$Gj\x0F");

    const struct {
        std::string bytes;
        const char* error;
    } bad[] = {
        {"ab\x1B$Z!\x0F", "2: ESC $ 0x5A is no SoftBank web code"},
        {"ab\x1B$G\x0F", "2: a SoftBank web code escape without a character"},
        {"ab\x1B$Gj", "2: the input ends inside a SoftBank web code escape"},
        {"ab\x1B$Gj\n\x0F", "2: a SoftBank web code escape that SI does not end"},
        {"ab\x1B$G~\x0F", "5: ESC $ web code U+E05E is no SoftBank emoji"},
    };
    for (const auto& b : bad) {
        std::string error;
        DecodeOrError(b.bytes, softbank, &error);
        EXPECT_EQ(error.substr(0, std::string(b.error).size()), b.error) << b.bytes;
    }
}

TEST(ShiftJis, FailuresNameTheCarriersShiftJisAndThePlace) {
    const struct {
        std::string bytes;
        Carrier mode;
        const char* error;
    } bad[] = {
        {"ok\x81", Carrier::imode, "2: the input ends inside a Shift_JIS (imode) character"},
        {"ok\x81\x0A", Carrier::none, "2: bytes 0x81 0x0A are not valid Shift_JIS"},
        {"ok\x80", Carrier::ezweb, "2: byte 0x80 is not valid Shift_JIS (ezweb)"},
        // The user-defined area holds a carrier's emoji and nothing else.
        {"o\xF0\x40", Carrier::softbank, "1: bytes 0xF0 0x40 are not valid Shift_JIS (softbank)"},
        {"o\xF8\x9F", Carrier::ezweb, "1: bytes 0xF8 0x9F are not valid Shift_JIS (ezweb)"},
    };
    for (const auto& b : bad) {
        std::string error;
        DecodeOrError(b.bytes, Sjis(b.mode), &error);
        EXPECT_EQ(error, b.error);
    }
    // Plain Shift_JIS keeps CP932's linear user-defined area.
    EXPECT_EQ(DecodeOrError("\xF0\x40", Sjis(Carrier::none)), u"\xE000");

    const struct {
        std::u16string text;
        Carrier mode;
        const char* error;
    } unwritable[] = {
        {u"ab\xD83D\xDE00", Carrier::imode, "2: U+1F600 has no code in Shift_JIS (imode)"},
        {u"a\xE04A", Carrier::imode, "1: U+E04A has no code in Shift_JIS (imode)"},
        {u"a\xE63E", Carrier::softbank, "1: U+E63E has no code in Shift_JIS (softbank)"},
        {u"a\xDC00", Carrier::none, "1: a lone surrogate U+DC00, which Shift_JIS cannot carry"},
    };
    for (const auto& u : unwritable) {
        std::string error;
        try {
            Encode(u.text, Sjis(u.mode));
        } catch (const EncodingError& e) {
            error = std::to_string(e.offset()) + ": " + e.what();
        }
        EXPECT_EQ(error.substr(0, std::string(u.error).size()), u.error);
    }
}

}  // namespace
