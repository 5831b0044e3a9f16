// au (EZweb) mail converted whatever its shape. The module's ConvertEzwebMail knows two shapes
// only (a single text/plain part, or a multipart/mixed with an empty preamble line), each
// declared on one header line; everything else it refuses or copies. The program reads the
// MIME structure itself (GMime, within MailLimits), finds every ISO-2022-JP text part and
// every ISO-2022-JP encoded word of the headers by their byte ranges in the message, and
// rewrites the same codes with the same map the module uses, every other byte left as it was.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/mail_parse.h"
#include "client/object.h"
#include "mail/transcode.h"

namespace glyphary::client {

/// The module's EZweb mail map and its transcoding, shared with the module.
using MailCodeMap = EzwebMailCodeMap;

/// The mail map the module loads from the settings file at `settings` (Glyphary.setting beside
/// it), read by the module's own configuration reader; empty when the module would load none.
MailCodeMap ReadMailCodeMap(const std::filesystem::path& settings);

/// Which way a mail was converted.
enum class AuMailPath {
    module,         ///< ConvertEzwebMail alone
    moduleHeaders,  ///< ConvertEzwebMail, and encoded words of the header by the program
    structure,      ///< the program's reading of the MIME structure (the module refused the
                    ///< mail, or left text parts of it as they were)
};

struct AuMailOptions {
    bool headers = true;  ///< rewrite ISO-2022-JP encoded words in the headers too
    MailLimits limits;    ///< how much of the structure is read
};

struct AuMail {
    std::string bytes;  ///< the converted mail
    AuMailPath path = AuMailPath::module;
    /// Why the structure was not used, when a limit kept it from being read whole (the
    /// module's result stands alone then).
    std::vector<std::string> unread;
};

/// Converts the au mail `message`: through `object`'s ConvertEzwebMail as ConvertEzwebMail
/// (client/mail.h) does, then every line the module left as it was that the structure shows
/// to be ISO-2022-JP text is rewritten by `map`, and so are the encoded words of the headers.
/// Where the module refuses the mail (E_FAIL) but its header is complete, the structure alone
/// converts it: then every line keeps its own line end. With a null `object` the structure
/// alone converts any mail. Throws ClientError for what is no mail message, ComError when the
/// module fails and the structure cannot stand in (its header incomplete, or beyond a limit).
AuMail ConvertAuMail(Glyphary* object, const MailCodeMap& map, std::string_view message,
                     const AuMailOptions& options = {});

}  // namespace glyphary::client
