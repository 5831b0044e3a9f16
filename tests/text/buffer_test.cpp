#include "text/buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace glyphary::text;

// Appends of every length, short ones (copied inline) and long ones (through memcpy), onto
// every length already held and across growths, against a std::basic_string doing the same.
template <class Char>
void AppendsAsAStringDoes() {
    std::basic_string<Char> source;
    for (size_t i = 0; i < 100; ++i) source += static_cast<Char>(0x41 + i * 7 % 61);
    for (size_t first = 0; first < 20; ++first) {
        Buffer<Char> buffer;
        std::basic_string<Char> expected;
        buffer += std::basic_string_view<Char>(source).substr(0, first);
        expected += source.substr(0, first);
        for (size_t n = 0; n <= 40; ++n) {
            const std::basic_string_view<Char> piece =
                std::basic_string_view<Char>(source).substr(n, n);
            buffer += piece;
            expected += piece;
            ASSERT_EQ(buffer.view(), expected) << "first " << first << ", then " << n;
        }
    }
}

TEST(Buffer, AppendsOfEveryLengthAsAStringDoes) {
    AppendsAsAStringDoes<char>();
    AppendsAsAStringDoes<char16_t>();
}

}  // namespace
