#include "client/text_pipe.h"

#include "client/display.h"

namespace glyphary::client {

namespace {

constexpr size_t kWriteSize = size_t{1} << 20;

}  // namespace

TextPipe::TextPipe(const TextFormat& in, const TextFormat& out, bool showCodes, Writer write)
    : m_decoder(in), m_encoder(out), m_showCodes(showCodes), m_write(std::move(write)) {}

void TextPipe::Take(std::u16string_view units) {
    if (!m_showCodes) return Encode(units, false);
    m_shown.clear();
    AppendShowingCodes(units, m_shown);
    Encode(m_shown, false);
}

void TextPipe::Finish() {
    Encode({}, true);
    m_write(m_out);
    m_out.clear();
}

void TextPipe::Encode(std::u16string_view units, bool final) {
    try {
        m_encoder.Encode(units, final, m_out);
    } catch (const EncodingError& e) {
        throw OutputEncodingError(e.what(), e.offset());
    }
    if (m_out.size() >= kWriteSize) {
        m_write(m_out);
        m_out.clear();
    }
}

}  // namespace glyphary::client
