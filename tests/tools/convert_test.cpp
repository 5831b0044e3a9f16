// glyphary globalize / localize, driven as a user would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;

class Convert : public ProgramTest {};

TEST_F(Convert, GlobalizeWritesTheNeutralIdOfEachCarrierEmoji) {
    const Outcome r = Run({"globalize", "--carrier", "imode"}, "a" + kImodeSun + "b" + kImodeCloud);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a:sun:b:cloud:");
    EXPECT_EQ(r.err, "");
}

TEST_F(Convert, LocalizeWritesEachCarriersOwnCode) {
    const struct {
        const char* carrier;
        std::string sun;
    } cases[] = {{"imode", kImodeSun}, {"ezweb", kEzwebSun}, {"softbank", kSoftbankSun},
                 {"1", kImodeSun},     {"2", kEzwebSun},     {"3", kSoftbankSun}};
    for (const auto& c : cases) {
        const Outcome r = Run({"localize", "-c", c.carrier}, "Good morning :sun:!\n");
        EXPECT_EQ(r.status, 0) << c.carrier << r.err;
        EXPECT_EQ(r.out, "Good morning " + c.sun + "!\n") << c.carrier;
    }
}

TEST_F(Convert, LocalizedTextGlobalizesBackForEveryCarrier) {
    const std::string neutral = ":sun: and :cloud: over the bay\n";
    for (const char* carrier : {"imode", "ezweb", "softbank"}) {
        const Outcome local = Run({"localize", "--carrier", carrier}, neutral);
        ASSERT_EQ(local.status, 0) << local.err;
        EXPECT_NE(local.out, neutral);
        const Outcome back = Run({"globalize", "--carrier", carrier}, local.out);
        EXPECT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(back.out, neutral) << carrier;
    }
}

TEST_F(Convert, ModesWithoutTablesPassTextThrough) {
    for (const char* carrier : {"none", "7", "-2147483648"}) {
        const Outcome r = Run({"globalize", "--carrier", carrier}, kImodeSun + ":sun:");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kImodeSun + ":sun:") << carrier;
    }
}

TEST_F(Convert, FilesAreConvertedInOrderAndAMissingOneDoesNotStopTheOthers) {
    WriteFile(Dir() / "one.txt", ":sun:1\n");
    WriteFile(Dir() / "two.txt", ":cloud:2\n");
    const Outcome r = Run({"localize", "-c", "imode", (Dir() / "one.txt").string(),
                           (Dir() / "missing.txt").string(), "-", (Dir() / "two.txt").string()},
                          ":sun:stdin\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kImodeSun + "1\n" + kImodeSun + "stdin\n" + kImodeCloud + "2\n");
    EXPECT_THAT(r.err, HasSubstr("missing.txt: No such file or directory"));
}

// ---------------------------------------------------------------------------------------------
// Encodings

TEST_F(Convert, Utf16lePassesLoneSurrogatesAndZeroUnitsThrough) {
    // 'a', lone high surrogate, zero unit, i-mode sun, lone low surrogate, zero, 'z'.
    const std::string in("a\0\x00\xD8\0\0\x3E\xE6\x00\xDC\0\0z\0", 14);
    const Outcome r = Run({"globalize", "-c", "imode", "--encoding", "utf-16le"}, in);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string sun(":\0s\0u\0n\0:\0", 10);
    EXPECT_EQ(r.out, std::string("a\0\x00\xD8\0\0", 6) + sun + std::string("\x00\xDC\0\0z\0", 6));
}

TEST_F(Convert, Utf16leLocalizeKeepsEverythingAroundTheNotation) {
    const std::string in(":\0s\0u\0n\0:\0\0\0:\0s\0u\0n\0:\0", 22);
    const Outcome r = Run({"localize", "-c", "softbank", "-e", "UTF-16LE"}, in);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("\x4A\xE0\0\0\x4A\xE0", 6));
}

TEST_F(Convert, Cp932CarriesHandsetEmojiFromTheUserDefinedArea) {
    // Shift_JIS "晴れ" then the i-mode sun F8 9F, as a handset posts it.
    const std::string posted = "\x90\xB0\x82\xEA\xF8\x9F";
    const Outcome g = Run({"globalize", "-c", "imode", "-e", "cp932"}, posted);
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(g.out, "\x90\xB0\x82\xEA:sun:");
    const Outcome l = Run({"localize", "-c", "imode", "-e", "cp932"}, g.out);
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out, posted);
}

