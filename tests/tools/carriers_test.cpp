// glyphary convert and glyphary list, driven as a user would: a few cases each (every code of
// the sample configuration goes through them in sample_emoji_test.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class Carriers : public ProgramTest {
  protected:
    /// The program on the sample configuration in data/.
    Outcome RunSample(std::vector<std::string> args, std::string_view input = {}) {
        args.insert(args.begin(), {"--module", GLYPHARY_MODULE_FILE});
        return RunPlain(std::move(args), input);
    }
};

const std::string kOpen = "\xEF\xB7\x90", kClose = "\xEF\xB7\x91";  // U+FDD0, U+FDD1

TEST_F(Carriers, ConvertShowsOneCarriersEmojiOnAnotherAndLeavesTheRest) {
    // Notation and the intermediate notation's marks in the input stay as they are; the
    // i-mode code without an id gets GlobalizeUndefinedFormat, empty here.
    const std::string rest = ":sun: " + kOpen + "sun" + kClose + " ";
    const struct {
        const char* from;
        const char* to;
        std::string in, out;
    } cases[] = {
        {"imode", "softbank", kImodeSun + rest + kImodeCloud + kImodeNoId + "\n",
         kSoftbankSun + rest + "\xEE\x81\x89\n"},
        {"imode", "ezweb", kImodeSun + rest, kEzwebSun + rest},
        {"softbank", "imode", kSoftbankSun + rest + kImodeSun, kImodeSun + rest + kImodeSun},
        {"ezweb", "ezweb", kEzwebSun + rest + kSoftbankSun, kEzwebSun + rest + kSoftbankSun},
        {"3", "2", kSoftbankSun, kEzwebSun},
    };
    for (const auto& c : cases) {
        const Outcome r = Run({"convert", "--from", c.from, "--to", c.to}, c.in);
        EXPECT_EQ(r.status, 0) << c.from << " " << c.to << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.from << " " << c.to;
    }
    // UTF-16LE: zero units and U+FDD0 pass through, the text around them is converted.
    const std::string in("\x3E\xE6\0\0\xD0\xFD\x3E\xE6", 8), out("\x4A\xE0\0\0\xD0\xFD\x4A\xE0", 8);
    const Outcome r = Run({"convert", "-f", "imode", "-t", "softbank", "-e", "utf-16le"}, in);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out);
}

// Shift_JIS follows the --from carrier on input and the --to carrier on output; the
// standard emoji need character references in it; --show-codes writes carrier emoji as codes.
TEST_F(Carriers, ConvertReadsAndWritesEachSidesFormat) {
    const std::string imodeSun = "\xF8\x9F";  // in Shift_JIS
    const Outcome sjis = Run({"convert", "-f", "imode", "-t", "softbank", "-e", "sjis"}, imodeSun);
    EXPECT_EQ(sjis.status, 0) << sjis.err;
    EXPECT_EQ(sjis.out, "\xF9\x8B");  // SoftBank's sun
    const Outcome shown = Run({"convert", "-f", "imode", "-t", "ezweb", "--show-codes"}, kImodeSun);
    EXPECT_EQ(shown.out, "U+E488");
    const Outcome refused =
        RunSample({"convert", "-f", "imode", "-t", "unicode", "-e", "sjis", "/nonexistent"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_THAT(refused.err, HasSubstr("use utf-8, or --ncr"));
    const Outcome references =
        RunSample({"convert", "-f", "imode", "-t", "unicode", "-e", "sjis", "--ncr"}, imodeSun);
    EXPECT_EQ(references.status, 0) << references.err;
    EXPECT_EQ(references.out, "&#x2600;&#xFE0F;");  // the sample's sunny as standard emoji
}

TEST_F(Carriers, ConvertNamesWhatIsMissing) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"convert", "--to", "imode"}, 2, "convert from which table to which?"},
        {{"convert", "--from", "imode"}, 2, "convert from which table to which?"},
        {{"convert", "-f", "none", "-t", "imode"}, 2, "--from none: use auto, imode, ezweb"},
        {{"convert", "-f", "imode", "-t", "7"}, 2, "--to 7: use notation, imode, ezweb"},
        {{"convert", "-f", "imode", "-t", "unicode", "--record", "whole"},
         2,
         "--record goes with --from auto"},
        {{"convert", "-f", "auto", "-t", "unicode", "--record", "page"}, 2, "--record page: use"},
        {{"convert", "-f", "auto", "-t", "unicode", "--prefer", "au,kddi"}, 2, "--prefer: 'kddi'"},
        {{"convert", "-f", "auto", "-t", "notation", "--forms", "html"}, 2, "unknown form 'html'"},
        {{"convert", "-f", "imode", "-t", "docomo", "-e", "latin1"}, 2, "unknown encoding"},
        // This configuration has no table of standard emoji as written.
        {{"convert", "-f", "unicode", "-t", "imode"}, 1, "names no map for mode 5"},
    };
    for (const auto& c : cases) {
        const Outcome r = Run(c.args, ":sun:");
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Carriers, ListFindsEmojiByIdAliasAndNameInAnyLetterCase) {
    const struct {
        const char* pattern;
        const char* carrier;
        const char* found;  // a row that starts so
    } cases[] = {
        {"^SUNNY$", nullptr, "sunny "},            // the id
        {"thumbsup", nullptr, "+1 "},              // an alias
        {"heavy black heart", nullptr, "heart "},  // the English name
        {"晴れ", nullptr, "sunny "},               // the Japanese name
        {"^i_mode$", "imode", "i_mode "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"list", c.pattern};
        if (c.carrier) args.insert(args.end(), {"--carrier", c.carrier});
        const Outcome r = RunSample(args);
        EXPECT_EQ(r.status, 0) << c.pattern << ": " << r.err;
        EXPECT_THAT(r.out, StartsWith("id ")) << c.pattern;
        EXPECT_THAT(r.out, HasSubstr(std::string("\n").append(c.found))) << c.pattern;
    }
    // The i-mode mark is none of the others' emoji: status 1, nothing matched. A pattern that
    // does not compile, or that Boost gives up matching (too many steps), is a usage error.
    EXPECT_EQ(RunSample({"list", "--carrier", "ezweb", "^i_mode$"}).status, 1);
    for (const char* bad : {"(sun", "(\\w+\\s?)*$X"}) {
        const Outcome r = RunSample({"list", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_THAT(r.err, HasSubstr("glyphary: PATTERN: ")) << bad;
        EXPECT_EQ(r.out, "") << bad;
    }
}

}  // namespace
}  // namespace glyphary::testing
