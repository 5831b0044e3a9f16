#include "text/utf.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "text/ascii.h"
#include "text/simd.h"
#include "text/unicode.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary::text {

namespace {

// Encodes the character at p[i] (of n units): a unit, or a surrogate pair. False, having done
// nothing, at a surrogate that is not half of a pair here (the caller's policy decides).
__attribute__((always_inline)) inline bool EncodeCharacter(const char16_t* p, size_t n, size_t& i,
                                                           char*& o) {
    const char32_t u = p[i];
    if (u < 0x80) {
        *o++ = static_cast<char>(u);
        ++i;
    } else if (u < 0x800) {
        *o++ = static_cast<char>(0xC0 | (u >> 6));
        *o++ = static_cast<char>(0x80 | (u & 0x3F));
        ++i;
    } else if (!IsSurrogate(u)) {
        *o++ = static_cast<char>(0xE0 | (u >> 12));
        *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (u & 0x3F));
        ++i;
    } else if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(p[i + 1])) {
        const char32_t c = CombineSurrogates(u, p[i + 1]);
        *o++ = static_cast<char>(0xF0 | (c >> 18));
        *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
        i += 2;
    } else {
        return false;
    }
    return true;
}

// Decodes the two- or three-byte sequence at p[i] (of n bytes), the common ones: letters,
// kana and kanji, symbols. False, having done nothing, for anything else (the caller's checks
// decide it).
__attribute__((always_inline)) inline bool DecodeCommonSequence(const uint8_t* p, size_t n,
                                                                size_t& i, char16_t*& o) {
    const uint8_t b = p[i];
    // Three bytes with no range to check beyond the continuation bytes, then two bytes.
    if (i + 2 < n && (b & 0xF0) == 0xE0 && b != 0xE0 && b != 0xED && (p[i + 1] & 0xC0) == 0x80 &&
        (p[i + 2] & 0xC0) == 0x80) {
        *o++ = static_cast<char16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) |
                                     (p[i + 2] & 0x3F));
        i += 3;
        return true;
    }
    if (i + 1 < n && b >= 0xC2 && b <= 0xDF && (p[i + 1] & 0xC0) == 0x80) {
        *o++ = static_cast<char16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F));
        i += 2;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Blocks: the bulk of text, many bytes at a time. Each function goes from p[i] as far as it
// can and leaves what it does not handle (four-byte sequences, surrogates, anything
// ill-formed, the last bytes of the input) to the careful code below, which is the
// definition of the result. Below SSSE3 they take ASCII only.

// Decodes from p[i] to o while it can.
using DecodeBlocks = void (*)(const uint8_t* p, size_t n, size_t& i, char16_t*& o);
// Encodes from p[i] to o while it can.
using EncodeBlocks = void (*)(const char16_t* p, size_t n, size_t& i, char*& o);

void DecodeAsciiScalar(const uint8_t* p, size_t n, size_t& i, char16_t*& o) {
    ascii::WidenScalar(p, n, false, i, o);
}

#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 void DecodeAsciiSse2(const uint8_t* p, size_t n, size_t& i, char16_t*& o) {
    ascii::WidenSse2(p, n, false, i, o);
}

// SSSE3: two- and three-byte characters as well, eight positions at a time.

struct alignas(16) Shuffle {
    uint8_t control[16];
};

// For each set of eight 16-bit lanes (a bit per lane), the shuffle that packs the chosen lanes
// to the front.
constexpr auto kPackLanes = [] {
    std::array<Shuffle, 256> table{};
    for (int mask = 0; mask < 256; ++mask) {
        int k = 0;
        for (int lane = 0; lane < 8; ++lane) {
            if (!(mask >> lane & 1)) continue;
            table[mask].control[2 * k] = static_cast<uint8_t>(2 * lane);
            table[mask].control[2 * k + 1] = static_cast<uint8_t>(2 * lane + 1);
            ++k;
        }
        for (int b = 2 * k; b < 16; ++b) table[mask].control[b] = 0x80;
    }
    return table;
}();

// How many lanes each set holds: a table, since SSSE3 does not imply the POPCNT instruction
// and the library call costs more than the rest of a step.
constexpr auto kLaneCounts = [] {
    std::array<uint8_t, 256> table{};
    for (int mask = 0; mask < 256; ++mask)
        for (int lane = 0; lane < 8; ++lane) table[mask] += mask >> lane & 1;
    return table;
}();

