#include "text/forms.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "text/legacy_codes.h"
#include "text/simd.h"
#include "text/references.h"
#include "text/shift_jis.h"
#include "text/unicode.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary::text {

// What a unit may begin. Everything else is copied as it is.
enum FormReader::Kind : uint8_t {
    plain,
    ampersand,   // a reference
    tag,         // <img localsrc=...>
    escape,      // ESC $ page
    google,      // the high surrogate of a Google code
    cp932Unit,   // U+E000..U+E757 in text through CP932
    cp932Kanji,  // a kanji CP932 made of SoftBank's FB41-FBDE
    mark,        // a unit of the marks' range, to be marked as text
    linear,      // a Shift_JIS decoder's unit of the linear mapping (Carrier::automatic)
};

namespace {

// The units that may begin a form: three ASCII units and those from `high` on. A superset of
// the kinds' units that are not plain, which the search finds many units at a time; each
// found is then looked up.
struct Stops {
    char16_t ascii[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    char16_t high = 0xFFFF;
};

size_t ToStopScalar(const char16_t* p, size_t n, const Stops& s) {
    size_t i = 0;
    for (; i < n; ++i) {
        const char16_t u = p[i];
        if (u >= s.high || u == s.ascii[0] || u == s.ascii[1] || u == s.ascii[2]) break;
    }
    return i;
}

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 size_t ToStopSse2(const char16_t* p, size_t n, const Stops& s) {
    const __m128i a0 = _mm_set1_epi16(static_cast<short>(s.ascii[0]));
    const __m128i a1 = _mm_set1_epi16(static_cast<short>(s.ascii[1]));
    const __m128i a2 = _mm_set1_epi16(static_cast<short>(s.ascii[2]));
    // u >= high exactly when (high - 1) - u saturates to zero (high is above 0x7F).
    const __m128i below = _mm_set1_epi16(static_cast<short>(s.high - 1));
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi16(u, a0), _mm_cmpeq_epi16(u, a1)),
            _mm_or_si128(_mm_cmpeq_epi16(u, a2),
                         _mm_cmpeq_epi16(_mm_subs_epu16(below, u), _mm_setzero_si128())));
        if (const int m = _mm_movemask_epi8(hit))
            return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(m))) / 2;
    }
    return i + ToStopScalar(p + i, n - i, s);
}

GLYPHARY_TARGET_AVX2 size_t ToStopAvx2(const char16_t* p, size_t n, const Stops& s) {
    const __m256i a0 = _mm256_set1_epi16(static_cast<short>(s.ascii[0]));
    const __m256i a1 = _mm256_set1_epi16(static_cast<short>(s.ascii[1]));
    const __m256i a2 = _mm256_set1_epi16(static_cast<short>(s.ascii[2]));
    const __m256i high = _mm256_set1_epi16(static_cast<short>(s.high));
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i hit =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi16(u, a0), _mm256_cmpeq_epi16(u, a1)),
                            _mm256_or_si256(_mm256_cmpeq_epi16(u, a2),
                                            _mm256_cmpeq_epi16(_mm256_max_epu16(u, high), u)));
        if (const auto m = static_cast<uint32_t>(_mm256_movemask_epi8(hit)))
            return i + static_cast<size_t>(__builtin_ctz(m)) / 2;
    }
    return i + ToStopSse2(p + i, n - i, s);
}
#endif

constexpr simd::Paths<size_t (*)(const char16_t*, size_t, const Stops&)> kToStop = {
    .scalar = ToStopScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = ToStopSse2,
    .avx2 = ToStopAvx2,
#endif
};

}  // namespace

struct FormReader::Kinds {
    std::array<Kind, 0x10000> of{};
    // The search's stops; none when more than three ASCII units are not plain (only the table
    // then).
    std::optional<Stops> stops;
};

