// Bytes in, bytes out, around a converter that takes UTF-16 text piece by piece (a
// TextConverter, a CarrierConverter): decoding, conversion and encoding all stream, so memory
// stays bounded whatever the size of the input.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "client/encoding.h"

namespace glyphary::client {

/// Input that does not decode: `offset` counts bytes of the input.
class InputEncodingError : public EncodingError {
  public:
    using EncodingError::EncodingError;
};

/// Converted text the output encoding cannot carry: `offset` counts units of the result.
class OutputEncodingError : public EncodingError {
  public:
    using EncodingError::EncodingError;
};

class TextPipe {
  public:
    /// Writes bytes out, about a megabyte at a time.
    using Writer = std::function<void(std::string_view)>;

    /// Input in `in`, output in `out`; with `showCodes`, private-use characters are written
    /// as U+XXXX (for a terminal).
    TextPipe(const TextFormat& in, const TextFormat& out, bool showCodes, Writer write);

    /// Converted text, from the converter's sink. Throws OutputEncodingError.
    void Take(std::u16string_view units);

    /// The next bytes of input, decoded into `converter` (which has Reserve and Commit).
    /// Throws InputEncodingError, and whatever the converter throws.
    template <class Converter>
    void Feed(Converter& converter, std::string_view bytes, bool final) {
        char16_t* room = converter.Reserve(Decoder::Room(bytes.size()));
        size_t units = 0;
        try {
            units = m_decoder.Decode(bytes, final, room);
        } catch (const EncodingError& e) {
            throw InputEncodingError(e.what(), e.offset());
        }
        converter.Commit(units);
    }

    /// The end: what the encoder holds, and every byte not written yet. Call after the
    /// converter's Finish. Throws OutputEncodingError.
    void Finish();

  private:
    void Encode(std::u16string_view units, bool final);

    Decoder m_decoder;
    Encoder m_encoder;
    bool m_showCodes;
    Writer m_write;
    std::string m_out;
    std::u16string m_shown;
};

}  // namespace glyphary::client
