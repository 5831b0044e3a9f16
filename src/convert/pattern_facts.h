// What a quick look at a regular expression can prove about every string it matches, so
// that searches can skip text that cannot match before asking the regex engine, and text can
// be converted in pieces. Pure code, shared by the module and its clients.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace glyphary {

/// A pattern of the shape P(C+)S (or P(C*)S): literal text P (not empty), a capturing group
/// holding one greedy repeat of a class, a dot or one unit, then literal text S that cannot
/// begin with a member of C. A match then starts at an occurrence of P and takes the longest
/// run of members after it, which S must follow: no backtracking can give another, so it is
/// found without the regex engine.
struct SimpleShape {
    std::wstring before;  ///< P
    std::wstring after;   ///< S
    /// C as ranges of units (by unit value, as the engine compares them without collation),
    /// inverted when `negated`.
    std::vector<std::pair<wchar_t, wchar_t>> ranges;
    bool negated = false;
    size_t minRun = 1;  ///< 1 for `+`, 0 for `*`
};

/// One top-level branch of a pattern built of literal text and `.*` alone: its whole-string
/// matches are the strings S0 X1 S1 ... Xk Sk, where each Si is one of the strings of segment
/// i and each Xi is anything (the k `.*` between the segments, greedy or lazy).
struct LiteralBranch {
    std::vector<std::vector<std::wstring>> segments;  ///< k + 1 sets of strings, sorted
};

struct PatternFacts {
    /// Units every match begins with (the engine's attempt starts there); may be empty.
    std::wstring prefix;
    /// Runs of units every match contains, in pattern order; the prefix is the first of
    /// them when it is not empty.
    std::vector<std::wstring> required;
    /// The pattern is `.*` followed by `inner`, or `inner` followed by `.*`, or both, with
    /// `.*` at the top level. A whole-string match then only needs `inner` to match somewhere
    /// (both), or at the start (trailing only): `.` matches every unit under the default options.
    bool leadingAny = false;
    bool trailingAny = false;
    std::wstring inner;
    /// A global search-and-replace gives the same result on a text cut just after a line feed
    /// as on the whole: no match is empty or holds a line feed, and nothing in the pattern
    /// looks outside its own match (look-around) or for the start of the text.
    bool splitsAfterLineFeed = false;
    /// Set when the pattern has that shape.
    std::optional<SimpleShape> simple;
    /// Set when every top-level branch is literal text and `.*`: literals, escaped
    /// punctuation, small classes, groups of alternatives of such text, `?` and counted
    /// repeats of them, `^` at the start and `$` at the end of a branch. regex_match then
    /// means: some branch's segments are found in order with anything between them.
    std::optional<std::vector<LiteralBranch>> literals;
};

/// Where a text may be cut for a global search-and-replace by a SimpleShape pattern, so that
/// converting the parts gives what converting the whole gives: next to a unit no match can
/// hold (one outside C and outside P and S), and, when no unit of P or S is in C, inside a run
/// of members of C that P does not open (no match holds any of it). Only a run that P opens
/// (an open candidate) is never cut. A zero unit ends a text for the interface: cuts lie on
/// both sides of it, and what follows it scans as a new text.
class ShapeCuts {
  public:
    explicit ShapeCuts(const SimpleShape& shape);

    /// Scans `units`, which continue the text scanned so far, and returns the last place
    /// among them where the text may be cut: k for a cut just before units[k] (0: between the
    /// last unit scanned before and units[0]), or npos for none.
    size_t Scan(std::u16string_view units);
    /// The same, unit by unit from the first (Scan starts at the last unit that ends every
    /// candidate instead).
    size_t ScanEach(std::u16string_view units);
    /// Units scanned since the start of the candidate that is open now (0: none is).
    size_t open() const noexcept { return m_open; }

  private:
    std::vector<bool> m_inClass;     // C, by unit
    std::vector<bool> m_inAlphabet;  // C and the units of P and S
    std::u16string m_opener;         // P
    std::vector<size_t> m_fail;      // P's failure function, to find it as units arrive
    bool m_runsCut = false;          // P and S share no unit with C
    size_t m_matched = 0;            // units of P that end the text scanned so far
    bool m_started = false;          // a unit was scanned since the text began
    bool m_prevInAlphabet = false;
    bool m_inRun = false;    // the last unit is in C
    bool m_runOpen = false;  // ... in a run P opened
    size_t m_open = 0;
};

/// The facts of `pattern` (Perl syntax, the library's default options). Sound by
/// construction: the pattern is parsed against a small grammar, and anything outside it
/// (quoting, comments, inline options, back references, \G, \K, POSIX classes, a brace that
/// is no plain repeat...) yields no facts at all, never a wrong one.
PatternFacts AnalyzePattern(std::wstring_view pattern);

/// Whether compiling `pattern` would never finish: Boost.Regex 1.74 loops forever on a
/// possessive repeat followed by a comment and then more pattern (`a?+(?#c)b`). Such a
/// pattern must be refused before it reaches the compiler. May also say so of a few odd
/// patterns that would compile (such a comment after an escaped repeat character, or after a
/// space outside free-spacing mode).
bool HangsTheRegexCompiler(std::wstring_view pattern);
/// What to say of such a pattern.
inline constexpr char kHangingPatternMessage[] =
    "a possessive repeat followed by a comment and more pattern is not supported (the "
    "regular expression library cannot compile it)";

}  // namespace glyphary
