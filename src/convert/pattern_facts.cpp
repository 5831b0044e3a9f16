#include "convert/pattern_facts.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace glyphary {

namespace {

// ---------------------------------------------------------------------------------------------
// The grammar understood here: a subset of Boost.Regex's Perl syntax under the default options
// (case-sensitive, `.` matching every unit, `^` and `$` at line ends). Every construct is read
// with its exact meaning or the whole pattern is refused; nothing is guessed.

constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

bool IsOneOf(wchar_t c, std::wstring_view set) {
    return set.find(c) != std::wstring_view::npos;
}

// Escaped ASCII punctuation that stands for itself. Not `\<` `\>` (word start and end) nor
// `` \` `` `\'` (buffer start and end): those are assertions.
bool IsIdentityEscape(wchar_t c) {
    return IsOneOf(c, L" !\"#$%&()*+,-./:;=?@[\\]^_{|}~");
}

size_t SaturatingAdd(size_t a, size_t b) {
    return a > kUnbounded - b ? kUnbounded : a + b;
}

size_t SaturatingMul(size_t a, size_t b) {
    if (a == 0 || b == 0) return 0;
    return a > kUnbounded / b ? kUnbounded : a * b;
}

// What a piece of pattern can do, as far as the facts need to know.
struct Traits {
    size_t minLength = 0;          // units every match of it takes
    bool mayHoldLineFeed = false;  // some match of it may contain U+000A
    bool looksAround = false;      // look-ahead or look-behind inside
    bool anchorsAtStart = false;   // \A or \` inside: it sees where the text begins

    void Append(const Traits& next) {
        minLength = SaturatingAdd(minLength, next.minLength);
        Merge(next);
    }
    void Merge(const Traits& other) {
        mayHoldLineFeed |= other.mayHoldLineFeed;
        looksAround |= other.looksAround;
        anchorsAtStart |= other.anchorsAtStart;
    }
};

// One atom of a sequence with its repeat, if any.
struct Item;
using Sequence = std::vector<Item>;

struct Item {
    enum class Kind { literal, dot, set, group, other };
    Kind kind = Kind::other;
    wchar_t unit = 0;           // the literal's unit
    size_t begin = 0, end = 0;  // its text in the pattern, repeat included
    size_t repeatMin = 1, repeatMax = 1;
    bool repeated = false;
    bool possessive = false;
    bool lazy = false;
    Traits traits;  // of one occurrence; the sequence applies the repeat
    // A class whose every member is a unit or a range of units: exactly what it matches.
    bool negated = false;
    std::vector<std::pair<wchar_t, wchar_t>> ranges;
    // A group: whether it captures, and its branches.
    bool capture = false;
    std::shared_ptr<const std::vector<Sequence>> branches;
};

class Parser {
  public:
    explicit Parser(std::wstring_view p) : m_p(p) {}

    /// The top-level branches, or none when the pattern leaves the grammar.
    std::optional<std::vector<Sequence>> Parse() {
        std::vector<Sequence> branches;
        if (!Alternatives(branches)) return std::nullopt;
        if (m_i != m_p.size()) return std::nullopt;  // a `)` without its `(`
        return branches;
    }

    /// What a sequence as a whole can do.
    static Traits TraitsOf(const Sequence& sequence) {
        Traits all;
        for (const Item& item : sequence) {
            Traits t = item.traits;
            t.minLength = SaturatingMul(t.minLength, item.repeatMin);
            all.Append(t);
        }
        return all;
    }

    static Traits TraitsOf(const std::vector<Sequence>& branches) {
        Traits all;
        all.minLength = kUnbounded;
        for (const Sequence& branch : branches) {
            const Traits t = TraitsOf(branch);
            all.minLength = std::min(all.minLength, t.minLength);
            all.Merge(t);
        }
        return all;
    }

  private:
    bool AtEnd() const { return m_i >= m_p.size(); }
    wchar_t Peek(size_t ahead = 0) const {
        return m_i + ahead < m_p.size() ? m_p[m_i + ahead] : L'\0';
    }

