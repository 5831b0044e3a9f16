// glyphary convert: one carrier's text shown on another carrier, or as standard emoji, and
// standard emoji shown on a carrier, through client::CarrierConverter. Files or stdin to
// stdout, in pieces: memory stays bounded whatever the size of the input.
#include <memory>

#include "client/carrier_convert.h"
#include "commands.h"
#include "text_io.h"

namespace glyphary::tool {
namespace {

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
void ConvertInput(client::CarrierConverter& converter, client::TextSink& sink,
                  const text::Format& in, const text::Format& out, bool showCodes,
                  const std::string& path) {
    text::TextPipe pipe(in, text::Errors::strict, out, text::Errors::strict, WriteToStdout,
                        showCodes);
    sink = [&pipe](std::u16string_view piece) { pipe.Take(piece); };
    PipeInput(path, pipe, converter, in, out);
}

}  // namespace

int RunConvert(Session& session, const Arguments& args) {
    const EMapMode from = ParseTable("from", args);
    const EMapMode to = ParseTable("to", args);
    // Shift_JIS follows the source carrier's layout on the way in, the target's on the way out.
    const text::Format in = TextFormatOf(args, from), out = TextFormatOf(args, to);

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
            ConvertInput(*converter, sink, in, out, args.Has("show-codes"), input);
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
