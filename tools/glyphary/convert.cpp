// glyphary globalize / localize: text from files or stdin, through the object, to stdout, in
// pieces: memory stays bounded whatever the size of the input.
#include <unistd.h>

#include <memory>

#include "client/display.h"
#include "client/text_converter.h"
#include "commands.h"
#include "io.h"

namespace glyphary::tool {
namespace {

using client::Encoding;
using client::EncodingError;
using client::Operation;
using client::Property;

// Bytes read from the input, and output bytes gathered before a write, at a time.
constexpr size_t kReadSize = size_t{1} << 20;
constexpr size_t kWriteSize = size_t{1} << 20;

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
    const Encoding encoding = format.encoding;
    InputStream input(path);
    client::Decoder decoder(format);
    client::Encoder encoder(format);
    std::string out;
    const auto encode = [&](std::u16string_view units, bool final) {
        try {
            encoder.Encode(units, final, out);
        } catch (const EncodingError& e) {
            throw ToolError(input.name() + ": the result's unit " + std::to_string(e.offset()) +
                            " cannot be written in " + client::EncodingName(encoding) + ": " +
                            e.what());
        }
        if (out.size() >= kWriteSize) {
            WriteAll(STDOUT_FILENO, out, "standard output");
            out.clear();
        }
    };
    std::u16string shown;
    client::TextConverter converter(object, operation, [&](std::u16string_view piece) {
        if (!showCodes) return encode(piece, false);
        shown.clear();
        client::AppendShowingCodes(piece, shown);
        encode(shown, false);
    });
    const auto decode = [&](std::string_view bytes, bool final) {
        try {
            char16_t* room = converter.Reserve(client::Decoder::Room(bytes.size()));
            converter.Commit(decoder.Decode(bytes, final, room));
        } catch (const EncodingError& e) {
            throw ToolError(input.name() + ": byte " + std::to_string(e.offset()) + ": " +
                            e.what() + " (is it " + client::EncodingName(encoding) +
                            "? see --encoding)");
        }
    };
    const auto buffer = std::make_unique_for_overwrite<char[]>(kReadSize);
    while (const size_t n = input.Read(buffer.get(), kReadSize)) decode({buffer.get(), n}, false);
    decode({}, true);
    converter.Finish();
    encode({}, true);
    WriteAll(STDOUT_FILENO, out, "standard output");
}

int RunConversion(Session& session, const Arguments& args, Operation operation) {
    Encoding encoding = Encoding::utf8;
    if (args.Has("encoding") && !client::ParseEncoding(args.Value("encoding"), encoding))
        throw UsageError("unknown encoding '" + args.Value("encoding") +
                         "': use utf-8, utf-16le or sjis");
    if (!args.Has("carrier"))
        throw UsageError(
            "which carrier's emoji? add --carrier imode|ezweb|softbank|unicode|none|N");
    const EMapMode mode = ParseCarrier(args.Value("carrier"));

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
            ConvertInput(object, operation, {encoding, mode, false}, args.Has("show-codes"), input);
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