    // branch ('|' branch)*, up to a `)` or the end.
    bool Alternatives(std::vector<Sequence>& branches) {
        for (;;) {
            Sequence sequence;
            if (!SequenceUntilBar(sequence)) return false;
            branches.push_back(std::move(sequence));
            if (Peek() != L'|' || AtEnd()) return true;
            ++m_i;
        }
    }

    bool SequenceUntilBar(Sequence& sequence) {
        while (!AtEnd() && Peek() != L'|' && Peek() != L')') {
            Item item;
            item.begin = m_i;
            if (!Atom(item) || !Repeat(item)) return false;
            item.end = m_i;
            sequence.push_back(item);
        }
        return true;
    }

    bool Atom(Item& item) {
        const wchar_t c = m_p[m_i];
        switch (c) {
            case L'\\':
                return Escape(item);
            case L'[':
                return Class(item);
            case L'(':
                return Group(item);
            case L'.':
                ++m_i;
                item.kind = Item::Kind::dot;
                item.traits.minLength = 1;
                item.traits.mayHoldLineFeed = true;
                return true;
            case L'^':
            case L'$':
                ++m_i;
                return true;  // zero-width, and the same at a line end as at either text end
            case L'*':
            case L'+':
            case L'?':
            case L'{':
            case L'}':
            case L']':
                return false;  // a repeat of nothing, or punctuation read literally: refused
            default:
                ++m_i;
                item.kind = Item::Kind::literal;
                item.unit = c;
                item.traits.minLength = 1;
                item.traits.mayHoldLineFeed = c == L'\n';
                return true;
        }
    }

    bool Escape(Item& item) {
        if (m_i + 1 >= m_p.size()) return false;
        const wchar_t d = m_p[m_i + 1];
        m_i += 2;
        if (d < 0x80 && IsIdentityEscape(d)) {
            item.kind = Item::Kind::literal;
            item.unit = d;
            item.traits.minLength = 1;
            return true;
        }
        if (IsOneOf(d, L"dwShrtfea")) {  // one unit, never a line feed
            item.traits.minLength = 1;
            return true;
        }
        if (IsOneOf(d, L"DWsHvVn")) {  // one unit that may be a line feed
            item.traits.minLength = 1;
            item.traits.mayHoldLineFeed = true;
            return true;
        }
        if (IsOneOf(d, L"bB<>zZ'")) return true;  // assertions about the units around
        if (d == L'A' || d == L'`') {
            item.traits.anchorsAtStart = true;
            return true;
        }
        return false;  // \Q..\E, \x.., \p{..}, \c., back references, \G, \K, \N, \k, \g...
    }

    // [...]: what it may match is only needed as far as line feeds go.
    bool Class(Item& item) {
        ++m_i;
        bool negated = false;
        if (Peek() == L'^' && !AtEnd()) {
            negated = true;
            ++m_i;
        }
        bool holdsLineFeed = false;  // the set surely contains U+000A
        bool mayHoldLineFeed = false;
        bool exact = true;  // every member is a unit or a range of units
        bool first = true;
        for (;;) {
            if (AtEnd()) return false;
            wchar_t c = m_p[m_i];
            if (c == L']' && !first) {
                ++m_i;
                break;
            }
            first = false;
            if (c == L'[') return false;  // [:name:], [=c=], [.c.]
            std::optional<wchar_t> low;
            if (!ClassMember(low, holdsLineFeed, mayHoldLineFeed)) return false;
            if (!low) exact = false;  // \d, \w and the like
            if (low && Peek() == L'-' && Peek(1) != L']' && m_i + 1 < m_p.size()) {
                ++m_i;  // a range low-high
                std::optional<wchar_t> high;
                bool unusedSure = false, unusedMay = false;
                if (Peek() == L'[' || !ClassMember(high, unusedSure, unusedMay) || !high)
                    return false;
                if (*low > *high) return false;
                if (*low <= L'\n' && L'\n' <= *high) holdsLineFeed = mayHoldLineFeed = true;
                item.ranges.emplace_back(*low, *high);  // by unit value: no collation
            } else if (low) {
                item.ranges.emplace_back(*low, *low);
            }
        }
        item.traits.minLength = 1;
        item.traits.mayHoldLineFeed = negated ? !holdsLineFeed : mayHoldLineFeed;
        if (exact) {
            item.kind = Item::Kind::set;
            item.negated = negated;
        } else {
            item.ranges.clear();
        }
        return true;
    }

