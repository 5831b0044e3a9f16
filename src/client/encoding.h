// Text at the edge, as bytes in the encodings handset applications meet, to and from the
// interface's UTF-16 units: UTF-8, UTF-16LE (units passed through untouched, lone surrogates
// and zero units included) and Shift_JIS with a carrier's emoji (client/shift_jis.h), each
// optionally with emoji as numeric character references. Both directions stream: a character
// or a reference cut at the end of a piece waits for the next.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "com/iglyphary.h"

namespace glyphary::client {

class ShiftJisDecoder;
class ShiftJisTable;

enum class Encoding { utf8, utf16le, sjis };

/// The encoding named `name` ("utf-8", "utf-16le", "sjis" or "cp932"; letter case, hyphens
/// and underscores are free); false for any other name.
bool ParseEncoding(std::string_view name, Encoding& encoding);
/// "utf-8", "utf-16le", "sjis" (for messages and option values).
const char* EncodingName(Encoding encoding);

/// How text is written at the edge.
struct TextFormat {
    Encoding encoding = Encoding::utf8;
    /// Whose handsets' emoji layout Shift_JIS follows (a carrier's map mode).
    EMapMode carrier = MPM_none;
    /// Emoji as numeric character references. On input, references to private-use code
    /// points (&#xE63E;, &#58942;) are read as those characters (others stay text); on
    /// output, private-use characters, and characters the encoding cannot carry, are written
    /// as &#xHEX;.
    bool ncr = false;
};

/// Throws ClientError with a hint when text in `format` cannot carry what its carrier's
/// text holds: Shift_JIS has no codes for the standard emoji of the unicode table unless
/// they go as references. Call it for the input's format and for the output's.
void CheckTextFormat(const TextFormat& format);

/// `value` in upper-case hexadecimal, at least `digits` digits ("E63E"), for messages.
std::string Hex(unsigned value, int digits);

/// Bytes that do not decode, or units the encoding cannot carry. `offset` counts bytes of the
/// input when decoding and UTF-16 units of the text when encoding, from the stream's start.
class EncodingError : public std::runtime_error {
  public:
    EncodingError(const std::string& message, size_t offset)
        : std::runtime_error(message), m_offset(offset) {}
    size_t offset() const noexcept { return m_offset; }

  private:
    size_t m_offset;
};

/// Bytes to UTF-16 units, piece by piece.
class Decoder {
  public:
    explicit Decoder(const TextFormat& format);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    /// Room Decode needs in `out` for `bytes` bytes.
    static size_t Room(size_t bytes) { return bytes + kCarry; }
    /// Decodes `bytes` into `out` and returns the units written. A character cut at the end
    /// is kept for the next call, or, when `final`, is an error. Throws EncodingError.
    size_t Decode(std::string_view bytes, bool final, char16_t* out);

  private:
    // Units held back from one call to the next: a reference cut at the end (at most 11
    // units), and a Shift_JIS lead byte's character.
    static constexpr size_t kCarry = 16;
    size_t DecodeBytes(std::string_view bytes, bool final, char16_t* out);
    size_t ReadReferences(char16_t* text, size_t size, bool final);

    Encoding m_encoding;
    bool m_ncr;
    std::string m_carry;  // the start of a character cut at the end of the last piece
    size_t m_offset = 0;  // bytes of the stream before m_carry
    std::unique_ptr<ShiftJisDecoder> m_sjis;
    std::u16string m_held;  // the start of a reference cut at the end of the last piece
};

/// UTF-16 units to bytes, piece by piece.
class Encoder {
  public:
    explicit Encoder(const TextFormat& format);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    /// Appends `units` encoded to `out`. A high surrogate at the end waits for the next call
    /// unless `final`. Throws EncodingError.
    void Encode(std::u16string_view units, bool final, std::string& out);

  private:
    Encoding m_encoding;
    bool m_ncr;
    const ShiftJisTable* m_sjis = nullptr;
    std::string m_scratch;  // UTF-8 before references, reused from piece to piece
    std::u16string m_carry;
    size_t m_offset = 0;  // units of the stream before m_carry
};

/// Whole-text helpers over Decoder and Encoder, for command-line arguments and the like.
std::u16string Decode(std::string_view bytes, const TextFormat& format);
std::string Encode(std::u16string_view text, const TextFormat& format);

/// UTF-16 to UTF-8 for messages: a lone surrogate becomes U+FFFD instead of failing.
std::string Utf8ForDisplay(std::u16string_view text);

}  // namespace glyphary::client
