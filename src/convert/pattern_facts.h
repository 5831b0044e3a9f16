// What a quick look at a regular expression can prove about every string it matches, so
// that searches can skip text that cannot match before asking the regex engine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace glyphary {

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
};

/// The facts of `pattern` (Perl syntax, the library's default options). Conservative: a
/// construct the scan does not fully understand (quoting, comments, inline options,
/// backtracking verbs, \G, \K, top-level alternation...) yields no facts at all, never a
/// wrong one.
PatternFacts AnalyzePattern(std::wstring_view pattern);

}  // namespace glyphary