    // One member of a class: a unit (`unit` set) or a class escape such as \d.
    bool ClassMember(std::optional<wchar_t>& unit, bool& holdsLineFeed, bool& mayHoldLineFeed) {
        const wchar_t c = m_p[m_i];
        if (c != L'\\') {
            ++m_i;
            unit = c;
            if (c == L'\n') holdsLineFeed = mayHoldLineFeed = true;
            return true;
        }
        if (m_i + 1 >= m_p.size()) return false;
        const wchar_t d = m_p[m_i + 1];
        m_i += 2;
        if (d < 0x80 && IsIdentityEscape(d)) {
            unit = d;
            return true;
        }
        switch (d) {
            case L'n':
                unit = L'\n';
                holdsLineFeed = mayHoldLineFeed = true;
                return true;
            case L'r':
                unit = L'\r';
                return true;
            case L't':
                unit = L'\t';
                return true;
            case L'f':
                unit = L'\f';
                return true;
            case L'e':
                unit = L'\x1B';
                return true;
            case L'a':
                unit = L'\a';
                return true;
            case L'b':
                unit = L'\b';
                return true;
            case L'd':
            case L'w':
            case L'S':
            case L'h':
                return true;
            case L's':
                holdsLineFeed = mayHoldLineFeed = true;
                return true;
            case L'D':
            case L'W':
            case L'H':
            case L'v':
            case L'V':
                mayHoldLineFeed = true;
                return true;
            default:
                return false;
        }
    }

    bool Group(Item& item) {
        ++m_i;
        bool lookAround = false;
        item.capture = Peek() != L'?';
        if (Peek() == L'*') return false;  // (*VERB)
        if (Peek() == L'?') {
            const wchar_t k = Peek(1), k2 = Peek(2);
            if (k == L':' || k == L'>') {
                m_i += 2;
            } else if (k == L'=' || k == L'!') {
                m_i += 2;
                lookAround = true;
            } else if (k == L'<' && (k2 == L'=' || k2 == L'!')) {
                m_i += 3;
                lookAround = true;
            } else {
                return false;  // inline options, comments, named groups, conditionals...
            }
        }
        std::vector<Sequence> branches;
        if (!Alternatives(branches) || Peek() != L')' || AtEnd()) return false;
        ++m_i;
        item.traits = TraitsOf(branches);
        if (lookAround) {
            item.traits.minLength = 0;
            item.traits.looksAround = true;
        } else {
            item.kind = Item::Kind::group;
        }
        item.branches = std::make_shared<const std::vector<Sequence>>(std::move(branches));
        return true;
    }

    // An optional repeat after an atom: * + ? {n} {n,} {n,m}, then an optional ? or +.
    bool Repeat(Item& item) {
        if (AtEnd()) return true;
        const wchar_t c = m_p[m_i];
        if (c == L'*') {
            item.repeatMin = 0, item.repeatMax = kUnbounded;
            ++m_i;
        } else if (c == L'+') {
            item.repeatMin = 1, item.repeatMax = kUnbounded;
            ++m_i;
        } else if (c == L'?') {
            item.repeatMin = 0, item.repeatMax = 1;
            ++m_i;
        } else if (c == L'{') {
            if (!Range(item)) return false;
        } else {
            return true;
        }
        item.repeated = true;
        // Only atoms that take units are repeated here; a repeated assertion is refused.
        if (item.traits.minLength == 0 && item.kind == Item::Kind::other &&
            !item.traits.looksAround && !IsGroupStart(item.begin))
            return false;
        if (Peek() == L'?' && !AtEnd()) {
            ++m_i;
            item.lazy = true;
        } else if (Peek() == L'+' && !AtEnd()) {
            ++m_i;
            item.possessive = true;
        }
        if (!AtEnd() && IsOneOf(Peek(), L"*+?{")) return false;  // a repeat of a repeat
        return true;
    }

