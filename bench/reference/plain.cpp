#include "reference/plain.h"

#include <boost/format.hpp>
#include <boost/regex.hpp>

namespace glyphary::reference {

namespace {

std::wstring ApplyFormat(const std::wstring& format, const std::wstring& argument) {
    boost::wformat f(format);
    f.exceptions(boost::io::all_error_bits ^ boost::io::too_many_args_bit);
    f % argument;
    return f.str();
}

}  // namespace

std::wstring Globalize(std::wstring_view input, const ModeTable& codeToId,
                       const std::wstring& format, const std::wstring& undefinedFormat) {
    std::wstring output;
    for (const wchar_t unit : input) {
        const std::wstring key(1, unit);
        const auto it = codeToId.entries().find(key);
        if (it == codeToId.entries().end()) {
            output += unit;
        } else if (!it->second.empty()) {
            output += ApplyFormat(format, it->second);
        } else if (!undefinedFormat.empty()) {
            output += ApplyFormat(undefinedFormat, it->first);
        }
    }
    return output;
}

std::wstring Localize(std::wstring_view input, const std::wstring& pattern,
                      const ModeTable& idToCode, const std::wstring& undefinedFormat) {
    std::wstring output;
    const wchar_t* pos = input.data();
    const wchar_t* const end = pos + input.size();
    for (;;) {
        const boost::wregex regex(pattern, boost::regex_constants::normal);
        boost::match_results<const wchar_t*> m;
        if (!boost::regex_search(pos, end, m, regex, boost::regex_constants::match_default)) break;
        output.append(pos, m[0].first);
        const std::wstring id = m[1].matched ? m[1].str() : std::wstring();
        const auto it = idToCode.entries().find(id);
        if (it != idToCode.entries().end()) {
            output += it->second;
        } else if (!undefinedFormat.empty()) {
            output += ApplyFormat(undefinedFormat, id);
        }
        pos = m[0].second;
        if (m[0].first == m[0].second) {
            if (pos == end) break;
            output += *pos++;
        }
    }
    output.append(pos, end);
    return output;
}

int32_t UserAgentId(std::wstring_view userAgent, const UserAgentRules& rules) {
    for (const UserAgentRule& rule : rules) {
        const boost::wregex regex(rule.pattern, boost::regex_constants::normal);
        if (boost::regex_match(userAgent.begin(), userAgent.end(), regex,
                               boost::regex_constants::match_default))
            return rule.id;
    }
    return 0;
}

}  // namespace glyphary::reference
