// GetUserAgentID: the first rule whose pattern matches the whole User-Agent string.
#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/rules.h"

namespace glyphary {

int32_t FindUserAgentId(std::wstring_view userAgent, const UserAgentRules& rules) {
    try {
        const std::optional<size_t> index = FirstMatchingRule(userAgent, rules);
        return index ? rules[*index].id : 0;
    } catch (const RuleError& e) {
        const UserAgentRule& rule = rules[e.rule()];
        std::wstring description = L"User-agent rule " + std::to_wstring(e.rule() + 1) + L" (id " +
                                   std::to_wstring(rule.id) + L", pattern \"" + rule.pattern +
                                   L"\"): " + WidenMessage(e.what());
        throw ConversionError(e.kind() == RuleError::Kind::illFormed ? E_INVALIDARG : E_FAIL,
                              std::move(description));
    }
}

}  // namespace glyphary
