// The structure of an au mail, as GMime reads it, turned into the byte ranges to rewrite, and
// those ranges laid over the module's result or over the message itself.
#include "client/au_mail.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "client/encoded_words.h"
#include "client/errors.h"
#include "client/mail.h"
#include "client/mail_parse.h"
#include "client/settings.h"

// After the platform's headers, whose TRUE and FALSE GLib then leaves alone.
#include <gmime/gmime.h>

namespace glyphary::client {

// ---------------------------------------------------------------------------------------------
// The map and its transcoding

MailCodeMap ReadMailCodeMap(const std::filesystem::path& settings) {
    MailCodeMap map;
    const SettingsFile file = ReadSettings(settings);
    if (!file.loaded || file.mailMap.empty()) return map;
    if (const std::optional<std::vector<MailMapCode>> codes = ReadMailMap(file.mailMap))
        for (const MailMapCode& code : *codes)
            map.Set(code.mail[0], code.mail[1], code.web[0], code.web[1]);
    return map;
}

namespace {

// ---------------------------------------------------------------------------------------------
// What the structure asks to rewrite

struct Edits {
    std::vector<std::pair<size_t, size_t>> bodies;  // ISO-2022-JP text, [begin, end), in order
    struct Word {
        size_t at = 0;      // the payload of an encoded word
        size_t length = 0;  // its length in the message
        std::string bytes;  // what takes its place
    };
    std::vector<Word> words;  // in order
    std::vector<std::string> unread;
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool IsIso2022Jp(std::string_view charset) {
    return Lower(charset.substr(0, charset.find('*'))) == "iso-2022-jp";  // RFC 2231's language
}

// The ISO-2022-JP encoded words in the header fields of `object`, each word's bytes taken as
// one line.
void FindWords(const ParsedMail& parsed, GMimeObject* object, std::string_view message,
               const MailCodeMap& map, Edits& edits) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(object);
    if (!headers) return;
    for (int i = 0, n = g_mime_header_list_get_count(headers); i < n; ++i) {
        const std::optional<ParsedMail::Span> span =
            parsed.Locate(g_mime_header_list_get_header_at(headers, i));
        if (!span) continue;
        const size_t base = span->colon + 1;
        const std::string_view value = message.substr(base, span->end - base);
        for (size_t at = value.find("=?"); at != std::string_view::npos;
             at = value.find("=?", at)) {
            const std::optional<EncodedWordText> word = EncodedWordAt(value, at);
            if (!word) {
                at += 2;
                continue;
            }
            at = word->end;
            if (!IsIso2022Jp(word->charset)) continue;
            std::string bytes = DecodeWordPayload(*word);
            if (!TranscodeEmojiLine(bytes.data(), bytes.size(), map)) continue;
            edits.words.push_back({base + static_cast<size_t>(word->payload.data() - value.data()),
                                   word->payload.size(), ReencodeWordPayload(*word, bytes)});
        }
    }
}

bool IsIso2022JpText(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type) return false;
    const char* media = g_mime_content_type_get_media_type(type);
    const char* charset = g_mime_content_type_get_parameter(type, "charset");
    return media && charset && Lower(media) == "text" && IsIso2022Jp(charset);
}

Edits FindByStructure(std::string_view message, const MailCodeMap& map, bool headers,
                      const MailLimits& limits) {
    const ParsedMail parsed(message, limits);
    Edits edits;
    edits.unread = parsed.unread();
    GMimeMessage* top = parsed.message();
    if (headers) FindWords(parsed, GMIME_OBJECT(top), message, map, edits);
    // Depth first, in order; an explicit stack, so that nesting costs no call depth.
    std::vector<std::pair<GMimeObject*, size_t>> pending;
    if (GMimeObject* body = g_mime_message_get_mime_part(top)) pending.emplace_back(body, 0);
    while (!pending.empty()) {
        const auto [object, depth] = pending.back();
        pending.pop_back();
        if (depth > parsed.limits().depth) {
            edits.unread.push_back("parts nested deeper than " +
                                   std::to_string(parsed.limits().depth) + " levels");
            continue;
        }
        if (headers) FindWords(parsed, object, message, map, edits);
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i)
                if (GMimeObject* child = g_mime_multipart_get_part(multipart, i))
                    pending.emplace_back(child, depth + 1);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            if (GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object))) {
                if (headers) FindWords(parsed, GMIME_OBJECT(inner), message, map, edits);
                if (GMimeObject* body = g_mime_message_get_mime_part(inner))
                    pending.emplace_back(body, depth + 1);
            }
        } else if (GMIME_IS_PART(object) && IsIso2022JpText(object)) {
            if (const auto range = parsed.ContentRange(GMIME_PART(object))) {
                edits.bodies.push_back(*range);
            } else {
                edits.unread.push_back("a text part GMime did not place in the message");
            }
        }
    }
    std::sort(edits.bodies.begin(), edits.bodies.end());
    const auto byPlace = [](const Edits::Word& a, const Edits::Word& b) { return a.at < b.at; };
    std::sort(edits.words.begin(), edits.words.end(), byPlace);
    // A field may be listed for the message and for its body part alike.
    edits.words.erase(
        std::unique(edits.words.begin(), edits.words.end(),
                    [](const Edits::Word& a, const Edits::Word& b) { return a.at == b.at; }),
        edits.words.end());
    return edits;
}

