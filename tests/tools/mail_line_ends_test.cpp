// glyphary mail on mail as Linux stores it: lines ended by LF alone, in a Maildir.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
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

// ---------------------------------------------------------------------------------------------
// A model of the module's reading and writing, written from its contract, plus the program's
// rule for line ends, against the program on mails of random line-end mixes.

struct ModelLine {
    std::string text;
    std::string end;  // as the input had it: "\r\n", "\r", "\n", or "" for the last line
    size_t next = 0;  // where the next line begins
};

// Lines as the module reads them (CR ends a line; an LF right after it belongs to it, any
// other byte begins the next line), and as the program adds: at an LF alone.
std::vector<ModelLine> ModelLines(const std::string& bytes) {
    std::vector<ModelLine> lines(1);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            lines.back().text += c;
            continue;
        }
        const bool pair = c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n';
        lines.back().end = pair ? "\r\n" : std::string(1, c);
        if (pair) ++i;
        lines.back().next = i + 1;
        lines.emplace_back();
    }
    lines.back().next = bytes.size();
    return lines;
}

// The module's line transcoding with this suite's map (75 21 -> F6 60, 75 22 -> F6 93).
std::string ModelTranscode(std::string line) {
    for (size_t at = 0;;) {
        const size_t open = line.find("\x1B$", at);
        if (open == std::string::npos) return line;
        const size_t close = line.find("\x1B(", open + 3);
        if (close == std::string::npos) return line;
        for (size_t c = open + 3; c + 2 <= close; c += 2) {
            if (line.compare(c, 2, "\x75\x21") == 0) line.replace(c, 2, "\xF6\x60");
            if (line.compare(c, 2, "\x75\x22") == 0) line.replace(c, 2, "\xF6\x93");
        }
        at = close + 3;
    }
}

