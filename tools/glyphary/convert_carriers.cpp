// glyphary convert: one carrier's text shown on another carrier, or as standard emoji, and
// standard emoji shown on a carrier, through client::CarrierConverter. Files or stdin to
// stdout, in pieces: memory stays bounded whatever the size of the input.
#include <unistd.h>

#include <memory>

#include "client/carrier_convert.h"
#include "commands.h"
#include "io.h"

namespace glyphary::tool {
namespace {

using client::EncodingError;

// Bytes read from the input, and output bytes gathered before a write, at a time.
constexpr size_t kReadSize = size_t{1} << 20;
constexpr size_t kWriteSize = size_t{1} << 20;

// One of the tables a text can be written for: a carrier or standard Unicode.
EMapMode ParseTable(const std::string& option, const Arguments& args) {
    if (!args.Has(option))
        throw UsageError(
            "convert from which table to which? add --from and --to, each one of "
            "imode, ezweb, softbank or unicode");
    const EMapMode mode = ParseCarrier(args.Value(option));
    if (mode != MPM_imode && mode != MPM_ezweb && mode != MPM_softbank &&
        mode != client::kUnicodeMode)
        throw UsageError("--" + option + " " + args.Value(option) +
                         ": use imode, ezweb, softbank or unicode");
    return mode;
}

// One input converted to stdout through `converter`, whose sink calls `sink`. Output is
// written as it is converted; on a failure, what was not written yet is dropped.
void ConvertInput(client::CarrierConverter& converter, client::TextSink& sink, EMapMode from,
                  EMapMode to, client::Encoding encoding, const std::string& path) {
    InputStream input(path);
    // Shift_JIS follows the source carrier's layout on the way in, the target's on the way out.
    client::Decoder decoder(client::TextFormat{encoding, from, false});
    client::Encoder encoder(client::TextFormat{encoding, to, false});
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
    sink = [&](std::u16string_view piece) { encode(piece, false); };
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

}  // namespace

int RunConvert(Session& session, const Arguments& args) {
    client::Encoding encoding = client::Encoding::utf8;
    if (args.Has("encoding") && !client::ParseEncoding(args.Value("encoding"), encoding))
        throw UsageError("unknown encoding '" + args.Value("encoding") +
                         "': use utf-8, utf-16le or sjis");
    const EMapMode from = ParseTable("from", args);
    const EMapMode to = ParseTable("to", args);

    // One converter for every input: its set-up (two objects, and from unicode the pattern
    // built from the table) fails here, before any input is read, when the configuration
    // cannot serve. After a failed input the next one gets a fresh converter.
    Module& module = session.module();
    client::TextSink sink;
    const auto make = [&] {
        return std::make_unique<client::CarrierConverter>(
            module, from, to, [&sink](std::u16string_view piece) { sink(piece); });
    };
    std::unique_ptr<client::CarrierConverter> converter = make();

    std::vector<std::string> inputs = args.Operands();
    if (inputs.empty()) inputs.push_back("-");
    int status = 0;
    for (const std::string& input : inputs) {
        try {
            ConvertInput(*converter, sink, from, to, encoding, input);
            continue;
        } catch (const ComError& e) {
            Report((input == "-" ? "standard input" : input) + ": " + e.what());
        } catch (const ToolError& e) {
            Report(e.what());
        }
        status = 1;
        converter = make();
    }
    return status;
}

}  // namespace glyphary::tool
