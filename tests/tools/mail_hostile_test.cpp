// glyphary mail --decode on hostile mail, each case of a red-team pass kept: no crash, no
// hang, memory within a small multiple of the message, and whatever a limit leaves unread
// named in the output and in the exit status (3).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "tools/mail_files.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

std::string Repeat(std::string_view piece, size_t n) {
    std::string out;
    out.reserve(piece.size() * n);
    for (size_t i = 0; i < n; ++i) out += piece;
    return out;
}

// `depth` multiparts inside each other, each with a boundary of its own (or all with one),
// the innermost holding a text part of `text`.
std::string NestedMultiparts(size_t depth, bool shared, const std::string& text) {
    const auto boundary = [&](size_t i) {
        return shared ? std::string("b") : "b" + std::to_string(i);
    };
    std::string mail =
        "From: a@example.jp\r\nContent-Type: multipart/mixed; boundary=" + boundary(0) + "\r\n\r\n";
    for (size_t i = 1; i < depth; ++i)
        mail += "--" + boundary(i - 1) +
                "\r\nContent-Type: multipart/mixed; boundary=" + boundary(i) + "\r\n\r\n";
    mail += "--" + boundary(depth - 1) + "\r\nContent-Type: text/plain\r\n\r\n" + text + "\r\n";
    for (size_t i = depth; i-- > 0;) mail += "--" + boundary(i) + "--\r\n";
    return mail;
}

class MailHostile : public MailFiles {
  protected:
    struct Decoded {
        Outcome outcome;
        long peakKb = 0;
    };