namespace {

constexpr char16_t kEsc = 0x1B, kShiftIn = 0x0F;

// The first code point of SoftBank's web code page named by `letter`, or 0.
char16_t PageOf(char16_t letter) {
    switch (letter) {
        case u'G':
            return 0xE000;
        case u'E':
            return 0xE100;
        case u'F':
            return 0xE200;
        case u'O':
            return 0xE300;
        case u'P':
            return 0xE400;
        case u'Q':
            return 0xE500;
    }
    return 0;
}

bool IsSoftBankEmoji(char16_t unit) {
    return IsPrivateUse(unit) &&
           ShiftJisTable::For(Carrier::softbank).Encode(unit) != ShiftJisTable::kNone;
}

// Whether some carrier's layout reads the Shift_JIS `code` its own way (an emoji, or SoftBank's
// FB codes).
bool SomeLayoutReads(uint32_t code) {
    if (code < kFirstLinearCode || code > kLastLinearCode) return false;
    const unsigned trail = code & 0xFF;
    if (trail < 0x40 || trail == 0x7F || trail > 0xFC) return false;
    return ShiftJisTable::For(Carrier::automatic).Double(code >> 8, trail) ==
           LinearUnit(static_cast<uint16_t>(code));
}

// The code CP932 writes `kanji` back to, when that is one of SoftBank's FB codes; else 0.
uint16_t FbCodeOf(char16_t kanji) {
    const uint16_t code = ShiftJisTable::For(Carrier::none).Encode(kanji);
    return code != ShiftJisTable::kNone && code >> 8 == 0xFB && SomeLayoutReads(code) ? code : 0;
}

// ---------------------------------------------------------------------------------------------
// <img localsrc="N">

struct Tag {
    size_t length = 0;  // 0: no such tag
    uint32_t number = 0;
    bool open = false;  // the text ends before that is known
};

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool IsNameUnit(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u'-' || c == u':' || c == u'.';
}

// Reads `<img` attributes `>` (or `/>`) at s[0], which is '<': the tag and its localsrc number.
Tag ReadTag(const char16_t* s, size_t n) {
    const size_t end = std::min(n, kMaxTagUnits);
    const Tag open{0, 0, n < kMaxTagUnits};
    size_t i = 1;
    for (const char16_t c : std::u16string_view(u"img")) {
        if (i == end) return open;
        if (Lower(s[i++]) != c) return {};
    }
    if (i == end) return open;
    if (!IsSpace(s[i])) return {};
    std::optional<uint32_t> number;
    while (true) {
        while (i < end && IsSpace(s[i])) ++i;
        if (i == end) return open;
        if (s[i] == u'/') {
            if (++i == end) return open;
            if (s[i] != u'>') return {};
        }
        if (s[i] == u'>') {
            if (!number) return {};
            return {i + 1, *number, false};
        }
        const size_t name = i;
        while (i < end && IsNameUnit(s[i])) ++i;
        if (i == end) return open;
        if (i == name) return {};
        bool localsrc = i - name == 8;
        for (size_t k = 0; localsrc && k < 8; ++k) localsrc = Lower(s[name + k]) == u"localsrc"[k];
        while (i < end && IsSpace(s[i])) ++i;
        if (i == end) return open;
        if (s[i] != u'=') {
            if (localsrc) return {};
            continue;  // an attribute without a value
        }
        ++i;
        while (i < end && IsSpace(s[i])) ++i;
        if (i == end) return open;
        size_t from = i, to;
        if (s[i] == u'"' || s[i] == u'\'') {
            const char16_t quote = s[i];
            from = ++i;
            while (i < end && s[i] != quote) ++i;
            if (i == end) return open;
            to = i++;
        } else {
            while (i < end && !IsSpace(s[i]) && s[i] != u'>' && s[i] != u'"' && s[i] != u'\'') ++i;
            if (i == end) return open;
            to = i;
        }
        if (!localsrc) continue;
        if (number || to == from || to - from > 4) return {};
        uint32_t value = 0;
        for (size_t k = from; k < to; ++k) {
            if (s[k] < u'0' || s[k] > u'9') return {};
            value = value * 10 + (s[k] - u'0');
        }
        number = value;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Set-up

const FormReader::Kinds& FormReader::KindsFor(const Format& format) {
    const bool automatic = format.carrier == Carrier::automatic;
    const Forms f = format.forms;
    // Text through CP932 means something only for a carrier, and only for text that was not
    // Shift_JIS already; its kanji only for SoftBank.
    const bool cp932 =
        f.has(Form::cp932) && format.encoding != Encoding::sjis && format.carrier != Carrier::none;
    const bool kanji = cp932 && (automatic || format.carrier == Carrier::softbank);
    // SoftBank's Shift_JIS decoder reads the web codes itself (and keeps what it cannot).
    const bool webCodes = f.has(Form::webCodes) && !(format.encoding == Encoding::sjis &&
                                                     format.carrier == Carrier::softbank);
    const unsigned key =
        (f.has(Form::references) || f.has(Form::sjisReferences)) << 0 | f.has(Form::localsrc) << 1 |
        webCodes << 2 | (f.has(Form::google) && format.carrier != Carrier::none) << 3 | cp932 << 4 |
        kanji << 5 | automatic << 6 | (automatic && format.encoding == Encoding::sjis) << 7;
    static std::mutex mutex;
    static std::array<std::unique_ptr<const Kinds>, 256> cache;
    std::lock_guard lock(mutex);
    std::unique_ptr<const Kinds>& slot = cache[key];
    if (slot) return *slot;
    auto kinds = std::make_unique<Kinds>();
    auto& of = kinds->of;
    if (key & 1) of[u'&'] = ampersand;
    if (key & 2) of[u'<'] = tag;
    if (key & 4) of[kEsc] = escape;
    if (key & 8)
        for (char32_t c = kFirstGoogleCode; c < kFirstGoogleCode + 0x1000; c += 0x400)
            of[HighSurrogateOf(c)] = google;
    if (key & 16)
        for (char16_t u = kFirstLinearUnit; u <= kLastUserDefinedUnit; ++u) of[u] = cp932Unit;
    if (key & 32)
        for (uint32_t u = 0x100; u < 0x10000; ++u)
            if (of[u] == plain && FbCodeOf(static_cast<char16_t>(u))) of[u] = cp932Kanji;
    if (key & 64)
        for (char16_t u = 0xFDE0; u <= 0xFDEF; ++u) of[u] = mark;
    if (key & 128)
        for (char16_t u = kFirstLinearUnit; u <= kLastLinearUnit; ++u) of[u] = linear;
    Stops stops;
    size_t ascii = 0;
    for (char16_t u = 0; u < 0x80; ++u)
        if (of[u] != plain && ascii++ < std::size(stops.ascii)) stops.ascii[ascii - 1] = u;
    for (uint32_t u = 0x80; u < 0x10000 && stops.high == 0xFFFF; ++u)
        if (of[u] != plain) stops.high = static_cast<char16_t>(u);
    if (ascii <= std::size(stops.ascii)) kinds->stops = stops;
    slot = std::move(kinds);
    return *slot;
}

FormReader::FormReader(const Format& format, Issues& issues)
    : m_format(format),
      m_issues(issues),
      m_kinds(KindsFor(format)),
      m_automatic(format.carrier == Carrier::automatic) {}

// ---------------------------------------------------------------------------------------------
// Reading

bool FormReader::Bad(Fault fault, size_t at, size_t length, uint32_t value, const char16_t* kept,
                     size_t keptLength, char16_t* out, size_t& w) {
    if (!m_issues.Take({at, length, fault, value})) return false;
    if (m_issues.errors() == Errors::keep) {
        std::memmove(out + w, kept, keptLength * sizeof(char16_t));
        w += keptLength;
    } else {
        out[w++] = u'\xFFFD';
    }
    return true;
}

bool FormReader::Emoji(Carrier own, char16_t code, size_t at, size_t length, char16_t* out,
                       size_t& w) {
    const Carrier carrier = m_format.carrier;
    if (m_automatic) {
        out[w++] = static_cast<char16_t>(marks::kCarrier + static_cast<int>(own));
        out[w++] = code;
        out[w++] = marks::kEnd;
        return true;
    }
    if (carrier == own || carrier == Carrier::none) {
        out[w++] = code;
        return true;
    }
    const LegacyEmoji* e = EmojiOfCode(own, code);
    if (const char16_t mine = e ? e->CodeOf(carrier) : 0) {
        out[w++] = mine;
        return true;
    }
    // Kept: the other carrier's code itself, which says more than the form it came in.
    return Bad(Fault::noEquivalent, at, length, code, &code, 1, out, w);
}

bool FormReader::Google(char32_t code, size_t at, const char16_t* kept, size_t length,
                        char16_t* out, size_t& w) {
    const LegacyEmoji* e = EmojiOfGoogleCode(code);
    if (!e) return Bad(Fault::unknownGoogle, at, length, code, kept, length, out, w);
    if (m_automatic) {
        out[w++] = marks::kGoogle;
        out[w++] = static_cast<char16_t>(code - 0xF0000);
        return true;
    }
    if (const char16_t mine = e->CodeOf(m_format.carrier)) {
        out[w++] = mine;
        return true;
    }
    return Bad(Fault::noEquivalent, at, length, code, kept, length, out, w);
}

FormReader::Result FormReader::Page(const char16_t* in, size_t n, char16_t* out, size_t& r,
                                    size_t& w) {
    // One unit a code until SI, as Shift_JIS's decoder reads the bytes.
    const auto endRun = [&] {
        if (m_runOpen) out[w++] = marks::kEnd;
        m_runOpen = false;
    };
    while (r < n && m_page) {
        const char16_t b = in[r];
        // The opener goes out with the first item kept, unless codes stand for it already.
        const size_t opener = m_pageEmpty && !m_openerKept ? 3 : 0;
        char16_t kept[4] = {m_opener[0], m_opener[1], m_opener[2], b};
        if (b == kShiftIn) {
            endRun();
            if (m_pageEmpty &&
                !Bad(Fault::escapeEmpty, m_openerAt, 0, 0, kept + 3 - opener, opener + 1, out, w))
                return {w, r, false};
            m_page = 0;
            ++r;
        } else if (b < 0x21 || b > 0x7E) {  // read again after the page
            endRun();
            if (!Bad(Fault::escapeUnclosed, m_openerAt, 0, 0, kept, opener, out, w))
                return {w, r, false};
            m_page = 0;
        } else if (const auto unit = static_cast<char16_t>(m_page + b); IsSoftBankEmoji(unit)) {
            if (m_automatic) {
                if (!m_runOpen) out[w++] = marks::kCarrier + 3;
                m_runOpen = true;
                out[w++] = unit;
            } else if (!Emoji(Carrier::softbank, unit, m_offset + r, 1, out, w)) {
                return {w, r, false};
            }
            m_pageEmpty = false;
            ++r;
        } else {
            if (!Bad(Fault::escapeCode, m_offset + r, 1, unit, kept + 3 - opener, opener + 1, out,
                     w))
                return {w, r, false};
            m_openerKept = true;
            ++r;
        }
    }
    return {w, r, true};
}

FormReader::Result FormReader::Read(const char16_t* in, size_t n, bool final, char16_t* out) {
    if (m_format.forms == Forms(Form::references) && !m_automatic && out == in) {
        // References alone, the common case: their own scan, many units at a time.
        const references::Read read = references::ReadPrivateUse(out, n, final);
        m_offset += read.heldFrom;
        return {read.size, read.heldFrom, true};
    }
    const Kind* kinds = m_kinds.of.data();
    const auto toStop = kToStop.Choose();
    const Carrier carrier = m_format.carrier;
    const Forms forms = m_format.forms;
    size_t r = 0, w = 0;
    const auto done = [&](bool ok) {
        m_offset += r;
        return Result{w, r, ok};
    };
    while (r < n) {
        if (m_page) {
            if (!Page(in, n, out, r, w).ok) return done(false);
            continue;
        }
        const size_t from = r;
        if (m_kinds.stops) {
            while (r < n) {
                r += toStop(in + r, n - r, *m_kinds.stops);
                if (r == n || kinds[in[r]] != plain) break;
                ++r;
            }
        } else {
            while (r < n && kinds[in[r]] == plain) ++r;
        }
        if (out + w != in + from) std::memmove(out + w, in + from, (r - from) * sizeof(char16_t));
        w += r - from;
        if (r == n) break;
        const char16_t u = in[r];
        switch (kinds[u]) {
            case ampersand: {
                const Reference ref = ParseReference(in + r, n - r);
                if (ref.open && !final) return done(true);
                const uint32_t v = ref.value;
                if (ref.length && forms.has(Form::sjisReferences) && SomeLayoutReads(v)) {
                    // A Shift_JIS code of an emoji of this carrier (of some carrier, when
                    // the carrier is to be found).
                    if (m_automatic) {
                        out[w++] = marks::kShiftJis;
                        out[w++] = static_cast<char16_t>(v);
                        r += ref.length;
                        break;
                    }
                    const uint16_t unit =
                        carrier == Carrier::none
                            ? 0
                            : ShiftJisTable::For(carrier).Double(v >> 8, v & 0xFF);
                    if (unit >= 0xE000 && unit <= 0xF8FF) {
                        out[w++] = static_cast<char16_t>(unit);
                        r += ref.length;
                        break;
                    }
                }
                if (ref.length && forms.has(Form::references) && IsPrivateUse(v)) {
                    const bool isGoogle = v >= kFirstGoogleCode && v < kFirstGoogleCode + 0x1000;
                    if (isGoogle && kinds[HighSurrogateOf(v)] == google) {
                        if (!Google(v, m_offset + r, in + r, ref.length, out, w))
                            return done(false);
                        r += ref.length;
                        break;
                    }
                    w += WriteUtf16(v, out + w);
                    r += ref.length;
                    break;
                }
                out[w++] = in[r++];
                break;
            }
            case tag: {
                const Tag t = ReadTag(in + r, n - r);
                if (t.open && !final) return done(true);
                if (!t.length) {
                    out[w++] = in[r++];
                    break;
                }
                const LegacyEmoji* e = EmojiOfAuNumber(t.number);
                const bool ok = e ? Emoji(Carrier::ezweb, e->CodeOf(Carrier::ezweb), m_offset + r,
                                          t.length, out, w)
                                  : Bad(Fault::unknownNumber, m_offset + r, t.length, t.number,
                                        in + r, t.length, out, w);
                if (!ok) return done(false);
                r += t.length;
                break;
            }
            case escape: {
                if (n - r < 3 && !final && (n - r == 1 || in[r + 1] == u'$')) return done(true);
                const char16_t page = n - r >= 3 && in[r + 1] == u'$' ? PageOf(in[r + 2]) : 0;
                if (!page) {  // ESC alone, or another escape (ISO-2022-JP's): text
                    out[w++] = in[r++];
                    break;
                }
                m_page = static_cast<char16_t>(page - 0x20);
                m_pageEmpty = true;
                m_openerKept = false;
                m_runOpen = false;
                m_opener[2] = in[r + 2];
                m_openerAt = m_offset + r;
                r += 3;
                break;
            }
            case google: {
                if (r + 1 == n && !final) return done(true);
                if (r + 1 == n || !IsLowSurrogate(in[r + 1])) {
                    out[w++] = in[r++];
                    break;
                }
                if (!Google(CombineSurrogates(u, in[r + 1]), m_offset + r, in + r, 2, out, w))
                    return done(false);
                r += 2;
                break;
            }
            case cp932Unit:
            case cp932Kanji:
            case linear: {
                const uint16_t code = kinds[u] == cp932Kanji ? FbCodeOf(u) : LinearCode(u);
                if (m_automatic) {
                    if (kinds[u] != cp932Unit || SomeLayoutReads(code)) {
                        out[w++] = marks::kShiftJis;
                        out[w++] = static_cast<char16_t>(code);
                        ++r;
                        break;
                    }
                } else if (const uint16_t unit =
                               ShiftJisTable::For(carrier).Double(code >> 8, code & 0xFF)) {
                    out[w++] = static_cast<char16_t>(unit);
                    ++r;
                    break;
                }
                if (!Bad(Fault::cp932Code, m_offset + r, 1, code, in + r, 1, out, w))
                    return done(false);
                ++r;
                break;
            }
            case mark:
                out[w++] = marks::kLiteral;
                out[w++] = in[r++];
                break;
            case plain:
                break;
        }
    }
    if (final && m_page) {
        const size_t keep = m_pageEmpty && !m_openerKept ? 3 : 0;
        m_page = 0;
        if (m_runOpen) out[w++] = marks::kEnd;
        if (!Bad(Fault::escapeCut, m_openerAt, 0, 0, m_opener, keep, out, w)) return done(false);
    }
    return done(true);
}

}  // namespace glyphary::text
