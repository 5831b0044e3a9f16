// Bytes in, bytes out, around a converter that takes UTF-16 text piece by piece (the client's
// TextConverter, CarrierConverter): decoding, conversion and encoding all stream, so memory
// stays bounded whatever the size of the input. The glyphary program and the Python package
// both convert streams through it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "text/codec.h"

namespace glyphary::text {

/// Input that does not decode: the offset counts bytes of the input.
class InputEncodingError : public EncodingError {
  public:
    using EncodingError::EncodingError;
};

/// Converted text the output cannot carry: the offset counts units of the result.
class OutputEncodingError : public EncodingError {
  public:
    using EncodingError::EncodingError;
};

class TextPipe {
  public:
    /// Writes bytes out, about a megabyte at a time (and at Flush and Finish).
    using Writer = std::function<void(std::string_view)>;

    /// Input in `in`, decoded under `decoding`; output in `out`, encoded under `encoding`.
    /// With `showCodes`, private-use characters are written as U+XXXX (for a terminal). Input
    /// for Carrier::automatic is marked text, for a converter that resolves it (the client's
    /// CarrierConverter from an automatic source).
    TextPipe(const Format& in, Errors decoding, const Format& out, Errors encoding, Writer write,
             bool showCodes = false);

    /// The next bytes of input, decoded into `converter` (which has Reserve and Commit).
    /// Throws InputEncodingError for a strict failure, and whatever the converter throws.
    template <class Converter>
    void Feed(Converter& converter, std::string_view bytes, bool final) {
        const Decoded d =
            m_decoder.Decode(bytes, final, converter.Reserve(Decoder::Room(bytes.size())));
        if (!d.ok) throw InputEncodingError(*m_decoder.issues().failure(), m_decoder.format());
        converter.Commit(d.units);
    }

    /// Converted text, from the converter's sink. Throws OutputEncodingError.
    void Take(std::u16string_view units);
    /// Writes what is encoded so far.
    void Flush();
    /// The end: what the encoder holds, and every byte not written yet. Call after the
    /// converter's Finish. Throws OutputEncodingError.
    void Finish();

    /// Their issues tell what was replaced or kept, and where (a hook on them hears of each).
    const Decoder& decoder() const noexcept { return m_decoder; }
    const Encoder& encoder() const noexcept { return m_encoder; }
    Decoder& decoder() noexcept { return m_decoder; }
    Encoder& encoder() noexcept { return m_encoder; }

  private:
    void Encode(std::u16string_view units, bool final);

    Decoder m_decoder;
    Encoder m_encoder;
    bool m_showCodes;
    Writer m_write;
    ByteBuffer m_out;
    std::u16string m_shown;
};

}  // namespace glyphary::text
