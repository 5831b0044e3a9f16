#include "text/shift_jis.h"

#include <algorithm>
#include <cstring>

#include "text/unicode.h"

namespace glyphary::text {
namespace {

struct Cp932Pair {
    uint16_t from, to;
};
#include "text/cp932_table.inc"

struct SjisRun {
    int32_t mode;
    uint16_t first, sjis, count;
};
constexpr SjisRun kSjisRuns[] = {
#include "text/sjis_layouts.inc"
};

constexpr uint8_t kLeads[] = {0x81, 0x9F, 0xE0, 0xFC};  // the two ranges of lead bytes

bool IsLeadByte(unsigned b) {
    return (b >= kLeads[0] && b <= kLeads[1]) || (b >= kLeads[2] && b <= kLeads[3]);
}

// A byte that may follow a lead byte: one that does not make a character with it goes with it.
bool IsTrailByte(unsigned b) {
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// The user-defined area, which CP932 maps linearly to U+E000-U+E757.
bool InUserDefinedArea(unsigned code) {
    return code >= 0xF040 && code <= 0xF9FC;
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

ShiftJisTable::ShiftJisTable(Carrier carrier) {
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

    if (carrier == Carrier::none) return;
    if (carrier == Carrier::automatic) {
        // Each code where the layouts part stands for itself, for a resolver to read with the
        // carrier it chooses; a code of the user-defined area that no carrier uses is no
        // character.
        for (unsigned code = 0xF040; code <= 0xF9FC; ++code)
            if (IsLeadByte(code >> 8)) m_double[((code >> 8) - 0x80) * 256 + (code & 0xFF)] = 0;
        for (const SjisRun& run : kSjisRuns) {
            for (unsigned k = 0; k < run.count; ++k) {
                const auto code = static_cast<uint16_t>(run.sjis + k);
                m_double[((code >> 8) - 0x80) * 256 + (code & 0xFF)] = LinearUnit(code);
            }
        }
        return;
    }

    // A carrier's handsets use the user-defined area for their own emoji and nothing else.
    for (unsigned code = 0xF040; code <= 0xF9FC; ++code)
        if (IsLeadByte(code >> 8)) m_double[((code >> 8) - 0x80) * 256 + (code & 0xFF)] = 0;
    for (unsigned unit = 0xE000; unit <= 0xF8FF; ++unit) m_encode[unit] = kNone;
    std::u16string displaced;  // ordinary characters whose code became an emoji (SoftBank's FB)
    for (const SjisRun& run : kSjisRuns) {
        if (run.mode != static_cast<int32_t>(carrier)) continue;
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
    m_webCodeEscapes = carrier == Carrier::softbank;
}

const ShiftJisTable& ShiftJisTable::For(Carrier carrier) {
    switch (carrier) {
        case Carrier::imode: {
            static const ShiftJisTable imode(Carrier::imode);
            return imode;
        }
        case Carrier::ezweb: {
            static const ShiftJisTable ezweb(Carrier::ezweb);
            return ezweb;
        }
        case Carrier::softbank: {
            static const ShiftJisTable softbank(Carrier::softbank);
            return softbank;
        }
        case Carrier::automatic: {
            static const ShiftJisTable automatic(Carrier::automatic);
            return automatic;
        }
        case Carrier::none:
            break;
    }
    static const ShiftJisTable plain(Carrier::none);
    return plain;
}

// ---------------------------------------------------------------------------------------------
// Decoding

bool ShiftJisDecoder::Bad(Fault fault, size_t at, uint32_t value, std::string_view bytes,
                          char16_t* out, size_t& w) {
    if (!m_issues.Take({at, bytes.size(), fault, value})) return false;
    w += Substitute(m_issues.errors(), bytes.data(), bytes.size(), true, out + w);
    return true;
}

template <ascii::Widen kWiden>
[[gnu::always_inline]] inline Consumed ShiftJisDecoder::Run(std::string_view text, bool final,
                                                            size_t offset, char16_t* out,
                                                            size_t& w) {
    const auto* in = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    const bool escapes = m_table.webCodeEscapes();
    const uint16_t* single = m_table.m_single;
    const uint16_t* pairs = m_table.m_double;  // from lead 0x80
    size_t i = 0;
    // Stops before the item at i: for more input, or at a failure.
    const auto stop = [&](bool ok) { return Consumed{i, ok}; };
    while (i < n) {
        if (m_page) {  // inside SoftBank's escape: one byte a character until SI
            const uint8_t b = in[i];
            if (b == 0x0F) {
                if (m_pageEmpty) {
                    // The opener, if still to be kept, and SI.
                    std::string escape(Opener());
                    escape += '\x0F';
                    if (!Bad(Fault::escapeEmpty, m_escapeAt, 0, escape, out, w)) return stop(false);
                }
                m_page = 0;
                ++i;
            } else if (b < 0x21 || b > 0x7E) {  // read again after the escape
                if (!Bad(Fault::escapeUnclosed, m_escapeAt, 0, Opener(), out, w))
                    return stop(false);
                m_page = 0;
            } else if (const auto unit = static_cast<char16_t>(m_page + b);
                       m_table.Encode(unit) != ShiftJisTable::kNone) {
                out[w++] = unit;
                m_pageEmpty = false;
                ++i;
            } else {
                // Kept after the opener, if that is still to be kept: bytes keep their order.
                std::string code(Opener());
                code += static_cast<char>(b);
                if (!Bad(Fault::escapeCode, offset + i, unit, code, out, w)) return stop(false);
                m_openerKept = true;
                ++i;
            }
            continue;
        }
        // The bulk: ASCII many bytes at a time, and whole characters, until something else.
        char16_t* o = out + w;
        while (i < n) {
            const uint8_t c = in[i];
            if (c < 0x80) {
                if (c == 0x1B && escapes) break;
                *o++ = c;
                ++i;
                kWiden(in, n, escapes, i, o);
                continue;
            }
            const uint16_t unit = single[c];
            if (unit < ShiftJisTable::kLead) {
                *o++ = unit;
                ++i;
                continue;
            }
            if (unit != ShiftJisTable::kLead || i + 1 == n) break;
            const uint16_t pair = pairs[(c - 0x80) * 256 + in[i + 1]];
            if (!pair) break;
            *o++ = pair;
            i += 2;
        }
        w = static_cast<size_t>(o - out);
        if (i == n) break;
        const uint8_t c = in[i];
        if (c == 0x1B) {  // SoftBank's escape: ESC $ page letter, characters, SI
            if (i + 1 == n || (in[i + 1] == '$' && i + 2 == n)) {
                if (!final) return stop(true);  // the rest comes with the next piece
                if (i + 1 == n) {
                    out[w++] = u'\x1B';  // ESC alone is a control character
                } else if (!Bad(Fault::escapeCut, offset + i, 0, text.substr(i, 2), out, w)) {
                    return stop(false);
                }
                i = n;
            } else if (in[i + 1] != '$') {
                out[w++] = u'\x1B';
                ++i;
            } else if (const char16_t page = PageOf(in[i + 2]); !page) {
                // The letter is read again as text.
                if (!Bad(Fault::escapePage, offset + i, in[i + 2], text.substr(i, 2), out, w))
                    return stop(false);
                i += 2;
            } else {
                m_page = static_cast<char16_t>(page - 0x20);
                m_pageEmpty = true;
                m_openerKept = false;
                m_escape[2] = static_cast<char>(in[i + 2]);
                m_escapeAt = offset + i;
                i += 3;
            }
        } else if (single[c] == ShiftJisTable::kLead && i + 1 == n) {
            if (!final) return stop(true);
            if (!Bad(Fault::sjisCut, offset + i, c, text.substr(i, 1), out, w)) return stop(false);
            ++i;
        } else if (single[c] == ShiftJisTable::kLead) {
            const uint8_t t = in[i + 1];
            const size_t length = IsTrailByte(t) ? 2 : 1;
            if (!Bad(Fault::sjisPair, offset + i, c << 8 | t, text.substr(i, length), out, w))
                return stop(false);
            i += length;
        } else {
            if (!Bad(Fault::sjisByte, offset + i, c, text.substr(i, 1), out, w)) return stop(false);
            ++i;
        }
    }
    if (final && m_page) {
        if (!Bad(Fault::escapeCut, m_escapeAt, 0, Opener(), out, w)) return stop(false);
        m_page = 0;
    }
    return stop(true);
}

struct ShiftJisDecoder::Loops {
    using Loop = Consumed (*)(ShiftJisDecoder&, std::string_view, bool, size_t, char16_t*, size_t&);

    static Consumed Scalar(ShiftJisDecoder& d, std::string_view in, bool final, size_t offset,
                           char16_t* out, size_t& w) {
        return d.Run<ascii::WidenScalar>(in, final, offset, out, w);
    }
#if GLYPHARY_SIMD_X86
    GLYPHARY_TARGET_SSE2 static Consumed Sse2(ShiftJisDecoder& d, std::string_view in, bool final,
                                              size_t offset, char16_t* out, size_t& w) {
        return d.Run<ascii::WidenSse2>(in, final, offset, out, w);
    }
    GLYPHARY_TARGET_AVX2 static Consumed Avx2(ShiftJisDecoder& d, std::string_view in, bool final,
                                              size_t offset, char16_t* out, size_t& w) {
        return d.Run<ascii::WidenAvx2>(in, final, offset, out, w);
    }
#endif

    static constexpr simd::Paths<Loop> kPaths = {
        .scalar = Scalar,
#if GLYPHARY_SIMD_X86
        .sse2 = Sse2,
        .avx2 = Avx2,
#endif
    };
};

Consumed ShiftJisDecoder::Decode(std::string_view in, bool final, size_t offset, char16_t* out,
                                 size_t& w) {
    return Loops::kPaths.Choose()(*this, in, final, offset, out, w);
}

// ---------------------------------------------------------------------------------------------
// Encoding

namespace {

// EncodeShiftJis, with or without references so that the inner loops do not ask, around one
// ASCII kernel.
template <bool kReferences, ascii::Narrow kNarrow>
[[gnu::always_inline]] inline Consumed EncodeAs(const ShiftJisTable& table,
                                                std::u16string_view units, bool final,
                                                Issues& issues, size_t offset, ByteBuffer& out) {
    const size_t n = units.size();
    const char16_t* in = units.data();
    // Two bytes a unit at most, but for references and substitutes, which make room for
    // themselves.
    char* base = out.Room(2 * n + kMaxReference);
    char* p = base;
    size_t i = 0;
    const auto room = [&] {
        out.Wrote(static_cast<size_t>(p - base));
        p = base = out.Room(kMaxReference + 2 * (n - i));
    };
    const auto done = [&](bool ok) {
        out.Wrote(static_cast<size_t>(p - base));
        return Consumed{i, ok};
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
            kNarrow(in, n, i, p);
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
        // A character Shift_JIS does not carry as it is: asked for references, one of the
        // basic plane (the carriers' emoji among them) goes as its reference.
        room();
        if (kReferences && !IsSurrogate(u)) {
            p += WriteReference(u, p);
            ++i;
            continue;
        }
        // None lies beyond U+FFFF.
        if (IsHighSurrogate(u) && i + 1 == n && !final) break;  // its other half comes next
        const size_t length = CharacterUnits(units, i);
        const char32_t c = CodePointAt(units, i);
        const bool lone = IsSurrogate(c);
        if (kReferences && !lone) {
            p += WriteReference(c, p);
        } else {
            if (!issues.Take({offset + i, length, lone ? Fault::loneSurrogate : Fault::noCode, c}))
                return done(false);
            p += Substitute(issues.errors(), c, p);
        }
        i += length;
    }
    return done(true);
}

using Encode = Consumed (*)(const ShiftJisTable&, std::u16string_view, bool, Issues&, size_t,
                            ByteBuffer&);

template <bool kReferences>
Consumed EncodeScalar(const ShiftJisTable& table, std::u16string_view units, bool final,
                      Issues& issues, size_t offset, ByteBuffer& out) {
    return EncodeAs<kReferences, ascii::NarrowScalar>(table, units, final, issues, offset, out);
}

#if GLYPHARY_SIMD_X86
template <bool kReferences>
GLYPHARY_TARGET_SSE2 Consumed EncodeSse2(const ShiftJisTable& table, std::u16string_view units,
                                         bool final, Issues& issues, size_t offset,
                                         ByteBuffer& out) {
    return EncodeAs<kReferences, ascii::NarrowSse2>(table, units, final, issues, offset, out);
}

template <bool kReferences>
GLYPHARY_TARGET_AVX2 Consumed EncodeAvx2(const ShiftJisTable& table, std::u16string_view units,
                                         bool final, Issues& issues, size_t offset,
                                         ByteBuffer& out) {
    return EncodeAs<kReferences, ascii::NarrowAvx2>(table, units, final, issues, offset, out);
}
#endif

template <bool kReferences>
constexpr simd::Paths<Encode> kEncode = {
    .scalar = EncodeScalar<kReferences>,
#if GLYPHARY_SIMD_X86
    .sse2 = EncodeSse2<kReferences>,
    .avx2 = EncodeAvx2<kReferences>,
#endif
};

}  // namespace

Consumed EncodeShiftJis(const ShiftJisTable& table, std::u16string_view units, bool final,
                        bool references, Issues& issues, size_t offset, ByteBuffer& out) {
    return (references ? kEncode<true> : kEncode<false>)
        .Choose()(table, units, final, issues, offset, out);
}

}  // namespace glyphary::text
