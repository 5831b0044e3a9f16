// Runs of ASCII, the bulk of most text, many characters at a time: the kernels every codec
// shares. Each stops at the first character it does not take and leaves it to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/simd.h"

namespace glyphary::text::ascii {

/// Widens ASCII bytes from p[i] to units at o while they last, stopping also at ESC when
/// `escapes`; advances i and o. May store up to 16 units at o whatever it keeps: o needs room
/// for n - i units.
using Widen = void (*)(const uint8_t* p, size_t n, bool escapes, size_t& i, char16_t*& o);
/// Narrows ASCII units from p[i] to bytes at o while they last; advances i and o. May store
/// up to 8 bytes at o whatever it keeps: o needs room for n - i bytes.
using Narrow = void (*)(const char16_t* p, size_t n, size_t& i, char*& o);

void WidenScalar(const uint8_t* p, size_t n, bool escapes, size_t& i, char16_t*& o);
void NarrowScalar(const char16_t* p, size_t n, size_t& i, char*& o);
#if GLYPHARY_SIMD_X86
GLYPHARY_TARGET_SSE2 void WidenSse2(const uint8_t* p, size_t n, bool escapes, size_t& i,
                                    char16_t*& o);
GLYPHARY_TARGET_SSE2 void NarrowSse2(const char16_t* p, size_t n, size_t& i, char*& o);
#endif

inline constexpr simd::Paths<Widen> kWiden = {
    .scalar = WidenScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = WidenSse2,
#endif
};

inline constexpr simd::Paths<Narrow> kNarrow = {
    .scalar = NarrowScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = NarrowSse2,
#endif
};

}  // namespace glyphary::text::ascii
