// A mail's structure through GMime: the parser, the part tree, the transfer decodings. The
// charsets are ours (mail_charsets.cpp).
#include "client/mail_decode.h"

// After the platform's headers, whose TRUE and FALSE GLib then leaves alone.
#include <gmime/gmime.h>

#include <algorithm>
#include <memory>

#include "client/errors.h"
#include "client/gmime_ptr.h"
#include "text/unicode.h"
#include "text/utf.h"

namespace glyphary::client {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Text from the mail for one line of a terminal: tabs as spaces, any other control character
// (C0, DEL, C1: what a terminal may obey, ESC above all) as '?'.
std::u16string Escaped(std::u16string text) {
    for (char16_t& u : text) {
        if (u == u'\t') {
            u = u' ';
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            u = u'?';
        }
    }
    return text;
}

// Text from the mail for a one-line listing: valid UTF-8, no control characters.
std::string Printable(const char* text) {
    return text::Utf8ForDisplay(
        Escaped(*text::Utf16FromUtf8(text ? text : "", text::Errors::replace)));
}

size_t Count(std::u16string_view text, char16_t unit) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), unit));
}

size_t Count(std::string_view bytes, std::string_view piece) {
    size_t n = 0;
    for (size_t at = bytes.find(piece); at != std::string_view::npos;
         at = bytes.find(piece, at + 1))
        ++n;
    return n;
}

// The U+FFFD that decoding `bytes` into `text` made: those that were not in the bytes as UTF-8
// already.
size_t Undecodable(std::string_view bytes, std::u16string_view text, bool utf8) {
    const size_t made = Count(text, u'\xFFFD');
    const size_t had = utf8 ? Count(bytes, "\xEF\xBF\xBD") : 0;
    return made > had ? made - had : 0;
}

bool IsUtf8Charset(const std::string& lower) {
    return lower.empty() || lower == "utf-8" || lower == "utf8" || lower == "us-ascii" ||
           lower == "ascii";
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

// The bytes a part holds once its transfer encoding is undone: its content where it lies in
// the message, or decoded into memory of ours (GLib would end the process where memory ran out).
class PartBytes {
  public:
    PartBytes(const ParsedMail& parsed, GMimePart* part) : m_view(parsed.Content(part)) {
        const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(part);
        if (encoding != GMIME_CONTENT_ENCODING_BASE64 &&
            encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE &&
            encoding != GMIME_CONTENT_ENCODING_UUENCODE)
            return;
        GMimeEncoding state;
        g_mime_encoding_init_decode(&state, encoding);
        m_decoded.resize(g_mime_encoding_outlen(&state, m_view.size()));
        m_decoded.resize(
            g_mime_encoding_flush(&state, m_view.data(), m_view.size(), m_decoded.data()));
        m_view = m_decoded;
    }
    std::string_view view() const { return m_view; }

  private:
    std::string_view m_view;
    std::string m_decoded;
};

// How many bytes the message attached as `part` spans in the mail: from its first header to the
// end of its last content. (Written out by GMime it would get boundaries made up where it has
// none, and writing such parameters anew can take GMime gigabytes.)
size_t AttachedSize(const ParsedMail& parsed, GMimeMessagePart* part) {
    GMimeMessage* message = g_mime_message_part_get_message(part);
    if (!message) return 0;
    size_t begin = static_cast<size_t>(-1), end = 0;
    const auto take = [&](size_t from, size_t to) {
        begin = std::min(begin, from);
        end = std::max(end, to);
    };
    std::vector<GMimeObject*> pending = {GMIME_OBJECT(message)};
    for (size_t seen = 0; !pending.empty() && seen < parsed.limits().parts; ++seen) {
        GMimeObject* object = pending.back();
        pending.pop_back();
        if (GMimeHeaderList* headers = g_mime_object_get_header_list(object))
            for (int i = 0, n = g_mime_header_list_get_count(headers); i < n; ++i)
                if (const auto span = parsed.Locate(g_mime_header_list_get_header_at(headers, i)))
                    take(span->begin, span->end);
        if (GMIME_IS_MESSAGE(object)) {
            if (GMimeObject* body = g_mime_message_get_mime_part(GMIME_MESSAGE(object)))
                pending.push_back(body);
        } else if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            for (int i = 0, n = g_mime_multipart_get_count(multipart); i < n; ++i)
                if (GMimeObject* child = g_mime_multipart_get_part(multipart, i))
                    pending.push_back(child);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            if (GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)))
                pending.push_back(GMIME_OBJECT(inner));
        } else if (GMIME_IS_PART(object)) {
            if (const auto range = parsed.ContentRange(GMIME_PART(object)))
                take(range->first, range->second);
        }
    }
    return end > begin ? end - begin : 0;
}

}  // namespace

DecodedMail::Part DecodeMailPart(const ParsedMail& parsed, GMimePart* part, EMapMode mailCarrier) {
    GMimeObject* object = GMIME_OBJECT(part);
    DecodedMail::Part decoded;
    decoded.type = MimeType(object);
    decoded.name = Printable(g_mime_part_get_filename(part));
    decoded.carrier = mailCarrier;
    const PartBytes content(parsed, part);
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
    decoded.undecodable = Undecodable(bytes, decoded.content, IsUtf8Charset(charset));
    return decoded;
}

