// glyphary mail --decode on mail built the way each carrier's handsets send it, with the
// sample configuration's emoji.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class MailDecode : public ProgramTest {
  protected:
    Outcome RunSample(std::vector<std::string> args, std::string_view input = {}) {
        args.insert(args.begin(), {"--module", GLYPHARY_MODULE_FILE});
        return RunPlain(std::move(args), input);
    }
};

// An au mail: ISO-2022-JP, emoji as mail codes, an encoded Subject with au's sun in it.
const std::string kAu =
    "From: Taro <taro@ezweb.ne.jp>\r\nTo: hanako@example.jp\r\n"
    "Subject: =?ISO-2022-JP?B?GyRCJCokTyRoJCZ1QRsoQg==?=\r\n"
    "Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
    "\x1B$B$*$O$h$&uA\x1B(B\r\nSunny \x1B$BuA\x1B(B, clouds \x1B$BuF\x1B(B.\r\n";
const std::string kAuText =
    "From: Taro <taro@ezweb.ne.jp>\nTo: hanako@example.jp\n"
    "Subject: \xE3\x81\x8A\xE3\x81\xAF\xE3\x82\x88\xE3\x81\x86:sunny:\n\n"
    "\xE3\x81\x8A\xE3\x81\xAF\xE3\x82\x88\xE3\x81\x86:sunny:\nSunny :sunny:, clouds :cloud:.\n";

TEST_F(MailDecode, AuMailReadsTheSameBeforeAndAfterConversion) {
    const Outcome raw = RunSample({"mail", "--decode"}, kAu);
    EXPECT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.out, kAuText);

    const Outcome converted = RunSample({"mail"}, kAu);
    ASSERT_EQ(converted.status, 0) << converted.err;
    const Outcome decoded = RunSample({"mail", "--decode"}, converted.out);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, kAuText);

    const Outcome unicode = RunSample({"mail", "--decode", "--to", "unicode"}, kAu);
    EXPECT_EQ(unicode.status, 0) << unicode.err;
    EXPECT_THAT(unicode.out, HasSubstr("Sunny \xE2\x98\x80\xEF\xB8\x8F, clouds "
                                       "\xE2\x98\x81\xEF\xB8\x8F."));
}

// A docomo mail: Shift_JIS in base64 beside a picture, the Subject an encoded word.
TEST_F(MailDecode, APictureIsListedAndTheTextDecoded) {
    const std::string docomo =
        "From: hanako@docomo.ne.jp\r\nSubject: =?Shift_JIS?B?kLD4nw==?=\r\n"
        "Date: Mon, 1 Jan 2024 09:00:00 +0900\r\n"
        "Content-Type: multipart/mixed; boundary=\"--b1\"\r\n\r\n"
        "----b1\r\nContent-Type: text/plain; charset=Shift_JIS\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\ngqiCzYLmgqT4nw0K\r\n"
        "----b1\r\nContent-Type: image/gif; name=\"sun.gif\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n"
        "R0lGODlhAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n----b1--\r\n";
    WriteFile(Dir() / "docomo.eml", docomo);
    const Outcome r = RunSample(
        {"mail", "--decode", (Dir() / "docomo.eml").string(), "-o", (Dir() / "out.txt").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(Dir() / "out.txt"),
              "From: hanako@docomo.ne.jp\nDate: Mon, 1 Jan 2024 09:00:00 +0900\n"
              "Subject: \xE6\x99\xB4:sunny:\n\n"
              "\xE3\x81\x8A\xE3\x81\xAF\xE3\x82\x88\xE3\x81\x86:sunny:\n\n"
              "[image/gif sun.gif, 32 bytes]\n");
}

// SoftBank: UTF-8 from an iPhone, Shift_JIS (with an old web code escape) from a handset;
// --carrier decides when the sender's domain says nothing.
TEST_F(MailDecode, TheCarrierComesFromTheSenderOrTheOption) {
    const std::string utf8 =
        "From: taro@i.softbank.jp\r\nSubject: =?UTF-8?Q?=EE=81=8A?=\r\n"
        "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: quoted-printable"
        "\r\n\r\nsun =EE=81=8A\r\n";
    const Outcome r = RunSample({"mail", "--decode"}, utf8);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "From: taro@i.softbank.jp\nSubject: :sunny:\n\nsun :sunny:\n");

    const std::string sjis =
        "From: someone@example.jp\r\nContent-Type: text/plain; charset=Shift_JIS\r\n\r\n"
        "\xF9\x8B \x1B$Gj\x0F\r\n";
    const Outcome unknown = RunSample({"mail", "--decode"}, sjis);
    EXPECT_EQ(unknown.status, 0) << unknown.err;
    EXPECT_THAT(unknown.out, Not(HasSubstr(":sunny:")));
    const Outcome told = RunSample({"mail", "--decode", "--carrier", "softbank"}, sjis);
    EXPECT_EQ(told.status, 0) << told.err;
    EXPECT_EQ(told.out, "From: someone@example.jp\n\n:sunny: :sunny:\n");
}

