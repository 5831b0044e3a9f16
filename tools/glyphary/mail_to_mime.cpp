// glyphary mail --to-mime: handsets' mail as standard MIME in UTF-8, for a mail system that
// reads no carrier's charsets. One mail to standard output or -o OUT; many into --output-dir
// or in place (Maildir names that carry the size renamed to the new one), on several threads.
// A file that begins with a "From " line is an mbox, re-encoded mail by mail into an mbox.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "batch.h"
#include "client/mime_utf8.h"
#include "commands.h"
#include "io.h"
#include "mail_render.h"
#include "signals.h"
#include "written_files.h"

namespace glyphary::tool {
namespace {

namespace fs = std::filesystem;

constexpr int kUndecodable = 4;  // as with --decode

enum class Target { standardOutput, file, directory, inPlace };

struct Options {
    std::optional<EMapMode> carrier;
    Target target = Target::standardOutput;
    std::string output;  // the file or the directory
};

// One mail to work on: where it lies, and its name under --output-dir.
struct Input {
    std::string path;
    std::string relative;
};

// What became of one mail.
struct Outcome {
    enum class Kind { written, skipped, failed } kind = Kind::failed;
    std::string bytes;  // for standard output
    std::vector<std::string> messages;
    size_t undecodable = 0;
};

// A Maildir name with the size in it ("1700000000.M1P2.host,S=1234,W=1260:2,S") carries the new
// size: S= the bytes, W= the bytes with CR LF line ends. Empty when the name carries none.
std::string RenamedForSize(const std::string& name, std::string_view bytes) {
    const size_t info = std::min(name.find(':'), name.size());
    const std::string base = name.substr(0, info);
    static const std::regex sizes(",([SW])=[0-9]+");
    if (!std::regex_search(base, sizes)) return {};
    const size_t lines = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    std::string renamed;
    auto at = base.cbegin();
    for (std::sregex_iterator it(base.begin(), base.end(), sizes), end; it != end; ++it) {
        renamed.append(at, (*it)[0].first);
        const bool s = *(*it)[1].first == 'S';
        renamed += std::string(",") + (s ? "S=" : "W=") +
                   std::to_string(s ? bytes.size() : bytes.size() + lines);
        at = (*it)[0].second;
    }
    renamed.append(at, base.cend());
    renamed += name.substr(info);
    return renamed == name ? std::string() : renamed;
}

Outcome ToMime(Renderer& render, const Input& input, const Options& options) noexcept {
    Outcome outcome;
    const std::string name = input.path == "-" ? "standard input" : input.path;
    try {
        std::optional<InPlaceFile> file;
        std::string message;
        if (options.target == Target::inPlace) {
            file.emplace(input.path);
            message = file->Read();
        } else {
            message = ReadInput(input.path);
        }
        client::Utf8Mail mail =
            client::IsMbox(message)
                ? client::MboxToUtf8Mime(message, options.carrier, std::ref(render))
                : client::MailToUtf8Mime(message, options.carrier, std::ref(render));
        outcome.undecodable = mail.undecodable;
        switch (options.target) {
            case Target::standardOutput:
                outcome.bytes = std::move(mail.bytes);
                break;
            case Target::file:
                ReplaceFile(options.output, mail.bytes);
                break;
            case Target::directory: {
                const fs::path out = fs::path(options.output) / input.relative;
                fs::create_directories(out.parent_path());
                ReplaceFile(out.string(), mail.bytes);
                break;
            }
            case Target::inPlace:
                if (mail.bytes != message)
                    file->Replace(mail.bytes,
                                  RenamedForSize(fs::path(input.path).filename(), mail.bytes));
                break;
        }
        outcome.kind = Outcome::Kind::written;
        if (mail.undecodable > 0)
            outcome.messages.push_back(
                name + ": " + std::to_string(mail.undecodable) +
                (mail.undecodable == 1 ? " character" : " characters") +
                " of its text did not decode (now U+FFFD)" +
                (options.carrier
                     ? "; is it " + CarrierName(*options.carrier) + "'s mail (--carrier)?"
                     : ""));
    } catch (const client::NotMail& e) {
        outcome.kind = Outcome::Kind::skipped;
        outcome.messages = {name + ": " + e.what() + " (skipped)"};
    } catch (const std::bad_alloc&) {
        outcome.messages = {"out of memory while re-encoding " + name + " (left as it was)"};
    } catch (const std::exception& e) {
        const std::string what = e.what();
        outcome.messages = {(what.rfind(input.path + ":", 0) == 0 ? what : name + ": " + what) +
                            " (left as it was)"};
    }
    return outcome;
}

// The mails under the directory `root`, in name order: regular files, not hidden (temporary
// files), not in a Maildir's tmp (mail still being delivered).
void Walk(const std::string& root, std::vector<Input>& inputs) {
    std::vector<Input> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    if (ec) throw ToolError(root + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec) throw ToolError(root + ": " + ec.message());
        const fs::path& path = it->path();
        const std::string leaf = path.filename().string();
        if (it->is_directory()) {
            if (leaf == "tmp") it.disable_recursion_pending();
            continue;
        }
        if (leaf.empty() || leaf[0] == '.' || !it->is_regular_file()) continue;
        found.push_back({path.string(), path.lexically_relative(root).string()});
    }
    std::sort(found.begin(), found.end(),
              [](const Input& a, const Input& b) { return a.path < b.path; });
    inputs.insert(inputs.end(), found.begin(), found.end());
}

}  // namespace

