// Every emoji of every carrier through the built program and the sample configuration in
// data/. The input is each carrier's own list of its emoji and emoji4unicode's standard
// equivalents, read from the vendored sources, so no emoji is listed here by hand.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tools/program.h"

namespace glyphary::testing {
namespace {

constexpr int kUnicode = 4;  // the sample configuration's standard Unicode table
const std::map<int, std::string> kCarrierLists = {{1, "docomo"}, {2, "kddi"}, {3, "softbank"}};
const std::regex kNotation(":([a-z0-9_+\\-]+):");  // the sample's LocalizePattern

std::string Utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

/// Code points of well-formed UTF-8.
std::u32string CodePoints(std::string_view text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < text.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out += c;
        i += length;
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

std::string Hex(char32_t c) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
    return buffer;
}

/// The attributes of each element of `xml` that `element` finds (its group 1 holds them), with
/// each value passed through `value`.
std::vector<std::map<std::string, std::string>> Attributes(
    const std::string& xml, const std::regex& element,
    std::string (*value)(const std::string&) = [](const std::string& v) { return v; }) {
    const std::regex attribute("([a-z_]+)=\"([^\"]*)\"");
    std::vector<std::map<std::string, std::string>> elements;
    for (std::sregex_iterator e(xml.begin(), xml.end(), element), end; e != end; ++e) {
        const std::string attributes = (*e)[1];
        auto& found = elements.emplace_back();
        for (std::sregex_iterator a(attributes.begin(), attributes.end(), attribute); a != end;
             ++a) {
            found[(*a)[1]] = value((*a)[2]);
        }
    }
    return elements;
}

/// The attributes of each <e> element of a vendored emoji4unicode file, as written.
std::vector<std::map<std::string, std::string>> Elements(const std::string& file) {
    return Attributes(ReadFile(std::string(GLYPHARY_EMOJI4UNICODE_DIR "/") + file),
                      std::regex("<e ([^>]*)>"));
}

struct Sources {
    std::map<int, std::vector<char32_t>> codes;  // each carrier's emoji, from its own list
    std::map<int, std::set<char32_t>> sets;      // the same, to look up
    std::set<char32_t> all;                      // every carrier's
    // The standard sequence of a carrier's emoji, where it has one.
    std::map<std::pair<int, char32_t>, std::string> standard;
};

Sources ReadSources() {
    Sources s;
    for (const auto& [mode, name] : kCarrierLists) {
        for (auto& e : Elements(name + "-carrier_data.xml")) {
            const auto code = static_cast<char32_t>(std::stoul(e["unicode"], nullptr, 16));
            s.codes[mode].push_back(code);
            s.sets[mode].insert(code);
            s.all.insert(code);
        }
    }
    for (auto& e : Elements("emoji4unicode.xml")) {
        if (e["unicode"].empty()) continue;
        std::string standard;
        for (size_t i = 0; i < e["unicode"].size();) {  // "+1F1EF+1F1F5": '+' marks new ones
            const size_t end = std::min(e["unicode"].find('+', i), e["unicode"].size());
            if (end > i) standard += Utf8(std::stoul(e["unicode"].substr(i, end - i), nullptr, 16));
            i = end + 1;
        }
        for (const auto& [mode, name] : kCarrierLists) {
            const std::string& code = e[name];
            if (!code.empty() && code.find('&') == std::string::npos) {  // &gt;: a substitute
                s.standard[{mode, static_cast<char32_t>(std::stoul(code, nullptr, 16))}] = standard;
            }
        }
    }
    return s;
}

// Numeric character references and the five named ones of XML attribute text, as UTF-8.
std::string Unescape(const std::string& text) {
    static const std::map<std::string, std::string> named = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t end = text.find(';', i);
        if (text[i] != '&' || end == std::string::npos) {
            out += text[i++];
            continue;
        }
        const std::string ref = text.substr(i + 1, end - i - 1);
        out +=
            ref.rfind("#x", 0) == 0 ? Utf8(std::stoul(ref.substr(2), nullptr, 16)) : named.at(ref);
        i = end + 1;
    }
    return out;
}

/// The attributes of each <map> element of a sample map file, unescaped.
std::vector<std::map<std::string, std::string>> SampleMap(const std::string& file) {
    return Attributes(ReadFile(std::filesystem::path(GLYPHARY_MODULE_FILE).parent_path() / file),
                      std::regex("<map ([^>]*)/>"), Unescape);
}

class SampleEmoji : public ::testing::Test {
  protected:
    Outcome Run(const std::string& command, int mode, const std::string& input) {
        return Run({command, "--carrier", std::to_string(mode)}, input);
    }
    Outcome Run(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), {"--module", GLYPHARY_MODULE_FILE});
        return RunProgram(
            GLYPHARY_CLI, args, input,
            {{"GLYPHARY_REGISTRY", (m_registry / "registry").string()}, {"GLYPHARY_MODULE", ""}});
    }
    /// `input` converted from `from` to `to`, the same line for line as `expected`.
    void ExpectConvert(int from, int to, const std::string& input, const std::string& expected) {
        const Outcome c =
            Run({"convert", "--from", std::to_string(from), "--to", std::to_string(to)}, input);
        ASSERT_EQ(c.status, 0) << c.err;
        const std::vector<std::string> in = Lines(input), out = Lines(c.out),
                                       want = Lines(expected);
        ASSERT_EQ(out.size(), want.size());
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i], want[i]) << "mode " << from << " to mode " << to << ": " << in[i];
    }
    TempDir m_registry;
};

