#include "client/shift_jis.h"

#include <cstdio>
#include <cstring>

#include "client/carriers.h"
#include "client/encoding.h"

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

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

bool IsPrivateUse(char32_t c) {
    return (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xF0000 && c <= 0x10FFFD);
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

size_t ShiftJisDecoder::Decode(std::string_view text, bool final, char16_t* out, size_t offset) {
    const auto* in = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    const bool escapes = m_table.webCodeEscapes();
    size_t i = 0, w = 0;
    const auto notValid = [&](unsigned code, int bytes) {
        return (bytes == 2 ? "bytes 0x" + Hex(code >> 8, 2) + " 0x" + Hex(code & 0xFF, 2) + " are"
                           : "byte 0x" + Hex(code, 2) + " is") +
               " not valid " + m_table.name();
    };
    while (i < n) {
        const uint8_t b = in[i];
        switch (m_open) {
            case Open::none:
                break;
            case Open::lead: {
                m_open = Open::none;
                if (const uint16_t unit = m_table.Double(m_lead, b)) {
                    out[w++] = unit;
                    ++i;
                } else {
                    w += Bad(m_openAt, notValid(m_lead << 8 | b, 2), out + w);
                    if ((b >= 0x40 && b <= 0xFC && b != 0x7F)) ++i;
                }
                continue;
            }
            case Open::escape:
                if (b == '$') {
                    m_open = Open::escapeDollar;
                    ++i;
                } else {
                    m_open = Open::none;
                    out[w++] = u'\x1B';
                }
                continue;
            case Open::escapeDollar:
                m_open = Open::none;
                if (const char16_t page = PageOf(b)) {
                    m_open = Open::page;
                    m_page = static_cast<char16_t>(page - 0x20);
                    m_pageEmpty = true;
                    ++i;
                } else {
                    w += Bad(m_openAt,
                             "ESC $ 0x" + Hex(b, 2) +
                                 " is no SoftBank web code (its page letters are G, E, F, O, P, Q)",
                             out + w);
                }
                continue;
            case Open::page:
                if (b == 0x0F) {  // SI ends the escape
                    m_open = Open::none;
                    if (m_pageEmpty)
                        w += Bad(m_openAt, "a SoftBank web code escape without a character",
                                 out + w);
                    ++i;
                } else if (b >= 0x21 && b <= 0x7E &&
                           m_table.Encode(static_cast<char16_t>(m_page + b)) !=
                               ShiftJisTable::kNone) {
                    out[w++] = static_cast<char16_t>(m_page + b);
                    m_pageEmpty = false;
                    ++i;
                } else if (b >= 0x21 && b <= 0x7E) {
                    w += Bad(offset + i,
                             "ESC $ web code U+" + Hex(m_page + b, 4) + " is no SoftBank emoji",
                             out + w);
                    ++i;
                } else {
                    m_open = Open::none;
                    w += Bad(m_openAt, "a SoftBank web code escape that SI does not end", out + w);
                }
                continue;
        }

        // ASCII runs, eight bytes at a time.
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, in + i, 8);
            if (word & 0x8080808080808080u) break;
            if (escapes) {
                const uint64_t x = word ^ 0x1B1B1B1B1B1B1B1Bu;
                if ((x - 0x0101010101010101u) & ~x & 0x8080808080808080u) break;
            }
            for (int k = 0; k < 8; ++k) out[w + k] = in[i + k];
            i += 8;
            w += 8;
        }
        if (i == n) break;
        const uint8_t c = in[i];
        if (c == 0x1B && escapes) {
            m_open = Open::escape;
            m_openAt = offset + i;
            ++i;
            continue;
        }
        const uint16_t unit = m_table.Single(c);
        if (unit < ShiftJisTable::kLead) {
            out[w++] = unit;
            ++i;
        } else if (unit == ShiftJisTable::kLead) {
            if (i + 1 < n) {
                const uint8_t t = in[i + 1];
                if (const uint16_t pair = m_table.Double(c, t)) {
                    out[w++] = pair;
                    i += 2;
                } else {
                    w += Bad(offset + i, notValid(c << 8 | t, 2), out + w);
                    i += (t >= 0x40 && t <= 0xFC && t != 0x7F) ? 2 : 1;
                }
            } else {
                m_open = Open::lead;
                m_lead = c;
                m_openAt = offset + i;
                ++i;
            }
        } else {
            w += Bad(offset + i, notValid(c, 1), out + w);
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

size_t EncodeShiftJis(const ShiftJisTable& table, std::u16string_view units, bool references,
                      std::string& out) {
    const size_t n = units.size();
    size_t used = out.size();
    out.resize(used + 2 * n + 16);
    const auto room = [&](size_t bytes) {
        if (used + bytes > out.size()) out.resize(2 * out.size() + bytes);
    };
    const auto reference = [&](char32_t c) {
        room(12);
        used += static_cast<size_t>(
            std::snprintf(out.data() + used, 12, "&#x%X;", static_cast<unsigned>(c)));
    };
    size_t i = 0;
    while (i < n) {
        // ASCII runs, four units at a time.
        while (i + 4 <= n) {
            uint64_t word;
            std::memcpy(&word, units.data() + i, 8);
            if (word & 0xFF80FF80FF80FF80u) break;
            room(4);
            for (int k = 0; k < 4; ++k) out[used + k] = static_cast<char>(units[i + k]);
            i += 4;
            used += 4;
        }
        if (i == n) break;
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDFFF) {
            // Shift_JIS has no character beyond U+FFFF; a reference can carry one.
            if (!references || u > 0xDBFF || i + 1 == n || units[i + 1] < 0xDC00 ||
                units[i + 1] > 0xDFFF)
                break;
            reference(0x10000 + ((char32_t(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            i += 2;
            continue;
        }
        const uint16_t code = table.Encode(u);
        if (references && (IsPrivateUse(u) || code == ShiftJisTable::kNone)) {
            reference(u);
        } else if (code == ShiftJisTable::kNone) {
            break;
        } else {
            room(2);
            if (code < 0x100) {
                out[used++] = static_cast<char>(code);
            } else {
                out[used++] = static_cast<char>(code >> 8);
                out[used++] = static_cast<char>(code & 0xFF);
            }
        }
        ++i;
    }
    out.resize(used);
    return i;
}

}  // namespace glyphary::client
