#include "client/shift_jis.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "client/carriers.h"
#include "client/encoding.h"
#include "client/references.h"

namespace glyphary::client {
namespace {

struct Cp932Pair {
    uint16_t from, to;
};
#include "client/cp932_table.inc"

struct SjisRun {
    int32_t mode;
    uint16_t first, sjis, count;
};
constexpr SjisRun kSjisRuns[] = {
#include "client/sjis_layouts.inc"
};

constexpr uint8_t kLeads[] = {0x81, 0x9F, 0xE0, 0xFC};  // the two ranges of lead bytes

bool IsLeadByte(unsigned b) {
    return (b >= kLeads[0] && b <= kLeads[1]) || (b >= kLeads[2] && b <= kLeads[3]);
}

// The user-defined area, which CP932 maps linearly to U+E000-U+E757.
bool InUserDefinedArea(unsigned code) {
    return code >= 0xF040 && code <= 0xF9FC;
}

// Copies ASCII from in[i] to out[w] while it lasts (and holds no ESC, when `escapes`), sixteen
// bytes at a time; the rest is left to the caller. `out` has room for one unit more than
// there are bytes left from i, and w <= i + 1.
inline void AsciiRun(const uint8_t* in, size_t n, bool escapes, size_t& i, char16_t* out,
                     size_t& w) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), escape = _mm_set1_epi8(0x1B);
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        int stop = _mm_movemask_epi8(v);
        if (escapes) stop |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, escape));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w + 8), _mm_unpackhi_epi8(v, zero));
        const size_t ascii = stop ? static_cast<size_t>(__builtin_ctz(stop)) : 16;
        i += ascii;
        w += ascii;
        if (stop) return;
    }
#endif
    while (i + 8 <= n) {
        uint64_t word;
        std::memcpy(&word, in + i, 8);
        if (word & 0x8080808080808080u) return;
        if (escapes) {
            const uint64_t x = word ^ 0x1B1B1B1B1B1B1B1Bu;
            if ((x - 0x0101010101010101u) & ~x & 0x8080808080808080u) return;
        }
        for (int k = 0; k < 8; ++k) out[w + k] = in[i + k];
        i += 8;
        w += 8;
    }
}

// The first code point of SoftBank's web code page named by `letter`, or 0.
char16_t PageOf(uint8_t letter) {
    switch (letter) {
        case 'G':
            return 0xE000;
        case 'E':
            return 0xE100;
        case 'F':
            return 0xE200;
        case 'O':
            return 0xE300;
        case 'P':
            return 0xE400;
        case 'Q':
            return 0xE500;
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tables

ShiftJisTable::ShiftJisTable(EMapMode carrier) : m_carrier(carrier) {
    std::memcpy(m_single, kCp932Single, sizeof m_single);
    std::memset(m_double, 0, sizeof m_double);
    std::fill(std::begin(m_encode), std::end(m_encode), kNone);
    size_t index = 0;
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsLeadByte(lead)) continue;
        m_single[lead] = kLead;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail, ++index) {
            const uint16_t unit = kCp932Double[index];
            if (!unit) continue;
            m_double[(lead - 0x80) * 256 + trail] = unit;
            if (m_encode[unit] == kNone) m_encode[unit] = static_cast<uint16_t>(lead << 8 | trail);
        }
    }
    for (unsigned byte = 0; byte < 0x100; ++byte)
        if (m_single[byte] < kLead) m_encode[m_single[byte]] = static_cast<uint16_t>(byte);
    for (const Cp932Pair& p : kCp932Encode) m_encode[p.from] = p.to;

    const bool isCarrier = carrier == MPM_imode || carrier == MPM_ezweb || carrier == MPM_softbank;
    m_name = isCarrier ? "Shift_JIS (" + CarrierName(carrier) + ")" : "Shift_JIS";
    if (!isCarrier) return;

    // A carrier's handsets use the user-defined area for their own emoji and nothing else.
    for (unsigned code = 0xF040; code <= 0xF9FC; ++code)
        if (IsLeadByte(code >> 8)) m_double[((code >> 8) - 0x80) * 256 + (code & 0xFF)] = 0;
    for (unsigned unit = 0xE000; unit <= 0xF8FF; ++unit) m_encode[unit] = kNone;
    std::u16string displaced;  // ordinary characters whose code became an emoji (SoftBank's FB)
    for (const SjisRun& run : kSjisRuns) {
        if (run.mode != carrier) continue;
        for (unsigned k = 0; k < run.count; ++k) {
            const unsigned code = run.sjis + k, unit = run.first + k;
            uint16_t& slot = m_double[((code >> 8) - 0x80) * 256 + (code & 0xFF)];
            if (slot && !InUserDefinedArea(code)) displaced += static_cast<char16_t>(slot);
            slot = static_cast<uint16_t>(unit);
            m_encode[unit] = static_cast<uint16_t>(code);
        }
    }
    // Such a character keeps another code where CP932 has one (the NEC-selected copies of
    // the IBM kanji), so that text written for SoftBank never turns into its emoji.
    for (const char16_t unit : displaced) {
        const uint16_t code = m_encode[unit];
        if (code == kNone || code < 0x100 || Double(code >> 8, code & 0xFF) == unit) continue;
        m_encode[unit] = kNone;
        for (unsigned lead = 0x81; lead <= 0xFC && m_encode[unit] == kNone; ++lead) {
            if (!IsLeadByte(lead)) continue;
            for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                if (m_double[(lead - 0x80) * 256 + trail] == unit) {
                    m_encode[unit] = static_cast<uint16_t>(lead << 8 | trail);
                    break;
                }
            }
        }
    }
    m_webCodeEscapes = carrier == MPM_softbank;
}

