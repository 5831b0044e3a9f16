// Runs the glyphary program as a user would: arguments, bytes on stdin, environment; collects
// the exit status and everything it printed.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/files.h"

namespace glyphary::testing {

struct Outcome {
    int status = -1;  ///< exit status; 128 + signal when killed
    std::string out;
    std::string err;
};

/// Runs `program` with `args`, `input` on stdin, and `env` added to (or, with an empty value,
/// removed from) this process's environment. Output goes through files, so no pipe can fill.
inline Outcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          std::string_view input = {},
                          const std::map<std::string, std::string>& env = {}) {
    TempDir dir;
    WriteFile(dir / "stdin", input);
    const std::string in = (dir / "stdin").string(), out = (dir / "stdout").string(),
                      err = (dir / "stderr").string();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int fdIn = open(in.c_str(), O_RDONLY);
        const int fdOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fdErr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0) _exit(126);
        dup2(fdIn, 0);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
        for (const auto& [name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    Outcome outcome;
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    return outcome;
}

}  // namespace glyphary::testing
