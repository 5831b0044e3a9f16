// The carriers by the names people use for them, and the map modes that select them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "com/iglyphary.h"
#include "text/format.h"

namespace glyphary::client {

/// The map mode of the standard Unicode table in the sample configuration.
inline constexpr EMapMode kUnicodeMode = static_cast<EMapMode>(4);

/// The mode named `name`, in any letter case: imode (i-mode, docomo), ezweb (au, kddi),
/// softbank (vodafone), unicode, none, or a 32-bit mode number. None for anything else.
std::optional<EMapMode> ParseCarrier(std::string_view name);

/// "imode", "ezweb", "softbank", "unicode", "none", or "mode N" for any other value.
std::string CarrierName(long mode);

/// The text format of `encoding` for text of map mode `mode`: Shift_JIS follows the
/// carrier's layout (plain CP932 for any other mode). Throws ClientError with a hint when it
/// cannot carry that text: Shift_JIS has no codes for the standard emoji of the unicode table
/// unless they go as references.
text::Format TextFormat(text::Encoding encoding, EMapMode mode, bool references);

/// The names ParseCarrier takes, for messages: "imode, ezweb, softbank, unicode, none or a
/// mode number".
inline constexpr const char* kCarrierNames =
    "imode, ezweb, softbank, unicode, none or a mode number";

}  // namespace glyphary::client
