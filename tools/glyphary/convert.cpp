// glyphary globalize / localize: text from files or stdin, through the object, to stdout.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "commands.h"
#include "io.h"
#include "text.h"

namespace glyphary::tool {
namespace {

unique_bstr Bstr(std::u16string_view text) {
    BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!s) throw ToolError("out of memory");
    return unique_bstr(s);
}

// Text from the command line (UTF-8) as a BSTR.
unique_bstr ArgumentBstr(const std::string& option, const std::string& value) {
    try {
        return Bstr(Utf16FromUtf8(value));
    } catch (const EncodingError&) {
        throw UsageError("the value of --" + option + " is not UTF-8");
    }
}

using Conversion = HRESULT (STDMETHODCALLTYPE IGlyphary::*)(BSTR, BSTR*);

// The interface reads a BSTR up to its first zero unit, so the text goes through in the pieces
// between zero units and each zero unit is copied as it stands: nothing is cut off.
std::u16string Convert(IGlyphary* object, Conversion method, const char* name,
                       std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (;;) {
        const size_t zero = text.find(u'\0');
        const std::u16string_view piece = text.substr(0, zero);
        if (!piece.empty()) {
            const unique_bstr in = Bstr(piece);
            unique_bstr result;
            Check((object->*method)(in.get(), result.put()), name);
            if (!result) throw ComError(name, E_OUTOFMEMORY, "no result string came back");
            out.append(result.get(), SysStringLen(result.get()));
        }
        if (zero == std::u16string_view::npos) return out;
        out += u'\0';
        text.remove_prefix(zero + 1);
    }
}

struct Override {
    const char* option;
    HRESULT (STDMETHODCALLTYPE IGlyphary::*put)(BSTR);
    const char* property;
};

constexpr Override kOverrides[] = {
    {"globalize-format", &IGlyphary::put_GlobalizeFormat, "put GlobalizeFormat"},
    {"globalize-undefined-format", &IGlyphary::put_GlobalizeUndefinedFormat,
     "put GlobalizeUndefinedFormat"},
    {"localize-pattern", &IGlyphary::put_LocalizePattern, "put LocalizePattern"},
    {"localize-undefined-format", &IGlyphary::put_LocalizeUndefinedFormat,
     "put LocalizeUndefinedFormat"},
};

int RunConversion(Session& session, const Arguments& args, Conversion method, const char* name) {
    Encoding encoding = Encoding::utf8;
    if (args.Has("encoding") && !ParseEncoding(args.Value("encoding"), encoding))
        throw UsageError("unknown encoding '" + args.Value("encoding") +
                         "': use utf-8, utf-16le or cp932");
    if (!args.Has("carrier"))
        throw UsageError("which carrier's emoji? add --carrier imode|ezweb|softbank|none|N");
    const EMapMode mode = ParseCarrier(args.Value("carrier"));
    std::vector<std::pair<const Override*, unique_bstr>> overrides;
    for (const Override& o : kOverrides)
        if (args.Has(o.option))
            overrides.emplace_back(&o, ArgumentBstr(o.option, args.Value(o.option)));

    const com_ptr<IGlyphary> object = session.module().Create();
    Check(object->put_MapMode(mode), "put MapMode");
    for (const auto& [o, value] : overrides)
        Check((object.get()->*(o->put))(value.get()), o->property);

    std::vector<std::string> inputs = args.Operands();
    if (inputs.empty()) inputs.push_back("-");
    int status = 0;
    for (const std::string& input : inputs) {
        const std::string shown = input == "-" ? "standard input" : input;
        try {
            const std::string bytes = ReadInput(input);
            std::u16string text;
            try {
                text = Decode(bytes, encoding);
            } catch (const EncodingError& e) {
                throw ToolError(shown + ": byte " + std::to_string(e.offset()) + ": " + e.what() +
                                " (is it " + EncodingName(encoding) + "? see --encoding)");
            }
            const std::u16string result = Convert(object.get(), method, name, text);
            std::string out;
            try {
                out = Encode(result, encoding);
            } catch (const EncodingError& e) {
                throw ToolError(shown + ": the result's unit " + std::to_string(e.offset()) +
                                " cannot be written in " + EncodingName(encoding) + ": " +
                                e.what());
            }
            WriteAll(STDOUT_FILENO, out, "standard output");
        } catch (const ComError& e) {
            Report(shown + ": " + e.what());
            status = 1;
        } catch (const ToolError& e) {
            Report(e.what());
            status = 1;
        }
    }
    return status;
}

}  // namespace

EMapMode ParseCarrier(const std::string& text) {
    if (text == "none") return MPM_none;
    if (text == "imode" || text == "i-mode" || text == "docomo") return MPM_imode;
    if (text == "ezweb" || text == "au") return MPM_ezweb;
    if (text == "softbank") return MPM_softbank;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        throw UsageError("unknown carrier '" + text +
                         "': use imode, ezweb, softbank, none or a mode number");
    return static_cast<EMapMode>(value);
}

std::string CarrierName(long mode) {
    switch (mode) {
        case MPM_none:
            return "none";
        case MPM_imode:
            return "imode";
        case MPM_ezweb:
            return "ezweb";
        case MPM_softbank:
            return "softbank";
    }
    return "mode " + std::to_string(mode);
}

int RunGlobalize(Session& session, const Arguments& args) {
    return RunConversion(session, args, &IGlyphary::Globalize, "Globalize");
}

int RunLocalize(Session& session, const Arguments& args) {
    return RunConversion(session, args, &IGlyphary::Localize, "Localize");
}

}  // namespace glyphary::tool