// Decodes the characters (of one to three bytes) that start in the first eight of the sixteen
// bytes at p[i], which end within the first ten; false, having done nothing, where those are
// not all such characters.
GLYPHARY_TARGET_SSSE3 __attribute__((always_inline)) inline bool DecodeStepSsse3(const uint8_t* p,
                                                                                 size_t& i,
                                                                                 char16_t*& o) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    {
        // The kind of each byte. As signed bytes, C2..DF are above C1.
        const __m128i top2 = _mm_and_si128(b, _mm_set1_epi8(static_cast<char>(0xC0)));
        const __m128i top3 = _mm_and_si128(b, _mm_set1_epi8(static_cast<char>(0xE0)));
        const __m128i top4 = _mm_and_si128(b, _mm_set1_epi8(static_cast<char>(0xF0)));
        const __m128i isCont = _mm_cmpeq_epi8(top2, _mm_set1_epi8(static_cast<char>(0x80)));
        const __m128i isLead2 =
            _mm_and_si128(_mm_cmpeq_epi8(top3, _mm_set1_epi8(static_cast<char>(0xC0))),
                          _mm_cmpgt_epi8(b, _mm_set1_epi8(static_cast<char>(0xC1))));
        const __m128i isLead3 = _mm_cmpeq_epi8(top4, _mm_set1_epi8(static_cast<char>(0xE0)));
        const unsigned ascii = ~static_cast<unsigned>(_mm_movemask_epi8(b)) & 0xFFFF;
        const unsigned cont = static_cast<unsigned>(_mm_movemask_epi8(isCont));
        const unsigned lead2 = static_cast<unsigned>(_mm_movemask_epi8(isLead2));
        const unsigned lead3 = static_cast<unsigned>(_mm_movemask_epi8(isLead3));
        // Positions 0 to 9 hold only these kinds; position 0 starts a character; positions
        // 1 to 7 continue exactly the characters begun before them, and a character begun at
        // 6 or 7 finds its continuations at 8 and 9.
        const unsigned starts = (ascii | lead2 | lead3) & 0xFF;
        const unsigned expected = (lead2 & 0xFF) << 1 | (lead3 & 0xFF) << 1 | (lead3 & 0xFF) << 2;
        if (((ascii | cont | lead2 | lead3) & 0x3FF) != 0x3FF || (cont & 1) ||
            ((expected ^ cont) & 0xFE) || (expected & ~cont & 0x300))
            return false;
        // Every lane as the character that would start there.
        const __m128i v0 = _mm_unpacklo_epi8(b, zero);
        const __m128i v1 = _mm_unpacklo_epi8(_mm_srli_si128(b, 1), zero);
        const __m128i v2 = _mm_unpacklo_epi8(_mm_srli_si128(b, 2), zero);
        const __m128i low6 = _mm_set1_epi16(0x3F);
        const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v0, _mm_set1_epi16(0x1F)), 6),
                                         _mm_and_si128(v1, low6));
        const __m128i three = _mm_or_si128(
            _mm_or_si128(_mm_slli_epi16(v0, 12), _mm_slli_epi16(_mm_and_si128(v1, low6), 6)),
            _mm_and_si128(v2, low6));
        const __m128i sel2 = _mm_unpacklo_epi8(isLead2, isLead2);
        const __m128i sel3 = _mm_unpacklo_epi8(isLead3, isLead3);
        // Three bytes must not spell an overlong form or a surrogate.
        const __m128i top5 = _mm_and_si128(three, _mm_set1_epi16(static_cast<short>(0xF800)));
        const __m128i bad = _mm_and_si128(
            sel3, _mm_or_si128(_mm_cmpeq_epi16(top5, zero),
                               _mm_cmpeq_epi16(top5, _mm_set1_epi16(static_cast<short>(0xD800)))));
        if (_mm_movemask_epi8(bad)) return false;
        const __m128i value =
            _mm_or_si128(_mm_andnot_si128(_mm_or_si128(sel2, sel3), v0),
                         _mm_or_si128(_mm_and_si128(sel2, two), _mm_and_si128(sel3, three)));
        const __m128i control =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kPackLanes[starts].control));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(value, control));
        o += kLaneCounts[starts];
        // On after the last character begun in the first eight positions.
        const int last = 31 - __builtin_clz(starts);
        i += static_cast<size_t>(last + 1 + (lead2 >> last & 1) + 2 * (lead3 >> last & 1));
    }
    return true;
}

