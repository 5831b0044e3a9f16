// Every example of the program in README.md ("$ ... glyphary ...") run as shown, in the order
// of the README, in one directory holding the files the examples name, with the sample
// configuration: its exit status and, where the README shows output, that output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools/program.h"

namespace glyphary::testing {
namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

struct Example {
    size_t line;
    std::string command;
    std::vector<std::string> shown;  // the output the README shows, if any
};

// The examples of an indented block: a "$ " line that runs glyphary, and the lines after it up
// to a blank line, a comment or the next command.
std::vector<Example> ReadExamples(const fs::path& readme) {
    std::ifstream in(readme);
    std::vector<Example> examples;
    bool inExample = false;
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        const std::string text = line.starts_with("    ") ? line.substr(4) : std::string();
        if (text.starts_with("$ ")) {
            inExample = text.find("glyphary ") != std::string::npos;
            if (inExample) examples.push_back({number, text.substr(2), {}});
        } else if (text.empty() || text.starts_with("#")) {
            inExample = false;
        } else if (inExample) {
            examples.back().shown.push_back(text);
        }
    }
    return examples;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// Whether `output` is the `shown` lines; a shown line ending in "..." stands for any line that
// starts as it does.
bool Matches(const std::vector<std::string>& shown, const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    for (const std::string& expected : shown) {
        if (!std::getline(lines, line)) return false;
        if (expected.ends_with("...")) {
            if (!line.starts_with(expected.substr(0, expected.size() - 3))) return false;
        } else if (line != expected) {
            return false;
        }
    }
    return !std::getline(lines, line);
}

// `command` run by the shell in `dir`, stdout and stderr into one.
Outcome Shell(const std::string& command, const fs::path& dir,
              const std::map<std::string, std::string>& env) {
    const fs::path out = dir / ".output";
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = open("/dev/null", O_RDONLY);
        if (fd < 0 || null < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(null, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        for (const auto& [name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    Outcome outcome;
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    outcome.out = ReadFile(out);
    fs::remove(out);
    return outcome;
}

// The files the examples name.
void WriteFixtures(const fs::path& dir, const fs::path& home) {
    const std::string sun16(":\0s\0u\0n\0n\0y\0:\0\n\0", 16);
    const std::map<std::string, std::string> files = {
        {"posted.sjis", "Good morning \xF9\x8B\n"},  // SoftBank's sun
        {"page.utf16", sun16},
        {"page.txt", "Good morning :sunny:\n"},
        {"note.txt", ":sunny: :no_such_emoji:\n"},
        {"message.txt", "\xEE\x81\x8A\n"},
        {"posted-from-docomo.txt", "\xEE\x98\xBE\n"},
        {"from-au.sjis", "\x90\xB0\x82\xEA\xF6\x60\n"},  // 晴れ and au's sun
        {"user-agents.txt", "DoCoMo/2.0 P903i\nMozilla/5.0\n"},
        // A site and a dump in docomo's Shift_JIS: emoji, an au code, a lead byte cut short.
        {"site/diary/2004.txt", "Sunny today \xF8\x9F\r\nRain later \xF8\xA1\r\n"},
        {"site/diary/2005.txt",
         "Back from the sea\r\n\x90\xB0\x82\xEA \xF8\x9F\r\nFrom an au friend: \xF6\x64\r\n"},
        {"site/images/logo.png", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16)},
        {"site/index.txt", "Diary index\r\n"},
        // Three carriers' suns, then F98B: docomo's 5 and SoftBank's sun.
        {"guestbook.sjis", "docomo \xF8\x9F\nau \xF6\x60\nSoftBank \xF9\x8B\n"},
        {"board.html", "<p>&#63647; <img localsrc=\"44\"> &#xE04A;</p>\n"},
        // au's turtle, F347, as a CP932 decoder read it: U+E23B (SoftBank's range).
        {"export.csv", "42,Turtle \xEE\x88\xBB\n"},
        {"dump.sql",
         "INSERT INTO diary VALUES (1, 'Sunny \xF8\x9F');\n"
         "INSERT INTO diary VALUES (2, 'Cut short \x82');\n"},
    };
    for (const auto& [name, content] : files) {
        fs::create_directories((dir / name).parent_path());
        WriteFile(dir / name, content);
    }
    const std::string mail = ReadFile(GLYPHARY_TOOLS_TEST_DATA "/au-mail.eml");
    fs::copy_file(GLYPHARY_TOOLS_TEST_DATA "/au-mail.eml", dir / "incoming.eml");
    // A Maildir of 412 au mails, 3 without emoji and one cut short in its header.
    const fs::path maildir = home / "Maildir/new";
    fs::create_directories(maildir);
    for (int i = 0; i < 416; ++i) {
        const std::string content = i < 412   ? mail
                                    : i < 415 ? "From: a@example.jp\r\n\r\nHello\r\n"
                                              : "From: user@ezweb.ne.jp\r\nSubject: x";
        WriteFile(maildir / ("17000" + std::to_string(i + 100000).substr(1) + ".1.host"), content);
    }
    // Mail already read, for --decode.
    fs::create_directories(home / "Maildir/cur");
    for (int i = 0; i < 3; ++i)
        WriteFile(home / "Maildir/cur" / ("16990" + std::to_string(i) + ".1.host:2,S"), mail);
    // A gibibyte that reads as zeros and takes no room.
    if (!kSanitized) {
        WriteFile(dir / "huge.eml", "");
        fs::resize_file(dir / "huge.eml", 1 << 30);
    }
}

TEST(Readme, EveryExampleOfTheProgramRunsAsShown) {
    const std::vector<Example> examples = ReadExamples(GLYPHARY_README);
    ASSERT_GE(examples.size(), 25u);

    TempDir dir;
    const fs::path home = dir / "home";
    WriteFixtures(dir.path(), home);
    const std::string registry = (home / ".local/share/glyphary/registry").string();
    const std::map<std::string, std::string> env = {
        {"PATH", fs::path(GLYPHARY_CLI).parent_path().string() + ":/usr/bin:/bin"},
        {"HOME", home.string()},
        {"GLYPHARY_MODULE", ""},
        {"GLYPHARY_REGISTRY", ""},
        {"XDG_DATA_HOME", ""},
    };

    // Examples that do not end with status 0, by their command: a status for each time the
    // command appears.
    std::map<std::string, std::vector<int>> statuses = {
        {"echo xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx | glyphary localize -c imode "
         "--localize-pattern '(x+x+)+y'",
         {1}},
        {"(ulimit -v 400000; glyphary mail --in-place huge.eml)", {1}},
        {"glyphary mail --in-place ~/Maildir/new/*", {1}},
        {"glyphary mail --in-place -j 4 ~/Maildir/cur/* ~/Maildir/new/*", {1}},
        {"glyphary localize", {2}},
        {"echo x | glyphary localize -c imode --localize-pattern '(:'", {2}},
        {"glyphary unregister", {0, 1}},
        {"glyphary register", {1}},
        {"glyphary convert --check -r -f imode -t unicode --input-encoding sjis --errors keep "
         "site/",
         {3}},
        {"glyphary convert -i -r --backup .orig -f imode -t unicode --input-encoding sjis "
         "--errors keep site/",
         {3}},
        {"glyphary convert -f imode -t unicode --input-encoding sjis --errors replace dump.sql > "
         "dump-utf8.sql",
         {3}},
    };
    for (const Example& example : examples) {
        SCOPED_TRACE("README.md:" + std::to_string(example.line) + ": " + example.command);
        // A memory limit leaves no room for a sanitizer's shadow memory.
        if (kSanitized && example.command.find("ulimit") != std::string::npos) {
            statuses.erase(example.command);
            continue;
        }
        int status = 0;
        if (auto it = statuses.find(example.command); it != statuses.end()) {
            status = it->second.front();
            it->second.erase(it->second.begin());
            if (it->second.empty()) statuses.erase(it);
        }
        if (example.command == "glyphary register")  // the damaged registry the README shows
            WriteFile(registry, "glyphary-registry 1\nkey \"CLSID\"\nkey \"CLSID\"\nend\n");

        const Outcome r = Shell(example.command, dir.path(), env);
        EXPECT_EQ(r.status, status) << r.out;
        if (example.shown.empty()) continue;
        std::vector<std::string> shown = example.shown;
        for (std::string& line : shown) {
            Replace(line, "/usr/local/lib/glyphary/glyphary.so", GLYPHARY_MODULE_FILE);
            Replace(line, "/root/", home.string() + "/");
        }
        EXPECT_TRUE(Matches(shown, r.out)) << "shows:\n"
                                           << ::testing::PrintToString(shown) << "\nwrote:\n"
                                           << r.out;
    }
    // Every command listed above is in the README.
    for (const auto& [command, left] : statuses) ADD_FAILURE() << "not in README.md: " << command;
}

}  // namespace
}  // namespace glyphary::testing
