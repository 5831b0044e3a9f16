// Text at the edge: bytes in a Format to the interface's UTF-16 units and back, piece by
// piece. A character, an escape or a reference cut at the end of a piece waits for the next,
// so any cut of a stream gives what the whole gives. What does not decode or encode goes
// as the caller's Errors say; the codecs report by return value, never by exception.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "text/buffer.h"
#include "text/carry.h"
#include "text/format.h"

namespace glyphary::text {

class FormReader;
class ShiftJisDecoder;
class ShiftJisTable;

/// What a call of Decoder::Decode produced.
struct Decoded {
    size_t units = 0;  ///< units written
    bool ok = true;    ///< false: stopped at a failure (strict), which issues().failure() holds
};

/// Bytes to UTF-16 units, piece by piece, with the format's forms read. For
/// Carrier::automatic it writes marked text, for a CarrierResolver to read.
class Decoder {
  public:
    Decoder(const Format& format, Errors errors);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    /// Room Decode needs in `out` for `bytes` bytes.
    static size_t Room(size_t bytes) { return bytes + kSlack; }

    /// Decodes `bytes` into `out` (Room(bytes.size()) units). Unless `final`, what the bytes
    /// end inside of is kept for the next call. After a failure, every call writes nothing
    /// and fails again.
    [[nodiscard]] Decoded Decode(std::string_view bytes, bool final, char16_t* out);

    const Format& format() const noexcept { return m_format; }
    const Issues& issues() const noexcept { return m_issues; }
    Issues& issues() noexcept { return m_issues; }

  private:
    // Units held back from one call to the next (a form read twice over when marked, a
    // character cut at the end and an escape's bytes kept), with room to spare.
    static constexpr size_t kMaxHeld = 64;
    static constexpr size_t kSlack = 2 * kMaxHeld + 32;

    Consumed Step(std::string_view in, bool final, size_t offset, char16_t* out, size_t& w);

    Format m_format;
    Issues m_issues;
    Carry<char, 4> m_bytes;            // a character or escape cut at the end of the last piece
    Carry<char16_t, kMaxHeld> m_held;  // a form cut there
    std::unique_ptr<ShiftJisDecoder> m_sjis;
    std::unique_ptr<FormReader> m_forms;  // none when no form is to be read
    std::unique_ptr<char16_t[]> m_raw;    // decoded units before marking
    size_t m_rawSize = 0;
    bool m_failed = false;
};

/// UTF-16 units to bytes, piece by piece.
class Encoder {
  public:
    /// Throws std::invalid_argument for Carrier::automatic, which is for input only.
    Encoder(const Format& format, Errors errors);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    /// Appends `units` encoded to `out`. Unless `final`, a high surrogate at the end waits
    /// for the next call. False after a failure (strict), which issues().failure() holds; the
    /// bytes before it are appended, and every later call appends nothing and fails again.
    [[nodiscard]] bool Encode(std::u16string_view units, bool final, ByteBuffer& out);

    const Format& format() const noexcept { return m_format; }
    const Issues& issues() const noexcept { return m_issues; }
    Issues& issues() noexcept { return m_issues; }

  private:
    Consumed Step(std::u16string_view in, bool final, size_t offset, ByteBuffer& out);
    Consumed Utf8(std::u16string_view in, bool final, size_t offset, ByteBuffer& out);

    Format m_format;
    Issues m_issues;
    Carry<char16_t, 2> m_units;  // a high surrogate at the end of the last piece
    const ShiftJisTable* m_sjis = nullptr;
    std::string m_scratch;  // UTF-8 before references, reused from piece to piece
    bool m_failed = false;
};

/// All of `bytes` decoded (for Carrier::automatic, resolved with the default AutoOptions:
/// each emoji as its carrier's code point). Throws EncodingError for a strict failure.
std::u16string Decode(std::string_view bytes, const Format& format, Errors errors = Errors::strict);
/// All of `text` encoded. Throws EncodingError for a strict failure.
std::string Encode(std::u16string_view text, const Format& format, Errors errors = Errors::strict);

}  // namespace glyphary::text