// Decodes while sixteen bytes remain: sixteen ASCII bytes at a time, or a step.
GLYPHARY_TARGET_SSSE3 void DecodeBlocksSsse3(const uint8_t* p, size_t n, size_t& at,
                                             char16_t*& to) {
    size_t i = at;  // in locals, as in EncodeBlocksSsse3
    char16_t* o = to;
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= n) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(b) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(b, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(b, zero));
            o += 16;
            i += 16;
        } else if (!DecodeStepSsse3(p, i, o)) {
            break;
        }
    }
    at = i;
    to = o;
}

// AVX2 works on windows of 64 bytes. The kind of every byte of a window (ASCII, continuation,
// lead of two or three) is found once, as bit masks, and with it how far the window is sound:
// every byte one of those kinds, every continuation where a lead asks for one and nowhere else.
// The steps over that stretch then take their positions from the masks alone, so no step waits
// on the loads and compares of the one before it, as it would if each searched its own bytes.
struct ByteKinds {
    uint64_t ascii, cont, lead2, lead3;
};

// Where the bits of `top` in each byte of b are `bits`.
GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline __m256i TopBitsAre(__m256i b, int top,
                                                                              int bits) {
    return _mm256_cmpeq_epi8(_mm256_and_si256(b, _mm256_set1_epi8(static_cast<char>(top))),
                             _mm256_set1_epi8(static_cast<char>(bits)));
}

GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline uint64_t Bits(__m256i m) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(m));
}

// The kinds of the 32 bytes of b beyond ASCII, into bits `at` on of `k`.
GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline void AddKinds(ByteKinds& k, __m256i b,
                                                                         unsigned at) {
    k.cont |= Bits(TopBitsAre(b, 0xC0, 0x80)) << at;
    // As signed bytes, C2..DF are above C1.
    k.lead2 |=
        Bits(_mm256_and_si256(TopBitsAre(b, 0xE0, 0xC0),
                              _mm256_cmpgt_epi8(b, _mm256_set1_epi8(static_cast<char>(0xC1)))))
        << at;
    k.lead3 |= Bits(TopBitsAre(b, 0xF0, 0xE0)) << at;
}

// The characters that start in the sixteen positions at q, all of which end by q[17]: each
// lane as the character that would start there, the lanes of `starts` packed. False, having
// done nothing, where one of three bytes is overlong or a surrogate.
GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline bool DecodeStepAvx2(const uint8_t* q,
                                                                               uint32_t starts,
                                                                               char16_t*& o) {
    const __m256i v0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
    const __m256i v1 =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1)));
    const __m256i v2 =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2)));
    const __m256i low6 = _mm256_set1_epi16(0x3F);
    const __m256i two =
        _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(v0, _mm256_set1_epi16(0x1F)), 6),
                        _mm256_and_si256(v1, low6));
    const __m256i three =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(v0, 12),
                                        _mm256_slli_epi16(_mm256_and_si256(v1, low6), 6)),
                        _mm256_and_si256(v2, low6));
    // In a sound stretch every byte 110xxxxx is a lead of two, every 1110xxxx one of three.
    const __m256i sel2 =
        _mm256_cmpeq_epi16(_mm256_and_si256(v0, _mm256_set1_epi16(0xE0)), _mm256_set1_epi16(0xC0));
    const __m256i sel3 =
        _mm256_cmpeq_epi16(_mm256_and_si256(v0, _mm256_set1_epi16(0xF0)), _mm256_set1_epi16(0xE0));
    const __m256i top5 = _mm256_and_si256(three, _mm256_set1_epi16(static_cast<short>(0xF800)));
    const __m256i bad = _mm256_and_si256(
        sel3,
        _mm256_or_si256(_mm256_cmpeq_epi16(top5, _mm256_setzero_si256()),
                        _mm256_cmpeq_epi16(top5, _mm256_set1_epi16(static_cast<short>(0xD800)))));
    if (!_mm256_testz_si256(bad, bad)) return false;
    const __m256i value = _mm256_or_si256(
        _mm256_andnot_si256(_mm256_or_si256(sel2, sel3), v0),
        _mm256_or_si256(_mm256_and_si256(sel2, two), _mm256_and_si256(sel3, three)));
    const __m256i control =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(kPackLanes[starts >> 8].control),
                            reinterpret_cast<const __m128i*>(kPackLanes[starts & 0xFF].control));
    const __m256i packed = _mm256_shuffle_epi8(value, control);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
    o += std::popcount(starts & 0xFF);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_extracti128_si256(packed, 1));
    o += std::popcount(starts >> 8);
    return true;
}

GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline void WidenAvx2(const uint8_t* q,
                                                                          char16_t* o) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o),
                        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q))));
}

// Window after window while 64 bytes remain: ASCII widened as it comes, 64 or a run of at least
// sixteen at a time; else steps as far as the window is sound. A window whose start is not (a
// character of four bytes, anything ill-formed) goes to the SSSE3 step, and where that cannot
// go either, to the careful code. o has room for n - i units, and the stores stay inside it.
GLYPHARY_TARGET_AVX2 void DecodeBlocksAvx2(const uint8_t* p, size_t n, size_t& at, char16_t*& to) {
    size_t i = at;  // in locals, as in EncodeBlocksSsse3
    char16_t* o = to;
    const auto leave = [&] {
        at = i;
        to = o;
    };
    while (i + 64 <= n) {
        const uint8_t* const q = p + i;
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
        const uint64_t other = Bits(low) | Bits(high) << 32;
        const auto ascii = static_cast<size_t>(std::countr_zero(other));  // 64 if all
        if (ascii >= 16) {
            WidenAvx2(q, o);
            WidenAvx2(q + 16, o + 16);
            if (ascii >= 32) {
                WidenAvx2(q + 32, o + 32);
                WidenAvx2(q + 48, o + 48);
            }
            i += ascii;
            o += ascii;
            continue;
        }
        if (const uint64_t run = (other & 0xFFFFFFFF) >> ascii;
            run <= 0x3F && (run & (run + 1)) == 0) {
            // Up to six bytes beyond ASCII in a row, and only ASCII after them in the 32: a
            // letter or an emoji in ASCII text. The ASCII before them widened as a block, they
            // one sequence at a time, with no masks to make.
            WidenAvx2(q, o);
            const size_t end = i + ascii + static_cast<size_t>(std::popcount(run));
            i += ascii;
            o += ascii;
            while (i < end)
                if (!DecodeCommonSequence(p, n, i, o)) return leave();
            continue;
        }
        ByteKinds k{~other, 0, 0, 0};
        AddKinds(k, low, 0);
        AddKinds(k, high, 32);
        const uint64_t starts = k.ascii | k.lead2 | k.lead3;
        const uint64_t expected = (k.lead2 | k.lead3) << 1 | k.lead3 << 2;
        // Unsound: a byte of no kind, a continuation where none is asked for, or none where
        // one is. (A lead in the last two places asks beyond the window: no step reaches it.)
        const uint64_t unsound = ~(starts | k.cont) | (expected ^ k.cont);
        const size_t sound = unsound ? static_cast<size_t>(std::countr_zero(unsound)) : 64;
        // A step takes the characters starting in sixteen places, which end within eighteen.
        size_t j = 0;
        while (j + 18 <= sound) {
            // Sixteen ASCII bytes: the ASCII path above takes them, and maybe more.
            if ((k.ascii >> j & 0xFFFF) == 0xFFFF) break;
            if (!DecodeStepAvx2(q + j, static_cast<uint32_t>(starts >> j) & 0xFFFF, o)) break;
            // On to the next start: the last character begun ends at j + 16, 17 or 18.
            j += 16 + static_cast<size_t>(std::countr_zero(starts >> (j + 16) | 4));
        }
        i += j;
        if (j == 0 && !DecodeStepSsse3(p, i, o)) return leave();
    }
    leave();
    DecodeBlocksSsse3(p, n, at, to);
}

// For four units whose UTF-8 lengths less one are the two-bit fields of the index: where each
// output byte comes from in the bytes of X (lead bytes of units 0 to 7, then second bytes) and
// of Y (third bytes), and how many bytes there are. `first` is the first of the four units.
struct EncodeShuffle {
    Shuffle fromX, fromY;
    uint8_t length;
};

