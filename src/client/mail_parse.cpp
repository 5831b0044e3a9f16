// The pass over a mail that bounds what GMime does with it, and GMime's parse of what the pass
// lets through.
#include "client/mail_parse.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "client/encoded_words.h"
#include "client/errors.h"
#include "client/mail_lines.h"

// After the platform's headers, whose TRUE and FALSE GLib then leaves alone.
#include <gmime/gmime.h>

#include "client/gmime_ptr.h"

namespace glyphary::client {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

char Lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IEquals(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IStartsWith(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

// The first `needle` (lower case) in `text` at or after `from`, in any letter case.
size_t IFind(std::string_view text, std::string_view needle, size_t from = 0) noexcept {
    for (size_t at = from; at + needle.size() <= text.size(); ++at) {
        if (Lower(text[at]) != needle[0]) continue;
        if (IEquals(text.substr(at, needle.size()), needle)) return at;
    }
    return kNone;
}

bool IsSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// 12,000 for 12000.
std::string Thousands(size_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// The fields whose values GMime parses as address lists when it builds a message.
bool IsAddressField(std::string_view name) noexcept {
    static constexpr std::string_view kNames[] = {"from",
                                                  "sender",
                                                  "reply-to",
                                                  "to",
                                                  "cc",
                                                  "bcc",
                                                  "resent-from",
                                                  "resent-sender",
                                                  "resent-to",
                                                  "resent-cc",
                                                  "resent-bcc",
                                                  "resent-reply-to",
                                                  "disposition-notification-to"};
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [&](std::string_view known) { return IEquals(name, known); });
}

// The fields GMime tokenises as it builds the tree, at a cost of tens of bytes for each byte
// of their values; it keeps any other field as text.
bool IsInterpretedField(std::string_view name) noexcept {
    return IsAddressField(name) || IEquals(name, "subject") || IEquals(name, "date") ||
           IEquals(name, "message-id") || IStartsWith(name, "content-") ||
           IStartsWith(name, "resent-");
}

// A group inside a group is malformed (RFC 5322), and GMime's address parser recurses once for
// each: "g: g: g: ..." takes as many stack frames as it has colons. Quotes are not told
// apart, so a colon inside a display name counts too: only GMime's reading of the field is at
// stake, never the text shown.
bool HasNestedGroup(std::string_view value) noexcept {
    int depth = 0;
    for (const char c : value) {
        if (c == ':' && ++depth >= 2) return true;
        if (c == ';' && depth > 0) --depth;
    }
    return false;
}

// A Content-Type with more bad encoded words than this is not interpreted at all: GMime's
// decoding of each takes time in proportion to the rest of the field.
constexpr size_t kBadWordsInContentType = 100;

// One linear pass over the lines of a message that shadows the structure GMime will find, from
// above: every line it could take for a delimiter or a header counts as one, every boundary a
// Content-Type may declare opens a level, and a level closes only at a line GMime would take
// for exactly its delimiter. Where a limit would be passed, GMime's view of the message ends.
class Guard {
  public:
    Guard(std::string_view message, char* view, const MailLimits& limits,
          std::vector<std::string>& unread)
        : m_in(message), m_view(view), m_limits(limits), m_unread(unread) {}

    /// Changes the view and returns where GMime's view of the message ends.
    size_t Run();

  private:
    // A level of nesting: a multipart (its boundary; `unknown` when it could not be read) or an
    // attached message.
    struct Level {
        std::string boundary;
        bool multipart = true;
        bool unknown = false;
        bool digest = false;
    };

    bool StartsPart(std::string_view line) const;
    void CloseLevels(std::string_view line);
    void EndField(size_t end);
    void EndBlock(size_t next);
    void ReadContentType(std::string_view value);
    void Rename(size_t field, std::string_view name, size_t length, const char* why);
    void Cut(size_t at, const std::string& why);

    std::string_view m_in;
    char* m_view;
    const MailLimits& m_limits;
    std::vector<std::string>& m_unread;

    size_t m_cut = kNone;
    size_t m_line = 0;  // 1-based number of the line in hand
    std::vector<Level> m_levels;
    bool m_inHeader = true;  // in a block of lines GMime may read as a header
    size_t m_parts = 0, m_headerLines = 0, m_headerBytes = 0, m_interpreted = 0;

    // The header block in hand.
    size_t m_field = kNone;  // where its field in hand begins
    bool m_contentType = false, m_message = false, m_digest = false;
    std::vector<Level> m_declared;
};

size_t Guard::Run() {
    MailLines lines(m_in);
    for (MailLine line; m_cut == kNone && lines.Next(line);) {
        ++m_line;
        // GMime ends lines at LF only: a CR alone, a line end to the module, becomes one.
        if (line.ending == LineEnd::cr) m_view[line.end] = '\n';
        const std::string_view text = m_in.substr(line.begin, line.end - line.begin);

        if (text.size() >= 2 && text[0] == '-' && text[1] == '-' && StartsPart(text)) {
            if (m_inHeader) {
                EndField(line.begin);
                EndBlock(line.begin);
                if (m_cut != kNone) break;
            }
            if (++m_parts > m_limits.parts) {
                Cut(line.begin, "more than " + Thousands(m_limits.parts) + " parts");
                break;
            }
            CloseLevels(text);
            continue;
        }
        if (!m_inHeader) continue;
        if (text.empty()) {
            EndField(line.begin);
            EndBlock(line.next);
            continue;
        }
        if (++m_headerLines > m_limits.headerLines) {
            Cut(line.begin, "more than " + Thousands(m_limits.headerLines) + " header lines");
            break;
        }
        m_headerBytes += line.next - line.begin;
        if (m_headerBytes > m_limits.headerBytes) {
            Cut(line.begin, "more than " + Thousands(m_limits.headerBytes) + " bytes of header");
            break;
        }
        if (text[0] != ' ' && text[0] != '\t') {
            EndField(line.begin);
            m_field = line.begin;
        } else if (m_field == kNone) {
            m_field = line.begin;
        }
    }
    if (m_cut == kNone && m_inHeader) EndField(m_in.size());
    return m_cut == kNone ? m_in.size() : m_cut;
}

// Whether `line` could be a delimiter of a multipart that may be open: any boundary that
// begins it (GMime wants it exactly, at most white space after).
bool Guard::StartsPart(std::string_view line) const {
    const std::string_view rest = line.substr(2);
    return std::any_of(m_levels.begin(), m_levels.end(), [&](const Level& level) {
        return level.multipart &&
               (level.unknown || rest.substr(0, level.boundary.size()) == level.boundary);
    });
}

// A delimiter line: the levels inside the multipart it belongs to are over, and the
// multipart too when it is its close delimiter. Only a line that is exactly a delimiter
// closes anything, so GMime never has more levels open than are counted here; any other line
// that begins with a boundary may begin a part, for GMime, and so a header.
void Guard::CloseLevels(std::string_view line) {
    std::string_view rest = line.substr(2);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
    bool closed = false;
    for (size_t i = m_levels.size(); i-- > 0;) {
        const Level& level = m_levels[i];
        if (!level.multipart || level.unknown) continue;
        const bool delimiter = rest == level.boundary;
        closed = !delimiter && rest.size() == level.boundary.size() + 2 &&
                 rest.substr(0, level.boundary.size()) == level.boundary &&
                 rest.substr(level.boundary.size()) == "--";
        if (!delimiter && !closed) continue;
        m_levels.resize(closed ? i : i + 1);
        break;
    }
    m_inHeader = !closed;
    m_field = kNone;
    m_contentType = m_message = m_digest = false;
    m_declared.clear();
}

void Guard::EndField(size_t end) {
    const size_t begin = m_field;
    m_field = kNone;
    if (begin == kNone || m_cut != kNone) return;
    const std::string_view field = m_in.substr(begin, end - begin);
    const size_t colon = field.find(':');
    const size_t eol = field.find_first_of("\r\n");
    if (colon == std::string_view::npos || colon > eol) return;  // GMime skips such a line
    std::string_view name = field.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    const std::string_view value = field.substr(colon + 1);

    if (IsInterpretedField(name)) {
        if (field.size() > m_limits.fieldBytes) {
            Rename(begin, name, field.size(), "longer than one field may be");
            return;
        }
        if (m_interpreted + field.size() > m_limits.fieldsBytes) {
            Rename(begin, name, field.size(), "beyond what the header fields of one mail may hold");
            return;
        }
        m_interpreted += field.size();
    }

    const bool contentType = IEquals(name, "content-type");
    size_t bad = 0;
    ForEachBadEncodedWord(value, [&](size_t at) {
        ++bad;
        if (!contentType) m_view[begin + colon + 1 + at] = ' ';  // not a "=?" any more
    });
    if (contentType && bad > kBadWordsInContentType) {
        Rename(begin, name, field.size(), "full of broken encoded words");
        return;
    }
    if (IsAddressField(name) && HasNestedGroup(value)) {
        m_view[begin] = 'X';  // read as text: its value is shown, never parsed
        return;
    }
    if (contentType) ReadContentType(value);
}

// What a Content-Type may make of the part: a multipart with each boundary it names, an
// attached message.
void Guard::ReadContentType(std::string_view value) {
    m_contentType = true;
    if (IFind(value, "message") != kNone) m_message = true;
    if (IFind(value, "digest") != kNone) m_digest = true;
    for (size_t at = IFind(value, "boundary"); at != kNone; at = IFind(value, "boundary", at + 1)) {
        size_t p = at + 8;
        while (p < value.size() && IsSpace(value[p])) ++p;
        if (p < value.size() && (value[p] == '*' || value[p] == '(')) {  // RFC 2231, comments
            m_declared.push_back({"", true, true, false});
            continue;
        }
        if (p >= value.size() || value[p] != '=') continue;
        ++p;
        while (p < value.size() && IsSpace(value[p])) ++p;
        Level level;
        if (p < value.size() && value[p] == '"') {
            const size_t close = value.find('"', p + 1);
            const std::string_view quoted =
                value.substr(p + 1, close == std::string_view::npos ? 0 : close - p - 1);
            if (close == std::string_view::npos || quoted.find('\\') != std::string_view::npos)
                level.unknown = true;
            level.boundary = quoted;
        } else {
            size_t end = p;
            while (end < value.size() && !IsSpace(value[end]) && value[end] != ';' &&
                   value[end] != '(')
                ++end;
            level.boundary = value.substr(p, end - p);
        }
        // GMime decodes encoded words in parameters, and may drop white space at the end.
        if (level.boundary.find("=?") != std::string::npos) level.unknown = true;
        while (!level.boundary.empty() &&
               (level.boundary.back() == ' ' || level.boundary.back() == '\t'))
            level.boundary.pop_back();
        m_declared.push_back(std::move(level));
    }
}

// The end of a header block; the next line, if any, is at `next`.
void Guard::EndBlock(size_t next) {
    if (m_cut != kNone) return;
    const bool inDigest = !m_levels.empty() && m_levels.back().multipart && m_levels.back().digest;
    for (Level& level : m_declared) {
        level.digest = m_digest;
        m_levels.push_back(std::move(level));
    }
    // An attached message (or a part of a digest without a Content-Type, which is one): its
    // own header follows at once.
    m_inHeader = m_message || (inDigest && !m_contentType);
    if (m_inHeader) m_levels.push_back({"", false, false, false});
    m_field = kNone;
    m_contentType = m_message = m_digest = false;
    m_declared.clear();
    if (m_levels.size() > m_limits.depth)
        Cut(next, "parts nested deeper than " + std::to_string(m_limits.depth) + " levels");
}

void Guard::Rename(size_t field, std::string_view name, size_t length, const char* why) {
    m_view[field] = 'X';                    // "Xontent-Type": a field GMime keeps as text
    std::string shown(name.substr(0, 64));  // for a reader: printable ASCII
    for (char& c : shown)
        if (c < ' ' || c > '~') c = '?';
    m_unread.push_back("the " + shown + " field at byte " + Thousands(field) + " (" +
                       Thousands(length) + " bytes, " + why + ") was not interpreted");
}

void Guard::Cut(size_t at, const std::string& why) {
    m_cut = at;
    m_unread.push_back("the message from byte " + Thousands(at) + " (line " + Thousands(m_line) +
                       ") on was not read: " + why);
}

void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_mime_init();
        // GLib makes a class the first time an object of it is made, under locks of its own
        // whose ordering ThreadSanitizer cannot see (GLib is not built with it): the classes
        // GMime may make while parsing are made here, once, before any thread parses, and kept.
        const GType types[] = {
            g_mime_message_get_type(),
            g_mime_message_part_get_type(),
            g_mime_message_partial_get_type(),
            g_mime_multipart_get_type(),
            g_mime_multipart_signed_get_type(),
            g_mime_multipart_encrypted_get_type(),
            g_mime_part_get_type(),
            g_mime_text_part_get_type(),
            g_mime_application_pkcs7_mime_get_type(),
            g_mime_object_get_type(),
            g_mime_parser_get_type(),
            g_mime_data_wrapper_get_type(),
            g_mime_content_type_get_type(),
            g_mime_content_disposition_get_type(),
            g_mime_param_get_type(),
            g_mime_param_list_get_type(),
            g_mime_header_get_type(),
            g_mime_header_list_get_type(),
            g_mime_stream_get_type(),
            g_mime_stream_mem_get_type(),
            g_mime_stream_null_get_type(),
            g_mime_stream_filter_get_type(),
            g_mime_filter_get_type(),
            g_mime_filter_basic_get_type(),
            g_mime_filter_charset_get_type(),
            internet_address_get_type(),
            internet_address_mailbox_get_type(),
            internet_address_group_get_type(),
            internet_address_list_get_type(),
        };
        for (const GType type : types)
            if (G_TYPE_IS_CLASSED(type)) g_type_class_ref(type);
    });
}

