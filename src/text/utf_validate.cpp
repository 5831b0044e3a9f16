// Whether bytes are UTF-8, without decoding them: for a page that can pass through as it is
// when it is. The vector path classifies each byte by its own nibbles and its predecessor's
// with three table lookups, so that a block of 32 is judged in a few instructions whatever it
// holds (Keiser and Lemire's method); the scalar one reads a sequence at a time and is the
// definition the other must agree with.
#include <cstdint>
#include <cstring>

#include "text/simd.h"
#include "text/utf.h"

#if GLYPHARY_SIMD_X86
#include <immintrin.h>
#endif

namespace glyphary::text {

bool IsUtf8Scalar(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p != end) {
        // Eight bytes of ASCII at a time.
        if (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080u) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        // The second byte's range depends on the lead (no overlong forms, no surrogates,
        // nothing beyond U+10FFFF); the others are any continuation.
        size_t length;
        unsigned low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
        for (size_t i = 2; i < length; ++i)
            if ((p[i] & 0xC0) != 0x80) return false;
        p += length;
    }
    return true;
}

namespace {

#if GLYPHARY_SIMD_X86
// What a pair of bytes (the one before, and this one) may be wrong by, one bit each; a pair
// is ill-formed where all three lookups share a bit.
constexpr uint8_t kTooShort = 1 << 0;   // a lead, then no continuation
constexpr uint8_t kTooLong = 1 << 1;    // ASCII, then a continuation
constexpr uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5..FF
constexpr uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;  // C0, C1
constexpr uint8_t kTooLarge1000 = 1 << 6;
constexpr uint8_t kOverlong4 = 1 << 6;  // F0 80..8F
constexpr uint8_t kTwoConts = 1 << 7;   // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

GLYPHARY_TARGET_AVX2 __m256i Table(uint8_t a0, uint8_t a1, uint8_t a2, uint8_t a3, uint8_t a4,
                                   uint8_t a5, uint8_t a6, uint8_t a7, uint8_t a8, uint8_t a9,
                                   uint8_t a10, uint8_t a11, uint8_t a12, uint8_t a13, uint8_t a14,
                                   uint8_t a15) {
    return _mm256_setr_epi8(static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2),
                            static_cast<char>(a3), static_cast<char>(a4), static_cast<char>(a5),
                            static_cast<char>(a6), static_cast<char>(a7), static_cast<char>(a8),
                            static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
                            static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14),
                            static_cast<char>(a15), static_cast<char>(a0), static_cast<char>(a1),
                            static_cast<char>(a2), static_cast<char>(a3), static_cast<char>(a4),
                            static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
                            static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10),
                            static_cast<char>(a11), static_cast<char>(a12), static_cast<char>(a13),
                            static_cast<char>(a14), static_cast<char>(a15));
}

struct Avx2Checker {
    __m256i byte1High, byte1Low, byte2High, lowNibble, incompleteMax;
    __m256i previous = _mm256_setzero_si256();
    __m256i error = _mm256_setzero_si256();
    __m256i incomplete = _mm256_setzero_si256();  // the last block ends inside a sequence

    GLYPHARY_TARGET_AVX2 Avx2Checker() {
        byte1High = Table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                          kTooLong, kTwoConts, kTwoConts, kTwoConts, kTwoConts,
                          kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
                          kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
        byte1Low = Table(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry,
                         kCarry, kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000,
                         kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                         kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                         kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                         kCarry | kTooLarge | kTooLarge1000,
                         kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                         kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000);
        constexpr uint8_t kCont8 =
            kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4;
        constexpr uint8_t kCont9 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge;
        constexpr uint8_t kContAB = kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge;
        byte2High = Table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                          kTooShort, kTooShort, kCont8, kCont9, kContAB, kContAB, kTooShort,
                          kTooShort, kTooShort, kTooShort);
        lowNibble = _mm256_set1_epi8(0x0F);
        // A block that ends with the lead of a sequence longer than what follows it in the
        // block: any byte above these at the last three places.
        incompleteMax =
            _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
                             static_cast<char>(0xDF), static_cast<char>(0xBF));
    }

    // The bytes of `block` shifted `n` places later, the last ones of `previous` before them.
    template <int n>
    GLYPHARY_TARGET_AVX2 static __m256i Before(__m256i block, __m256i previous) {
        return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(previous, block, 0x21), 16 - n);
    }

    GLYPHARY_TARGET_AVX2 void Check(__m256i block) {
        if (_mm256_movemask_epi8(block) == 0) {
            // ASCII: well-formed unless the block before ended inside a sequence.
            error = _mm256_or_si256(error, incomplete);
            previous = block;
            incomplete = _mm256_setzero_si256();
            return;
        }
        const __m256i prev1 = Before<1>(block, previous);
        const __m256i high1 = _mm256_and_si256(_mm256_srli_epi16(prev1, 4), lowNibble);
        const __m256i low1 = _mm256_and_si256(prev1, lowNibble);
        const __m256i high2 = _mm256_and_si256(_mm256_srli_epi16(block, 4), lowNibble);
        const __m256i special =
            _mm256_and_si256(_mm256_and_si256(_mm256_shuffle_epi8(byte1High, high1),
                                              _mm256_shuffle_epi8(byte1Low, low1)),
                             _mm256_shuffle_epi8(byte2High, high2));
        // The third and fourth bytes of a sequence, which must be continuations: there a
        // continuation after a continuation is expected, not an error.
        const __m256i third = _mm256_subs_epu8(Before<2>(block, previous), _mm256_set1_epi8(0x60));
        const __m256i fourth = _mm256_subs_epu8(Before<3>(block, previous), _mm256_set1_epi8(0x70));
        const __m256i must =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(-128));
        error = _mm256_or_si256(error, _mm256_xor_si256(must, special));
        incomplete = _mm256_subs_epu8(block, incompleteMax);
        previous = block;
    }
};

GLYPHARY_TARGET_AVX2 bool IsUtf8Avx2(std::string_view bytes) noexcept {
    Avx2Checker checker;
    const char* p = bytes.data();
    size_t n = bytes.size();
    for (; n >= 32; p += 32, n -= 32) {
        checker.Check(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        // Now and then, so that a long ill-formed page stops early.
        if ((n & 4095) < 32 && !_mm256_testz_si256(checker.error, checker.error)) return false;
    }
    // The rest, with ASCII after it up to a whole block: a sequence cut at the end meets it
    // (or, with nothing left, the block before is found to end inside one).
    alignas(32) char last[32] = {};
    std::memcpy(last, p, n);
    checker.Check(_mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
    return _mm256_testz_si256(checker.error, checker.error);
}
#endif

constexpr simd::Paths<bool (*)(std::string_view) noexcept> kIsUtf8 = {
    .scalar = IsUtf8Scalar,
#if GLYPHARY_SIMD_X86
    .avx2 = IsUtf8Avx2,
#endif
};

}  // namespace

bool IsUtf8(std::string_view bytes) noexcept {
    return kIsUtf8.Choose()(bytes);
}

}  // namespace glyphary::text