namespace {

// A multipart in which GMime found no part (its boundary stands on no line, or it has none):
// its body, which GMime keeps as the preamble, as text.
DecodedMail::Part UnsplitMultipart(GMimeMultipart* multipart, EMapMode carrier) {
    GMimeObject* object = GMIME_OBJECT(multipart);
    DecodedMail::Part part;
    part.type = MimeType(object);
    part.carrier = carrier;
    const char* prologue = g_mime_multipart_get_prologue(multipart);
    const std::string_view bytes = prologue ? prologue : "";
    part.size = bytes.size();
    part.text = true;
    // Without a part there is no charset: ISO-2022-JP shows itself by its escapes.
    const bool jis = bytes.find("\x1B$") != std::string_view::npos;
    if (jis && part.carrier == MPM_none) part.carrier = MPM_ezweb;
    part.content = LfLines(DecodeMailText(bytes, jis ? "iso-2022-jp" : "utf-8", part.carrier));
    part.undecodable = Undecodable(bytes, part.content, !jis);
    // Read from the Content-Type: g_mime_multipart_get_boundary() makes one up for a multipart
    // without, and writing the parameters anew can take GMime gigabytes for a hostile one.
    GMimeContentType* type = g_mime_object_get_content_type(object);
    const char* boundary = type ? g_mime_content_type_get_parameter(type, "boundary") : nullptr;
    part.note = part.type + " without parts: " +
                (boundary ? "no line is its delimiter (boundary \"" + Printable(boundary) + "\")"
                          : std::string("it names no boundary")) +
                "; its body is shown as text";
    return part;
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

EMapMode SenderCarrier(const ParsedMail& parsed, std::optional<EMapMode> carrier) {
    if (carrier) return *carrier;
    if (InternetAddressList* from = g_mime_message_get_from(parsed.message())) {
        for (int i = 0; i < internet_address_list_length(from); ++i) {
            InternetAddress* address = internet_address_list_get_address(from, i);
            if (!INTERNET_ADDRESS_IS_MAILBOX(address)) continue;
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            return CarrierOfAddress(addr ? addr : "");
        }
    }
    return MPM_none;
}

DecodedMail DecodeMail(std::string_view message, std::optional<EMapMode> carrier,
                       const MailLimits& limits) {
    ParsedMail parsed(message, limits);
    DecodedMail mail;
    mail.carrier = SenderCarrier(parsed, carrier);

    // The first of each field as the message has it: GMime's view may have a field renamed
    // so that GMime leaves it alone, but it is shown all the same.
    static constexpr const char* kShown[] = {"From", "To", "Date", "Subject"};
    GMimeHeader* shown[std::size(kShown)] = {};
    if (GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(parsed.message()))) {
        for (int i = 0, n = g_mime_header_list_get_count(headers); i < n; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
            const std::string name = Lower(parsed.RawName(header));
            for (size_t k = 0; k < std::size(kShown); ++k)
                if (!shown[k] && name == Lower(kShown[k])) shown[k] = header;
        }
    }
    for (size_t k = 0; k < std::size(kShown); ++k) {
        if (!shown[k]) continue;
        const std::string_view raw = parsed.RawValue(shown[k]);
        DecodedMail::Header header{kShown[k], DecodeHeaderValue(raw, mail.carrier), mail.carrier};
        header.undecodable = Undecodable(raw, header.value, true);
        mail.headers.push_back(std::move(header));
    }

    // The leaf parts in order; an explicit stack, so that nesting costs no call depth.
    const MailLimits& limit = parsed.limits();
    std::vector<std::pair<GMimeObject*, size_t>> pending;  // with its depth
    if (GMimeObject* body = g_mime_message_get_mime_part(parsed.message()))
        pending.emplace_back(body, 0);
    size_t deep = 0, beyond = 0;
    while (!pending.empty()) {
        const auto [object, depth] = pending.back();
        pending.pop_back();
        if (depth > limit.depth) {
            ++deep;
        } else if (mail.parts.size() >= limit.parts) {
            ++beyond;
        } else if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            if (count == 0) mail.parts.push_back(UnsplitMultipart(multipart, mail.carrier));
            for (int i = count - 1; i >= 0; --i)
                if (GMimeObject* child = g_mime_multipart_get_part(multipart, i))
                    pending.emplace_back(child, depth + 1);
        } else if (GMIME_IS_PART(object)) {
            mail.parts.push_back(DecodeMailPart(parsed, GMIME_PART(object), mail.carrier));
        } else {  // an attached message: listed, not opened
            DecodedMail::Part part;
            part.type = MimeType(object);
            if (GMIME_IS_MESSAGE_PART(object))
                part.size = AttachedSize(parsed, GMIME_MESSAGE_PART(object));
            part.carrier = mail.carrier;
            mail.parts.push_back(std::move(part));
        }
    }
    mail.unread = parsed.unread();
    if (deep > 0)
        mail.unread.push_back(std::to_string(deep) + " part(s) nested deeper than " +
                              std::to_string(limit.depth) + " levels");
    if (beyond > 0)
        mail.unread.push_back(std::to_string(beyond) + " part(s) beyond the first " +
                              std::to_string(limit.parts));
    return mail;
}

size_t DecodedMail::Undecodable() const noexcept {
    size_t n = 0;
    for (const Header& header : headers) n += header.undecodable;
    for (const Part& part : parts) n += part.undecodable;
    return n;
}

std::string MailText(const DecodedMail& mail, const EmojiRenderer& render) {
    std::string out;
    for (const DecodedMail::Header& header : mail.headers)
        out += header.name + ": " +
               text::Utf8ForDisplay(Escaped(render(header.value, header.carrier))) + "\n";
    for (const DecodedMail::Part& part : mail.parts) {
        out += "\n";
        if (!part.note.empty()) out += "[" + part.note + "]\n";
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
    if (!mail.unread.empty()) out += "\n";
    for (const std::string& what : mail.unread) out += "[not shown: " + what + "]\n";
    return out;
}

}  // namespace glyphary::client