    // mail --decode of `mail` under a generous address-space limit (none under sanitizers,
    // which reserve more than any limit leaves) and a generous time limit.
    Decoded Decode(const std::string& mail, std::vector<std::string> options = {}) {
        WriteFile(m_dir / "hostile.eml", mail);
        std::vector<std::string> args = {"mail", "--decode"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back((m_dir / "hostile.eml").string());
        const pid_t pid = Start(args, {}, false, "/dev/null", kSanitized ? 0 : rlim_t{512} << 20);
        Decoded run;
        int wstatus = 0;
        rusage usage{};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (wait4(pid, &wstatus, WNOHANG, &usage) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                wait4(pid, &wstatus, 0, &usage);
                ADD_FAILURE() << "still running after 60 s: killed";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        run.outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        run.outcome.out = ReadFile(m_output / "stdout");
        run.outcome.err = ReadFile(m_output / "stderr");
        run.peakKb = usage.ru_maxrss;
        return run;
    }

    TempDir m_dir;
};

// Each hostile mail of the red-team pass: decoded (or shown in part, saying so) well within
// 128 MB, and in a time far from the seconds their quadratic or unbounded handling took.
TEST_F(MailHostile, EachHostileMailIsShownWithinBoundedMemoryAndTime) {
    const std::string text(15000, 'x');
    const struct {
        const char* what;
        std::string mail;
        int status;
        const char* said;  // in the output's "[not shown: ...]" and on stderr
    } cases[] = {
        {"nested groups", "From: " + Repeat("g: ", 50000) + "\r\n\r\nbody\r\n", 3,
         "From field at byte 0"},
        {"encoded words", "From: a@b\r\nSubject: " + Repeat("=?a?B? ", 80000) + "\r\n\r\nbody\r\n",
         3, "Subject field"},
        {"2,000,000 empty parts",
         "From: a@b\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n" +
             Repeat("--b\r\n\r\n", 2000000) + "--b--\r\n",
         3, "more than 10,000 parts"},
        {"12 MB of header lines", "From: a@b\r\n" + Repeat("X-A: b\r\n", 1500000) + "\r\nbody\r\n",
         3, "more than 10,000 header lines"},
        {"nested multiparts sharing one boundary", NestedMultiparts(170000, true, "x"), 3,
         "nested deeper than 32 levels"},
        {"15 MB of nested parts", NestedMultiparts(1000, false, Repeat(text + "\r\n", 1000)), 3,
         "nested deeper than 32 levels"},
        {"messages deeper than GMime reads",
         Repeat("From: a@b\r\nContent-Type: message/rfc822\r\n\r\n", 1100) + "From: a\r\n\r\nx\r\n",
         3, "nested deeper than 32 levels"},
        {"a parameter storm",
         "From: a@b\r\nContent-Type: text/plain; " + Repeat("a=b;", 500000) + "\r\n\r\nbody\r\n", 3,
         "Content-Type field"},
        {"an address storm", "From: a@b\r\nTo: " + Repeat("a@b,", 2500000) + "\r\n\r\nbody\r\n", 3,
         "more than 4,194,304 bytes of header"},
        {"addresses below the field limit",
         "From: a@b\r\n" + Repeat("To: " + Repeat("a@b,", 16000) + "\r\n", 20) + "\r\nbody\r\n", 3,
         "beyond what the header fields of one mail may hold"},
    };
    for (const auto& c : cases) {
        const Decoded run = Decode(c.mail);
        EXPECT_EQ(run.outcome.status, c.status) << c.what << ": " << run.outcome.err;
        EXPECT_THAT(run.outcome.out, HasSubstr("[not shown: ")) << c.what;
        EXPECT_THAT(run.outcome.out, HasSubstr(c.said)) << c.what;
        EXPECT_THAT(run.outcome.err, HasSubstr(": not shown: ")) << c.what;
        if (!kSanitized) {
            EXPECT_LT(run.peakKb, 128 * 1024) << c.what;
        }
    }
}

// A group inside a group, in any address field of the mail or of an attached one, is read as
// text: shown as it stands, never handed to GMime's recursive address parser.
TEST_F(MailHostile, NestedAddressGroupsAreReadAsText) {
    for (const char* field : {"From", "To", "Cc", "Reply-To", "Sender", "Bcc"}) {
        for (const bool attached : {false, true}) {
            const std::string groups = std::string(field) + ": " + Repeat("g: ", 20000) + "\r\n";
            const std::string mail =
                attached
                    ? "From: a@b\r\nContent-Type: message/rfc822\r\n\r\n" + groups + "\r\nbody\r\n"
                    : groups + (std::string(field) == "From" ? "" : "From: a@b\r\n") +
                          "\r\nbody\r\n";
            const Decoded run = Decode(mail);
            EXPECT_EQ(run.outcome.status, 0) << field << attached << run.outcome.err;
            if (!attached && (std::string(field) == "From" || std::string(field) == "To")) {
                EXPECT_THAT(run.outcome.out, HasSubstr(std::string(field) + ": g: g: g: "));
            }
        }
    }
}

// A multipart whose boundary stands on no line (a wrong one, none, one of 200 KB): its body
// is shown as text, with a note; a bare-CR mail reads as the module reads it; U+FDD0 and
// U+FDD1 of the text stay; control characters of header values show as '?'.
TEST_F(MailHostile, WhatGMimeCannotSplitOrShowIsShownAsText) {
    const std::string body = "hello\r\n--b1\r\nContent-Type: text/plain\r\n\r\nthere\r\n";
    for (const std::string& boundary : {std::string("; boundary=zz"), std::string("")}) {
        const Decoded run =
            Decode("From: a@b\r\nContent-Type: multipart/mixed" + boundary + "\r\n\r\n" + body);
        EXPECT_EQ(run.outcome.status, 0) << run.outcome.err;
        EXPECT_THAT(run.outcome.out, HasSubstr("[multipart/mixed without parts: "));
        EXPECT_THAT(run.outcome.out, HasSubstr("hello\n--b1\nContent-Type: text/plain\n\nthere\n"));
    }
    // Found by fuzzing: asked for the boundary of a multipart without one, GMime makes one up
    // and writes the parameters anew, which took it 24 GB for these.
    const Decoded noBoundary = Decode(
        "From: a@b\r\nContent-Type: multipart/alternative;" + std::string(21, 'z') +
        "\x89\x89\x89\x89\x89\x89\x89\x89\x89\x89\x89\x89\x89\x8D\x89\x89\x89\xC9\x89\x89k.ne.j$Bu!"
        "=1B(B?=nt-ge/rfc\xFF\xFF\xFF\xFF"
        "82\r\n\r\n" +
        body);
    EXPECT_EQ(noBoundary.outcome.status, 0) << noBoundary.outcome.err;
    EXPECT_THAT(noBoundary.outcome.out, HasSubstr("it names no boundary"));
    if (!kSanitized) {
        EXPECT_LT(noBoundary.peakKb, 128 * 1024);
    }

    // A boundary of 200 KB makes a Content-Type longer than GMime is let interpret: the body is
    // then plain text, and the output says why.
    const Decoded long200k =
        Decode("From: a@b\r\nContent-Type: multipart/mixed; boundary=" + std::string(200000, 'q') +
               "\r\n\r\n" + body);
    EXPECT_EQ(long200k.outcome.status, 3) << long200k.outcome.err;
    EXPECT_THAT(long200k.outcome.out,
                HasSubstr("hello\n--b1\nContent-Type: text/plain\n\nthere\n"));
    EXPECT_THAT(long200k.outcome.out, HasSubstr("[not shown: the Content-Type field at byte 11"));

    const Decoded bareCr = Decode("From: a@b\rSubject: hi\r\rline 1\rline 2\r");
    EXPECT_EQ(bareCr.outcome.status, 0) << bareCr.outcome.err;
    EXPECT_EQ(bareCr.outcome.out, "From: a@b\nSubject: hi\n\nline 1\nline 2\n");

    const std::string nonchars = "\xEF\xB7\x90:sun:\xEF\xB7\x91 \xEF\xB7\x91";  // U+FDD0, U+FDD1
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, std::vector<std::string>{"--to", "softbank"}}) {
        const Decoded run =
            Decode("From: a@docomo.ne.jp\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
                       nonchars + " \xEE\x98\xBE\r\n",
                   options);
        EXPECT_EQ(run.outcome.status, 0) << run.outcome.err;
        EXPECT_THAT(run.outcome.out, HasSubstr(nonchars + " ")) << options.size();
        EXPECT_THAT(run.outcome.out, Not(HasSubstr("\xEF\xBF\xBD"))) << options.size();
    }

