#include "text/text_pipe.h"

#include "text/unicode.h"

namespace glyphary::text {

namespace {

constexpr size_t kWriteSize = size_t{1} << 20;

}  // namespace

TextPipe::TextPipe(const Format& in, Errors decoding, const Format& out, Errors encoding,
                   Writer write, bool showCodes)
    : m_decoder(in, decoding),
      m_encoder(out, encoding),
      m_showCodes(showCodes),
      m_write(std::move(write)) {}

void TextPipe::Take(std::u16string_view units) {
    if (!m_showCodes) return Encode(units, false);
    m_shown.clear();
    AppendShowingCodes(units, m_shown);
    Encode(m_shown, false);
}

void TextPipe::Flush() {
    if (m_out.empty()) return;
    m_write(m_out.view());
    m_out.clear();
}

void TextPipe::Finish() {
    Encode({}, true);
    Flush();
}

void TextPipe::Encode(std::u16string_view units, bool final) {
    if (!m_encoder.Encode(units, final, m_out))
        throw OutputEncodingError(*m_encoder.issues().failure(), m_encoder.format());
    if (m_out.size() >= kWriteSize) Flush();
}

}  // namespace glyphary::text
