// glyphary mail: ConvertEzwebMail from a file or stdin to a file or stdout, or in place over
// many files. A message is read whole and converted into memory; only a complete conversion
// is written, so a failure never leaves half a message anywhere.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "client/mail.h"
#include "commands.h"
#include "io.h"

namespace glyphary::tool {
namespace {

// A one-line bar on stderr, redrawn in place; only when stderr is a terminal.
class Progress {
  public:
    Progress(size_t total, bool shown) : m_total(total), m_shown(shown) {}
    ~Progress() { Clear(); }

    void Show(size_t done, const std::string& name) {
        if (!m_shown) return;
        struct winsize ws {};
        const size_t columns =
            ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
        constexpr size_t width = 24;
        const size_t filled = m_total ? done * width / m_total : width;
        std::string line = "\r[" + std::string(filled, '#') + std::string(width - filled, ' ') +
                           "] " + std::to_string(done) + "/" + std::to_string(m_total) + " " + name;
        if (line.size() > columns) line.resize(columns);
        std::fputs(line.c_str(), stderr);
        std::fputs("\033[K", stderr);
        std::fflush(stderr);
        m_drawn = true;
    }
    /// Wipes the bar, so that a message can take its line.
    void Clear() {
        if (!m_drawn) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        m_drawn = false;
    }

  private:
    size_t m_total;
    bool m_shown;
    bool m_drawn = false;
};

int RunInPlace(client::Glyphary& object, const std::vector<std::string>& files) {
    size_t converted = 0, unchanged = 0, failed = 0;
    Progress progress(files.size(), IsTerminal(STDERR_FILENO));
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        progress.Show(i, file);
        try {
            if (file == "-") throw ToolError("-: --in-place needs files, not standard input");
            const std::string message = ReadInput(file);
            const std::string result = client::ConvertEzwebMail(object, message);
            if (result == message) {
                ++unchanged;  // nothing to rewrite: the file keeps its time stamps
            } else {
                ReplaceFile(file, result);
                ++converted;
            }
        } catch (const ComError& e) {
            progress.Clear();
            Report(file + ": " + e.what() + " (left unchanged)");
            ++failed;
        } catch (const ToolError& e) {
            progress.Clear();
            Report(std::string(e.what()) + " (left unchanged)");
            ++failed;
        }
    }
    progress.Show(files.size(), "");
    progress.Clear();
    std::string summary = std::to_string(converted) + " converted, " + std::to_string(unchanged) +
                          " unchanged, " + std::to_string(failed) + " failed\n";
    std::fputs(summary.c_str(), stderr);
    return failed ? 1 : 0;
}

}  // namespace

int RunMail(Session& session, const Arguments& args) {
    if (args.Has("decode")) return RunMailDecode(session, args);
    const std::vector<std::string>& operands = args.Operands();
    if (args.Has("in-place")) {
        if (operands.empty()) throw UsageError("--in-place needs the files to convert");
        client::Glyphary object(session.module().Create());
        return RunInPlace(object, operands);
    }
    if (operands.size() > 2)
        throw UsageError("mail takes at most IN and OUT; to convert many files use --in-place");
    const std::string in = operands.empty() ? "-" : operands[0];
    const std::string out = operands.size() < 2 ? "-" : operands[1];

    const std::string message = ReadInput(in);
    client::Glyphary object(session.module().Create());
    std::string result;
    try {
        result = client::ConvertEzwebMail(object, message);
    } catch (const ComError& e) {
        throw ToolError((in == "-" ? "standard input" : in) + ": " + e.what());
    }
    if (out == "-") {
        WriteAll(STDOUT_FILENO, result, "standard output");
    } else {
        ReplaceFile(out, result);
    }
    return 0;
}

}  // namespace glyphary::tool
