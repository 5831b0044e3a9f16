// The user-agent rule matcher against the plain loop (each rule compiled and tried with
// regex_match in turn) on arbitrary rule sets: every line of the input but the last is a
// pattern, the last is the User-Agent, each byte one unit. The first matching rule, or the
// ill-formed rule reached first, must be the same; where the plain loop's engine gives up at
// a rule, nothing it answered before may change, and the matcher may give up only where the
// plain loop got to.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <boost/regex.hpp>

#include "convert/pattern_facts.h"
#include "convert/rules.h"

namespace {

using namespace glyphary;

void Check(bool condition) {
    if (!condition) std::abort();
}

constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::wstring> lines(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines.emplace_back();
        } else {
            lines.back().push_back(static_cast<wchar_t>(data[i]));
        }
    }
    const std::wstring userAgent = lines.back();
    lines.pop_back();
    // Patterns the engine would never finish compiling are refused before it sees them; long
    // ones only make the engine slow.
    if (lines.size() > 16 || userAgent.size() > 200) return 0;
    UserAgentRules rules;
    for (const std::wstring& pattern : lines) {
        if (pattern.size() > 48 || HangsTheRegexCompiler(pattern)) return 0;
        rules.Append(static_cast<int32_t>(rules.size()), pattern);
    }

    // The plain loop: the first rule that matches, or where it stopped.
    size_t plain = kNone, illFormed = kNone, gaveUp = kNone;
    for (size_t i = 0; i < rules.size() && plain == kNone; ++i) {
        std::optional<boost::wregex> regex;
        try {
            regex.emplace(rules[i].pattern, boost::regex_constants::normal);
        } catch (const boost::regex_error&) {
            illFormed = i;
            break;
        }
        try {
            if (boost::regex_match(userAgent.begin(), userAgent.end(), *regex)) plain = i;
        } catch (const std::runtime_error&) {
            gaveUp = i;
            break;
        }
    }

    size_t fast = kNone, fastIllFormed = kNone, fastGaveUp = kNone;
    try {
        fast = FirstMatchingRule(userAgent, rules).value_or(kNone);
    } catch (const RuleError& e) {
        (e.kind() == RuleError::Kind::illFormed ? fastIllFormed : fastGaveUp) = e.rule();
    }

    const size_t reached = std::min({plain, illFormed, gaveUp});  // the plain loop got there
    if (gaveUp != kNone) {
        Check(fast >= gaveUp && fastIllFormed >= gaveUp);
    } else if (fastGaveUp != kNone) {
        Check(fastGaveUp <= reached);
    } else {
        Check(fast == plain && fastIllFormed == illFormed);
    }
    return 0;
}
