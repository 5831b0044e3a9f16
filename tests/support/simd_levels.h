// Every fast path of the text layer, and its scalar definition, in one test binary.
#pragma once

#include <gtest/gtest.h>

#include "text/simd.h"

namespace glyphary::testing {

/// Runs `body(level)` at each SIMD level this processor has, the scalar one first, then lifts
/// the limit again.
template <class Body>
void AtEveryLevel(Body body) {
    using text::simd::Level;
    for (const Level level : text::simd::kLevels) {
        if (level > text::simd::Detected()) break;
        text::simd::Limit(level);
        SCOPED_TRACE(text::simd::Name(level));
        body(level);
    }
    text::simd::Limit(Level::avx512bw);
}

}  // namespace glyphary::testing
