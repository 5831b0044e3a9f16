// Text at the edge with an error policy, and whole streams through an object: bytes in one
// encoding, through Globalize or Localize, to bytes in another, piece by piece, in bounded
// memory (the glyphary program's pipeline, for responses that must not be held whole).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "client/encoding.h"
#include "client/text_converter.h"

namespace glyphary::python {

/// What becomes of what does not decode or encode.
enum class Errors {
    strict,   ///< throw client::EncodingError
    replace,  ///< U+FFFD for bytes that do not decode, '?' for a character that has no code
    charref,  ///< as replace, but a character that has no code is written &#N; (for HTML)
};

/// "strict", "replace", "xmlcharrefreplace" (Python's names); false for any other.
bool ParseErrors(std::string_view name, Errors& errors);

/// All of `bytes` decoded. Time stays linear however many bytes are bad.
std::u16string DecodeText(std::string_view bytes, const client::TextFormat& format, Errors errors);

/// Units to bytes, piece by piece, writing a replacement for what the encoding cannot carry.
class TolerantEncoder {
  public:
    TolerantEncoder(const client::TextFormat& format, Errors errors);

    /// Appends `units` encoded to `out`; a high surrogate at the end waits for the next call
    /// unless `final`.
    void Encode(std::u16string_view units, bool final, std::string& out);

  private:
    void EncodeEach(std::u16string_view text, std::string& out);

    client::TextFormat m_format;
    Errors m_errors;
    std::unique_ptr<client::Encoder> m_encoder;
    std::u16string m_carry;  // a high surrogate held back for its other half
};

/// All of `units` encoded.
std::string EncodeText(std::u16string_view units, const client::TextFormat& format, Errors errors);

/// Bytes through an object: decoded from `source`, converted, encoded to `target`. Bytes that
/// do not decode throw, except in UTF-8 with a policy other than strict, where each becomes
/// U+FFFD; characters the target cannot carry follow the policy.
class StreamConverter {
  public:
    /// Converts through `object`, which must outlive this; reads its LocalizePattern.
    StreamConverter(client::Glyphary& object, client::Operation operation,
                    const client::TextFormat& source, const client::TextFormat& target,
                    Errors errors);

    /// Appends to `out` what `data` converts to as far as a safe cut allows; `final` ends the
    /// stream. Throws ComError, client::EncodingError or ClientError.
    void Convert(std::string_view data, bool final, std::string& out);

  private:
    size_t Decode(std::string_view data, bool final, char16_t* room);

    std::unique_ptr<client::Decoder> m_decoder;  // null: UTF-8 with replacement
    std::string m_carry;                         // UTF-8 cut at the end of the last piece
    TolerantEncoder m_encoder;
    std::string* m_out = nullptr;  // where the sink writes during Convert
    client::TextConverter m_converter;
};

}  // namespace glyphary::python
