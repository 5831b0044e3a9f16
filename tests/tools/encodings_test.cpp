// glyphary globalize / localize with --encoding sjis and --ncr, as a user runs them on text
// from handsets and on pages for them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;

class Encodings : public ProgramTest {
  protected:
    /// The program with the sample configuration in data/, whose maps hold every emoji.
    Outcome RunSample(std::vector<std::string> args, std::string_view input = {}) {
        args.insert(args.begin(), {"--module", GLYPHARY_MODULE_FILE});
        return RunPlain(std::move(args), input);
    }
};

// Each carrier's handsets put their emoji at their own codes: the same sun is F8 9F, F6 60
// or F9 8B depending on who sent it.
TEST_F(Encodings, ShiftJisFollowsTheCarriersLayoutBothWays) {
    const struct {
        const char* carrier;
        std::string posted;
        std::string neutral;
    } cases[] = {
        {"imode", "\x90\xB0\xF8\x9F", "\x90\xB0:sunny:"},
        {"ezweb", "\x90\xB0\xF6\x60", "\x90\xB0:sunny:"},
        {"softbank", "\x90\xB0\xF9\x8B", "\x90\xB0:sunny:"},
        {"ezweb", "\xF3\xC6", ":rainbow:"},     // KDDI's second area
        {"softbank", "\xF7\x41", ":mailbox:"},  // SoftBank's U+E101 page
        // The last page, where CP932 has IBM kanji, up to its last code.
        {"softbank", "\xFB\x41\xFB\xDE", ":disappointed_relieved::softbank_e53e:"},
    };
    for (const auto& c : cases) {
        const Outcome g = RunSample({"globalize", "-c", c.carrier, "-e", "sjis"}, c.posted);
        EXPECT_EQ(g.status, 0) << c.carrier << g.err;
        EXPECT_EQ(g.out, c.neutral) << c.carrier;
        const Outcome l = RunSample({"localize", "-c", c.carrier, "-e", "sjis"}, c.neutral);
        EXPECT_EQ(l.status, 0) << c.carrier << l.err;
        EXPECT_EQ(l.out, c.posted) << c.carrier;
    }
    // SoftBank's older pages write emoji as escapes; they read as the emoji.
    const Outcome escaped =
        RunSample({"globalize", "-c", "softbank", "-e", "sjis"}, "\x1B$Gj\x0F and \x1B$Gji\x0F");
    EXPECT_EQ(escaped.status, 0) << escaped.err;
    EXPECT_EQ(escaped.out, ":sunny: and :sunny::cloud:");
}

TEST_F(Encodings, ReferencesAreReadAndWritten) {
    const Outcome g = Run({"globalize", "-c", "imode", "--ncr"}, "&#xE63E; &#58943; &#x1F600;");
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(g.out, ":sun: :cloud: &#x1F600;");
    const Outcome l = Run({"localize", "-c", "imode", "-e", "sjis", "--ncr"}, ":sun:\n");
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out, "&#xE63E;\n");
}

// Shift_JIS has no standard emoji: the unicode table's text needs UTF-8 or references.
TEST_F(Encodings, TheUnicodeTableInShiftJisNeedsReferences) {
    for (const char* command : {"localize", "globalize"}) {
        const Outcome r = RunSample({command, "-c", "unicode", "-e", "sjis"}, ":sunny:");
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_THAT(r.err, HasSubstr("Shift_JIS cannot carry the standard emoji of the unicode "
                                     "table: use utf-8, or --ncr"));
        EXPECT_EQ(r.out, "");
    }
    const Outcome r =
        RunSample({"localize", "-c", "unicode", "-e", "sjis", "--ncr"}, "\x93\xFA:smile:");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\x93\xFA&#x1F604;");
}

TEST_F(Encodings, ShiftJisFailuresNameTheCarrierAndTheByte) {
    // The user-defined area holds the carrier's emoji only: F0 40 is nothing on SoftBank.
    const Outcome r = Run({"globalize", "-c", "softbank", "-e", "sjis"}, "ok\xF0\x40");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("standard input: byte 2: bytes 0xF0 0x40 are not valid Shift_JIS "
                                 "(softbank) (is it sjis? see --input-encoding, or --errors)"));
    EXPECT_EQ(r.out, "");
    // The i-mode sun has no SoftBank code.
    const Outcome l =
        Run({"localize", "-c", "softbank", "-e", "sjis", "--localize-undefined-format", kImodeSun},
            ":moon:");
    EXPECT_EQ(l.status, 1);
    EXPECT_THAT(l.err, HasSubstr("U+E63E has no code in Shift_JIS (softbank) (--ncr writes it "
                                 "as a character reference)"));
}

}  // namespace
}  // namespace glyphary::testing
