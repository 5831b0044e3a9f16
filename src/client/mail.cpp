#include "client/mail.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "client/errors.h"

namespace glyphary::client {
namespace {

// Stream counts are 32 bits: big messages travel in pieces.
constexpr size_t kPiece = size_t{1} << 30;

struct ModuleResult {
    std::string output;
    size_t stopped = 0;  // where the module stopped reading
};

// A memory stream that cannot grow says so with STG_E_MEDIUMFULL: that is memory running out.
void CheckMemory(HRESULT hr, const char* operation) {
    if (hr == STG_E_MEDIUMFULL || hr == E_OUTOFMEMORY) throw std::bad_alloc();
    Check(hr, operation);
}

ModuleResult RunModule(Glyphary& object, std::string_view message) {
    com_ptr<IStream> in, out;
    Check(CreateStreamOnHGlobal(nullptr, TRUE, in.put()), "CreateStreamOnHGlobal");
    Check(CreateStreamOnHGlobal(nullptr, TRUE, out.put()), "CreateStreamOnHGlobal");
    for (size_t at = 0; at < message.size(); at += kPiece) {
        const auto n = static_cast<ULONG>(std::min(kPiece, message.size() - at));
        CheckMemory(in->Write(message.data() + at, n, nullptr), "writing the message to memory");
    }
    const LARGE_INTEGER zero{};
    Check(in->Seek(zero, STREAM_SEEK_SET, nullptr), "rewinding the message");

    Check(object.get()->ConvertEzwebMail(in.get(), out.get()), "ConvertEzwebMail");

    ULARGE_INTEGER unread{}, size{};
    Check(in->Seek(zero, STREAM_SEEK_CUR, &unread), "finding where the conversion stopped");
    Check(out->Seek(zero, STREAM_SEEK_END, &size), "measuring the result");
    Check(out->Seek(zero, STREAM_SEEK_SET, nullptr), "rewinding the result");
    ModuleResult result;
    result.stopped = std::min<size_t>(unread.QuadPart, message.size());
    result.output.assign(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t at = 0; at < result.output.size(); at += kPiece) {
        const auto n = static_cast<ULONG>(std::min(kPiece, result.output.size() - at));
        ULONG got = 0;
        Check(out->Read(result.output.data() + at, n, &got), "reading the result");
        if (got != n) Check(E_FAIL, "reading the result");
    }
    return result;
}

// A message as the module reads it: lines end at CR, whose next byte is taken for LF. Mail
// stored on Linux (Maildir, mbox exports) ends lines with LF alone, which the module would
// read as one long line; each such LF goes to the module as CR LF instead.
struct LineEnds {
    std::string forModule;           // with CR before every LF that lacks one (if any does)
    std::vector<bool> bareLf;        // per line the module reads: whether it ended with LF alone
    std::vector<size_t> insertedAt;  // offsets in forModule of the CRs added, in order
};

LineEnds ReadLineEnds(std::string_view message) {
    LineEnds ends;
    const auto next = [&](char c, size_t from) {
        const void* at = from < message.size()
                             ? std::memchr(message.data() + from, c, message.size() - from)
                             : nullptr;
        return at ? static_cast<size_t>(static_cast<const char*>(at) - message.data())
                  : message.size();
    };
    size_t i = 0, cr = next('\r', 0), lf = next('\n', 0), copied = 0;
    while (i < message.size()) {
        if (cr < i) cr = next('\r', i);
        if (lf < i) lf = next('\n', i);
        if (cr < lf) {  // CR ends the line, and the byte after it goes with it
            ends.bareLf.push_back(false);
            i = cr + 2;
        } else if (lf < message.size()) {
            ends.forModule.append(message.substr(copied, lf - copied));
            ends.insertedAt.push_back(ends.forModule.size());
            ends.forModule.append("\r\n");
            ends.bareLf.push_back(true);
            copied = i = lf + 1;
        } else {
            break;  // the last line, without a line end
        }
    }
    if (!ends.insertedAt.empty()) ends.forModule.append(message.substr(copied));
    return ends;
}

}  // namespace

std::string ConvertEzwebMail(Glyphary& object, std::string_view message) {
    const LineEnds ends = ReadLineEnds(message);
    if (ends.insertedAt.empty()) {  // CR LF throughout: exactly as the module does it
        ModuleResult r = RunModule(object, message);
        r.output.append(message.substr(r.stopped));
        return std::move(r.output);
    }
    const ModuleResult r = RunModule(object, ends.forModule);

    // The module writes one line for each line it reads, in order, each ended by CR LF (the
    // last one read at the end of the input without one). Each gets its own line end back; a
    // line the module adds (the empty line after a header that ends the input) gets the line
    // end of the line before it.
    std::string result;
    result.reserve(r.output.size());
    size_t line = 0, at = 0;
    while (at < r.output.size()) {
        const size_t end = r.output.find("\r\n", at);
        if (end == std::string::npos) {
            result.append(r.output, at);
            break;
        }
        result.append(r.output, at, end - at);
        const bool lf = ends.bareLf[std::min(line, ends.bareLf.size() - 1)];
        result.append(lf ? "\n" : "\r\n");
        ++line;
        at = end + 2;
    }
    // What the module left unread, from the message itself.
    const size_t added = static_cast<size_t>(
        std::lower_bound(ends.insertedAt.begin(), ends.insertedAt.end(), r.stopped) -
        ends.insertedAt.begin());
    result.append(message.substr(std::min(message.size(), r.stopped - added)));
    return result;
}

}  // namespace glyphary::client
