// Mail through ConvertEzwebMail, in memory.
#pragma once

#include <string>
#include <string_view>

#include "client/mail_lines.h"
#include "client/object.h"

namespace glyphary::client {

/// `message` converted by the object's ConvertEzwebMail. The module stops reading at the close
/// delimiter of a multipart message; whatever it leaves unread there (an epilogue, further
/// parts) is copied after its output byte for byte, from the first byte after the close
/// delimiter's line end, so nothing of the message is lost. Lines ended by LF alone (mail as
/// Linux stores it) go to the module as CR LF lines and come back with their LF; every other
/// line ends as the module ends it, so a message without such lines converts exactly as the
/// module converts it. Throws ComError when the conversion fails (nothing of it is returned
/// then).
std::string ConvertEzwebMail(Glyphary& object, std::string_view message);

/// The module's own output for `message` (lines ended by LF alone handed to it as CR LF
/// lines): one CR LF line per line it read, the last one read at the end of the input without
/// one. Throws ComError when the conversion fails.
std::string RunConvertEzwebMail(Glyphary& object, std::string_view message);

/// A line of the message beside what the module wrote for it.
struct ModuleLine {
    MailLine line;
    bool written = false;      ///< false: the module stopped before this line
    bool ended = false;        ///< the module wrote a line end after it
    std::string_view content;  ///< what it wrote for the line: as long as the line
};

/// Walks the lines of `message` beside `output`, the module's output for it, calling
/// `each(const ModuleLine&)` for each line up to and including the first one the module did
/// not write. Throws ClientError when `output` does not follow the message's lines.
template <class Each>
void ForEachModuleLine(std::string_view message, std::string_view output, Each each);

/// The line end the program writes after a line the module wrote and ended: LF for a line
/// that ended with LF alone, CR LF for any other; a line the input did not end (the module
/// ends a last header or delimiter line) takes the line end of the line before it.
std::string_view WrittenLineEnd(LineEnd ending, LineEnd before) noexcept;

// ---------------------------------------------------------------------------------------------

/// Throws the ClientError of an output that does not follow its input's lines.
[[noreturn]] void ModuleOutputMismatch();

template <class Each>
void ForEachModuleLine(std::string_view message, std::string_view output, Each each) {
    MailLines lines(message);
    ModuleLine m;
    size_t at = 0;  // where the module's bytes for the next line begin
    while (lines.Next(m.line)) {
        const size_t length = m.line.end - m.line.begin;
        // Every line but the last is written with CR LF; the last one with or without (a
        // header or delimiter line that ends the input gets one), or not at all.
        m.ended = output.size() - at >= length + 2;
        m.written = m.ended || (m.line.ending == LineEnd::none && output.size() - at >= length);
        if (!m.written) {
            m.content = {};
            each(static_cast<const ModuleLine&>(m));
            return;
        }
        m.content = output.substr(at, length);
        at += length;
        if (m.ended) {
            if (output.compare(at, 2, "\r\n") != 0) ModuleOutputMismatch();
            at += 2;
        }
        each(static_cast<const ModuleLine&>(m));
    }
    // The module writes no more than one empty line beyond the input's (after a header that
    // ends it).
    if (at != output.size()) ModuleOutputMismatch();
}

}  // namespace glyphary::client
