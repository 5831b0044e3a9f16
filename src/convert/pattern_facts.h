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
};

/// The facts of `pattern` (Perl syntax, the library's default options). Conservative: a
/// construct the scan does not fully understand (quoting, comments, inline options,
/// backtracking verbs, \G, top-level alternation...) yields no facts at all, never a wrong one.
PatternFacts AnalyzePattern(std::wstring_view pattern);

}  // namespace glyphary
