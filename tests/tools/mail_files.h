// Running the glyphary program on mail files, and what the files hold afterwards.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "tools/fixture.h"

namespace glyphary::testing {

// The mails, and what became of them.
namespace mail_files {

namespace fs = std::filesystem;

inline const std::string kMail =
    "From: user@ezweb.ne.jp\r\n"
    "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
    "\r\n"
    "Weather: \x1B$B\x75\x21\x75\x22\x1B(B today\r\n";
inline const std::string kConverted =
    "From: user@ezweb.ne.jp\r\n"
    "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
    "\r\n"
    "Weather: \x1B$B\xF6\x60\xF6\x93\x1B(B today\r\n";
// Input that ends inside a header line: the module gives E_FAIL.
inline const std::string kBroken = "From: user@ezweb.ne.jp\r\nSubject: x";
inline const std::string kAdded = "X-Added: meanwhile\r\n";  // what the shim's "append" adds

using Listing = std::map<std::string, std::string>;

// Every entry under `dir`, by relative path: a file's bytes, where a link leads, or the kind.
inline Listing List(const fs::path& dir) {
    Listing listing;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().lexically_relative(dir).string();
        if (entry.is_symlink())
            listing[name] = "link to " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            listing[name] = "directory";
        else if (entry.is_fifo())
            listing[name] = "fifo";
        else
            listing[name] = ReadFile(entry.path());
    }
    return listing;
}

// The names in `listing` that look like our temporary files.
inline std::vector<std::string> Temporaries(const Listing& listing) {
    std::vector<std::string> names;
    for (const auto& [name, content] : listing)
        if (name.find(".glyphary-") != std::string::npos) names.push_back(name);
    return names;
}

}  // namespace mail_files

/// The program run on mail files: with a time limit, a memory limit, the race library.
class MailFiles : public ProgramTest {
  protected:
    using path = std::filesystem::path;

    /// Starts the program with this suite's module, `env` added, stdin from `input`; with
    /// `shim`, the race library preloaded.
    pid_t Start(const std::vector<std::string>& args, std::map<std::string, std::string> env = {},
                bool shim = false, const path& input = "/dev/null", rlim_t memory = 0) {
        std::vector<std::string> all = {GLYPHARY_CLI, "--module", ModulePath()};
        all.insert(all.end(), args.begin(), args.end());
        env.emplace("GLYPHARY_REGISTRY", (m_registry / "registry").string());
        env.emplace("GLYPHARY_MODULE", "");
        if (shim) {
            env["LD_PRELOAD"] = GLYPHARY_FILE_RACE_SHIM;
            // An ASan build wants its runtime first; the shim does not mind.
            const char* asan = std::getenv("ASAN_OPTIONS");
            env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
        }
        const std::string out = (m_output / "stdout").string(),
                          err = (m_output / "stderr").string();
        const pid_t pid = fork();
        if (pid != 0) return pid;
        const int fdIn = open(input.c_str(), O_RDONLY);
        const int fdOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fdErr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0) _exit(126);
        if (!m_cwd.empty() && chdir(m_cwd.c_str()) != 0) _exit(126);
        dup2(fdIn, 0);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
        // An ignored signal stays ignored across exec: the signals tested start as they would
        // from a terminal.
        for (const int sig : {SIGHUP, SIGINT, SIGTERM}) signal(sig, SIG_DFL);
        for (const auto& [name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        if (memory) {
            const rlimit limit{memory, memory};
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }

    /// Waits for `pid` at most `seconds`; a program that takes longer is killed, and fails.
    Outcome Finish(pid_t pid, int seconds = 30) {
        Outcome outcome;
        int wstatus = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (waitpid(pid, &wstatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                ADD_FAILURE() << "still running after " << seconds << " s: killed";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        outcome.out = ReadFile(m_output / "stdout");
        outcome.err = ReadFile(m_output / "stderr");
        return outcome;
    }

    Outcome RunWithin(const std::vector<std::string>& args,
                      std::map<std::string, std::string> env = {}, bool shim = false) {
        return Finish(Start(args, std::move(env), shim));
    }

    /// Waits until `marker` holds `count` bytes (that many threads wait in the shim).
    static bool AwaitMarker(const path& marker, size_t count) {
        for (int i = 0; i < 3000; ++i) {
            std::error_code ec;
            if (std::filesystem::file_size(marker, ec) >= count && !ec) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir m_output;
    path m_cwd;  // where the program runs, if not here
};

}  // namespace glyphary::testing
