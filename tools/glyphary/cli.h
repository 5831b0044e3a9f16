// The command line: options, their values and the usage errors that exit with status 2.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace glyphary::tool {

/// A command line that makes no sense: printed with a hint, exit status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// One option a command accepts: --name, an optional one-letter -x, and whether it takes a
/// value (--name VALUE, --name=VALUE, -x VALUE or -xVALUE).
struct OptionDef {
    const char* name;
    char letter;
    bool takesValue;
};

/// A parsed command line: the options given (the last value wins) and the operands in order.
class Arguments {
  public:
    /// Parses `args` against `known`. "--" ends the options; "-" is an operand (stdin).
    Arguments(const std::vector<std::string>& args, const std::vector<OptionDef>& known);

    bool Has(const std::string& name) const { return m_given.count(name) != 0; }
    /// The value of `name`, or `fallback` when it was not given.
    const std::string& Value(const std::string& name, const std::string& fallback = {}) const;
    const std::vector<std::string>& Operands() const noexcept { return m_operands; }

  private:
    std::set<std::string> m_given;
    std::map<std::string, std::string> m_values;
    std::vector<std::string> m_operands;
};

}  // namespace glyphary::tool
