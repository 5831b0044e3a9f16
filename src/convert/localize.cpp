// Localize: neutral notation found by LocalizePattern becomes carrier codes.
#include <unordered_map>

#include <boost/regex.hpp>

#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/format.h"
#include "convert/pattern_facts.h"
#include "convert/rules.h"

namespace glyphary {

namespace {

using Match = boost::match_results<const wchar_t*>;

std::wstring Describe(std::wstring_view what, const std::exception& e) {
    std::wstring description(what);
    description += L": ";
    description += WidenMessage(e.what());
    return description;
}

// The next match at or after `pos`, with `pos` as the start of the text. When every match
// must begin with known units, the search starts at the first place holding them instead:
// one ordinary search, whose text still starts at `pos` (so anchors, word boundaries and
// look-behind see exactly what a search from `pos` would see), and which costs the engine
// no more than the search from `pos` would (one attempt per place would give each its own
// complexity budget).
bool FindNext(const wchar_t* pos, const wchar_t* end, Match& m, const LocalizeRegex& rx) {
    try {
        const wchar_t* from = pos;
        if (!rx.prefix.empty()) {
            const std::wstring_view rest(pos, static_cast<size_t>(end - pos));
            const size_t at = rest.find(rx.prefix);
            if (at == std::wstring_view::npos) return false;
            from = pos + at;
        }
        return boost::regex_search(from, end, m, *rx.regex, boost::regex_constants::match_default,
                                   pos);
    } catch (const std::runtime_error& e) {
        // The engine's complexity and memory limits; the pattern itself compiled.
        throw ConversionError(E_FAIL, Describe(L"LocalizePattern", e));
    }
}

}  // namespace

LocalizeRegex CompileLocalizePattern(const std::wstring& pattern) {
    LocalizeRegex result;
    result.pattern = pattern;
    try {
        result.regex = CompilePattern(pattern);
    } catch (const RuleError& e) {
        throw ConversionError(E_INVALIDARG, Describe(L"LocalizePattern", e));
    }
    result.prefix = AnalyzePattern(pattern).prefix;
    return result;
}

void LocalizeText(std::wstring_view input, const LocalizeRegex& rx, const ModeTable& idToCode,
                  const std::wstring& undefinedFormat, std::wstring& out) {
    const wchar_t* pos = input.data();
    const wchar_t* const end = pos + input.size();
    out.reserve(out.size() + input.size());
    std::unordered_map<std::wstring, std::wstring> undefinedOutputs;  // formatted once per id
    // A thread-local would keep its storage between calls, but its destructor would pin the
    // module in memory after FreeLibrary; one allocation per call is cheap.
    Match m;
    while (FindNext(pos, end, m, rx)) {
        out.append(pos, m[0].first);
        const std::wstring_view id = m.size() > 1 && m[1].matched
                                         ? std::wstring_view(m[1].first, m[1].second - m[1].first)
                                         : std::wstring_view();
        if (const std::wstring* code = idToCode.Find(id)) {
            out += *code;
        } else if (!undefinedFormat.empty()) {
            auto it = undefinedOutputs.find(std::wstring(id));
            if (it == undefinedOutputs.end()) {
                it = undefinedOutputs
                         .emplace(std::wstring(id),
                                  ApplyFormat(undefinedFormat, id, L"LocalizeUndefinedFormat"))
                         .first;
            }
            out += it->second;
        }
        pos = m[0].second;
        if (m[0].first == m[0].second) {
            // An empty match: copy the next unit and search on after it, so the loop always
            // moves forward.
            if (pos == end) break;
            out += *pos++;
        }
    }
    out.append(pos, end);
}

}  // namespace glyphary
