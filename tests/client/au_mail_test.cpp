// The program's own way through au mail against the module's: the client's transcoding against
// the module's line transcoder, and the structure path against ConvertEzwebMail on every mail
// of the shapes the module converts.
#include <gtest/gtest.h>

#include <random>

#include "support/module_fixture.h"
#include "client/au_mail.h"
#include "client/errors.h"
#include "client/mail.h"
#include "client/module.h"
#include "mail/mail.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;

// The plain transcoding of the client against the module's (its fast search included), with
// the same entries, on lines of escapes, codes of the map and random bytes.
TEST(AuMail, TheClientTranscodesLinesAsTheModuleDoes) {
    std::mt19937 rng(32);
    MailCodeMap client;
    EzwebMailCodeMap module;
    for (int i = 0; i < 40; ++i) {
        const auto code = [&] { return static_cast<uint8_t>(0x75 + rng() % 3); };
        const uint8_t m0 = code(), m1 = static_cast<uint8_t>(0x21 + rng() % 8);
        const uint8_t w0 = static_cast<uint8_t>(rng()), w1 = static_cast<uint8_t>(rng());
        client.Set(m0, m1, w0, w1);  // later entries win in both
        module.Set(m0, m1, w0, w1);
    }
    const std::string pieces[] = {"\x1B$B", "\x1B$@", "\x1B(B", "\x1B(J", "\x1B$(D", "\x1B",
                                  "u!",     "u\"",    "v#",     "w$",     "ab",      "\r"};
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        for (int n = std::uniform_int_distribution<int>(0, 40)(rng); n > 0; --n)
            line += rng() % 5 ? pieces[rng() % std::size(pieces)]
                              : std::string(1, static_cast<char>(rng()));
        std::string mine = line, theirs = line;
        const bool changed = client.Transcode(mine.data(), mine.size());
        TranscodeEmojiLine(theirs, module);
        ASSERT_EQ(mine, theirs) << round;
        EXPECT_EQ(changed, mine != line);
    }
}

class AuMailTest : public glyphary::testing::ModuleTest {
  protected:
};

// Mails of every shape the module converts, with the sample's mail map: the structure path
// alone writes the module's bytes, and the two together report the module's path. (The
// module ends a last header or delimiter line the input did not end, and ends a line of a
// CR alone with CR LF: the structure leaves those bytes as they were, so no mail here has
// them.)
TEST_F(AuMailTest, TheStructureGivesTheModulesBytesOnEveryMailTheModuleConverts) {
    const MailCodeMap map = MailCodeMap::FromSettings(s_module->SettingsPath());
    ASSERT_FALSE(map.empty());
    Glyphary object(s_module->Create());
    std::mt19937 rng(31);
    const auto pick = [&](const auto& options) {
        return options[std::uniform_int_distribution<size_t>(0, std::size(options) - 1)(rng)];
    };
    const std::string textTypes[] = {"Content-Type: text/plain; charset=ISO-2022-JP",
                                     "content-type:text/plain;charset=\"iso-2022-jp\"",
                                     "Content-Type:  TEXT/PLAIN;  CHARSET=iso-2022-JP"};
    const std::string otherTypes[] = {"Content-Type: text/plain; charset=Shift_JIS",
                                      "Content-Type: image/gif", "X-Note: nothing"};
    const std::string runs[] = {
        "\x1B$B", "\x1B(B", "\x1B$@", "\x1B(J", "u!", "uA",   "v\"",
        "w|",     "$*",     "ab",     "--b",    " ",  "\x1B", "\x1B$BuAv\"\x1B(B"};
    const auto line = [&] {
        std::string text;
        for (int n = std::uniform_int_distribution<int>(0, 10)(rng); n > 0; --n) text += pick(runs);
        return text;
    };
    const auto end = [&] { return rng() % 3 ? std::string("\r\n") : std::string("\n"); };
    const auto body = [&] {
        std::string text;
        for (int n = std::uniform_int_distribution<int>(0, 5)(rng); n > 0; --n)
            text += line() + end();
        return text;
    };

    size_t compared = 0, transcoded = 0;
    for (int round = 0; round < 1500; ++round) {
        std::string mail = "From: taro@ezweb.ne.jp" + end() + "Subject: test" + end();
        if (round % 2 == 0) {
            mail += (rng() % 4 ? pick(textTypes) : pick(otherTypes)) + end() + end() + body();
        } else {
            mail += "Content-Type: multipart/mixed; boundary=\"b1\"" + end() + end() + end() +
                    "--b1" + end();
            for (int parts = std::uniform_int_distribution<int>(1, 3)(rng); parts > 0; --parts) {
                mail += (rng() % 2 ? pick(textTypes) : pick(otherTypes)) + end() + end() + body();
                mail += "--b1" + std::string(parts == 1 ? "--" : "") + end();
            }
            if (rng() % 2) mail += "An epilogue " + line() + end();
        }
        std::string module;
        try {
            module = client::ConvertEzwebMail(object, mail);
        } catch (const ComError&) {
            continue;
        }
        ++compared;
        if (module != mail) ++transcoded;
        EXPECT_EQ(ConvertAuMail(nullptr, map, mail, {false, {}}).bytes, module) << mail;
        const AuMail both = ConvertAuMail(&object, map, mail, {false, {}});
        EXPECT_EQ(both.bytes, module) << mail;
        EXPECT_EQ(both.path, AuMailPath::module) << mail;
    }
    EXPECT_GT(compared, 1200u);
    EXPECT_GT(transcoded, 400u);
}

}  // namespace