TEST_F(Convert, TextTheEncodingCannotCarryFailsWithItsPosition) {
    const Outcome badUtf8 = Run({"globalize", "-c", "imode"}, "ok\xFF");
    EXPECT_EQ(badUtf8.status, 1);
    EXPECT_THAT(badUtf8.err, HasSubstr("standard input: byte 2: byte 0xFF"));
    EXPECT_EQ(badUtf8.out, "");

    const Outcome odd = Run({"globalize", "-c", "imode", "-e", "utf-16le"}, "abc");
    EXPECT_EQ(odd.status, 1);
    EXPECT_THAT(odd.err, HasSubstr("odd number of bytes"));

    const Outcome badCp932 = Run({"globalize", "-c", "imode", "-e", "cp932"}, "\x81");
    EXPECT_EQ(badCp932.status, 1);
    EXPECT_THAT(badCp932.err, HasSubstr("ends inside a CP932 character"));

    // U+1F600 has no CP932 code: nothing half-written.
    const Outcome unencodable = Run({"localize", "-c", "imode", "-e", "cp932"}, "x:smile:");
    EXPECT_EQ(unencodable.status, 1);
    EXPECT_THAT(unencodable.err, HasSubstr("U+1F600 has no CP932 code"));
    EXPECT_EQ(unencodable.out, "");
}

TEST_F(Convert, Utf8InputMustBeStrict) {
    const struct {
        std::string bytes;
        const char* where;
    } cases[] = {
        {"a\xC0\x80", "byte 1: byte 0xC0"},         // overlong NUL
        {"ab\xED\xA0\x80", "byte 2: byte 0xED"},    // an encoded surrogate
        {"\xF4\x90\x80\x80", "byte 0: byte 0xF4"},  // past U+10FFFF
        {"abc\xE3\x81", "byte 3: byte 0xE3"},       // cut short
        {"\x80", "byte 0: byte 0x80"},              // a lone continuation byte
    };
    for (const auto& c : cases) {
        const Outcome r = Run({"globalize", "-c", "imode"}, c.bytes);
        EXPECT_EQ(r.status, 1) << c.where;
        EXPECT_THAT(r.err, HasSubstr(c.where));
        EXPECT_EQ(r.out, "");
    }
    // Four-byte sequences become surrogate pairs and come back whole.
    EXPECT_EQ(Run({"globalize", "-c", "imode"}, kSmile + kImodeSun).out, kSmile + ":sun:");
}

TEST_F(Convert, ShowCodesWritesCarrierEmojiAsCodePoints) {
    const Outcome r = Run({"localize", "-c", "imode", "--show-codes"}, ":sun::cloud: :smile:");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "U+E63EU+E63F " + kSmile);  // only private-use characters
}

TEST_F(Convert, Utf8OutputCarriesSurrogatePairs) {
    const Outcome r = Run({"localize", "-c", "imode"}, ":smile:");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kSmile);
}

// ---------------------------------------------------------------------------------------------
// Properties

TEST_F(Convert, OptionsOverrideTheFourProperties) {
    EXPECT_EQ(Run({"globalize", "-c", "imode", "--globalize-format", "[%1%]"}, kImodeSun).out,
              "[sun]");
    EXPECT_EQ(
        Run({"globalize", "-c", "imode", "--globalize-undefined-format=<%1%>"}, kImodeNoId).out,
        "<" + kImodeNoId + ">");
    EXPECT_EQ(
        Run({"localize", "-c", "ezweb", "--localize-pattern", R"(\{(\w+)\})"}, "{sun}:sun:").out,
        kEzwebSun + ":sun:");
    EXPECT_EQ(
        Run({"localize", "-c", "ezweb", "--localize-undefined-format", "(%1%?)"}, ":moon:").out,
        "(moon?)");
}

TEST_F(Convert, AFailingCallShowsOperationHresultAndDescription) {
    const Outcome r =
        Run({"localize", "-c", "imode", "--localize-pattern", "(x+x+)+y"}, std::string(40, 'x'));
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("glyphary: standard input: Localize failed: 0x80004005 E_FAIL: "
                                 "LocalizePattern: "));
    EXPECT_EQ(r.out, "");
}

// Ill-formed options fail before any input is read, by the module's own rules, even when
// there is no input at all.
TEST_F(Convert, IllFormedOptionsFailBeforeAnyInputIsRead) {
    const struct {
        const char* option;
        const char* value;
    } cases[] = {
        {"--localize-pattern", "(unclosed"},        {"--localize-pattern", "a?+(?#c)b"},
        {"--localize-undefined-format", "%1% %2%"}, {"--globalize-format", "%"},
        {"--globalize-undefined-format", "%1$"},
    };
    for (const auto& c : cases) {
        const Outcome r = Run({"localize", "-c", "imode", c.option, c.value, "/nonexistent"});
        EXPECT_EQ(r.status, 2) << c.option;
        EXPECT_THAT(r.err, HasSubstr(std::string("glyphary: ") + c.option + ": ")) << c.option;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
}  // namespace glyphary::testing
