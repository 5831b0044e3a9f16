// glyphary detect and glyphary mail, driven as a user would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

class Detect : public ProgramTest {};

TEST_F(Detect, PrintsTheIdOfEachUserAgentArgument) {
    const Outcome r = Run({"detect", "DoCoMo/2.0 P903i", "KDDI-CA39 UP.Browser/6.2",
                           "SoftBank/1.0/910T", "Mozilla/5.0", ""});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n2\n3\n0\n0\n");
}

TEST_F(Detect, ReadsOneUserAgentPerLineOfStandardInput) {
    const Outcome r = Run({"detect"}, "J-PHONE/4.0\r\nDoCoMo/1.0/N503i\nUP.Browser/3.04-SN12");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3\n1\n2\n");
}

TEST_F(Detect, ExplainNamesTheCarrierAndTheFirstMatchingRule) {
    const Outcome r = Run(
        {"detect", "--explain", "KDDI-SA31 UP.Browser/6.2", "Opera UP.Browser/4", "Mozilla/5.0"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Both rules 1 and 2 match the first; the earlier one is the one that counts.
    EXPECT_EQ(r.out, "2\tezweb\trule 1\n2\tezweb\trule 2\n0\tnone\tno rule matched\n");
}

// Driven as a co-process: each answer must come before the next line is sent, or this waits
// (up to a bound) for an answer that never comes.
TEST_F(Detect, AnswersEachLineAtOnceWhenNoMoreInputIsWaiting) {
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const std::string program = GLYPHARY_CLI, module = ModulePath();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        execl(program.c_str(), program.c_str(), "--module", module.c_str(), "detect", nullptr);
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    const auto answer = [&](const std::string& line) {
        EXPECT_EQ(write(toChild[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
        std::string got;
        pollfd p{fromChild[0], POLLIN, 0};
        while (got.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
            char buffer[64];
            const ssize_t n = read(fromChild[0], buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    };
    EXPECT_EQ(answer("DoCoMo/2.0 P903i\n"), "1\n");
    EXPECT_EQ(answer("KDDI-CA39 UP.Browser/6.2\n"), "2\n");
    close(toChild[1]);
    int status = -1;
    waitpid(pid, &status, 0);
    close(fromChild[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A line that cannot be answered (not UTF-8, or a rule the regex engine gives up on) gets a
// "?" in its place, so answers stay aligned with lines; the reason goes to stderr with the line
// number, every other line is answered, and the exit status says some failed.
TEST_F(Detect, LinesThatCannotBeAnsweredAreMarkedAndTheRestAnswered) {
    const std::string hostile = std::string(40, 'x') + "zy";
    const Outcome r = Run({"detect"}, "DoCoMo/\xFF\nSoftBank/1.0\n" + hostile + "\nDoCoMo/2.0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "?\n3\n?\n1\n");
    EXPECT_THAT(r.err, HasSubstr("line 1: byte 7"));
    EXPECT_THAT(r.err,
                HasSubstr("line 3: GetUserAgentID failed: 0x80004005 E_FAIL: User-agent rule 5"));
}

// ---------------------------------------------------------------------------------------------

class Mail : public ProgramTest {};

// A single-part au mail with two emoji codes (mail codes 75 21 and 75 22) in its ISO-2022-JP body.
const std::string kMail =
    "From: user@ezweb.ne.jp\r\n"
    "Subject: hello\r\n"
    "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
    "\r\n"
    "Weather: \x1B$B\x75\x21\x75\x22\x1B(B today\r\n";
const std::string kConverted =
    "From: user@ezweb.ne.jp\r\n"
    "Subject: hello\r\n"
    "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
    "\r\n"
    "Weather: \x1B$B\xF6\x60\xF6\x93\x1B(B today\r\n";
// Lines ended by LF alone: the module finds no header end and gives E_FAIL.
const std::string kBroken = "From: user@ezweb.ne.jp\nSubject: x\n\nbody\n";

TEST_F(Mail, ConvertsStandardInputToStandardOutput) {
    const Outcome r = Run({"mail"}, kMail);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kConverted);
}

TEST_F(Mail, ConvertsAFileIntoAnother) {
    WriteFile(Dir() / "in.eml", kMail);
    const Outcome r = Run({"mail", (Dir() / "in.eml").string(), (Dir() / "out.eml").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(Dir() / "out.eml"), kConverted);
    EXPECT_EQ(ReadFile(Dir() / "in.eml"), kMail);
}

// The module stops at a multipart message's close delimiter; whatever follows it (an epilogue,
// parts after it) is kept byte for byte, from file to file and in place.
TEST_F(Mail, WhatFollowsTheCloseDelimiterIsKept) {
    const std::string head =
        "Content-Type: multipart/mixed; boundary=b1\r\n\r\n\r\n--b1\r\n"
        "Content-Type: text/plain; charset=iso-2022-jp\r\n\r\n"
        "\x1B$B\x75\x21\x1B(B\r\n--b1--\r\n";
    const std::string converted = std::string(head).replace(head.find("\x75\x21"), 2, "\xF6\x60");
    const std::string tails[] = {
        "This is the epilogue.\r\nIt ends without a line end",
        "--b1\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n\r\n\x1B$B\x75\x21\x1B(B\n"
        "--b1--\r\n\0binary\xFF",
    };
    for (const std::string& tail : tails) {
        WriteFile(Dir() / "in.eml", head + tail);
        const Outcome r = Run({"mail", (Dir() / "in.eml").string(), (Dir() / "out.eml").string()});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadFile(Dir() / "out.eml"), converted + tail);
        const Outcome inPlace = Run({"mail", "--in-place", (Dir() / "in.eml").string()});
        EXPECT_EQ(inPlace.status, 0) << inPlace.err;
        EXPECT_EQ(ReadFile(Dir() / "in.eml"), converted + tail);
    }
}

TEST_F(Mail, AFailedConversionWritesNothing) {
    WriteFile(Dir() / "broken.eml", kBroken);
    const fs::path out = Dir() / "never.eml";
    const Outcome r = Run({"mail", (Dir() / "broken.eml").string(), out.string()});
    EXPECT_EQ(r.status, 1);
    // The module's own description follows the code.
    EXPECT_THAT(r.err, HasSubstr("broken.eml: ConvertEzwebMail failed: 0x80004005 E_FAIL: "));
    EXPECT_GT(r.err.size(), r.err.find("E_FAIL: ") + 10);
    EXPECT_FALSE(fs::exists(out));

    const Outcome piped = Run({"mail"}, kBroken);
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, "");
}

TEST_F(Mail, InPlaceConvertsTheGoodFilesAndLeavesAFailingOneUntouched) {
    TempDir maildir;
    WriteFile(maildir / "1.eml", kMail);
    WriteFile(maildir / "2.eml", kBroken);
    WriteFile(maildir / "3.eml", kMail);
    WriteFile(maildir / "4.eml", kConverted);  // converts to itself: left alone
    chmod((maildir / "3.eml").c_str(), 0640);

    const Outcome r = Run({"mail", "--in-place", (maildir / "1.eml").string(),
                           (maildir / "2.eml").string(), (maildir / "3.eml").string(),
                           (maildir / "4.eml").string(), (maildir / "5.eml").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(maildir / "1.eml"), kConverted);
    EXPECT_EQ(ReadFile(maildir / "2.eml"), kBroken);
    EXPECT_EQ(ReadFile(maildir / "3.eml"), kConverted);
    EXPECT_EQ(ReadFile(maildir / "4.eml"), kConverted);
    EXPECT_EQ(fs::status(maildir / "3.eml").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_THAT(r.err, HasSubstr("2.eml: ConvertEzwebMail failed: 0x80004005 E_FAIL"));
    EXPECT_THAT(r.err, HasSubstr("5.eml: No such file or directory (left unchanged)"));
    EXPECT_THAT(r.err, HasSubstr("2 converted, 1 unchanged, 2 failed"));
    // No temporary file is left behind, and no progress bar went to a file.
    EXPECT_EQ(std::distance(fs::directory_iterator(maildir.path()), fs::directory_iterator()), 4);
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

TEST_F(Mail, InPlaceFollowsASymbolicLinkToItsTarget) {
    TempDir maildir;
    WriteFile(maildir / "target.eml", kMail);
    fs::create_symlink(maildir / "target.eml", maildir / "link.eml");
    const Outcome r = Run({"mail", "-i", (maildir / "link.eml").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(maildir / "link.eml"));
    EXPECT_EQ(ReadFile(maildir / "target.eml"), kConverted);
    EXPECT_THAT(r.err, HasSubstr("1 converted, 0 unchanged, 0 failed"));
}

}  // namespace
}  // namespace glyphary::testing
