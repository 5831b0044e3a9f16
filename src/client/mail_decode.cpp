// A mail's structure through GMime: the parser, the part tree, the transfer decodings. The
// charsets are ours (mail_charsets.cpp).
#include "client/mail_decode.h"

// After the platform's headers, whose TRUE and FALSE GLib then leaves alone.
#include <gmime/gmime.h>

#include <memory>
#include <mutex>

#include "client/errors.h"
#include "text/unicode.h"
#include "text/utf.h"

namespace glyphary::client {
namespace {

// Text goes through the renderer in pieces of at most this many units.
constexpr size_t kRenderPiece = size_t{1} << 18;

void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct Unref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Text from the mail for a one-line listing: valid UTF-8, no control characters.
std::string Printable(const char* text) {
    std::string out =
        text::Utf8ForDisplay(*text::Utf16FromUtf8(text ? text : "", text::Errors::replace));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

std::string MimeType(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    char* name = type ? g_mime_content_type_get_mime_type(type) : nullptr;
    std::string result = name ? Lower(Printable(name)) : "application/octet-stream";
    g_free(name);
    return result;
}

// CR LF, and CR alone, as LF.
std::u16string LfLines(std::u16string text) {
    size_t w = 0;
    for (size_t r = 0; r < text.size(); ++r) {
        if (text[r] == u'\r') {
            text[w++] = u'\n';
            if (r + 1 < text.size() && text[r + 1] == u'\n') ++r;
        } else {
            text[w++] = text[r];
        }
    }
    text.resize(w);
    return text;
}

// The bytes a part holds once its transfer encoding is undone, in a memory stream of GMime's.
class PartBytes {
  public:
    explicit PartBytes(GMimePart* part) {
        GMimeDataWrapper* content = g_mime_part_get_content(part);
        if (!content) return;
        // Room for the encoded size, which the decoded size rarely passes: no regrowing.
        GMimeStream* encoded = g_mime_data_wrapper_get_stream(content);
        const gint64 length = encoded ? g_mime_stream_length(encoded) : -1;
        m_stream.reset(g_mime_stream_mem_new_with_byte_array(g_byte_array_sized_new(
            length > 0 && length < G_MAXINT32 ? static_cast<guint>(length) : 0)));
        if (g_mime_data_wrapper_write_to_stream(content, m_stream.get()) >= 0)
            m_bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(m_stream.get()));
    }
    std::string_view view() const {
        return m_bytes
                   ? std::string_view(reinterpret_cast<const char*>(m_bytes->data), m_bytes->len)
                   : std::string_view();
    }

  private:
    GPtr<GMimeStream> m_stream;
    GByteArray* m_bytes = nullptr;  // the stream's own
};

// How many bytes `object` takes written out (an attached message, listed with its size).
size_t WrittenSize(GMimeObject* object) {
    GPtr<GMimeStream> null(g_mime_stream_null_new());
    const ssize_t n = g_mime_object_write_to_stream(object, nullptr, null.get());
    return n > 0 ? static_cast<size_t>(n) : 0;
}

DecodedMail::Part DecodePart(GMimePart* part, EMapMode mailCarrier) {
    GMimeObject* object = GMIME_OBJECT(part);
    DecodedMail::Part decoded;
    decoded.type = MimeType(object);
    decoded.name = Printable(g_mime_part_get_filename(part));
    decoded.carrier = mailCarrier;
    const PartBytes content(part);
    const std::string_view bytes = content.view();
    decoded.size = bytes.size();
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    const bool attached = disposition && g_mime_content_disposition_is_attachment(disposition) &&
                          !decoded.name.empty();
    if (decoded.type.rfind("text/", 0) != 0 || attached) return decoded;

    GMimeContentType* type = g_mime_object_get_content_type(object);
    const char* charsetParameter =
        type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    const std::string charset = Lower(charsetParameter ? charsetParameter : "");
    // Without a sender's carrier, only the charset can tell whose emoji these are.
    if (decoded.carrier == MPM_none && charset.rfind("iso-2022-jp", 0) == 0)
        decoded.carrier = MPM_ezweb;
    decoded.text = true;
    decoded.content = LfLines(DecodeMailText(bytes, charset, decoded.carrier));
    return decoded;
}

}  // namespace

EMapMode CarrierOfAddress(std::string_view address) {
    const size_t at = address.rfind('@');
    if (at == std::string_view::npos) return MPM_none;
    std::string domain = Lower(address.substr(at + 1));
    while (!domain.empty() &&
           (domain.back() == '>' || domain.back() == ' ' || domain.back() == '.'))
        domain.pop_back();
    const auto endsWith = [&](std::string_view suffix) {
        return domain.size() >= suffix.size() &&
               domain.compare(domain.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (domain == "docomo.ne.jp") return MPM_imode;
    if (domain == "ezweb.ne.jp" || domain == "au.com") return MPM_ezweb;
    if (domain == "softbank.ne.jp" || domain == "i.softbank.jp" || domain == "disney.ne.jp" ||
        endsWith(".vodafone.ne.jp"))
        return MPM_softbank;
    return MPM_none;
}

DecodedMail DecodeMail(std::string_view message, std::optional<EMapMode> carrier) {
    InitGMime();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(message.data(), message.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GPtr<GMimeMessage> parsed(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!parsed) throw ClientError("no mail message in it");

    DecodedMail mail;
    if (carrier) {
        mail.carrier = *carrier;
    } else if (InternetAddressList* from = g_mime_message_get_from(parsed.get())) {
        for (int i = 0; i < internet_address_list_length(from); ++i) {
            InternetAddress* address = internet_address_list_get_address(from, i);
            if (!INTERNET_ADDRESS_IS_MAILBOX(address)) continue;
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            mail.carrier = CarrierOfAddress(addr ? addr : "");
            break;
        }
    }

    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(parsed.get()));
    for (const char* name : {"From", "To", "Date", "Subject"}) {
        GMimeHeader* header = headers ? g_mime_header_list_get_header(headers, name) : nullptr;
        if (!header) continue;
        const char* raw = g_mime_header_get_raw_value(header);
        mail.headers.push_back(
            {name, DecodeHeaderValue(raw ? raw : "", mail.carrier), mail.carrier});
    }

    // The leaf parts in order; an explicit stack, so that nesting costs no call depth.
    std::vector<GMimeObject*> pending;
    if (GMimeObject* body = g_mime_message_get_mime_part(parsed.get())) pending.push_back(body);
    while (!pending.empty()) {
        GMimeObject* object = pending.back();
        pending.pop_back();
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i)
                if (GMimeObject* child = g_mime_multipart_get_part(multipart, i))
                    pending.push_back(child);
        } else if (GMIME_IS_PART(object)) {
            mail.parts.push_back(DecodePart(GMIME_PART(object), mail.carrier));
        } else {  // an attached message: listed, not opened
            DecodedMail::Part part;
            part.type = MimeType(object);
            part.size = WrittenSize(object);
            part.carrier = mail.carrier;
            mail.parts.push_back(std::move(part));
        }
    }
    return mail;
}

std::string MailText(const DecodedMail& mail, const EmojiRenderer& render) {
    std::string out;
    for (const DecodedMail::Header& header : mail.headers) {
        std::string value = text::Utf8ForDisplay(render(header.value, header.carrier));
        for (char& c : value)
            if (c == '\n' || c == '\r') c = ' ';
        out += header.name + ": " + value + "\n";
    }
    for (const DecodedMail::Part& part : mail.parts) {
        out += "\n";
        if (part.text) {
            // In pieces: the temporaries stay small, and memory is reused rather than
            // fetched afresh from the system for each.
            const std::u16string_view content = part.content;
            for (size_t at = 0; at < content.size();) {
                const size_t end =
                    text::PieceEnd(content, std::min(content.size(), at + kRenderPiece));
                text::AppendUtf8ForDisplay(render(content.substr(at, end - at), part.carrier), out);
                at = end;
            }
            if (out.back() != '\n') out += "\n";
        } else {
            out += "[" + part.type + (part.name.empty() ? "" : " " + part.name) + ", " +
                   std::to_string(part.size) + " bytes]\n";
        }
    }
    return out;
}

}  // namespace glyphary::client
