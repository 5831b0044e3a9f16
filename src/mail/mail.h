// EZweb mail conversion: a raw mail message copied from one stream to another line by line,
// with the emoji codes inside the ISO-2022-JP text of its text/plain parts replaced by the
// codes of EzwebMailCodeMap. Mail text is bytes throughout; nothing is decoded.
#pragma once

#include <string>
#include <string_view>

#include "platform/own_memory_stream.h"
#include "platform/win.h"
#include "mail/transcode.h"
#include "tables/tables.h"

namespace glyphary {

/// Overwrites, in place, every two-byte code inside the ISO-2022-JP runs of `line` (ESC $ ..
/// ESC ( on the same line) that `map` knows with its replacement. The length never changes.
inline void TranscodeEmojiLine(std::string& line, const EzwebMailCodeMap& map) {
    TranscodeEmojiLine(line.data(), line.size(), map);
}
/// The same with the shared EzwebMailCodeMap.
inline void TranscodeEmojiLine(std::string& line) {
    TranscodeEmojiLine(line, g_tables.ezwebMailCodeMap);
}

/// The input side of a conversion: the stream, and the byte that followed a bare CR. That
/// byte is kept for the next line instead of being dropped as if it were the LF.
struct MailInput {
    explicit MailInput(IStream* stream) noexcept : pStm(stream) {}
    IStream* pStm;
    // pStm when it is the platform's memory stream (its Read is then called directly).
    platform::MemoryStream* memory = platform::OwnMemoryStream(pStm);
    int held = -1;                   // the first byte of the next line, already read; -1 when none
    const wchar_t* fault = nullptr;  // why the message did not fit, once it did not

    /// Records why the message does not fit and returns E_FAIL.
    HRESULT Fault(const wchar_t* why) noexcept {
        fault = why;
        return E_FAIL;
    }
};

/// Reads the next line into `line` (without its line end), one byte per Read. S_OK: a line
/// ended by CR (the LF after it is consumed). S_FALSE: the input ended, and `line` holds
/// what was read since the last line end. A failure: the stream's code; `line` is unusable.
HRESULT ReadMailLine(MailInput& input, std::string& line);

/// Writes `text` as it is (a Write of 0 bytes for empty text). S_OK or the failing code.
/// Text longer than a Write can carry goes out in several Writes.
HRESULT WriteMailText(IStream* pStmOUT, std::string_view text);

/// Writes `line` and then CR LF. S_OK, or the code of the first Write that failed.
HRESULT WriteMailLine(IStream* pStmOUT, std::string_view line);

/// The walk over the parts of a multipart/mixed body, from just after its first delimiter
/// line: header lines copied, text/plain iso-2022-jp bodies transcoded, other bodies copied,
/// up to and including the close delimiter line ("--" boundary "--").
HRESULT ConvertMailParts(MailInput& input, IStream* pStmOUT, const std::string& boundary);

/// Converts one mail message from `pStmIN` to `pStmOUT` (both non-null). S_OK when it ran
/// to its end; a stream's own failure code; E_FAIL for a message whose structure does not
/// fit, with the reason in `*pFault` (null otherwise). Throws std::bad_alloc when memory
/// runs out, and whatever Boost.Regex throws.
HRESULT ConvertEzwebMail(IStream* pStmIN, IStream* pStmOUT, const wchar_t** pFault = nullptr);

}  // namespace glyphary
