// glyphary mail: ConvertEzwebMail from a file or stdin to a file or stdout, or in place over
// many files on several threads. A message is read whole and converted into memory; only a
// complete conversion is written, so a failure never leaves half a message anywhere.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

#include "client/au_mail.h"
#include "client/mail_parse.h"
#include "batch.h"
#include "commands.h"
#include "io.h"
#include "written_files.h"
#include "signals.h"

namespace glyphary::tool {
namespace {

// What the conversion of every file shares: the module's mail map and the options.
struct Conversion {
    client::MailCodeMap map;
    client::AuMailOptions options;
    bool verbose = false;
};

// What became of one file.
struct Result {
    enum class Kind { converted, unchanged, skipped, failed } kind = Kind::failed;
    std::string message;       // why it failed or was skipped
    bool outOfMemory = false;  // then the message is made when it is reported
    std::optional<size_t> size;
    client::AuMailPath path = client::AuMailPath::module;
    std::vector<std::string> unread;  // why its structure was not read whole
};

std::string OutOfMemory(const std::string& name, std::optional<size_t> size) {
    return "out of memory while converting " + name +
           (size ? " (" + std::to_string(*size) + " bytes)" : "");
}

const char* Described(const Result& result) {
    if (result.kind == Result::Kind::unchanged) return "unchanged";
    switch (result.path) {
        case client::AuMailPath::module:
            return "converted by the module";
        case client::AuMailPath::moduleHeaders:
            return "converted by the module, the encoded words of its header by the program";
        case client::AuMailPath::structure:
            break;
    }
    return "converted through its MIME structure";
}

// What is said of a converted or unchanged file: its structure's limits always, its path with
// -v.
void Tell(const std::string& name, const Result& result, const Conversion& conversion) {
    for (const std::string& what : result.unread)
        Report(name + ": converted by the module alone, its structure not read whole: " + what);
    if (conversion.verbose) Report(name + ": " + Described(result));
}

Result ConvertInPlace(client::Glyphary& object, const Conversion& conversion,
                      const std::string& file) noexcept {
    Result result;
    try {
        try {
            if (file == "-") throw ToolError("-: --in-place needs files, not standard input");
            InPlaceFile mail(file);
            result.size = mail.size();
            const std::string message = mail.Read();
            client::AuMail converted =
                client::ConvertAuMail(&object, conversion.map, message, conversion.options);
            result.path = converted.path;
            result.unread = std::move(converted.unread);
            if (converted.bytes == message) {
                result.kind = Result::Kind::unchanged;  // the file keeps its time stamps
            } else {
                mail.Replace(converted.bytes);
                result.kind = Result::Kind::converted;
            }
            return result;
        } catch (const client::NotMail& e) {
            // A stray attachment or any other file in the glob is never rewritten.
            result.kind = Result::Kind::skipped;
            result.message = file + ": " + e.what() + " (skipped)";
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

int RunInPlace(Session& session, const Conversion& conversion,
               const std::vector<std::string>& files, size_t jobs) {
    CleanUpOnSignals();  // before any thread starts
    client::Glyphary object(session.module().Create());
    using Files = Batch<client::Glyphary, Result>;
    std::optional<Files> batch;
    if (const size_t threads = std::min(jobs, files.size()); threads > 1) {
        Module& module = session.module();
        batch.emplace(
            files.size(), [&module] { return std::make_unique<client::Glyphary>(module.Create()); },
            [&](client::Glyphary& o, size_t i) { return ConvertInPlace(o, conversion, files[i]); },
            files.size());
        batch->Start(threads);
    }

    size_t converted = 0, structure = 0, unchanged = 0, skipped = 0, failed = 0;
    Progress progress(files.size(), IsTerminal(STDERR_FILENO));
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        progress.Show(i, file);
        const Result result =
            batch ? batch->Take(i, object) : ConvertInPlace(object, conversion, file);
        switch (result.kind) {
            case Result::Kind::converted:
            case Result::Kind::unchanged:
                if (!result.unread.empty() || conversion.verbose) {
                    progress.Clear();
                    Tell(file, result, conversion);
                }
                if (result.kind == Result::Kind::unchanged) {
                    ++unchanged;
                } else {
                    ++converted;
                    if (result.path == client::AuMailPath::structure) ++structure;
                }
                break;
            case Result::Kind::skipped:
                progress.Clear();
                Report(result.message);
                ++skipped;
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
    std::string summary = std::to_string(converted) + " converted";
    if (structure > 0) summary += " (" + std::to_string(structure) + " through their structure)";
    summary +=
        ", " + std::to_string(unchanged) + " unchanged, " + std::to_string(failed) + " failed";
    if (skipped > 0) summary += ", " + std::to_string(skipped) + " not mail (skipped)";
    summary += "\n";
    std::fputs(summary.c_str(), stderr);
    return failed ? 1 : 0;
}

// The mail map the module loaded: none when its settings path does not fit its buffers.
client::MailCodeMap LoadMailMap(Module& module) {
    if (!client::SettingsPathTooLong(module.path()).empty()) return {};
    return client::ReadMailCodeMap(module.SettingsPath());
}

// The size of the file at `path` (stdin for "-") when it is a regular file, for messages.
std::optional<size_t> SizeOf(const std::string& path) {
    struct stat st {};
    const int status = path == "-" ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
    if (status != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<size_t>(st.st_size);
}

}  // namespace

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

int RunMail(Session& session, const Arguments& args) {
    if (args.Has("to-mime")) return RunMailToMime(session, args);
    for (const char* option : {"output-dir", "recursive", "notation"})
        if (args.Has(option)) throw UsageError("--" + std::string(option) + " goes with --to-mime");
    if (args.Has("decode")) {
        for (const char* option : {"verbose", "keep-headers"})
            if (args.Has(option))
                throw UsageError("--" + std::string(option) +
                                 " goes with converting, not --decode");
        return RunMailDecode(session, args);
    }
    for (const char* option : {"carrier", "to", "show-codes", "output"})
        if (args.Has(option)) throw UsageError("--" + std::string(option) + " goes with --decode");
    const std::vector<std::string>& operands = args.Operands();
    Conversion conversion;
    conversion.options.headers = !args.Has("keep-headers");
    conversion.verbose = args.Has("verbose");
    if (args.Has("in-place")) {
        if (operands.empty()) throw UsageError("--in-place needs the files to convert");
        const size_t jobs = Jobs(args);
        conversion.map = LoadMailMap(session.module());
        return RunInPlace(session, conversion, operands, jobs);
    }
    if (args.Has("jobs")) throw UsageError("--jobs goes with --in-place");
    if (operands.size() > 2)
        throw UsageError("mail takes at most IN and OUT; to convert many files use --in-place");
    const std::string in = operands.empty() ? "-" : operands[0];
    const std::string out = operands.size() < 2 ? "-" : operands[1];
    const std::string name = in == "-" ? "standard input" : in;

    CleanUpOnSignals();
    client::Glyphary object(session.module().Create());
    conversion.map = LoadMailMap(session.module());
    Result told;
    std::string result;
    try {
        const std::string message = ReadInput(in);
        client::AuMail converted =
            client::ConvertAuMail(&object, conversion.map, message, conversion.options);
        told.kind = converted.bytes == message ? Result::Kind::unchanged : Result::Kind::converted;
        told.path = converted.path;
        told.unread = std::move(converted.unread);
        result = std::move(converted.bytes);
    } catch (const client::NotMail& e) {
        throw ToolError(name + ": " + e.what() + "; nothing written");
    } catch (const ComError& e) {
        if (e.hr() == E_OUTOFMEMORY) throw ToolError(OutOfMemory(name, SizeOf(in)));
        throw ToolError(name + ": " + e.what());
    } catch (const std::bad_alloc&) {
        throw ToolError(OutOfMemory(name, SizeOf(in)));
    }
    Tell(name, told, conversion);
    if (out == "-") {
        WriteAll(STDOUT_FILENO, result, "standard output");
    } else {
        ReplaceFile(out, result);
    }
    return 0;
}

}  // namespace glyphary::tool