TEST_F(SampleEmoji, EveryCarrierEmojiHasAnIdAndShowsOnEveryTable) {
    const Sources sources = ReadSources();
    ASSERT_EQ(sources.codes.at(1).size(), 282u);
    ASSERT_EQ(sources.codes.at(2).size(), 647u);
    ASSERT_EQ(sources.codes.at(3).size(), 485u);

    // Each code, one a line, globalizes to notation.
    std::string neutral;
    std::vector<std::pair<int, char32_t>> origin;  // the carrier and code of each neutral line
    for (const auto& [mode, codes] : sources.codes) {
        std::string input;
        for (char32_t code : codes) input += Utf8(code) + "\n";
        const Outcome g = Run("globalize", mode, input);
        ASSERT_EQ(g.status, 0) << g.err;
        const std::vector<std::string> lines = Lines(g.out);
        ASSERT_EQ(lines.size(), codes.size()) << mode;
        for (size_t i = 0; i < codes.size(); ++i) {
            EXPECT_TRUE(std::regex_match(lines[i], kNotation))
                << "mode " << mode << " " << Hex(codes[i]) << " gives " << lines[i];
            origin.emplace_back(mode, codes[i]);
        }
        neutral += g.out;
    }

    // Every carrier's emoji on every table: the same code on its own carrier; elsewhere the
    // table's own emoji or text, never notation and never another carrier's code; on the
    // standard table, the standard emoji.
    for (int target : {1, 2, 3, kUnicode}) {
        const Outcome l = Run("localize", target, neutral);
        ASSERT_EQ(l.status, 0) << l.err;
        const std::vector<std::string> lines = Lines(l.out);
        ASSERT_EQ(lines.size(), origin.size()) << target;
        for (size_t i = 0; i < lines.size(); ++i) {
            const auto& [source, code] = origin[i];
            const std::string what = "mode " + std::to_string(source) + " " + Hex(code) +
                                     " on mode " + std::to_string(target) + ": " + lines[i];
            if (source == target) {
                EXPECT_EQ(lines[i], Utf8(code)) << what;
            }
            EXPECT_FALSE(lines[i].empty()) << what;
            EXPECT_FALSE(std::regex_search(lines[i], kNotation)) << what;
            for (char32_t c : CodePoints(lines[i])) {
                const bool own = target != kUnicode && sources.sets.at(target).count(c);
                EXPECT_TRUE(own || !sources.all.count(c)) << what << " has " << Hex(c);
            }
            const auto standard = sources.standard.find(origin[i]);
            if (target == kUnicode && standard != sources.standard.end()) {
                std::string shown = lines[i];
                for (size_t vs; (vs = shown.find("\xEF\xB8\x8F")) != std::string::npos;) {
                    shown.erase(vs, 3);  // U+FE0F asks for emoji presentation
                }
                EXPECT_EQ(shown, standard->second) << what;
            }
        }
    }
}

