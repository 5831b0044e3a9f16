// Generated legacy forms for tests: every way the carriers' emoji were stored (a handset's
// code, references to code points and to Shift_JIS codes, au's localsrc tags, SoftBank's web
// codes, Google's codes, text through CP932), as the text layer reads them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "text/codec.h"
#include "text/legacy_codes.h"
#include "text/shift_jis.h"

namespace glyphary::testing {

using text::Carrier;
using text::Encoding;
using text::Form;
using text::Format;
using text::Forms;
using text::LegacyEmoji;
using text::ShiftJisTable;

inline std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

inline std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

inline std::string Name(char32_t c) {
    return "U+" + Hex(static_cast<unsigned>(c));
}

inline std::u16string Units(char32_t c) {
    std::u16string units;
    text::AppendUtf16(c, units);
    return units;
}

inline uint16_t SjisCode(Carrier carrier, char16_t code) {
    return ShiftJisTable::For(carrier).Encode(code);
}

// One way of writing an emoji: units that any encoding carries as they are, or (Shift_JIS,
// which has no such units for them) bytes.
struct Written {
    Forms forms;
    std::u16string units;
    std::string sjisBytes;  // set: Shift_JIS input only, these bytes
};

// Every way the emoji `code` of `carrier` is written, with the forms that read it.
inline std::vector<Written> WaysOf(Carrier carrier, char16_t code, Encoding encoding) {
    const LegacyEmoji* e = text::EmojiOfCode(carrier, code);
    const uint16_t sjis = SjisCode(carrier, code);
    std::vector<Written> ways;
    if (encoding == Encoding::sjis) {
        ways.push_back({{}, {}, {static_cast<char>(sjis >> 8), static_cast<char>(sjis & 0xFF)}});
    } else {
        ways.push_back({{}, std::u16string(1, code), {}});
        // What a CP932 decoder made of the handset's bytes.
        ways.push_back(
            {Form::cp932,
             std::u16string(1, ShiftJisTable::For(Carrier::none).Double(sjis >> 8, sjis & 0xFF)),
             {}});
    }
    ways.push_back({Form::references, Ascii("&#x" + Hex(code) + ";"), {}});
    ways.push_back({Form::references, Ascii("&#" + std::to_string(code) + ";"), {}});
    ways.push_back({Form::sjisReferences, Ascii("&#" + std::to_string(sjis) + ";"), {}});
    ways.push_back({Form::sjisReferences, Ascii("&#x" + Hex(sjis) + ";"), {}});
    if (e && e->auNumber) {
        const std::string n = std::to_string(e->auNumber);
        ways.push_back({Form::localsrc, Ascii("<img localsrc=\"" + n + "\">"), {}});
        ways.push_back({Form::localsrc, Ascii("<IMG alt=\"x\" LocalSrc=" + n + " />"), {}});
    }
    if (carrier == Carrier::softbank) {
        const char page = "GEFOPQ"[(code >> 8) - 0xE0];
        const char letter = static_cast<char>((code & 0xFF) + 0x20);
        ways.push_back({Form::webCodes, Ascii(std::string("\x1B$") + page + letter + "\x0F"), {}});
    }
    if (e && e->google) {
        ways.push_back({Form::google | Form::references, Ascii("&#x" + Hex(e->google) + ";"), {}});
        if (encoding != Encoding::sjis) ways.push_back({Form::google, Units(e->google), {}});
    }
    return ways;
}

// `units` between `before` and `after` in `encoding` (plain text, or the Shift_JIS bytes).
inline std::string Input(const std::string& before, const Written& w, const std::string& after,
                         Encoding encoding) {
    const Format plain{encoding};
    return text::Encode(Ascii(before), plain) +
           (w.sjisBytes.empty() ? text::Encode(w.units, plain) : w.sjisBytes) +
           text::Encode(Ascii(after), plain);
}

// A code that only this carrier has, in this encoding, to show the record's carrier.
inline char16_t WitnessCode(Carrier carrier) {
    return carrier == Carrier::imode ? 0xE63E : carrier == Carrier::ezweb ? 0xE5CD : 0xE401;
}

// That code as text in `encoding`, read with `forms`.
inline std::string Witness(Carrier carrier, Encoding encoding, Forms forms) {
    const uint16_t sjis = SjisCode(carrier, WitnessCode(carrier));
    if (encoding == Encoding::sjis)
        return {static_cast<char>(sjis >> 8), static_cast<char>(sjis & 0xFF)};
    const char16_t unit = forms.has(Form::cp932)
                              ? ShiftJisTable::For(Carrier::none).Double(sjis >> 8, sjis & 0xFF)
                              : WitnessCode(carrier);
    return text::Encode(std::u16string(1, unit), {encoding});
}

}  // namespace glyphary::testing
