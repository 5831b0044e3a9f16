// A handset's mail re-encoded as standard MIME in UTF-8, for mail systems that read no
// carrier's charsets: every text part decoded as --decode reads it and written anew in UTF-8
// with a transfer encoding GMime chooses, encoded words in the header written anew in UTF-8,
// the emoji as the caller renders them; every other part, header and the structure kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "client/mail_decode.h"

namespace glyphary::client {

/// A mail in UTF-8 MIME.
struct Utf8Mail {
    std::string bytes;
    size_t textParts = 0;    ///< the text parts written anew
    size_t headers = 0;      ///< the header fields written anew
    size_t undecodable = 0;  ///< bytes that did not decode in their charsets (each now U+FFFD)
};

/// `message` as standard MIME in UTF-8: the text parts that DecodeMail decodes, in the same
/// carrier (`carrier`, else the sender's), through `render`, lines ended by LF. Throws NotMail
/// when the bytes hold no mail, ClientError when a limit leaves part of it unread (a mail is
/// re-encoded whole or not at all).
Utf8Mail MailToUtf8Mime(std::string_view message, std::optional<EMapMode> carrier,
                        const EmojiRenderer& render, const MailLimits& limits = {});

/// Whether `bytes` are an mbox: mails each after a "From " line, as the first line begins.
bool IsMbox(std::string_view bytes);

/// Each mail of the mbox `mbox` through MailToUtf8Mime, written as an mbox again: each after its
/// own "From " line and followed by an empty line, its lines beginning "From " as ">From ".
/// Throws ClientError, saying which mail ("mail 3 of the mbox: ..."), for the first
/// mail that cannot be re-encoded: the mbox is re-encoded whole or not at all.
Utf8Mail MboxToUtf8Mime(std::string_view mbox, std::optional<EMapMode> carrier,
                        const EmojiRenderer& render, const MailLimits& limits = {});

}  // namespace glyphary::client
