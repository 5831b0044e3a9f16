#include "client/encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/utf.h"

namespace glyphary::client {

namespace {

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

bool IsHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// How far one step got: input consumed, output produced.
struct Step {
    size_t read = 0;
    size_t written = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names

bool ParseEncoding(std::string_view name, Encoding& encoding) {
    std::string key;
    for (char c : name)
        if (c != '-' && c != '_') key += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (key == "utf8") {
        encoding = Encoding::utf8;
    } else if (key == "utf16le") {
        encoding = Encoding::utf16le;
    } else if (key == "cp932" || key == "sjis" || key == "shiftjis") {
        encoding = Encoding::sjis;
    } else {
        return false;
    }
    return true;
}

const char* EncodingName(Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return "utf-8";
        case Encoding::utf16le:
            return "utf-16le";
        case Encoding::sjis:
            return "sjis";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------
// CP932 through iconv, which keeps the state of a character cut between pieces itself.

struct Decoder::Iconv {
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    ~Iconv() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

struct Encoder::Iconv {
    iconv_t cd = iconv_open("CP932", "UTF-16LE");
    ~Iconv() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

namespace {

// iconv over `in` into `out` (grown as needed, appended to). Stops at an incomplete sequence
// at the end (read < in.size()); throws through `fail` at anything else it cannot convert.
template <class Fail>
size_t RunIconv(iconv_t cd, std::string_view in, std::string& out, Fail fail) {
    if (cd == reinterpret_cast<iconv_t>(-1)) fail(0, "iconv has no CP932 here");
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    size_t start = out.size();
    out.resize(start + in.size() * 2 + 16);
    for (;;) {
        char* dst = out.data() + start;
        size_t room = out.size() - start;
        const size_t r = iconv(cd, &src, &left, &dst, &room);
        start = out.size() - room;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (errno == EINVAL) break;  // a character cut at the end
        fail(static_cast<size_t>(src - in.data()), nullptr);
    }
    out.resize(start);
    return in.size() - left;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Decoding

Decoder::Decoder(const TextFormat& format) : m_encoding(format.encoding) {
    if (m_encoding == Encoding::sjis) m_iconv = std::make_unique<Iconv>();
}

Decoder::~Decoder() = default;

size_t Decoder::Decode(std::string_view bytes, bool final, char16_t* out) {
    // One step over `in`, which starts at stream offset `base`.
    const auto step = [&](std::string_view in, bool last, char16_t* o, size_t base) -> Step {
        switch (m_encoding) {
            case Encoding::utf8: {
                const platform::UtfResult r =
                    platform::Utf16FromUtf8(in, o, last, platform::UtfErrors::stop);
                if (!r.ok)
                    throw EncodingError("byte 0x" + Hex(static_cast<unsigned char>(in[r.read]), 2) +
                                            " does not start a valid UTF-8 sequence",
                                        base + r.read);
                return {r.read, r.written};
            }
            case Encoding::utf16le: {
                const size_t units = in.size() / 2;
                for (size_t i = 0; i < units; ++i)
                    o[i] = static_cast<char16_t>(static_cast<unsigned char>(in[2 * i]) |
                                                 static_cast<unsigned char>(in[2 * i + 1]) << 8);
                if (last && in.size() % 2)
                    throw EncodingError("UTF-16LE input has an odd number of bytes",
                                        base + in.size() - 1);
                return {units * 2, units};
            }
            case Encoding::sjis: {
                std::string utf16;
                const size_t read =
                    RunIconv(m_iconv->cd, in, utf16, [&](size_t at, const char* why) {
                        throw EncodingError(why ? why
                                                : "byte 0x" +
                                                      Hex(static_cast<unsigned char>(in[at]), 2) +
                                                      " is not valid CP932 here",
                                            base + at);
                    });
                if (last && read < in.size())
                    throw EncodingError("the input ends inside a CP932 character", base + read);
                const size_t units = utf16.size() / 2;
                for (size_t i = 0; i < units; ++i)
                    o[i] = static_cast<char16_t>(static_cast<unsigned char>(utf16[2 * i]) |
                                                 static_cast<unsigned char>(utf16[2 * i + 1]) << 8);
                return {read, units};
            }
        }
        return {};
    };

    size_t written = 0;
    if (!m_carry.empty()) {
        // Complete the character cut at the end of the last piece with the start of this one.
        const size_t take = std::min(bytes.size(), kCarry);
        std::string head = m_carry;
        head.append(bytes.substr(0, take));
        const Step s = step(head, final && take == bytes.size(), out, m_offset);
        written += s.written;
        if (s.read < m_carry.size()) {  // still cut: this piece was shorter than a character
            m_offset += s.read;
            m_carry = head.substr(s.read);
            return written;
        }
        m_offset += s.read;
        bytes.remove_prefix(s.read - m_carry.size());
        m_carry.clear();
    }
    const Step s = step(bytes, final, out + written, m_offset);
    written += s.written;
    m_offset += s.read;
    m_carry.assign(bytes.substr(s.read));
    return written;
}

// ---------------------------------------------------------------------------------------------
// Encoding

Encoder::Encoder(const TextFormat& format) : m_encoding(format.encoding) {
    if (m_encoding == Encoding::sjis) m_iconv = std::make_unique<Iconv>();
}

Encoder::~Encoder() = default;

void Encoder::Encode(std::u16string_view units, bool final, std::string& out) {
    std::u16string joined;
    if (!m_carry.empty()) {
        joined = m_carry + std::u16string(units);
        units = joined;
        m_carry.clear();
    }
    // A high surrogate at the end waits for its other half.
    size_t usable = units.size();
    if (!final && usable > 0 && IsHighSurrogate(units[usable - 1])) --usable;
    const std::u16string_view text = units.substr(0, usable);
    const auto codePointAt = [&](size_t i) -> char32_t {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
            return 0x10000 + ((char32_t(text[i]) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        return text[i];
    };
    switch (m_encoding) {
        case Encoding::utf8: {
            const size_t start = out.size();
            out.resize(start + text.size() * 3);
            const platform::UtfResult r =
                platform::Utf8FromUtf16(text, out.data() + start, true, platform::UtfErrors::stop);
            out.resize(start + r.written);
            if (!r.ok)
                throw EncodingError("a lone surrogate U+" + Hex(text[r.read], 4) +
                                        ", which UTF-8 cannot carry (--encoding utf-16le passes "
                                        "it through)",
                                    m_offset + r.read);
            break;
        }
        case Encoding::utf16le: {
            const size_t start = out.size();
            out.resize(start + text.size() * 2);
            for (size_t i = 0; i < text.size(); ++i) {
                out[start + 2 * i] = static_cast<char>(text[i] & 0xFF);
                out[start + 2 * i + 1] = static_cast<char>(text[i] >> 8);
            }
            break;
        }
        case Encoding::sjis: {
            std::string bytes;
            bytes.reserve(text.size() * 2);
            for (char16_t u : text)
                bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
            RunIconv(m_iconv->cd, bytes, out, [&](size_t at, const char* why) {
                if (why) throw EncodingError(why, m_offset + at / 2);
                throw EncodingError("U+" + Hex(codePointAt(at / 2), 4) + " has no CP932 code",
                                    m_offset + at / 2);
            });
            break;
        }
    }
    m_offset += text.size();
    m_carry.assign(units.substr(usable));
}

std::u16string Decode(std::string_view bytes, const TextFormat& format) {
    Decoder decoder(format);
    std::u16string out(Decoder::Room(bytes.size()), u'\0');
    out.resize(decoder.Decode(bytes, true, out.data()));
    return out;
}

std::string Encode(std::u16string_view text, const TextFormat& format) {
    Encoder encoder(format);
    std::string out;
    encoder.Encode(text, true, out);
    return out;
}

std::string Utf8ForDisplay(std::u16string_view text) {
    return *platform::Utf8FromUtf16(text, platform::UtfErrors::replace);
}

}  // namespace glyphary::client
