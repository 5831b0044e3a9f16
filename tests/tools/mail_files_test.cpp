// glyphary mail and the files it writes: changes made meanwhile, files that are no regular
// files, signals and killed runs, symbolic links, memory running out. Each test compares the
// exact contents of the directories afterwards. Races are staged by a preloaded library
// (file_race_shim.cpp) rather than by timing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include "tools/mail_files.h"

namespace glyphary::testing {
namespace {

using namespace mail_files;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

// A file that another program appends to, moves away (Maildir new/ to cur/) or removes while
// it is converted is left as that program made it; the rest of the batch goes on. The change
// lands before the last check (when the result is flushed) or, where the file system can
// exchange two names, between that check and the exchange.
TEST_F(MailFiles, AFileChangedWhileConvertingIsLeftAsItIs) {
    struct Case {
        const char* at;
        const char* action;
        bool exchange;
    };
    const Case cases[] = {
        {"fsync", "append", true},  {"fsync", "remove", true},  {"fsync", "move", true},
        {"fsync", "append", false}, {"fsync", "remove", false}, {"fsync", "move", false},
        {"rename", "append", true}, {"rename", "remove", true}, {"rename", "move", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.at) + " " + c.action + (c.exchange ? "" : " (no exchange)"));
        TempDir maildir;
        fs::create_directories(maildir / "new");
        fs::create_directories(maildir / "cur");
        WriteFile(maildir / "new/1.eml", kMail);
        WriteFile(maildir / "new/2.eml", kMail);
        std::string action = c.action;
        if (action == "move") action += ":" + (maildir / "cur/1.eml:2,S").string();
        std::map<std::string, std::string> env = {
            {"GLYPHARY_SHIM_FILE", (maildir / "new/1.eml").string()},
            {"GLYPHARY_SHIM_AT", c.at},
            {"GLYPHARY_SHIM_DO", action}};
        if (!c.exchange) env["GLYPHARY_SHIM_NO_EXCHANGE"] = "1";

        const Outcome r = RunWithin({"mail", "-i", "-j", "1", (maildir / "new/1.eml").string(),
                                     (maildir / "new/2.eml").string()},
                                    env, true);
        Listing expected = {{"new", "directory"}, {"cur", "directory"}, {"new/2.eml", kConverted}};
        if (action == "append") expected["new/1.eml"] = kMail + kAdded;
        if (action.starts_with("move")) expected["cur/1.eml:2,S"] = kMail;
        EXPECT_EQ(List(maildir.path()), expected);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("new/1.eml: changed while converting (left unchanged)"));
        EXPECT_THAT(r.err, HasSubstr("1 converted, 0 unchanged, 1 failed"));
    }
}

