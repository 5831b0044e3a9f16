// Localize: neutral notation found by LocalizePattern becomes carrier codes.
#include <algorithm>
#include <optional>
#include <unordered_map>

#include <boost/regex.hpp>

#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/format.h"
#include "convert/pattern_facts.h"
#include "convert/rules.h"

namespace glyphary {

namespace {

std::wstring Describe(std::wstring_view what, const std::exception& e) {
    std::wstring description(what);
    description += L": ";
    description += WidenMessage(e.what());
    return description;
}

// A match: the whole of it and its first group (null when the group took no part).
struct Found {
    const wchar_t* begin = nullptr;
    const wchar_t* end = nullptr;
    const wchar_t* idBegin = nullptr;
    const wchar_t* idEnd = nullptr;
};

// The next match at or after `pos`, with `pos` as the start of the text. When every match
// must begin with known units, the search starts at the first place holding them instead:
// one ordinary search, whose text still starts at `pos` (so anchors, word boundaries and
// look-behind see exactly what a search from `pos` would see), and which costs the engine
// no more than the search from `pos` would (one attempt per place would give each its own
// complexity budget).
bool SearchRegex(const wchar_t* pos, const wchar_t* end, const LocalizeRegex& rx,
                 boost::match_results<const wchar_t*>& m, Found& found) {
    try {
        const wchar_t* from = pos;
        if (!rx.prefix.empty()) {
            const std::wstring_view rest(pos, static_cast<size_t>(end - pos));
            const size_t at = rest.find(rx.prefix);
            if (at == std::wstring_view::npos) return false;
            from = pos + at;
        }
        if (!boost::regex_search(from, end, m, *rx.regex, boost::regex_constants::match_default,
                                 pos))
            return false;
    } catch (const std::runtime_error& e) {
        // The engine's complexity and memory limits; the pattern itself compiled.
        throw ConversionError(E_FAIL, Describe(L"LocalizePattern", e));
    }
    found = {m[0].first, m[0].second, nullptr, nullptr};
    if (m.size() > 1 && m[1].matched) found.idBegin = m[1].first, found.idEnd = m[1].second;
    return true;
}

// The same for a pattern of the shape P(C+)S (see SimpleShape), without the engine: the first
// occurrence of P whose longest run of members is long enough and followed by S. A run that
// fails fails for every occurrence of P starting inside it too (they end in the same place),
// so the scan never looks at a unit twice per unit of P.
bool SearchSimple(const wchar_t* pos, const wchar_t* end, const SimpleMatcher& s, Found& found) {
    const std::wstring_view text(pos, static_cast<size_t>(end - pos));
    const size_t p = s.before.size();
    for (size_t at = text.find(s.before); at != std::wstring_view::npos;) {
        const size_t run = at + p;
        size_t stop = run;
        while (stop < text.size() && s.Member(text[stop])) ++stop;
        if (stop - run >= s.minRun && text.substr(stop).starts_with(s.after)) {
            found = {pos + at, pos + stop + s.after.size(), pos + run, pos + stop};
            return true;
        }
        at = text.find(s.before, std::max(at + 1, stop + 1 > p ? stop + 1 - p : 0));
    }
    return false;
}

}  // namespace

SimpleMatcher::SimpleMatcher(const SimpleShape& shape)
    : before(shape.before), after(shape.after), minRun(shape.minRun) {
    for (const auto& [low, high] : shape.ranges)
        for (uint32_t u = static_cast<uint32_t>(low); u <= static_cast<uint32_t>(high); ++u)
            if (u <= 0xFFFF) m_members[u] = true;
    if (shape.negated) m_members.flip();
}

LocalizeRegex CompileLocalizePattern(const std::wstring& pattern) {
    LocalizeRegex result;
    result.pattern = pattern;
    try {
        result.regex = CompilePattern(pattern);
    } catch (const RuleError& e) {
        throw ConversionError(E_INVALIDARG, Describe(L"LocalizePattern", e));
    }
    PatternFacts facts = AnalyzePattern(pattern);
    result.prefix = std::move(facts.prefix);
    if (facts.simple) result.simple = std::make_shared<const SimpleMatcher>(*facts.simple);
    return result;
}

void LocalizeText(std::wstring_view input, const LocalizeRegex& rx, const ModeTable& idToCode,
                  const std::wstring& undefinedFormat, std::wstring& out) {
    LocalizeText(input, rx, idToCode, PreparedFormat(undefinedFormat), out);
}

void LocalizeText(std::wstring_view input, const LocalizeRegex& rx, const ModeTable& idToCode,
                  const PreparedFormat& undefinedFormat, std::wstring& out) {
    const wchar_t* pos = input.data();
    const wchar_t* const end = pos + input.size();
    out.reserve(out.size() + input.size());
    // A format that needs Boost.Format is applied once per distinct id.
    std::unordered_map<std::wstring, std::wstring> undefinedOutputs;
    // A thread-local would keep its storage between calls, but its destructor would pin the
    // module in memory after FreeLibrary; one allocation per call is cheap.
    std::optional<boost::match_results<const wchar_t*>> m;
    if (!rx.simple) m.emplace();
    Found found;
    while (rx.simple ? SearchSimple(pos, end, *rx.simple, found)
                     : SearchRegex(pos, end, rx, *m, found)) {
        out.append(pos, found.begin);
        const std::wstring_view id =
            found.idBegin
                ? std::wstring_view(found.idBegin, static_cast<size_t>(found.idEnd - found.idBegin))
                : std::wstring_view();
        if (const std::wstring* code = idToCode.Find(id)) {
            out += *code;
        } else if (undefinedFormat.joined()) {
            undefinedFormat.AppendTo(out, id, L"LocalizeUndefinedFormat");
        } else {
            auto it = undefinedOutputs.find(std::wstring(id));
            if (it == undefinedOutputs.end()) {
                it = undefinedOutputs
                         .emplace(std::wstring(id), ApplyFormat(undefinedFormat.text(), id,
                                                                L"LocalizeUndefinedFormat"))
                         .first;
            }
            out += it->second;
        }
        pos = found.end;
        if (found.begin == found.end) {
            // An empty match: copy the next unit and search on after it, so the loop always
            // moves forward.
            if (pos == end) break;
            out += *pos++;
        }
    }
    out.append(pos, end);
}

}  // namespace glyphary
