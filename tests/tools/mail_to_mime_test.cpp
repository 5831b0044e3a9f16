// glyphary mail --to-mime on generated handset mail: each output read by Python's email package
// and by GMime (through mail --decode) must show what --decode shows of the original.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class MailToMime : public ProgramTest {
  protected:
    Outcome RunSample(std::vector<std::string> args) {
        args.insert(args.begin(), {"--module", GLYPHARY_MODULE_FILE});
        return RunPlain(std::move(args));
    }
};

// A random mail as handsets and mail gateways send it, and the bytes of its attachments.
struct Generated {
    std::string bytes;
    std::vector<std::string> attachments;
};

class MailMaker {
  public:
    explicit MailMaker(unsigned seed) : m_random(seed) {}

    Generated Make() {
        m_out = {};
        m_eol = Pick(2) ? "\r\n" : "\n";
        m_carrier = Pick(3);  // au, docomo, a computer
        static const char* const kFrom[] = {"taro@ezweb.ne.jp", "hanako@docomo.ne.jp",
                                            "jiro@example.com"};
        // As Python's email package writes them back, so that its view can be compared.
        Line("From: " + (Pick(2) ? std::string(kFrom[m_carrier])
                                 : "=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <" +
                                       std::string(kFrom[m_carrier]) + ">"));
        Line("To: friend@example.jp");
        Line("Date: Mon, 01 Jan 2024 09:00:00 +0900");
        static const char* const kSubject[] = {
            "=?ISO-2022-JP?B?GyRCJCokTyRoJCZ1QRsoQg==?=", "=?Shift_JIS?B?kLD4nw==?=",
            "=?UTF-8?B?44GK44Gv44KI44GG4piA?="};
        Line("Subject: " + std::string(kSubject[m_carrier]) + (Pick(2) ? " news" : ""));
        Line("MIME-Version: 1.0");
        if (Pick(3) == 0) {
            Text();
        } else {
            Multipart("mixed", 0);
        }
        return std::move(m_out);
    }

