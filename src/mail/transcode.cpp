// The emoji codes inside the ISO-2022-JP runs of one mail line.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "mail/transcode.h"
#include "text/simd.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary {

namespace {

namespace simd = text::simd;

constexpr char kEsc = 0x1B;
constexpr char kOpener = 0x24;  // ESC $ opens a two-byte run (ESC $ B, ESC $ @)
constexpr char kCloser = 0x28;  // ESC ( closes it (ESC ( B, ESC ( J)
// Escape sequences are known by their first two bytes; the third is skipped unexamined.
constexpr size_t kEscapeLength = 3;

// ---------------------------------------------------------------------------------------------
// Blocks. A kernel looks at the n <= 64 places of a block at p (p[n] is still on the line, and
// so are the `before` bytes before p) and gives masks of them, bit i for p[i]: where ESC $ and
// ESC ( are, and the SIMD kernels also where a byte lies within the first bytes of the map's
// codes, [low, low + span]. Only a pair starting with such a byte can change (the map's rows
// lie above those of kanji and kana), so within a run only those pairs are looked up.

struct Masks {
    uint64_t openers = 0;
    uint64_t closers = 0;
    uint64_t candidates = 0;
};

// Bit i set when p[i] is ESC, for i < n <= 64, as words of eight bytes. ESC is sparse: the
// ESCs found are then looked at one by one.
inline uint64_t EscMaskScalar(const char* p, size_t n) {
    uint64_t mask = 0;
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
        constexpr uint64_t kEscs = 0x1B1B1B1B1B1B1B1BULL;
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            const uint64_t x = word ^ kEscs;
            // 0x80 in exactly the bytes that are zero in x (that were ESC), gathered into
            // the low eight bits by a carry-free multiply.
            const uint64_t zero = ~(((x & kLows) + kLows) | x | kLows);
            mask |= (((zero >> 7) * 0x0102040810204080ULL) >> 56) << i;
        }
    }
    for (; i < n; ++i) mask |= static_cast<uint64_t>(p[i] == kEsc) << i;
    return mask;
}

// The escapes alone (the scalar path looks every pair of a run up).
inline Masks EscapesScalar(const char* p, size_t n, size_t, uint8_t, uint8_t) {
    Masks m;
    for (uint64_t esc = EscMaskScalar(p, n); esc; esc &= esc - 1) {
        const auto i = static_cast<unsigned>(std::countr_zero(esc));
        m.openers |= static_cast<uint64_t>(p[i + 1] == kOpener) << i;
        m.closers |= static_cast<uint64_t>(p[i + 1] == kCloser) << i;
    }
    return m;
}

// All three masks, a byte at a time: the end of a block after its vectors.
inline Masks MasksTail(const char* p, size_t n, uint8_t low, uint8_t span) {
    Masks m;
    for (size_t i = 0; i < n; ++i) {
        const bool esc = p[i] == kEsc;
        m.openers |= static_cast<uint64_t>(esc && p[i + 1] == kOpener) << i;
        m.closers |= static_cast<uint64_t>(esc && p[i + 1] == kCloser) << i;
        m.candidates |= static_cast<uint64_t>(static_cast<uint8_t>(p[i] - low) <= span) << i;
    }
    return m;
}

#if GLYPHARY_SIMD_X86
// Sixteen places at q: the bytes compared with ESC and the map's range, the bytes one further
// on with $ and (. `shift` drops the masks' first bits (places already looked at).
GLYPHARY_TARGET_SSE2 inline void Masks16(Masks& m, const char* q, size_t at, unsigned shift,
                                         uint8_t low, uint8_t span) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
    const __m128i esc = _mm_cmpeq_epi8(here, _mm_set1_epi8(kEsc));
    const __m128i offset = _mm_sub_epi8(here, _mm_set1_epi8(static_cast<char>(low)));
    const __m128i spans = _mm_set1_epi8(static_cast<char>(span));
    const auto open = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(esc, _mm_cmpeq_epi8(next, _mm_set1_epi8(kOpener)))));
    const auto close = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(esc, _mm_cmpeq_epi8(next, _mm_set1_epi8(kCloser)))));
    const auto candidates = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offset, spans), offset)));
    m.openers |= static_cast<uint64_t>(open >> shift) << at;
    m.closers |= static_cast<uint64_t>(close >> shift) << at;
    m.candidates |= static_cast<uint64_t>(candidates >> shift) << at;
}

