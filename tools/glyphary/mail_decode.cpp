// glyphary mail --decode: any handset's mail as UTF-8 text, its emoji as neutral notation (the
// module's Globalize for the sender's carrier) or, with --to, as another table's emoji; many
// files at once, in order, on several threads.
#include <sys/stat.h>
#include <unistd.h>

#include "batch.h"
#include "client/mail_decode.h"
#include "commands.h"
#include "io.h"
#include "mail_render.h"
#include "text/unicode.h"
#include "written_files.h"

namespace glyphary::tool {
namespace {

// Exit statuses beyond 0, 1 and 2: a mail shown in part (a limit left some of it unread), and
// text that did not decode in its charset (often a wrong --carrier).
constexpr int kShownInPart = 3;
constexpr int kUndecodable = 4;

// What became of one mail.
struct Decoded {
    std::string text;
    std::vector<std::string> messages;  // for standard error
    int status = 0;
};

struct Options {
    std::optional<EMapMode> carrier;
    bool several = false;  // each text under the name of its file
};

Decoded DecodeFile(Renderer& render, const std::string& file, const Options& options) noexcept {
    Decoded decoded;
    const std::string name = file == "-" ? "standard input" : file;
    try {
        const std::string message = ReadInput(file);
        const client::DecodedMail mail = client::DecodeMail(message, options.carrier);
        if (options.several) decoded.text = "==> " + name + " <==\n";
        decoded.text += client::MailText(mail, std::ref(render));
        for (const std::string& what : mail.unread) {
            decoded.messages.push_back(name + ": not shown: " + what);
            decoded.status = kShownInPart;
        }
        if (const size_t n = mail.Undecodable(); n > 0) {
            std::string message = name + ": " + std::to_string(n) +
                                  (n == 1 ? " character" : " characters") +
                                  " of its text did not decode (shown as U+FFFD)";
            if (options.carrier)
                message += "; is it " + CarrierName(*options.carrier) + "'s mail (--carrier)?";
            decoded.messages.push_back(std::move(message));
            if (decoded.status == 0) decoded.status = kUndecodable;
        }
    } catch (const std::bad_alloc&) {
        decoded = {};
        decoded.messages.push_back("out of memory while decoding " + name);
        decoded.status = 1;
    } catch (const std::exception& e) {
        decoded = {};
        const std::string what = e.what();
        decoded.messages.push_back(what.rfind(file + ":", 0) == 0 ? what : name + ": " + what);
        decoded.status = 1;
    }
    return decoded;
}

// The more telling of two statuses: a failure, then a mail shown in part, then undecodable
// text.
int Worse(int a, int b) {
    const auto rank = [](int s) { return s == 1 ? 3 : s == kShownInPart ? 2 : s ? 1 : 0; };
    return rank(b) > rank(a) ? b : a;
}

// OUT must not be one of the mails: writing the text over it would lose the mail.
void RefuseOverwritingInput(const std::string& out, const std::vector<std::string>& inputs) {
    struct stat o {};
    if (stat(out.c_str(), &o) != 0) return;
    for (const std::string& in : inputs) {
        struct stat i {};
        if (in != "-" && stat(in.c_str(), &i) == 0 && i.st_dev == o.st_dev && i.st_ino == o.st_ino)
            throw UsageError("--output " + out + " is the mail " + in +
                             " itself; its text would take the mail's place");
    }
}

}  // namespace

int RunMailDecode(Session& session, const Arguments& args) {
    if (args.Has("in-place"))
        throw UsageError("--decode shows mail as text; it changes no file in place");
    std::vector<std::string> inputs = args.Operands();
    if (inputs.empty()) inputs.push_back("-");
    const std::string out = args.Has("output") ? args.Value("output") : "-";
    if (out != "-") RefuseOverwritingInput(out, inputs);
    Options options;
    if (args.Has("carrier")) options.carrier = ParseCarrier(args.Value("carrier"));
    std::optional<EMapMode> to;
    if (args.Has("to")) to = ParseCarrier(args.Value("to"));
    const bool showCodes = args.Has("show-codes");
    options.several = inputs.size() > 1;

    Module& module = session.module();
    Renderer renderer(module, to, showCodes);
    using Files = Batch<Renderer, Decoded>;
    std::optional<Files> batch;
    const size_t threads = std::min(Jobs(args), inputs.size());
    if (threads > 1) {
        batch.emplace(
            inputs.size(), [&] { return std::make_unique<Renderer>(module, to, showCodes); },
            [&](Renderer& r, size_t i) { return DecodeFile(r, inputs[i], options); }, 2 * threads);
        batch->Start(threads);
    }

    int status = 0;
    std::string text;  // for OUT, which is replaced only once whole
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Decoded decoded =
            batch ? batch->Take(i, renderer) : DecodeFile(renderer, inputs[i], options);
        for (const std::string& message : decoded.messages) Report(message);
        status = Worse(status, decoded.status);
        if (decoded.text.empty()) continue;
        const std::string piece = (i > 0 && options.several ? "\n" : "") + decoded.text;
        if (out == "-") {
            WriteAll(STDOUT_FILENO, piece, "standard output");
        } else {
            text += piece;
        }
    }
    if (out != "-") ReplaceFile(out, text);
    return status;
}

}  // namespace glyphary::tool