int RunMailToMime(Session& session, const Arguments& args) {
    for (const char* option : {"decode", "verbose", "keep-headers", "to"})
        if (args.Has(option))
            throw UsageError("--" + std::string(option) + " does not go with --to-mime");
    Options options;
    if (args.Has("carrier")) options.carrier = ParseCarrier(args.Value("carrier"));
    const int targets = args.Has("output") + args.Has("output-dir") + args.Has("in-place");
    if (targets > 1) throw UsageError("give one of -o, --output-dir and --in-place");
    const bool recursive = args.Has("recursive");

    std::vector<Input> inputs;
    for (const std::string& operand : args.Operands()) {
        if (recursive && fs::is_directory(operand)) {
            Walk(operand, inputs);
        } else {
            inputs.push_back({operand, fs::path(operand).filename().string()});
        }
    }
    if (inputs.empty() && !recursive && !args.Has("in-place")) inputs.push_back({"-", "-"});
    if (args.Has("in-place")) {
        options.target = Target::inPlace;
        if (args.Operands().empty()) throw UsageError("--in-place needs the files to re-encode");
    } else if (args.Has("output-dir")) {
        options.target = Target::directory;
        options.output = args.Value("output-dir");
        for (const Input& input : inputs)
            if (input.path == "-") throw UsageError("--output-dir needs files, not standard input");
    } else if (inputs.size() > 1 || recursive) {
        throw UsageError("many mails go to --output-dir DIR or --in-place");
    } else if (args.Has("output")) {
        options.target = Target::file;
        options.output = args.Value("output");
        struct stat o {
        }, i{};
        if (inputs[0].path != "-" && stat(options.output.c_str(), &o) == 0 &&
            stat(inputs[0].path.c_str(), &i) == 0 && o.st_dev == i.st_dev && o.st_ino == i.st_ino)
            throw UsageError("--output " + options.output + " is the mail " + inputs[0].path +
                             " itself; use --in-place to re-encode it where it lies");
    }

    CleanUpOnSignals();  // before any thread starts
    Module& module = session.module();
    const std::optional<EMapMode> to =
        args.Has("notation") ? std::nullopt : std::optional<EMapMode>(client::kUnicodeMode);
    const bool showCodes = args.Has("show-codes");
    Renderer renderer(module, to, showCodes);
    std::optional<Batch<Renderer, Outcome>> batch;
    if (const size_t threads = std::min(Jobs(args), inputs.size()); threads > 1) {
        batch.emplace(
            inputs.size(), [&] { return std::make_unique<Renderer>(module, to, showCodes); },
            [&](Renderer& r, size_t i) { return ToMime(r, inputs[i], options); }, 2 * threads);
        batch->Start(threads);
    }

    size_t written = 0, skipped = 0, failed = 0, undecodable = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Outcome outcome =
            batch ? batch->Take(i, renderer) : ToMime(renderer, inputs[i], options);
        for (const std::string& message : outcome.messages) Report(message);
        switch (outcome.kind) {
            case Outcome::Kind::written:
                ++written;
                if (outcome.undecodable > 0) ++undecodable;
                if (options.target == Target::standardOutput)
                    WriteAll(STDOUT_FILENO, outcome.bytes, "standard output");
                break;
            case Outcome::Kind::skipped:
                ++skipped;
                break;
            case Outcome::Kind::failed:
                ++failed;
                break;
        }
    }
    if (options.target == Target::directory || options.target == Target::inPlace) {
        std::string summary =
            std::to_string(written) + " re-encoded, " + std::to_string(failed) + " failed";
        if (skipped > 0) summary += ", " + std::to_string(skipped) + " not mail (skipped)";
        Report(summary);
    }
    if (failed > 0 ||
        (skipped > 0 && options.target != Target::directory && options.target != Target::inPlace))
        return 1;
    return undecodable > 0 ? kUndecodable : 0;
}

}  // namespace glyphary::tool
