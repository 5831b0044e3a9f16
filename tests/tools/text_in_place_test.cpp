// globalize, localize and convert --in-place over files and trees: what each file holds
// afterwards, the report, and the guarantees --in-place shares with mail's (changes made
// meanwhile, signals). Labelled for ThreadSanitizer: -j 4 runs threads in the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "tools/mail_files.h"

namespace glyphary::testing {
namespace {

using namespace mail_files;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

// The conversion every test here runs: i-mode Shift_JIS to SoftBank UTF-8.
const std::vector<std::string> kConvert = {
    "convert", "-f", "imode", "-t", "softbank", "-e", "sjis", "--output-encoding", "utf-8"};

// A Shift_JIS text of `lines` lines with i-mode emoji, and what the conversion makes of it.
struct Text {
    std::string sjis, converted;
    size_t changedLines = 0;
};

Text MakeText(unsigned seed, size_t lines) {
    struct Piece {
        std::string sjis, utf8;
        bool emoji;
    };
    const Piece pieces[] = {{"ok ", "ok ", false},
                            {"\x90\xB0", "\xE6\x99\xB4", false},  // 晴
                            {"\xF8\x9F", kSoftbankSun, true},     // the sun
                            {"\xF8\xA0", "\xEE\x81\x89", true}};  // the cloud
    std::mt19937 random(seed);
    Text text;
    for (size_t line = 0; line < lines; ++line) {
        bool emoji = false;
        for (size_t n = random() % 5; n > 0; --n) {
            const Piece& p = pieces[random() % std::size(pieces)];
            text.sjis += p.sjis;
            text.converted += p.utf8;
            emoji |= p.emoji;
        }
        text.sjis += "\n";
        text.converted += "\n";
        text.changedLines += emoji;
    }
    return text;
}

class TextInPlace : public MailFiles {
  protected:
    /// The program as a user without root's power over every file (as root, through setpriv
    /// with the capabilities that bypass file permissions dropped), so that unreadable files
    /// are unreadable.
    Outcome RunAsUser(std::vector<std::string> args) {
        args.insert(args.begin(), {"--module", ModulePath()});
        const std::map<std::string, std::string> env{
            {"GLYPHARY_REGISTRY", (m_registry / "registry").string()}, {"GLYPHARY_MODULE", ""}};
        if (geteuid() != 0) return RunProgram(GLYPHARY_CLI, args, {}, env);
        args.insert(args.begin(),
                    {"--bounding-set=-dac_override,-dac_read_search", "--", GLYPHARY_CLI});
        return RunProgram("/usr/bin/setpriv", args, {}, env);
    }
};

// A tree as a site leaves it: Shift_JIS text, text that does not change, binary files (and
// UTF-16 text, which has NUL bytes), UTF-8 text that is no Shift_JIS, a FIFO, links to a file
// in the tree, to a file outside it and to a directory, an unreadable file and directory.
// Every file's bytes afterwards, the times of those not written, the messages (the same for
// one thread or four), the summary and the status; --check writes nothing and lists what
// would change; --backup keeps what was replaced.
TEST_F(TextInPlace, ATreeIsConvertedAsOneThreadOrFourWouldAndCheckedWithoutWriting) {
    const Text a = MakeText(1, 30), b = MakeText(2, 7), o = MakeText(3, 3);
    const std::string png("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), utf16("a\0b\0\n\0", 6);
    const Listing before = {
        {"tree", "directory"},
        {"tree/closed", "directory"},
        {"tree/dirlink", "link to docs"},
        {"tree/docs", "directory"},
        {"tree/docs/a.sjis", a.sjis},
        {"tree/docs/empty.txt", ""},
        {"tree/docs/fifo", "fifo"},
        {"tree/docs/image.png", png},
        {"tree/docs/plain.txt", "plain ASCII\n"},
        {"tree/docs/sub", "directory"},
        {"tree/docs/sub/b.sjis", b.sjis},
        {"tree/docs/utf16.txt", utf16},
        {"tree/docs/utf8.txt", "\xE2\x98\x80 sunny\n"},
        {"tree/link.sjis", "link to docs/a.sjis"},
        {"tree/locked.sjis", a.sjis},
        {"tree/out.sjis", "link to ../outside/o.sjis"},
        {"outside", "directory"},
        {"outside/o.sjis", o.sjis},
    };
    const fs::file_time_type past = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    const auto build = [&](const fs::path& root) {
        for (const auto& [name, content] : before) {
            if (content == "directory")
                fs::create_directories(root / name);
            else if (content == "fifo")
                ASSERT_EQ(mkfifo((root / name).c_str(), 0600), 0);
            else if (content.starts_with("link to "))
                fs::create_symlink(content.substr(8), root / name);
            else
                WriteFile(root / name, content);
        }
        for (const auto& [name, content] : before)
            if (!content.starts_with("link to ") && content != "fifo")
                fs::last_write_time(root / name, past);
        chmod((root / "tree/docs/a.sjis").c_str(), 0640);
        chmod((root / "tree/locked.sjis").c_str(), 0);
        chmod((root / "tree/closed").c_str(), 0);
    };
    const auto times = [&](const fs::path& root, std::vector<std::string> names) {
        for (const std::string& name : names)
            EXPECT_EQ(fs::last_write_time(root / name), past) << name << " was written";
    };
    const auto messages = [](const fs::path& root) {
        const std::string t = (root / "tree").string();
        return "glyphary: " + t + "/closed: Permission denied (left unchanged)\n" +
               "glyphary: " + t + "/dirlink: a symbolic link to a directory; not followed\n" +
               "glyphary: " + t + "/docs/fifo: not a regular file; skipped\n" + "glyphary: " + t +
               "/docs/image.png: binary (a NUL character at byte 8); skipped\n" + "glyphary: " + t +
               "/docs/utf16.txt: binary (a NUL character at byte 1); skipped\n" + "glyphary: " + t +
               "/docs/utf8.txt: byte 2: byte 0x80 is not valid Shift_JIS (imode) (is it sjis? "
               "see --input-encoding, or --errors); skipped\n" +
               "glyphary: " + t + "/link.sjis: the same file as " + t +
               "/docs/a.sjis; converted once\n" + "glyphary: " + t +
               "/locked.sjis: Permission denied (left unchanged)\n";
    };
    const auto run = [&](const fs::path& root, std::vector<std::string> options) {
        std::vector<std::string> args = kConvert;
        args.insert(args.end(), options.begin(), options.end());
        args.push_back((root / "tree").string());
        const Outcome r = RunAsUser(args);
        chmod((root / "tree/locked.sjis").c_str(), 0600);  // for the listing and the clean-up
        chmod((root / "tree/closed").c_str(), 0700);
        return r;
    };
    const std::vector<std::string> untouched = {"tree/docs/plain.txt", "tree/docs/empty.txt",
                                                "tree/docs/image.png", "tree/docs/utf16.txt",
                                                "tree/docs/utf8.txt",  "tree/locked.sjis"};

    // A dry run: nothing written, each file that would change listed in the order of the tree.
    TempDir checked;
    build(checked.path());
    const Outcome check = run(checked.path(), {"--check", "-r"});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(List(checked.path()), before);
    times(checked.path(), {"tree/docs/a.sjis", "tree/docs/sub/b.sjis", "outside/o.sjis"});
    const std::string t = (checked / "tree").string();
    const auto would = [&](const std::string& file, size_t lines) {
        return t + file + ": " + std::to_string(lines) + (lines == 1 ? " line" : " lines") +
               " would change, written in utf-8 instead of sjis\n";
    };
    EXPECT_EQ(check.out, would("/docs/a.sjis", a.changedLines) +
                             would("/docs/sub/b.sjis", b.changedLines) +
                             would("/out.sjis", o.changedLines));
    EXPECT_EQ(check.err,
              messages(checked.path()) + "3 would change, 2 unchanged, 6 skipped, 2 failed\n");

    // In place, on one thread and on four: the same files, the same report.
    Listing after = before;
    after["tree/docs/a.sjis"] = a.converted;
    after["tree/docs/sub/b.sjis"] = b.converted;
    after["outside/o.sjis"] = o.converted;
    for (const char* jobs : {"1", "4"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        TempDir root;
        build(root.path());
        const Outcome r = run(root.path(), {"-i", "-r", "-j", jobs});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, messages(root.path()) + "3 converted, 2 unchanged, 6 skipped, 2 failed\n");
        EXPECT_EQ(List(root.path()), after);
        times(root.path(), untouched);
        EXPECT_EQ(fs::status(root / "tree/docs/a.sjis").permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    }

    // With backups: each file replaced stays beside the file written (a link's target).
    TempDir backed;
    build(backed.path());
    const Outcome r = run(backed.path(), {"-i", "-r", "--backup", ".orig"});
    EXPECT_EQ(r.status, 1);
    Listing withBackups = after;
    withBackups["tree/docs/a.sjis.orig"] = a.sjis;
    withBackups["tree/docs/sub/b.sjis.orig"] = b.sjis;
    withBackups["outside/o.sjis.orig"] = o.sjis;
    EXPECT_EQ(List(backed.path()), withBackups);
    times(backed.path(), {"tree/docs/a.sjis.orig", "outside/o.sjis.orig"});
    // A second run passes the backups over without a word, and finds nothing more to do.
    const Outcome again = run(backed.path(), {"-i", "-r", "--backup", ".orig", "-e", "utf-8"});
    EXPECT_THAT(again.err, HasSubstr("\n0 converted, "));
    EXPECT_THAT(again.err, Not(HasSubstr(".orig")));
    EXPECT_EQ(List(backed.path()), withBackups);
}

// A file that another program appends to, moves away or removes while it is converted is left
// as that program made it, and the other files go on; a signal removes the temporary files and
// leaves every file as it was.
TEST_F(TextInPlace, AFileChangedMeanwhileOrASignalLeavesFilesAsTheyWere) {
    const Text text = MakeText(4, 5);
    for (const std::string action : {"append", "remove", "move"}) {
        SCOPED_TRACE(action);
        TempDir dir;
        WriteFile(dir / "1.sjis", text.sjis);
        WriteFile(dir / "2.sjis", text.sjis);
        const std::string act = action == "move" ? "move:" + (dir / "moved").string() : action;
        std::vector<std::string> args = kConvert;
        args.insert(args.end(),
                    {"-i", "-j", "1", (dir / "1.sjis").string(), (dir / "2.sjis").string()});
        const Outcome r = RunWithin(args,
                                    {{"GLYPHARY_SHIM_FILE", (dir / "1.sjis").string()},
                                     {"GLYPHARY_SHIM_AT", "fsync"},
                                     {"GLYPHARY_SHIM_DO", act}},
                                    true);
        Listing expected = {{"2.sjis", text.converted}};
        if (action == "append") expected["1.sjis"] = text.sjis + kAdded;
        if (action == "move") expected["moved"] = text.sjis;
        EXPECT_EQ(List(dir.path()), expected);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("1.sjis: changed while converting (left unchanged)\n"));
        EXPECT_THAT(r.err, HasSubstr("1 converted, 0 unchanged, 0 skipped, 1 failed\n"));
    }

    TempDir dir, marker;
    WriteFile(dir / "1.sjis", text.sjis);
    std::vector<std::string> args = kConvert;
    args.insert(args.end(), {"-i", (dir / "1.sjis").string()});
    const pid_t pid = Start(args,
                            {{"GLYPHARY_SHIM_FILE", (dir / "1.sjis").string()},
                             {"GLYPHARY_SHIM_AT", "fsync"},
                             {"GLYPHARY_SHIM_DO", "wait:" + (marker / "waiting").string()}},
                            true);
    EXPECT_TRUE(AwaitMarker(marker / "waiting", 1)) << "the program never reached the flush";
    EXPECT_EQ(Temporaries(List(dir.path())).size(), 1u);
    kill(pid, SIGTERM);
    const Outcome r = Finish(pid);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(List(dir.path()), (Listing{{"1.sjis", text.sjis}}));
    EXPECT_THAT(r.err, HasSubstr("glyphary: SIGTERM while converting " + (dir / "1.sjis").string() +
                                 "; left as it was\n"));
}

}  // namespace
}  // namespace glyphary::testing