    bool IsGroupStart(size_t at) const { return m_p[at] == L'('; }

    // {n}, {n,} or {n,m} with decimal digits and nothing else.
    bool Range(Item& item) {
        size_t i = m_i + 1;
        const auto number = [&](size_t& value) {
            const size_t start = i;
            value = 0;
            while (i < m_p.size() && m_p[i] >= L'0' && m_p[i] <= L'9') {
                value = SaturatingAdd(SaturatingMul(value, 10), static_cast<size_t>(m_p[i] - L'0'));
                ++i;
            }
            return i > start;
        };
        size_t low = 0, high = 0;
        if (!number(low)) return false;
        if (i < m_p.size() && m_p[i] == L'}') {
            high = low;
        } else if (i < m_p.size() && m_p[i] == L',') {
            ++i;
            if (i < m_p.size() && m_p[i] == L'}') {
                high = kUnbounded;
            } else if (!number(high) || high < low) {
                return false;
            }
        } else {
            return false;
        }
        if (i >= m_p.size() || m_p[i] != L'}') return false;
        m_i = i + 1;
        item.repeatMin = low;
        item.repeatMax = high;
        return true;
    }

    std::wstring_view m_p;
    size_t m_i = 0;
};

bool IsPlainLiteral(const Item& item) {
    return item.kind == Item::Kind::literal && !item.repeated;
}

// Whether `unit` is one of the units a literal, a dot or an exact class matches.
bool Matches(const Item& item, wchar_t unit) {
    switch (item.kind) {
        case Item::Kind::literal:
            return unit == item.unit;
        case Item::Kind::dot:
            return true;  // every unit, line feeds included, under the default options
        case Item::Kind::set: {
            bool in = false;
            for (const auto& [low, high] : item.ranges) in |= low <= unit && unit <= high;
            return in != item.negated;
        }
        default:
            return false;
    }
}

// P(C+)S: literal text, a capturing group holding one greedy repeat of one unit's worth, and
// literal text that cannot begin inside that repeat.
std::optional<SimpleShape> SimpleShapeOf(const Sequence& items) {
    size_t g = 0;
    SimpleShape shape;
    for (; g < items.size() && IsPlainLiteral(items[g]); ++g) shape.before.push_back(items[g].unit);
    if (shape.before.empty() || g == items.size()) return std::nullopt;
    const Item& group = items[g];
    if (group.kind != Item::Kind::group || !group.capture || group.repeated ||
        group.branches->size() != 1 || group.branches->front().size() != 1)
        return std::nullopt;
    const Item& run = group.branches->front().front();
    if ((run.kind != Item::Kind::literal && run.kind != Item::Kind::dot &&
         run.kind != Item::Kind::set) ||
        !run.repeated || run.lazy || run.repeatMin > 1 || run.repeatMax != kUnbounded)
        return std::nullopt;
    for (size_t i = g + 1; i < items.size(); ++i) {
        if (!IsPlainLiteral(items[i])) return std::nullopt;
        shape.after.push_back(items[i].unit);
    }
    if (!shape.after.empty() && Matches(run, shape.after.front())) return std::nullopt;
    shape.minRun = run.repeatMin;
    switch (run.kind) {
        case Item::Kind::literal:
            shape.ranges = {{run.unit, run.unit}};
            break;
        case Item::Kind::dot:
            shape.negated = true;  // nothing excluded
            break;
        default:
            shape.ranges = run.ranges;
            shape.negated = run.negated;
            break;
    }
    return shape;
}

bool IsDotStar(const Item& item) {
    return item.kind == Item::Kind::dot && item.repeatMin == 0 && item.repeatMax == kUnbounded;
}

// ---------------------------------------------------------------------------------------------
// Literal branches: the strings a piece of pattern matches, as long as they are few and short.
// Whole-string matching then needs no engine. Backtracking cannot change which strings match
// all of a text, except where a possessive repeat or an atomic group forbids it: those pieces,
// like anything else outside this list, are refused.

constexpr size_t kMaxStrings = 64;        // per set
constexpr size_t kMaxStringLength = 256;  // units per string
constexpr size_t kMaxClassUnits = 16;
constexpr size_t kMaxRepeat = 64;

using Strings = std::vector<std::wstring>;

void SortUnique(Strings& strings) {
    std::sort(strings.begin(), strings.end());
    strings.erase(std::unique(strings.begin(), strings.end()), strings.end());
}

// Each string of `a` followed by each of `b`.
std::optional<Strings> Concatenate(const Strings& a, const Strings& b) {
    if (SaturatingMul(a.size(), b.size()) > kMaxStrings) return std::nullopt;
    Strings out;
    for (const std::wstring& x : a) {
        for (const std::wstring& y : b) {
            if (x.size() + y.size() > kMaxStringLength) return std::nullopt;
            out.push_back(x + y);
        }
    }
    SortUnique(out);
    return out;
}

std::optional<Strings> StringsOf(const std::vector<Sequence>& branches, std::wstring_view pattern);

// What one occurrence of `item` matches.
std::optional<Strings> OccurrenceStrings(const Item& item, std::wstring_view pattern) {
    switch (item.kind) {
        case Item::Kind::literal:
            return Strings{std::wstring(1, item.unit)};
        case Item::Kind::set: {
            if (item.negated) return std::nullopt;
            Strings out;
            for (const auto& [low, high] : item.ranges) {
                const auto from = static_cast<uint32_t>(low), to = static_cast<uint32_t>(high);
                if (to - from >= kMaxClassUnits) return std::nullopt;
                for (uint32_t u = from; u <= to; ++u) out.emplace_back(1, static_cast<wchar_t>(u));
                if (out.size() > kMaxClassUnits) return std::nullopt;
            }
            SortUnique(out);
            return out;
        }
        case Item::Kind::group:
            if (pattern.substr(item.begin, 3) == L"(?>") return std::nullopt;  // atomic
            return StringsOf(*item.branches, pattern);
        default:
            return std::nullopt;
    }
}

// What `item` matches, its repeat included.
std::optional<Strings> ItemStrings(const Item& item, std::wstring_view pattern) {
    if (item.possessive || item.repeatMax > kMaxRepeat) return std::nullopt;
    std::optional<Strings> one = OccurrenceStrings(item, pattern);
    if (!one || !item.repeated) return one;
    Strings all, power{L""};
    for (size_t times = 0;; ++times) {
        if (times >= item.repeatMin) {
            all.insert(all.end(), power.begin(), power.end());
            SortUnique(all);
            if (all.size() > kMaxStrings) return std::nullopt;
        }
        if (times == item.repeatMax) return all;
        std::optional<Strings> next = Concatenate(power, *one);
        if (!next) return std::nullopt;
        power = std::move(*next);
    }
}

std::optional<Strings> StringsOf(const Sequence& items, std::wstring_view pattern) {
    Strings strings{L""};
    for (const Item& item : items) {
        std::optional<Strings> next = ItemStrings(item, pattern);
        if (next) next = Concatenate(strings, *next);
        if (!next) return std::nullopt;
        strings = std::move(*next);
    }
    return strings;
}

std::optional<Strings> StringsOf(const std::vector<Sequence>& branches, std::wstring_view pattern) {
    Strings all;
    for (const Sequence& branch : branches) {
        std::optional<Strings> strings = StringsOf(branch, pattern);
        if (!strings) return std::nullopt;
        all.insert(all.end(), strings->begin(), strings->end());
    }
    SortUnique(all);
    if (all.size() > kMaxStrings) return std::nullopt;
    return all;
}

// A top-level branch as segments between its `.*`. `^` and `$` hold at the two ends of the
// text, the only places a whole-string match meets them here.
std::optional<LiteralBranch> LiteralBranchOf(const Sequence& items, std::wstring_view pattern) {
    const auto is = [&](const Item& item, wchar_t c) {
        return item.kind == Item::Kind::other && item.end == item.begin + 1 &&
               pattern[item.begin] == c;
    };
    size_t first = 0, last = items.size();
    if (first < last && is(items[first], L'^')) ++first;
    if (last > first && is(items[last - 1], L'$')) --last;
    LiteralBranch branch;
    Sequence segment;
    for (size_t i = first; i <= last; ++i) {
        if (i < last && !(IsDotStar(items[i]) && !items[i].possessive)) {
            segment.push_back(items[i]);
            continue;
        }
        std::optional<Strings> strings = StringsOf(segment, pattern);
        if (!strings) return std::nullopt;
        branch.segments.push_back(std::move(*strings));
        segment.clear();
    }
    return branch;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Cuts

ShapeCuts::ShapeCuts(const SimpleShape& shape)
    : m_inClass(0x10000, shape.negated), m_opener(shape.before.begin(), shape.before.end()) {
    // Counted in 32 bits: a 16-bit wchar_t (Windows) would wrap at a range ending at U+FFFF.
    for (const auto& [low, high] : shape.ranges) {
        const auto last = std::min<uint32_t>(static_cast<uint32_t>(high), 0xFFFF);
        for (auto u = static_cast<uint32_t>(low); u <= last; ++u) m_inClass[u] = !shape.negated;
    }
    m_inAlphabet = m_inClass;
    m_runsCut = true;
    for (const std::wstring* text : {&shape.before, &shape.after}) {
        for (const wchar_t c : *text) {
            const auto u = static_cast<uint32_t>(c);
            if (u > 0xFFFF) continue;  // no unit of UTF-16 text: never matched
            m_runsCut &= !m_inClass[u];
            m_inAlphabet[u] = true;
        }
    }
    // Knuth-Morris-Pratt: the longest proper prefix of P that ends each prefix of P.
    m_fail.assign(m_opener.size() + 1, 0);
    for (size_t i = 1, k = 0; i < m_opener.size(); ++i) {
        while (k && m_opener[i] != m_opener[k]) k = m_fail[k];
        if (m_opener[i] == m_opener[k]) ++k;
        m_fail[i + 1] = k;
    }
}

size_t ShapeCuts::Scan(std::u16string_view units) {
    // A zero unit, or a unit outside the alphabet, ends every candidate and leaves the same
    // state whatever came before it: scan from the last one, so that a long text costs only
    // its tail. (P and S lie in the alphabet, so such a unit also resets P's search.)
    for (size_t j = units.size(); j-- > 0;) {
        const char16_t u = units[j];
        if (u != 0 && m_inAlphabet[u]) continue;
        size_t last = std::u16string_view::npos;
        if (u == 0) {
            last = j + 1;
            m_started = false;
        } else {
            // A cut before it, unless it is the text's first unit (after a zero unit, the
            // zero unit's own cut is the same place).
            if (j > 0 || m_started) last = j;
            m_started = true;
            m_prevInAlphabet = false;
        }
        m_inRun = m_runOpen = false;
        m_matched = m_open = 0;
        const size_t after = ScanEach(units.substr(j + 1));
        return after != std::u16string_view::npos ? j + 1 + after : last;
    }
    return ScanEach(units);
}

size_t ShapeCuts::ScanEach(std::u16string_view units) {
    size_t last = std::u16string_view::npos;
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u == 0) {  // the interface's text ends here; a new one begins after it
            last = i + 1;
            m_started = m_inRun = m_runOpen = false;
            m_matched = m_open = 0;
            continue;
        }
        const bool inClass = m_inClass[u], inAlphabet = m_inAlphabet[u];
        if (m_started &&
            (!m_prevInAlphabet || !inAlphabet || (m_runsCut && m_inRun && inClass && !m_runOpen)))
            last = i;
        if (inClass && !m_inRun) m_runOpen = m_matched == m_opener.size();
        m_inRun = inClass;
        if (!inClass) m_runOpen = false;
        m_open = !m_runOpen ? 0 : m_open ? m_open + 1 : m_opener.size() + 1;
        if (m_matched == m_opener.size()) m_matched = m_fail[m_matched];
        while (m_matched && m_opener[m_matched] != u) m_matched = m_fail[m_matched];
        if (m_opener[m_matched] == u) ++m_matched;
        m_prevInAlphabet = inAlphabet;
        m_started = true;
    }
    return last;
}