constexpr std::array<EncodeShuffle, 256> MakeEncodeTable(int first) {
    std::array<EncodeShuffle, 256> table{};
    for (int code = 0; code < 256; ++code) {
        int k = 0;
        for (int unit = 0; unit < 4; ++unit) {
            const int extra = code >> (2 * unit) & 3;  // 0, 1 or 2 bytes after the lead byte
            const int u = first + unit;
            const int fromX[3] = {u, 8 + u, -1};
            for (int byte = 0; byte <= extra && byte < 3 && k < 16; ++byte, ++k) {
                table[code].fromX.control[k] = static_cast<uint8_t>(byte < 2 ? fromX[byte] : 0x80);
                table[code].fromY.control[k] = static_cast<uint8_t>(byte == 2 ? u : 0x80);
            }
        }
        table[code].length = static_cast<uint8_t>(k);
        for (int b = k; b < 16; ++b)
            table[code].fromX.control[b] = table[code].fromY.control[b] = 0x80;
    }
    return table;
}
constexpr auto kEncodeLow = MakeEncodeTable(0);
constexpr auto kEncodeHigh = MakeEncodeTable(4);

// The index into kEncodeLow or kEncodeHigh of four units whose byte counts less one (0 to 2)
// are the four bytes of `lengths`, lowest first: two bits a unit, from one multiplication
// that moves each byte's count under the top byte, where no other product reaches.
constexpr unsigned QuarterCode(uint32_t lengths) {
    return (lengths * (1u << 24 | 1u << 18 | 1u << 12 | 1u << 6)) >> 24;
}
static_assert(QuarterCode(0x02010200) == (0 | 2 << 2 | 1 << 4 | 2 << 6));
static_assert(QuarterCode(0x02020202) == 0xAA);

// Encodes the eight units at p[i]; false, having done nothing, where one is a surrogate.
// Writes at most sixteen bytes.
GLYPHARY_TARGET_SSSE3 __attribute__((always_inline)) inline bool EncodeStepSsse3(const char16_t* p,
                                                                                 size_t& i,
                                                                                 char*& o) {
    const __m128i zero = _mm_setzero_si128();
    {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i over7F = _mm_xor_si128(
            _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))), zero),
            _mm_set1_epi16(-1));
        if (!_mm_movemask_epi8(over7F)) {  // eight ASCII units
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
            o += 8;
            i += 8;
            return true;
        }
        const __m128i top5 = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(top5, _mm_set1_epi16(static_cast<short>(0xD800)))))
            return false;
        const __m128i over7FF = _mm_xor_si128(_mm_cmpeq_epi16(top5, zero), _mm_set1_epi16(-1));
        const __m128i low6 = _mm_set1_epi16(0x3F);
        const __m128i mark = _mm_set1_epi16(0x80);
        // Lead bytes: the unit itself, 0xC0 | u >> 6, or 0xE0 | u >> 12.
        const __m128i lead2 = _mm_or_si128(_mm_srli_epi16(v, 6), _mm_set1_epi16(0xC0));
        const __m128i lead3 = _mm_or_si128(_mm_srli_epi16(v, 12), _mm_set1_epi16(0xE0));
        const __m128i lead =
            _mm_or_si128(_mm_andnot_si128(over7F, v),
                         _mm_and_si128(over7F, _mm_or_si128(_mm_andnot_si128(over7FF, lead2),
                                                            _mm_and_si128(over7FF, lead3))));
        // Second bytes: the low six bits for two bytes, the middle six for three.
        const __m128i lowBits = _mm_or_si128(_mm_and_si128(v, low6), mark);
        const __m128i midBits = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(v, 6), low6), mark);
        const __m128i second =
            _mm_or_si128(_mm_andnot_si128(over7FF, lowBits), _mm_and_si128(over7FF, midBits));
        const __m128i x = _mm_packus_epi16(lead, second);
        const __m128i y = _mm_packus_epi16(lowBits, lowBits);
        // Each unit's byte count less one (the masks are -1 where set), a byte a unit.
        const __m128i lengths =
            _mm_packus_epi16(_mm_sub_epi16(zero, _mm_add_epi16(over7F, over7FF)), zero);
        for (int half = 0; half < 2; ++half) {
            const unsigned code =
                QuarterCode(_mm_cvtsi128_si32(half == 0 ? lengths : _mm_srli_si128(lengths, 4)));
            const EncodeShuffle& s = (half == 0 ? kEncodeLow : kEncodeHigh)[code];
            const __m128i bytes = _mm_or_si128(
                _mm_shuffle_epi8(x,
                                 _mm_load_si128(reinterpret_cast<const __m128i*>(s.fromX.control))),
                _mm_shuffle_epi8(
                    y, _mm_load_si128(reinterpret_cast<const __m128i*>(s.fromY.control))));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
            o += s.length;
        }
        i += 8;
    }
    return true;
}

