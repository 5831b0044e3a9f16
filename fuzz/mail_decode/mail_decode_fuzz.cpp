// Mail decoding, the program's own way through au mail, and the text layer's decoders over
// arbitrary bytes, with the mail limits as the program has them or small enough for short inputs
// to pass them. Besides not crashing or hanging:
// - a mail decodes, or fails with ClientError only, and its text is UTF-8;
// - the structure path converts a mail (or refuses it with ClientError) changing only bytes
//   inside ISO-2022-JP text: without the headers' encoded words, the length never changes;
// - every streaming decoder, under each error policy, gives, cut in two anywhere, what it
//   gives on the whole input: the same units, and the same failure or items replaced.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/au_mail.h"
#include "client/errors.h"
#include "client/mail_decode.h"
#include "text/codec.h"
#include "text/utf.h"

namespace {

using namespace glyphary::client;
namespace text = glyphary::text;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Units, then the failure or the first item replaced, and how many were.
std::u16string DecodeCut(std::string_view bytes, const text::Format& format, text::Errors errors,
                         size_t cut) {
    text::Decoder decoder(format, errors);
    std::u16string out(text::Decoder::Room(bytes.size()) * 2, u'\0');
    text::Decoded d = decoder.Decode(bytes.substr(0, cut), false, out.data());
    size_t n = d.units;
    if (d.ok) {
        d = decoder.Decode(bytes.substr(cut), true, out.data() + n);
        n += d.units;
    }
    out.resize(n);
    const text::Issues& issues = decoder.issues();
    const std::optional<text::Issue> issue = d.ok ? issues.first() : issues.failure();
    const std::string account = std::to_string(issues.count()) + " " +
                                (issue ? std::to_string(issue->offset) + " " +
                                             std::to_string(static_cast<int>(issue->fault))
                                       : "");
    return out + u" " + std::u16string(account.begin(), account.end());
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
        Check(text::Utf16FromUtf8(text, text::Errors::strict).has_value());
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

    const text::Format format{control & 8 ? text::Encoding::sjis : text::Encoding::utf8,
                              text::CarrierOfMode(carrier),
                              control & 16 ? text::Forms(text::Form::references) : text::Forms()};
    for (const text::Errors errors :
         {text::Errors::strict, text::Errors::replace, text::Errors::keep}) {
        const std::u16string whole = DecodeCut(bytes, format, errors, bytes.size());
        Check(DecodeCut(bytes, format, errors, bytes.size() / 2) == whole);
        Check(DecodeCut(bytes, format, errors, control % (bytes.size() + 1)) == whole);
    }
    return 0;
}
