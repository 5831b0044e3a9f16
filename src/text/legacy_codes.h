// The carriers' emoji as older systems stored them: Google's private-use codes and au's emoji
// numbers beside each carrier's own code point, from committed generated data
// (legacy_codes.inc, written by data/generate from emoji4unicode). An emoji's codes here are
// exact equivalents: the same emoji on each carrier that has it as its own.
#pragma once

#include <cstdint>
#include <span>

#include "text/format.h"

namespace glyphary::text {

/// One emoji that some carrier has as its own.
struct LegacyEmoji {
    char32_t google = 0;     ///< Google's code (U+FE000...), or 0
    char16_t codes[3] = {};  ///< the i-mode, EZweb and SoftBank code points; 0: not its own
    uint16_t auNumber = 0;   ///< au's emoji number, or 0

    /// The code of `carrier` (imode, ezweb or softbank), or 0.
    char16_t CodeOf(Carrier carrier) const {
        const int i = static_cast<int>(carrier) - 1;
        return i >= 0 && i < 3 ? codes[i] : 0;
    }
};

/// Every such emoji, in emoji4unicode's order.
std::span<const LegacyEmoji> LegacyEmojis();
/// The emoji of Google's code `code`, or null.
const LegacyEmoji* EmojiOfGoogleCode(char32_t code);
/// The emoji of au's number `number`, or null.
const LegacyEmoji* EmojiOfAuNumber(uint32_t number);
/// The emoji whose code for `carrier` is `code`, or null.
const LegacyEmoji* EmojiOfCode(Carrier carrier, char32_t code);

/// Google's codes of the carriers' emoji lie in [kFirstGoogleCode, kFirstGoogleCode + 0x1000).
inline constexpr char32_t kFirstGoogleCode = 0xFE000;

}  // namespace glyphary::text
