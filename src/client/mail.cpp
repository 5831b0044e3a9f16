#include "client/mail.h"

#include <algorithm>

#include "client/errors.h"

namespace glyphary::client {

std::string ConvertEzwebMail(Glyphary& object, std::string_view message) {
    // Stream counts are 32 bits: big messages travel in pieces.
    constexpr size_t kPiece = size_t{1} << 30;
    com_ptr<IStream> in, out;
    Check(CreateStreamOnHGlobal(nullptr, TRUE, in.put()), "CreateStreamOnHGlobal");
    Check(CreateStreamOnHGlobal(nullptr, TRUE, out.put()), "CreateStreamOnHGlobal");
    for (size_t at = 0; at < message.size(); at += kPiece) {
        const auto n = static_cast<ULONG>(std::min(kPiece, message.size() - at));
        Check(in->Write(message.data() + at, n, nullptr), "writing the message to memory");
    }
    const LARGE_INTEGER zero{};
    Check(in->Seek(zero, STREAM_SEEK_SET, nullptr), "rewinding the message");

    Check(object.get()->ConvertEzwebMail(in.get(), out.get()), "ConvertEzwebMail");

    ULARGE_INTEGER unread{}, size{};
    Check(in->Seek(zero, STREAM_SEEK_CUR, &unread), "finding where the conversion stopped");
    Check(out->Seek(zero, STREAM_SEEK_END, &size), "measuring the result");
    Check(out->Seek(zero, STREAM_SEEK_SET, nullptr), "rewinding the result");
    const size_t stopped = std::min<size_t>(unread.QuadPart, message.size());
    std::string result(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t at = 0; at < result.size(); at += kPiece) {
        const auto n = static_cast<ULONG>(std::min(kPiece, result.size() - at));
        ULONG got = 0;
        Check(out->Read(result.data() + at, n, &got), "reading the result");
        if (got != n) Check(E_FAIL, "reading the result");
    }
    result.append(message.substr(stopped));
    return result;
}

}  // namespace glyphary::client
