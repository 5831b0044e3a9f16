// glyphary globalize / localize: text from files or stdin, through the object, to stdout, or
// files converted in place; in pieces: memory stays bounded whatever the size of the input.
#include <memory>

#include "client/text_converter.h"
#include "commands.h"
#include "text_io.h"

namespace glyphary::tool {
namespace {

using client::Operation;
using client::Property;

struct Override {
    const char* option;
    Property property;
};

constexpr Override kOverrides[] = {
    {"globalize-format", Property::globalizeFormat},
    {"globalize-undefined-format", Property::globalizeUndefinedFormat},
    {"localize-pattern", Property::localizePattern},
    {"localize-undefined-format", Property::localizeUndefinedFormat},
};

// The properties a call of `operation` reads.
std::vector<Property> PropertiesOf(Operation operation) {
    if (operation == Operation::globalize)
        return {Property::globalizeFormat, Property::globalizeUndefinedFormat};
    return {Property::localizePattern, Property::localizeUndefinedFormat};
}

using Overrides = std::vector<std::pair<Property, std::u16string>>;

// Globalize or Localize through one object of the module, made on the thread that uses it.
class ObjectConversion : public Conversion {
  public:
    ObjectConversion(Module& module, EMapMode mode, const Overrides& overrides, Operation operation)
        : m_object(module.Create()), m_operation(operation) {
        m_object.SetMapMode(mode);
        for (const auto& [property, value] : overrides) m_object.Put(property, value);
    }

    void Begin(client::TextSink sink, const std::string&) override {
        m_converter.reset();
        m_converter =
            std::make_unique<client::TextConverter>(m_object, m_operation, std::move(sink));
    }
    char16_t* Reserve(size_t units) override { return m_converter->Reserve(units); }
    void Commit(size_t units) override { m_converter->Commit(units); }
    void Finish() override { m_converter->Finish(); }

  private:
    client::Glyphary m_object;
    Operation m_operation;
    std::unique_ptr<client::TextConverter> m_converter;
};

int RunConversion(Session& session, const Arguments& args, Operation operation) {
    if (!args.Has("carrier"))
        throw UsageError(
            "which carrier's emoji? add --carrier imode|ezweb|softbank|unicode|none|N");
    const EMapMode mode = ParseCarrier(args.Value("carrier"));
    const TextOptions options = ParseTextOptions(args);
    const TextSettings settings{options.InputFormat(mode), options.OutputFormat(mode),
                                options.errors, options.showCodes};

    // Options are checked by the module's own rules before anything is read.
    Overrides overrides;
    for (const Override& o : kOverrides) {
        if (!args.Has(o.option)) continue;
        const std::optional<std::u16string> decoded =
            text::Utf16FromUtf8(args.Value(o.option), text::Errors::strict);
        if (!decoded) throw UsageError(std::string("the value of --") + o.option + " is not UTF-8");
        std::u16string value = *decoded;
        try {
            client::CheckProperty(o.property, value);
        } catch (const ToolError& e) {
            throw UsageError(std::string("--") + o.option + ": " + e.what());
        }
        overrides.emplace_back(o.property, std::move(value));
    }

    Module& module = session.module();
    {
        client::Glyphary object(module.Create());
        session.WarnIfUnconfigured();
        // The defaults from Glyphary.setting, by the same rules, so that no input is half
        // converted before an unusable default shows.
        for (const auto& [property, value] : overrides) object.Put(property, value);
        for (const Property property : PropertiesOf(operation)) {
            try {
                client::CheckProperty(property, object.Get(property));
            } catch (const ToolError& e) {
                throw ToolError("the default " + std::string(e.what()) + " (from " +
                                module.SettingsPath().string() + ")");
            }
        }
    }
    const MakeConversion make = [&module, mode, &overrides, operation] {
        return std::make_unique<ObjectConversion>(module, mode, overrides, operation);
    };
    return RunTextCommand(args, options, make, settings);
}

}  // namespace

EMapMode ParseCarrier(const std::string& text) {
    const std::optional<EMapMode> mode = client::ParseCarrier(text);
    if (!mode) throw UsageError("unknown carrier '" + text + "': use " + client::kCarrierNames);
    return *mode;
}

int RunGlobalize(Session& session, const Arguments& args) {
    return RunConversion(session, args, Operation::globalize);
}

int RunLocalize(Session& session, const Arguments& args) {
    return RunConversion(session, args, Operation::localize);
}

}  // namespace glyphary::tool
