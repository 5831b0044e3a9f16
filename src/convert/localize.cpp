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
#include "text/simd.h"
#include "text/unit_search_blocks.h"

namespace glyphary {

namespace {

// ---------------------------------------------------------------------------------------------
// The search for the units every match starts with. The fast paths compare the first and the
// last unit of the needle at a block of places at once, and only the places where both agree
// are compared whole; what is left at the end goes to the scalar search.

using FindUnitsFn = size_t (*)(const wchar_t* text, size_t size, const wchar_t* needle, size_t n);

size_t FindUnitsScalar(const wchar_t* text, size_t size, const wchar_t* needle, size_t n) {
    return std::wstring_view(text, size).find(std::wstring_view(needle, n));
}

// Whether needle[1, n - 1) is at text + 1: the units between the two already compared.
inline bool MiddleMatches(const wchar_t* text, const wchar_t* needle, size_t n) {
    for (size_t k = 1; k + 1 < n; ++k)
        if (text[k] != needle[k]) return false;
    return true;
}

#if GLYPHARY_SIMD_X86
// wchar_t is 16 bits on Windows and 32 elsewhere: a lane holds one unit either way, and
// movemask gives each lane sizeof(wchar_t) bits.
constexpr bool kNarrow = sizeof(wchar_t) == 2;
constexpr unsigned kUnitBits = sizeof(wchar_t);
constexpr uint32_t kLaneBits = (1u << kUnitBits) - 1;

// The first place of a block at text[i] where the needle is, among those whose first and last
// units agree (set in `mask`, as movemask gives them); npos when none.
inline size_t Verify(uint32_t mask, const wchar_t* text, size_t i, const wchar_t* needle,
                     size_t n) {
    for (; mask;) {
        const auto bit = static_cast<unsigned>(__builtin_ctz(mask));
        const size_t at = i + bit / kUnitBits;
        if (MiddleMatches(text + at, needle, n)) return at;
        mask &= ~(kLaneBits << bit);
    }
    return std::wstring_view::npos;
}

GLYPHARY_TARGET_SSE2 inline __m128i Splat128(wchar_t unit) {
    return kNarrow ? _mm_set1_epi16(static_cast<short>(unit))
                   : _mm_set1_epi32(static_cast<int>(unit));
}

// The lanes of the block at `at` whose unit is `first` and whose unit n - 1 further is `last`.
GLYPHARY_TARGET_SSE2 inline __m128i Candidates128(const wchar_t* at, size_t n, __m128i first,
                                                  __m128i last) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + n - 1));
    return kNarrow ? _mm_and_si128(_mm_cmpeq_epi16(a, first), _mm_cmpeq_epi16(b, last))
                   : _mm_and_si128(_mm_cmpeq_epi32(a, first), _mm_cmpeq_epi32(b, last));
}

GLYPHARY_TARGET_SSE2 size_t FindUnitsSse2(const wchar_t* text, size_t size, const wchar_t* needle,
                                          size_t n) {
    if (n == 1) {  // the text layer's search for one unit
        const size_t at =
            text::blocks::SearchSse2(text, size, text::blocks::EqualTo<wchar_t>{needle[0]});
        return at < size ? at : std::wstring_view::npos;
    }
    constexpr size_t kLanes = 16 / sizeof(wchar_t);
    const __m128i first = Splat128(needle[0]), last = Splat128(needle[n - 1]);
    size_t i = 0;
    for (; i + n - 1 + kLanes <= size; i += kLanes) {
        const auto mask =
            static_cast<uint32_t>(_mm_movemask_epi8(Candidates128(text + i, n, first, last)));
        if (mask) {
            if (const size_t at = Verify(mask, text, i, needle, n); at != std::wstring_view::npos)
                return at;
        }
    }
    const size_t rest = FindUnitsScalar(text + i, size - i, needle, n);
    return rest == std::wstring_view::npos ? rest : i + rest;
}

GLYPHARY_TARGET_AVX2 inline __m256i Splat256(wchar_t unit) {
    return kNarrow ? _mm256_set1_epi16(static_cast<short>(unit))
                   : _mm256_set1_epi32(static_cast<int>(unit));
}

GLYPHARY_TARGET_AVX2 inline __m256i Candidates256(const wchar_t* at, size_t n, __m256i first,
                                                  __m256i last) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + n - 1));
    return kNarrow ? _mm256_and_si256(_mm256_cmpeq_epi16(a, first), _mm256_cmpeq_epi16(b, last))
                   : _mm256_and_si256(_mm256_cmpeq_epi32(a, first), _mm256_cmpeq_epi32(b, last));
}

