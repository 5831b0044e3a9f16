// The file-replacement unit, for what its users' tests (the program's mail files, the registry)
// do not pin: the commit options, names at the length limit, and the clean-up at the process's
// end waiting out a swap. This executable defines renameat2 itself, which the unit then calls:
// a test can take the exchange away or hold a swap half-way, without timing luck.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "files/replace.h"
#include "support/files.h"

namespace {

std::atomic<bool> g_noExchange{false};  // renameat2 cannot exchange, nor refuse to replace
enum : int { kFree, kArmed, kHeld, kReleased };
std::atomic<int> g_hold{kFree};  // kArmed: the next exchange waits, kHeld, for kReleased

}  // namespace

extern "C" int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                         unsigned int flags) {
    using Real = int (*)(int, const char*, int, const char*, unsigned int);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "renameat2"));
    if (g_noExchange && (flags & (RENAME_EXCHANGE | RENAME_NOREPLACE))) {
        errno = EINVAL;
        return -1;
    }
    int armed = kArmed;
    if ((flags & RENAME_EXCHANGE) && g_hold.compare_exchange_strong(armed, kHeld)) {
        g_hold.notify_all();
        g_hold.wait(kHeld);
    }
    return real(olddirfd, oldpath, newdirfd, newpath, flags);
}

namespace glyphary::files {
namespace {

using testing::TempDir;
using Listing = std::map<std::string, std::string>;

// Every file in `dir` with its content.
Listing List(const std::filesystem::path& dir) {
    Listing listing;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        listing[entry.path().filename().string()] = content.str();
    }
    return listing;
}

// Converts the file at `path` to `bytes` in place.
Status ReplaceInPlace(Leftovers& leftovers, const std::string& path, std::string_view bytes,
                      const CommitOptions& options = {}) {
    Replacement replacement(leftovers, "converting " + path);
    Status status = replacement.Open(path);
    if (status.ok()) status = replacement.Create();
    if (status.ok()) status = replacement.Write(bytes);
    return status.ok() ? replacement.Commit(options) : status;
}

// A file replaced in place keeps what it held under a backup name (an older backup there is
// replaced), or its result goes under a new name and its own name goes (refused when the new
// name is taken: nothing changes then); on file systems with and without an exchange of names.
TEST(Replacement, KeepsABackupOrPutsTheResultUnderANewName) {
    struct Case {
        const char* what;
        CommitOptions options;
        bool taken;
        Fault fault;
        Listing expected;
    };
    const Case cases[] = {
        {"backup",
         {.backup = "m~", .renameTo = {}},
         false,
         Fault::none,
         {{"m", "new"}, {"m~", "old"}}},
        {"new name",
         {.backup = {}, .renameTo = "n"},
         false,
         Fault::none,
         {{"m~", "older"}, {"n", "new"}}},
        {"new name taken",
         {.backup = {}, .renameTo = "n"},
         true,
         Fault::replace,
         {{"m", "old"}, {"m~", "older"}, {"n", "someone's"}}},
    };
    for (const bool exchange : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (exchange ? "" : " (no exchange)"));
            TempDir dir;
            dir.Write("m", "old");
            dir.Write("m~", "older");
            if (c.taken) dir.Write("n", "someone's");
            Leftovers leftovers;
            g_noExchange = !exchange;
            const Status status =
                ReplaceInPlace(leftovers, (dir.path() / "m").string(), "new", c.options);
            g_noExchange = false;
            EXPECT_EQ(status.fault, c.fault) << status.error;
            EXPECT_EQ(List(dir.path()), c.expected);
        }
    }
}

