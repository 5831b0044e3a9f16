// How text is written as bytes (a Format), what a codec does with what does not fit (Errors),
// and its account of each such item (Issue, Issues).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "text/unicode.h"

namespace glyphary::text {

// ---------------------------------------------------------------------------------------------
// Formats

enum class Encoding : uint8_t {
    utf8,
    utf16le,  ///< units as they are, lone surrogates and zero units included
    sjis,     ///< Shift_JIS (CP932) with a carrier's emoji in the user-defined area
};

/// Whose handsets' layout Shift_JIS follows: the carriers by their map mode numbers.
enum class Carrier : int32_t {
    none = 0,
    imode = 1,
    ezweb = 2,
    softbank = 3,
    /// Input only: each emoji's carrier is found from its code, record by record. A Decoder
    /// for it writes marked text, which only a CarrierResolver (text/resolver.h) reads.
    automatic = -1,
};

/// The three carriers, in map mode order.
inline constexpr Carrier kEmojiCarriers[] = {Carrier::imode, Carrier::ezweb, Carrier::softbank};

/// Ways of writing emoji besides the encoding's own codes, as a set. On input each is read
/// when the format has it; on output only `references` means anything. Each has a name for
/// option lists (FormName).
enum class Form : uint8_t {
    /// "references": numeric character references. On input, references to private-use code
    /// points (&#xE63E;, &#58942;) are read as those characters (others stay text); on output,
    /// private-use characters, and characters the encoding cannot carry, are written &#xHEX;.
    references = 1 << 0,
    /// "sjis-references": references whose number is a carrier's Shift_JIS code of an emoji
    /// (&#63647; or &#xF89F; for i-mode's F8 9F), read as that emoji. From &#xF900; up such
    /// numbers name real characters, so it is never a default. Comes before `references`.
    sjisReferences = 1 << 1,
    /// "localsrc": au's <img localsrc="N"> by emoji number (quotes optional, other attributes
    /// allowed, any letter case, at most kMaxTagUnits long). The data has no icon names, so
    /// <img icon=...> is not read.
    localsrc = 1 << 2,
    /// "webcodes": SoftBank's web codes, ESC $ page characters SI, in any encoding (Shift_JIS
    /// for SoftBank reads them always). ESC $ and no page letter is text, as in ISO-2022-JP.
    webCodes = 1 << 3,
    /// "google": Google's private-use codes of the carriers' emoji (U+FE000...).
    google = 1 << 4,
    /// "cp932": the text went through a Windows code page 932 decoder that was given carrier
    /// Shift_JIS. U+E000..U+E757 (what it made of the user-defined area F040-F9FC) and the
    /// kanji it made of SoftBank's FB41-FBDE are taken back to their codes and read with the
    /// format's carrier's layout; a code that layout lacks is an issue (Fault::cp932Code).
    /// Never a default, never guessed: the user names it.
    cp932 = 1 << 5,
};

/// A set of Forms; a Form converts to the set of it alone.
class Forms {
  public:
    constexpr Forms() = default;
    constexpr Forms(Form form) : m_bits(static_cast<uint8_t>(form)) {}
    constexpr bool has(Form form) const { return m_bits & static_cast<uint8_t>(form); }
    constexpr bool empty() const { return m_bits == 0; }
    constexpr Forms operator|(Forms other) const { return Forms(m_bits | other.m_bits); }
    constexpr Forms without(Forms other) const { return Forms(m_bits & ~other.m_bits); }
    constexpr bool operator==(const Forms&) const = default;

  private:
    constexpr explicit Forms(unsigned bits) : m_bits(static_cast<uint8_t>(bits)) {}
    uint8_t m_bits = 0;
};

constexpr Forms operator|(Form a, Form b) {
    return Forms(a) | b;
}

/// Every form, in the order FormNames lists them.
inline constexpr Form kAllForms[] = {Form::references, Form::localsrc,       Form::webCodes,
                                     Form::google,     Form::sjisReferences, Form::cp932};
/// What input reads when no one says otherwise: the forms no text holds by accident (a
/// reference to a private-use character, au's localsrc markup, SoftBank's escapes, Google's
/// private-use codes). References to Shift_JIS codes and text through CP932 only when named.
inline constexpr Forms kDefaultInputForms =
    Form::references | Form::localsrc | Form::webCodes | Form::google;
/// The longest <img localsrc=...> tag read, in units.
inline constexpr size_t kMaxTagUnits = 64;

/// How text is written as bytes. Input and output each have their own.
struct Format {
    constexpr Format(Encoding encoding = Encoding::utf8, Carrier carrier = Carrier::none,
                     Forms forms = {})
        : encoding(encoding), carrier(carrier), forms(forms) {}

