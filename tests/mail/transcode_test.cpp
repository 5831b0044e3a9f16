// TranscodeEmojiLine: the runs of a line, the pairs inside them, and the block search checked
// against the step-for-step reference.
#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "mail/mail.h"
#include "support/mail_reference.h"
#include "support/simd_levels.h"

namespace glyphary {
namespace {

// Two known mail codes, A and B, and their web codes; C is not in the map.
const std::string A = "\x75\x41", B = "\x76\x22", C = "\x30\x30";
const std::string WA = "\x7B\x21", WB = "\x7C\x23";
const std::string JisIn = "\x1B$B", JisOut = "\x1B(B";

EzwebMailCodeMap SmallMap() {
    EzwebMailCodeMap map;
    map.Set(0x75, 0x41, 0x7B, 0x21);
    map.Set(0x76, 0x22, 0x7C, 0x23);
    map.Set(0x77, 0x77, 0x1B, 0x24);  // becomes an opener once replaced
    map.Set(0x75, 0x1B, 0x7B, 0x22);  // would take a closer's ESC if a pair ran into it
    map.Set(0x24, 0x42, 0x24, 0x40);  // "$B": an opener's last bytes, never a pair of its run
    return map;
}

std::string Transcoded(std::string line) {
    static const EzwebMailCodeMap map = SmallMap();
    TranscodeEmojiLine(line, map);
    return line;
}

struct Case {
    const char* name;
    std::string line;
    std::string expected;
};

TEST(TranscodeEmojiLine, RewritesKnownCodesInsideClosedRunsOnly) {
    const Case cases[] = {
        {"empty line", "", ""},
        {"no ESC", "plain " + A + " text", "plain " + A + " text"},
        {"two codes", JisIn + A + B + JisOut, JisIn + WA + WB + JisOut},
        {"unknown code between", JisIn + A + C + A + JisOut, JisIn + WA + C + WA + JisOut},
        {"two runs", "x" + JisIn + A + JisOut + "y" + JisIn + B + JisOut + "z",
         "x" + JisIn + WA + JisOut + "y" + JisIn + WB + JisOut + "z"},
        {"closed run then open run", JisIn + A + JisOut + JisIn + B,
         JisIn + WA + JisOut + JisIn + B},
        {"run never closed", JisIn + A + B, JisIn + A + B},
        {"empty run", JisIn + JisOut + A, JisIn + JisOut + A},
        {"odd run: last byte stays", JisIn + A + "\x75" + JisOut, JisIn + WA + "\x75" + JisOut},
        {"three bytes: first two looked up", JisIn + "\x75\x41\x41" + JisOut,
         JisIn + WA + "\x41" + JisOut},
        {"ASCII code outside a run", A + JisIn + JisOut + A, A + JisIn + JisOut + A},
        {"ESC $ @ and ESC ( J", "\x1B$@" + A + "\x1B(J", "\x1B$@" + WA + "\x1B(J"},
        {"four-byte designation: pairs from its fourth byte",
         "\x1B$(D" + std::string("\x76") + A + "\x22" + JisOut,
         "\x1B$(D" + std::string("\x76") + WA + "\x22" + JisOut},
        {"second opener inside a run is data", JisIn + A + "\x1B$" + B + JisOut,
         JisIn + WA + "\x1B$" + WB + JisOut},
        {"closer must start after the opener's third byte", "\x1B$\x1B(B" + A + JisOut,
         "\x1B$\x1B(B" + WA + JisOut},
        {"escape third byte is not examined", "\x1B$" + A + A + "\x1B(" + A,
         "\x1B$" + A.substr(0, 1) + "\x41\x75" + "\x41\x1B(" + A},
        {"lone ESC at the end", JisIn + A + JisOut + "\x1B", JisIn + WA + JisOut + "\x1B"},
        {"NUL bytes", std::string("\0", 1) + JisIn + A + std::string("\0\0", 2) + JisOut,
         std::string("\0", 1) + JisIn + WA + std::string("\0\0", 2) + JisOut},
        {"replaced bytes are not examined again", JisIn + "\x77\x77" + JisOut + A + JisOut,
         JisIn + "\x1B$" + JisOut + A + JisOut},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Transcoded(c.line), c.expected) << c.name;
    }
}

TEST(TranscodeEmojiLine, UsesTheSharedMapByDefault) {
    g_tables.ezwebMailCodeMap.Clear();
    g_tables.ezwebMailCodeMap.Set(0x75, 0x41, 0x11, 0x22);
    std::string line = JisIn + A + JisOut;
    TranscodeEmojiLine(line);
    EXPECT_EQ(line, JisIn + "\x11\x22" + JisOut);
    g_tables.ezwebMailCodeMap.Clear();
}

TEST(TranscodeEmojiLine, RunsCrossingSearchBlocksAreFound) {
    // Escapes at every offset around the 8- and 64-byte steps of the search.
    for (size_t pad = 0; pad < 140; ++pad) {
        const std::string line = std::string(pad, 'a') + JisIn + A + B + JisOut + A;
        const std::string expected = std::string(pad, 'a') + JisIn + WA + WB + JisOut + A;
        EXPECT_EQ(Transcoded(line), expected) << "pad " << pad;
    }
}

// The block search against the step-for-step reference at every SIMD level, on random lines
// made mostly of the bytes that matter: ESC, $, (, B, the map's code bytes and the first bytes
// just outside its range; and whether it says a byte changed.
TEST(TranscodeEmojiLine, AgreesWithTheReferenceOnRandomLinesAtEveryLevel) {
    const EzwebMailCodeMap map = SmallMap();
    std::mt19937 rng(20240611);
    const char alphabet[] = {'\x1B', '$',    '(',    'B',    '\x75', '\x41',
                             '\x76', '\x22', '\x77', '\x74', '\x78', '\0'};
    std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1), length(0, 300),
        anyByte(0, 255), mostly(0, 9);
    for (int round = 0; round < 20000; ++round) {
        std::string line(static_cast<size_t>(length(rng)), ' ');
        for (char& c : line) {
            c = mostly(rng) ? alphabet[pick(rng)] : static_cast<char>(anyByte(rng));
        }
        std::string expected = line;
        reference::TranscodeEmojiLine(expected, map);
        testing::AtEveryLevel([&](auto) {
            // Exactly the line's bytes, so that a read past them is a fault under ASan.
            const auto actual = std::make_unique<char[]>(line.size());
            std::copy(line.begin(), line.end(), actual.get());
            const bool changed = TranscodeEmojiLine(actual.get(), line.size(), map);
            ASSERT_EQ(std::string(actual.get(), line.size()), expected) << "round " << round;
            ASSERT_EQ(changed, expected != line) << "round " << round;
        });
    }
}

}  // namespace
}  // namespace glyphary
