// Mail decoding, the program's own way through au mail, and the client's codecs over arbitrary
// bytes, with the mail limits as the program has them or small enough for short inputs to pass
// them. Besides not crashing or hanging:
// - a mail decodes, or fails with ClientError only, and its text is UTF-8;
// - the structure path converts a mail (or refuses it with ClientError) changing only bytes
//   inside ISO-2022-JP text: without the headers' encoded words, the length never changes;
// - every streaming decoder gives, cut in two anywhere, what it gives on the whole input:
//   the same units, or the same error at the same offset.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/au_mail.h"
#include "client/encoding.h"
#include "client/errors.h"
#include "client/mail_decode.h"
#include "platform/utf.h"

namespace {

using namespace glyphary::client;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Units, or the error as "offset: message".
std::u16string DecodeCut(std::string_view bytes, const TextFormat& format, size_t cut) {
    Decoder decoder(format);
    std::u16string out(Decoder::Room(bytes.size()) * 2, u'\0');
    try {
        size_t n = decoder.Decode(bytes.substr(0, cut), false, out.data());
        n += decoder.Decode(bytes.substr(cut), true, out.data() + n);
        out.resize(n);
    } catch (const EncodingError& e) {
        const std::string error = std::to_string(e.offset()) + ": " + e.what();
        return u"error " + std::u16string(error.begin(), error.end());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const uint8_t control = data[0];

    const EMapMode carriers[] = {MPM_none, MPM_imode, MPM_ezweb, MPM_softbank};
    const EMapMode carrier = carriers[control & 3];
    MailLimits limits;
    if (control & 32) limits = {3, 8, 40, 2000, 200, 600};
    try {
        const DecodedMail mail =
            DecodeMail(bytes, control & 4 ? std::optional(carrier) : std::nullopt, limits);
        const std::string text =
            MailText(mail, [](std::u16string_view t, EMapMode) { return std::u16string(t); });
        Check(glyphary::platform::Utf16FromUtf8(text, glyphary::platform::UtfErrors::stop)
                  .has_value());
    } catch (const ClientError&) {
    }

    static const MailCodeMap map = [] {
        MailCodeMap m;
        m.Set(0x75, 0x21, 0xF6, 0x60);
        m.Set(0x75, 0x41, 0xF6, 0x93);
        m.Set(0x76, 0x22, 0x0D, 0x0A);  // a line end written into a line: still one line's bytes
        return m;
    }();
    try {
        const bool headers = (control & 64) != 0;
        const AuMail converted = ConvertAuMail(nullptr, map, bytes, {headers, limits});
        Check(converted.path == AuMailPath::structure);
        if (!headers) Check(converted.bytes.size() == bytes.size());
    } catch (const ClientError&) {
    }

    const TextFormat format{control & 8 ? Encoding::sjis : Encoding::utf8, carrier,
                            (control & 16) != 0};
    const std::u16string whole = DecodeCut(bytes, format, bytes.size());
    Check(DecodeCut(bytes, format, bytes.size() / 2) == whole);
    Check(DecodeCut(bytes, format, control % (bytes.size() + 1)) == whole);
    return 0;
}