    Encoding encoding;
    Carrier carrier;
    Forms forms;

    bool references() const { return forms.has(Form::references); }
};

/// The encoding a name or charset label stands for ("utf-8", "utf-16le", and "sjis" with its
/// aliases shift_jis, cp932, windows-31j, ms_kanji...; letter case and punctuation are free);
/// none for any other.
std::optional<Encoding> ParseEncoding(std::string_view name);
/// "utf-8", "utf-16le", "sjis" (for messages and option values).
const char* EncodingName(Encoding encoding);
/// "imode", "ezweb", "softbank", "auto", "none".
const char* CarrierName(Carrier carrier);
/// The carrier of a map mode: 1 to 3, none for any other.
Carrier CarrierOfMode(long mode);
/// The carrier `name` names (imode, i-mode, docomo, ezweb, au, kddi, softbank, vodafone; any
/// letter case), none for any other.
std::optional<Carrier> ParseCarrierName(std::string_view name);

/// "references", "sjis-references", "localsrc", "webcodes", "google", "cp932".
const char* FormName(Form form);
/// The forms a comma-separated list names: form names, "default" (kDefaultInputForms) and
/// "none", any letter case, spaces around names free. None for an unknown name, which goes
/// to `unknown`.
std::optional<Forms> ParseForms(std::string_view names, std::string* unknown = nullptr);
/// The names of `forms`, comma-separated, in kAllForms' order ("" for none).
std::string FormNames(Forms forms);

// ---------------------------------------------------------------------------------------------
// Errors

/// What a codec does with bytes that do not decode and with characters the output cannot
/// carry. The caller chooses; every layer passes the choice down.
enum class Errors : uint8_t {
    strict,   ///< stop there: the call reports the failure and where it is
    replace,  ///< decoding: U+FFFD for each maximal ill-formed part; encoding: '?'
    /// Decoding: each byte of what does not decode is kept, a byte b of 0x80 or above as the
    /// lone unit U+DC00+b (Python's surrogateescape), a lower one as the ASCII character it
    /// is (in UTF-16LE, where a lone byte is no character, as U+DC00+b too); those units pass
    /// Globalize and Localize untouched. Encoding: a lone U+DC80..U+DCFF is written back as its
    /// byte in UTF-8 and Shift_JIS, anything else the output cannot carry as a reference &#N;
    /// (Python's xmlcharrefreplace). UTF-16LE carries every unit: it writes the units as they
    /// are, so a byte kept from a byte encoding comes out as its unit, not as the byte.
    keep,
};

/// What went wrong with one item.
enum class Fault : uint8_t {
    // Decoding; `value` holds the bytes (a two-byte code as lead << 8 | trail).
    utf8Sequence,    ///< bytes that start no UTF-8 sequence
    utf16OddByte,    ///< a last byte without its other half
    sjisByte,        ///< a byte that is no Shift_JIS character
    sjisPair,        ///< a lead byte and a byte that make no character
    sjisCut,         ///< the input ends after a lead byte
    escapePage,      ///< ESC $ and no page letter (value: the byte after $)
    escapeEmpty,     ///< ESC $ page SI with nothing between
    escapeUnclosed,  ///< a page of web codes that SI does not end
    escapeCode,      ///< a web code that is no emoji (value: its code point)
    escapeCut,       ///< the input ends inside an escape
    // Reading forms. These, and the escape faults above when web codes are read from decoded
    // text (any encoding but Shift_JIS), count `offset` and `length` in UTF-16 units of the
    // decoded text (what the encoding gave, before any form was read), not in bytes.
    cp932Code,      ///< text through CP932 whose code (value) the carrier's layout lacks
    noEquivalent,   ///< an emoji of another carrier (value: its code point) that this one lacks
    unknownGoogle,  ///< a Google code (value) of no carrier's emoji
    unknownNumber,  ///< an au emoji number (value) that names none
    // Encoding; `value` holds the code point (a lone surrogate as itself).
    loneSurrogate,  ///< a surrogate without its other half
    noCode,         ///< a character the output's encoding has no code for
};

/// One item that did not decode or could not be encoded.
struct Issue {
    /// Where it starts, counted from the start of the stream: bytes of the input when
    /// decoding, UTF-16 units of the text when encoding.
    size_t offset = 0;
    size_t length = 0;  ///< bytes or units it spans
    Fault fault = Fault::utf8Sequence;
    uint32_t value = 0;