PatternFacts AnalyzePattern(std::wstring_view pattern) {
    PatternFacts facts;
    Parser parser(pattern);
    const std::optional<std::vector<Sequence>> branches = parser.Parse();
    if (!branches) return facts;

    const Traits traits = Parser::TraitsOf(*branches);
    facts.splitsAfterLineFeed = traits.minLength > 0 && !traits.mayHoldLineFeed &&
                                !traits.looksAround && !traits.anchorsAtStart;

    std::vector<LiteralBranch> literals;
    for (const Sequence& branch : *branches) {
        std::optional<LiteralBranch> literal = LiteralBranchOf(branch, pattern);
        if (!literal) break;
        literals.push_back(std::move(*literal));
    }
    if (literals.size() == branches->size()) facts.literals = std::move(literals);

    // Literal facts hold for a single top-level sequence only.
    if (branches->size() != 1) return facts;
    const Sequence& items = branches->front();
    facts.simple = SimpleShapeOf(items);

    bool atStart = true;
    std::wstring run;
    for (const Item& item : items) {
        if (IsPlainLiteral(item)) {
            run.push_back(item.unit);
            if (atStart) facts.prefix.push_back(item.unit);
            continue;
        }
        atStart = false;
        if (!run.empty()) facts.required.push_back(std::move(run));
        run.clear();
    }
    if (!run.empty()) facts.required.push_back(std::move(run));

    // `.*` at either end of the sequence. A possessive one in front would leave nothing for
    // the rest, so only a trailing one may be possessive.
    size_t first = 0, last = items.size();
    if (!items.empty() && IsDotStar(items.front()) && !items.front().possessive) {
        facts.leadingAny = true;
        first = 1;
    }
    if (last > first && IsDotStar(items.back())) {
        facts.trailingAny = true;
        --last;
    }
    if (facts.leadingAny || facts.trailingAny) {
        const size_t begin = first < items.size() ? items[first].begin : pattern.size();
        const size_t end = last > first ? items[last - 1].end : begin;
        facts.inner = pattern.substr(begin, end - begin);
    }
    return facts;
}

