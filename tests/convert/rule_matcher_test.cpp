// The user-agent rule matcher against its definition, the plain loop (each rule compiled and
// tried with regex_match in turn), on generated rule sets of every shape it answers without
// the engine, of shapes it leaves to the engine, and of ill-formed and hostile patterns.
#include <optional>
#include <random>

#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "convert/pattern_facts.h"
#include "convert/rules.h"

namespace {

using namespace glyphary;

// Pieces of literal text: words of real User-Agents and a few units that clash with them.
const wchar_t* const kWords[] = {L"DoCoMo",   L"KDDI-",   L"UP.Browser", L"SoftBank",    L"J-PHONE",
                                 L"(iPhone;", L"Android", L"Mobile",     L"Mozilla/5.0", L"/",
                                 L"a",        L"ab",      L"b",          L" ",           L"(",
                                 L";",        L"\xE63E",  L"aa"};

std::wstring Escaped(std::wstring_view text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (std::wstring_view(L"\\^$.|?*+()[]{}").find(c) != std::wstring_view::npos) out += L'\\';
        out += c;
    }
    return out;
}

class RuleGenerator {
  public:
    explicit RuleGenerator(std::mt19937& rng) : m_rng(rng) {}

    std::wstring Word() {
        static const wchar_t* const dense[] = {L"a", L"b", L"ab", L"ba", L"aab"};
        return m_dense ? dense[Pick(std::size(dense))] : kWords[Pick(std::size(kWords))];
    }
    std::wstring Literal() {
        m_used.push_back(Word() + (Pick(2) ? Word() : L""));
        return Escaped(m_used.back());
    }
    /// Starts a new rule set: texts are made of its literal text. Every other set takes its
    /// words from two units only, so that they overlap and repeat everywhere.
    void NewSet() {
        m_used.clear();
        m_dense = !m_dense;
        m_anywhere = Pick(3) == 0;
    }

    // A small set of literal strings: a word, an alternation, a class or an optional part.
    std::wstring Segment() {
        switch (Pick(6)) {
            case 0: {
                std::wstring p = L"(" + std::wstring(Pick(2) ? L"?:" : L"") + Literal();
                for (size_t n = 1 + Pick(3); n > 0; --n) p += L"|" + Literal();
                return p + L")";
            }
            case 1:
                return Literal() + L"[ab;]" + (Pick(2) ? L"?" : L"");
            case 2:
                return Literal() + L"(" + Literal() + L")?" + (Pick(2) ? Literal() : L"");
            case 3:
                return L"(" + Literal() + L"){" + std::to_wstring(Pick(3)) + L"}";
            default:
                return Literal();
        }
    }

    std::wstring Rule() {
        // Some sets are made mostly of rules that look for text anywhere: enough of them that
        // the matcher searches for all their texts in one pass.
        if (m_anywhere && Pick(4) != 0)
            return L".*" + Segment() + L".*" + (Pick(3) ? L"" : Segment());
        switch (Pick(16)) {
            case 0:
            case 1:
                return Segment() + L".*";
            case 2:
                return L".*" + Segment() + L".*";
            case 3:
                return L".*" + Segment();
            case 4:
                return Segment();
            case 5:
                return L".*" + Segment() + L".*" + Segment() +
                       (Pick(2) ? L".*?" : L".*" + Segment());
            case 6:
                return Segment() + L".*" + Segment() + (Pick(2) ? L".*" + Segment() : L"");
            case 7:
                return L"^" + Segment() + (Pick(2) ? L".*$" : L"$");
            case 8:
                return Segment() + L".*|" + Segment() + L".*";
            case 9:
                return Pick(2) ? L"" : L".*";
            case 10: {  // left to the engine
                static const wchar_t* const tails[] = {
                    L"\\d*.*", L"(?=a).*", L".+",      L"\\b.*",      L"[^a]*",       L".*+",
                    L"(a|b)*", L"(?i)a.*", L".*\\s.*", L"[ab;( ]+.*", L"\\w*(?<!x).*"};
                return Literal() + tails[Pick(std::size(tails))];
            }
            case 11:
                return L"(?>" + Literal() + L"|" + Literal() + Literal() + L")" + Literal() + L".*";
            case 12: {  // ill-formed
                static const wchar_t* const broken[] = {L"(", L"[", L"a{2,1}", L"*", L"\\"};
                return Literal() + broken[Pick(std::size(broken))];
            }
            case 13:
                return L"(a+a+)+b";  // the engine gives up on long runs of a
            default:
                return Literal() + L".*";
        }
    }