// Thirty-two places at q, the same way.
GLYPHARY_TARGET_AVX2 inline void Masks32(Masks& m, const char* q, size_t at, unsigned shift,
                                         uint8_t low, uint8_t span) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
    const __m256i esc = _mm256_cmpeq_epi8(here, _mm256_set1_epi8(kEsc));
    const __m256i offset = _mm256_sub_epi8(here, _mm256_set1_epi8(static_cast<char>(low)));
    const __m256i spans = _mm256_set1_epi8(static_cast<char>(span));
    const auto open = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(esc, _mm256_cmpeq_epi8(next, _mm256_set1_epi8(kOpener)))));
    const auto close = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(esc, _mm256_cmpeq_epi8(next, _mm256_set1_epi8(kCloser)))));
    const auto candidates = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(offset, spans), offset)));
    m.openers |= static_cast<uint64_t>(open >> shift) << at;
    m.closers |= static_cast<uint64_t>(close >> shift) << at;
    m.candidates |= static_cast<uint64_t>(candidates >> shift) << at;
}

// Vectors of `kWidth` places a step; the last one, if the block does not end on a step, is
// taken from further back (the line holds `before` bytes before p) and keeps only the places
// not yet looked at. A block too short for that, at the start of a short line, goes on with
// narrower vectors, or byte by byte.
template <size_t kWidth, void (*kVector)(Masks&, const char*, size_t, unsigned, uint8_t, uint8_t),
          Masks (*kNarrower)(const char*, size_t, size_t, uint8_t, uint8_t)>
[[gnu::always_inline]] inline Masks MasksWith(const char* p, size_t n, size_t before, uint8_t low,
                                              uint8_t span) {
    Masks m;
    size_t i = 0;
    for (; i + kWidth <= n; i += kWidth) kVector(m, p + i, i, 0, low, span);
    if (i == n) return m;
    if (before + n >= kWidth) {
        kVector(m, p + n - kWidth, i, static_cast<unsigned>(kWidth - (n - i)), low, span);
        return m;
    }
    const Masks rest = kNarrower(p + i, n - i, before + i, low, span);
    m.openers |= rest.openers << i;
    m.closers |= rest.closers << i;
    m.candidates |= rest.candidates << i;
    return m;
}

inline Masks MasksTailScalar(const char* p, size_t n, size_t, uint8_t low, uint8_t span) {
    return MasksTail(p, n, low, span);
}

GLYPHARY_TARGET_SSE2 inline Masks MasksSse2(const char* p, size_t n, size_t before, uint8_t low,
                                            uint8_t span) {
    return MasksWith<16, Masks16, MasksTailScalar>(p, n, before, low, span);
}

GLYPHARY_TARGET_AVX2 inline Masks MasksAvx2(const char* p, size_t n, size_t before, uint8_t low,
                                            uint8_t span) {
    return MasksWith<32, Masks32, MasksSse2>(p, n, before, low, span);
}
#endif

// ---------------------------------------------------------------------------------------------
// Runs

// Replaces the known codes among the pairs of [begin, end): an odd last byte stays. The
// line and the map never overlap (__restrict), so the map's table is not reloaded after
// every store; every pair is written back, known or not, which keeps the loop free of
// branches that emoji, scattered through the text, would make mispredicted.
bool TranscodeRun(char* __restrict data, size_t begin, size_t end, const EzwebMailCodeMap& map) {
    uint16_t changed = 0;
    for (size_t cursor = begin; cursor + 2 <= end; cursor += 2) {
        const auto code = static_cast<uint16_t>(static_cast<uint8_t>(data[cursor]) << 8 |
                                                static_cast<uint8_t>(data[cursor + 1]));
        const uint16_t web = map.Translate(code);
        data[cursor] = static_cast<char>(web >> 8);
        data[cursor + 1] = static_cast<char>(web);
        changed |= static_cast<uint16_t>(web ^ code);
    }
    return changed != 0;
}

