#include "client/mail.h"

#include <algorithm>
#include <new>

#include "client/errors.h"

namespace glyphary::client {
namespace {

// Stream counts are 32 bits: big messages travel in pieces.
constexpr size_t kPiece = size_t{1} << 30;

// A memory stream that cannot grow says so with STG_E_MEDIUMFULL: that is memory running out.
void CheckMemory(HRESULT hr, const char* operation) {
    if (hr == STG_E_MEDIUMFULL || hr == E_OUTOFMEMORY) throw std::bad_alloc();
    Check(hr, operation);
}

std::string RunModule(Glyphary& object, std::string_view message) {
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
    in.reset();  // the message's copy goes before the result's

    ULARGE_INTEGER size{};
    Check(out->Seek(zero, STREAM_SEEK_END, &size), "measuring the result");
    Check(out->Seek(zero, STREAM_SEEK_SET, nullptr), "rewinding the result");
    std::string output(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t at = 0; at < output.size(); at += kPiece) {
        const auto n = static_cast<ULONG>(std::min(kPiece, output.size() - at));
        ULONG got = 0;
        Check(out->Read(output.data() + at, n, &got), "reading the result");
        if (got != n) Check(E_FAIL, "reading the result");
    }
    return output;
}

// The message with CR before every LF that lacks one, so that the module, which ends lines
// at CR only, reads the lines the program reads; empty when no line ends with LF alone.
std::string ForModule(std::string_view message) {
    std::string text;
    MailLines lines(message);
    size_t copied = 0;
    for (MailLine line; lines.Next(line);) {
        if (line.ending != LineEnd::lf) continue;
        if (text.empty()) text.reserve(message.size() + message.size() / 16);
        text.append(message.substr(copied, line.end - copied)).append("\r\n");
        copied = line.next;
    }
    if (copied > 0) text.append(message.substr(copied));
    return text;
}

}  // namespace

void ModuleOutputMismatch() {
    throw ClientError("the module's output does not follow the lines of the message");
}

std::string_view WrittenLineEnd(LineEnd ending, LineEnd before) noexcept {
    if (ending == LineEnd::none) ending = before;
    return ending == LineEnd::lf ? "\n" : "\r\n";
}

std::string RunConvertEzwebMail(Glyphary& object, std::string_view message) {
    const std::string forModule = ForModule(message);
    return RunModule(object, forModule.empty() ? message : forModule);
}

std::string ConvertEzwebMail(Glyphary& object, std::string_view message) {
    const std::string output = RunConvertEzwebMail(object, message);
    std::string result;
    result.reserve(message.size() + 2);
    LineEnd before = LineEnd::crlf;
    ForEachModuleLine(message, output, [&](const ModuleLine& m) {
        if (!m.written) {  // what the module left unread, from the message itself
            result.append(message.substr(m.line.begin));
            return;
        }
        result.append(m.content);
        if (m.ended) result.append(WrittenLineEnd(m.line.ending, before));
        before = m.line.ending;
    });
    return result;
}

}  // namespace glyphary::client
