// Shift_JIS as handsets write it: the ordinary characters of CP932 (JIS X 0208 with the NEC
// and IBM extensions, half-width katakana) and, in place of the user-defined area, the emoji
// of one carrier at the codes its handsets use. Table driven, no iconv: the tables are built
// once per layout from committed generated data (cp932_table.inc, sjis_layouts.inc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/ascii.h"
#include "text/buffer.h"
#include "text/carry.h"
#include "text/format.h"

namespace glyphary::text {

// ---------------------------------------------------------------------------------------------
// The codes where the carriers' layouts part: CP932's user-defined area F040-F9FC, which CP932
// maps to U+E000-U+E757 in code order (the trail bytes skip 7F), and SoftBank's FB41-FBDE
// beyond it. Continuing that linear mapping over F040-FCFC gives each such code one unit.

/// The first and last code of the linear mapping, and the units it maps them to.
inline constexpr uint16_t kFirstLinearCode = 0xF040, kLastLinearCode = 0xFCFC;
inline constexpr char16_t kFirstLinearUnit = 0xE000, kLastLinearUnit = 0xE98B;
/// The last unit CP932 itself gives (for F9FC).
inline constexpr char16_t kLastUserDefinedUnit = 0xE757;

/// The unit of `code` (lead F0-FC, a valid trail byte) in the linear mapping.
inline constexpr char16_t LinearUnit(uint16_t code) {
    const unsigned trail = code & 0xFF;
    return static_cast<char16_t>(kFirstLinearUnit + ((code >> 8) - 0xF0) * 188 +
                                 (trail < 0x7F ? trail - 0x40 : trail - 0x41));
}
/// The code of `unit` (kFirstLinearUnit..kLastLinearUnit) in the linear mapping.
inline constexpr uint16_t LinearCode(char16_t unit) {
    const unsigned k = unit - kFirstLinearUnit, t = k % 188;
    return static_cast<uint16_t>((0xF0 + k / 188) << 8 | (t < 0x3F ? t + 0x40 : t + 0x41));
}

/// One Shift_JIS layout: decoding and encoding tables.
class ShiftJisTable {
  public:
    /// In `single`: a byte that starts a two-byte code, and a byte that is no character.
    static constexpr uint16_t kLead = 0xFFFE, kNone = 0xFFFF;

    /// The layout of `carrier`'s handsets: its emoji at its codes, and no other code of the
    /// user-defined area. Carrier::none gets plain CP932, whose user-defined area F040-F9FC
    /// is U+E000-U+E757. Carrier::automatic decodes as CP932 but that every code some
    /// carrier's layout reads otherwise (an emoji, or SoftBank's FB41-FBDE) gives its
    /// LinearUnit, and a code of the user-defined area that no carrier reads is none; its
    /// encoding side is CP932's.
    static const ShiftJisTable& For(Carrier carrier);

    /// The unit of a single byte, or kLead, or kNone.
    uint16_t Single(uint8_t byte) const { return m_single[byte]; }
    /// The unit of the two-byte code `lead` `trail` (lead a kLead byte), or 0 for none.
    uint16_t Double(uint8_t lead, uint8_t trail) const {
        return m_double[(lead - 0x80) * 256 + trail];
    }
    /// The code of `unit`: a byte (< 0x100), a two-byte code, or kNone.
    uint16_t Encode(char16_t unit) const { return m_encode[unit]; }
    /// Whether SoftBank's escapes (ESC $ page characters SI) stand for emoji in this layout.
    bool webCodeEscapes() const noexcept { return m_webCodeEscapes; }

  private:
    friend class ShiftJisDecoder;  // reads the tables directly in its inner loop
    explicit ShiftJisTable(Carrier carrier);

    uint16_t m_single[256];
    uint16_t m_double[0x7D * 256];  // leads 0x80-0xFC
    uint16_t m_encode[0x10000];
    bool m_webCodeEscapes = false;
};

/// Shift_JIS bytes to UTF-16, one step of a Carry at a time: it stops before a lead byte or an
/// escape that the input ends inside of (unless final). Between steps it remembers only
/// whether it is inside a page of SoftBank web codes.
class ShiftJisDecoder {
  public:
    /// Units a step may write beyond one a byte: an escape's bytes kept at its end.
    static constexpr size_t kExtraUnits = 4;

    ShiftJisDecoder(const ShiftJisTable& table, Issues& issues)
        : m_table(table), m_issues(issues) {}

    /// Decodes `in`, whose first byte is at stream offset `offset`, to out[w...], which has
    /// room for in.size() + kExtraUnits units; advances w. What does not decode goes to the
    /// issues (strict stops there).
    Consumed Decode(std::string_view in, bool final, size_t offset, char16_t* out, size_t& w);

  private:
    struct Loops;  // Decode's loop for each SIMD level

    // The loop of Decode around one ASCII kernel.
    template <ascii::Widen kWiden>
    Consumed Run(std::string_view in, bool final, size_t offset, char16_t* out, size_t& w);
    // An item that does not decode: its fault, offset, value and bytes (kept under keep);
    // false when the decoder is to stop there.
    bool Bad(Fault fault, size_t at, uint32_t value, std::string_view bytes, char16_t* out,
             size_t& w);
    // The bytes of the escape that opened the current page, to be kept with an item of it
    // unless characters or a kept item stand for them already.
    std::string_view Opener() const {
        return m_pageEmpty && !m_openerKept ? std::string_view(m_escape, 3) : std::string_view();
    }

    const ShiftJisTable& m_table;
    Issues& m_issues;
    char16_t m_page = 0;        // inside a page: its first code point less 0x20; else 0
    bool m_pageEmpty = true;    // no character since the page letter
    bool m_openerKept = false;  // the opener went out with an item that was kept
    char m_escape[4] = {'\x1B', '$', 0, 0};
    size_t m_escapeAt = 0;  // stream offset of the page's ESC
};

/// Appends `units`, whose first unit is at stream offset `offset`, to `out` in `table`'s
/// Shift_JIS. Unless `final`, a high surrogate at the end is left for the next call. With
/// `references`, private-use characters and characters without a code are written &#xHEX;;
/// what cannot be written (without references, a character without a code; always, a lone
/// surrogate) goes to the issues (strict stops there).
Consumed EncodeShiftJis(const ShiftJisTable& table, std::u16string_view units, bool final,
                        bool references, Issues& issues, size_t offset, ByteBuffer& out);

}  // namespace glyphary::text
