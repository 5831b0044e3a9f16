// User-agent rules matched together. The definition is plain: each rule in turn, its pattern
// compiled and tried on the whole string with regex_match, the first that matches wins. Most
// rules of real configurations are literal text and `.*` (`DoCoMo/.*`, `.*\(iPhone;.*`,
// `(J-PHONE|Vodafone|SoftBank)/.*`): those are matched here without the engine, the literal
// text every such rule starts with is looked up for all of them in one walk of a prefix tree,
// and the text they look for anywhere is searched for in one pass over the string when there
// is much of it (one text at a time when there is little). The rules are still
// answered in order: a rule left to the engine, or an ill-formed one, is reached exactly when
// the plain loop would reach it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <mutex>

// Units are picked out four at a time where SSE2 is there and a unit is 32 bits wide.
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
#define GLYPHARY_RULES_SSE2 1
#include <emmintrin.h>
#endif

#include <boost/container/small_vector.hpp>
#include <boost/regex.hpp>

#include "convert/pattern_facts.h"
#include "convert/rules.h"

namespace glyphary {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

bool EqualAt(std::wstring_view text, size_t pos, std::wstring_view literal) {
    return text.size() - pos >= literal.size() &&
           std::memcmp(text.data() + pos, literal.data(), literal.size() * sizeof(wchar_t)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Literal rules

// One branch of a literal rule: S0 .* S1 ... .* Sk (see LiteralBranch), reduced to what each
// segment asks. A middle segment that may be empty asks nothing; a first or last one that may
// be empty asks no more than the `.*` beside it.
struct Branch {
    size_t rule = 0;
    std::vector<std::vector<std::wstring>> segments;
    size_t slot = kNone;  // its index in the search for text anywhere, when it starts with `.*`

    Branch(size_t index, LiteralBranch literal) : rule(index) {
        auto& all = literal.segments;
        const auto mayBeEmpty = [](const std::vector<std::wstring>& s) {
            return s.front().empty();
        };
        if (all.size() == 1) {
            segments = std::move(all);
            return;
        }
        for (size_t i = 0; i < all.size(); ++i) {
            const bool end = i == 0 || i + 1 == all.size();
            if (!mayBeEmpty(all[i])) {
                segments.push_back(std::move(all[i]));
            } else if (end) {
                segments.push_back({L""});
            }
        }
    }
    bool exact() const { return segments.size() == 1; }
    // Only literal text and then anything: the first segment decides.
    bool prefixOnly() const { return segments.size() == 2 && segments[1].front().empty(); }
    bool startsAnywhere() const { return !exact() && segments.front().front().empty(); }
};

// Whether segments [from, last] of `branch` follow in text[pos..], each after a `.*`. A middle
// segment is taken where it first ends, which leaves the rest the most room; the last one must
// end the text.
bool RestMatches(const Branch& branch, size_t from, size_t pos, std::wstring_view text) {
    const auto& segments = branch.segments;
    const size_t last = segments.size() - 1;
    for (size_t i = from; i < last; ++i) {
        size_t end = kNone;
        for (const std::wstring& s : segments[i]) {
            const size_t at = text.find(s, pos);
            if (at != std::wstring_view::npos) end = std::min(end, at + s.size());
        }
        if (end == kNone) return false;
        pos = end;
    }
    for (const std::wstring& s : segments[last]) {
        if (text.size() - pos >= s.size() && text.ends_with(s)) return true;
    }
    return false;
}

// The first segments of the branches that start with literal text, in a prefix tree whose
// edges carry whole runs of text: one walk from the start of the string finds every branch
// whose first segment begins it, shortest first.
class PrefixTree {
  public:
    void Insert(std::wstring_view key, size_t branch, bool exact) {
        uint32_t n = 0;
        size_t pos = 0;
        for (;;) {
            if (pos == key.size()) {
                (exact ? m_nodes[n].exactEnds : m_nodes[n].prefixEnds).push_back(branch);
                return;
            }
            uint32_t c = Child(n, key[pos]);
            if (c == 0) {
                c = NewNode(std::wstring(key.substr(pos)));
                AddChild(n, c);
                pos = key.size();
                n = c;
                continue;
            }
            const std::wstring_view label = m_nodes[c].label;
            const size_t common = static_cast<size_t>(
                std::mismatch(label.begin(), label.end(), key.begin() + static_cast<ptrdiff_t>(pos),
                              key.end())
                    .first -
                label.begin());
            if (common < label.size()) {  // the edge splits where the key leaves it
                const uint32_t middle = NewNode(std::wstring(label.substr(0, common)));
                m_nodes[c].label.erase(0, common);
                ReplaceChild(n, c, middle);
                AddChild(middle, c);
                c = middle;
            }
            n = c;
            pos += common;
        }
    }

    /// Calls found(branch, end) for each key that begins `text` (an exact key only when it is
    /// all of `text`), shorter keys first.
    template <class Found>
    void Walk(std::wstring_view text, Found&& found) const {
        uint32_t n = 0;
        size_t pos = 0;
        for (;;) {
            const Node& node = m_nodes[n];
            for (const size_t b : node.prefixEnds) found(b, pos);
            if (pos == text.size()) {
                for (const size_t b : node.exactEnds) found(b, pos);
                return;
            }
            n = Child(n, text[pos]);
            if (n == 0 || !EqualAt(text, pos, m_nodes[n].label)) return;
            pos += m_nodes[n].label.size();
        }
    }

  private:
    struct Node {
        std::wstring label;  // the text on the edge into this node
        std::vector<uint32_t> children;
        std::vector<size_t> prefixEnds, exactEnds;
    };

    uint32_t NewNode(std::wstring label) {
        m_nodes.push_back({std::move(label), {}, {}, {}});
        return static_cast<uint32_t>(m_nodes.size() - 1);
    }
    // The child of `n` whose edge starts with `unit`, or 0 (the root is no one's child).
    uint32_t Child(uint32_t n, wchar_t unit) const {
        const auto u = static_cast<uint32_t>(unit);
        if (n == 0 && u < m_root.size()) return m_root[u];
        for (const uint32_t c : m_nodes[n].children)
            if (m_nodes[c].label[0] == unit) return c;
        return 0;
    }
    void AddChild(uint32_t n, uint32_t c) {
        m_nodes[n].children.push_back(c);
        const auto u = static_cast<uint32_t>(m_nodes[c].label[0]);
        if (n == 0 && u < m_root.size()) m_root[u] = c;
    }
    void ReplaceChild(uint32_t n, uint32_t from, uint32_t to) {
        std::replace(m_nodes[n].children.begin(), m_nodes[n].children.end(), from, to);
        const auto u = static_cast<uint32_t>(m_nodes[to].label[0]);
        if (n == 0 && u < m_root.size()) m_root[u] = to;
    }

    std::vector<Node> m_nodes{Node{}};
    std::array<uint32_t, 128> m_root{};  // the root's children by ASCII unit
};

// The second segments of the branches that start with `.*`: for each branch, where the first
// occurrence of its text ends. Many texts are searched for together in one pass over the
// string, which goes only as far as the rules asked so far need it, and picks out the units
// that may begin a text sixteen at a time when there are few kinds of them. Up to eight texts
// are looked for one by one, and only those of the rules reached, each by the C library's
// search for its seldomest unit: measured on real User-Agents, that costs less than a pass of
// ours (at twenty texts the pass costs a third of the searches).
class AnywhereSearch {
  public:
    /// How far one string has been searched, and what was found.
    struct Progress {
        // Per slot: kNone while none found (kUnknown: not looked for, texts one by one).
        boost::container::small_vector<size_t, 8> ends;
        size_t next = 0;  // every occurrence starting before this has been seen
    };

    void Add(const std::vector<std::wstring>& texts, size_t slot) {
        for (const std::wstring& t : texts) m_texts.push_back({t, slot});
        m_slots = std::max(m_slots, slot + 1);
    }

    /// After the last Add: texts grouped by the low byte of their first unit.
    void Index() {
        std::vector<Text> texts;
        for (uint32_t low = 0; low < 256; ++low) {
            m_bucket[low] = static_cast<uint32_t>(texts.size());
            for (const Text& t : m_texts)
                if ((static_cast<uint32_t>(t.text[0]) & 0xFF) == low) texts.push_back(t);
        }
        m_bucket[256] = static_cast<uint32_t>(texts.size());
        m_texts = std::move(texts);
        for (const Text& t : m_texts) {
            if (std::find(m_firsts.begin(), m_firsts.end(), t.text[0]) == m_firsts.end())
                m_firsts.push_back(t.text[0]);
        }
        m_oneByOne = m_texts.size() <= kOneByOne;
    }

    size_t slots() const { return m_slots; }

    /// Where the earliest-ending occurrence of the slot's texts in `text` ends, or kNone: the
    /// search goes on from where `progress` left it until no later occurrence can end sooner.
    size_t End(std::wstring_view text, size_t slot, Progress& progress) const {
        if (m_oneByOne) {
            if (progress.ends.empty()) progress.ends.assign(m_slots, kUnknown);
            size_t& end = progress.ends[slot];
            if (end == kUnknown) {
                end = kNone;
                for (const Text& t : m_texts) {
                    if (t.slot != slot) continue;
                    const size_t at = Find(text, t);
                    if (at != std::wstring_view::npos) end = std::min(end, at + t.text.size());
                }
            }
            return end;
        }
        if (progress.ends.empty()) progress.ends.assign(m_slots, kNone);
        size_t* const ends = progress.ends.data();
#if GLYPHARY_RULES_SSE2
        switch (m_firsts.size()) {
            case 1:
                return Blocks<1>(text, slot, ends, progress.next);
            case 2:
                return Blocks<2>(text, slot, ends, progress.next);
            case 3:
                return Blocks<3>(text, slot, ends, progress.next);
            case 4:
                return Blocks<4>(text, slot, ends, progress.next);
            default:
                break;
        }
#endif
        size_t& next = progress.next;
        for (; next < std::min(text.size(), ends[slot]); ++next) TryAt(text, next, ends);
        return ends[slot];
    }

  private:
    static constexpr size_t kUnknown = kNone - 1;
    static constexpr size_t kOneByOne = 8;  // texts up to which each is looked for on its own

    struct Text {
        std::wstring text;
        size_t slot;
        size_t anchor = Anchor(text);  // the unit looked for when the text is looked for alone
    };

    // How often a unit turns up in User-Agents, roughly: letters, digits and the punctuation
    // of versions and comments everywhere, the capitals that begin their usual words often,
    // anything else seldom.
    static int Commonness(wchar_t unit) {
        if (unit >= 0x80) return 0;
        if ((unit >= L'a' && unit <= L'z') || (unit >= L'0' && unit <= L'9') ||
            std::wstring_view(L" ./;()_-,:+").find(unit) != std::wstring_view::npos)
            return 2;
        return std::wstring_view(L"ACGKLMNSTVWX").find(unit) != std::wstring_view::npos ? 1 : 0;
    }
    // The seldomest unit of `text`, the first of them: where an occurrence is likeliest to be
    // the text, so that the search stops at few places in vain.
    static size_t Anchor(std::wstring_view text) {
        size_t best = 0;
        for (size_t k = 1; k < text.size(); ++k)
            if (Commonness(text[k]) < Commonness(text[best])) best = k;
        return best;
    }
    // The first occurrence of `t` in `text`, or npos: the C library finds each place holding its
    // anchor unit, and the text is compared there.
    static size_t Find(std::wstring_view text, const Text& t) {
        const size_t n = t.text.size(), k = t.anchor;
        if (text.size() < n) return std::wstring_view::npos;
        const wchar_t* p = text.data() + k;
        const wchar_t* const last = text.data() + (text.size() - n) + k;
        for (;; ++p) {
            p = std::wmemchr(p, t.text[k], static_cast<size_t>(last - p) + 1);
            if (!p) return std::wstring_view::npos;
            if (std::wmemcmp(p - k, t.text.data(), n) == 0)
                return static_cast<size_t>(p - k - text.data());
            if (p == last) return std::wstring_view::npos;
        }
    }

    // Records the texts that stand at `at`, where they end sooner than what was found before.
    void TryAt(std::wstring_view text, size_t at, size_t* ends) const {
        const wchar_t unit = text[at];
        const uint32_t low = static_cast<uint32_t>(unit) & 0xFF;
        for (uint32_t k = m_bucket[low]; k < m_bucket[low + 1]; ++k) {
            const Text& t = m_texts[k];
            const size_t end = at + t.text.size();
            if (t.text[0] != unit || end > text.size() || end >= ends[t.slot]) continue;
            if (t.text.size() > 1 && (text[at + 1] != t.text[1] || !EqualAt(text, at, t.text)))
                continue;
            ends[t.slot] = end;
        }
    }

#if GLYPHARY_RULES_SSE2
    // Sixteen units at a time, the places holding one of the N first units picked out four
    // units at a time; the last block is padded with a unit that no text begins with (no UTF-16
    // unit is above 0xFFFF).
    template <size_t N>
    size_t Blocks(std::wstring_view text, size_t slot, size_t* ends, size_t& progress) const {
        __m128i firsts[N];
        for (size_t f = 0; f < N; ++f) firsts[f] = _mm_set1_epi32(static_cast<int>(m_firsts[f]));
        const auto candidates = [&firsts](const wchar_t* p) {
            const auto load = [p](int k) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * k));
            };
            const __m128i a = load(0), b = load(1), c = load(2), d = load(3);
            __m128i ma = _mm_cmpeq_epi32(a, firsts[0]), mb = _mm_cmpeq_epi32(b, firsts[0]);
            __m128i mc = _mm_cmpeq_epi32(c, firsts[0]), md = _mm_cmpeq_epi32(d, firsts[0]);
            for (size_t f = 1; f < N; ++f) {
                ma = _mm_or_si128(ma, _mm_cmpeq_epi32(a, firsts[f]));
                mb = _mm_or_si128(mb, _mm_cmpeq_epi32(b, firsts[f]));
                mc = _mm_or_si128(mc, _mm_cmpeq_epi32(c, firsts[f]));
                md = _mm_or_si128(md, _mm_cmpeq_epi32(d, firsts[f]));
            }
            const __m128i all = _mm_packs_epi16(_mm_packs_epi32(ma, mb), _mm_packs_epi32(mc, md));
            return static_cast<uint32_t>(_mm_movemask_epi8(all));
        };
        const size_t n = text.size();
        size_t next = progress;
        // Until every start before the end found so far (or the end of the text) is seen.
        for (size_t until = std::min(n, ends[slot]); next < until;) {
            uint32_t mask;
            if (next + 16 <= n) {
                mask = candidates(text.data() + next);
            } else {
                wchar_t tail[16];
                std::fill(std::copy(text.data() + next, text.data() + n, tail), tail + 16,
                          static_cast<wchar_t>(-1));
                mask = candidates(tail);
            }
            if (mask) {
                do {
                    TryAt(text, next + static_cast<size_t>(std::countr_zero(mask)), ends);
                    mask &= mask - 1;
                } while (mask);
                until = std::min(n, ends[slot]);
            }
            next = std::min(n, next + 16);
        }
        progress = next;
        return ends[slot];
    }
#endif