// Encodes while sixteen units remain, eight units at a time, stopping before a surrogate.
GLYPHARY_TARGET_SSSE3 void EncodeBlocksSsse3(const char16_t* p, size_t n, size_t& at, char*& to) {
    // In locals: the bytes stored through `o` may alias the caller's counters, which would
    // be stored and loaded again around every store.
    size_t i = at;
    char* o = to;
    while (i + 16 <= n)
        if (!EncodeStepSsse3(p, i, o)) break;
    at = i;
    to = o;
}

// The bytes of one quarter of each half of x and y (EncodeStepAvx2): `low`'s units in the low
// half, `high`'s in the high one.
GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline __m256i EncodeQuarters(
    __m256i x, __m256i y, const EncodeShuffle& low, const EncodeShuffle& high) {
    const __m256i fromX = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high.fromX.control),
                                              reinterpret_cast<const __m128i*>(low.fromX.control));
    const __m256i fromY = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high.fromY.control),
                                              reinterpret_cast<const __m128i*>(low.fromY.control));
    return _mm256_or_si256(_mm256_shuffle_epi8(x, fromX), _mm256_shuffle_epi8(y, fromY));
}

// The SSSE3 step over sixteen units, eight in each half of the register (the tables' four
// units a quarter, each half's quarters shuffled together); false, having done nothing, where
// one is a surrogate. Writes at most 52 bytes: three stores of up to twelve, then sixteen.
GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline bool EncodeStepAvx2(const char16_t* p,
                                                                               size_t& i,
                                                                               char*& o) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi16(-1);
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i top5 = _mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800)));
    if (_mm256_movemask_epi8(
            _mm256_cmpeq_epi16(top5, _mm256_set1_epi16(static_cast<short>(0xD800)))))
        return false;
    const __m256i over7F = _mm256_xor_si256(
        _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xFF80))),
                           zero),
        ones);
    const __m256i over7FF = _mm256_xor_si256(_mm256_cmpeq_epi16(top5, zero), ones);
    const __m256i low6 = _mm256_set1_epi16(0x3F);
    const __m256i mark = _mm256_set1_epi16(0x80);
    const __m256i lead2 = _mm256_or_si256(_mm256_srli_epi16(v, 6), _mm256_set1_epi16(0xC0));
    const __m256i lead3 = _mm256_or_si256(_mm256_srli_epi16(v, 12), _mm256_set1_epi16(0xE0));
    const __m256i lead = _mm256_blendv_epi8(v, _mm256_blendv_epi8(lead2, lead3, over7FF), over7F);
    const __m256i lowBits = _mm256_or_si256(_mm256_and_si256(v, low6), mark);
    const __m256i midBits = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(v, 6), low6), mark);
    const __m256i second = _mm256_blendv_epi8(lowBits, midBits, over7FF);
    const __m256i x = _mm256_packus_epi16(lead, second);  // per half: its leads, then seconds
    const __m256i y = _mm256_packus_epi16(lowBits, lowBits);
    // Each unit's byte count less one, a byte a unit: units 0 to 7 in bytes 0 to 7, units 8
    // to 15 in bytes 16 to 23.
    const __m256i lengths =
        _mm256_packus_epi16(_mm256_sub_epi16(zero, _mm256_add_epi16(over7F, over7FF)), zero);
    // Four at a time, in 32 bits, which the x86 build has too.
    const EncodeShuffle& q0 = kEncodeLow[QuarterCode(_mm256_extract_epi32(lengths, 0))];
    const EncodeShuffle& q1 = kEncodeHigh[QuarterCode(_mm256_extract_epi32(lengths, 1))];
    const EncodeShuffle& q2 = kEncodeLow[QuarterCode(_mm256_extract_epi32(lengths, 4))];
    const EncodeShuffle& q3 = kEncodeHigh[QuarterCode(_mm256_extract_epi32(lengths, 5))];
    const __m256i firsts = EncodeQuarters(x, y, q0, q2), seconds = EncodeQuarters(x, y, q1, q3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(firsts));
    o += q0.length;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(seconds));
    o += q1.length;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_extracti128_si256(firsts, 1));
    o += q2.length;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_extracti128_si256(seconds, 1));
    o += q3.length;
    i += 16;
    return true;
}

