#include "text/wide_units.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/simd.h"

namespace {

using namespace glyphary::text;

// Every path against the definitions: each start within a block, each length up to a few
// blocks, units with the high bit set and (narrowing) bits beyond 16 that must go, and the
// units just outside the range left as they were.
TEST(WideUnits, EveryPathAgreesWithTheDefinitionAtEveryOffsetAndLength) {
    std::vector<char16_t> narrow(80);
    std::vector<wchar_t> wide(80);
    for (size_t i = 0; i < narrow.size(); ++i) {
        narrow[i] = static_cast<char16_t>(i % 3 == 0 ? 0x8000 + i * 7 : 0x7F00 + i);
        wide[i] = static_cast<wchar_t>(narrow[i]);
        if (sizeof(wchar_t) > 2 && i % 2) wide[i] = static_cast<wchar_t>(wide[i] | 0x50000);
    }
    for (const simd::Level level : simd::kLevels) {
        simd::Limit(level);
        for (size_t start = 0; start < 16; ++start) {
            for (size_t n = 0; start + n + 1 < narrow.size(); ++n) {
                std::vector<wchar_t> widened(narrow.size() + 1, L'*'), expectedWide = widened;
                WidenUnits(narrow.data() + start, n, widened.data() + start);
                WidenUnitsScalar(narrow.data() + start, n, expectedWide.data() + start);
                ASSERT_EQ(widened, expectedWide) << simd::Name(level) << " " << start << "+" << n;
                std::vector<char16_t> narrowed(narrow.size() + 1, u'*'), expected = narrowed;
                NarrowUnits(wide.data() + start, n, narrowed.data() + start);
                NarrowUnitsScalar(wide.data() + start, n, expected.data() + start);
                ASSERT_EQ(narrowed, expected) << simd::Name(level) << " " << start << "+" << n;
                for (size_t i = 0; i < n; ++i)
                    ASSERT_EQ(narrowed[start + i], narrow[start + i]) << start << "+" << n;
            }
        }
    }
    simd::Limit(simd::Level::avx512bw);
}

}  // namespace
