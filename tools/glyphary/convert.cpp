// glyphary globalize / localize: text from files or stdin, through the object, to stdout, in
// pieces: memory stays bounded whatever the size of the input.
#include "client/text_converter.h"
#include "commands.h"
#include "text_io.h"

namespace glyphary::tool {
namespace {

using client::Encoding;
using client::EncodingError;
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
void ConvertInput(client::Glyphary& object, Operation operation, const client::TextFormat& format,
                  bool showCodes, const std::string& path) {
    client::TextPipe pipe(format, format, showCodes, WriteToStdout);
    client::TextConverter converter(object, operation,
                                    [&pipe](std::u16string_view piece) { pipe.Take(piece); });
    PipeInput(path, pipe, converter, format, format);
}

int RunConversion(Session& session, const Arguments& args, Operation operation) {
    if (!args.Has("carrier"))
        throw UsageError(
            "which carrier's emoji? add --carrier imode|ezweb|softbank|unicode|none|N");
    const EMapMode mode = ParseCarrier(args.Value("carrier"));
    const client::TextFormat format = TextFormatOf(args, mode);

    // Options are checked by the module's own rules before anything is read.
    std::vector<std::pair<Property, std::u16string>> overrides;
    for (const Override& o : kOverrides) {
        if (!args.Has(o.option)) continue;
        std::u16string value;
        try {
            value = client::Decode(args.Value(o.option), {});
        } catch (const EncodingError&) {
            throw UsageError(std::string("the value of --") + o.option + " is not UTF-8");
        }
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
client::TextFormat TextFormatOf(const Arguments& args, EMapMode mode) {
    client::TextFormat format{client::Encoding::utf8, mode, args.Has("ncr")};
    if (args.Has("encoding") && !client::ParseEncoding(args.Value("encoding"), format.encoding))
        throw UsageError("unknown encoding '" + args.Value("encoding") +
                         "': use utf-8, utf-16le or sjis");
    try {
        client::CheckTextFormat(format);
    } catch (const ToolError& e) {
        throw UsageError(e.what());
    }
    return format;
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