    bool operator==(const Issue&) const = default;
};

/// The message for `issue` met in `format` ("byte 0xFF does not start a valid UTF-8 sequence").
std::string Describe(const Issue& issue, const Format& format);

/// What a decoder writes under replace or keep for the `length` bytes at `bytes` that do not
/// decode (length 0: something that is missing, such as the end of an escape); `ascii`: bytes
/// below 0x80 are ASCII in this encoding. Returns the units written (at most max(length, 1)).
inline size_t Substitute(Errors errors, const char* bytes, size_t length, bool ascii,
                         char16_t* out) {
    if (errors != Errors::keep) {
        *out = u'\xFFFD';
        return 1;
    }
    for (size_t k = 0; k < length; ++k) {
        const auto b = static_cast<unsigned char>(bytes[k]);
        out[k] = static_cast<char16_t>(b < 0x80 && ascii ? b : 0xDC00 + b);
    }
    return length;
}

/// What an encoder writes under replace or keep for the character `c` (a lone surrogate
/// included) that the output cannot carry; returns the bytes written (at most kMaxReference).
inline size_t Substitute(Errors errors, char32_t c, char* out) {
    if (errors != Errors::keep) {
        *out = '?';
        return 1;
    }
    if (c >= 0xDC80 && c <= 0xDCFF) {  // a byte a decoder kept
        *out = static_cast<char>(c - 0xDC00);
        return 1;
    }
    return WriteReference(c, out, Radix::decimal);
}

using IssueHook = std::function<void(const Issue&)>;

/// A codec's error policy and its account of the items it met: how many were replaced or kept,
/// the first of them, and the failure that stopped a strict one. Nothing here runs while
/// the text is well-formed.
class Issues {
  public:
    explicit Issues(Errors errors = Errors::strict) : m_errors(errors) {}

    Errors errors() const noexcept { return m_errors; }
    /// Items replaced or kept so far.
    size_t count() const noexcept { return m_count; }
    const std::optional<Issue>& first() const noexcept { return m_first; }
    /// The item a strict codec stopped at; none while all is well.
    const std::optional<Issue>& failure() const noexcept { return m_failure; }
    /// Calls `hook` for every item replaced or kept, and for the failure.
    void SetHook(IssueHook hook) { m_hook = std::move(hook); }

    /// Accounts for `issue`. True: count it and write its replacement (replace, keep); false:
    /// it is the failure, stop before it (strict).
    bool Take(const Issue& issue) {
        if (m_hook) m_hook(issue);
        if (m_errors == Errors::strict) {
            m_failure = issue;
            return false;
        }
        if (m_count++ == 0) m_first = issue;
        return true;
    }

  private:
    Errors m_errors;
    size_t m_count = 0;
    std::optional<Issue> m_first;
    std::optional<Issue> m_failure;
    IssueHook m_hook;
};

/// A strict failure at the edge of the API: `issue().offset` says where.
class EncodingError : public std::runtime_error {
  public:
    EncodingError(const Issue& issue, const Format& format)
        : std::runtime_error(Describe(issue, format)), m_issue(issue) {}
    const Issue& issue() const noexcept { return m_issue; }
    size_t offset() const noexcept { return m_issue.offset; }

  private:
    Issue m_issue;
};

}  // namespace glyphary::text