    std::vector<Text> m_texts;
    std::array<uint32_t, 257> m_bucket{};
    std::vector<wchar_t> m_firsts;  // the distinct first units of the texts
    size_t m_slots = 0;
    bool m_oneByOne = true;
};

// ---------------------------------------------------------------------------------------------
// Rules left to the engine

struct RegexRule {
    std::shared_ptr<const boost::wregex> regex;
    std::wstring prefix;                 // a matching string starts with this
    std::vector<std::wstring> required;  // and contains each of these
    // For a pattern `.*X.*` (or `X.*`) that is not literal: X alone, found anywhere (or at the
    // start) in place of a whole-string match, which would walk every `.*` back unit by unit.
    std::shared_ptr<const boost::wregex> inner;
    bool innerAnywhere = false;

    // Whether `text` holds the literal text that every match holds. When it does not, the
    // rule cannot match and the engine need not be asked.
    bool MayMatch(std::wstring_view text) const {
        if (!text.starts_with(prefix)) return false;
        for (const std::wstring& run : required) {
            if (text.find(run) == std::wstring_view::npos) return false;
        }
        return true;
    }

    bool Matches(std::wstring_view text) const {
        using namespace boost::regex_constants;
        const wchar_t* const first = text.data();
        const wchar_t* const last = first + text.size();
        if (!inner) return boost::regex_match(first, last, *regex, match_default);
        boost::match_results<const wchar_t*> m;
        return boost::regex_search(first, last, m, *inner,
                                   innerAnywhere ? match_default : match_continuous);
    }
};

