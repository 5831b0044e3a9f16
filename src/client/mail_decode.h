// Mail from handsets as Unicode text: the MIME structure and the transfer encodings through
// GMime (within MailLimits: see mail_parse.h), the charsets that carry the carriers' emoji
// through our own decoders (ISO-2022-JP with au's emoji rows, each carrier's Shift_JIS,
// UTF-8), so that every emoji arrives as its carrier's private-use character, ready for
// Globalize.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/mail_parse.h"
#include "com/iglyphary.h"

namespace glyphary::client {

/// One mail, decoded.
struct DecodedMail {
    struct Header {
        std::string name;        ///< "From", "To", "Date", "Subject"
        std::u16string value;    ///< unfolded, encoded words decoded
        EMapMode carrier;        ///< whose emoji the value holds (MPM_none: nobody's)
        size_t undecodable = 0;  ///< bytes that did not decode (each a U+FFFD in `value`)
    };
    struct Part {
        std::string type;        ///< "text/plain", "image/jpeg"
        std::string name;        ///< file name, or empty
        size_t size = 0;         ///< bytes after transfer decoding
        bool text = false;       ///< a text part, decoded into `content`
        std::u16string content;  ///< its text, lines ended by LF
        EMapMode carrier;        ///< whose emoji the content holds (MPM_none: nobody's)
        size_t undecodable = 0;  ///< bytes that did not decode (each a U+FFFD in `content`)
        std::string note;        ///< what a reader should know of it (a body shown as text)
    };
    /// The sending carrier: as asked, else by the sender's domain; MPM_none when neither says.
    EMapMode carrier = MPM_none;
    std::vector<Header> headers;  ///< those of From, To, Date, Subject the mail has, in order
    std::vector<Part> parts;      ///< the leaf parts in order (a single-part mail has one)
    /// What of the mail is not shown, one sentence each (a limit it passed); empty when all is.
    std::vector<std::string> unread;

    /// The bytes of text, headers included, that did not decode in their charsets.
    size_t Undecodable() const noexcept;
};

/// Decodes the raw mail `message` (any bytes: what cannot be read becomes U+FFFD). The
/// emoji are read as `carrier`'s when given, else as the sender's carrier's (by the From
/// domain), else as far as the charset tells (au's emoji rows in ISO-2022-JP). Lines end as
/// the module reads them (at CR, CR LF or LF). Throws ClientError when the bytes hold no mail
/// ("not a mail message: ...").
DecodedMail DecodeMail(std::string_view message, std::optional<EMapMode> carrier = {},
                       const MailLimits& limits = {});

/// The carrier whose emoji a parsed mail holds: `carrier` when given, else the sender's by the
/// domain of the first mailbox in From, else MPM_none.
EMapMode SenderCarrier(const ParsedMail& parsed, std::optional<EMapMode> carrier);

/// One leaf part of a parsed mail as DecodeMail reads it: a text part (text/*, not an
/// attachment with a name) decoded by its charset, lines ended by LF; any other only sized.
DecodedMail::Part DecodeMailPart(const ParsedMail& parsed, GMimePart* part, EMapMode mailCarrier);

/// The carrier whose handsets send mail from `address` (docomo.ne.jp: i-mode; ezweb.ne.jp,
/// au.com: EZweb; softbank.ne.jp, i.softbank.jp, disney.ne.jp, *.vodafone.ne.jp: SoftBank),
/// else MPM_none.
EMapMode CarrierOfAddress(std::string_view address);

/// Text in `charset` (a MIME charset name) to UTF-16, with `carrier`'s emoji as its
/// private-use characters; bytes that do not decode become U+FFFD.
std::u16string DecodeMailText(std::string_view bytes, std::string_view charset, EMapMode carrier);

/// A raw header value: unfolded, RFC 2047 encoded words decoded by their charsets (an
/// ISO-2022-JP word from an unknown sender is read with au's emoji rows).
std::u16string DecodeHeaderValue(std::string_view raw, EMapMode carrier);

/// Turns a text's emoji into what the reader wants (neutral notation, another table's
/// emoji); `carrier` says whose private-use characters the text holds. A long text comes in
/// pieces cut between characters, each to be converted as it would be within the whole (as
/// Globalize does).
using EmojiRenderer = std::function<std::u16string(std::u16string_view text, EMapMode carrier)>;

/// The mail as UTF-8 for a reader: the headers (control characters shown as '?', as in
/// part names), an empty line, then each part after the one before and an empty line, text
/// parts through `render`, others as "[type name, N bytes]", and at the end one line
/// "[not shown: ...]" for each thing not shown. Unpaired surrogates become U+FFFD.
std::string MailText(const DecodedMail& mail, const EmojiRenderer& render);

}  // namespace glyphary::client
