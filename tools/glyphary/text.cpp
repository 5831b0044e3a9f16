#include "text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include <boost/format.hpp>

namespace glyphary::tool {
namespace {

bool IsHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 to UTF-8; a lone surrogate fails (strict) or becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text, bool strict) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        char32_t c = u;
        if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
            if (strict)
                throw EncodingError(
                    str(boost::format("a lone surrogate U+%04X, which UTF-8 cannot carry "
                                      "(--encoding utf-16le passes it through)") %
                        unsigned(u)),
                    i);
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

// Runs iconv over all of `in`, growing the output as needed.
std::string Iconv(const char* to, const char* from, std::string_view in, bool decoding) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw EncodingError(std::string("iconv cannot convert from ") + from + " to " + to, 0);
    const std::unique_ptr<void, int (*)(iconv_t)> closer(cd, iconv_close);

    std::string out(in.size() * 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t written = 0;
    while (srcLeft > 0) {
        char* dst = out.data() + written;
        size_t dstLeft = out.size() - written;
        const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        written = out.size() - dstLeft;
        if (r != static_cast<size_t>(-1)) break;
        const size_t at = static_cast<size_t>(src - in.data());
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else if (decoding) {
            throw EncodingError(errno == EINVAL
                                    ? "the input ends inside a CP932 character"
                                    : str(boost::format("byte 0x%02X is not valid CP932 here") %
                                          unsigned(static_cast<unsigned char>(in[at]))),
                                at);
        } else {
            // `in` is UTF-16LE that this program made: whole units, pairs kept together.
            const auto unitAt = [&](size_t i) -> char32_t {
                return static_cast<unsigned char>(in[i]) | static_cast<unsigned char>(in[i + 1])
                                                               << 8;
            };
            char32_t code = unitAt(at);
            if (IsHighSurrogate(static_cast<char16_t>(code)) && at + 3 < in.size() &&
                IsLowSurrogate(static_cast<char16_t>(unitAt(at + 2))))
                code = 0x10000 + ((code - 0xD800) << 10) + (unitAt(at + 2) - 0xDC00);
            throw EncodingError(
                str(boost::format("U+%04X has no CP932 code") % static_cast<unsigned>(code)),
                at / 2);
        }
    }
    out.resize(written);
    return out;
}

std::string BytesOfUtf16le(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t u : text) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

std::u16string Utf16leOfBytes(std::string_view bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return text;
}

}  // namespace

bool ParseEncoding(std::string_view name, Encoding& encoding) {
    std::string key;
    for (char c : name)
        if (c != '-' && c != '_') key += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (key == "utf8") {
        encoding = Encoding::utf8;
    } else if (key == "utf16le") {
        encoding = Encoding::utf16le;
    } else if (key == "cp932" || key == "sjis" || key == "shiftjis") {
        encoding = Encoding::cp932;
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
        case Encoding::cp932:
            return "cp932";
    }
    return "?";
}

std::u16string Utf16FromUtf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned b = p[i];
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        size_t len = 0;
        char32_t c = 0, min = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, c = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, c = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, c = b & 0x07, min = 0x10000;
        }
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, encoded surrogates and code points past U+10FFFF are not UTF-8.
        if (!ok || c < min || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            throw EncodingError(
                str(boost::format("byte 0x%02X does not start a valid UTF-8 sequence") % b), i);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

std::string Utf8ForDisplay(std::u16string_view text) {
    return Utf8FromUtf16(text, false);
}

std::u16string Decode(std::string_view bytes, Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return Utf16FromUtf8(bytes);
        case Encoding::utf16le:
            if (bytes.size() % 2 != 0)
                throw EncodingError("UTF-16LE input has an odd number of bytes", bytes.size() - 1);
            return Utf16leOfBytes(bytes);
        case Encoding::cp932:
            return Utf16leOfBytes(Iconv("UTF-16LE", "CP932", bytes, true));
    }
    return {};
}

std::string Encode(std::u16string_view text, Encoding encoding) {
    switch (encoding) {
        case Encoding::utf8:
            return Utf8FromUtf16(text, true);
        case Encoding::utf16le:
            return BytesOfUtf16le(text);
        case Encoding::cp932:
            return Iconv("CP932", "UTF-16LE", BytesOfUtf16le(text), false);
    }
    return {};
}

}  // namespace glyphary::tool
