// The mail message, line by line from one stream to the other: the main header, then either
// a single body or the parts of a multipart/mixed body.
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include <boost/regex.hpp>

#include "mail/mail.h"
#include "platform/owners.h"

namespace glyphary {

// ---------------------------------------------------------------------------------------------
// Lines

namespace {

// ReadMailLine through the stream's Read, one byte per call. Each byte is read straight into
// a small block where the line gathers, and the block joins the line when full or when the
// line ends: cheaper than a push_back (and its terminator) per byte.
HRESULT ReadLine(MailInput& input, std::string& line) {
    IStream* const stream = input.pStm;
    line.clear();
    char block[256];
    size_t used = 0;  // bytes before block[used]; block[used] is the byte just read
    if (input.held >= 0) {
        block[0] = static_cast<char>(input.held);
        input.held = -1;
    } else {
        ULONG count = 0;
        RETURN_IF_FAILED(stream->Read(block, 1, &count));
        if (count != 1) return S_FALSE;
    }
    while (block[used] != '\r') {
        if (++used == sizeof block) {
            line.append(block, used);
            used = 0;
        }
        ULONG count = 0;
        RETURN_IF_FAILED(stream->Read(block + used, 1, &count));
        if (count != 1) {
            line.append(block, used);
            return S_FALSE;
        }
    }
    line.append(block, used);
    // The byte after CR is the LF of a CR LF pair and is dropped; whether that Read fails or
    // finds the end does not matter here. Any other byte begins the next line: bare-CR mail
    // keeps every byte.
    BYTE next = 0;
    ULONG count = 0;
    const HRESULT hr = stream->Read(&next, 1, &count);
    if (SUCCEEDED(hr) && count == 1 && next != '\n') input.held = next;
    return S_OK;
}

// ReadLine on the platform's memory stream, whose bytes are in memory: the line end is found
// with one search of its buffer, and the position moves over exactly the bytes ReadLine's
// one-byte Reads would have taken (the line, its CR, and the byte after the CR). A Read of
// this stream never fails.
HRESULT ReadLineInMemory(MailInput& input, platform::MemoryStream& memory, std::string& line) {
    line.clear();
    const std::span<const BYTE> rest = memory.Unread();
    const auto* const data = reinterpret_cast<const char*>(rest.data());
    size_t next = 0;  // in `rest`: the byte after the line's CR
    if (input.held == '\r') {
        input.held = -1;  // an empty line
    } else {
        if (input.held >= 0) {
            line.push_back(static_cast<char>(input.held));
            input.held = -1;
        }
        if (rest.empty()) return S_FALSE;
        const void* const cr = std::memchr(data, '\r', rest.size());
        if (!cr) {
            line.append(data, rest.size());
            memory.Consume(rest.size());
            return S_FALSE;
        }
        const auto length = static_cast<size_t>(static_cast<const char*>(cr) - data);
        line.append(data, length);
        next = length + 1;
    }
    if (next < rest.size()) {
        if (data[next] != '\n') input.held = static_cast<BYTE>(data[next]);
        ++next;
    }
    memory.Consume(next);
    return S_OK;
}

}  // namespace

HRESULT ReadMailLine(MailInput& input, std::string& line) {
    if (platform::MemoryStream* const memory = input.memory)
        return ReadLineInMemory(input, *memory, line);
    return ReadLine(input, line);
}

namespace {

// The output stream, and whether it is the platform's memory stream: looked up once for a
// message, not for every Write.
struct MailOutput {
    explicit MailOutput(IStream* stream) noexcept
        : pStm(stream), memory(platform::OwnMemoryStream(stream)) {}
    IStream* pStm;
    platform::MemoryStream* memory;
};

HRESULT WriteText(const MailOutput& out, std::string_view text) {
    // Write's count is 32 bits: a longer line goes out in pieces, never cut short.
    constexpr size_t kMaxWrite = std::numeric_limits<ULONG>::max();
    const char* data = text.empty() ? "" : text.data();
    size_t left = text.size();
    do {
        const auto piece = static_cast<ULONG>(std::min(left, kMaxWrite));
        ULONG written = 0;
        // The platform's memory stream has the same Write called directly, inlined.
        RETURN_IF_FAILED(out.memory
                             ? out.memory->platform::MemoryStream::Write(data, piece, &written)
                             : out.pStm->Write(data, piece, &written));
        data += piece;
        left -= piece;
    } while (left > 0);
    return S_OK;
}

HRESULT WriteLine(const MailOutput& out, std::string_view line) {
    RETURN_IF_FAILED(WriteText(out, line));
    return WriteText(out, "\r\n");
}

}  // namespace

HRESULT WriteMailText(IStream* pStmOUT, std::string_view text) {
    return WriteText(MailOutput(pStmOUT), text);
}

HRESULT WriteMailLine(IStream* pStmOUT, std::string_view line) {
    return WriteLine(MailOutput(pStmOUT), line);
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
    const MailOutput out(pStmOUT);
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
            RETURN_IF_FAILED(WriteLine(out, line));
        }
        RETURN_IF_FAILED(WriteLine(out, {}));

        // Part body, up to the next delimiter; nothing after the close delimiter is read.
        for (;;) {
            const HRESULT hr = ReadMailLine(input, line);
            if (FAILED(hr)) return hr;
            if (line == delimiter) {
                RETURN_IF_FAILED(WriteLine(out, line));
                break;
            }
            if (line == closeDelimiter) return WriteLine(out, line);
            if (text) TranscodeEmojiLine(line);
            if (hr == S_FALSE) return WriteText(out, line);
            RETURN_IF_FAILED(WriteLine(out, line));
        }
    }
}

namespace {

// The empty line and the first delimiter that open a multipart body. Any failure here,
// the streams' included, is E_FAIL: the message is not one we can walk.
HRESULT ConvertMultipart(MailInput& input, IStream* pStmOUT, const std::string& boundary) {
    const MailOutput out(pStmOUT);
    const std::string delimiter = "--" + boundary;
    std::string line;
    const bool opened = SUCCEEDED(ReadMailLine(input, line)) && line.empty() &&
                        SUCCEEDED(WriteLine(out, line)) && SUCCEEDED(ReadMailLine(input, line)) &&
                        line == delimiter && SUCCEEDED(WriteLine(out, line));
    if (!opened) {
        return input.Fault(
            L"A multipart mail message must go on from its header with an empty line and then "
            L"its first delimiter line, read and written without failure.");
    }
    return ConvertMailParts(input, pStmOUT, boundary);
}

HRESULT ConvertSinglePart(MailInput& input, IStream* pStmOUT, bool text) {
    const MailOutput out(pStmOUT);
    std::string line;
    for (;;) {
        const HRESULT hr = ReadMailLine(input, line);
        if (FAILED(hr)) return hr;
        if (text) TranscodeEmojiLine(line);
        if (hr == S_FALSE) return WriteText(out, line);
        RETURN_IF_FAILED(WriteLine(out, line));
    }
}

HRESULT ConvertMessage(MailInput& input, IStream* pStmOUT) {
    const MailOutput out(pStmOUT);
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
        RETURN_IF_FAILED(WriteLine(out, line));
    }
    // The empty line that ended the header (or the end of the input, standing for it).
    RETURN_IF_FAILED(WriteLine(out, {}));
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