    // A User-Agent: words of the rules with filler between them, a real one, or noise.
    std::wstring Text() {
        static const wchar_t* const real[] = {
            L"DoCoMo/2.0 P903i(c100;TB;W24H12)",
            L"KDDI-CA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0",
            L"Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) Mobile/15E148",
            L"Mozilla/5.0 (Linux; Android 14; Pixel 8) Mobile Safari/537.36",
            L"SoftBank/1.0/910T/TJ001 Browser/NetFront/3.3",
            L""};
        if (Pick(6) == 0) return real[Pick(std::size(real))];
        std::wstring text;
        for (size_t n = Pick(7); n > 0; --n) {
            const size_t k = Pick(6);
            text += k < 3 && !m_used.empty() ? m_used[Pick(m_used.size())]
                    : k < 5                  ? Word()
                                             : std::wstring(Pick(4), L"ab;( "[Pick(5)]);
        }
        if (Pick(10) == 0) text += std::wstring(30, L'a');
        return text;
    }

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }

  private:
    std::mt19937& m_rng;
    std::vector<std::wstring> m_used;  // the literal text of the rules of this set
    bool m_dense = false;
    bool m_anywhere = false;
};

// What a call answers: the index of the first matching rule (npos: none), or the rule where it
// stopped on an ill-formed pattern or on the engine giving up.
struct Answer {
    enum class Kind { matched, illFormed, gaveUp } kind = Kind::matched;
    size_t rule = std::wstring::npos;
};

// The definition, with each pattern compiled once per rule set rather than once per call:
// compiling is deterministic, so the answers are the same.
Answer Plain(std::wstring_view text, const std::vector<std::optional<boost::wregex>>& regexes) {
    for (size_t i = 0; i < regexes.size(); ++i) {
        if (!regexes[i]) return {Answer::Kind::illFormed, i};
        try {
            if (boost::regex_match(text.begin(), text.end(), *regexes[i]))
                return {Answer::Kind::matched, i};
        } catch (const std::runtime_error&) {
            return {Answer::Kind::gaveUp, i};
        }
    }
    return {};
}

Answer Fast(std::wstring_view text, const UserAgentRules& rules) {
    try {
        const std::optional<size_t> index = FirstMatchingRule(text, rules);
        return {Answer::Kind::matched, index ? *index : std::wstring::npos};
    } catch (const RuleError& e) {
        return {
            e.kind() == RuleError::Kind::illFormed ? Answer::Kind::illFormed : Answer::Kind::gaveUp,
            e.rule()};
    }
}