struct Rule {
    enum class Kind { illFormed, regex, literal };
    Kind kind = Kind::illFormed;
    std::string error;  // why it is ill-formed
    RegexRule regex;
    // A literal rule's branches that the walk over the rules checks when it reaches the rule:
    // those that start with `.*` (the others are found by the prefix tree).
    std::vector<size_t> startAnywhere;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The rules compiled together

struct CompiledRules {
    std::vector<Rule> rules;
    std::vector<size_t> walked;  // the rules the walk in order must look at: all but those
                                 // that only the prefix tree answers
    std::vector<Branch> branches;
    PrefixTree starts;
    AnywhereSearch anywhere;

    explicit CompiledRules(const UserAgentRules& list) {
        for (size_t index = 0; index < list.size(); ++index) Add(index, list[index].pattern);
        anywhere.Index();
    }

    void Add(size_t index, const std::wstring& pattern) {
        Rule& rule = rules.emplace_back();
        Classify(index, rule, pattern);
        if (rule.kind != Rule::Kind::literal || !rule.startAnywhere.empty())
            walked.push_back(index);
    }

    void Classify(size_t index, Rule& rule, const std::wstring& pattern) {
        try {
            rule.regex.regex = CompilePattern(pattern);
        } catch (const RuleError& e) {
            rule.error = e.what();
            return;
        }
        PatternFacts facts = AnalyzePattern(pattern);
        if (facts.literals) {
            rule.kind = Rule::Kind::literal;
            for (LiteralBranch& literal : *facts.literals)
                AddBranch(rule, index, std::move(literal));
            return;
        }
        rule.kind = Rule::Kind::regex;
        rule.regex.prefix = std::move(facts.prefix);
        rule.regex.required = std::move(facts.required);
        if (facts.trailingAny) {
            try {
                rule.regex.inner = CompilePattern(facts.inner);  // well-formed, as the whole is
                rule.regex.innerAnywhere = facts.leadingAny;
            } catch (const RuleError&) {
                rule.regex.inner.reset();  // the whole is used then
            }
        }
    }