// What `convert` gives is what globalizing in one mode and localizing the notation in the
// other gives.
TEST_F(SampleEmoji, EveryCarrierCodeConvertsToEveryTableAsThroughNotation) {
    const Sources sources = ReadSources();
    for (const auto& [from, codes] : sources.codes) {
        std::string input;
        for (char32_t code : codes) input += Utf8(code) + "\n";
        const Outcome neutral = Run("globalize", from, input);
        ASSERT_EQ(neutral.status, 0) << neutral.err;
        for (int to : {1, 2, 3, kUnicode}) {
            const Outcome expected = Run("localize", to, neutral.out);
            ASSERT_EQ(expected.status, 0) << expected.err;
            ExpectConvert(from, to, input, expected.out);
        }
    }
}

// Every standard emoji of the tables in every form people write it, and every emoji the
// standard table shows, becomes what each table shows for its id; one that is no form of the
// table (a typographic space among the carriers' emoji) stays as it is.
TEST_F(SampleEmoji, EveryStandardEmojiConvertsFromUnicodeToEveryTable) {
    std::map<std::string, std::string> idOfForm;
    for (auto& e : SampleMap("unicode-in.map")) {
        const std::string& code = e.at("code");  // U+FDD0 id U+FDD1, three bytes each
        idOfForm[e.at("id")] = code.substr(3, code.size() - 6);
    }
    ASSERT_EQ(idOfForm.size(), 1430u);
    std::string input, neutral;
    for (const auto& [form, id] : idOfForm) {
        input += form + "\n";
        neutral += ":" + id + ":\n";
    }
    size_t kept = 0;
    for (auto& e : SampleMap("unicode.map")) {
        if (!e.count("unicode")) continue;  // no standard emoji: text
        const auto form = idOfForm.find(e.at("code"));
        input += e.at("code") + "\n";
        neutral += form == idOfForm.end() ? e.at("code") + "\n" : ":" + form->second + ":\n";
        kept += form == idOfForm.end();
    }
    EXPECT_EQ(kept, 3u);
    for (int to : {1, 2, 3, kUnicode}) {
        const Outcome expected = Run("localize", to, neutral);
        ASSERT_EQ(expected.status, 0) << expected.err;
        ExpectConvert(kUnicode, to, input, expected.out);
    }
}

