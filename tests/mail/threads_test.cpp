// Conversions on many threads at once share only the mail map and the compiled header
// patterns, which are read-only; each must come out as it would alone.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mail/mail.h"
#include "mail/streams.h"
#include "support/tables.h"

namespace glyphary {
namespace {

TEST(MailThreads, ConcurrentConversionsGiveTheSingleThreadedResult) {
    testing::ResetTables();
    g_tables.ezwebMailCodeMap.Set(0x75, 0x41, 0x7B, 0x21);
    const std::string run = "\x1B$B\x75\x41\x1B(B";
    const std::string message =
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n\r\n--b\r\n"
        "Content-Type: text/plain; charset=iso-2022-jp\r\n\r\n" +
        run + "\r\n--b--\r\n";
    // The threads are the first to use the header patterns: they race to compile them.
    std::string expected = message;
    expected.replace(expected.find("\x75\x41"), 2, "\x7B\x21");

    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (std::string& result : results) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                testing::ScriptedStream threadIn(message), threadOut;
                if (ConvertEzwebMail(&threadIn, &threadOut) != S_OK) return;
                result = threadOut.output;
                if (result != expected) return;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& result : results) EXPECT_EQ(result, expected);
    testing::ResetTables();
}

}  // namespace
}  // namespace glyphary
