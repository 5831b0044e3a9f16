#include "client/encoding.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "client/carriers.h"
#include "client/errors.h"
#include "client/references.h"
#include "client/shift_jis.h"
#include "platform/utf.h"

namespace glyphary::client {

using platform::IsHighSurrogate;
using platform::IsLowSurrogate;

namespace {

// How far one step got: input consumed, output produced.
struct Step {
    size_t read = 0;
    size_t written = 0;
};

}  // namespace

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

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

void CheckTextFormat(const TextFormat& format) {
    if (format.encoding == Encoding::sjis && format.carrier == kUnicodeMode && !format.ncr)
        throw ClientError(
            "Shift_JIS cannot carry the standard emoji of the unicode table: use utf-8, or "
            "--ncr to write them as character references");
}

// ---------------------------------------------------------------------------------------------
// Numeric character references

namespace {

// The first '&' at or after `from`, or size; and the first unit that may start a private-use
// character (U+E000-U+F8FF, or the high surrogate of planes 15 and 16). Both are rare in
// text, so both look at eight units at a time where the processor offers it.
bool MayStartPrivateUse(char16_t u) {
    return static_cast<uint16_t>(u - 0xE000) < 0x1900 || static_cast<uint16_t>(u - 0xDB80) < 0x80;
}

#if defined(__SSE2__)
// Units in [low, low + count) among the eight at `text`, as a mask of two bits a unit.
inline __m128i InRange(__m128i units, uint16_t low, uint16_t count) {
    // Unsigned 16-bit compare through the signed one: both sides shifted by 0x8000.
    const __m128i shifted =
        _mm_xor_si128(_mm_sub_epi16(units, _mm_set1_epi16(static_cast<short>(low))),
                      _mm_set1_epi16(static_cast<short>(0x8000)));
    return _mm_cmplt_epi16(shifted, _mm_set1_epi16(static_cast<short>(count ^ 0x8000)));
}

template <class Hit>
size_t FindFirst(const char16_t* text, size_t from, size_t size, Hit hit) {
    size_t i = from;
    for (; i + 8 <= size; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        if (const int mask = _mm_movemask_epi8(hit(units))) return i + __builtin_ctz(mask) / 2;
    }
    return i;
}

size_t FindAmpersand(const char16_t* text, size_t from, size_t size) {
    size_t i = FindFirst(text, from, size, [](__m128i units) {
        return _mm_cmpeq_epi16(units, _mm_set1_epi16(u'&'));
    });
    while (i < size && text[i] != u'&') ++i;
    return i;
}

size_t FindPrivateUse(const char16_t* text, size_t from, size_t size) {
    size_t i = FindFirst(text, from, size, [](__m128i units) {
        return _mm_or_si128(InRange(units, 0xE000, 0x1900), InRange(units, 0xDB80, 0x80));
    });
    while (i < size && !MayStartPrivateUse(text[i])) ++i;
    return i;
}
#else
size_t FindAmpersand(const char16_t* text, size_t from, size_t size) {
    size_t i = from;
    while (i < size && text[i] != u'&') ++i;
    return i;
}

size_t FindPrivateUse(const char16_t* text, size_t from, size_t size) {
    size_t i = from;
    while (i < size && !MayStartPrivateUse(text[i])) ++i;
    return i;
}
#endif

// Copies the well-formed UTF-8 `utf8` to `out`, each private-use character written as its
// reference instead. Every byte that can start one (EE, EF, F3, F4) is 0xEE or above and rare
// in text, so the copy goes sixteen bytes at a time between them. `out` has room for
// ReferencesRoom(utf8.size()) bytes; returns the bytes written.
size_t ReferencesRoom(size_t bytes) {
    return bytes + bytes / 3 * 5 + 16;  // three bytes to eight at most, and one spare store
}

size_t CopyWithReferences(std::string_view utf8, char* out) {
    const auto* in = reinterpret_cast<const uint8_t*>(utf8.data());
    const size_t n = utf8.size();
    char* o = out;
    size_t i = 0;
    while (i < n) {
#if defined(__SSE2__)
        const __m128i from = _mm_set1_epi8(static_cast<char>(0xEE));
        while (i + 16 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
            const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, from), v));
            const size_t plain = mask ? static_cast<size_t>(__builtin_ctz(mask)) : 16;
            i += plain;
            o += plain;
            if (mask) break;
        }
#endif
        while (i < n && in[i] < 0xEE) *o++ = static_cast<char>(in[i++]);
        if (i == n) break;
        // A lead byte of three or four bytes, all of them there (the text is well-formed).
        const size_t length = in[i] < 0xF0 ? 3 : 4;
        const char32_t c =
            length == 3 ? (in[i] & 0x0Fu) << 12 | (in[i + 1] & 0x3Fu) << 6 | (in[i + 2] & 0x3Fu)
                        : (in[i] & 0x07u) << 18 | (in[i + 1] & 0x3Fu) << 12 |
                              (in[i + 2] & 0x3Fu) << 6 | (in[i + 3] & 0x3Fu);
        if (IsPrivateUse(c)) {
            o += WriteReference(c, o);
        } else {
            std::memcpy(o, in + i, length);
            o += length;
        }
        i += length;
    }
    return static_cast<size_t>(o - out);
}

