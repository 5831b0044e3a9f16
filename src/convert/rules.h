// How the module reads its patterns and format strings, as pure functions that name no
// HRESULT: the module maps their failures to its codes, and its clients check what they are
// about to send, or find which user-agent rule matched, by exactly the same rules.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/regex_fwd.hpp>

#include "tables/tables.h"

namespace glyphary {

/// A pattern or format that cannot be used, or a search the regex engine gave up on.
class RuleError : public std::runtime_error {
  public:
    enum class Kind {
        illFormed,  ///< the pattern or format is not well-formed (or needs a second argument)
        gaveUp,     ///< the regex engine hit its complexity or memory limit
    };
    static constexpr size_t kNoRule = static_cast<size_t>(-1);

    RuleError(Kind kind, const std::string& message, size_t rule = kNoRule)
        : std::runtime_error(message), m_kind(kind), m_rule(rule) {}
    Kind kind() const noexcept { return m_kind; }
    /// The index of the user-agent rule concerned, or kNoRule.
    size_t rule() const noexcept { return m_rule; }

  private:
    Kind m_kind;
    size_t m_rule;
};

/// `pattern` compiled as LocalizePattern and user-agent patterns are: Perl syntax, the
/// library's default options. Throws RuleError(illFormed), also for a pattern that the regex
/// library would never finish compiling (see HangsTheRegexCompiler).
std::shared_ptr<const boost::wregex> CompilePattern(std::wstring_view pattern);

/// `format` applied to one argument as every format property is: a boost::wformat with
/// too_many_args_bit cleared, so an unused argument is no error. Throws RuleError(illFormed)
/// when the format is ill-formed or refers to a second argument.
std::wstring FormatOne(const std::wstring& format, std::wstring_view argument);

/// The index of the first rule whose pattern matches all of `userAgent`, or none. The rules
/// are compiled together by the first call; a rule made of literal text and `.*` alone is
/// matched without the regex engine, and the literal text that starts such rules, or that
/// they look for anywhere, is searched for all of them at once. Throws RuleError naming the
/// rule: an ill-formed pattern that is reached, or the regex engine giving up.
std::optional<size_t> FirstMatchingRule(std::wstring_view userAgent, const UserAgentRules& rules);

}  // namespace glyphary
