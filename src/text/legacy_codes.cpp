#include "text/legacy_codes.h"

#include <array>
#include <memory>

namespace glyphary::text {
namespace {

struct Row {
    uint16_t google, imode, ezweb, softbank, number;
};
constexpr Row kRows[] = {
#include "text/legacy_codes.inc"
};
constexpr size_t kCount = std::size(kRows);

// The rows as LegacyEmoji, and indexes by each key: small arrays of row numbers + 1 (0: none),
// built once.
struct Index {
    std::array<LegacyEmoji, kCount> emojis;
    std::array<uint16_t, 0x1000> byGoogle{};
    std::array<uint16_t, 0x10000> byNumber{};
    std::array<std::array<uint16_t, 0x1900>, 3> byCode{};  // U+E000..U+F8FF

    Index() {
        for (size_t i = 0; i < kCount; ++i) {
            const Row& r = kRows[i];
            LegacyEmoji& e = emojis[i];
            e.google = r.google == 0xFFFF ? 0 : kFirstGoogleCode + r.google;
            e.codes[0] = r.imode;
            e.codes[1] = r.ezweb;
            e.codes[2] = r.softbank;
            e.auNumber = r.number;
            const auto row = static_cast<uint16_t>(i + 1);
            if (e.google) byGoogle[r.google] = row;
            if (e.auNumber) byNumber[e.auNumber] = row;
            for (int c = 0; c < 3; ++c)
                if (e.codes[c] >= 0xE000 && e.codes[c] <= 0xF8FF)
                    byCode[c][e.codes[c] - 0xE000] = row;
        }
    }

    const LegacyEmoji* At(uint16_t row) const { return row ? &emojis[row - 1] : nullptr; }
};

const Index& TheIndex() {
    static const auto index = std::make_unique<const Index>();
    return *index;
}

}  // namespace

std::span<const LegacyEmoji> LegacyEmojis() {
    return TheIndex().emojis;
}

const LegacyEmoji* EmojiOfGoogleCode(char32_t code) {
    if (code < kFirstGoogleCode || code >= kFirstGoogleCode + 0x1000) return nullptr;
    const Index& index = TheIndex();
    return index.At(index.byGoogle[code - kFirstGoogleCode]);
}

const LegacyEmoji* EmojiOfAuNumber(uint32_t number) {
    if (number >= 0x10000) return nullptr;
    const Index& index = TheIndex();
    return index.At(index.byNumber[number]);
}

const LegacyEmoji* EmojiOfCode(Carrier carrier, char32_t code) {
    const int c = static_cast<int>(carrier) - 1;
    if (c < 0 || c > 2 || code < 0xE000 || code > 0xF8FF) return nullptr;
    const Index& index = TheIndex();
    return index.At(index.byCode[c][code - 0xE000]);
}

}  // namespace glyphary::text