    void AddBranch(Rule& rule, size_t index, LiteralBranch literal) {
        const size_t b = branches.size();
        Branch& branch = branches.emplace_back(index, std::move(literal));
        if (!branch.startsAnywhere()) {
            for (const std::wstring& key : branch.segments.front())
                starts.Insert(key, b, branch.exact());
        } else {
            if (branch.segments.size() > 2) {
                branch.slot = anywhere.slots();
                anywhere.Add(branch.segments[1], branch.slot);
            }
            rule.startAnywhere.push_back(b);
        }
    }

    std::optional<size_t> FirstMatch(std::wstring_view text) const {
        // The first literal rule whose branch starts the text, found for all rules at once.
        size_t first = kNone;
        starts.Walk(text, [&](size_t b, size_t end) {
            const Branch& branch = branches[b];
            if (branch.rule < first &&
                (branch.exact() || branch.prefixOnly() || RestMatches(branch, 1, end, text)))
                first = branch.rule;
        });

        // The rules before it, in order: those the tree cannot answer.
        AnywhereSearch::Progress anywhereSearched;
        for (const size_t index : walked) {
            if (index >= first) break;
            const Rule& rule = rules[index];
            switch (rule.kind) {
                case Rule::Kind::illFormed:
                    throw RuleError(RuleError::Kind::illFormed, rule.error, index);
                case Rule::Kind::regex:
                    try {
                        if (rule.regex.MayMatch(text) && rule.regex.Matches(text)) return index;
                    } catch (const std::runtime_error& e) {
                        throw RuleError(RuleError::Kind::gaveUp, e.what(), index);
                    }
                    break;
                case Rule::Kind::literal:
                    for (const size_t b : rule.startAnywhere) {
                        const Branch& branch = branches[b];
                        if (branch.slot == kNone) {  // `.*` then the last segment
                            if (RestMatches(branch, 1, 0, text)) return index;
                            continue;
                        }
                        const size_t end = anywhere.End(text, branch.slot, anywhereSearched);
                        if (end != kNone && RestMatches(branch, 2, end, text)) return index;
                    }
                    break;
            }
        }
        if (first == kNone) return std::nullopt;
        return first;
    }
};

std::optional<size_t> FirstMatchingRule(std::wstring_view userAgent, const UserAgentRules& rules) {
    UserAgentRules::CompiledSlot& slot = rules.compiled();
    const CompiledRules* compiled = slot.ready.load(std::memory_order_acquire);
    if (!compiled) {
        std::call_once(slot.once, [&] {
            slot.rules = std::make_shared<const CompiledRules>(rules);
            slot.ready.store(slot.rules.get(), std::memory_order_release);
        });
        compiled = slot.rules.get();
    }
    return compiled->FirstMatch(userAgent);
}

}  // namespace glyphary