bool HangsTheRegexCompiler(std::wstring_view p) {
    const auto isSpace = [](wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); };
    for (size_t i = 0; i < p.size(); ++i) {
        const wchar_t c = p[i];
        if (c == L'\\') {
            if (i + 1 < p.size() && p[i + 1] == L'Q') {  // quoted text up to \E
                const size_t e = p.find(L"\\E", i + 2);
                if (e == std::wstring_view::npos) return false;
                i = e + 1;
            } else {
                ++i;
            }
            continue;
        }
        if (c == L'[') {  // a class, where repeat characters are plain
            size_t j = i + 1;
            if (j < p.size() && p[j] == L'^') ++j;
            if (j < p.size() && p[j] == L']') ++j;
            for (; j < p.size() && p[j] != L']'; ++j) {
                if (p[j] == L'\\')
                    ++j;
                else if (p[j] == L'[' && j + 1 < p.size() && IsOneOf(p[j + 1], L":=.")) {
                    const size_t e = p.find(std::wstring{p[j + 1], L']'}, j + 2);
                    if (e == std::wstring_view::npos) return false;
                    j = e + 1;
                }
            }
            i = j;
            continue;
        }
        if (!IsOneOf(c, L"*+?}")) continue;
        // A repeat, perhaps lazy, then `+` makes it possessive.
        size_t j = i + 1;
        if (j < p.size() && p[j] == L'?') ++j;
        if (j >= p.size() || p[j] != L'+') continue;
        ++j;
        // The compiler skips the comments after it, and loops unless what follows them is
        // the end, another group or another repeat.
        bool comment = false;
        for (;;) {
            while (j < p.size() && isSpace(p[j])) ++j;
            if (p.substr(j, 3) != L"(?#") break;
            const size_t close = p.find(L')', j + 3);
            if (close == std::wstring_view::npos) return false;
            j = close + 1;
            comment = true;
        }
        if (comment && j < p.size() && !IsOneOf(p[j], L"(*+?{")) return true;
        i = j - 1;
    }
    return false;
}

}  // namespace glyphary