// Two blocks a step while neither holds a candidate, then one, then the scalar search.
GLYPHARY_TARGET_AVX2 inline size_t FindUnitsAvx2Loop(const wchar_t* text, size_t size,
                                                     const wchar_t* needle, size_t n) {
    constexpr size_t kLanes = 32 / sizeof(wchar_t);
    const __m256i first = Splat256(needle[0]), last = Splat256(needle[n - 1]);
    size_t i = 0;
    for (; i + n - 1 + 2 * kLanes <= size; i += 2 * kLanes) {
        const __m256i low = Candidates256(text + i, n, first, last);
        const __m256i high = Candidates256(text + i + kLanes, n, first, last);
        const __m256i any = _mm256_or_si256(low, high);
        if (_mm256_testz_si256(any, any)) continue;
        size_t at = Verify(static_cast<uint32_t>(_mm256_movemask_epi8(low)), text, i, needle, n);
        if (at == std::wstring_view::npos)
            at = Verify(static_cast<uint32_t>(_mm256_movemask_epi8(high)), text, i + kLanes, needle,
                        n);
        if (at != std::wstring_view::npos) return at;
    }
    for (; i + n - 1 + kLanes <= size; i += kLanes) {
        const auto mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(Candidates256(text + i, n, first, last)));
        if (mask) {
            if (const size_t at = Verify(mask, text, i, needle, n); at != std::wstring_view::npos)
                return at;
        }
    }
    const size_t rest = FindUnitsScalar(text + i, size - i, needle, n);
    return rest == std::wstring_view::npos ? rest : i + rest;
}

GLYPHARY_TARGET_AVX2 size_t FindUnitsAvx2(const wchar_t* text, size_t size, const wchar_t* needle,
                                          size_t n) {
    if (n == 1) {  // the text layer's search for one unit
        const size_t at =
            text::blocks::SearchAvx2(text, size, text::blocks::EqualTo<wchar_t>{needle[0]});
        return at < size ? at : std::wstring_view::npos;
    }
    return FindUnitsAvx2Loop(text, size, needle, n);
}
#endif

constexpr text::simd::Paths<FindUnitsFn> kFindUnits = {
    .scalar = FindUnitsScalar,
#if GLYPHARY_SIMD_X86
    .sse2 = FindUnitsSse2,
    .avx2 = FindUnitsAvx2,
#endif
};

// ---------------------------------------------------------------------------------------------
// Matches

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
bool SearchRegex(FindUnitsFn find, const wchar_t* pos, const wchar_t* end, const LocalizeRegex& rx,
                 boost::match_results<const wchar_t*>& m, Found& found) {
    try {
        const wchar_t* from = pos;
        if (!rx.prefix.empty()) {
            const size_t at =
                find(pos, static_cast<size_t>(end - pos), rx.prefix.data(), rx.prefix.size());
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
bool SearchSimple(FindUnitsFn find, const wchar_t* pos, const wchar_t* end, const SimpleMatcher& s,
                  Found& found) {
    const std::wstring_view text(pos, static_cast<size_t>(end - pos));
    const size_t p = s.before.size();
    for (size_t at = find(text.data(), text.size(), s.before.data(), p);
         at != std::wstring_view::npos;) {
        const size_t run = at + p;
        size_t stop = run;
        while (stop < text.size() && s.Member(text[stop])) ++stop;
        if (stop - run >= s.minRun && text.substr(stop).starts_with(s.after)) {
            found = {pos + at, pos + stop + s.after.size(), pos + run, pos + stop};
            return true;
        }
        const size_t from = std::max(at + 1, stop + 1 > p ? stop + 1 - p : 0);
        if (from > text.size()) break;
        at = find(text.data() + from, text.size() - from, s.before.data(), p);
        if (at != std::wstring_view::npos) at += from;
    }
    return false;
}

}  // namespace

size_t FindUnits(std::wstring_view text, std::wstring_view units) noexcept {
    if (units.empty()) return 0;
    return kFindUnits.Choose()(text.data(), text.size(), units.data(), units.size());
}

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
    const FindUnitsFn find = kFindUnits.Choose();  // once per call, not per match
    while (rx.simple ? SearchSimple(find, pos, end, *rx.simple, found)
                     : SearchRegex(find, pos, end, rx, *m, found)) {
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
