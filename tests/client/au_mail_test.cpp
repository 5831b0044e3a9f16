// The program's own way through au mail against the module's: the structure path against
// ConvertEzwebMail on every mail of the shapes the module converts.
#include <gtest/gtest.h>

#include <random>

#include "support/module_fixture.h"
#include "client/au_mail.h"
#include "client/errors.h"
#include "client/mail.h"
#include "client/module.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;

class AuMailTest : public glyphary::testing::ModuleTest {};

// Mails of every shape the module converts, with the sample's mail map: the structure path
// alone writes the module's bytes, and the two together report the module's path. (The
// module ends a last header or delimiter line the input did not end, and ends a line of a
// CR alone with CR LF: the structure leaves those bytes as they were, so no mail here has
// them.)
TEST_F(AuMailTest, TheStructureGivesTheModulesBytesOnEveryMailTheModuleConverts) {
    const MailCodeMap map = ReadMailCodeMap(s_module->SettingsPath());
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