// Longest digits of a reference we read; more is text, not a reference (and so bounds
// what waits for the next piece).
constexpr size_t kMaxDigits = 8;

// A reference at text[0, size): its length and code point; length 0 when it is none, and
// `open` when the text ends before that is known.
struct Reference {
    size_t length = 0;
    char32_t code = 0;
    bool open = false;
};

Reference ParseReference(const char16_t* text, size_t size) {
    Reference ref;
    size_t i = 1;  // text[0] is '&'
    if (i == size) return {0, 0, true};
    if (text[i++] != u'#') return ref;
    bool hex = false;
    if (i == size) return {0, 0, true};
    if (text[i] == u'x' || text[i] == u'X') {
        hex = true;
        ++i;
    }
    const size_t digitsFrom = i;
    uint64_t value = 0;
    for (; i < size; ++i) {
        const char16_t c = text[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (hex && c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (hex && c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else {
            break;
        }
        if (i - digitsFrom == kMaxDigits) return ref;
        value = value * (hex ? 16 : 10) + digit;
    }
    if (i == size) return {0, 0, true};
    if (text[i] != u';' || i == digitsFrom || !IsPrivateUse(static_cast<char32_t>(value)))
        return ref;
    return {i + 1, static_cast<char32_t>(value), false};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Decoding

Decoder::Decoder(const TextFormat& format) : m_encoding(format.encoding), m_ncr(format.ncr) {
    if (m_encoding == Encoding::sjis)
        m_sjis =
            std::make_unique<ShiftJisDecoder>(ShiftJisTable::For(format.carrier), Malformed::fail);
}

Decoder::~Decoder() = default;

size_t Decoder::Decode(std::string_view bytes, bool final, char16_t* out) {
    if (!m_ncr) return DecodeBytes(bytes, final, out);
    const size_t held = m_held.size();
    std::copy(m_held.begin(), m_held.end(), out);
    m_held.clear();
    return ReadReferences(out, held + DecodeBytes(bytes, final, out + held), final);
}

size_t Decoder::ReadReferences(char16_t* text, size_t size, bool final) {
    // References only shorten the text, so it is rewritten in place, span by span between
    // the '&'s.
    size_t r = 0, w = 0;
    while (r < size) {
        const size_t at = FindAmpersand(text, r, size);
        if (w != r) std::memmove(text + w, text + r, (at - r) * sizeof(char16_t));
        w += at - r;
        r = at;
        if (r == size) break;
        const Reference ref = ParseReference(text + r, size - r);
        if (ref.open && !final) {  // completed, or refuted, by the next piece
            m_held.assign(text + r, text + size);
            return w;
        }
        if (ref.length == 0) {
            text[w++] = text[r++];
        } else if (ref.code < 0x10000) {
            text[w++] = static_cast<char16_t>(ref.code);
            r += ref.length;
        } else {
            text[w++] = static_cast<char16_t>(0xD800 + ((ref.code - 0x10000) >> 10));
            text[w++] = static_cast<char16_t>(0xDC00 + ((ref.code - 0x10000) & 0x3FF));
            r += ref.length;
        }
    }
    return w;
}

size_t Decoder::DecodeBytes(std::string_view bytes, bool final, char16_t* out) {
    if (m_encoding == Encoding::sjis) {
        const size_t written = m_sjis->Decode(bytes, final, out, m_offset);
        m_offset += bytes.size();
        return written;
    }
    // One step over `in`, which starts at stream offset `base`.
    const auto step = [&](std::string_view in, bool last, char16_t* o, size_t base) -> Step {
        if (m_encoding == Encoding::utf8) {
            const platform::UtfResult r =
                platform::Utf16FromUtf8(in, o, last, platform::UtfErrors::stop);
            if (!r.ok)
                throw EncodingError("byte 0x" + Hex(static_cast<unsigned char>(in[r.read]), 2) +
                                        " does not start a valid UTF-8 sequence",
                                    base + r.read);
            return {r.read, r.written};
        }
        const size_t units = in.size() / 2;
        for (size_t i = 0; i < units; ++i)
            o[i] = static_cast<char16_t>(static_cast<unsigned char>(in[2 * i]) |
                                         static_cast<unsigned char>(in[2 * i + 1]) << 8);
        if (last && in.size() % 2)
            throw EncodingError("UTF-16LE input has an odd number of bytes", base + in.size() - 1);
        return {units * 2, units};
    };

    size_t written = 0;
    if (!m_carry.empty()) {
        // Complete the character cut at the end of the last piece with the start of this one.
        const size_t take = std::min(bytes.size(), size_t{8});
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

Encoder::Encoder(const TextFormat& format) : m_encoding(format.encoding), m_ncr(format.ncr) {
    if (m_encoding == Encoding::sjis) m_sjis = &ShiftJisTable::For(format.carrier);
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
    if (m_encoding == Encoding::sjis) {
        const size_t done = EncodeShiftJis(*m_sjis, text, m_ncr, out);
        if (done < text.size()) {
            const char16_t u = text[done];
            if (u >= 0xD800 && u <= 0xDFFF && codePointAt(done) == u)
                throw EncodingError("a lone surrogate U+" + Hex(u, 4) + ", which " +
                                        m_sjis->name() + " cannot carry",
                                    m_offset + done);
            throw EncodingError("U+" + Hex(codePointAt(done), 4) + " has no code in " +
                                    m_sjis->name() +
                                    (m_ncr ? "" : " (--ncr writes it as a character reference)"),
                                m_offset + done);
        }
        m_offset += text.size();
        m_carry.assign(units.substr(usable));
        return;
    }

    // UTF-8 or UTF-16LE, written at out[used]. `plain` has room for the rest of the text and
    // one reference (three bytes a unit in UTF-8, two in UTF-16LE).
    size_t used = out.size();
    const size_t perUnit = m_encoding == Encoding::utf8 ? 3 : 2;
    if (!m_ncr || m_encoding == Encoding::utf16le)
        out.resize(used + perUnit * (text.size() + kMaxReference));
    // UTF-8 stopped at text[at], the bytes before it written.
    const auto loneSurrogate = [&](size_t at) {
        out.resize(used);
        throw EncodingError("a lone surrogate U+" + Hex(text[at], 4) +
                                ", which UTF-8 cannot carry (--encoding utf-16le passes it "
                                "through)",
                            m_offset + at);
    };
    // Appends text[from, to).
    const auto plain = [&](size_t from, size_t to) {
        const std::u16string_view span = text.substr(from, to - from);
        if (m_encoding == Encoding::utf16le) {
            char* o = out.data() + used;
            for (size_t i = 0; i < span.size(); ++i) {
                o[2 * i] = static_cast<char>(span[i] & 0xFF);
                o[2 * i + 1] = static_cast<char>(span[i] >> 8);
            }
            used += 2 * span.size();
            return;
        }
        const platform::UtfResult r =
            platform::Utf8FromUtf16(span, out.data() + used, true, platform::UtfErrors::stop);
        used += r.written;
        if (!r.ok) loneSurrogate(from + r.read);
    };
    if (m_ncr && m_encoding == Encoding::utf8) {
        // The whole text through the fast transcoder, then copied with each private-use
        // character replaced by its reference: far cheaper than cutting the text at each.
        m_scratch.resize(3 * text.size());
        const platform::UtfResult r =
            platform::Utf8FromUtf16(text, m_scratch.data(), true, platform::UtfErrors::stop);
        out.resize(used + ReferencesRoom(r.written));
        used += CopyWithReferences({m_scratch.data(), r.written}, out.data() + used);
        if (!r.ok) loneSurrogate(r.read);
    } else if (!m_ncr) {
        plain(0, text.size());
    } else {
        // UTF-16LE: private-use characters as references, everything else as it is.
        size_t from = 0;
        for (size_t i = FindPrivateUse(text.data(), 0, text.size()); i < text.size();
             i = FindPrivateUse(text.data(), i + 1, text.size())) {
            const char32_t c = codePointAt(i);
            if (!IsPrivateUse(c)) continue;
            plain(from, i);
            const size_t need = used + perUnit * (kMaxReference + text.size() - i);
            if (out.size() < need) out.resize(std::max(need, out.size() * 3 / 2));
            char16_t ref[kMaxReference];
            const size_t length = WriteReference(c, ref);
            for (size_t k = 0; k < length; ++k) {
                out[used++] = static_cast<char>(ref[k]);
                out[used++] = '\0';
            }
            i += c > 0xFFFF;
            from = i + 1;
        }
        plain(from, text.size());
    }
    out.resize(used);
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