// The same for pairs known to be inside runs: bit k of `pairs` for the pair at data + begin + k.
inline bool TranscodePairs(char* __restrict data, size_t begin, uint64_t pairs,
                           const EzwebMailCodeMap& map) {
    uint16_t changed = 0;
    for (; pairs; pairs &= pairs - 1) {
        char* const pair = data + begin + static_cast<unsigned>(std::countr_zero(pairs));
        const auto code = static_cast<uint16_t>(static_cast<uint8_t>(pair[0]) << 8 |
                                                static_cast<uint8_t>(pair[1]));
        const uint16_t web = map.Translate(code);
        pair[0] = static_cast<char>(web >> 8);
        pair[1] = static_cast<char>(web);
        changed |= static_cast<uint16_t>(web ^ code);
    }
    return changed != 0;
}

// ---------------------------------------------------------------------------------------------
// Lines

constexpr uint64_t kEvenPlaces = 0x5555555555555555ULL;

// Bit i of the result: the parity of bits 0 to i of x.
inline uint64_t PrefixXor(uint64_t x) {
    for (unsigned shift = 1; shift < 64; shift *= 2) x ^= x << shift;
    return x;
}

// The line is searched 64 places at a time for ESC $ and ESC (, taken in order: outside a
// run the first opener at or after the end of the last closer opens one; inside, the first
// closer at or after the end of the opener closes it. A run that no closer ends on this line
// is left as it is. Rewriting a run only touches bytes before its closer, and every escape
// that counts after it lies beyond, so the masks of a block stay true as the line is
// rewritten, as the word-for-word search would see it. A run inside one block has its pairs
// from the candidates mask (where the kernel gives one); any other goes through TranscodeRun.
// (The masks of the next block may look back into this one, but only at places they drop.)
template <Masks (*kMasks)(const char*, size_t, size_t, uint8_t, uint8_t), bool kCandidates>
[[gnu::always_inline]] inline bool TranscodeLineWith(char* data, size_t size,
                                                     const EzwebMailCodeMap& map) {
    if (size < 2 || map.empty()) return false;
    const uint8_t low = map.FirstLow(), span = static_cast<uint8_t>(map.FirstHigh() - low);
    bool changed = false;
    const size_t last = size - 1;  // an escape needs its second byte on the line
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t opener = kNone;  // the open run's ESC, or none
    size_t from = 0;        // where the next opener may start
    for (size_t base = 0; base < last; base += 64) {
        const Masks m = kMasks(data + base, std::min<size_t>(64, last - base), base, low, span);
        // The bits of `mask` for places at or after `at`.
        const auto after = [base](uint64_t mask, size_t at) -> uint64_t {
            if (at <= base) return mask;
            return at - base >= 64 ? 0 : mask >> (at - base) << (at - base);
        };
        if (kCandidates && opener == kNone) {
            // The usual block: openers and closers take turns, each far enough from the one
            // before. Its runs then come from the masks alone, without a branch for each.
            const uint64_t open = after(m.openers, from), close = m.closers;
            const uint64_t inside = PrefixXor(open | close);  // each run, opener to closer
            if ((open & ~inside) == 0 && (close & inside) == 0 &&
                (close & (open << 1 | open << 2)) == 0 && (open & (close << 1 | close << 2)) == 0) {
                uint64_t closed = inside;
                if (inside >> 63) {  // the last run goes on into the next block
                    const auto at = static_cast<unsigned>(63 - std::countl_zero(open));
                    opener = base + at;
                    closed &= (uint64_t{1} << at) - 1;
                }
                if (close)
                    from = base + static_cast<size_t>(63 - std::countl_zero(close)) + kEscapeLength;
                // Adding a run's first bit clears the run: the runs whose opener is at an even
                // place. Their pairs start at odd places (an odd distance from the opener),
                // the others' at even ones; not on the opener's second byte, nor just before a
                // closer.
                const uint64_t even = ((closed + (open & closed & kEvenPlaces)) ^ closed) & closed;
                const uint64_t starts = (even & ~kEvenPlaces) | (closed & ~even & kEvenPlaces);
                const uint64_t pairs = m.candidates & starts & ~(open << 1) & ~(close >> 1);
                if (pairs) changed |= TranscodePairs(data, base, pairs, map);
                continue;
            }
        }
        uint64_t pairs = 0;  // the candidate pairs of the runs closed in this block
        for (;;) {
            if (opener == kNone) {
                const uint64_t open = after(m.openers, from);
                if (!open) break;
                opener = base + static_cast<size_t>(std::countr_zero(open));
                continue;
            }
            const size_t begin = opener + kEscapeLength;
            const uint64_t close = after(m.closers, begin);
            if (!close) break;
            const size_t at = base + static_cast<size_t>(std::countr_zero(close));
            if (kCandidates && begin >= base) {
                // Pairs start at even distances from `begin`, from `begin` to `at` - 2.
                const size_t first = begin - base, end = at - base;
                if (end >= first + 2) {
                    const uint64_t even = first & 1 ? ~kEvenPlaces : kEvenPlaces;
                    const uint64_t within =
                        ((uint64_t{1} << (end - 1)) - 1) & (~uint64_t{0} << first);
                    pairs |= m.candidates & even & within;
                }
            } else {
                changed |= TranscodeRun(data, begin, at, map);
            }
            opener = kNone;
            from = at + kEscapeLength;
        }
        // All at once, after the block's runs are known: one loop whose length varies, instead
        // of one for each run.
        if (pairs) changed |= TranscodePairs(data, base, pairs, map);
    }
    return changed;
}

