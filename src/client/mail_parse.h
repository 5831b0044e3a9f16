// A raw mail handed to GMime safely. Before GMime sees a message, one linear pass over its
// lines bounds what GMime would build or do for it (GMime recurses on nested address groups,
// decodes some encoded words in quadratic time, checks every line starting "--" against every
// open boundary, and spends hundreds of bytes per header line, parameter, address and part):
// the pass stops at a line beyond the limits below and keeps GMime from interpreting what it
// cannot afford, on a copy of the message of the same length, so GMime's offsets are offsets
// in the message itself. The pass errs on the side of stopping early: it counts every line
// that GMime could take for a header or a delimiter.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/errors.h"

// GMime's types, for the declarations only.
typedef struct _GMimeMessage GMimeMessage;
typedef struct _GMimeObject GMimeObject;
typedef struct _GMimeHeader GMimeHeader;
typedef struct _GMimePart GMimePart;

namespace glyphary::client {

/// What one mail may hold before the rest of it is left unread.
struct MailLimits {
    size_t depth = 32;             ///< levels of nested parts (multiparts, attached messages)
    size_t parts = 10000;          ///< lines that may begin a part
    size_t headerLines = 10000;    ///< lines that may be header lines, over all parts
    size_t headerBytes = 1 << 22;  ///< their bytes
    size_t fieldBytes = 65536;     ///< one header field that GMime interprets
    size_t fieldsBytes = 1 << 19;  ///< all of them together
};

/// What is thrown for bytes that hold no mail message.
class NotMail : public ClientError {
  public:
    using ClientError::ClientError;
};

/// Why `message` is no mail message, or nothing when it could be one: it must begin with a
/// header field ("Name:", after an mbox "From " line if there is one), and its header (up to
/// the first empty line, lines read as the module reads them) must hold no NUL.
std::optional<std::string> WhyNotMail(std::string_view message);

/// A mail parsed by GMime within `MailLimits`.
class ParsedMail {
  public:
    /// Parses `message`, which must outlive this. Throws NotMail when it is no mail message
    /// (WhyNotMail, or GMime finds none).
    explicit ParsedMail(std::string_view message, const MailLimits& limits = {});
    ~ParsedMail();
    ParsedMail(const ParsedMail&) = delete;
    ParsedMail& operator=(const ParsedMail&) = delete;

    GMimeMessage* message() const noexcept;
    const MailLimits& limits() const noexcept { return m_limits; }

    /// What of the message GMime was not shown or not let interpret, one sentence each
    /// ("the message after byte 1200 (line 31): more than 10,000 header lines"); empty when
    /// it saw all of it as it is.
    const std::vector<std::string>& unread() const noexcept { return m_unread; }
    /// Adds to unread(): what a reader of the parsed tree left out.
    void AddUnread(std::string what) { m_unread.push_back(std::move(what)); }

    /// Where `header` of the parsed tree lies in the message, name to the end of its value
    /// (folding and line end included), when GMime's offset and value agree with the bytes.
    struct Span {
        size_t begin = 0;
        size_t colon = 0;  ///< the colon after the name
        size_t end = 0;
    };
    std::optional<Span> Locate(GMimeHeader* header) const;

    /// Where the content of `part` (before its transfer decoding) lies in the message: from
    /// the first byte after its header's empty line to the last before the line end that
    /// precedes the next delimiter (or to the end).
    std::optional<std::pair<size_t, size_t>> ContentRange(GMimePart* part) const;

    /// The content of `part` as GMime read it (CRs alone as LFs), before its transfer
    /// decoding; empty when GMime did not place it.
    std::string_view Content(GMimePart* part) const;

    /// The original bytes of the value of `header` (after the colon, up to the end of its
    /// line end) and its name as the message has them; GMime's own when Locate fails.
    std::string_view RawValue(GMimeHeader* header) const;
    std::string_view RawName(GMimeHeader* header) const;

  private:
    struct State;
    std::string_view m_message;
    MailLimits m_limits;
    std::vector<std::string> m_unread;
    std::unique_ptr<State> m_state;
};

}  // namespace glyphary::client