  private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }
    void Line(const std::string& line) { m_out.bytes += line + m_eol; }

    void Multipart(const std::string& subtype, int depth) {
        const std::string boundary = "b" + std::to_string(depth) + "-" + std::to_string(Pick(1000));
        Line("Content-Type: multipart/" + subtype + "; boundary=\"" + boundary + "\"");
        Line("");
        if (Pick(2)) Line("This is a multi-part message in MIME format.");
        for (size_t i = 0, n = 1 + Pick(3); i < n; ++i) {
            Line("--" + boundary);
            if (depth == 0 && Pick(4) == 0) {
                Multipart("alternative", depth + 1);
            } else if (Pick(3) == 0) {
                Attachment();
            } else {
                Text();
            }
        }
        Line("--" + boundary + "--");
    }

    // A text part in the sender's charset, with emoji.
    void Text() {
        static const char* const kCharset[] = {"ISO-2022-JP", "Shift_JIS", "UTF-8"};
        Line("Content-Type: text/plain; charset=\"" + std::string(kCharset[m_carrier]) + "\"" +
             (Pick(2) ? "; format=flowed" : ""));
        std::string text;
        for (size_t i = 0, n = 1 + Pick(4); i < n; ++i) {
            static const char* const kAu[] = {"\x1B$B$*$O$h$&uA\x1B(B", "Sunny \x1B$BuAuF\x1B(B.",
                                              "plain words", "From the top"};
            static const char* const kDocomo[] = {"\x82\xA8\x82\xCD\xF8\x9F", "Rain \xF8\xA1!",
                                                  "plain words", "From the top"};
            static const char* const kUtf8[] = {"\xE3\x81\x8A\xE3\x81\xAF \xE2\x98\x80",
                                                "caf\xC3\xA9", "plain words", "From the top"};
            const char* const* lines = m_carrier == 0 ? kAu : m_carrier == 1 ? kDocomo : kUtf8;
            text += std::string(lines[Pick(4)]) + m_eol;
        }
        if (m_carrier == 0) {
            Line("Content-Transfer-Encoding: 7bit");
            Line("");
            m_out.bytes += text;
        } else {
            Line("Content-Transfer-Encoding: base64");
            Line("");
            Line(Base64(text));
        }
    }

    void Attachment() {
        std::string data(1 + Pick(300), '\0');
        for (char& c : data) c = static_cast<char>(Pick(256));
        const std::string name = "file" + std::to_string(m_out.attachments.size()) + ".bin";
        Line("Content-Type: application/octet-stream; name=\"" + name + "\"");
        Line("Content-Disposition: attachment; filename=\"" + name + "\"");
        Line("Content-Transfer-Encoding: base64");
        Line("");
        const std::string encoded = Base64(data);
        for (size_t at = 0; at < encoded.size(); at += 76) Line(encoded.substr(at, 76));
        m_out.attachments.push_back(std::move(data));
    }

    static std::string Base64(const std::string& data) {
        static const char kDigits[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        for (size_t i = 0; i < data.size(); i += 3) {
            const size_t n = std::min<size_t>(3, data.size() - i);
            uint32_t v = 0;
            for (size_t k = 0; k < 3; ++k)
                v = v << 8 | (k < n ? static_cast<uint8_t>(data[i + k]) : 0);
            for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
        }
        return out;
    }

    std::mt19937 m_random;
    Generated m_out;
    std::string m_eol;
    size_t m_carrier = 0;
};

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Generated mails in a Maildir tree, re-encoded with -r into another: Python and GMime read
// every text part, in order, as --decode reads the original, and every attachment byte for byte.
TEST_F(MailToMime, EveryOutputReadsAsTheOriginalDecodes) {
    TempDir dir;
    const fs::path maildir = dir / "Maildir", out = dir / "utf8";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir / sub);
    MailMaker maker(20240101);
    std::vector<std::string> inputs, outputs;
    std::map<std::string, std::string> attached;  // by input, in the order given
    for (int i = 0; i < 40; ++i) {
        const Generated mail = maker.Make();
        const std::string name = std::string(i % 2 ? "cur/" : "new/") + "17000000" +
                                 std::to_string(10 + i) + ".M1P1.host:2,S";
        WriteFile(maildir / name, mail.bytes);
        inputs.push_back((maildir / name).string());
        outputs.push_back((out / name).string());
        for (const std::string& a : mail.attachments) attached[inputs.back()] += Hex(a) + "\n";
    }
    WriteFile(maildir / "tmp" / "being-delivered", "From: x@example.com\n\nnot yet\n");
    std::sort(inputs.begin(), inputs.end());
    std::sort(outputs.begin(), outputs.end());
    std::string attachments;
    for (const std::string& input : inputs) attachments += attached[input];

    const Outcome converted = RunSample(
        {"mail", "--to-mime", "-j", "2", "-r", "--output-dir", out.string(), maildir.string()});
    ASSERT_EQ(converted.status, 0) << converted.err;
    EXPECT_THAT(converted.err, HasSubstr("40 re-encoded, 0 failed"));
    EXPECT_FALSE(fs::exists(out / "tmp"));

    std::vector<std::string> decode = {"mail", "--decode", "--to", "unicode"};
    decode.insert(decode.end(), inputs.begin(), inputs.end());
    const Outcome original = RunSample(decode);
    ASSERT_EQ(original.status, 0) << original.err;
    const std::string expected = Replaced(original.out, maildir.string(), out.string());

    decode.resize(4);
    decode.insert(decode.end(), outputs.begin(), outputs.end());
    const Outcome gmime = RunSample(decode);
    EXPECT_EQ(gmime.status, 0) << gmime.err;
    EXPECT_EQ(gmime.out, expected);

    std::vector<std::string> view = {GLYPHARY_MAIL_MIME_VIEW};
    view.insert(view.end(), outputs.begin(), outputs.end());
    const Outcome python = RunProgram("/usr/bin/python3", view);
    ASSERT_EQ(python.status, 0) << python.err;
    EXPECT_EQ(python.out, expected);
    EXPECT_EQ(python.err, attachments);
    // Standard MIME: nothing but ASCII left in any output.
    for (const std::string& output : outputs) {
        const std::string bytes = ReadFile(output);
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x80;
        })) << output;
    }
}