// Whether `line` begins a header field: "Name:", the name in printable ASCII.
bool IsFieldLine(std::string_view line) {
    size_t at = 0;
    while (at < line.size() && line[at] > ' ' && line[at] < 0x7F && line[at] != ':') ++at;
    if (at == 0) return false;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    return at < line.size() && line[at] == ':';
}

}  // namespace

std::optional<std::string> WhyNotMail(std::string_view message) {
    MailLines lines(message);
    MailLine line;
    lines.Next(line);
    std::string_view text = message.substr(line.begin, line.end - line.begin);
    if (text.rfind("From ", 0) == 0 && line.ending != LineEnd::none) {  // an mbox "From " line
        if (text.find('\0') != std::string_view::npos)
            return "not a mail message: NUL in its header";
        lines.Next(line);
        text = message.substr(line.begin, line.end - line.begin);
    }
    if (!IsFieldLine(text)) return "not a mail message: it begins with no header field";
    // Later lines are the module's to read (GMime skips what is no field); only NUL, which no
    // text has, tells binary data from a header.
    for (;;) {
        if (text.find('\0') != std::string_view::npos)
            return "not a mail message: NUL in its header";
        if (!lines.Next(line)) break;
        text = message.substr(line.begin, line.end - line.begin);
        if (text.empty()) break;
    }
    return std::nullopt;
}

