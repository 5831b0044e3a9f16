#include "text/format.h"

#include "text/unicode.h"

namespace glyphary::text {

// ---------------------------------------------------------------------------------------------
// Names

std::optional<Encoding> ParseEncoding(std::string_view name) {
    // The one list of names: the program's --encoding, the Python package's encodings and
    // the charsets of mail and web requests all come here.
    struct Name {
        const char* key;  // lower case, letters and digits only
        Encoding encoding;
    };
    static constexpr Name kNames[] = {
        {"utf8", Encoding::utf8},       {"utf16le", Encoding::utf16le},
        {"sjis", Encoding::sjis},       {"shiftjis", Encoding::sjis},
        {"xsjis", Encoding::sjis},      {"cp932", Encoding::sjis},
        {"ms932", Encoding::sjis},      {"xmscp932", Encoding::sjis},
        {"windows31j", Encoding::sjis}, {"mskanji", Encoding::sjis},
        {"csshiftjis", Encoding::sjis},
    };
    std::string key;
    for (const char c : name) {
        if (c >= 'A' && c <= 'Z') {
            key += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            key += c;
        }
    }
    for (const Name& n : kNames)
        if (key == n.key) return n.encoding;
    return std::nullopt;
}

const char* EncodingName(Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return "utf-8";
        case Encoding::utf16le:
            return "utf-16le";
        case Encoding::sjis:
            return "sjis";
    }
    return "?";
}

const char* CarrierName(Carrier carrier) {
    switch (carrier) {
        case Carrier::imode:
            return "imode";
        case Carrier::ezweb:
            return "ezweb";
        case Carrier::softbank:
            return "softbank";
        case Carrier::automatic:
            return "auto";
        case Carrier::none:
            break;
    }
    return "none";
}

std::optional<Carrier> ParseCarrierName(std::string_view name) {
    std::string key;
    for (const char c : name) key += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    struct Name {
        const char* name;
        Carrier carrier;
    };
    static constexpr Name kNames[] = {
        {"imode", Carrier::imode},       {"i-mode", Carrier::imode},
        {"docomo", Carrier::imode},      {"ezweb", Carrier::ezweb},
        {"au", Carrier::ezweb},          {"kddi", Carrier::ezweb},
        {"softbank", Carrier::softbank}, {"vodafone", Carrier::softbank},
    };
    for (const Name& n : kNames)
        if (key == n.name) return n.carrier;
    return std::nullopt;
}

Carrier CarrierOfMode(long mode) {
    return mode >= 1 && mode <= 3 ? static_cast<Carrier>(mode) : Carrier::none;
}

const char* FormName(Form form) {
    switch (form) {
        case Form::references:
            return "references";
        case Form::sjisReferences:
            return "sjis-references";
        case Form::localsrc:
            return "localsrc";
        case Form::webCodes:
            return "webcodes";
        case Form::google:
            return "google";
        case Form::cp932:
            return "cp932";
    }
    return "?";
}

std::optional<Forms> ParseForms(std::string_view names, std::string* unknown) {
    Forms forms;
    while (!names.empty()) {
        const size_t comma = names.find(',');
        std::string_view name = names.substr(0, comma);
        names = comma == names.npos ? std::string_view() : names.substr(comma + 1);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        std::string key;
        for (const char c : name) key += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        if (key == "default") {
            forms = forms | kDefaultInputForms;
            continue;
        }
        if (key == "none" || key.empty()) continue;
        bool found = false;
        for (const Form form : kAllForms) {
            if (key == FormName(form)) {
                forms = forms | form;
                found = true;
            }
        }
        if (!found) {
            if (unknown) *unknown = std::string(name);
            return std::nullopt;
        }
    }
    return forms;
}

std::string FormNames(Forms forms) {
    std::string names;
    for (const Form form : kAllForms) {
        if (!forms.has(form)) continue;
        if (!names.empty()) names += ',';
        names += FormName(form);
    }
    return names;
}

// ---------------------------------------------------------------------------------------------
// Messages

std::string Describe(const Issue& issue, const Format& format) {
    const std::string sjis = format.carrier == Carrier::none
                                 ? "Shift_JIS"
                                 : std::string("Shift_JIS (") + CarrierName(format.carrier) + ")";
    const unsigned v = issue.value;
    switch (issue.fault) {
        case Fault::utf8Sequence:
            return "byte 0x" + Hex(v, 2) + " does not start a valid UTF-8 sequence";
        case Fault::utf16OddByte:
            return "UTF-16LE input has an odd number of bytes";
        case Fault::sjisByte:
            return "byte 0x" + Hex(v, 2) + " is not valid " + sjis;
        case Fault::sjisPair:
            return "bytes 0x" + Hex(v >> 8, 2) + " 0x" + Hex(v & 0xFF, 2) + " are not valid " +
                   sjis;
        case Fault::sjisCut:
            return "the input ends inside a " + sjis + " character";
        case Fault::escapePage:
            return "ESC $ 0x" + Hex(v, 2) +
                   " is no SoftBank web code (its page letters are G, E, F, O, P, Q)";
        case Fault::escapeEmpty:
            return "a SoftBank web code escape without a character";
        case Fault::escapeUnclosed:
            return "a SoftBank web code escape that SI does not end";
        case Fault::escapeCode:
            return "ESC $ web code U+" + Hex(v, 4) + " is no SoftBank emoji";
        case Fault::escapeCut:
            return "the input ends inside a SoftBank web code escape";
        case Fault::cp932Code:
            return "code " + Hex(v, 4) +
                   " (taken back from text read as CP932) is no character of " + sjis;
        case Fault::noEquivalent:
            return "the emoji U+" + Hex(v, 4) + " of another carrier has no equivalent in " +
                   CarrierName(format.carrier);
        case Fault::unknownGoogle:
            return "U+" + Hex(v, 4) + " is no Google code of a carrier emoji";
        case Fault::unknownNumber:
            return "<img localsrc=\"" + std::to_string(v) + "\"> is no au emoji number";
        case Fault::loneSurrogate:
            if (format.encoding == Encoding::sjis)
                return "a lone surrogate U+" + Hex(v, 4) + ", which " + sjis + " cannot carry";
            return "a lone surrogate U+" + Hex(v, 4) +
                   ", which UTF-8 cannot carry (--encoding utf-16le passes it through)";
        case Fault::noCode:
            return "U+" + Hex(v, 4) + " has no code in " + sjis +
                   (format.references() ? "" : " (--ncr writes it as a character reference)");
    }
    return "?";
}

}  // namespace glyphary::text
