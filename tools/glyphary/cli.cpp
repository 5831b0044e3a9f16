#include "cli.h"

namespace glyphary::tool {
namespace {

const OptionDef* FindLong(const std::vector<OptionDef>& known, const std::string& name) {
    for (const OptionDef& def : known)
        if (name == def.name) return &def;
    return nullptr;
}

const OptionDef* FindShort(const std::vector<OptionDef>& known, char letter) {
    for (const OptionDef& def : known)
        if (def.letter && def.letter == letter) return &def;
    return nullptr;
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& args, const std::vector<OptionDef>& known) {
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
        const OptionDef* def = nullptr;
        std::string value;
        bool hasValue = false;
        std::string shown = arg;
        if (arg[1] == '-') {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
            shown = "--" + name;
            def = FindLong(known, name);
            if (def && eq != std::string::npos) {
                if (!def->takesValue) throw UsageError(shown + " takes no value");
                value = arg.substr(eq + 1);
                hasValue = true;
            }
        } else {
            // -x, or -xVALUE for an option that takes one.
            def = FindShort(known, arg[1]);
            shown = arg.substr(0, 2);
            if (def && arg.size() > 2) {
                if (!def->takesValue) throw UsageError("unknown option " + arg);
                value = arg.substr(2);
                hasValue = true;
            }
        }
        if (!def) throw UsageError("unknown option " + shown);
        if (def->takesValue && !hasValue) {
            if (i + 1 >= args.size()) throw UsageError(shown + " needs a value");
            value = args[++i];
        }
        m_given.insert(def->name);
        if (def->takesValue) m_values[def->name] = value;
    }
}

const std::string& Arguments::Value(const std::string& name, const std::string& fallback) const {
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

}  // namespace glyphary::tool
