// glyphary mail on mail as Linux stores it: lines ended by LF alone, in a Maildir.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

// `text` with every CR LF turned into LF.
std::string Lf(const std::string& text) {
    return std::regex_replace(text, std::regex("\r\n"), "\n");
}

// An au mail, single part and multipart, with mail codes 75 21 and 75 22 (web F6 60, F6 93).
const std::string kSingle =
    "From: user@ezweb.ne.jp\r\nSubject: hello\r\n"
    "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n"
    "Weather: \x1B$B\x75\x21\x75\x22\x1B(B today\r\nbye\r\n";
const std::string kMultipart =
    "From: user@ezweb.ne.jp\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n\r\n--b1\r\n"
    "Content-Type: text/plain; charset=iso-2022-jp\r\n\r\n\x1B$B\x75\x21\x1B(B\r\n--b1\r\n"
    "Content-Type: image/gif\r\n\r\nGIF89a\x75\x21\r\n--b1--\r\nAn epilogue\r\n";

std::string Converted(std::string text) {
    for (size_t at; (at = text.find("\x1B$B\x75\x21")) != std::string::npos;)
        text.replace(at + 3, 2, "\xF6\x60");
    for (size_t at; (at = text.find("\xF6\x60\x75\x22")) != std::string::npos;)
        text.replace(at + 2, 2, "\xF6\x93");
    return text;
}

class MailLineEnds : public ProgramTest {};

// Every line comes back with the line end it had; CR LF mail is converted as before.
TEST_F(MailLineEnds, LinesKeepTheirOwnLineEnds) {
    const struct {
        const char* what;
        std::string in;
        std::string out;
    } cases[] = {
        {"CR LF", kSingle, Converted(kSingle)},
        {"LF", Lf(kSingle), Lf(Converted(kSingle))},
        {"LF multipart", Lf(kMultipart), Lf(Converted(kMultipart))},
        {"mixed",
         "From: a\nSubject: b\r\nContent-Type: text/plain; charset=iso-2022-jp\n\n"
         "\x1B$B\x75\x21\x1B(B\r\nlast",
         "From: a\nSubject: b\r\nContent-Type: text/plain; charset=iso-2022-jp\n\n"
         "\x1B$B\xF6\x60\x1B(B\r\nlast"},
        // A header that ends the input: the module adds its empty line, in the file's style.
        {"LF header only", "From: a\nSubject: b\n", "From: a\nSubject: b\n\n"},
        {"CR LF header only", "From: a\r\nSubject: b\r\n", "From: a\r\nSubject: b\r\n\r\n"},
    };
    for (const auto& c : cases) {
        const Outcome r = Run({"mail"}, c.in);
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.what;
    }
    // A message that fails in CR LF fails in LF too.
    const Outcome broken = Run({"mail"}, "From: a\nSubject: never finished");
    EXPECT_EQ(broken.status, 1);
    EXPECT_THAT(broken.err, HasSubstr("ConvertEzwebMail failed: 0x80004005 E_FAIL"));
}

// A Maildir as a mail client leaves it: files with LF line ends in new/ and cur/.
TEST_F(MailLineEnds, InPlaceConvertsAMaildir) {
    TempDir home;
    const fs::path maildir = home / "Maildir";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir / sub);
    const std::string plain = "From: friend@example.jp\nSubject: no emoji\n\nHello\n";
    const std::map<fs::path, std::pair<std::string, std::string>> files = {
        {maildir / "new" / "1700000000.1.host", {Lf(kSingle), Lf(Converted(kSingle))}},
        {maildir / "new" / "1700000001.2.host", {Lf(kMultipart), Lf(Converted(kMultipart))}},
        {maildir / "cur" / "1600000000.3.host:2,S", {plain, plain}},
    };
    std::vector<std::string> args = {"mail", "--in-place"};
    for (const auto& [path, contents] : files) {
        WriteFile(path, contents.first);
        args.push_back(path.string());
    }
    const Outcome r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("2 converted, 1 unchanged, 0 failed"));
    for (const auto& [path, contents] : files) EXPECT_EQ(ReadFile(path), contents.second) << path;
    EXPECT_TRUE(fs::is_empty(maildir / "tmp"));
}

}  // namespace
}  // namespace glyphary::testing
