// The parsed tree is changed in place and written out by GMime: a text part gets new content,
// its charset and a transfer encoding; a header field with encoded words a new value. What is
// not changed GMime writes from the bytes it read.
#include "client/mime_utf8.h"

// After the platform's headers, whose TRUE and FALSE GLib then leaves alone.
#include <gmime/gmime.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "client/encoded_words.h"
#include "client/errors.h"
#include "client/gmime_ptr.h"
#include "text/unicode.h"
#include "text/utf.h"

namespace glyphary::client {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// The U+FFFD that decoding made: those not in the bytes as UTF-8 already.
size_t Made(std::string_view bytes, std::u16string_view text) {
    const size_t made = static_cast<size_t>(std::count(text.begin(), text.end(), u'\xFFFD'));
    size_t had = 0;
    for (size_t at = bytes.find("\xEF\xBF\xBD"); at != std::string_view::npos;
         at = bytes.find("\xEF\xBF\xBD", at + 1))
        ++had;
    return made > had ? made - had : 0;
}

std::string RenderedUtf8(std::u16string_view text, EMapMode carrier, const EmojiRenderer& render) {
    std::u16string rendered;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text::PieceEnd(text, std::min(text.size(), at + kRenderPiece));
        rendered += render(text.substr(at, end - at), carrier);
        at = end;
    }
    return *text::Utf8FromUtf16(rendered, text::Errors::replace);
}

// Whether the header value holds an encoded word in a charset other than UTF-8 or ASCII.
bool HasForeignWords(std::string_view raw) {
    for (size_t at = raw.find("=?"); at != std::string_view::npos; at = raw.find("=?", at + 2)) {
        const std::optional<EncodedWordText> word = EncodedWordAt(raw, at);
        if (!word) continue;
        if (!StartsWithNoCase(word->charset, "utf-8") &&
            !StartsWithNoCase(word->charset, "us-ascii"))
            return true;
        at = word->end - 2;
    }
    return false;
}

// A line beginning "From " is where an mbox reader starts the next mail, and what mail
// transports mangle to ">From ". GMime picks quoted-printable for such text but writes the line
// as it is: encoded here instead, with the F as "=46", which every reader decodes back.
void ArmorFromLines(GMimePart* part, std::string_view utf8) {
    if (utf8.rfind("From ", 0) != 0 && utf8.find("\nFrom ") == std::string_view::npos) return;
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
    std::string encoded(g_mime_encoding_outlen(&state, utf8.size()), '\0');
    encoded.resize(g_mime_encoding_flush(&state, utf8.data(), utf8.size(), encoded.data()));
    for (size_t at = 0;;) {
        if (encoded.compare(at, 5, "From ") == 0) encoded.replace(at, 1, "=46");
        at = encoded.find('\n', at);
        if (at == std::string::npos) break;
        ++at;
    }
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(encoded.data(), encoded.size()));
    GPtr<GMimeDataWrapper> content(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE));
    g_mime_part_set_content(part, content.get());
}

class Rewriter {
  public:
    Rewriter(const ParsedMail& parsed, EMapMode carrier, const EmojiRenderer& render, Utf8Mail& out)
        : m_parsed(parsed), m_carrier(carrier), m_render(render), m_out(out) {}

    // The header fields of `object` with encoded words in another charset, anew in UTF-8.
    // The Content- fields are left alone: their parameters are GMime's to write.
    void Headers(GMimeObject* object) {
        GMimeHeaderList* headers = g_mime_object_get_header_list(object);
        if (!headers) return;
        for (int i = 0, n = g_mime_header_list_get_count(headers); i < n; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
            if (StartsWithNoCase(m_parsed.RawName(header), "content-")) continue;
            const std::string_view raw = m_parsed.RawValue(header);
            if (!HasForeignWords(raw)) continue;
            const std::u16string value = DecodeHeaderValue(raw, m_carrier);
            m_out.undecodable += Made(raw, value);
            const std::string utf8 = RenderedUtf8(value, m_carrier, m_render);
            g_mime_header_set_value(header, nullptr, utf8.c_str(), "utf-8");
            ++m_out.headers;
        }
    }

    void Part(GMimePart* part) {
        const DecodedMail::Part decoded = DecodeMailPart(m_parsed, part, m_carrier);
        if (!decoded.text) return;
        m_out.undecodable += decoded.undecodable;
        const std::string utf8 = RenderedUtf8(decoded.content, decoded.carrier, m_render);
        GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(utf8.data(), utf8.size()));
        GPtr<GMimeDataWrapper> content(
            g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
        g_mime_part_set_content(part, content.get());
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", "utf-8");
        const GMimeContentEncoding encoding =
            g_mime_part_get_best_content_encoding(part, GMIME_ENCODING_CONSTRAINT_7BIT);
        if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) ArmorFromLines(part, utf8);
        g_mime_part_set_content_encoding(part, encoding);
        ++m_out.textParts;
    }

  private:
    const ParsedMail& m_parsed;
    EMapMode m_carrier;
    const EmojiRenderer& m_render;
    Utf8Mail& m_out;
};

}  // namespace

