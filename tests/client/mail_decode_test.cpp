// Mail decoding: each charset with each carrier's emoji, encoded words, the sender's carrier,
// the part structure, and hostile bytes.
#include <random>

#include <gtest/gtest.h>

#include "client/errors.h"
#include "client/mail_decode.h"
#include "text/utf.h"

namespace {

using namespace glyphary::client;

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

// "おはよう" in ISO-2022-JP, then au's sun as the mail carries it (mail code 75 41).
const std::string kAuLine = "\x1B$B$*$O$h$&uA\x1B(B";
const std::u16string kOhayo = u"\x304A\x306F\x3088\x3046";

TEST(MailDecode, EachCharsetCarriesItsCarriersEmoji) {
    const struct {
        std::string bytes;
        const char* charset;
        EMapMode carrier;
        std::u16string text;
    } cases[] = {
        {kAuLine, "ISO-2022-JP", MPM_ezweb, kOhayo + u"\xE488"},
        // After ConvertEzwebMail: au's web code F6 60 inside the run.
        {"\x1B$B$*\xF6\x60\x1B(B!", "iso-2022-jp", MPM_ezweb, u"\x304A\xE488!"},
        {"\x1B$B$*\xF6\x60\x1B(B!", "iso-2022-jp", MPM_none, u"\x304A\xE488!"},
        // Not au's: the emoji rows mean nothing; NEC-selected IBM kanji in row 0x79 do.
        {kAuLine, "iso-2022-jp", MPM_none, kOhayo + u"\xFFFD"},
        {"\x1B$By!\x1B(B", "iso-2022-jp", MPM_none, u"\x7E8A"},
        {"\x1B(I1\x1B(B", "iso-2022-jp", MPM_none, u"\xFF71"},   // half-width katakana
        {"\x1B$B$*\nx", "iso-2022-jp", MPM_none, u"\x304A\nx"},  // a line starts in ASCII
        {"\x82\xA8\xF8\x9F", "Shift_JIS", MPM_imode, u"\x304A\xE63E"},
        {"\x82\xA8\xF6\x60", "shift_jis", MPM_ezweb, u"\x304A\xE488"},
        {"\x82\xA8\xF9\x8B", "x-sjis", MPM_softbank, u"\x304A\xE04A"},
        {"\x1B$Gj\x0F", "windows-31j", MPM_softbank, u"\xE04A"},
        {"a\x81", "cp932", MPM_imode, u"a\xFFFD"},
        {"\xEE\x81\x8A\xFF", "UTF-8", MPM_softbank, u"\xE04A\xFFFD"},
        {"\xA4\xA2", "euc-jp", MPM_none, u"\x3042"},
        {"caf\xE9", "iso-8859-1", MPM_none, u"caf\xE9"},
        {"plain", "x-no-such-charset", MPM_none, u"plain"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeMailText(c.bytes, c.charset, c.carrier), c.text) << c.charset;
}

TEST(MailDecode, EncodedWordsAreDecodedByTheirCharsets) {
    const std::string sun = "\xE2\x98\x80";
    const struct {
        std::string raw;
        EMapMode carrier;
        std::u16string value;
    } cases[] = {
        // An ISO-2022-JP word from an unknown sender reads au's emoji rows.
        {" =?ISO-2022-JP?B?" + Base64(kAuLine) + "?=\r\n", MPM_none, kOhayo + u"\xE488"},
        {"=?Shift_JIS?B?" + Base64("\xF8\x9F") + "?=", MPM_imode, u"\xE63E"},
        {"Re: =?UTF-8?Q?=E2=98=80_sun?=", MPM_none, u"Re: \x2600 sun"},
        // Words of one charset join before decoding, even when a character is cut between.
        {"=?UTF-8?B?" + Base64(sun.substr(0, 2)) + "?=\r\n =?UTF-8?B?" + Base64(sun.substr(2)) +
             "?=",
         MPM_none, u"\x2600"},
        {"=?utf-8?q?a?= b =?utf-8?q?c?=", MPM_none, u"a b c"},
        {"=?utf-8?q?a?=  =?shift_jis?b?" + Base64("\x82\xA8") + "?=", MPM_none, u"a\x304A"},
        {"=?UTF-8?X?abc?= =?UTF-8?B?YQ", MPM_none, u"=?UTF-8?X?abc?= =?UTF-8?B?YQ"},
        {"Taro\r\n <taro@ezweb.ne.jp>", MPM_ezweb, u"Taro <taro@ezweb.ne.jp>"},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeHeaderValue(c.raw, c.carrier), c.value) << c.raw;
}

TEST(MailDecode, TheSendersDomainNamesTheCarrier) {
    const struct {
        const char* address;
        EMapMode carrier;
    } cases[] = {
        {"taro@docomo.ne.jp", MPM_imode},
        {"taro@ezweb.ne.jp", MPM_ezweb},
        {"Taro@AU.COM", MPM_ezweb},
        {"taro@softbank.ne.jp", MPM_softbank},
        {"taro@i.softbank.jp", MPM_softbank},
        {"taro@disney.ne.jp", MPM_softbank},
        {"taro@t.vodafone.ne.jp", MPM_softbank},
        {"taro@vodafone.ne.jp", MPM_none},
        {"taro@example.jp", MPM_none},
        {"taro@docomo.ne.jp.example", MPM_none},
        {"no address", MPM_none},
    };
    for (const auto& c : cases) EXPECT_EQ(CarrierOfAddress(c.address), c.carrier) << c.address;
}

// A docomo mail as its handsets send it: a picture beside Shift_JIS text, an encoded
// Subject with an emoji, and, for the structure, an alternative part and a forwarded mail.
const std::string kDocomoMail =
    "From: =?Shift_JIS?B?" + Base64("\x91\xBE\x98\x59") +
    "?= <taro@docomo.ne.jp>\r\n"
    "To: hanako@example.jp\r\nDate: Mon, 1 Jan 2024 09:00:00 +0900\r\n"
    "Subject: =?Shift_JIS?B?" +
    Base64("\x90\xB0\xF8\x9F") +
    "?=\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
    "--b1\r\nContent-Type: text/plain; charset=Shift_JIS\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n" +
    Base64("\x90\xB0\xF8\x9F\r\nbye\r\n") +
    "\r\n"
    "--b1\r\nContent-Type: image/jpeg; name=\"photo.jpg\"\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"photo.jpg\"\r\n\r\n" +
    Base64(std::string(1000, '\xFF')) +
    "\r\n"
    "--b1\r\nContent-Type: multipart/alternative; boundary=b2\r\n\r\n"
    "--b2\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: "
    "quoted-printable\r\n\r\n=EE=98=BE ok\r\n"
    "--b2\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>ok</p>\r\n--b2--\r\n"
    "--b1\r\nContent-Type: message/rfc822\r\n\r\nFrom: x@example.jp\r\n\r\nold\r\n"
    "--b1--\r\n";

TEST(MailDecode, TheStructureComesFromTheMimeTree) {
    const DecodedMail mail = DecodeMail(kDocomoMail);
    EXPECT_EQ(mail.carrier, MPM_imode);
    ASSERT_EQ(mail.headers.size(), 4u);
    EXPECT_EQ(mail.headers[0].name, "From");
    EXPECT_EQ(mail.headers[0].value, u"\x592A\x90CE <taro@docomo.ne.jp>");
    EXPECT_EQ(mail.headers[2].value, u"Mon, 1 Jan 2024 09:00:00 +0900");
    EXPECT_EQ(mail.headers[3].name, "Subject");
    EXPECT_EQ(mail.headers[3].value, u"\x6674\xE63E");
    ASSERT_EQ(mail.parts.size(), 5u);
    EXPECT_TRUE(mail.parts[0].text);
    EXPECT_EQ(mail.parts[0].content, u"\x6674\xE63E\nbye\n");
    EXPECT_EQ(mail.parts[0].carrier, MPM_imode);
    EXPECT_FALSE(mail.parts[1].text);
    EXPECT_EQ(mail.parts[1].type, "image/jpeg");
    EXPECT_EQ(mail.parts[1].name, "photo.jpg");
    EXPECT_EQ(mail.parts[1].size, 1000u);
    EXPECT_EQ(mail.parts[2].content, u"\xE63E ok");  // the line end before a boundary is its
    EXPECT_EQ(mail.parts[3].type, "text/html");
    EXPECT_EQ(mail.parts[4].type, "message/rfc822");
    EXPECT_FALSE(mail.parts[4].text);

    // The carrier asked for wins over the sender's domain.
    EXPECT_EQ(DecodeMail(kDocomoMail, MPM_softbank).parts[0].content, u"\x6674\xFFFD\nbye\n");

    const std::string text = MailText(mail, [](std::u16string_view t, EMapMode carrier) {
        return (carrier == MPM_imode ? u"<" : u"(") + std::u16string(t) + u">";
    });
    EXPECT_EQ(text,
              "From: <\xE5\xA4\xAA\xE9\x83\x8E <taro@docomo.ne.jp>>\n"
              "To: <hanako@example.jp>\nDate: <Mon, 1 Jan 2024 09:00:00 +0900>\n"
              "Subject: <\xE6\x99\xB4\xEE\x98\xBE>\n"
              "\n<\xE6\x99\xB4\xEE\x98\xBE\nbye\n>\n"
              "\n[image/jpeg photo.jpg, 1000 bytes]\n"
              "\n<\xEE\x98\xBE ok>\n"
              "\n<<p>ok</p>>\n"
              "\n[message/rfc822, " +
                  std::to_string(mail.parts[4].size) + " bytes]\n");
}

// Long text goes to the renderer in pieces, never cut inside a surrogate pair.
TEST(MailDecode, LongTextIsRenderedInPiecesOfWholeCharacters) {
    for (const size_t at : {(size_t{1} << 18) - 1, size_t{1} << 18, (size_t{1} << 18) + 1}) {
        const std::string body = std::string(at, 'a') + "\xF0\x9F\x98\x80" + std::string(at, 'b');
        const DecodedMail mail =
            DecodeMail("Content-Type: text/plain; charset=utf-8\r\n\r\n" + body);
        size_t pieces = 0;
        const std::string text = MailText(mail, [&](std::u16string_view t, EMapMode) {
            ++pieces;
            return std::u16string(t);
        });
        EXPECT_EQ(text, "\n" + body + "\n") << at;
        EXPECT_GT(pieces, 1u);
    }
}

// Any bytes give a mail or a ClientError, and the text is always UTF-8.
TEST(MailDecode, HostileBytesGiveTextOrAnError) {
    std::mt19937 rng(3);
    const std::string seeds[] = {kDocomoMail,
                                 "From: a@ezweb.ne.jp\r\nContent-Type: text/plain; "
                                 "charset=iso-2022-jp\r\n\r\n" +
                                     kAuLine + "\r\n"};
    const char* const pieces[] = {"\r\n--b1\r\n",
                                  "\x1B$B",
                                  "\x1B$(D",
                                  "=?",
                                  "?=",
                                  "\r\n\r\n",
                                  "Content-Type: multipart/mixed; boundary=b1\r\n",
                                  "\xF8",
                                  "\x1B$G",
                                  "=?iso-2022-jp?b?",
                                  "\0",
                                  "X-\xFF\x90: "};
    size_t decoded = 0;
    for (int round = 0; round < 1500; ++round) {
        std::string bytes = seeds[round % 2];
        for (int k = std::uniform_int_distribution<int>(1, 8)(rng); k > 0; --k) {
            const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size())(rng);
            switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
                case 0:
                    if (at < bytes.size()) bytes[at] = static_cast<char>(rng());
                    break;
                case 1:
                    bytes.insert(at, pieces[rng() % std::size(pieces)]);
                    break;
                case 2:
                    bytes.resize(at);
                    break;
                default:
                    bytes.erase(at, std::uniform_int_distribution<size_t>(0, 40)(rng));
            }
        }
        // One round in four with limits small enough for these mails to pass them.
        const MailLimits limits = round % 4 == 3 ? MailLimits{2, 3, 6, 400, 24, 60} : MailLimits{};
        try {
            const DecodedMail mail =
                DecodeMail(bytes, round % 3 ? std::nullopt : std::optional(MPM_ezweb), limits);
            const std::string text =
                MailText(mail, [](std::u16string_view t, EMapMode) { return std::u16string(t); });
            ASSERT_TRUE(glyphary::text::Utf16FromUtf8(text, glyphary::text::Errors::strict))
                << round;
            ++decoded;
        } catch (const ClientError&) {
        }
    }
    EXPECT_GT(decoded, 900u);  // the rest no longer begin with a header field
}

}  // namespace
