// The module's operations against the word-for-word reference, on seeded random inputs.
#include <optional>
#include <random>
#include <vector>

#include <boost/format.hpp>
#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "convert/conversions.h"
#include "convert/errors.h"
#include "convert/format.h"
#include "convert/pattern_facts.h"
#include "reference/plain.h"
#include "support/simd_levels.h"

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

// The scan for carrier units at every SIMD level, started at every offset and cut at every
// length: codes, neighbours just outside the table's range and a gap inside it, spread so
// that each falls at every place of a block.
TEST(FastPathsMatchReference, GlobalizeAtEveryLevelOffsetAndLength) {
    ModeTable table;
    table.Set(L"\xE63E", L"1");
    table.Set(L"\xE640", L"");
    table.Set(L"\xE700", L"3");
    const wchar_t others[] = {L'\xE63E', L'\xE63D', L'\xE63F', L'\xE700', L'\xE701', L'\xE640'};
    std::wstring text;
    for (size_t run = 0; run <= 40; ++run) text += std::wstring(run, L'a') + others[run % 6];
    for (size_t at = 0; at < 48; ++at) {
        for (size_t length = 0; at + length <= text.size(); ++length) {
            const std::wstring input = text.substr(at, length);
            const std::wstring expected = reference::Globalize(input, table, L"[%1%]", L"?");
            glyphary::testing::AtEveryLevel([&](auto) {
                GlobalizeCache cache;
                std::wstring out;
                GlobalizeText(input, table, L"[%1%]", L"?", cache, out);
                ASSERT_EQ(out, expected) << at << "+" << length;
            });
        }
    }
}