Utf8Mail MailToUtf8Mime(std::string_view message, std::optional<EMapMode> carrier,
                        const EmojiRenderer& render, const MailLimits& limits) {
    ParsedMail parsed(message, limits);
    if (!parsed.unread().empty())
        throw ClientError("not re-encoded, as it cannot be read whole: " + parsed.unread().front());
    Utf8Mail out;
    Rewriter rewriter(parsed, SenderCarrier(parsed, carrier), render, out);
    rewriter.Headers(GMIME_OBJECT(parsed.message()));

    // The tree as DecodeMail walks it, with the same limits; an explicit stack.
    std::vector<std::pair<GMimeObject*, size_t>> pending;  // with its depth
    if (GMimeObject* body = g_mime_message_get_mime_part(parsed.message()))
        pending.emplace_back(body, 0);
    size_t seen = 0;
    while (!pending.empty()) {
        const auto [object, depth] = pending.back();
        pending.pop_back();
        if (depth > limits.depth || ++seen > limits.parts)
            throw ClientError("not re-encoded, as it cannot be read whole: more than " +
                              std::to_string(limits.depth) + " levels or " +
                              std::to_string(limits.parts) + " parts");
        rewriter.Headers(object);
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i)
                if (GMimeObject* child = g_mime_multipart_get_part(multipart, i))
                    pending.emplace_back(child, depth + 1);
        } else if (GMIME_IS_PART(object)) {
            rewriter.Part(GMIME_PART(object));
        }
        // An attached message stays as it is, as --decode lists it unopened.
    }

    GPtr<GMimeStream> stream(g_mime_stream_mem_new());
    if (g_mime_object_write_to_stream(GMIME_OBJECT(parsed.message()), nullptr, stream.get()) < 0)
        throw ClientError("GMime could not write the mail");
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    out.bytes.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
    return out;
}

bool IsMbox(std::string_view bytes) {
    return bytes.rfind("From ", 0) == 0;
}

// Mails are told apart where GMime's and Python's mbox readers tell them apart, at every line
// beginning "From ", and each is parsed alone, within the limits, by MailToUtf8Mime: GMime's own
// mbox parser would build each mail before those limits could be applied to it. Lines beginning
// "From " in a mail are written as ">From " (mboxo), and one read in as ">From " stays so: the
// readers take no ">" away, so a line keeps what each of them reads.
Utf8Mail MboxToUtf8Mime(std::string_view mbox, std::optional<EMapMode> carrier,
                        const EmojiRenderer& render, const MailLimits& limits) {
    Utf8Mail out;
    size_t number = 0;
    for (size_t at = 0; at < mbox.size();) {
        ++number;
        const size_t marker = std::min(mbox.find('\n', at), mbox.size() - 1) + 1;
        const size_t next = std::min(mbox.find("\nFrom ", marker - 1), mbox.size() - 1) + 1;
        std::string_view message = mbox.substr(marker, next - marker);
        // The empty line before the next "From " line parts the mails; it is written anew.
        if (message.size() >= 2 && message.substr(message.size() - 2) == "\n\n")
            message.remove_suffix(1);
        Utf8Mail mail;
        try {
            mail = MailToUtf8Mime(message, carrier, render, limits);
        } catch (const ClientError& e) {  // NotMail too: the mbox holds something else there
            throw ClientError("mail " + std::to_string(number) + " of the mbox: " + e.what());
        }
        out.bytes.append(mbox.substr(at, marker - at));
        if (out.bytes.back() != '\n') out.bytes += '\n';
        for (size_t line = 0; line < mail.bytes.size();) {
            const size_t end = std::min(mail.bytes.find('\n', line), mail.bytes.size() - 1) + 1;
            if (mail.bytes.compare(line, 5, "From ") == 0) out.bytes += '>';
            out.bytes.append(mail.bytes, line, end - line);
            line = end;
        }
        if (out.bytes.back() != '\n') out.bytes += '\n';
        out.bytes += '\n';
        out.textParts += mail.textParts;
        out.headers += mail.headers;
        out.undecodable += mail.undecodable;
        at = next;
    }
    return out;
}

}  // namespace glyphary::client