// A step of sixteen units while thirty-two remain (where none is a surrogate), else of eight.
GLYPHARY_TARGET_AVX2 __attribute__((always_inline)) inline bool EncodeStepMixed(const char16_t* p,
                                                                                size_t n, size_t& i,
                                                                                char*& o) {
    return (i + 32 <= n && EncodeStepAvx2(p, i, o)) || EncodeStepSsse3(p, i, o);
}

// AVX2: sixteen ASCII units at a time, else a step of sixteen mixed units while thirty-two
// remain (of eight after). Each unit before i took at most three bytes, so the stores made
// (sixteen bytes while sixteen units remain, 52 while thirty-two do) stay inside the room.
GLYPHARY_TARGET_AVX2 void EncodeBlocksAvx2(const char16_t* p, size_t n, size_t& at, char*& to) {
    size_t i = at;  // in locals, as in EncodeBlocksSsse3
    char* o = to;
    const __m256i beyondAscii = _mm256_set1_epi16(static_cast<short>(0xFF80));
    while (i + 16 <= n) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const auto other = ~static_cast<uint32_t>(_mm256_movemask_epi8(
            _mm256_cmpeq_epi16(_mm256_and_si256(v, beyondAscii), _mm256_setzero_si256())));
        if (other == 0) {
            // packus works within each half: put the halves' eight bytes side by side.
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0b1000);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
            i += 16;
            o += 16;
            continue;
        }
        const uint32_t run = other >> std::countr_zero(other);
        if (run <= 0x3F && (run & (run + 1)) == 0 && i + 32 <= n &&
            _mm256_testz_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 16)),
                               beyondAscii)) {
            // One to three units beyond ASCII in a row (two bits a unit) and only ASCII after
            // them for sixteen more: an emoji or a letter in ASCII text. The ASCII before them
            // as a block, then they one character at a time, with no table to bring in; the
            // step below is for text where such units come close together.
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0b1000);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
            const size_t ascii = static_cast<size_t>(std::countr_zero(other)) / 2;
            const size_t end = i + 16;
            i += ascii;
            o += ascii;
            do {
                if (!EncodeCharacter(p, n, i, o)) {
                    at = i;
                    to = o;
                    return;
                }
            } while (i < end && p[i] >= 0x80);
            continue;
        }
        // Japanese, or ASCII mixed with it: the step takes both as they come, and goes on
        // taking blocks while they are mixed, without the tests above, which such text fails.
        if (EncodeStepMixed(p, n, i, o)) {
            while (i + 32 <= n &&
                   !_mm256_testz_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)),
                                       beyondAscii))
                if (!EncodeStepAvx2(p, i, o)) break;
            continue;
        }
        // A surrogate among them: the units up to the first pair (an emoji, mostly) one at a
        // time, rather than back to the caller for each; only a lone one goes there.
        for (const size_t end = i + 16; i < end;) {
            const bool pair = IsSurrogate(p[i]);
            if (!EncodeCharacter(p, n, i, o)) {
                at = i;
                to = o;
                return;
            }
            if (pair) break;
        }
    }
    at = i;
    to = o;
}
#endif

constexpr simd::Paths<DecodeBlocks> kDecodeBlocks = {
    .scalar = DecodeAsciiScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = DecodeAsciiSse2,
    .ssse3 = DecodeBlocksSsse3,
    .avx2 = DecodeBlocksAvx2,
#endif
};

constexpr simd::Paths<EncodeBlocks> kEncodeBlocks = {
    .scalar = ascii::NarrowScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = ascii::NarrowSse2,
    .ssse3 = EncodeBlocksSsse3,
    .avx2 = EncodeBlocksAvx2,
#endif
};

}  // namespace

