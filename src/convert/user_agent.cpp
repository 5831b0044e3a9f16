// GetUserAgentID: the first rule whose pattern matches the whole User-Agent string.
#include <boost/regex.hpp>

#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/pattern_facts.h"

namespace glyphary {

namespace {

std::wstring DescribeRule(size_t index, const UserAgentRule& rule, std::string_view message) {
    std::wstring description = L"User-agent rule " + std::to_wstring(index + 1) + L" (id " +
                               std::to_wstring(rule.id) + L", pattern \"" + rule.pattern + L"\"): ";
    description += WidenMessage(message);
    return description;
}

// The rule compiled, by the first call that reaches it.
const CompiledRule& Compiled(const UserAgentRule& rule, size_t index) {
    std::call_once(rule.compileOnce, [&rule] {
        auto compiled = std::make_shared<CompiledRule>();
        if (HangsTheRegexCompiler(rule.pattern)) {
            compiled->error = kHangingPatternMessage;
            rule.compiled = std::move(compiled);
            return;
        }
        try {
            compiled->regex =
                std::make_shared<const boost::wregex>(rule.pattern, boost::regex_constants::normal);
            PatternFacts facts = AnalyzePattern(rule.pattern);
            compiled->prefix = std::move(facts.prefix);
            compiled->required = std::move(facts.required);
            if (facts.trailingAny) {
                try {
                    compiled->inner = std::make_shared<const boost::wregex>(
                        facts.inner, boost::regex_constants::normal);
                    compiled->innerAnywhere = facts.leadingAny;
                } catch (const boost::regex_error&) {
                    // Cannot happen for a well-formed whole; the whole is used then.
                }
            }
        } catch (const boost::regex_error& e) {
            compiled->error = e.what();
        }
        rule.compiled = std::move(compiled);
    });
    if (!rule.compiled->regex)
        throw ConversionError(E_INVALIDARG, DescribeRule(index, rule, rule.compiled->error));
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

int32_t FindUserAgentId(std::wstring_view userAgent, const UserAgentRules& rules) {
    const wchar_t* const first = userAgent.data();
    const wchar_t* const last = first + userAgent.size();
    size_t index = 0;
    for (const UserAgentRule& rule : rules) {
        const CompiledRule& compiled = Compiled(rule, index);
        if (MayMatch(userAgent, compiled)) {
            try {
                if (Matches(first, last, compiled)) return rule.id;
            } catch (const std::runtime_error& e) {
                throw ConversionError(E_FAIL, DescribeRule(index, rule, e.what()));
            }
        }
        ++index;
    }
    return 0;
}

}  // namespace glyphary
