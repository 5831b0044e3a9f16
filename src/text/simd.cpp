#include "text/simd.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if GLYPHARY_SIMD_X86
#include <cpuid.h>
#endif

namespace glyphary::text::simd {
namespace {

#if GLYPHARY_SIMD_X86
// The register state the operating system saves on a switch (XCR0): wider registers are of
// use only if it saves them. Read with the instruction itself, which needs no compiler flag.
uint64_t SavedState() {
    uint32_t eax, edx;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return static_cast<uint64_t>(edx) << 32 | eax;
}

Level Probe() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return Level::scalar;
    if (!(d & bit_SSE2)) return Level::scalar;
    if (!(c & bit_SSSE3)) return Level::sse2;
    const bool osxsave = c & bit_OSXSAVE;
    if (!osxsave || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return Level::ssse3;
    const uint64_t state = SavedState();
    const bool ymm = (state & 0x6) == 0x6;           // SSE and AVX state
    const bool zmm = ymm && (state & 0xE0) == 0xE0;  // and the AVX-512 state
    const bool bmi = (b & bit_BMI) && (b & bit_BMI2);
    if (!ymm || !(b & bit_AVX2) || !bmi) return Level::ssse3;
    if (!zmm || !(b & bit_AVX512F) || !(b & bit_AVX512BW)) return Level::avx2;
    return Level::avx512bw;
}
#else
Level Probe() {
    return Level::scalar;
}
#endif

// GLYPHARY_SIMD caps the level for the whole process (an unknown name is ignored).
Level Initial() {
    const Level detected = Detected();
    const char* wanted = std::getenv("GLYPHARY_SIMD");
    if (!wanted) return detected;
    for (const Level level : kLevels)
        if (std::strcmp(wanted, Name(level)) == 0) return level < detected ? level : detected;
    return detected;
}

std::atomic<Level>& Current() {
    static std::atomic<Level> level{Initial()};
    return level;
}

}  // namespace

Level Detected() noexcept {
    static const Level level = Probe();
    return level;
}

Level Active() noexcept {
    return Current().load(std::memory_order_relaxed);
}

void Limit(Level level) noexcept {
    Current().store(level < Detected() ? level : Detected(), std::memory_order_relaxed);
}

const char* Name(Level level) noexcept {
    switch (level) {
        case Level::scalar:
            return "scalar";
        case Level::sse2:
            return "sse2";
        case Level::ssse3:
            return "ssse3";
        case Level::avx2:
            return "avx2";
        case Level::avx512bw:
            return "avx512bw";
    }
    return "?";
}

}  // namespace glyphary::text::simd
