// glyphary mail --in-place -j N, driven as a user would. Labelled for ThreadSanitizer: its
// build of the program then reports any race among the worker threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/mail_files.h"

namespace glyphary::testing {
namespace {

using namespace mail_files;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

// -j N converts on N threads with the same results, messages (in the order of the files) and
// summary as one thread; the default is one thread per processor.
TEST_F(MailFiles, ParallelRunsReportAsOneThreadDoes) {
    const std::string contents[] = {kMail, kBroken, kConverted, ""};  // "": no such file
    const std::string results[] = {kConverted, kBroken, kConverted, ""};
    auto run = [&](const std::vector<std::string>& jobs, Listing& listing) {
        TempDir maildir;
        std::vector<std::string> args = {"mail", "-i"};
        args.insert(args.end(), jobs.begin(), jobs.end());
        for (int i = 0; i < 40; ++i) {
            const std::string name = std::to_string(i) + ".eml";
            if (!contents[i % 4].empty()) WriteFile(maildir / name, contents[i % 4]);
            args.push_back(name);
        }
        m_cwd = maildir.path();  // relative names: the same messages in every run
        const Outcome r = RunWithin(args);
        m_cwd.clear();
        listing = List(maildir.path());
        return r;
    };
    Listing expected;
    for (int i = 0; i < 40; ++i)
        if (!results[i % 4].empty()) expected[std::to_string(i) + ".eml"] = results[i % 4];

    Listing one, four, byDefault;
    const Outcome serial = run({"-j", "1"}, one);
    EXPECT_EQ(serial.status, 1);
    EXPECT_EQ(one, expected);
    EXPECT_THAT(serial.err, HasSubstr("10 converted, 10 unchanged, 20 failed"));
    for (auto [jobs, listing] : {std::pair{std::vector<std::string>{"-j4"}, &four},
                                 std::pair{std::vector<std::string>{}, &byDefault}}) {
        const Outcome parallel = run(jobs, *listing);
        EXPECT_EQ(parallel.status, serial.status);
        EXPECT_EQ(parallel.err, serial.err);
        EXPECT_EQ(*listing, expected);
    }
    for (const char* bad : {"0", "x", "-1", "99999"}) {
        const Outcome r = RunWithin({"mail", "-i", "-j", bad, "a.eml"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_THAT(r.err, HasSubstr("--jobs takes how many files"));
    }
}

}  // namespace
}  // namespace glyphary::testing