// `list` shows each carrier's own emoji as its own, once each, with the Shift_JIS code its
// handsets send: i-mode's as CP932 decodes it, and a substitute's as the same emoji's own.
TEST_F(SampleEmoji, ListShowsEachCarriersOwnEmojiWithItsShiftJisCode) {
    const Sources sources = ReadSources();
    const Outcome r = Run({"list"}, "");
    ASSERT_EQ(r.status, 0) << r.err;
    for (char32_t c : CodePoints(r.out)) EXPECT_FALSE(c >= 0xE000 && c <= 0xF8FF) << Hex(c);

    const std::regex own("U\\+([0-9A-F]{4}) ([0-9A-F]{4})"),
        substitute("~((?:U\\+[0-9A-F]{4}\\+?)+) ((?:[0-9A-F]{4}\\+?)+)"), hex("[0-9A-F]{4}"),
        columnGap(" {2,}");
    std::map<int, std::map<char32_t, unsigned>> sjis;  // each carrier's own codes
    std::vector<std::pair<int, std::string>> substitutes;
    const std::vector<std::string> lines = Lines(r.out);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> cells;  // two spaces or more part the columns
        for (std::sregex_token_iterator t(lines[i].begin(), lines[i].end(), columnGap, -1), end;
             t != end; ++t) {
            cells.push_back(*t);
        }
        ASSERT_GE(cells.size(), 8u) << lines[i];
        for (int mode : {1, 2, 3}) {
            std::smatch m;
            const std::string& cell = cells[1 + mode];
            if (std::regex_match(cell, m, own)) {
                const auto code = static_cast<char32_t>(std::stoul(m[1], nullptr, 16));
                EXPECT_TRUE(sjis[mode].emplace(code, std::stoul(m[2], nullptr, 16)).second)
                    << "mode " << mode << " lists " << Hex(code) << " twice";
            } else if (cell[0] == '~') {
                ASSERT_TRUE(std::regex_match(cell, m, substitute)) << cell;
                substitutes.emplace_back(mode, cell);
            }
        }
    }
    for (int mode : {1, 2, 3}) {
        std::set<char32_t> listed;
        for (const auto& [code, _] : sjis[mode]) listed.insert(code);
        EXPECT_EQ(listed, sources.sets.at(mode)) << "mode " << mode;
    }
    // i-mode's layout is CP932's user-defined area.
    iconv_t cd = iconv_open("UTF-32LE", "CP932");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (const auto& [code, shiftJis] : sjis[1]) {
        char in[2] = {static_cast<char>(shiftJis >> 8), static_cast<char>(shiftJis & 0xFF)};
        char32_t out = 0;
        char *inp = in, *outp = reinterpret_cast<char*>(&out);
        size_t inLeft = 2, outLeft = sizeof out;
        ASSERT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), size_t(-1));
        EXPECT_EQ(out, code) << Hex(code);
    }
    iconv_close(cd);
    ASSERT_GT(substitutes.size(), 100u);
    for (const auto& [mode, cell] : substitutes) {
        std::vector<unsigned> numbers;
        for (std::sregex_iterator h(cell.begin(), cell.end(), hex), end; h != end; ++h)
            numbers.push_back(std::stoul(h->str(), nullptr, 16));
        for (size_t k = 0; k < numbers.size() / 2; ++k)
            EXPECT_EQ(sjis[mode][numbers[k]], numbers[numbers.size() / 2 + k]) << cell;
    }
}

TEST_F(SampleEmoji, OrdinaryTextPassesGlobalizeUnchangedInEveryMode) {
    // ASCII, and every character of Shift_JIS (CP932) outside its user-defined area.
    std::string text;
    for (char c = ' '; c <= '~'; ++c) text += c;
    text += '\n';
    iconv_t cd = iconv_open("UTF-8", "CP932");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead >= 0xA0 && lead < 0xE0) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            char in[2] = {static_cast<char>(lead), static_cast<char>(trail)}, out[8];
            char *inp = in, *outp = out;
            size_t inLeft = 2, outLeft = sizeof out;
            if (trail == 0x7F || iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1)) continue;
            const std::string decoded(out, static_cast<size_t>(outp - out));
            const char32_t c = CodePoints(decoded)[0];
            if (c < 0xE000 || c > 0xF8FF) text += decoded;
        }
    }
    iconv_close(cd);
    ASSERT_GT(text.size(), 7000u * 3);

    for (int mode : {1, 2, 3, kUnicode, kUnicode + 1}) {
        const Outcome g = Run("globalize", mode, text);
        ASSERT_EQ(g.status, 0) << g.err;
        const auto diff = std::mismatch(text.begin(), text.end(), g.out.begin(), g.out.end());
        const size_t at = static_cast<size_t>(diff.first - text.begin());
        EXPECT_EQ(g.out.size(), text.size()) << "mode " << mode;
        EXPECT_EQ(at, text.size()) << "mode " << mode << " changes " << text.substr(at, 12);
    }
}

}  // namespace
}  // namespace glyphary::testing
