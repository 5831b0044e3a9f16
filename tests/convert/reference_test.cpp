// The module's operations against the word-for-word reference, on seeded random inputs.
#include <random>

#include <boost/format.hpp>
#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/pattern_facts.h"
#include "reference/plain.h"

namespace {

using namespace glyphary;

// Random text over a small alphabet that the tables and patterns below care about, with
// units from across the BMP (surrogates included) mixed in.
std::wstring RandomText(std::mt19937& rng, size_t maxLength) {
    static const std::wstring alphabet = L"ab:x[]\n ;\xE63E\xE63F\xE640\x3042\xD83D\xDE00";
    std::uniform_int_distribution<size_t> len(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() + 3);
    std::uniform_int_distribution<int> any(1, 0xFFFF);
    std::wstring text;
    for (size_t n = len(rng); n > 0; --n) {
        const size_t k = pick(rng);
        text.push_back(k < alphabet.size() ? alphabet[k] : static_cast<wchar_t>(any(rng)));
    }
    return text;
}

TEST(FastPathsMatchReference, Globalize) {
    std::mt19937 rng(20261208);
    const std::wstring formats[] = {L":%1%:", L"", L"[%1%|%1%]", L"%-6s", L"*"};
    for (int round = 0; round < 300; ++round) {
        ModeTable table;
        const int entries = round % 20;
        for (int i = 0; i < entries; ++i) {
            const std::wstring key = RandomText(rng, 2);
            if (!key.empty()) table.Set(key, round % 3 ? RandomText(rng, 4) : L"");
        }
        const std::wstring& format = formats[round % 5];
        const std::wstring& undefinedFormat = formats[(round / 5) % 5];
        GlobalizeCache cache;
        for (int call = 0; call < 5; ++call) {  // the cache carries over between calls
            const std::wstring input = RandomText(rng, 200);
            std::wstring fast;
            GlobalizeText(input, table, format, undefinedFormat, cache, fast);
            ASSERT_EQ(fast, reference::Globalize(input, table, format, undefinedFormat))
                << "round " << round;
        }
    }
}

TEST(FastPathsMatchReference, Localize) {
    std::mt19937 rng(1208);
    const std::wstring patterns[] = {
        L":([a-z]+):",
        L":([^:]*):",
        L"^:([ab]+):",
        L":(?<=a:)([ab])",
        L"a\\b([ab:]*)",
        L"\\[([ab]+)\\]|:(a)",
        L"x*",
        L"",
        L"(?=b)",
        L"a\\K(b)",
        L":$",
        L"[:;]([ab]*)",
        L":(a|b)+?",
        L";(?:x|a)(\\w*)",
        L"(?<!b):([a-z])",
        L"b(?=\\n)",
        L":a(?<=\\n:a)b",
        L"x:?b",
        L"\\[(a)\\]",
        L"ab\\b",
    };
    ModeTable table;
    table.Set(L"a", L"\xE63E");
    table.Set(L"ab", L"");
    table.Set(L"b", L"\xD83D\xDE00");
    const std::wstring formats[] = {L"", L"<%1%>", L"?"};
    for (const std::wstring& pattern : patterns) {
        const LocalizeRegex rx = CompileLocalizePattern(pattern);
        for (int round = 0; round < 200; ++round) {
            const std::wstring input = RandomText(rng, 60);
            const std::wstring& format = formats[round % 3];
            std::wstring fast;
            LocalizeText(input, rx, table, format, fast);
            ASSERT_EQ(fast, reference::Localize(input, pattern, table, format))
                << "pattern " << std::string(pattern.begin(), pattern.end()) << " round " << round;
        }
    }
}

TEST(PatternFacts, ClaimOnlyWhatEveryMatchMustHold) {
    struct Case {
        const wchar_t* pattern;
        std::wstring prefix;
        std::vector<std::wstring> required;
    };
    const Case cases[] = {
        {L":([a-z]+):", L":", {L":", L":"}},
        {L"DoCoMo/.*", L"DoCoMo/", {L"DoCoMo/"}},
        {L"UP\\.Browser/.*", L"UP.Browser/", {L"UP.Browser/"}},
        {L".*\\(iPhone;.*", L"", {L"(iPhone;"}},
        {L"ab?c", L"a", {L"a", L"c"}},
        {L"ab{2}c", L"a", {L"a", L"c"}},
        {L"a(bc)*d", L"a", {L"a", L"d"}},
        {L"a(b|c)d", L"a", {L"a", L"d"}},
        {L":?a", L"", {L"a"}},
        {L"[:]x", L"", {L"x"}},
        {L"^abc", L"", {L"abc"}},
        {L"a\\db", L"a", {L"a", L"b"}},
        // Nothing is claimed where the scan cannot be sure.
        {L":a|b", L"", {}},
        {L"(?i)abc", L"", {}},
        {L"a(?#|)b", L"", {}},
        {L"a\\Qb|c\\E", L"", {}},
        {L"a\\x{41}", L"", {}},
        {L"a\\1", L"", {}},
        {L":\\G", L"", {}},
        {L":(*COMMIT)a", L"", {}},
        {L":[[:alpha:]]", L"", {}},
        {L"a{", L"", {}},
        {L"a)", L"", {}},
        {L"", L"", {}},
        {L"a\\Kb", L"", {}},
    };
    for (const Case& c : cases) {
        const PatternFacts facts = AnalyzePattern(c.pattern);
        EXPECT_EQ(facts.prefix, c.prefix) << std::string(c.pattern, c.pattern + wcslen(c.pattern));
        EXPECT_EQ(facts.required, c.required)
            << std::string(c.pattern, c.pattern + wcslen(c.pattern));
    }
}

TEST(PatternFacts, WildcardEndsAreFoundOnlyWhereTheyAreTopLevel) {
    struct Case {
        const wchar_t* pattern;
        bool leading, trailing;
        std::wstring inner;
    };
    const Case cases[] = {
        {L"DoCoMo/.*", false, true, L"DoCoMo/"},
        {L".*\\(iPhone;.*", true, true, L"\\(iPhone;"},
        {L".*?x", true, false, L"x"},
        {L".*+x", false, false, L".*+x"},
        {L"a\\.*", false, false, L"a\\.*"},
        {L"a\\\\.*", false, true, L"a\\\\"},
        {L"(a.*)", false, false, L"(a.*)"},
        {L".*", true, false, L""},
        {L"a|.*", false, false, L""},
    };
    for (const Case& c : cases) {
        const PatternFacts facts = AnalyzePattern(c.pattern);
        const std::string name(c.pattern, c.pattern + wcslen(c.pattern));
        EXPECT_EQ(facts.leadingAny, c.leading) << name;
        EXPECT_EQ(facts.trailingAny, c.trailing) << name;
        if (c.leading || c.trailing) {
            EXPECT_EQ(facts.inner, c.inner) << name;
        }
    }
}

TEST(FastPathsMatchReference, UserAgent) {
    std::mt19937 rng(7);
    UserAgentRules rules;
    rules.Append(1, L"a.*");
    rules.Append(2, L"(b|:)+x?");
    rules.Append(3, L".*\\[.*");
    rules.Append(4, L"");
    rules.Append(5, L"[^a]*a[^a]*");
    rules.Append(6, L".*:b.*");
    rules.Append(7, L"\\[a?b:.*");
    rules.Append(8, L"b(a|:)*x");
    rules.Append(9, L".*a\\n.*");
    rules.Append(10, L".*(?<=:)b.*");
    rules.Append(11, L"\\[.*");
    rules.Append(12, L".*?x");
    rules.Append(13, L"^.*b$");
    rules.Append(14, L".*:\\.*");
    rules.Append(15, L"a\\b.*");
    for (int round = 0; round < 2000; ++round) {
        const std::wstring ua = RandomText(rng, 12);
        ASSERT_EQ(FindUserAgentId(ua, rules), reference::UserAgentId(ua, rules));
    }
}

}  // namespace