struct ParsedMail::State {
    GPtr<GMimeStream> stream;  // owns the view
    GPtr<GMimeMessage> message;
    std::string_view view;  // what GMime read: the stream's own bytes
};

ParsedMail::ParsedMail(std::string_view message, const MailLimits& limits)
    : m_message(message), m_limits(limits), m_state(std::make_unique<State>()) {
    if (std::optional<std::string> why = WhyNotMail(message)) throw NotMail(*why);
    if (message.size() > G_MAXUINT) throw ClientError("a mail message of 4 GiB or more");
    InitGMime();
    // GLib ends the process when an allocation fails. The view is allocated so that it can
    // fail softly, and so is, for a moment, as much again as GMime may copy of what it reads
    // (a preamble, an epilogue, header values): memory running out then stops here.
    guint8* bytes = static_cast<guint8*>(g_try_malloc(std::max<size_t>(message.size(), 1)));
    void* room = g_try_malloc(message.size() + 1);
    g_free(room);
    if (!bytes || !room) {
        g_free(bytes);
        throw std::bad_alloc();
    }
    std::memcpy(bytes, message.data(), message.size());
    GByteArray* view = g_byte_array_new_take(bytes, message.size());
    const size_t end =
        Guard(message, reinterpret_cast<char*>(view->data), m_limits, m_unread).Run();
    g_byte_array_set_size(view, static_cast<guint>(end));
    m_state->view = std::string_view(reinterpret_cast<const char*>(view->data), view->len);

    m_state->stream.reset(g_mime_stream_mem_new_with_byte_array(view));
    const GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(m_state->stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    // The parts' contents stay in the stream, as bounds in it: no copies, and their offsets.
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
    m_state->message.reset(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!m_state->message) throw NotMail("not a mail message: GMime finds none in it");
}

ParsedMail::~ParsedMail() = default;

GMimeMessage* ParsedMail::message() const noexcept {
    return m_state->message.get();
}

std::optional<ParsedMail::Span> ParsedMail::Locate(GMimeHeader* header) const {
    const std::string_view view = m_state->view;
    const gint64 offset = g_mime_header_get_offset(header);
    const char* name = g_mime_header_get_raw_name(header);
    const char* raw = g_mime_header_get_raw_value(header);
    if (offset < 0 || !name || !raw) return std::nullopt;
    const std::string_view rawName(name), rawValue(raw);
    // GMime gives the offset of the header block, not of the field, for the first field after
    // an mbox "From " line: the field is looked for in the next few lines.
    size_t at = static_cast<size_t>(offset);
    for (int tries = 0; tries < 4 && at < view.size(); ++tries) {
        if (view.compare(at, rawName.size(), rawName) == 0) {
            size_t colon = at + rawName.size();
            while (colon < view.size() && (view[colon] == ' ' || view[colon] == '\t')) ++colon;
            if (colon < view.size() && view[colon] == ':' &&
                view.compare(colon + 1, rawValue.size(), rawValue) == 0)
                return Span{at, colon, colon + 1 + rawValue.size()};
        }
        const size_t eol = view.find('\n', at);
        if (eol == std::string_view::npos) break;
        at = eol + 1;
    }
    return std::nullopt;
}

std::optional<std::pair<size_t, size_t>> ParsedMail::ContentRange(GMimePart* part) const {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* stream = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    // With the stream kept, GMime gives each part its bounds in the message's own stream.
    if (!stream || stream->super_stream != m_state->stream.get()) return std::nullopt;
    const gint64 end = stream->bound_end < 0 ? static_cast<gint64>(m_state->view.size())  // open
                                             : stream->bound_end;
    if (stream->bound_start < 0 || end < stream->bound_start ||
        static_cast<size_t>(end) > m_state->view.size())
        return std::nullopt;
    return std::pair{static_cast<size_t>(stream->bound_start), static_cast<size_t>(end)};
}

std::string_view ParsedMail::Content(GMimePart* part) const {
    const std::optional<std::pair<size_t, size_t>> range = ContentRange(part);
    return range ? m_state->view.substr(range->first, range->second - range->first)
                 : std::string_view();
}

std::string_view ParsedMail::RawValue(GMimeHeader* header) const {
    if (const std::optional<Span> span = Locate(header))
        return m_message.substr(span->colon + 1, span->end - span->colon - 1);
    const char* raw = g_mime_header_get_raw_value(header);
    return raw ? raw : "";
}

std::string_view ParsedMail::RawName(GMimeHeader* header) const {
    if (const std::optional<Span> span = Locate(header)) {
        std::string_view name = m_message.substr(span->begin, span->colon - span->begin);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        return name;
    }
    const char* name = g_mime_header_get_raw_name(header);
    return name ? name : "";
}

}  // namespace glyphary::client
