#include "cli.h"

namespace glyphary::tool {
namespace {

const OptionSpec* FindLong(const std::vector<OptionSpec>& specs, const std::string& name) {
    for (const OptionSpec& spec : specs)
        if (name == spec.name) return &spec;
    return nullptr;
}

const OptionSpec* FindShort(const std::vector<OptionSpec>& specs, char letter) {
    for (const OptionSpec& spec : specs)
        if (spec.letter && spec.letter == letter) return &spec;
    return nullptr;
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            m_operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string value;
        bool hasValue = false;
        std::string shown = arg;
        if (arg[1] == '-') {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
            shown = "--" + name;
            spec = FindLong(specs, name);
            if (spec && eq != std::string::npos) {
                if (!spec->takesValue) throw UsageError(shown + " takes no value");
                value = arg.substr(eq + 1);
                hasValue = true;
            }
        } else if (arg.size() == 2) {
            spec = FindShort(specs, arg[1]);
        }
        if (!spec) throw UsageError("unknown option " + shown);
        if (spec->takesValue && !hasValue) {
            if (i + 1 >= args.size()) throw UsageError(shown + " needs a value");
            value = args[++i];
        }
        m_given.insert(spec->name);
        if (spec->takesValue) m_values[spec->name] = value;
    }
}

const std::string& Arguments::Value(const std::string& name, const std::string& fallback) const {
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

}  // namespace glyphary::tool
