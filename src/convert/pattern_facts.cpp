#include "convert/pattern_facts.h"

namespace glyphary {

namespace {

bool IsOneOf(wchar_t c, std::wstring_view set) {
    return set.find(c) != std::wstring_view::npos;
}

bool IsAsciiAlnum(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

class Scanner {
  public:
    explicit Scanner(std::wstring_view p) : m_p(p) {}

    bool Run(PatternFacts& facts) {
        size_t i = 0;
        while (i < m_p.size()) {
            const wchar_t c = m_p[i];
            if (c == L'\\') {
                if (i + 1 >= m_p.size()) return false;
                const wchar_t d = m_p[i + 1];
                i += 2;
                if (!IsAsciiAlnum(d) && d < 0x80) {
                    Literal(d);  // an escaped punctuation character stands for itself
                } else if (IsOneOf(d, L"dDwWsSbBhHvVnrtfeaAzZ")) {
                    Element();  // a two-unit escape that is not a plain literal
                } else {
                    return false;  // \x{..}, \p{..}, \Q, \G, back references...
                }
            } else if (c == L'[') {
                if (!SkipClass(i)) return false;
                Element();
            } else if (c == L'(') {
                if (i + 1 < m_p.size() && m_p[i + 1] == L'*') return false;
                if (i + 1 < m_p.size() && m_p[i + 1] == L'?') {
                    const wchar_t k = i + 2 < m_p.size() ? m_p[i + 2] : 0;
                    const wchar_t k2 = i + 3 < m_p.size() ? m_p[i + 3] : 0;
                    if (!IsOneOf(k, L":=!>") && !(k == L'<' && IsOneOf(k2, L"=!"))) return false;
                }
                Element();
                ++m_depth;
                ++i;
            } else if (c == L')') {
                if (--m_depth < 0) return false;
                Element();
                ++i;
            } else if (c == L'|') {
                if (m_depth == 0) return false;
                Element();
                ++i;
            } else if (IsOneOf(c, L"?*+")) {
                Quantifier();
                ++i;
            } else if (c == L'{') {
                const size_t close = m_p.find(L'}', i);
                if (close == std::wstring_view::npos) return false;
                Quantifier();
                i = close + 1;
            } else if (IsOneOf(c, L".^$")) {
                Element();
                ++i;
            } else {
                Literal(c);
                ++i;
            }
        }
        if (m_depth != 0) return false;
        EndRun();
        facts.prefix = std::move(m_prefix);
        facts.required = std::move(m_required);
        return true;
    }

  private:
    // A literal unit: part of the current run at the top level, of nothing inside a group.
    void Literal(wchar_t c) {
        if (m_depth > 0) {
            Element();
            return;
        }
        m_run.push_back(c);
        if (m_atStart) m_prefix.push_back(c);
        m_lastWasLiteral = true;
    }
    // Anything that is not a literal ends the run and the prefix.
    void Element() {
        EndRun();
        m_atStart = false;
        m_lastWasLiteral = false;
    }
    // A quantifier makes the element before it optional or repeated: a literal just added
    // is taken back out of the run and the prefix.
    void Quantifier() {
        if (m_lastWasLiteral) {
            m_run.pop_back();
            if (m_atStart) m_prefix.pop_back();
        }
        Element();
    }
    void EndRun() {
        if (!m_run.empty()) m_required.push_back(std::move(m_run));
        m_run.clear();
    }
    // Moves `i` past a character class; false for classes this scan does not follow.
    bool SkipClass(size_t& i) {
        ++i;
        if (i < m_p.size() && m_p[i] == L'^') ++i;
        if (i < m_p.size() && m_p[i] == L']') ++i;
        while (i < m_p.size() && m_p[i] != L']') {
            if (m_p[i] == L'[') return false;  // [:alpha:] and the like
            if (m_p[i] == L'\\') ++i;
            ++i;
        }
        if (i >= m_p.size()) return false;
        ++i;
        return true;
    }

    std::wstring_view m_p;
    int m_depth = 0;
    bool m_atStart = true;
    bool m_lastWasLiteral = false;
    std::wstring m_run;
    std::wstring m_prefix;
    std::vector<std::wstring> m_required;
};

}  // namespace

PatternFacts AnalyzePattern(std::wstring_view pattern) {
    PatternFacts facts;
    Scanner scanner(pattern);
    if (!scanner.Run(facts)) return {};

    // `.*` at either end. The scan above succeeded, so the pattern is one top-level sequence
    // and a final `.*` that is not escaped (an even run of backslashes before it) is a
    // top-level wildcard; a leading one must not be made possessive (`.*+`).
    std::wstring_view inner = pattern;
    if (inner.starts_with(L".*") && !(inner.size() > 2 && inner[2] == L'+')) {
        const size_t skip = inner.size() > 2 && inner[2] == L'?' ? 3 : 2;
        if (!(inner.size() > skip && IsOneOf(inner[skip], L"*+?{"))) {
            facts.leadingAny = true;
            inner.remove_prefix(skip);
        }
    }
    if (inner.ends_with(L".*")) {
        size_t backslashes = 0;
        for (size_t i = inner.size() - 2; i > 0 && inner[i - 1] == L'\\'; --i) ++backslashes;
        if (backslashes % 2 == 0) {
            facts.trailingAny = true;
            inner.remove_suffix(2);
        }
    }
    facts.inner = inner;
    return facts;
}

}  // namespace glyphary