    const Decoded controls = Decode(
        "From: a@b\r\nSubject: \x1B]0;x\x07 =?utf-8?q?=00=1B[31m?= \xC2\x9B\tend\r\n\r\nx\r\n");
    EXPECT_EQ(controls.outcome.status, 0) << controls.outcome.err;
    EXPECT_THAT(controls.outcome.out, HasSubstr("Subject: ?]0;x? ??[31m ? end\n"));
}

// OUT is never one of the mails, however it is named.
TEST_F(MailHostile, TheTextNeverTakesTheMailsPlace) {
    const std::string mail = "From: a@b\r\n\r\nbody\r\n";
    WriteFile(m_dir / "same.eml", mail);
    std::filesystem::create_symlink(m_dir / "same.eml", m_dir / "link.eml");
    std::filesystem::create_hard_link(m_dir / "same.eml", m_dir / "hard.eml");
    for (const char* out : {"same.eml", "link.eml", "hard.eml"}) {
        const Outcome r =
            Run({"mail", "--decode", "-o", (m_dir / out).string(), (m_dir / "same.eml").string()});
        EXPECT_EQ(r.status, 2) << out;
        EXPECT_THAT(r.err, HasSubstr("its text would take the mail's place")) << out;
        EXPECT_EQ(ReadFile(m_dir / "same.eml"), mail) << out;
    }
}

}  // namespace
}  // namespace glyphary::testing