// Temporary files fit a directory entry whatever the length of the name they are for, and the
// leftovers of killed runs are told by their names, under either naming (hidden, as the
// program's, or the registry's): exactly the number of letters, for this file.
TEST(Leftovers, AreToldByTheirNamesEvenForTheLongestFileNames) {
    for (const Naming naming : {kHiddenNaming, Naming{"", ".tmp-", 8}}) {
        for (const size_t length : {size_t{1}, size_t{NAME_MAX}}) {
            SCOPED_TRACE(std::string(naming.after) + " " + std::to_string(length));
            TempDir dir;
            const std::string name(length, 'm'), other(length, 'o');
            const std::string stale = naming.PrefixFor(name) + std::string(naming.letters, 'x');
            const std::string kept[] = {
                naming.PrefixFor(name) + std::string(naming.letters - 1, 'x'),
                naming.PrefixFor(name) + std::string(naming.letters - 1, 'x') + "_",
                naming.PrefixFor(other) + std::string(naming.letters, 'x'),
            };
            dir.Write(name, "old");
            dir.Write(stale, "stale");
            Listing expected = {{name, "new"}};
            for (const std::string& k : kept) expected[dir.Write(k, k).filename().string()] = k;

            Leftovers leftovers(naming);
            Replacement replacement(leftovers, "converting");
            ASSERT_TRUE(replacement.Open((dir.path() / name).string()).ok());
            const Status created = replacement.Create();
            ASSERT_TRUE(created.ok()) << created.error;
            EXPECT_LE(replacement.temporaryName().size(), size_t{NAME_MAX});
            EXPECT_EQ(naming.PrefixOf(replacement.temporaryName()), naming.PrefixFor(name));
            ASSERT_TRUE(replacement.Write("new").ok());
            ASSERT_TRUE(replacement.Commit().ok());
            EXPECT_EQ(List(dir.path()), expected);
        }
    }
}

// The state of thread `tid` of this process as /proc shows it ('S': asleep, waiting).
char ThreadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// The clean-up at the process's end waits for a swap in progress and leaves its result in
// place; it removes the temporary files of replacements not finished, names those, and leaves
// finished ones alone. Run in a child process, which the clean-up ends for good.
TEST(AbandonAll, WaitsOutASwapAndRemovesOnlyWhatIsNotInPlace) {
    TempDir dir;
    for (const char* name : {"a", "b", "c", "d"}) dir.Write(name, "old");
    const std::string reports = (dir.path() / "reports").string();
    const auto path = [&](const char* name) { return (dir.path() / name).string(); };

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Leftovers leftovers;
        // Never destroyed: after the clean-up every replacement blocks at its next step.
        auto* a = new Replacement(leftovers, "converting a");
        auto* b = new Replacement(leftovers, "converting b");
        auto* c = new Replacement(leftovers, "converting c");
        auto* d = new Replacement(leftovers, "converting d");
        const auto begin = [&](Replacement* r, const char* name) {
            if (!r->Open(path(name)).ok() || !r->Create().ok() || !r->Write("new").ok()) _exit(10);
        };
        begin(a, "a");
        begin(b, "b");
        begin(c, "c");
        if (!b->Commit().ok() || !d->Open(path("d")).ok()) _exit(11);
        g_hold = kArmed;
        std::thread swapping([c] { c->Commit(); });
        g_hold.wait(kArmed);

        std::atomic<pid_t> cleaner{0};
        std::atomic<bool> done{false};
        std::thread cleanup([&] {
            cleaner = gettid();
            std::ofstream out(reports);
            AbandonAll([&](const std::string& label) { out << label << '\n' << std::flush; });
            done = true;
        });
        // Let the swap go on only once the clean-up waits for it.
        while (!done && (cleaner == 0 || ThreadState(cleaner) != 'S'))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_hold = kReleased;
        g_hold.notify_all();
        cleanup.join();
        swapping.join();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream in(reports);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "converting a\nconverting d\n");
    std::filesystem::remove(reports);
    EXPECT_EQ(List(dir.path()), (Listing{{"a", "old"}, {"b", "new"}, {"c", "new"}, {"d", "old"}}));
}

}  // namespace
}  // namespace glyphary::files