using TranscodeLine = bool (*)(char*, size_t, const EzwebMailCodeMap&);

bool TranscodeLineScalar(char* data, size_t size, const EzwebMailCodeMap& map) {
    return TranscodeLineWith<EscapesScalar, false>(data, size, map);
}

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 bool TranscodeLineSse2(char* data, size_t size, const EzwebMailCodeMap& map) {
    return TranscodeLineWith<MasksSse2, true>(data, size, map);
}

GLYPHARY_TARGET_AVX2 bool TranscodeLineAvx2(char* data, size_t size, const EzwebMailCodeMap& map) {
    return TranscodeLineWith<MasksAvx2, true>(data, size, map);
}
#endif

constexpr simd::Paths<TranscodeLine> kTranscodeLine = {
    .scalar = TranscodeLineScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = TranscodeLineSse2,
    .avx2 = TranscodeLineAvx2,
#endif
};

}  // namespace

bool TranscodeEmojiLine(char* data, size_t size, const EzwebMailCodeMap& map) noexcept {
    return kTranscodeLine.Choose()(data, size, map);
}

// ---------------------------------------------------------------------------------------------
// EzwebMailCodeMap

void EzwebMailCodeMap::Set(uint8_t mail0, uint8_t mail1, uint8_t web0, uint8_t web1) {
    if (!m_slots) {
        m_slots = std::make_unique_for_overwrite<uint32_t[]>(0x10000);
        for (uint32_t code = 0; code < 0x10000; ++code) m_slots[code] = code;  // all absent
    }
    uint32_t& slot = m_slots[(static_cast<uint32_t>(mail0) << 8) | mail1];
    if (!(slot & kPresent)) ++m_size;
    m_firstLow = std::min(m_firstLow, mail0);
    m_firstHigh = std::max(m_firstHigh, mail0);
    slot = kPresent | (static_cast<uint32_t>(web0) << 8) | web1;
}

void EzwebMailCodeMap::Clear() {
    m_slots.reset();
    m_size = 0;
    m_firstLow = 0xFF;
    m_firstHigh = 0;
}

}  // namespace glyphary
