// The legacy forms of emoji inside decoded text (Form: references, localsrc tags, web codes,
// Google's codes, text through CP932), read piece by piece; and the marks of the text a
// Decoder for Carrier::automatic writes. Internal to the text layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/format.h"

namespace glyphary::text {

/// Marked text: what a Decoder for Carrier::automatic writes and a CarrierResolver reads.
/// Units of the text as they are, but for noncharacters that mark what only a resolver can
/// decide. A private-use unit is a code point of whichever carriers have it.
namespace marks {
/// Followed by a Shift_JIS code (F040-FCFC) that several layouts may read, each its own way.
inline constexpr char16_t kShiftJis = 0xFDE0;
/// Followed by a Google code less U+F0000 (a code some carrier has an exact equivalent of).
inline constexpr char16_t kGoogle = 0xFDE1;
/// kCarrier + 1..3: the private-use units up to kEnd are certainly that carrier's (a
/// localsrc tag's au emoji, a page of SoftBank web codes).
inline constexpr char16_t kCarrier = 0xFDE1;
inline constexpr char16_t kEnd = 0xFDE5;
/// Followed by a unit of U+FDE0..U+FDEF that was in the text itself.
inline constexpr char16_t kLiteral = 0xFDEF;

inline constexpr bool IsMark(char16_t u) {
    return u >= 0xFDE0 && u <= 0xFDEF;
}
}  // namespace marks

/// Reads the forms of a Format from decoded units. A form that the units may end inside of is
/// left for the next piece (at most kMaxHeld units). Items of a form that cannot be read go
/// to the issues, their offsets counted in units of the decoded text.
class FormReader {
  public:
    /// The most units Read leaves for the next piece.
    static constexpr size_t kMaxHeld = kMaxTagUnits;

    /// Reads `format`'s forms; for Carrier::automatic also marks the text (and a Shift_JIS
    /// input's units of the linear mapping, which only its decoder writes).
    FormReader(const Format& format, Issues& issues);

    /// Whether Read may write more units than it reads: marked text (at most twice as many,
    /// and never more than the bytes they were decoded from), and web codes (an item of a
    /// page kept with the opener an earlier piece held: a few units more). Otherwise `out`
    /// may be `in`.
    bool grows() const noexcept { return m_automatic || m_format.forms.has(Form::webCodes); }

    struct Result {
        size_t written = 0;
        size_t read =
            0;           ///< units consumed; unless final or failed, the rest is for the next piece
        bool ok = true;  ///< false: stopped at a failure (strict) at `read`
    };

    /// Reads in[0, n) into `out`. Unless `final`, stops before an item that may go on past
    /// the end.
    Result Read(const char16_t* in, size_t n, bool final, char16_t* out);

  private:
    enum Kind : uint8_t;
    struct Kinds;
    static const Kinds& KindsFor(const Format& format);

    // Inside a page of web codes: reads on until it ends or the units do.
    Result Page(const char16_t* in, size_t n, char16_t* out, size_t& r, size_t& w);
    // An item at stream unit `at` that cannot be read: account for it and write what the
    // policy says (under keep, `kept`); false when reading stops there.
    bool Bad(Fault fault, size_t at, size_t length, uint32_t value, const char16_t* kept,
             size_t keptLength, char16_t* out, size_t& w);
    // The emoji `code` of carrier `own` (a form's own), written for this format.
    bool Emoji(Carrier own, char16_t code, size_t at, size_t length, char16_t* out, size_t& w);
    // Google's `code`, written as `length` units at `kept`.
    bool Google(char32_t code, size_t at, const char16_t* kept, size_t length, char16_t* out,
                size_t& w);

    Format m_format;
    Issues& m_issues;
    const Kinds& m_kinds;
    bool m_automatic;
    size_t m_offset = 0;  // units read by earlier calls
    // Inside a page of SoftBank web codes: its first code point less 0x20; else 0.
    char16_t m_page = 0;
    bool m_pageEmpty = true;    // no code since the opener
    bool m_openerKept = false;  // the opener went out with a kept item
    bool m_runOpen = false;     // a kCarrier mark is out for this page
    char16_t m_opener[3] = {0x1B, u'$', 0};
    size_t m_openerAt = 0;
};

}  // namespace glyphary::text
