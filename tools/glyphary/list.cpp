// glyphary list: the emoji of the configuration, one row each, for people to look up ids,
// names and codes (client::ReadCatalog). Carrier codes are private-use characters that no
// terminal draws, so they are written as U+XXXX, never as themselves.
#include <locale.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <boost/regex.hpp>

#include "client/catalog.h"
#include "commands.h"
#include "convert/pattern_facts.h"
#include "io.h"
#include "text/unicode.h"

namespace glyphary::tool {
namespace {

using client::CarrierShown;
using client::CatalogEntry;

std::string CodePoint(char32_t c) {
    return "U+" + text::Hex(c, 4);
}

// The code points of UTF-16 text (a lone surrogate as itself).
std::u32string CodePoints(std::u16string_view text) {
    std::u32string out;
    for (size_t i = 0; i < text.size(); i += text::CharacterUnits(text, i))
        out += text::CodePointAt(text, i);
    return out;
}

bool Undrawable(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000 ||
           text::IsSurrogate(c);
}

// A cell of the table: its text and how many terminal columns it takes.
struct Cell {
    std::string text;
    size_t width = 0;
};

// How many columns a terminal gives `c`: the C library's answer under UTF-8 (whatever the
// user's locale), except that an emoji asked for by U+FE0F takes two.
size_t Columns(char32_t c, bool emojiPresentation) {
    if (emojiPresentation) return 2;
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    int width = -1;
    if (utf8) {
        const locale_t previous = uselocale(utf8);
        width = wcwidth(static_cast<wchar_t>(c));
        uselocale(previous);
    }
    if (width >= 0) return static_cast<size_t>(width);
    return c >= 0x1100 ? 2 : 1;  // no UTF-8 locale: most of what is not Latin is wide
}

// Text as a terminal can show it: what it cannot draw as U+XXXX.
Cell Shown(std::u16string_view text) {
    Cell cell;
    const std::u32string c = CodePoints(text);
    for (size_t i = 0; i < c.size(); ++i) {
        if (Undrawable(c[i])) {
            cell.text += CodePoint(c[i]);
            cell.width += CodePoint(c[i]).size();
            continue;
        }
        std::u16string unit;
        text::AppendUtf16(c[i], unit);
        cell.text += Utf8ForDisplay(unit);
        cell.width += Columns(c[i], i + 1 < c.size() && c[i + 1] == 0xFE0F);
    }
    return cell;
}

Cell Ascii(std::string text) {
    const size_t width = text.size();
    return {std::move(text), width};
}

// A carrier's code as U+XXXX with its Shift_JIS code; "~" marks a substitute made of the
// carrier's own emoji; text shows as text; "-" when the carrier's map lacks the id.
Cell CarrierCell(const CarrierShown& shown) {
    switch (shown.kind) {
        case CarrierShown::Kind::none:
            return Ascii("-");
        case CarrierShown::Kind::text:
            return Shown(shown.code);
        case CarrierShown::Kind::own:
        case CarrierShown::Kind::substitute:
            break;
    }
    std::string codes, sjis;
    for (size_t i = 0; i < shown.code.size(); ++i) {
        if (i) codes += '+', sjis += '+';
        codes += CodePoint(shown.code[i]);
        sjis += text::Hex(shown.sjis[i], 4);
    }
    std::string cell = shown.kind == CarrierShown::Kind::substitute ? "~" : "";
    cell += codes;
    cell += ' ';
    cell += sjis;
    return Ascii(cell);
}

std::string Join(const std::vector<std::u16string>& words) {
    std::string out;
    for (const std::u16string& word : words) {
        if (!out.empty()) out += ' ';
        out += Utf8ForDisplay(word);
    }
    return out;
}

std::vector<Cell> Row(const CatalogEntry& e) {
    std::string codePoints;
    for (const char32_t c : e.codePoints) {
        if (!codePoints.empty()) codePoints += ' ';
        codePoints += CodePoint(c);
    }
    return {Ascii(Utf8ForDisplay(e.id)),
            Ascii(e.aliases.empty() ? "-" : Join(e.aliases)),
            CarrierCell(e.carriers[0]),
            CarrierCell(e.carriers[1]),
            CarrierCell(e.carriers[2]),
            Ascii(e.auNumber ? std::to_string(e.auNumber) : "-"),
            Ascii(e.google ? CodePoint(e.google) : "-"),
            Ascii(codePoints.empty() ? "-" : codePoints),
            Shown(e.standard),
            Shown(e.name),
            Shown(e.nameJa)};
}

// --carrier: the emoji a carrier has as its own, or that have a standard emoji.
bool Has(const CatalogEntry& e, EMapMode carrier) {
    switch (carrier) {
        case MPM_imode:
            return e.carriers[0].kind == CarrierShown::Kind::own;
        case MPM_ezweb:
            return e.carriers[1].kind == CarrierShown::Kind::own;
        case MPM_softbank:
            return e.carriers[2].kind == CarrierShown::Kind::own;
        default:
            return !e.codePoints.empty();
    }
}

bool Matches(const CatalogEntry& e, const boost::wregex& pattern) {
    const auto found = [&](std::u16string_view text) {
        const std::wstring wide(text.begin(), text.end());
        // Boost gives up on a pattern that takes too many steps or too much memory for its
        // backtracking, with a plain std::runtime_error: a fault of the pattern, reported as
        // compile errors are.
        try {
            return boost::regex_search(wide, pattern);
        } catch (const std::runtime_error& e) {
            throw UsageError(std::string("PATTERN: ") + e.what());
        }
    };
    if (found(e.id) || found(e.name) || found(e.nameJa)) return true;
    for (const std::u16string& alias : e.aliases)
        if (found(alias)) return true;
    return false;
}

boost::wregex CompileUserPattern(const std::string& text) {
    const std::optional<std::u16string> units = text::Utf16FromUtf8(text, text::Errors::strict);
    if (!units) throw UsageError("the PATTERN is not UTF-8");
    const std::wstring wide(units->begin(), units->end());
    if (HangsTheRegexCompiler(wide))
        throw UsageError(std::string("PATTERN: ") + kHangingPatternMessage);
    try {
        return boost::wregex(wide, boost::regex_constants::perl | boost::regex_constants::icase);
    } catch (const boost::regex_error& e) {
        throw UsageError(std::string("PATTERN: ") + e.what());
    }
}

}  // namespace

int RunList(Session& session, const Arguments& args) {
    if (args.Operands().size() > 1) throw UsageError("list takes one PATTERN at most");
    std::optional<EMapMode> carrier;
    if (args.Has("carrier")) {
        carrier = ParseCarrier(args.Value("carrier"));
        if (*carrier != MPM_imode && *carrier != MPM_ezweb && *carrier != MPM_softbank &&
            *carrier != client::kUnicodeMode)
            throw UsageError("--carrier " + args.Value("carrier") +
                             ": use imode, ezweb, softbank or unicode");
    }
    std::optional<boost::wregex> pattern;
    if (!args.Operands().empty()) pattern = CompileUserPattern(args.Operands()[0]);

    std::vector<std::vector<Cell>> rows = {{Ascii("id"), Ascii("aliases"), Ascii("i-mode"),
                                            Ascii("EZweb"), Ascii("SoftBank"), Ascii("au#"),
                                            Ascii("google"), Ascii("unicode"), Ascii("emoji"),
                                            Ascii("name"), Ascii("name_ja")}};
    for (const CatalogEntry& e : client::ReadCatalog(session.module().SettingsPath()))
        if ((!carrier || Has(e, *carrier)) && (!pattern || Matches(e, *pattern)))
            rows.push_back(Row(e));
    if (rows.size() == 1) {
        Report("no emoji matches");
        return 1;
    }

    std::vector<size_t> widths(rows[0].size());
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].width);
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i].text;
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].width + 2, ' ');
        }
        out += line + "\n";
    }
    WriteAll(STDOUT_FILENO, out, "standard output");
    return 0;
}

}  // namespace glyphary::tool