const ShiftJisTable& ShiftJisTable::For(EMapMode carrier) {
    switch (carrier) {
        case MPM_imode: {
            static const ShiftJisTable imode(MPM_imode);
            return imode;
        }
        case MPM_ezweb: {
            static const ShiftJisTable ezweb(MPM_ezweb);
            return ezweb;
        }
        case MPM_softbank: {
            static const ShiftJisTable softbank(MPM_softbank);
            return softbank;
        }
        default: {
            static const ShiftJisTable plain(MPM_none);
            return plain;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Decoding

size_t ShiftJisDecoder::Bad(size_t at, const std::string& what, char16_t* out) {
    if (m_malformed == Malformed::fail) throw EncodingError(what, at);
    *out = u'\xFFFD';
    return 1;
}

std::string ShiftJisDecoder::NotValid(unsigned code, int bytes) const {
    return (bytes == 2 ? "bytes 0x" + Hex(code >> 8, 2) + " 0x" + Hex(code & 0xFF, 2) + " are"
                       : "byte 0x" + Hex(code, 2) + " is") +
           " not valid " + m_table.name();
}

size_t ShiftJisDecoder::Continue(uint8_t b, size_t at, char16_t* out, size_t& w) {
    switch (m_open) {
        case Open::none:
            break;
        case Open::lead:
            m_open = Open::none;
            if (const uint16_t unit = m_table.Double(m_lead, b)) {
                out[w++] = unit;
                return 1;
            }
            w += Bad(m_openAt, NotValid(m_lead << 8 | b, 2), out + w);
            return b >= 0x40 && b <= 0xFC && b != 0x7F;  // a trail byte goes with its lead
        case Open::escape:
            if (b == '$') {
                m_open = Open::escapeDollar;
                return 1;
            }
            m_open = Open::none;
            out[w++] = u'\x1B';
            return 0;
        case Open::escapeDollar:
            m_open = Open::none;
            if (const char16_t page = PageOf(b)) {
                m_open = Open::page;
                m_page = static_cast<char16_t>(page - 0x20);
                m_pageEmpty = true;
                return 1;
            }
            w += Bad(m_openAt,
                     "ESC $ 0x" + Hex(b, 2) +
                         " is no SoftBank web code (its page letters are G, E, F, O, P, Q)",
                     out + w);
            return 0;
        case Open::page: {
            if (b == 0x0F) {  // SI ends the escape
                m_open = Open::none;
                if (m_pageEmpty)
                    w += Bad(m_openAt, "a SoftBank web code escape without a character", out + w);
                return 1;
            }
            if (b < 0x21 || b > 0x7E) {
                m_open = Open::none;
                w += Bad(m_openAt, "a SoftBank web code escape that SI does not end", out + w);
                return 0;
            }
            const auto unit = static_cast<char16_t>(m_page + b);
            if (m_table.Encode(unit) == ShiftJisTable::kNone) {
                w += Bad(at, "ESC $ web code U+" + Hex(unit, 4) + " is no SoftBank emoji", out + w);
            } else {
                out[w++] = unit;
                m_pageEmpty = false;
            }
            return 1;
        }
    }
    return 0;
}

size_t ShiftJisDecoder::Decode(std::string_view text, bool final, char16_t* out, size_t offset) {
    const auto* in = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    const bool escapes = m_table.webCodeEscapes();
    const uint16_t* single = m_table.m_single;
    const uint16_t* pairs = m_table.m_double;  // from lead 0x80
    size_t i = 0, w = 0;
    while (i < n) {
        if (m_open != Open::none) {  // a sequence left open: byte by byte until it closes
            i += Continue(in[i], offset + i, out, w);
            continue;
        }
        // The bulk: ASCII eight bytes at a time, and whole characters, until something else.
        while (i < n) {
            const uint8_t c = in[i];
            if (c < 0x80) {
                if (c == 0x1B && escapes) break;
                out[w++] = c;
                ++i;
                AsciiRun(in, n, escapes, i, out, w);
                continue;
            }
            const uint16_t unit = single[c];
            if (unit < ShiftJisTable::kLead) {
                out[w++] = unit;
                ++i;
                continue;
            }
            if (unit != ShiftJisTable::kLead || i + 1 == n) break;
            const uint16_t pair = pairs[(c - 0x80) * 256 + in[i + 1]];
            if (!pair) break;
            out[w++] = pair;
            i += 2;
        }
        if (i == n) break;
        const uint8_t c = in[i];
        if (c == 0x1B) {  // SoftBank's escape
            m_open = Open::escape;
            m_openAt = offset + i++;
        } else if (single[c] == ShiftJisTable::kLead && i + 1 == n) {
            m_open = Open::lead;
            m_lead = c;
            m_openAt = offset + i++;
        } else if (single[c] == ShiftJisTable::kLead) {
            const uint8_t t = in[i + 1];
            w += Bad(offset + i, NotValid(c << 8 | t, 2), out + w);
            i += (t >= 0x40 && t <= 0xFC && t != 0x7F) ? 2 : 1;
        } else {
            w += Bad(offset + i, NotValid(c, 1), out + w);
            ++i;
        }
    }
    if (final && m_open != Open::none) {
        const Open open = m_open;
        m_open = Open::none;
        if (open == Open::escape) {
            out[w++] = u'\x1B';
        } else if (open == Open::lead) {
            w += Bad(m_openAt, "the input ends inside a " + m_table.name() + " character", out + w);
        } else {
            w += Bad(m_openAt, "the input ends inside a SoftBank web code escape", out + w);
        }
    }
    return w;
}

// ---------------------------------------------------------------------------------------------
// Encoding

namespace {

// EncodeShiftJis, with or without references, so that the inner loops do not ask.
template <bool kReferences>
size_t EncodeAs(const ShiftJisTable& table, std::u16string_view units, std::string& out) {
    const size_t n = units.size();
    const char16_t* in = units.data();
    // Two bytes a unit at most, but for references, which make room for themselves.
    const size_t start = out.size();
    out.resize(start + 2 * n + kMaxReference);
    char* p = out.data() + start;
    size_t i = 0;
    const auto reference = [&](char32_t c) {
        const size_t at = static_cast<size_t>(p - out.data());
        const size_t need = at + kMaxReference + 2 * (n - i);
        if (out.size() < need) out.resize(std::max(need, out.size() * 3 / 2));
        p = out.data() + at;
        p += WriteReference(c, p);
    };
    // Whether `u` goes through the table: private-use characters go as references when asked.
    const auto tabled = [](char16_t u) {
        return !kReferences || static_cast<uint16_t>(u - 0xE000) >= 0x1900;
    };
    while (i < n) {
        char16_t u = in[i];
        if (u < 0x80) {
            *p++ = static_cast<char>(u);
            ++i;
            // The rest of an ASCII run, eight units at a time: all eight packed and stored,
            // as many kept as are ASCII (the room for two bytes a unit takes the rest).
#if defined(__SSE2__)
            while (i + 8 <= n) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
                const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
                const int other =
                    _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) ^ 0xFFFF;
                _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(v, v));
                const size_t ascii = other ? static_cast<size_t>(__builtin_ctz(other)) / 2 : 8;
                i += ascii;
                p += ascii;
                if (other) break;
            }
#endif
            while (i < n && in[i] < 0x80) *p++ = static_cast<char>(in[i++]);
            continue;
        }
        // Runs of other characters with codes.
        uint16_t code = table.Encode(u);
        while (code != ShiftJisTable::kNone && tabled(u)) {
            if (code < 0x100) {
                *p++ = static_cast<char>(code);
            } else {
                p[0] = static_cast<char>(code >> 8);
                p[1] = static_cast<char>(code & 0xFF);
                p += 2;
            }
            if (++i == n || (u = in[i]) < 0x80) break;
            code = table.Encode(u);
        }
        if (i == n || u < 0x80) continue;
        if (!kReferences) break;
        if (u >= 0xD800 && u <= 0xDFFF) {
            // Shift_JIS has no character beyond U+FFFF; a reference can carry one.
            if (u > 0xDBFF || i + 1 == n || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) break;
            reference(0x10000 + ((char32_t(u) - 0xD800) << 10) + (in[i + 1] - 0xDC00));
            i += 2;
            continue;
        }
        reference(u);
        ++i;
    }
    out.resize(static_cast<size_t>(p - out.data()));
    return i;
}

}  // namespace

size_t EncodeShiftJis(const ShiftJisTable& table, std::u16string_view units, bool references,
                      std::string& out) {
    return references ? EncodeAs<true>(table, units, out) : EncodeAs<false>(table, units, out);
}

}  // namespace glyphary::client