UtfResult Utf16FromUtf8(std::string_view in, char16_t* out, bool final, Issues& issues,
                        size_t offset) {
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    const size_t n = in.size();
    const DecodeBlocks blocks = kDecodeBlocks.Choose();
    char16_t* o = out;
    size_t i = 0;
    while (i < n) {
        blocks(p, n, i, o);
        if (i >= n) break;
        const uint8_t b = p[i];
        if (b < 0x80) {
            while (i < n && p[i] < 0x80) *o++ = p[i++];
            continue;
        }
        // The common sequences first (kana, kanji, the carriers' private-use emoji).
        if (DecodeCommonSequence(p, n, i, o)) continue;
        // The lead byte gives the length and the range of the second byte (no overlong forms,
        // no surrogates, nothing past U+10FFFF).
        size_t length = 0;
        uint32_t c = 0;
        uint8_t low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2, c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3, c = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4, c = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        }
        size_t k = length ? 1 : 0;  // bytes of a well-formed start seen so far
        bool truncated = false;
        for (; k < length; ++k) {
            if (i + k >= n) {
                truncated = true;
                break;
            }
            const uint8_t t = p[i + k];
            if (t < (k == 1 ? low : 0x80) || t > (k == 1 ? high : 0xBF)) break;
            c = (c << 6) | (t & 0x3F);
        }
        if (length && k == length) {
            o += WriteUtf16(c, o);
            i += length;
            continue;
        }
        if (truncated && !final) break;  // the rest comes with the next piece
        // A maximal ill-formed part: the well-formed start seen, or the one byte.
        const size_t bad = k ? k : 1;
        if (!issues.Take({offset + i, bad, Fault::utf8Sequence, b}))
            return {i, static_cast<size_t>(o - out), false};
        o += Substitute(issues.errors(), in.data() + i, bad, true, o);
        i += bad;
    }
    return {i, static_cast<size_t>(o - out), true};
}

UtfResult Utf8FromUtf16(std::u16string_view in, char* out, bool final, Issues& issues,
                        size_t offset) {
    const char16_t* p = in.data();
    const size_t n = in.size();
    // Room: each unit before i took at most three bytes (or its Utf8Room share), and the
    // blocks write sixteen bytes while sixteen units remain, so they stay inside the room.
    const EncodeBlocks blocks = kEncodeBlocks.Choose();
    char* o = out;
    size_t i = 0;
    while (i < n) {
        blocks(p, n, i, o);
        if (i >= n) break;
        const char32_t u = p[i];
        if (u < 0x80) {
            while (i < n && p[i] < 0x80) *o++ = static_cast<char>(p[i++]);
        } else if (EncodeCharacter(p, n, i, o)) {
        } else if (IsHighSurrogate(u) && i + 1 == n && !final) {
            break;  // its low half may come with the next piece
        } else {
            if (!issues.Take({offset + i, 1, Fault::loneSurrogate, u}))
                return {i, static_cast<size_t>(o - out), false};
            o += Substitute(issues.errors(), u, o);
            ++i;
        }
    }
    return {i, static_cast<size_t>(o - out), true};
}

std::optional<std::u16string> Utf16FromUtf8(std::string_view in, Errors errors) {
    std::u16string out(in.size(), u'\0');
    const UtfResult r = Utf16FromUtf8(in, out.data(), true, errors);
    if (!r.ok) return std::nullopt;
    out.resize(r.written);
    return out;
}

std::optional<std::string> Utf8FromUtf16(std::u16string_view in, Errors errors) {
    std::string out(Utf8Room(in.size(), errors), '\0');
    const UtfResult r = Utf8FromUtf16(in, out.data(), true, errors);
    if (!r.ok) return std::nullopt;
    out.resize(r.written);
    return out;
}

void AppendUtf8ForDisplay(std::u16string_view text, std::string& out) {
    // Strictly, a stretch at a time: what stops it is a lone surrogate, shown as U+FFFD.
    size_t used = out.size();
    out.resize(used + Utf8Room(text.size(), Errors::strict));
    while (true) {
        const UtfResult r = Utf8FromUtf16(text, out.data() + used, true, Errors::strict);
        used += r.written;
        if (r.ok) break;
        out.replace(used, 3, "\xEF\xBF\xBD");
        used += 3;
        text.remove_prefix(r.read + 1);
    }
    out.resize(used);
}

std::string Utf8ForDisplay(std::u16string_view text) {
    std::string out;
    AppendUtf8ForDisplay(text, out);
    return out;
}

}  // namespace glyphary::text
