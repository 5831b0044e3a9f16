#include "convert/rules.h"

#include <boost/format.hpp>
#include <boost/regex.hpp>

#include "convert/pattern_facts.h"

namespace glyphary {

std::shared_ptr<const boost::wregex> CompilePattern(std::wstring_view pattern) {
    if (HangsTheRegexCompiler(pattern))
        throw RuleError(RuleError::Kind::illFormed, kHangingPatternMessage);
    try {
        return std::make_shared<const boost::wregex>(pattern.begin(), pattern.end(),
                                                     boost::regex_constants::normal);
    } catch (const boost::regex_error& e) {
        throw RuleError(RuleError::Kind::illFormed, e.what());
    }
}

std::wstring FormatOne(const std::wstring& format, std::wstring_view argument) {
    try {
        boost::wformat f(format);
        f.exceptions(boost::io::all_error_bits ^ boost::io::too_many_args_bit);
        f % std::wstring(argument);
        return f.str();
    } catch (const boost::io::format_error& e) {
        throw RuleError(RuleError::Kind::illFormed, e.what());
    }
}

namespace {

// The rule compiled, by the first call that reaches it.
const CompiledRule& Compiled(const UserAgentRule& rule, size_t index) {
    std::call_once(rule.compileOnce, [&rule] {
        auto compiled = std::make_shared<CompiledRule>();
        try {
            compiled->regex = CompilePattern(rule.pattern);
            PatternFacts facts = AnalyzePattern(rule.pattern);
            compiled->prefix = std::move(facts.prefix);
            compiled->required = std::move(facts.required);
            if (facts.trailingAny) {
                compiled->inner = CompilePattern(facts.inner);  // well-formed, as the whole is
                compiled->innerAnywhere = facts.leadingAny;
            }
        } catch (const RuleError& e) {
            if (!compiled->regex) compiled->error = e.what();
            compiled->inner.reset();  // the whole is used then
        }
        rule.compiled = std::move(compiled);
    });
    if (!rule.compiled->regex)
        throw RuleError(RuleError::Kind::illFormed, rule.compiled->error, index);
    return *rule.compiled;
}

// Whether `text` holds the literal text that every match of the rule holds. When it does not,
// the rule cannot match and the engine need not be asked.
bool MayMatch(std::wstring_view text, const CompiledRule& rule) {
    if (!text.starts_with(rule.prefix)) return false;
    for (const std::wstring& run : rule.required) {
        if (text.find(run) == std::wstring_view::npos) return false;
    }
    return true;
}

bool Matches(const wchar_t* first, const wchar_t* last, const CompiledRule& rule) {
    using namespace boost::regex_constants;
    if (!rule.inner) return boost::regex_match(first, last, *rule.regex, match_default);
    boost::match_results<const wchar_t*> m;
    return boost::regex_search(first, last, m, *rule.inner,
                               rule.innerAnywhere ? match_default : match_continuous);
}

}  // namespace

std::optional<size_t> FirstMatchingRule(std::wstring_view userAgent, const UserAgentRules& rules) {
    const wchar_t* const first = userAgent.data();
    const wchar_t* const last = first + userAgent.size();
    for (size_t index = 0; index < rules.size(); ++index) {
        const CompiledRule& compiled = Compiled(rules[index], index);
        if (!MayMatch(userAgent, compiled)) continue;
        try {
            if (Matches(first, last, compiled)) return index;
        } catch (const std::runtime_error& e) {
            throw RuleError(RuleError::Kind::gaveUp, e.what(), index);
        }
    }
    return std::nullopt;
}

}  // namespace glyphary