// A FIFO with no writer, a device and a directory are refused at once; the files after them
// are converted.
TEST_F(MailFiles, OnlyRegularFilesAreConvertedAndNoneIsWaitedFor) {
    TempDir maildir;
    WriteFile(maildir / "a.eml", kMail);
    ASSERT_EQ(mkfifo((maildir / "fifo.eml").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", maildir / "null.eml");
    fs::create_directory(maildir / "dir.eml");
    WriteFile(maildir / "z.eml", kMail);

    const Outcome r = RunWithin({"mail", "--in-place", (maildir / "a.eml").string(),
                                 (maildir / "fifo.eml").string(), (maildir / "null.eml").string(),
                                 (maildir / "dir.eml").string(), (maildir / "z.eml").string()},
                                {}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(List(maildir.path()), (Listing{{"a.eml", kConverted},
                                             {"fifo.eml", "fifo"},
                                             {"null.eml", "link to /dev/null"},
                                             {"dir.eml", "directory"},
                                             {"z.eml", kConverted}}));
    EXPECT_THAT(r.err, HasSubstr("fifo.eml: not a regular file (left unchanged)"));
    EXPECT_THAT(r.err, HasSubstr("null.eml: not a regular file (left unchanged)"));
    EXPECT_THAT(r.err, HasSubstr("dir.eml: is a directory (left unchanged)"));
    EXPECT_THAT(r.err, HasSubstr("2 converted, 0 unchanged, 3 failed"));
}

// SIGINT, SIGTERM or SIGHUP while results are being written (one thread, or two with a
// temporary file each): the temporary files go, the mails are as they were, the message
// names them, and the program ends as the signal ends it.
TEST_F(MailFiles, ASignalRemovesTheTemporaryFilesAndNamesTheMails) {
    const std::pair<int, int> cases[] = {{SIGINT, 2}, {SIGTERM, 1}, {SIGHUP, 2}};
    for (const auto& [sig, jobs] : cases) {
        SCOPED_TRACE(strsignal(sig) + std::string(" with -j ") + std::to_string(jobs));
        TempDir maildir, marker;
        WriteFile(maildir / "1.eml", kMail);
        WriteFile(maildir / "2.eml", kMail);
        const pid_t pid = Start({"mail", "-i", "-j", std::to_string(jobs),
                                 (maildir / "1.eml").string(), (maildir / "2.eml").string()},
                                {{"GLYPHARY_SHIM_FILE", (maildir / "1.eml").string()},
                                 {"GLYPHARY_SHIM_AT", "fsync"},
                                 {"GLYPHARY_SHIM_DO", "wait:" + (marker / "waiting").string()}},
                                true);
        const bool waiting = AwaitMarker(marker / "waiting", static_cast<size_t>(jobs));
        EXPECT_TRUE(waiting) << "the program never reached the flush";
        EXPECT_EQ(Temporaries(List(maildir.path())).size(),
                  waiting ? static_cast<size_t>(jobs) : 0u);
        kill(pid, sig);
        const Outcome r = Finish(pid);
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(List(maildir.path()), (Listing{{"1.eml", kMail}, {"2.eml", kMail}}));
        const std::string name = sigabbrev_np(sig);
        EXPECT_THAT(r.err, HasSubstr("glyphary: SIG" + name + " while converting " +
                                     (maildir / "1.eml").string() + "; left as it was\n"));
        const auto second = HasSubstr("converting " + (maildir / "2.eml").string());
        if (jobs == 2)
            EXPECT_THAT(r.err, second);
        else
            EXPECT_THAT(r.err, Not(second));
    }
}

// After SIGKILL the temporary file stays; the next run that converts the same mail removes
// it, and nothing else: not one that a running conversion holds locked, not a link, not
// another mail's, not one named otherwise.
TEST_F(MailFiles, ALaterRunRemovesOnlyTheTemporaryFilesKilledRunsLeft) {
    TempDir maildir, marker;
    WriteFile(maildir / "1.eml", kMail);
    const pid_t pid = Start({"mail", "-i", (maildir / "1.eml").string()},
                            {{"GLYPHARY_SHIM_FILE", (maildir / "1.eml").string()},
                             {"GLYPHARY_SHIM_AT", "fsync"},
                             {"GLYPHARY_SHIM_DO", "wait:" + (marker / "waiting").string()}},
                            true);
    EXPECT_TRUE(AwaitMarker(marker / "waiting", 1));
    kill(pid, SIGKILL);
    EXPECT_EQ(Finish(pid).status, 128 + SIGKILL);
    const std::vector<std::string> left = Temporaries(List(maildir.path()));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(ReadFile(maildir / left[0]), kConverted);

    const Listing kept = {
        {".1.eml.glyphary-Held01", "a running conversion's"},
        {".1.eml.glyphary-Link01", "link to 1.eml"},
        {".2.eml.glyphary-Other1", "another mail's"},
        {".1.eml.glyphary-short", "five letters"},
        {".1.eml.glyphary-a_b_c_", "not letters"},
        {"1.eml.glyphary-abcdef", "no dot"},
    };
    for (const auto& [name, content] : kept) {
        if (content.starts_with("link to "))
            fs::create_symlink(content.substr(8), maildir / name);
        else
            WriteFile(maildir / name, content);
    }
    const int held = open((maildir / ".1.eml.glyphary-Held01").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const Outcome r = RunWithin({"mail", "-i", (maildir / "1.eml").string()});
    close(held);
    EXPECT_EQ(r.status, 0) << r.err;
    Listing expected = kept;
    expected["1.eml"] = kConverted;
    EXPECT_EQ(List(maildir.path()), expected);
}

// A symbolic link (a chain of them, relative, into another directory) stays a link: the
// file it leads to is written, in place or as OUT, and a link to nowhere yet creates the file
// it names. A link planted under the name of a temporary file is not written through.
TEST_F(MailFiles, SymbolicLinksAreWrittenThroughAndKept) {
    TempDir root;
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    WriteFile(root / "b/t.eml", kMail);
    WriteFile(root / "b/out.eml", "old");
    chmod((root / "b/out.eml").c_str(), 0640);
    WriteFile(root / "in.eml", kMail);
    WriteFile(root / "victim", "untouched");
    fs::create_symlink("l2.eml", root / "a/l1.eml");
    fs::create_symlink("../b/t.eml", root / "a/l2.eml");
    fs::create_symlink("../b/out.eml", root / "a/out.eml");
    fs::create_symlink("../b/made.eml", root / "a/new.eml");
    // The shim makes the first temporary name ".t.eml.glyphary-AAAAAA".
    fs::create_symlink("../victim", root / "b/.t.eml.glyphary-AAAAAA");

    const Outcome inPlace = RunWithin({"mail", "-i", (root / "a/l1.eml").string()},
                                      {{"GLYPHARY_SHIM_RANDOM", "1"}}, true);
    EXPECT_EQ(inPlace.status, 0) << inPlace.err;
    const Outcome existing =
        RunWithin({"mail", (root / "in.eml").string(), (root / "a/out.eml").string()});
    EXPECT_EQ(existing.status, 0) << existing.err;
    const Outcome created =
        RunWithin({"mail", (root / "in.eml").string(), (root / "a/new.eml").string()});
    EXPECT_EQ(created.status, 0) << created.err;

    EXPECT_EQ(List(root.path()), (Listing{{"a", "directory"},
                                          {"a/l1.eml", "link to l2.eml"},
                                          {"a/l2.eml", "link to ../b/t.eml"},
                                          {"a/out.eml", "link to ../b/out.eml"},
                                          {"a/new.eml", "link to ../b/made.eml"},
                                          {"b", "directory"},
                                          {"b/t.eml", kConverted},
                                          {"b/.t.eml.glyphary-AAAAAA", "link to ../victim"},
                                          {"b/out.eml", kConverted},
                                          {"b/made.eml", kConverted},
                                          {"in.eml", kMail},
                                          {"victim", "untouched"}}));
    EXPECT_EQ(fs::status(root / "b/out.eml").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// Under a memory limit, a message too big to convert is named with its size (whether our
// code or the module ran out), the batch goes on, and other commands say which ran out.
TEST_F(MailFiles, RunningOutOfMemorySaysWhatWasBeingConverted) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than any limit leaves";
    constexpr rlim_t kLimit = rlim_t{512} << 20;
    TempDir maildir;
    const std::pair<std::string, uintmax_t> bigs[] = {{"huge.eml", uintmax_t{1} << 30},
                                                      {"large.eml", uintmax_t{200} << 20}};
    for (const auto& [name, size] : bigs) {
        WriteFile(maildir / name, "From: a\r\n\r\n");
        fs::resize_file(maildir / name, size);  // sparse: no disk, a body of zeros
    }
    WriteFile(maildir / "small.eml", kMail);

    const Outcome batch =
        Finish(Start({"mail", "-i", "-j", "1", (maildir / "huge.eml").string(),
                      (maildir / "large.eml").string(), (maildir / "small.eml").string()},
                     {}, false, "/dev/null", kLimit));
    EXPECT_EQ(batch.status, 1);
    for (const auto& [name, size] : bigs)
        EXPECT_THAT(batch.err, HasSubstr("glyphary: out of memory while converting " +
                                         (maildir / name).string() + " (" + std::to_string(size) +
                                         " bytes) (left unchanged)\n"));
    EXPECT_THAT(batch.err, HasSubstr("1 converted, 0 unchanged, 2 failed"));
    EXPECT_EQ(ReadFile(maildir / "small.eml"), kConverted);

    const Outcome one =
        Finish(Start({"mail", (maildir / "huge.eml").string(), (maildir / "out.eml").string()}, {},
                     false, "/dev/null", kLimit));
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.err, "glyphary: out of memory while converting " +
                           (maildir / "huge.eml").string() + " (1073741824 bytes)\n");
    EXPECT_FALSE(fs::exists(maildir / "out.eml"));

    // One line of a gigabyte, under a lower limit that detect reaches sooner.
    const Outcome detect =
        Finish(Start({"detect"}, {}, false, maildir / "huge.eml", rlim_t{160} << 20));
    EXPECT_EQ(detect.status, 1);
    EXPECT_EQ(detect.err, "glyphary: out of memory while running detect\n");
}

}  // namespace
}  // namespace glyphary::testing
