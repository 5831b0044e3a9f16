// glyphary convert: one carrier's text shown on another carrier, or as standard emoji, and
// standard emoji shown on a carrier, through client::CarrierConverter. Files or stdin to
// stdout, or files in place, in pieces: memory stays bounded whatever the size of the input.
#include <memory>

#include "client/carrier_convert.h"
#include "commands.h"
#include "text_io.h"

namespace glyphary::tool {
namespace {

// One of the tables a text can be written for: a carrier or standard Unicode.
EMapMode ParseTable(const std::string& option, const Arguments& args) {
    if (!args.Has(option))
        throw UsageError(
            "convert from which table to which? add --from and --to, each one of "
            "imode, ezweb, softbank or unicode");
    const EMapMode mode = ParseCarrier(args.Value(option));
    if (mode != MPM_imode && mode != MPM_ezweb && mode != MPM_softbank &&
        mode != client::kUnicodeMode)
        throw UsageError("--" + option + " " + args.Value(option) +
                         ": use imode, ezweb, softbank or unicode");
    return mode;
}

// The two objects of a CarrierConverter, made on the thread that uses them, for one input
// after another. After an input that failed halfway it starts afresh: its converter may hold
// the text before the failure.
class CarrierConversion : public Conversion {
  public:
    CarrierConversion(Module& module, EMapMode from, EMapMode to)
        : m_module(module), m_from(from), m_to(to) {
        Make();  // fails here, before any input is read, when the configuration cannot serve
    }

    void Begin(client::TextSink sink) override {
        m_sink = std::move(sink);
        if (m_dirty) Make();
        m_dirty = true;
    }
    char16_t* Reserve(size_t units) override { return m_converter->Reserve(units); }
    void Commit(size_t units) override { m_converter->Commit(units); }
    void Finish() override {
        m_converter->Finish();
        m_dirty = false;
    }

  private:
    void Make() {
        m_converter.reset();
        m_converter = std::make_unique<client::CarrierConverter>(
            m_module, m_from, m_to, [this](std::u16string_view piece) { m_sink(piece); });
    }

    Module& m_module;
    EMapMode m_from, m_to;
    client::TextSink m_sink;
    std::unique_ptr<client::CarrierConverter> m_converter;
    bool m_dirty = false;
};

}  // namespace

int RunConvert(Session& session, const Arguments& args) {
    const EMapMode from = ParseTable("from", args);
    const EMapMode to = ParseTable("to", args);
    const TextOptions options = ParseTextOptions(args);
    // Shift_JIS follows the source carrier's layout on the way in, the target's on the way out.
    const TextSettings settings{options.InputFormat(from), options.OutputFormat(to), options.errors,
                                options.showCodes};
    Module& module = session.module();
    const MakeConversion make = [&module, from, to] {
        return std::make_unique<CarrierConversion>(module, from, to);
    };
    return RunTextCommand(args, options, make, settings);
}

}  // namespace glyphary::tool
