// The mail message, line by line from one stream to the other: the main header, then either
// a single body or the parts of a multipart/mixed body.
#include <algorithm>
#include <limits>
#include <optional>

#include <boost/regex.hpp>

#include "mail/mail.h"
#include "platform/owners.h"

namespace glyphary {

// ---------------------------------------------------------------------------------------------
// Lines

namespace {

// ReadMailLine over `read(byte, count)`, which reads one byte from the input stream.
template <class ReadByte>
HRESULT ReadLine(MailInput& input, std::string& line, ReadByte read) {
    line.clear();
    // Bytes gather in a small buffer and join the line in blocks: cheaper than a push_back
    // (and its terminator) per byte. Every byte is still its own Read.
    char block[256];
    size_t used = 0;
    BYTE byte = 0;
    if (input.held >= 0) {
        byte = static_cast<BYTE>(input.held);
        input.held = -1;
    } else {
        ULONG count = 0;
        const HRESULT hr = read(byte, count);
        if (FAILED(hr)) return hr;
        if (count != 1) return S_FALSE;
    }
    for (;;) {
        if (byte == '\r') {
            line.append(block, used);
            // The byte after CR is the LF of a CR LF pair and is dropped; whether that Read
            // fails or finds the end does not matter here. Any other byte begins the next
            // line: bare-CR mail keeps every byte.
            BYTE next = 0;
            ULONG count = 0;
            const HRESULT hr = read(next, count);
            if (SUCCEEDED(hr) && count == 1 && next != '\n') input.held = next;
            return S_OK;
        }
        block[used++] = static_cast<char>(byte);
        if (used == sizeof block) {
            line.append(block, used);
            used = 0;
        }
        ULONG count = 0;
        const HRESULT hr = read(byte, count);
        if (FAILED(hr)) return hr;
        if (count != 1) {
            line.append(block, used);
            return S_FALSE;
        }
    }
}

}  // namespace

HRESULT ReadMailLine(MailInput& input, std::string& line) {
    // The platform's memory stream has its Read called directly, which lets it be inlined
    // into the loop: the per-byte call through the vtable is most of the cost of a line.
    if (platform::MemoryStream* const memory = input.memory) {
        return ReadLine(input, line, [memory](BYTE& byte, ULONG& count) {
            return memory->platform::MemoryStream::Read(&byte, 1, &count);
        });
    }
    IStream* const stream = input.pStm;
    return ReadLine(input, line,
                    [stream](BYTE& byte, ULONG& count) { return stream->Read(&byte, 1, &count); });
}

HRESULT WriteMailText(IStream* pStmOUT, std::string_view text) {
    // Write's count is 32 bits: a longer line goes out in pieces, never cut short.
    constexpr size_t kMaxWrite = std::numeric_limits<ULONG>::max();
    const char* data = text.empty() ? "" : text.data();
    size_t left = text.size();
    do {
        const auto piece = static_cast<ULONG>(std::min(left, kMaxWrite));
        ULONG written = 0;
        RETURN_IF_FAILED(pStmOUT->Write(data, piece, &written));
        data += piece;
        left -= piece;
    } while (left > 0);
    return S_OK;
}

HRESULT WriteMailLine(IStream* pStmOUT, std::string_view line) {
    RETURN_IF_FAILED(WriteMailText(pStmOUT, line));
    return WriteMailText(pStmOUT, "\r\n");
}

// ---------------------------------------------------------------------------------------------
// Header lines

namespace {

// Both patterns must match the whole line; letter case is free. They are constant, so they
// are compiled once for the process (matching with a const regex is thread-safe).
const boost::regex& TextPattern() {
    static const boost::regex pattern(
        R"re(Content-Type:\s*text/plain;\s*charset="?iso-2022-jp"?)re",
        boost::regex_constants::icase);
    return pattern;
}
const boost::regex& MultipartPattern() {
    static const boost::regex pattern(
        R"re(Content-Type:\s*multipart/mixed;\s*boundary="?([^"]*)"?)re",
        boost::regex_constants::icase);
    return pattern;
}

bool IsTextHeader(const std::string& line) {
    return boost::regex_match(line, TextPattern());
}

// The boundary a multipart/mixed header line declares, in its own letter case.
std::optional<std::string> MultipartBoundary(const std::string& line) {
    boost::smatch match;
    if (!boost::regex_match(line, match, MultipartPattern())) return std::nullopt;
    return match.str(1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Bodies

HRESULT ConvertMailParts(MailInput& input, IStream* pStmOUT, const std::string& boundary) {
    const std::string delimiter = "--" + boundary;
    const std::string closeDelimiter = delimiter + "--";
    std::string line;
    for (;;) {
        // Part header. A nested multipart part is copied like any other part.
        bool text = false;
        for (;;) {
            const HRESULT hr = ReadMailLine(input, line);
            if (FAILED(hr)) return hr;
            if (line.empty()) break;
            if (hr == S_FALSE) return input.Fault(L"The mail message ends inside a part header.");
            if (IsTextHeader(line)) text = true;
            RETURN_IF_FAILED(WriteMailLine(pStmOUT, line));
        }
        RETURN_IF_FAILED(WriteMailLine(pStmOUT, {}));

        // Part body, up to the next delimiter; nothing after the close delimiter is read.
        for (;;) {
            const HRESULT hr = ReadMailLine(input, line);
            if (FAILED(hr)) return hr;
            if (line == delimiter) {
                RETURN_IF_FAILED(WriteMailLine(pStmOUT, line));
                break;
            }
            if (line == closeDelimiter) return WriteMailLine(pStmOUT, line);
            if (text) TranscodeEmojiLine(line);
            if (hr == S_FALSE) return WriteMailText(pStmOUT, line);
            RETURN_IF_FAILED(WriteMailLine(pStmOUT, line));
        }
    }
}

namespace {

// The empty line and the first delimiter that open a multipart body. Any failure here,
// the streams' included, is E_FAIL: the message is not one we can walk.
HRESULT ConvertMultipart(MailInput& input, IStream* pStmOUT, const std::string& boundary) {
    const std::string delimiter = "--" + boundary;
    std::string line;
    const bool opened = SUCCEEDED(ReadMailLine(input, line)) && line.empty() &&
                        SUCCEEDED(WriteMailLine(pStmOUT, line)) &&
                        SUCCEEDED(ReadMailLine(input, line)) && line == delimiter &&
                        SUCCEEDED(WriteMailLine(pStmOUT, line));
    if (!opened) {
        return input.Fault(
            L"A multipart mail message must go on from its header with an empty line and then "
            L"its first delimiter line, read and written without failure.");
    }
    return ConvertMailParts(input, pStmOUT, boundary);
}

HRESULT ConvertSinglePart(MailInput& input, IStream* pStmOUT, bool text) {
    std::string line;
    for (;;) {
        const HRESULT hr = ReadMailLine(input, line);
        if (FAILED(hr)) return hr;
        if (text) TranscodeEmojiLine(line);
        if (hr == S_FALSE) return WriteMailText(pStmOUT, line);
        RETURN_IF_FAILED(WriteMailLine(pStmOUT, line));
    }
}

HRESULT ConvertMessage(MailInput& input, IStream* pStmOUT) {
    std::string line;
    bool text = false;
    bool multipart = false;
    std::string boundary;
    for (;;) {
        const HRESULT hr = ReadMailLine(input, line);
        if (FAILED(hr)) return hr;
        if (line.empty()) break;
        if (hr == S_FALSE) {  // that line is not written
            return input.Fault(L"The mail message ends inside its header.");
        }
        if (IsTextHeader(line)) {
            text = true;
        } else if (auto declared = MultipartBoundary(line)) {
            multipart = true;
            boundary = std::move(*declared);  // a later declaration wins
        }
        RETURN_IF_FAILED(WriteMailLine(pStmOUT, line));
    }
    // The empty line that ended the header (or the end of the input, standing for it).
    RETURN_IF_FAILED(WriteMailLine(pStmOUT, {}));
    if (multipart) return ConvertMultipart(input, pStmOUT, boundary);
    return ConvertSinglePart(input, pStmOUT, text);
}

}  // namespace

HRESULT ConvertEzwebMail(IStream* pStmIN, IStream* pStmOUT, const wchar_t** pFault) {
    MailInput input(pStmIN);
    const HRESULT hr = ConvertMessage(input, pStmOUT);
    if (pFault) *pFault = input.fault;
    return hr;
}

}  // namespace glyphary
