// glyphary globalize / localize: text from files or stdin, through the object, to stdout, in
// pieces: memory stays bounded whatever the size of the input.
#include "client/text_converter.h"
#include "commands.h"
#include "text_io.h"

namespace glyphary::tool {
namespace {

using client::Operation;
using client::Property;

struct Override {
    const char* option;
    Property property;
};

constexpr Override kOverrides[] = {
    {"globalize-format", Property::globalizeFormat},
    {"globalize-undefined-format", Property::globalizeUndefinedFormat},
    {"localize-pattern", Property::localizePattern},
    {"localize-undefined-format", Property::localizeUndefinedFormat},
};

// The properties a call of `operation` reads.
std::vector<Property> PropertiesOf(Operation operation) {
    if (operation == Operation::globalize)
        return {Property::globalizeFormat, Property::globalizeUndefinedFormat};
    return {Property::localizePattern, Property::localizeUndefinedFormat};
}

// One input converted to stdout. Output is written as it is converted; on a failure, what was
// not written yet is dropped.
void ConvertInput(client::Glyphary& object, Operation operation, const text::Format& format,
                  bool showCodes, const std::string& path) {
    text::TextPipe pipe(format, text::Errors::strict, format, text::Errors::strict, WriteToStdout,
                        showCodes);
    client::TextConverter converter(object, operation,
                                    [&pipe](std::u16string_view piece) { pipe.Take(piece); });
    PipeInput(path, pipe, converter, format, format);
}

int RunConversion(Session& session, const Arguments& args, Operation operation) {
    if (!args.Has("carrier"))
        throw UsageError(
            "which carrier's emoji? add --carrier imode|ezweb|softbank|unicode|none|N");
    const EMapMode mode = ParseCarrier(args.Value("carrier"));
    const text::Format format = TextFormatOf(args, mode);

    // Options are checked by the module's own rules before anything is read.
    std::vector<std::pair<Property, std::u16string>> overrides;
    for (const Override& o : kOverrides) {
        if (!args.Has(o.option)) continue;
        const std::optional<std::u16string> decoded =
            text::Utf16FromUtf8(args.Value(o.option), text::Errors::strict);
        if (!decoded) throw UsageError(std::string("the value of --") + o.option + " is not UTF-8");
        std::u16string value = *decoded;
        try {
            client::CheckProperty(o.property, value);
        } catch (const ToolError& e) {
            throw UsageError(std::string("--") + o.option + ": " + e.what());
        }
        overrides.emplace_back(o.property, std::move(value));
    }

    client::Glyphary object(session.module().Create());
    session.WarnIfUnconfigured();
    object.SetMapMode(mode);
    for (const auto& [property, value] : overrides) object.Put(property, value);
    // The defaults from Glyphary.setting, by the same rules, so that no input is half
    // converted before an unusable default shows.
    for (const Property property : PropertiesOf(operation)) {
        try {
            client::CheckProperty(property, object.Get(property));
        } catch (const ToolError& e) {
            throw ToolError("the default " + std::string(e.what()) + " (from " +
                            session.module().SettingsPath().string() + ")");
        }
    }

    std::vector<std::string> inputs = args.Operands();
    if (inputs.empty()) inputs.push_back("-");
    int status = 0;
    for (const std::string& input : inputs) {
        try {
            ConvertInput(object, operation, format, args.Has("show-codes"), input);
        } catch (const ComError& e) {
            Report((input == "-" ? "standard input" : input) + ": " + e.what());
            status = 1;
        } catch (const ToolError& e) {
            Report(e.what());
            status = 1;
        }
    }
    return status;
}

}  // namespace

// The format of input and output from --encoding and --ncr, for text of map mode `mode`.
text::Format TextFormatOf(const Arguments& args, EMapMode mode) {
    const std::optional<text::Encoding> encoding =
        args.Has("encoding") ? text::ParseEncoding(args.Value("encoding")) : text::Encoding::utf8;
    if (!encoding)
        throw UsageError("unknown encoding '" + args.Value("encoding") +
                         "': use utf-8, utf-16le or sjis");
    try {
        return client::TextFormat(*encoding, mode, args.Has("ncr"));
    } catch (const ToolError& e) {
        throw UsageError(e.what());
    }
}

EMapMode ParseCarrier(const std::string& text) {
    const std::optional<EMapMode> mode = client::ParseCarrier(text);
    if (!mode) throw UsageError("unknown carrier '" + text + "': use " + client::kCarrierNames);
    return *mode;
}

int RunGlobalize(Session& session, const Arguments& args) {
    return RunConversion(session, args, Operation::globalize);
}

int RunLocalize(Session& session, const Arguments& args) {
    return RunConversion(session, args, Operation::localize);
}

}  // namespace glyphary::tool
