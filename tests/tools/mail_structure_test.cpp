// glyphary mail on au mail the module refuses or cannot see into: the program finds the
// ISO-2022-JP text through the MIME structure and rewrites the same codes, every other byte
// as it was; encoded words of the header too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// In these templates "{E}" is the mail code 75 21 where it is to be rewritten (F6 60, this
// suite's map); the same code written out stays wherever it is no ISO-2022-JP text.
std::string Before(std::string text) {
    return std::regex_replace(text, std::regex("\\{E\\}"), "\x75\x21");
}
std::string After(std::string text) {
    return std::regex_replace(text, std::regex("\\{E\\}"), "\xF6\x60");
}
std::string Lf(const std::string& text) {
    return std::regex_replace(text, std::regex("\r\n"), "\n");
}

const std::string kRun = "\x1B$B{E}\x1B(B";        // a run with the code, rewritten
const std::string kKept = "\x1B$B\x75\x21\x1B(B";  // the same in no text part: kept
const std::string kText = "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n";
const std::string kGif = "Content-Type: image/gif\r\n\r\nGIF89a" + kKept + "\r\n";

class MailStructure : public ProgramTest {};

TEST_F(MailStructure, EveryShapeOfAuMailIsConvertedAndNoOtherByteChanges) {
    const struct {
        const char* name;
        std::string mail;  // a template
        const char* how;   // as -v tells it
    } cases[] = {
        {"no-preamble",
         "From: a@ezweb.ne.jp\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n--b1\r\n" +
             kText + kRun + " sunny\r\n--b1\r\n" + kGif + "--b1--\r\n",
         "through its MIME structure"},
        {"text-preamble",
         "From: a@ezweb.ne.jp\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
         "This is a multi-part message in MIME format." +
             kKept + "\r\n--b1\r\n" + kText + kRun + "\r\n--b1--\r\nEpilogue " + kKept + "\r\n",
         "through its MIME structure"},
        {"folded",
         "From: a@ezweb.ne.jp\r\nContent-Type: text/plain;\r\n  charset=\"ISO-2022-JP\"\r\n\r\n" +
             kRun + "\r\nbye " + kRun + kRun + "\r\n",
         "through its MIME structure"},
        {"flowed",
         "From: a@ezweb.ne.jp\r\nContent-Type: text/plain; charset=iso-2022-jp; format=flowed\r\n"
         "\r\n" +
             kRun + "\r\n",
         "through its MIME structure"},
        {"nested",
         "From: a@ezweb.ne.jp\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n\r\n--b1\r\n"
         "Content-Type: multipart/alternative; boundary=b2\r\n\r\n--b2\r\n" +
             kText + kRun + "\r\n--b2\r\nContent-Type: text/html; charset=iso-2022-jp\r\n\r\n<p>" +
             kRun + "</p>\r\n--b2--\r\n--b1\r\n" + kGif + "--b1--\r\n",
         "through its MIME structure"},
        {"attached",
         "From: a@ezweb.ne.jp\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n\r\n--b1\r\n" +
             kText + kRun +
             "\r\n--b1\r\nContent-Type: message/rfc822\r\n\r\nFrom: b@ezweb.ne.jp\r\n" + kText +
             "old " + kRun + "\r\n--b1--\r\n",
         "through its MIME structure"},
        {"lf",
         Lf("From: a@ezweb.ne.jp\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n--b1\r\n" +
            kText + kRun + "\r\n--b1\r\n" + kGif + "--b1--\r\n"),
         "through its MIME structure"},
        {"subject",
         // "おはよう" and the code in ISO-2022-JP, as au handsets write the Subject (B), and a
         // name in Q; the body the module converts.
         "From: =?iso-2022-jp?q?=1B$Bu!=1B(B?= <a@ezweb.ne.jp>\r\n"
         "Subject: =?ISO-2022-JP?B?GyRCJCokTyRoJCZ1IRsoQg==?=\r\n" +
             kText + kRun + "\r\n",
         "by the module, the encoded words of its header by the program"},
        {"module", "From: a@ezweb.ne.jp\r\n" + kText + kRun + "\r\n", "by the module"},
    };
    std::vector<std::string> args = {"mail", "--in-place", "-v"};
    for (const auto& c : cases) {
        WriteFile(Dir() / c.name, Before(c.mail));
        args.push_back((Dir() / c.name).string());
    }
    const Outcome r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& c : cases) {
        std::string expected = After(c.mail);
        if (std::string(c.name) == "subject")
            expected = std::regex_replace(
                std::regex_replace(expected, std::regex("q\\?=1B\\$Bu!"), "q?=1B$B=F6=60"),
                std::regex("JCZ1IRsoQg=="), "JCb2YBsoQg==");
        EXPECT_EQ(ReadFile(Dir() / c.name), expected) << c.name;
        EXPECT_THAT(r.err, HasSubstr((Dir() / c.name).string() + ": converted " + c.how + "\n"))
            << c.name;
    }
    EXPECT_THAT(r.err, HasSubstr("9 converted (7 through their structure), 0 unchanged, 0 failed"));
}

// --keep-headers leaves every header byte; a mail the module refuses and whose structure is
// not read whole still fails as the module failed; a module's
// mail whose structure passes a limit is converted by the module alone, and says so.
TEST_F(MailStructure, TheHeaderIsKeptOnAskingAndLimitsFallBackToTheModule) {
    const std::string subject = "Subject: =?ISO-2022-JP?B?GyRCdSEbKEI=?=\r\n";
    const Outcome kept = Run({"mail", "--keep-headers"},
                             Before("From: a@ezweb.ne.jp\r\n" + subject + kText + kRun + "\r\n"));
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.out, After("From: a@ezweb.ne.jp\r\n" + subject + kText + kRun + "\r\n"));

    // Nested deeper than the structure is read, and with no preamble, which the module refuses.
    std::string deep = "From: a@ezweb.ne.jp\r\n";
    for (int level = 0; level < 40; ++level)
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(level) +
                "\r\n\r\n--b" + std::to_string(level) + "\r\n";
    const Outcome broken = Run({"mail"}, Before(deep + kText + kRun + "\r\n"));
    EXPECT_EQ(broken.status, 1);
    EXPECT_THAT(broken.err, HasSubstr("ConvertEzwebMail failed: 0x80004005 E_FAIL"));
    EXPECT_EQ(broken.out, "");

    const std::string big =
        "X-Long: " + std::string(70000, 'x') + "\r\nSubject: " + std::string(70000, 'y') + "\r\n";
    const Outcome limited = Run({"mail"}, Before(big + kText + kRun + "\r\n"));
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_EQ(limited.out, After(big + kText + kRun + "\r\n"));
    EXPECT_THAT(limited.err, HasSubstr("standard input: converted by the module alone, its "
                                       "structure not read whole: the Subject field"));
}

}  // namespace
}  // namespace glyphary::testing