// ---------------------------------------------------------------------------------------------
// The edits laid over lines

// The lines of the message, in order, with what the structure makes of each.
class Rewriter {
  public:
    Rewriter(std::string_view message, const MailCodeMap& map, const Edits& edits)
        : m_message(message), m_map(map), m_edits(edits) {}

    /// Appends the bytes of the line [begin, end) as the structure has them.
    void Append(std::string& out, size_t begin, size_t end) {
        while (m_body < m_edits.bodies.size() && m_edits.bodies[m_body].second <= begin) ++m_body;
        while (m_word < m_edits.words.size() && m_edits.words[m_word].at < begin) ++m_word;
        const std::string_view line = m_message.substr(begin, end - begin);
        if (m_body < m_edits.bodies.size() && m_edits.bodies[m_body].first <= begin) {
            const size_t at = out.size();
            out.append(line);
            if (TranscodeEmojiLine(out.data() + at, line.size(), m_map)) bodyChanged = true;
            return;
        }
        size_t copied = begin;
        for (; m_word < m_edits.words.size() && m_edits.words[m_word].at < end; ++m_word) {
            const Edits::Word& word = m_edits.words[m_word];
            if (word.at + word.length > end) continue;  // no word spans a line end
            out.append(m_message.substr(copied, word.at - copied)).append(word.bytes);
            copied = word.at + word.length;
            wordsChanged = true;
        }
        out.append(m_message.substr(copied, end - copied));
    }

    bool bodyChanged = false;
    bool wordsChanged = false;

  private:
    std::string_view m_message;
    const MailCodeMap& m_map;
    const Edits& m_edits;
    size_t m_body = 0, m_word = 0;
};

// Whether the main header ends with an empty line before the input does.
bool HeaderComplete(std::string_view message) {
    MailLines lines(message);
    for (MailLine line; lines.Next(line);)
        if (line.begin == line.end) return line.ending != LineEnd::none;
    return false;
}

}  // namespace

AuMail ConvertAuMail(Glyphary* object, const MailCodeMap& map, std::string_view message,
                     const AuMailOptions& options) {
    // The structure first: GMime's tree is gone before the module's copies are made.
    const Edits edits = FindByStructure(message, map, options.headers, options.limits);
    AuMail result;
    result.bytes.reserve(message.size() + message.size() / 32);
    Rewriter rewriter(message, map, edits);

    std::string output;
    std::exception_ptr refused;
    if (object) {
        try {
            output = RunConvertEzwebMail(*object, message);
        } catch (const ComError& e) {
            if (e.hr() != E_FAIL) throw;
            refused = std::current_exception();
        }
    }
    if (object && !refused) {
        // Beyond a limit the structure is not known whole: the module's result stands alone.
        const bool structure = edits.unread.empty();
        result.unread = edits.unread;
        LineEnd before = LineEnd::crlf;
        ForEachModuleLine(message, output, [&](const ModuleLine& m) {
            if (!m.written) {  // what the module left unread, with its own line ends
                if (!structure) {
                    result.bytes.append(message.substr(m.line.begin));
                    return;
                }
                MailLines rest(message, m.line.begin);
                for (MailLine line; rest.Next(line);) {
                    rewriter.Append(result.bytes, line.begin, line.end);
                    result.bytes.append(LineEndBytes(line.ending));
                }
                return;
            }
            const std::string_view original =
                message.substr(m.line.begin, m.line.end - m.line.begin);
            if (!structure || m.content != original) {
                result.bytes.append(m.content);
            } else {
                rewriter.Append(result.bytes, m.line.begin, m.line.end);
            }
            if (m.ended) result.bytes.append(WrittenLineEnd(m.line.ending, before));
            before = m.line.ending;
        });
        result.path = rewriter.bodyChanged    ? AuMailPath::structure
                      : rewriter.wordsChanged ? AuMailPath::moduleHeaders
                                              : AuMailPath::module;
        return result;
    }

    // The structure alone: the module refused the mail, or none was asked.
    if (!edits.unread.empty() || (refused && !HeaderComplete(message))) {
        if (refused) std::rethrow_exception(refused);
        throw ClientError("its structure was not read whole: " + edits.unread.front());
    }
    MailLines lines(message);
    for (MailLine line; lines.Next(line);) {
        rewriter.Append(result.bytes, line.begin, line.end);
        result.bytes.append(LineEndBytes(line.ending));
    }
    result.path = AuMailPath::structure;
    return result;
}

}  // namespace glyphary::client
