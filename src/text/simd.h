// The one run-time choice of SIMD paths. Each fast path is a function beside its scalar twin,
// compiled for its instruction set with GLYPHARY_TARGET_* (never for the whole file, so the
// rest runs on any processor of the target, the 32-bit Windows one included), and a Paths
// table picks the best one the processor has:
//
//     size_t CountScalar(const char16_t* p, size_t n);
//     #if GLYPHARY_SIMD_X86
//     GLYPHARY_TARGET_SSE2 size_t CountSse2(const char16_t* p, size_t n);
//     #endif
//     constexpr simd::Paths<size_t (*)(const char16_t*, size_t)> kCount = {
//         .scalar = CountScalar,
//     #if GLYPHARY_SIMD_X86
//         .sse2 = CountSse2,
//     #endif
//     };
//     ... kCount.Choose()(p, n) ...
//
// Where a kernel runs many times inside a loop (a run of ASCII between words), the loop is the
// unit instead: written once as a template over its kernel, instantiated in one function per
// level, so that the kernel is inlined (ascii.h, shift_jis.cpp).
//
// Adding a path for a wider instruction set is one function and one line in its table. Tests
// lower the level (Limit) to run every path, the scalar one included, in one process; the
// environment variable GLYPHARY_SIMD (scalar, sse2, ssse3, avx2, avx512bw) does the same for
// a whole program.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define GLYPHARY_SIMD_X86 1
#define GLYPHARY_TARGET_SSE2 __attribute__((target("sse2")))
#define GLYPHARY_TARGET_SSSE3 __attribute__((target("ssse3")))
#define GLYPHARY_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#define GLYPHARY_TARGET_AVX512BW __attribute__((target("avx512f,avx512bw,bmi,bmi2")))
#else
#define GLYPHARY_SIMD_X86 0
#endif

namespace glyphary::text::simd {

/// Instruction sets, each including the ones before it.
enum class Level : uint8_t { scalar, sse2, ssse3, avx2, avx512bw };
inline constexpr Level kLevels[] = {Level::scalar, Level::sse2, Level::ssse3, Level::avx2,
                                    Level::avx512bw};

/// The highest level this processor and its operating system support (detected once).
Level Detected() noexcept;
/// The level fast paths use: Detected(), or lower where Limit or GLYPHARY_SIMD says so.
Level Active() noexcept;
/// Fast paths use at most `level` from now on, in this copy of the library (each shared object
/// that links it has its own); Limit(Level::avx512bw) lifts the limit. For tests.
void Limit(Level level) noexcept;
/// "scalar", "sse2", "ssse3", "avx2", "avx512bw".
const char* Name(Level level) noexcept;

/// The implementations of one fast path, by level; null where there is none.
template <class Fn>
struct Paths {
    Fn scalar;
    Fn sse2 = nullptr;
    Fn ssse3 = nullptr;
    Fn avx2 = nullptr;
    Fn avx512bw = nullptr;

    /// The best implementation at or below Active().
    Fn Choose() const noexcept {
        switch (Active()) {
            case Level::avx512bw:
                if (avx512bw) return avx512bw;
                [[fallthrough]];
            case Level::avx2:
                if (avx2) return avx2;
                [[fallthrough]];
            case Level::ssse3:
                if (ssse3) return ssse3;
                [[fallthrough]];
            case Level::sse2:
                if (sse2) return sse2;
                [[fallthrough]];
            case Level::scalar:
                break;
        }
        return scalar;
    }
};

}  // namespace glyphary::text::simd
