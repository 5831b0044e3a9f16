// glyphary mail: ConvertEzwebMail from a file or stdin to a file or stdout, or in place over
// many files on several threads. A message is read whole and converted into memory; only a
// complete conversion is written, so a failure never leaves half a message anywhere.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "client/mail.h"
#include "commands.h"
#include "io.h"
#include "written_files.h"
#include "signals.h"

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

// What became of one file converted in place.
struct Result {
    enum class Kind { converted, unchanged, failed } kind = Kind::failed;
    std::string message;       // why it failed
    bool outOfMemory = false;  // then the message is made when it is reported
    std::optional<size_t> size;
};

std::string OutOfMemory(const std::string& name, std::optional<size_t> size) {
    return "out of memory while converting " + name +
           (size ? " (" + std::to_string(*size) + " bytes)" : "");
}

Result ConvertInPlace(client::Glyphary& object, const std::string& file) noexcept {
    Result result;
    try {
        try {
            if (file == "-") throw ToolError("-: --in-place needs files, not standard input");
            InPlaceFile mail(file);
            result.size = mail.size();
            const std::string message = mail.Read();
            const std::string converted = client::ConvertEzwebMail(object, message);
            if (converted == message) {
                result.kind = Result::Kind::unchanged;  // the file keeps its time stamps
            } else {
                mail.Replace(converted);
                result.kind = Result::Kind::converted;
            }
            return result;
        } catch (const ComError& e) {
            if (e.hr() != E_OUTOFMEMORY) {
                result.message = file + ": " + e.what();
                return result;
            }
        } catch (const ToolError& e) {
            result.message = e.what();
            return result;
        }
    } catch (const std::bad_alloc&) {
    } catch (const std::exception& e) {
        result.message.clear();
        result.message.append(file).append(": ").append(e.what());
        return result;
    }
    result.outOfMemory = true;
    return result;
}

// Files converted on worker threads, each with an object of its own made on that thread. The
// results are taken in the order of the files, so that the output does not depend on how
// many threads ran.
class Batch {
  public:
    Batch(Module& module, const std::vector<std::string>& files)
        : m_module(module), m_files(files), m_results(files.size()) {}
    ~Batch() {
        m_next = m_files.size();  // an early end: no new files
        for (std::thread& thread : m_threads) thread.join();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    /// Starts up to `count` workers; fewer when the system refuses more threads.
    void Start(size_t count) {
        m_threads.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            std::lock_guard lock(m_mutex);
            try {
                m_threads.emplace_back([this] { Work(); });
                ++m_running;
            } catch (const std::system_error&) {
                break;
            }
        }
    }

    /// What became of file `i`, once a worker is done with it; converted here with `object`
    /// when no worker is left to do it.
    Result Take(size_t i, client::Glyphary& object) {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_results[i].has_value() || m_running == 0; });
        if (m_results[i]) return std::move(*m_results[i]);
        // Every file a worker took has its result: this one was never taken.
        lock.unlock();
        return ConvertInPlace(object, m_files[i]);
    }

  private:
    void Work() {
        // The module's objects live in single-threaded apartments: this thread joins COM and
        // makes its own object.
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        try {
            client::Glyphary object(m_module.Create());
            for (size_t i; (i = m_next.fetch_add(1)) < m_files.size();) {
                Result result = ConvertInPlace(object, m_files[i]);
                {
                    std::lock_guard lock(m_mutex);
                    m_results[i] = std::move(result);
                }
                m_done.notify_all();
            }
        } catch (...) {
            // No object on this thread: the other threads, or the main one, do the files.
        }
        if (SUCCEEDED(init)) CoUninitialize();
        {
            std::lock_guard lock(m_mutex);
            --m_running;
        }
        m_done.notify_all();
    }

    Module& m_module;
    const std::vector<std::string>& m_files;
    std::vector<std::optional<Result>> m_results;
    std::atomic<size_t> m_next{0};
    std::mutex m_mutex;
    std::condition_variable m_done;
    size_t m_running = 0;
    std::vector<std::thread> m_threads;
};

int RunInPlace(Session& session, const std::vector<std::string>& files, size_t jobs) {
    CleanUpOnSignals();  // before any thread starts
    client::Glyphary object(session.module().Create());
    std::optional<Batch> batch;
    if (const size_t threads = std::min(jobs, files.size()); threads > 1) {
        batch.emplace(session.module(), files);
        batch->Start(threads);
    }

    size_t converted = 0, unchanged = 0, failed = 0;
    Progress progress(files.size(), IsTerminal(STDERR_FILENO));
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        progress.Show(i, file);
        const Result result = batch ? batch->Take(i, object) : ConvertInPlace(object, file);
        switch (result.kind) {
            case Result::Kind::converted:
                ++converted;
                break;
            case Result::Kind::unchanged:
                ++unchanged;
                break;
            case Result::Kind::failed:
                progress.Clear();
                Report((result.outOfMemory ? OutOfMemory(file, result.size) : result.message) +
                       " (left unchanged)");
                ++failed;
                break;
        }
    }
    progress.Show(files.size(), "");
    progress.Clear();
    std::string summary = std::to_string(converted) + " converted, " + std::to_string(unchanged) +
                          " unchanged, " + std::to_string(failed) + " failed\n";
    std::fputs(summary.c_str(), stderr);
    return failed ? 1 : 0;
}

// -j N: how many files at once; by default as many as there are processors online.
size_t Jobs(const Arguments& args) {
    if (!args.Has("jobs")) return std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
    const std::string& text = args.Value("jobs");
    const bool number =
        !text.empty() && text.size() <= 4 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!number || std::stoul(text) == 0)
        throw UsageError("--jobs takes how many files to convert at once (1 to 9999), not '" +
                         text + "'");
    return std::stoul(text);
}

// The size of the file at `path` (stdin for "-") when it is a regular file, for messages.
std::optional<size_t> SizeOf(const std::string& path) {
    struct stat st {};
    const int status = path == "-" ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
    if (status != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<size_t>(st.st_size);
}

}  // namespace

int RunMail(Session& session, const Arguments& args) {
    if (args.Has("decode")) return RunMailDecode(session, args);
    const std::vector<std::string>& operands = args.Operands();
    if (args.Has("in-place")) {
        if (operands.empty()) throw UsageError("--in-place needs the files to convert");
        return RunInPlace(session, operands, Jobs(args));
    }
    if (args.Has("jobs")) throw UsageError("--jobs goes with --in-place");
    if (operands.size() > 2)
        throw UsageError("mail takes at most IN and OUT; to convert many files use --in-place");
    const std::string in = operands.empty() ? "-" : operands[0];
    const std::string out = operands.size() < 2 ? "-" : operands[1];
    const std::string name = in == "-" ? "standard input" : in;

    CleanUpOnSignals();
    client::Glyphary object(session.module().Create());
    std::string result;
    try {
        const std::string message = ReadInput(in);
        result = client::ConvertEzwebMail(object, message);
    } catch (const ComError& e) {
        if (e.hr() == E_OUTOFMEMORY) throw ToolError(OutOfMemory(name, SizeOf(in)));
        throw ToolError(name + ": " + e.what());
    } catch (const std::bad_alloc&) {
        throw ToolError(OutOfMemory(name, SizeOf(in)));
    }
    if (out == "-") {
        WriteAll(STDOUT_FILENO, result, "standard output");
    } else {
        ReplaceFile(out, result);
    }
    return 0;
}

}  // namespace glyphary::tool
