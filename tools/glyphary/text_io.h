// The text commands' input and output: a file (or stdin) through a converter to stdout, in
// pieces, with messages that name the input and the side that failed.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>

#include "text/text_pipe.h"
#include "commands.h"
#include "io.h"

namespace glyphary::tool {

/// The format of input or output from --encoding and --ncr, for text of map mode `mode`.
/// UsageError for an unknown encoding, or one that cannot carry that mode's text.
text::Format TextFormatOf(const Arguments& args, EMapMode mode);

/// Output bytes to stdout, for a TextPipe.
inline void WriteToStdout(std::string_view bytes) {
    WriteAll(STDOUT_FILENO, bytes, "standard output");
}

/// All of `path` ("-": stdin) into `converter` (Reserve, Commit, Finish; its sink hands the
/// converted text to `pipe.Take`) through `pipe`, which writes to stdout as it goes. `in` and
/// `out` are the pipe's formats, for messages. Throws ToolError for text that does not decode
/// or cannot be written, and whatever the converter throws.
template <class Converter>
void PipeInput(const std::string& path, text::TextPipe& pipe, Converter& converter,
               const text::Format& in, const text::Format& out) {
    constexpr size_t kReadSize = size_t{1} << 20;
    InputStream input(path);
    try {
        const auto buffer = std::make_unique_for_overwrite<char[]>(kReadSize);
        while (const size_t n = input.Read(buffer.get(), kReadSize))
            pipe.Feed(converter, {buffer.get(), n}, false);
        pipe.Feed(converter, {}, true);
        converter.Finish();
        pipe.Finish();
    } catch (const text::InputEncodingError& e) {
        throw ToolError(input.name() + ": byte " + std::to_string(e.offset()) + ": " + e.what() +
                        " (is it " + text::EncodingName(in.encoding) + "? see --encoding)");
    } catch (const text::OutputEncodingError& e) {
        throw ToolError(input.name() + ": the result's unit " + std::to_string(e.offset()) +
                        " cannot be written in " + text::EncodingName(out.encoding) + ": " +
                        e.what());
    }
}

}  // namespace glyphary::tool
