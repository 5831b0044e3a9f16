// Shift_JIS as handsets write it: the ordinary characters of CP932 (JIS X 0208 with the NEC
// and IBM extensions, half-width katakana) and, in place of the user-defined area, the emoji
// of one carrier at the codes its handsets use. Table driven, no iconv: the tables are built
// once per layout from committed generated data (cp932_table.inc, sjis_layouts.inc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "com/iglyphary.h"

namespace glyphary::client {

/// One Shift_JIS layout: decoding and encoding tables.
class ShiftJisTable {
  public:
    /// In `single`: a byte that starts a two-byte code, and a byte that is no character.
    static constexpr uint16_t kLead = 0xFFFE, kNone = 0xFFFF;

    /// The layout of the carrier whose map mode is `carrier` (1 i-mode, 2 EZweb, 3
    /// SoftBank): its emoji at its codes, and no other code of the user-defined area. Any
    /// other mode gets plain CP932, whose user-defined area F040-F9FC is U+E000-U+E757.
    static const ShiftJisTable& For(EMapMode carrier);

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
    /// The map mode this layout is for, and its name for messages ("Shift_JIS (softbank)").
    EMapMode carrier() const noexcept { return m_carrier; }
    const std::string& name() const noexcept { return m_name; }

  private:
    friend class ShiftJisDecoder;  // reads the tables directly in its inner loop
    explicit ShiftJisTable(EMapMode carrier);

    uint16_t m_single[256];
    uint16_t m_double[0x7D * 256];  // leads 0x80-0xFC
    uint16_t m_encode[0x10000];
    bool m_webCodeEscapes = false;
    EMapMode m_carrier;
    std::string m_name;
};

/// What a decoder does with bytes that are no character.
enum class Malformed {
    fail,     ///< throw EncodingError with the stream offset of the first such byte
    replace,  ///< write U+FFFD in their place and go on
};

/// Shift_JIS bytes to UTF-16, piece by piece: a two-byte code or an escape cut at the end
/// of a piece is completed by the next.
class ShiftJisDecoder {
  public:
    ShiftJisDecoder(const ShiftJisTable& table, Malformed malformed)
        : m_table(table), m_malformed(malformed) {}

    /// Decodes `in` into `out` (room for in.size() + 1 units) and returns the units written.
    /// `offset` is the stream offset of in[0], for errors. With `final`, a sequence left
    /// open is malformed.
    size_t Decode(std::string_view in, bool final, char16_t* out, size_t offset);

  private:
    // Where an unfinished sequence stands.
    enum class Open : uint8_t { none, lead, escape, escapeDollar, page };

    // One malformed sequence at stream offset `at`; returns the units written for it.
    size_t Bad(size_t at, const std::string& what, char16_t* out);
    std::string NotValid(unsigned code, int bytes) const;
    // Byte `b` (at stream offset `at`) of the open sequence; returns 1 if it was taken, 0
    // if it is to be read again as the start of something else.
    size_t Continue(uint8_t b, size_t at, char16_t* out, size_t& w);

    const ShiftJisTable& m_table;
    Malformed m_malformed;
    Open m_open = Open::none;
    uint8_t m_lead = 0;
    char16_t m_page = 0;      // the first code point of the escape's page, less one
    bool m_pageEmpty = true;  // no character since the page letter
    size_t m_openAt = 0;      // stream offset of the unfinished sequence
};

/// Appends `units` to `out` in `table`'s Shift_JIS. Returns the index of the first unit it
/// cannot write (a surrogate, or a character without a code), or units.size() when all
/// went. With `references`, private-use characters and characters without a code are
/// written as &#xHEX; instead.
size_t EncodeShiftJis(const ShiftJisTable& table, std::u16string_view units, bool references,
                      std::string& out);

}  // namespace glyphary::client