std::string Narrow(std::wstring_view s) {
    std::string out;
    for (const wchar_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

TEST(RuleMatcher, AnswersAsThePlainLoopOnGeneratedRuleSets) {
    std::mt19937 rng(20261210);
    RuleGenerator generator(rng);
    size_t literalRules = 0, engineRules = 0, literalAnswers = 0, engineAnswers = 0, none = 0;
    for (int set = 0; set < 1000; ++set) {
        UserAgentRules rules;
        generator.NewSet();
        std::vector<std::optional<boost::wregex>> regexes;
        std::vector<bool> literal;
        for (size_t n = 1 + generator.Pick(14); n > 0; --n) {
            const std::wstring pattern = generator.Rule();
            rules.Append(static_cast<int32_t>(rules.size()), pattern);
            try {
                regexes.emplace_back(boost::wregex(pattern, boost::regex_constants::normal));
            } catch (const boost::regex_error&) {
                regexes.emplace_back();
            }
            literal.push_back(regexes.back() && AnalyzePattern(pattern).literals.has_value());
            (literal.back() ? literalRules : engineRules) += 1;
        }
        const auto describe = [&](const std::wstring& text) {
            std::string d = "text \"" + Narrow(text) + "\" rules";
            for (const UserAgentRule& rule : rules) d += " \"" + Narrow(rule.pattern) + "\"";
            return d;
        };
        for (int call = 0; call < 60; ++call) {
            const std::wstring text = generator.Text();
            const Answer plain = Plain(text, regexes);
            const Answer fast = Fast(text, rules);
            if (plain.kind == Answer::Kind::gaveUp) {
                // The plain loop cannot say what the later rules would answer; what it did
                // answer must still hold.
                ASSERT_TRUE(fast.rule >= plain.rule || fast.rule == std::wstring::npos)
                    << describe(text);
                continue;
            }
            if (fast.kind == Answer::Kind::gaveUp) {  // a different search may give up sooner
                ASSERT_LE(fast.rule, plain.rule) << describe(text);
                continue;
            }
            ASSERT_EQ(fast.kind, plain.kind) << describe(text);
            ASSERT_EQ(fast.rule, plain.rule) << describe(text);
            if (plain.kind != Answer::Kind::matched) continue;
            if (plain.rule == std::wstring::npos) {
                ++none;
            } else {
                (literal[plain.rule] ? literalAnswers : engineAnswers) += 1;
            }
        }
    }
    // Every kind of rule takes part, and answers come from both paths and from none.
    EXPECT_GT(literalRules, 5000u);
    EXPECT_GT(engineRules, 1000u);
    EXPECT_GT(literalAnswers, 20000u);
    EXPECT_GT(engineAnswers, 600u);
    EXPECT_GT(none, 10000u);
}

TEST(PatternFacts, LiteralBranchesAreFoundOnlyWhereMatchingNeedsNoEngine) {
    using Segments = std::vector<std::vector<std::wstring>>;
    struct Case {
        const wchar_t* pattern;
        std::vector<Segments> branches;  // empty: not literal
    };
    const Case cases[] = {
        {L"DoCoMo/.*", {{{L"DoCoMo/"}, {L""}}}},
        {L".*\\(iPhone;.*", {{{L""}, {L"(iPhone;"}, {L""}}}},
        {L"(J-PHONE|Vodafone|SoftBank)/.*", {{{L"J-PHONE/", L"SoftBank/", L"Vodafone/"}, {L""}}}},
        {L"^KDDI-(CA|SA)3[12]?.*?$",
         {{{L"KDDI-CA3", L"KDDI-CA31", L"KDDI-CA32", L"KDDI-SA3", L"KDDI-SA31", L"KDDI-SA32"},
           {L""}}}},
        {L"a|.*b", {{{L"a"}}, {{L""}, {L"b"}}}},
        {L"", {{{L""}}}},
        {L"(ab){2}", {{{L"abab"}}}},
        // Not literal: repeats without bound, possessive and atomic pieces, anchors inside,
        // assertions, negated or large classes.
        {L"a+.*", {}},
        {L"a.*+b", {}},
        {L"a?+b", {}},
        {L"(?>a|ab)c", {}},
        {L"(^a)", {}},
        {L"a\\b.*", {}},
        {L"[^a].*", {}},
        {L"[a-z].*", {}},
        {L".+", {}},
    };
    for (const Case& c : cases) {
        const PatternFacts facts = AnalyzePattern(c.pattern);
        const std::string name = Narrow(c.pattern);
        if (c.branches.empty()) {
            EXPECT_FALSE(facts.literals.has_value()) << name;
            continue;
        }
        ASSERT_TRUE(facts.literals.has_value()) << name;
        ASSERT_EQ(facts.literals->size(), c.branches.size()) << name;
        for (size_t b = 0; b < c.branches.size(); ++b)
            EXPECT_EQ((*facts.literals)[b].segments, c.branches[b]) << name;
    }
}

}  // namespace