// The search for the units every match starts with, at every SIMD level, against
// std::wstring_view::find: needles of one to four units over text made of their own units and
// look-alikes (the same low byte, the same low half), searched from every start and cut at
// every length, so that matches and near-matches fall at every place of a block and at the end.
TEST(FastPathsMatchReference, FindUnitsAtEveryLevelOffsetAndLength) {
    std::mt19937 rng(20261210);
    std::wstring alphabet = L"a:b\x013A\xE63A\x3A00";
    if constexpr (sizeof(wchar_t) == 4) alphabet += static_cast<wchar_t>(0x1003A);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 24; ++round) {
        std::wstring needle;
        for (int n = 1 + round % 4; n > 0; --n) needle += alphabet[pick(rng)];
        std::wstring text;
        while (text.size() < 72) {
            if (pick(rng) == 0) text += needle;
            text += alphabet[pick(rng)];
        }
        for (size_t at = 0; at < 40; ++at) {
            for (size_t length = 0; at + length <= text.size(); ++length) {
                // Exactly `length` units, so that a read past them is a fault under ASan.
                const std::vector<wchar_t> piece(text.begin() + at, text.begin() + at + length);
                const std::wstring_view view(piece.data(), piece.size());
                const size_t expected = view.find(needle);
                glyphary::testing::AtEveryLevel([&](auto) {
                    ASSERT_EQ(FindUnits(view, needle), expected)
                        << round << ": " << at << "+" << length;
                });
            }
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
    const std::wstring formats[] = {L"", L"<%1%>", L"?", L"[%-4s]"};
    for (const std::wstring& pattern : patterns) {
        const LocalizeRegex rx = CompileLocalizePattern(pattern);
        for (int round = 0; round < 200; ++round) {
            const std::wstring input = RandomText(rng, 60);
            const std::wstring& format = formats[round % 4];
            std::wstring fast;
            LocalizeText(input, rx, table, format, fast);
            ASSERT_EQ(fast, reference::Localize(input, pattern, table, format))
                << "pattern " << std::string(pattern.begin(), pattern.end()) << " round " << round;
        }
    }
}

// A prepared format against Boost.Format applied afresh, on formats of literal text and every
// kind of directive, well-formed or not.
TEST(FastPathsMatchReference, PreparedFormat) {
    std::mt19937 rng(20261212);
    static const wchar_t* const pieces[] = {L"a",    L":",      L"%1%",   L"%%",   L"%",    L"%s",
                                            L"%2%",  L"%1$s",   L"%|1$|", L"%-6s", L"%10%", L"%01%",
                                            L"%%1%", L"\xE63E", L"%1",    L"1%",   L"%|",   L" "};
    std::uniform_int_distribution<size_t> count(0, 5), pick(0, std::size(pieces) - 1);
    const auto plain = [](const std::wstring& format, const std::wstring& argument) {
        try {
            boost::wformat f(format);
            f.exceptions(boost::io::all_error_bits ^ boost::io::too_many_args_bit);
            f % argument;
            return std::optional<std::wstring>(f.str());
        } catch (const boost::io::format_error&) {
            return std::optional<std::wstring>();
        }
    };
    int joined = 0;
    for (int round = 0; round < 3000; ++round) {
        std::wstring format;
        for (size_t n = count(rng); n > 0; --n) format += pieces[pick(rng)];
        const PreparedFormat prepared(format);
        joined += prepared.joined();
        for (int call = 0; call < 3; ++call) {
            const std::wstring argument = RandomText(rng, 6) + (call == 2 ? L"%1%" : L"");
            std::optional<std::wstring> fast(L">");
            try {
                prepared.AppendTo(*fast, argument, L"LocalizeUndefinedFormat");
                fast->erase(0, 1);
            } catch (const ConversionError& e) {
                ASSERT_EQ(e.hr(), E_INVALIDARG);
                fast.reset();
            }
            ASSERT_EQ(fast, plain(format, argument)) << std::string(format.begin(), format.end());
        }
    }
    EXPECT_GT(joined, 600);  // both ways of applying are taken
    EXPECT_LT(joined, 2400);
}

// ---------------------------------------------------------------------------------------------
// Generated patterns: every construct of the default syntax, well-formed or not, nested and
// repeated at random. The fast paths and the facts behind them must hold for all of them.

class PatternGenerator {
  public:
    explicit PatternGenerator(std::mt19937& rng) : m_rng(rng) {}

    std::wstring Pattern() {
        std::wstring p = Alternatives(0);
        switch (Pick(8)) {  // the shapes the fast paths look for
            case 0:
                return L".*" + p + L".*";
            case 1:
                return p + L".*";
            case 2:
                return L".*?" + p;
            case 3:
            case 4:
                return Notation();
            default:
                return p;
        }
    }

    // Literal text, a group of one repeated class, literal text: LocalizePattern's usual shape,
    // with what makes it need the engine after all (a lazy repeat, text after it that can
    // begin inside the class) mixed in.
    std::wstring Notation() {
        static const wchar_t* const marks[] = {L":", L"::", L"[", L"a", L"<", L"x:", L"\\.", L""};
        static const wchar_t* const runs[] = {
            L"[a-z]", L"[a-z0-9_+\\-]",    L"[^:]", L"[^\\n:]", L".", L"a",
            L"[ab:]", L"[\xE63E-\xE640x]", L"\\w"};
        static const wchar_t* const repeats[] = {L"+", L"*", L"+?", L"++", L"{1,}"};
        return std::wstring(OneOf(marks)) + L"(" + OneOf(runs) + OneOf(repeats) + L")" +
               OneOf(marks);
    }

  private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
    template <size_t N>
    const wchar_t* OneOf(const wchar_t* const (&choices)[N]) {
        return choices[Pick(N)];
    }

    std::wstring Alternatives(int depth) {
        std::wstring p = Sequence(depth);
        while (Pick(depth == 0 ? 5 : 3) == 0) p += L"|" + Sequence(depth);
        return p;
    }

    std::wstring Sequence(int depth) {
        std::wstring p;
        for (size_t n = 1 + Pick(4); n > 0; --n) p += Atom(depth) + Repeat();
        return p;
    }

    std::wstring Atom(int depth) {
        static const wchar_t* const literals[] = {L"a",      L"b", L":", L"x", L"<",  L">",
                                                  L"-",      L"_", L" ", L"#", L"'",  L"`",
                                                  L"\xE63E", L"{", L"}", L"]", L"ab", L"a:b"};
        static const wchar_t* const escapes[] = {
            L"\\<",  L"\\>",     L"\\`",      L"\\'",       L"\\b",     L"\\B",        L"\\A",
            L"\\z",  L"\\Z",     L"\\G",      L"\\K",       L"\\d",     L"\\D",        L"\\w",
            L"\\W",  L"\\s",     L"\\S",      L"\\h",       L"\\H",     L"\\v",        L"\\V",
            L"\\n",  L"\\r",     L"\\t",      L"\\e",       L"\\a",     L"\\f",        L"\\l",
            L"\\u",  L"\\L",     L"\\U",      L"\\E",       L"\\:",     L"\\.",        L"\\{",
            L"\\}",  L"\\[",     L"\\\\",     L"\\-",       L"\\ ",     L"\\x3A",      L"\\x{61}",
            L"\\cA", L"\\0",     L"\\101",    L"\\p{L}",    L"\\P{Ll}", L"\\N{colon}", L"\\X",
            L"\\C",  L"\\R",     L"\\Qa:\\E", L"\\Q]|(\\E", L"\\Qab",   L"\\1",        L"\\2",
            L"\\g1", L"\\g{-1}", L"\\k<n>",   L"\\"};
        static const wchar_t* const classes[] = {L"[ab]",
                                                 L"[^:]",
                                                 L"[a-z]",
                                                 L"[\\d:]",
                                                 L"[[:alpha:]]",
                                                 L"[]a]",
                                                 L"[^]a]",
                                                 L"[\\]]",
                                                 L"[a\\-z]",
                                                 L"[\\n]",
                                                 L"[^\\n]",
                                                 L"[[:^digit:]]",
                                                 L"[\\x{41}-\\x{5A}]",
                                                 L"[\\s]",
                                                 L"[\\W]",
                                                 L"[^\\s]",
                                                 L"[-a]",
                                                 L"[a-]",
                                                 L"[\\Q]\\E]",
                                                 L"[\\cJ]",
                                                 L"[=a=]",
                                                 L"[\\b]",
                                                 L"[\t-\r]",
                                                 L"[b-a]",
                                                 L"[a"};
        static const wchar_t* const options[] = {L"(?i)",  L"(?-i)",     L"(?x)",  L"(?s)",
                                                 L"(?-s)", L"(?m)",      L"(?#c)", L"(?#:a|)",
                                                 L"(?i)a", L"(*COMMIT)", L"(?R)",  L"(?1)"};
        static const wchar_t* const opens[] = {L"(",     L"(?:",  L"(?=",  L"(?!",
                                               L"(?<=",  L"(?<!", L"(?>",  L"(?i:",
                                               L"(?<n>", L"(?|",  L"(?x:", L"(?-s:"};
        switch (Pick(depth < 3 ? 9 : 6)) {
            case 0:
            case 1:
            case 2:
                return OneOf(literals);
            case 3:
                return OneOf(escapes);
            case 4:
                return Pick(2) ? OneOf(classes)
                               : std::wstring(Pick(2)   ? L"."
                                              : Pick(2) ? L"^"
                                                        : L"$");
            case 5:
                return OneOf(options);
            default: {
                const std::wstring open = OneOf(opens);
                // Look-behind wants a fixed length: keep its content to plain literals.
                if (open.starts_with(L"(?<=") || open.starts_with(L"(?<!"))
                    return open + OneOf(literals) + L")";
                return open + Alternatives(depth + 1) + L")";
            }
        }
    }

    std::wstring Repeat() {
        static const wchar_t* const repeats[] = {L"*",    L"+",    L"?",      L"{2}", L"{1,3}",
                                                 L"{0,}", L"{,2}", L"{x}",    L"{1",  L"*?",
                                                 L"+?",   L"?+",   L"{1,2}?", L"*+",  L"**"};
        if (Pick(3) != 0) return {};
        return OneOf(repeats);
    }

    std::mt19937& m_rng;
};

// Text over the units the generated patterns care about.
std::wstring GeneratedText(std::mt19937& rng) {
    static const std::wstring alphabet = L"abAB:x_-<>{}[] #'`\n\t1\xE63E";
    std::uniform_int_distribution<size_t> len(0, 24), pick(0, alphabet.size() - 1);
    std::wstring text;
    for (size_t n = len(rng); n > 0; --n) text.push_back(alphabet[pick(rng)]);
    return text;
}

std::optional<boost::wregex> TryCompile(const std::wstring& pattern) {
    if (HangsTheRegexCompiler(pattern)) return std::nullopt;
    try {
        return boost::wregex(pattern, boost::regex_constants::normal);
    } catch (const boost::regex_error&) {
        return std::nullopt;
    }
}

// The outcome of a conversion: its text, or "gave up" when the regex engine hit its limits
// (its budget depends on the length searched, so either path may give up where the other
// does not).
struct Outcome {
    bool gaveUp = false;
    std::wstring text;
};

template <class F>
Outcome Attempt(F&& f) {
    try {
        return {false, f()};
    } catch (const ConversionError& e) {
        if (e.hr() != E_FAIL) throw;
        return {true, {}};
    } catch (const std::runtime_error&) {  // the reference's regex engine giving up
        return {true, {}};
    }
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

TEST(GeneratedPatterns, FastPathsMatchTheReferenceAndTheFactsHold) {
    std::mt19937 rng(20261209);
    PatternGenerator generator(rng);
    ModeTable table;
    table.Set(L"a", L"\xE63E");
    table.Set(L"ab", L"");
    table.Set(L":", L"[colon]");
    int compiled = 0, withFacts = 0, splittable = 0, simple = 0;
    for (int round = 0; round < 2500; ++round) {
        const std::wstring pattern = generator.Pattern();
        const std::optional<boost::wregex> regex = TryCompile(pattern);
        if (!regex) continue;
        ++compiled;
        const PatternFacts facts = AnalyzePattern(pattern);
        withFacts += !facts.prefix.empty() || !facts.required.empty() || facts.trailingAny;
        splittable += facts.splitsAfterLineFeed;
        simple += facts.simple.has_value();
        const LocalizeRegex rx = CompileLocalizePattern(pattern);
        UserAgentRules rules;
        rules.Append(1, pattern);
        for (int call = 0; call < 8; ++call) {
            const std::wstring text = GeneratedText(rng);
            const std::wstring format = call % 2 ? L"<%1%>" : L"";
            const auto where = [&] {
                return "pattern " + Narrow(pattern) + " text " + Narrow(text);
            };

            const Outcome fast = Attempt([&] {
                std::wstring out;
                LocalizeText(text, rx, table, format, out);
                return out;
            });
            const Outcome plain =
                Attempt([&] { return reference::Localize(text, pattern, table, format); });
            if (!fast.gaveUp && !plain.gaveUp) {
                ASSERT_EQ(fast.text, plain.text) << where();
            }

            const Outcome id =
                Attempt([&] { return std::to_wstring(FindUserAgentId(text, rules)); });
            const Outcome plainId =
                Attempt([&] { return std::to_wstring(reference::UserAgentId(text, rules)); });
            if (!id.gaveUp && !plainId.gaveUp) {
                ASSERT_EQ(id.text, plainId.text) << where();
            }

            // Every match begins with the prefix and holds the required runs.
            boost::wsmatch m;
            try {
                if (boost::regex_search(text, m, *regex)) {
                    const std::wstring matched = m[0].str();
                    ASSERT_TRUE(matched.starts_with(facts.prefix)) << where();
                    for (const std::wstring& run : facts.required)
                        ASSERT_NE(matched.find(run), std::wstring::npos) << where();
                }
            } catch (const std::runtime_error&) {
            }

            // A text cut after its line feeds converts as the whole does.
            if (facts.splitsAfterLineFeed && !plain.gaveUp) {
                const Outcome pieces = Attempt([&] {
                    std::wstring out;
                    size_t start = 0;
                    while (start < text.size()) {
                        size_t cut = text.find(L'\n', start);
                        cut = cut == std::wstring::npos ? text.size() : cut + 1;
                        out += reference::Localize(text.substr(start, cut - start), pattern, table,
                                                   format);
                        start = cut;
                    }
                    return out;
                });
                if (!pieces.gaveUp) {
                    ASSERT_EQ(pieces.text, plain.text) << where();
                }
            }
        }
    }
    // The generator reaches every kind of pattern the facts are about.
    EXPECT_GT(compiled, 800);
    EXPECT_GT(withFacts, 200);
    EXPECT_GT(splittable, 100);
    EXPECT_GT(simple, 120);
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
        // Escapes that are assertions, not the punctuation they show; a brace that starts no
        // repeat.
        {L"\\<DoCoMo/.*", L"", {L"DoCoMo/"}},
        {L"a\\>b", L"a", {L"a", L"b"}},
        {L"\\`a\\'", L"", {L"a"}},
        {L"a{x}", L"", {}},
    };
    for (const Case& c : cases) {
        const PatternFacts facts = AnalyzePattern(c.pattern);
        EXPECT_EQ(facts.prefix, c.prefix) << std::string(c.pattern, c.pattern + wcslen(c.pattern));
        EXPECT_EQ(facts.required, c.required)
            << std::string(c.pattern, c.pattern + wcslen(c.pattern));
    }
}

TEST(PatternFacts, TheDefaultPatternLetsTextBeCutAfterLineFeeds) {
    EXPECT_TRUE(AnalyzePattern(L":([a-z0-9_+\\-]+):").splitsAfterLineFeed);
    for (const wchar_t* p : {L":(.+):", L":([^:]+):", L"(?<=x):(a):", L"\\A:(a):", L"(a*)"})
        EXPECT_FALSE(AnalyzePattern(p).splitsAfterLineFeed) << std::string(p, p + wcslen(p));
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
