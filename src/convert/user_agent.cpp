// GetUserAgentID: the first rule whose pattern matches the whole User-Agent string.
#include <boost/container/small_vector.hpp>

#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/rules.h"
#include "platform/olestr.h"

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

int32_t FindUserAgentId(const OLECHAR* userAgent, const UserAgentRules& rules) {
    if (rules.empty()) return 0;  // the string is not even read
    const size_t n = OleLength(userAgent);
    if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
        return FindUserAgentId({reinterpret_cast<const wchar_t*>(userAgent), n}, rules);
    } else {
        // Widened on the stack when it is as short as User-Agents are.
        boost::container::small_vector<wchar_t, 512> wide(n, boost::container::default_init);
        wchar_t* const units = wide.data();
        for (size_t i = 0; i < n; ++i)
            units[i] = static_cast<wchar_t>(static_cast<uint16_t>(userAgent[i]));
        return FindUserAgentId({units, n}, rules);
    }
}

}  // namespace glyphary
