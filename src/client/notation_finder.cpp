#include "client/notation_finder.h"

#include <algorithm>
#include <bitset>

#include <boost/regex.hpp>

#include "client/errors.h"
#include "convert/pattern_facts.h"
#include "convert/rules.h"

namespace glyphary::client {

// A pattern of the shape P(C+)S (see SimpleShape): found without the regex engine, and
// settled as soon as no occurrence of P can still be part of a match.
struct NotationFinder::Simple {
    explicit Simple(const SimpleShape& shape)
        : before(shape.before.begin(), shape.before.end()),
          after(shape.after.begin(), shape.after.end()),
          minRun(shape.minRun) {
        for (const auto& [low, high] : shape.ranges)
            for (uint32_t u = static_cast<uint32_t>(low); u <= static_cast<uint32_t>(high); ++u)
                if (u <= 0xFFFF) members[u] = true;
        if (shape.negated) members.flip();
        const auto isAscii = [](char16_t u) { return u < 0x80; };
        ascii = std::all_of(before.begin(), before.end(), isAscii) &&
                std::all_of(after.begin(), after.end(), isAscii);
        for (size_t u = 0x80; ascii && u < members.size(); ++u) ascii = !members[u];
    }
    std::u16string before, after;
    size_t minRun;
    std::bitset<0x10000> members;
    // Everything it looks for is ASCII: in UTF-8 each byte of a character beyond ASCII is as
    // foreign to it as the character, and an id's bytes are its units.
    bool ascii;
};

NotationFinder::NotationFinder(std::u16string_view pattern) {
    const std::wstring wide(pattern.begin(), pattern.end());  // one unit per wchar_t, as the module
    try {
        m_regex = CompilePattern(wide);
    } catch (const RuleError& e) {
        throw ClientError(std::string("LocalizePattern: ") + e.what());
    }
    PatternFacts facts = AnalyzePattern(wide);
    m_prefix = std::move(facts.prefix);
    m_afterLineFeeds = facts.splitsAfterLineFeed;
    if (facts.simple) m_simple = std::make_unique<const Simple>(*facts.simple);
}

NotationFinder::~NotationFinder() = default;

size_t NotationFinder::Find(std::u16string_view text, bool final,
                            FunctionRef<void(const NotationMatch&)> found) const {
    return m_simple ? FindSimple(text, final, found) : FindRegex(text, final, found);
}

bool NotationFinder::FindsInUtf8() const noexcept {
    return m_simple && m_simple->ascii;
}

size_t NotationFinder::Find(std::string_view bytes, bool final,
                            FunctionRef<void(const NotationMatch&)> found) const {
    return FindSimple(bytes, final, found);
}

namespace {

// Whether `units` stand in `text` at `at`: a notation's affixes are a unit or two, compared
// here with no call.
template <class Unit>
bool UnitsAt(std::basic_string_view<Unit> text, size_t at, std::u16string_view units) {
    if (at > text.size() || text.size() - at < units.size()) return false;
    for (size_t i = 0; i < units.size(); ++i)
        if (AsUnit(text[at + i]) != units[i]) return false;
    return true;
}

// Whether `text` is where `units` begin.
template <class Unit>
bool BeginsOf(std::u16string_view units, std::basic_string_view<Unit> text) {
    return text.size() <= units.size() && UnitsAt(text, 0, units.substr(0, text.size()));
}

size_t FindIn(UnitSearch search, std::u16string_view text, char16_t unit, size_t from) {
    return FindUnit(search, text, unit, from);
}
size_t FindIn(UnitSearch, std::string_view text, char16_t unit, size_t from) {
    return text.find(static_cast<char>(unit), from);
}

}  // namespace

template <class Unit>
size_t NotationFinder::FindSimple(std::basic_string_view<Unit> text, bool final,
                                  FunctionRef<void(const NotationMatch&)> found) const {
    const Simple& s = *m_simple;
    const size_t n = text.size();
    const size_t p = s.before.size();
    size_t settled = 0;  // after the last match
    size_t from = 0;     // where the search for P goes on
    for (;;) {
        size_t at = from;
        if (p > 0) {
            // P's first unit found by the vector search, the rest compared where it stands.
            while ((at = FindIn(m_search, text, s.before[0], at)) != text.npos &&
                   !UnitsAt(text, at + 1, std::u16string_view(s.before).substr(1)))
                ++at;
        }
        if (at == text.npos || at > n) {
            // A P may begin in the last p - 1 units. Occurrences of P skipped before `from`
            // fail whatever follows (below), so searching again from an earlier place finds
            // what this search finds.
            return final ? n : std::max(settled, n >= p ? n - p + 1 : 0);
        }
        const size_t run = at + p;
        size_t stop = run;
        while (stop < n && stop - run <= kMaxIdUnits && s.members[AsUnit(text[stop])]) ++stop;
        if (stop - run > kMaxIdUnits) {
            // No notation: a P inside the run has a shorter one and may begin one.
            from = at + 1;
            continue;
        }
        if (stop == n && !final) return at;  // the run may go on in the next piece
        if (stop - run >= s.minRun) {
            const std::basic_string_view<Unit> rest = text.substr(stop);
            if (rest.size() < s.after.size() && !final && BeginsOf(s.after, rest))
                return at;  // S may be completed by the next piece
            if (UnitsAt(text, stop, s.after)) {
                found({at, stop + s.after.size(), run, stop});
                settled = from = stop + s.after.size();
                continue;
            }
        }
        // As Localize reads it: an occurrence of P inside the failed run has the same run
        // end and fails too.
        from = std::max(at + 1, stop + 1 > p ? stop + 1 - p : 0);
    }
}

size_t NotationFinder::FindRegex(std::u16string_view text, bool final,
                                 FunctionRef<void(const NotationMatch&)> found) const {
    size_t end = text.size();
    if (!final) {
        // Without facts that show where a match cannot reach across, only after a line feed.
        const size_t lf = m_afterLineFeeds ? text.rfind(u'\n') : std::u16string_view::npos;
        if (lf == std::u16string_view::npos) return 0;
        end = lf + 1;
    }
    const std::wstring wide(text.begin(), text.begin() + static_cast<ptrdiff_t>(end));
    const wchar_t* const begin = wide.data();
    const wchar_t* const last = begin + wide.size();
    const wchar_t* pos = begin;
    boost::match_results<const wchar_t*> m;
    while (pos <= last) {
        // As Localize searches: each search a new text starting at `pos`, begun at the first
        // place holding the prefix every match starts with.
        const wchar_t* from = pos;
        if (!m_prefix.empty()) {
            const size_t at =
                std::wstring_view(pos, static_cast<size_t>(last - pos)).find(m_prefix);
            if (at == std::wstring_view::npos) break;
            from = pos + at;
        }
        try {
            if (!boost::regex_search(from, last, m, *m_regex, boost::regex_constants::match_default,
                                     pos))
                break;
        } catch (const std::runtime_error& e) {
            throw ClientError(std::string("LocalizePattern: ") + e.what());
        }
        NotationMatch match{static_cast<size_t>(m[0].first - begin),
                            static_cast<size_t>(m[0].second - begin), 0, 0};
        if (m.size() > 1 && m[1].matched) {
            match.idBegin = static_cast<size_t>(m[1].first - begin);
            match.idEnd = static_cast<size_t>(m[1].second - begin);
        }
        found(match);
        pos = m[0].second;
        if (m[0].first == m[0].second) {
            if (pos == last) break;
            ++pos;  // after an empty match the next unit is text
        }
    }
    return end;
}

}  // namespace glyphary::client
