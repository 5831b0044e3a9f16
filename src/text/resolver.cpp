#include "text/resolver.h"

#include <bit>
#include <memory>

#include "text/codec.h"
#include "text/forms.h"
#include "text/legacy_codes.h"
#include "text/shift_jis.h"
#include "text/ascii.h"
#include "text/simd.h"
#include "text/unicode.h"

#if GLYPHARY_SIMD_X86
#include <emmintrin.h>
#endif

namespace glyphary::text {
namespace {

uint8_t Bit(Carrier carrier) {
    return static_cast<uint8_t>(1u << (static_cast<int>(carrier) - 1));
}

// Which carriers have each private-use unit as an emoji, and how each carrier's layout reads
// each Shift_JIS code of the linear mapping.
struct Candidates {
    std::array<uint8_t, 0x1900> privateUse{};  // U+E000..U+F8FF
    std::array<std::array<char16_t, 3>, kLastLinearUnit - kFirstLinearUnit + 1> sjis{};
    std::array<uint8_t, kLastLinearUnit - kFirstLinearUnit + 1> sjisCarriers{};  // reading it
    std::array<uint8_t, kLastLinearUnit - kFirstLinearUnit + 1> sjisEmoji{};     // as an emoji

    Candidates() {
        for (const Carrier c : kEmojiCarriers) {
            const ShiftJisTable& table = ShiftJisTable::For(c);
            const int k = static_cast<int>(c) - 1;
            for (char32_t u = 0xE000; u <= 0xF8FF; ++u)
                if (table.Encode(static_cast<char16_t>(u)) != ShiftJisTable::kNone)
                    privateUse[u - 0xE000] |= Bit(c);
            for (char32_t u = kFirstLinearUnit; u <= kLastLinearUnit; ++u) {
                const uint16_t code = LinearCode(static_cast<char16_t>(u));
                const char16_t unit = table.Double(code >> 8, code & 0xFF);
                sjis[u - kFirstLinearUnit][k] = unit;
                if (unit) sjisCarriers[u - kFirstLinearUnit] |= Bit(c);
                if (unit >= 0xE000 && unit <= 0xF8FF) sjisEmoji[u - kFirstLinearUnit] |= Bit(c);
            }
        }
    }
};

const Candidates& TheCandidates() {
    static const auto candidates = std::make_unique<const Candidates>();
    return *candidates;
}

bool IsPrivateUseUnit(char16_t u) {
    return static_cast<uint16_t>(u - 0xE000) < 0x1900;
}

// Marks followed by a unit that belongs to them.
bool IsPairMark(char16_t u) {
    return u == marks::kShiftJis || u == marks::kGoogle || u == marks::kLiteral;
}

bool IsCarrierMark(char16_t u) {
    return u > marks::kCarrier && u < marks::kEnd;
}

size_t Index(uint16_t code) {
    return LinearUnit(code) - kFirstLinearUnit;
}

// A Shift_JIS code's payload, checked: marks come from our own decoder, but a resolver must
// not read out of its tables whatever it is given.
bool IsLinearCode(char16_t code) {
    const unsigned trail = code & 0xFF;
    return code >= kFirstLinearCode && code <= kLastLinearCode && trail >= 0x40 && trail <= 0xFC &&
           trail != 0x7F;
}

// ---------------------------------------------------------------------------------------------
// The scan for what a resolver looks at: line feeds, private-use units and marks. Text is
// mostly none of them, so the fast path looks at eight units at a time.

bool IsNotable(char16_t u) {
    return u == u'\n' || IsPrivateUseUnit(u) || marks::IsMark(u);
}

using Find = size_t (*)(const char16_t* text, size_t from, size_t to);

size_t FindNotableScalar(const char16_t* text, size_t i, size_t to) {
    while (i < to && !IsNotable(text[i])) ++i;
    return i;
}

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 size_t FindNotableSse2(const char16_t* text, size_t i, size_t to) {
    for (; i + 8 <= to; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(ascii::InRange(units, 0xE000, 0x1900),
                                                      ascii::InRange(units, 0xFDE0, 0x10)),
                                         _mm_cmpeq_epi16(units, _mm_set1_epi16(u'\n')));
        if (const int mask = _mm_movemask_epi8(hit)) return i + __builtin_ctz(mask) / 2;
    }
    return FindNotableScalar(text, i, to);
}
#endif

constexpr simd::Paths<Find> kFindNotable = {
    .scalar = FindNotableScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindNotableSse2,
#endif
};

size_t FindNotable(const char16_t* text, size_t from, size_t to) {
    return kFindNotable.Choose()(text, from, to);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names

const char* RecordName(Record record) {
    switch (record) {
        case Record::line:
            return "line";
        case Record::paragraph:
            return "paragraph";
        case Record::whole:
            return "whole";
    }
    return "?";
}

std::optional<Record> ParseRecord(std::string_view name) {
    for (const Record r : {Record::line, Record::paragraph, Record::whole})
        if (name == RecordName(r)) return r;
    return std::nullopt;
}

std::optional<std::array<Carrier, 3>> ParsePrefer(std::string_view names, std::string* unknown) {
    std::array<Carrier, 3> order{};
    size_t count = 0;
    uint8_t named = 0;
    while (!names.empty()) {
        const size_t comma = names.find(',');
        std::string_view name = names.substr(0, comma);
        names = comma == names.npos ? std::string_view() : names.substr(comma + 1);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        const std::optional<Carrier> carrier = ParseCarrierName(name);
        if (!carrier || (named & Bit(*carrier))) {
            if (unknown) *unknown = std::string(name);
            return std::nullopt;
        }
        named |= Bit(*carrier);
        order[count++] = *carrier;
    }
    for (const Carrier c : kEmojiCarriers)
        if (!(named & Bit(c))) order[count++] = c;
    return order;
}

std::string Describe(const Guess& guess) {
    const auto list = [](uint8_t set) {
        std::string out;
        int left = std::popcount(set);
        for (const Carrier c : kEmojiCarriers) {
            if (!(set & Bit(c))) continue;
            if (!out.empty()) out += --left ? ", " : " or ";
            if (out.empty()) --left;
            out += CarrierName(c);
        }
        return out;
    };
    std::string text =
        (guess.sjis ? "Shift_JIS " + Hex(guess.code, 4) : "U+" + Hex(guess.code, 4)) +
        " could be " + list(guess.candidates) + ": took " + CarrierName(guess.chosen) +
        ", the first preferred (the record shows ";
    const uint8_t both = guess.candidates & guess.shown;
    if (!guess.shown) return text + "no carrier)";
    if (!both) return text + list(guess.shown) + " only)";
    return text + list(both) + ")";
}

// ---------------------------------------------------------------------------------------------
// Resolving

CarrierResolver::CarrierResolver(const AutoOptions& options, RunSink sink)
    : m_options(options), m_sink(std::move(sink)) {
    TheCandidates();  // built now rather than inside the first record
}

void CarrierResolver::Feed(std::u16string_view marked, bool final) {
    // A record held from earlier pieces is completed from the start of this one; records
    // wholly inside it are resolved where they stand; what is left is held.
    size_t from = 0;
    if (!m_record.empty()) {
        const size_t end = FindEnd(marked.data(), 0, marked.size());
        m_record.append(marked.substr(0, end == kNone ? marked.size() : end));
        if (end != kNone || final) {
            Resolve(m_record.data(), 0, m_record.size(), true);
            m_record.clear();
        }
        from = end == kNone ? marked.size() : end;
    }
    for (size_t end;
         from < marked.size() && (end = FindEnd(marked.data(), from, marked.size())) != kNone;
         from = end)
        Resolve(marked.data(), from, end, true);
    if (from < marked.size()) {
        if (final) {
            Resolve(marked.data(), from, marked.size(), true);
        } else {
            m_record.append(marked.substr(from));
        }
    }
    // A record longer than the limit: resolved in parts, each with what it showed so far
    // (all but a mark whose unit is still to come).
    if (!final && m_record.size() > kMaxRecordUnits) {
        const size_t part = m_record.size() - (m_markOpen ? 1 : 0);
        Resolve(m_record.data(), 0, part, false);
        m_record.erase(0, part);
    }
    Flush();
}

size_t CarrierResolver::FindEnd(const char16_t* text, size_t i, size_t n) {
    const Record kind = m_options.record;
    if (m_markOpen && i < n) {  // the unit of a mark that ended the last piece
        m_markOpen = false;
        ++i;
    }
    while (i < n) {
        const size_t at = kind == Record::paragraph ? i : FindNotable(text, i, n);
        if (kind != Record::paragraph && at == n) return kNone;
        const char16_t u = text[at];
        i = at + 1;
        if (IsPairMark(u)) {
            m_blankSoFar = false;  // before the unit's piece comes: its line is not blank
            if (i == n) {
                m_markOpen = true;
                return kNone;
            }
            ++i;
        } else if (u == u'\n' && kind != Record::whole) {
            if (kind == Record::line || (m_blankSoFar && m_seenLine)) {
                m_seenLine = false;
                m_blankSoFar = true;
                return i;
            }
            m_seenLine = true;
            m_blankSoFar = true;
        } else if (u != u' ' && u != u'\t' && u != u'\r') {
            m_blankSoFar = false;
        }
    }
    return kNone;
}

// The units text[begin, end) resolved; `ends` when a record ends there.
void CarrierResolver::Resolve(const char16_t* text, size_t begin, size_t end, bool ends) {
    const Candidates& table = TheCandidates();

    // What the record shows: the carriers of codes that only one carrier has as an emoji.
    // (Every SoftBank Shift_JIS code is another carrier's emoji or, FB41-FBDE, their kanji:
    // those show SoftBank, and a record that shows another carrier too still guesses them.)
    char16_t certain = m_certain;
    for (size_t i = FindNotable(text, begin, end); i < end; i = FindNotable(text, i, end)) {
        const char16_t u = text[i++];
        if (IsPrivateUseUnit(u)) {
            const uint8_t c = certain ? Bit(static_cast<Carrier>(certain - marks::kCarrier))
                                      : table.privateUse[u - 0xE000];
            if (std::has_single_bit(c)) m_shown |= c;
        } else if (u == marks::kShiftJis && i < end) {
            const char16_t code = text[i++];
            if (!IsLinearCode(code)) continue;
            const uint8_t c = table.sjisEmoji[Index(code)];
            if (std::has_single_bit(c)) m_shown |= c;
        } else if (IsPairMark(u)) {
            ++i;
        } else if (IsCarrierMark(u)) {
            certain = u;
        } else if (u == marks::kEnd) {
            certain = 0;
        }
    }

    // Each emoji as its carrier's, in runs of one carrier.
    size_t i = begin;
    while (i < end) {
        const size_t from = i;
        i = FindNotable(text, i, end);
        m_out.append(text + from, i - from);
        if (i == end) break;
        const char16_t u = text[i++];
        if (u == u'\n') {
            m_out += u;
            ++m_line;
            m_lineStart = m_emitted + m_out.size();
        } else if (IsPrivateUseUnit(u)) {
            if (m_certain) {
                Emit(static_cast<Carrier>(m_certain - marks::kCarrier), &u, 1);
                continue;
            }
            const uint8_t c = table.privateUse[u - 0xE000];
            if (!c) {
                m_out += u;  // no carrier's
                continue;
            }
            Emit(Choose(c, u, false, true), &u, 1);
        } else if (IsCarrierMark(u)) {
            m_certain = u;
        } else if (u == marks::kEnd) {
            m_certain = 0;
        } else if (!IsPairMark(u)) {
            m_out += u;  // a noncharacter the marks do not use
        } else if (i == end) {
            break;  // a mark without its unit: none of our decoders writes one
        } else if (u == marks::kShiftJis) {
            const char16_t code = text[i++];
            if (!IsLinearCode(code) || !table.sjisCarriers[Index(code)]) continue;
            const Carrier carrier = Choose(table.sjisCarriers[Index(code)], code, true, true);
            const char16_t unit = table.sjis[Index(code)][static_cast<int>(carrier) - 1];
            if (IsPrivateUseUnit(unit)) {
                Emit(carrier, &unit, 1);
            } else {
                m_out += unit;  // a kanji where this carrier has no emoji
            }
        } else if (u == marks::kGoogle) {
            const LegacyEmoji* e = EmojiOfGoogleCode(0xF0000 + text[i++]);
            if (!e) continue;
            uint8_t c = 0;
            for (const Carrier carrier : kEmojiCarriers)
                if (e->CodeOf(carrier)) c |= Bit(carrier);
            // Any carrier's code is the same emoji: no guess to report.
            const Carrier carrier = Choose(c, e->google, false, false);
            const char16_t unit = e->CodeOf(carrier);
            Emit(carrier, &unit, 1);
        } else {  // kLiteral
            m_out += text[i++];
        }
    }
    if (ends) {
        m_shown = 0;
        ++m_records;
    }
}

Carrier CarrierResolver::Choose(uint8_t candidates, uint32_t code, bool sjis, bool counts) {
    if (std::has_single_bit(candidates))
        return static_cast<Carrier>(std::countr_zero(candidates) + 1);
    const uint8_t both = candidates & m_shown;
    if (std::has_single_bit(both)) return static_cast<Carrier>(std::countr_zero(both) + 1);
    const uint8_t pool = both ? both : candidates;
    // The order names every carrier unless a caller left some out: those come last.
    auto chosen = static_cast<Carrier>(std::countr_zero(pool) + 1);
    for (const Carrier c : m_options.prefer) {
        if (c != Carrier::none && c != Carrier::automatic && (pool & Bit(c))) {
            chosen = c;
            break;
        }
    }
    if (counts) {
        ++m_guesses;
        if (m_hook) {
            const size_t offset = m_emitted + m_out.size();
            m_hook({m_records, m_line, offset, offset - m_lineStart, code, sjis, chosen, candidates,
                    m_shown});
        }
    }
    return chosen;
}

void CarrierResolver::Emit(Carrier carrier, const char16_t* units, size_t n) {
    if (m_run != Carrier::none && m_run != carrier) Flush();  // the text so far goes with m_run
    m_run = carrier;
    m_out.append(units, n);
}

void CarrierResolver::Flush() {
    if (!m_out.empty()) m_sink(m_run, m_out);
    m_emitted += m_out.size();
    m_out.clear();
    m_run = Carrier::none;
}

// ---------------------------------------------------------------------------------------------
// Whole texts

std::u16string DecodeResolved(std::string_view bytes, const Format& format, Errors errors,
                              const AutoOptions& options, const CarrierResolver::GuessHook& hook) {
    Decoder decoder(format, errors);
    std::u16string marked(Decoder::Room(bytes.size()), u'\0');
    const Decoded d = decoder.Decode(bytes, true, marked.data());
    if (!d.ok) throw EncodingError(*decoder.issues().failure(), format);
    marked.resize(d.units);
    if (format.carrier != Carrier::automatic) return marked;
    std::u16string out;
    CarrierResolver resolver(options, [&](Carrier, std::u16string_view run) { out += run; });
    resolver.SetGuessHook(hook);
    resolver.Feed(marked, true);
    return out;
}

}  // namespace glyphary::text