TEST_F(MailDecode, WhatIsNoMailFailsClearly) {
    const Outcome empty = Run({"mail", "--decode"}, "");
    EXPECT_EQ(empty.status, 1);
    EXPECT_THAT(empty.err, HasSubstr("standard input: not a mail message"));
    const Outcome inPlace = Run({"mail", "--decode", "--in-place", "a"});
    EXPECT_EQ(inPlace.status, 2);
    const Outcome carrier = Run({"mail", "--decode", "--carrier", "nokia"}, kAu);
    EXPECT_EQ(carrier.status, 2);
    EXPECT_THAT(carrier.err, HasSubstr("unknown carrier 'nokia'"));
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"mail", "--show-codes"},
                                                  {"mail", "-o", "x"},
                                                  {"mail", "--decode", "--keep-headers"},
                                                  {"mail", "--decode", "-v"}}) {
        const Outcome r = Run(wrong, kAu);
        EXPECT_EQ(r.status, 2) << wrong.back();
        EXPECT_THAT(r.err, HasSubstr("goes with")) << wrong.back();
    }
}

// Many mails, on several threads or one: the same text, in the order of the files, each under
// its name; a mail that fails is named on stderr and the others are shown.
TEST_F(MailDecode, ManyMailsAreShownInTheirOrderWhateverTheThreads) {
    const std::string mails[] = {kAu, "not a mail", kAu + "\r\nmore\r\n"};
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i) {
        files.push_back((Dir() / ("m" + std::to_string(i) + ".eml")).string());
        WriteFile(files.back(), mails[i % 3]);
    }
    std::vector<std::string> args = {"mail", "--decode", "-j", "1"};
    args.insert(args.end(), files.begin(), files.end());
    const Outcome serial = RunSample(args);
    EXPECT_EQ(serial.status, 1);
    for (int i = 0; i < 12; ++i) {
        if (i % 3 == 1) {
            EXPECT_THAT(serial.err, HasSubstr(files[i] + ": not a mail message"));
        } else {
            EXPECT_THAT(serial.out, HasSubstr("==> " + files[i] + " <==\n")) << i;
        }
    }
    EXPECT_EQ(serial.out.find("==> " + files[0] + " <==\n" + kAuText + "\n==> " + files[2]), 0u);
    args[3] = "4";
    const Outcome parallel = RunSample(args);
    EXPECT_EQ(parallel.status, serial.status);
    EXPECT_EQ(parallel.out, serial.out);
    EXPECT_EQ(parallel.err, serial.err);
}

// --show-codes shows the emoji left as private-use characters; a --carrier that makes the
// text undecodable is reported with a count, and exit status 4.
TEST_F(MailDecode, ShowCodesAndAWrongCarrierAreReported) {
    const Outcome codes = RunSample(
        {"mail", "--decode", "--carrier", "ezweb", "--to", "softbank", "--show-codes"}, kAu);
    EXPECT_EQ(codes.status, 0) << codes.err;
    EXPECT_THAT(codes.out, HasSubstr("Sunny U+E04A, clouds U+E049."));

    // au's emoji rows in ISO-2022-JP mean nothing to docomo's text: the Subject's sun and the
    // three emoji of the body.
    const Outcome wrong = RunSample({"mail", "--decode", "--carrier", "imode"}, kAu);
    EXPECT_EQ(wrong.status, 4);
    EXPECT_THAT(wrong.err, HasSubstr("standard input: 4 characters of its text did not decode "
                                     "(shown as U+FFFD); is it imode's mail (--carrier)?"));
}

}  // namespace
}  // namespace glyphary::testing