// In place: a Maildir name with the size in it is renamed to the new size; the same bytes as
// written elsewhere; a file that is no mail is left alone.
TEST_F(MailToMime, InPlaceRenamesMaildirSizes) {
    TempDir dir;
    MailMaker maker(7);
    const std::string mail = maker.Make().bytes;
    const fs::path sized = dir / "1700000000.M1P2.host,S=1,W=2:2,S";
    WriteFile(sized, mail);
    WriteFile(dir / "plain", mail);
    WriteFile(dir / "picture.jpg", std::string("\xFF\xD8\xFF\0\0", 5));
    const Outcome copy = RunSample({"mail", "--to-mime", (dir / "plain").string()});
    ASSERT_EQ(copy.status, 0) << copy.err;

    const Outcome r = RunSample({"mail", "--to-mime", "-i", "-r", dir.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("2 re-encoded, 0 failed, 1 not mail (skipped)"));
    const size_t lines = static_cast<size_t>(std::count(copy.out.begin(), copy.out.end(), '\n'));
    const fs::path renamed = dir / ("1700000000.M1P2.host,S=" + std::to_string(copy.out.size()) +
                                    ",W=" + std::to_string(copy.out.size() + lines) + ":2,S");
    EXPECT_FALSE(fs::exists(sized));
    EXPECT_EQ(ReadFile(renamed), copy.out);
    EXPECT_EQ(ReadFile(dir / "plain"), copy.out);
    EXPECT_EQ(ReadFile(dir / "picture.jpg"), std::string("\xFF\xD8\xFF\0\0", 5));
}

// Generated mails in an mbox, text lines beginning "From " among them: the mbox written anew
// holds as many mails for Python's mailbox package, each read as --decode reads the same mail
// alone. A mail that cannot be re-encoded fails the whole mbox: nothing written.
TEST_F(MailToMime, MboxIsReencodedMailByMail) {
    TempDir dir;
    fs::create_directories(dir / "alone");
    MailMaker maker(1999);
    std::string mbox, attachments;
    std::vector<std::string> decode = {"mail", "--decode", "--to", "unicode"};
    for (int i = 1; i <= 12; ++i) {
        const Generated made = maker.Make();
        // As an mbox writer stores it: a line beginning "From " behind a '>'.
        const std::string mail = Replaced(made.bytes, "\nFrom ", "\n>From ");
        mbox += "From sender@example.jp Mon Jan  1 09:00:00 2024\n" + mail + "\n";
        decode.push_back((dir / "alone" / std::to_string(i)).string());
        WriteFile(decode.back(), mail);
        for (const std::string& a : made.attachments) attachments += Hex(a) + "\n";
    }
    ASSERT_THAT(mbox, HasSubstr("\n>From the top"));
    const fs::path in = dir / "box", out = dir / "box.utf8";
    WriteFile(in, mbox + "From nobody\nnot a mail\n\n");
    const Outcome bad = RunSample({"mail", "--to-mime", "-o", out.string(), in.string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.err, HasSubstr("mail 13 of the mbox: not a mail message"));
    EXPECT_FALSE(fs::exists(out));

    WriteFile(in, mbox);
    const Outcome converted = RunSample({"mail", "--to-mime", "-o", out.string(), in.string()});
    ASSERT_EQ(converted.status, 0) << converted.err;
    const Outcome original = RunSample(decode);
    ASSERT_EQ(original.status, 0) << original.err;
    const Outcome python =
        RunProgram("/usr/bin/python3", {GLYPHARY_MAIL_MIME_VIEW, "--mbox", out.string()});
    ASSERT_EQ(python.status, 0) << python.err;
    EXPECT_EQ(python.out, Replaced(original.out, (dir / "alone").string() + "/", "message "));
    EXPECT_EQ(python.err, attachments);

    const Outcome inPlace = RunSample({"mail", "--to-mime", "-i", in.string()});
    EXPECT_EQ(inPlace.status, 0) << inPlace.err;
    EXPECT_EQ(ReadFile(in), ReadFile(out));
}

}  // namespace
}  // namespace glyphary::testing
