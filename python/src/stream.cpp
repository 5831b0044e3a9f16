#include "stream.h"

#include <algorithm>

#include "platform/utf.h"

namespace glyphary::python {

namespace {

bool IsHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The first decoding window after a bad byte; windows double while all is well, so a run of
// bad bytes costs no more than the bytes themselves.
constexpr size_t kFirstWindow = 16;
constexpr size_t kLargestWindow = size_t{1} << 16;

}  // namespace

bool ParseErrors(std::string_view name, Errors& errors) {
    if (name == "strict") {
        errors = Errors::strict;
    } else if (name == "replace") {
        errors = Errors::replace;
    } else if (name == "xmlcharrefreplace") {
        errors = Errors::charref;
    } else {
        return false;
    }
    return true;
}

std::u16string DecodeText(std::string_view bytes, const client::TextFormat& format, Errors errors) {
    if (errors == Errors::strict) return client::Decode(bytes, format);
    if (format.encoding == client::Encoding::utf8) {
        // One U+FFFD per maximal ill-formed subpart, as the project's transcoder replaces.
        return *platform::Utf16FromUtf8(bytes, platform::UtfErrors::replace);
    }
    std::u16string out;
    size_t start = 0;  // where the current decoder began
    while (start < bytes.size()) {
        const size_t mark = out.size();
        client::Decoder decoder(format);
        size_t at = start, window = kFirstWindow;
        try {
            while (at < bytes.size()) {
                const std::string_view piece = bytes.substr(at, window);
                const bool final = at + piece.size() == bytes.size();
                const size_t before = out.size();
                out.resize(before + client::Decoder::Room(piece.size()));
                out.resize(before + decoder.Decode(piece, final, out.data() + before));
                at += piece.size();
                window = std::min(window * 2, kLargestWindow);
            }
            return out;
        } catch (const client::EncodingError& e) {
            // Everything before the bad byte again, in one piece, then U+FFFD for the byte.
            size_t bad = std::min(start + e.offset(), bytes.size() - 1);
            out.resize(mark);
            try {
                out += client::Decode(bytes.substr(start, bad - start), format);
            } catch (const client::EncodingError&) {
                bad = start;  // cannot happen with the codecs we have; progress all the same
            }
            out += u'\uFFFD';
            start = bad + 1;
        }
    }
    return out;
}

TolerantEncoder::TolerantEncoder(const client::TextFormat& format, Errors errors)
    : m_format(format), m_errors(errors), m_encoder(std::make_unique<client::Encoder>(format)) {}

void TolerantEncoder::Encode(std::u16string_view units, bool final, std::string& out) {
    std::u16string joined;
    if (!m_carry.empty()) {
        joined = m_carry;
        joined += units;
        units = joined;
    }
    // The encoder is never left holding half a pair, so that it can be replaced after a
    // failure without losing anything.
    std::u16string carry;
    if (!final && !units.empty() && IsHigh(units.back())) {
        carry = units.back();
        units.remove_suffix(1);
    }
    const size_t mark = out.size();
    try {
        m_encoder->Encode(units, final, out);
    } catch (const client::EncodingError&) {
        if (m_errors == Errors::strict) throw;
        out.resize(mark);
        m_encoder = std::make_unique<client::Encoder>(m_format);
        EncodeEach(units, out);
    }
    m_carry = std::move(carry);
}

void TolerantEncoder::EncodeEach(std::u16string_view text, std::string& out) {
    for (size_t i = 0; i < text.size();) {
        const size_t n = IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1]) ? 2 : 1;
        const std::u16string_view character = text.substr(i, n);
        const size_t mark = out.size();
        try {
            m_encoder->Encode(character, true, out);
        } catch (const client::EncodingError&) {
            out.resize(mark);
            m_encoder = std::make_unique<client::Encoder>(m_format);
            std::u16string replacement = u"?";
            if (m_errors == Errors::charref) {
                const char32_t c =
                    n == 2 ? 0x10000 + ((char32_t(text[i]) - 0xD800) << 10) + (text[i + 1] - 0xDC00)
                           : text[i];
                const std::string digits = std::to_string(static_cast<unsigned long>(c));
                replacement = u"&#" + std::u16string(digits.begin(), digits.end()) + u";";
            }
            m_encoder->Encode(replacement, true, out);
        }
        i += n;
    }
}

std::string EncodeText(std::u16string_view units, const client::TextFormat& format, Errors errors) {
    TolerantEncoder encoder(format, errors);
    std::string out;
    encoder.Encode(units, true, out);
    return out;
}

StreamConverter::StreamConverter(client::Glyphary& object, client::Operation operation,
                                 const client::TextFormat& source, const client::TextFormat& target,
                                 Errors errors)
    : m_decoder(source.encoding == client::Encoding::utf8 && errors != Errors::strict
                    ? nullptr
                    : std::make_unique<client::Decoder>(source)),
      m_encoder(target, errors),
      m_converter(object, operation,
                  [this](std::u16string_view piece) { m_encoder.Encode(piece, false, *m_out); }) {}

size_t StreamConverter::Decode(std::string_view data, bool final, char16_t* room) {
    if (m_decoder) return m_decoder->Decode(data, final, room);
    std::string joined;
    if (!m_carry.empty()) {
        joined = m_carry + std::string(data);
        data = joined;
    }
    const platform::UtfResult r =
        platform::Utf16FromUtf8(data, room, final, platform::UtfErrors::replace);
    m_carry.assign(data.substr(r.read));
    return r.written;
}

void StreamConverter::Convert(std::string_view data, bool final, std::string& out) {
    m_out = &out;
    char16_t* room = m_converter.Reserve(client::Decoder::Room(data.size() + m_carry.size()));
    m_converter.Commit(Decode(data, final, room));
    if (final) {
        m_converter.Finish();
        m_encoder.Encode({}, true, out);
    }
    m_out = nullptr;
}

}  // namespace glyphary::python
