// glyphary convert: one carrier's text shown on another carrier, or as standard emoji, and
// standard emoji shown on a carrier, through client::CarrierConverter. Files or stdin to
// stdout, or files in place, in pieces: memory stays bounded whatever the size of the input.
#include <unistd.h>

#include <atomic>
#include <memory>

#include "client/carrier_convert.h"
#include "commands.h"
#include "text_io.h"

namespace glyphary::tool {
namespace {

constexpr const char* kTables = "imode, ezweb, softbank or unicode";

client::Source SourceOf(const Arguments& args, const text::AutoOptions& options) {
    if (!args.Has("from") || !args.Has("to"))
        throw UsageError(std::string("convert from which table to which? add --from (auto or ") +
                         kTables + ") and --to (notation or " + kTables + ")");
    const std::optional<client::Source> source = client::ParseSource(args.Value("from"), options);
    if (!source) throw UsageError("--from " + args.Value("from") + ": use auto, " + kTables);
    return *source;
}

client::Target TargetOf(const Arguments& args) {
    const std::optional<client::Target> target = client::ParseTarget(args.Value("to"));
    if (!target) throw UsageError("--to " + args.Value("to") + ": use notation, " + kTables);
    return *target;
}

// --record and --prefer, which only --from auto reads.
text::AutoOptions AutoOptionsOf(const Arguments& args) {
    text::AutoOptions options;
    if (args.Has("record")) {
        const std::optional<text::Record> record = text::ParseRecord(args.Value("record"));
        if (!record)
            throw UsageError("--record " + args.Value("record") + ": use line, paragraph or whole");
        options.record = *record;
    }
    if (args.Has("prefer")) {
        std::string unknown;
        const auto prefer = text::ParsePrefer(args.Value("prefer"), &unknown);
        if (!prefer)
            throw UsageError("--prefer: '" + unknown +
                             "' is no carrier or is named twice: use imode, ezweb, softbank");
        options.prefer = *prefer;
    }
    return options;
}

// Guesses of every input and thread, for the summary.
std::atomic<size_t> g_guesses{0};

// The objects of a CarrierConverter, made on the thread that uses them, for one input after
// another. After an input that failed halfway it starts afresh: its converter may hold the
// text before the failure. From auto each input gets its own (its records and lines count
// from its start).
class CarrierConversion : public Conversion {
  public:
    CarrierConversion(Module& module, const client::Source& from, const client::Target& to,
                      bool explain)
        : m_module(module), m_from(from), m_to(to), m_explain(explain) {
        Make();  // fails here, before any input is read, when the configuration cannot serve
    }
    ~CarrierConversion() override { Count(); }

    void Begin(client::TextSink sink, const std::string& name) override {
        m_sink = std::move(sink);
        m_name = name;
        if (m_dirty || m_from.automatic) Make();
        m_dirty = true;
    }
    char16_t* Reserve(size_t units) override { return m_converter->Reserve(units); }
    void Commit(size_t units) override { m_converter->Commit(units); }
    void Finish() override {
        m_converter->Finish();
        m_dirty = false;
    }

  private:
    void Count() {
        if (m_converter && m_converter->resolver()) g_guesses += m_converter->resolver()->guesses();
    }

    void Make() {
        Count();
        m_converter.reset();
        m_converter = std::make_unique<client::CarrierConverter>(
            m_module, m_from, m_to, [this](std::u16string_view piece) { m_sink(piece); });
        if (m_explain && m_converter->resolver()) {
            m_converter->resolver()->SetGuessHook([this](const text::Guess& guess) {
                Report(m_name + ":" + std::to_string(guess.line) + ": " + text::Describe(guess));
            });
        }
    }

    Module& m_module;
    client::Source m_from;
    client::Target m_to;
    bool m_explain;
    std::string m_name;
    client::TextSink m_sink;
    std::unique_ptr<client::CarrierConverter> m_converter;
    bool m_dirty = false;
};

}  // namespace

int RunConvert(Session& session, const Arguments& args) {
    const bool automatic = args.Has("from") && args.Value("from") == "auto";
    if (!automatic)
        for (const char* option : {"record", "prefer", "explain"})
            if (args.Has(option))
                throw UsageError(std::string("--") + option + " goes with --from auto");
    const client::Source from = SourceOf(args, AutoOptionsOf(args));
    const client::Target to = TargetOf(args);
    const TextOptions options = ParseTextOptions(args);
    // Shift_JIS follows the source carrier's layout on the way in, the target's on the way out.
    const TextSettings settings{
        from.automatic ? options.AutoInputFormat() : options.InputFormat(from.mode),
        options.OutputFormat(to.notation ? MPM_none : to.mode), options.errors, options.showCodes};
    Module& module = session.module();
    const bool explain = args.Has("explain");
    const MakeConversion make = [&module, from, to, explain] {
        return std::make_unique<CarrierConversion>(module, from, to, explain);
    };
    g_guesses = 0;
    const int status = RunTextCommand(args, options, make, settings);
    if (g_guesses)
        Report(std::to_string(g_guesses) +
               " emoji guessed: a code more than one carrier has, in a record that did not tell "
               "which" +
               (explain ? "" : " (--explain lists them)"));
    return status;
}

}  // namespace glyphary::tool