// What the program writes for `bytes`, or nothing when the module refuses it.
std::optional<std::string> ModelProgram(const std::string& bytes) {
    static const std::regex text(R"re(Content-Type:\s*text/plain;\s*charset="?iso-2022-jp"?)re",
                                 std::regex::icase);
    static const std::regex multipart(
        R"re(Content-Type:\s*multipart/mixed;\s*boundary="?([^"]*)"?)re", std::regex::icase);
    const std::vector<ModelLine> lines = ModelLines(bytes);
    std::string out;
    size_t i = 0;
    // A line with the module's CR LF, or the LF it had alone; one the input did not end takes
    // the line before's.
    const auto write = [&](const std::string& content, bool ended) {
        out += content;
        if (!ended) return;
        std::string end = lines[i].end;
        if (end.empty()) end = i > 0 ? lines[i - 1].end : "\r\n";
        out += end == "\n" ? "\n" : "\r\n";
    };
    const auto last = [&] { return i + 1 == lines.size(); };

    bool isText = false, isMultipart = false;
    std::string boundary;
    for (; !lines[i].text.empty(); ++i) {
        if (last()) return std::nullopt;  // the input ends inside the header
        std::smatch m;
        if (std::regex_match(lines[i].text, text)) {
            isText = true;
        } else if (std::regex_match(lines[i].text, m, multipart)) {
            isMultipart = true;
            boundary = m.str(1);
        }
        write(lines[i].text, true);
    }
    write("", true);
    if (!isMultipart) {
        for (++i; i < lines.size(); ++i)
            write(isText ? ModelTranscode(lines[i].text) : lines[i].text, !last());
        return out;
    }
    const std::string delimiter = "--" + boundary, close = delimiter + "--";
    if (i + 2 >= lines.size() || !lines[i + 1].text.empty() || lines[i + 2].text != delimiter)
        return std::nullopt;
    for (int k = 0; k < 2; ++k) {
        ++i;
        write(lines[i].text, true);
    }
    for (++i; i < lines.size();) {
        bool partText = false;
        for (; !lines[i].text.empty(); ++i) {
            if (last()) return std::nullopt;
            partText = partText || std::regex_match(lines[i].text, text);
            write(lines[i].text, true);
        }
        write("", true);
        for (++i; i < lines.size(); ++i) {
            if (lines[i].text == delimiter) {
                write(lines[i].text, true);
                ++i;
                break;
            }
            if (lines[i].text == close) {  // then the rest as it stands
                write(lines[i].text, true);
                return out + bytes.substr(lines[i].next);
            }
            write(partText ? ModelTranscode(lines[i].text) : lines[i].text, !last());
        }
    }
    return out;
}

// Mails whose every line ends with one of the mixes the issue lists, in every shape the
// module converts, against the model: one run of the program over all of them.
TEST_F(MailLineEnds, RandomLineEndMixesComeBackAsTheModuleWritesThemWithTheirLfs) {
    const std::string ends[] = {"\r\n", "\n", "\r", "\r\r\n", "\n\r"};
    const std::string words[] = {
        "Weather", "\x1B$B\x75\x21\x75\x22\x1B(B", "\x1B$B\x75\x21", "\x1B(B", "--b1", "--b1--",
        "",        "x\x1B$B\x75\x22\x1B(B"};
    std::mt19937 rng(23);
    const auto pick = [&](const auto& options) {
        return options[std::uniform_int_distribution<size_t>(0, std::size(options) - 1)(rng)];
    };
    const auto end = [&] { return pick(ends); };
    const auto body = [&] {
        std::string lines;
        for (int n = std::uniform_int_distribution<int>(0, 4)(rng); n > 0; --n)
            lines += pick(words) + pick(words) + end();
        return lines;
    };

    TempDir dir;
    std::vector<std::string> args = {"mail", "--in-place"};
    std::vector<std::pair<std::string, std::string>> expected;  // file, bytes
    for (int round = 0; expected.size() < 300 && round < 3000; ++round) {
        std::string mail = "From: user@ezweb.ne.jp" + end() + "Subject: mixes" + end();
        const int shape = round % 3;
        if (shape == 0) {
            mail += "Content-Type: text/plain; charset=ISO-2022-JP" + end() + end() + body();
        } else {
            mail += "Content-Type: multipart/mixed; boundary=b1" + end() + end() + end() + "--b1" +
                    end() + "Content-Type: text/plain; charset=iso-2022-jp" + end() + end() +
                    body() + "--b1" + end() + "Content-Type: image/gif" + end() + end() + body();
            if (shape == 2) mail += "--b1--" + pick(ends) + body();
        }
        if (rng() % 2) mail += pick(words);  // a last line without a line end
        const std::optional<std::string> converted = ModelProgram(mail);
        if (!converted) continue;  // the module would refuse it
        std::string name = (dir / "m").string();
        name += std::to_string(expected.size());  // appended: GCC 12 misreads "m" + temporary
        WriteFile(name, mail);
        args.push_back(name);
        expected.emplace_back(name, *converted);
    }
    ASSERT_EQ(expected.size(), 300u);
    const Outcome r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& [name, bytes] : expected) EXPECT_EQ(ReadFile(name), bytes) << name;
}

// A file that holds no mail header is never rewritten: not by --in-place, not into OUT.
TEST_F(MailLineEnds, WhatIsNoMailIsSkippedAndNeverRewritten) {
    const std::string files[] = {
        std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0\r\n\r\nimage"),  // a stray attachment
        std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16),
        std::string("From: a\r\nX-Bad: a\0b\r\n\r\nbody\r\n", 27),  // NUL in the header
        "Dear friend,\nno header here.\n",
        "\r\nbody after an empty header\r\n",
        " continued: a line that continues nothing\n\n",
        "From nobody, with no field after\n",
        "",
    };
    TempDir dir;
    std::vector<std::string> args = {"mail", "--in-place"};
    for (size_t i = 0; i < std::size(files); ++i) {
        WriteFile(dir / std::to_string(i), files[i]);
        args.push_back((dir / std::to_string(i)).string());
    }
    const Outcome r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("0 converted, 0 unchanged, 0 failed, 8 not mail (skipped)"));
    for (size_t i = 0; i < std::size(files); ++i) {
        EXPECT_EQ(ReadFile(dir / std::to_string(i)), files[i]) << i;
        EXPECT_THAT(r.err, HasSubstr(args[2 + i] + ": not a mail message")) << i;
    }
    const Outcome one = Run({"mail", args[2], (dir / "out").string()});
    EXPECT_EQ(one.status, 1);
    EXPECT_THAT(one.err, HasSubstr(": not a mail message"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    // An mbox "From " line may open a mail.
    const Outcome mbox = Run({"mail"}, "From a@b Mon Jan  1 00:00:00 2024\nFrom: a\n\nx\n");
    EXPECT_EQ(mbox.status, 0) << mbox.err;
}

}  // namespace
}  // namespace glyphary::testing
