// Throughput of Globalize, Localize and GetUserAgentID: the module's operations ("fast")
// against the word-for-word reference ("plain") on the same inputs, and whole interface
// calls on short web messages ("short") and on User-Agents ("call").
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "convert/conversions.h"
#include "text/simd.h"
#include "text/utf.h"
#include "reference/plain.h"
#include "support/object.h"
#include "support/text.h"

namespace {

using namespace glyphary;

constexpr int kEmojiCount = 300;

// A table of 300 carrier units (U+E63E upwards) and their ids.
struct Tables {
    ModeTable codeToId, idToCode;
    Tables() {
        for (int i = 0; i < kEmojiCount; ++i) {
            const std::wstring code(1, static_cast<wchar_t>(0xE63E + i));
            const std::wstring id = L"emoji_" + std::to_wstring(i);
            codeToId.Set(code, id);
            idToCode.Set(id, code);
        }
    }
};
const Tables& SharedTables() {
    static const Tables tables;
    return tables;
}

// Japanese and ASCII text with one carrier emoji per `emojiEvery` units on average.
std::wstring MixedText(size_t units, int emojiEvery, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> kind(0, 99), hira(0x3041, 0x3093), kanji(0x4E00, 0x9FA0),
        ascii(0x20, 0x7E), emoji(0, kEmojiCount - 1), every(0, emojiEvery - 1);
    std::wstring text;
    text.reserve(units);
    while (text.size() < units) {
        if (every(rng) == 0) {
            text.push_back(static_cast<wchar_t>(0xE63E + emoji(rng)));
            continue;
        }
        const int k = kind(rng);
        text.push_back(static_cast<wchar_t>(k < 40 ? hira(rng) : k < 70 ? kanji(rng) : ascii(rng)));
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// Inputs. bench/peers writes its own into the directory named by GLYPHARY_BENCH_DATA, and runs
// Perl and Python on the same files: the long texts, the rules and the User-Agents then come
// from there (the table is the one above in both).

const char* PeerData() {
    return std::getenv("GLYPHARY_BENCH_DATA");
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(std::string(PeerData()) + "/" + name, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + name + " in GLYPHARY_BENCH_DATA");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lines of a UTF-8 file of peer data, as module text.
std::vector<std::wstring> ReadLines(const std::string& name) {
    const std::optional<std::u16string> units =
        text::Utf16FromUtf8(ReadFile(name), text::Errors::strict);
    if (!units) throw std::runtime_error(name + " is not UTF-8");
    std::vector<std::wstring> lines(1);
    for (const char16_t u : *units) {
        if (u == u'\n') {
            lines.emplace_back();
        } else {
            lines.back().push_back(static_cast<wchar_t>(u));
        }
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

const std::wstring kFormat = L":%1%:";
const std::wstring kPattern = L":([a-z0-9_]+):";

const std::wstring& LongCarrierText() {
    static const std::wstring text =
        PeerData() ? ReadLines("carrier.txt").at(0) : MixedText(1 << 20, 100, 1);
    return text;
}
const std::wstring& LongNeutralText() {
    static const std::wstring text = [] {
        GlobalizeCache cache;
        std::wstring out;
        GlobalizeText(LongCarrierText(), SharedTables().codeToId, kFormat, L"", cache, out);
        // The peers' files must be what Globalize and Localize make of each other: the same
        // work on both sides.
        if (PeerData()) {
            std::wstring back;
            LocalizeText(out, CompileLocalizePattern(kPattern), SharedTables().idToCode, L"", back);
            if (out != ReadLines("neutral.txt").at(0) || back != LongCarrierText())
                throw std::runtime_error(
                    "neutral.txt and carrier.txt do not convert to each other");
        }
        return out;
    }();
    return text;
}

void GlobalizeFast(benchmark::State& state) {
    const std::wstring& input = LongCarrierText();
    GlobalizeCache cache;
    for (auto _ : state) {
        std::wstring out;
        GlobalizeText(input, SharedTables().codeToId, kFormat, L"", cache, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

void GlobalizePlain(benchmark::State& state) {
    const std::wstring& input = LongCarrierText();
    for (auto _ : state) {
        std::wstring out = reference::Globalize(input, SharedTables().codeToId, kFormat, L"");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

void LocalizeFast(benchmark::State& state) {
    const std::wstring& input = LongNeutralText();
    for (auto _ : state) {
        // Compiled once per call, as an object does when its pattern is new.
        const LocalizeRegex rx = CompileLocalizePattern(kPattern);
        std::wstring out;
        LocalizeText(input, rx, SharedTables().idToCode, L"", out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

void LocalizePlain(benchmark::State& state) {
    const std::wstring& input = LongNeutralText();
    for (auto _ : state) {
        std::wstring out = reference::Localize(input, kPattern, SharedTables().idToCode, L"");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// The same text with a pattern that the engine must match (a lazy repeat is not the simple
// shape): the module only looks for the prefix of each match before handing over to it.
const std::wstring kEnginePattern = L":([a-z0-9_]+?):";

void LocalizeEngine(benchmark::State& state) {
    const std::wstring& input = LongNeutralText();
    for (auto _ : state) {
        const LocalizeRegex rx = CompileLocalizePattern(kEnginePattern);
        if (rx.simple || rx.prefix != L":") state.SkipWithError("not the engine's pattern");
        std::wstring out;
        LocalizeText(input, rx, SharedTables().idToCode, L"", out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// The search for the units a match starts with, alone, at one SIMD level (range 0; the scalar
// level is std::wstring_view::find): every occurrence of ":" (range 1 = 0), common in the
// text, or of ":emoji_" (1), whose first unit is as common and whose last is rarer.
void PrefixSearch(benchmark::State& state) {
    using text::simd::Level;
    const auto level = static_cast<Level>(state.range(0));
    if (level > text::simd::Detected()) {
        state.SkipWithError("level not available");
        return;
    }
    const std::wstring& input = LongNeutralText();
    const std::wstring needle = state.range(1) ? L":emoji_" : L":";
    text::simd::Limit(level);
    size_t found = 0;
    for (auto _ : state) {
        const std::wstring_view text(input);
        for (size_t from = 0, at; (at = FindUnits(text.substr(from), needle)) != text.npos;) {
            from += at + 1;
            ++found;
        }
    }
    text::simd::Limit(Level::avx512bw);
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// A pattern that starts with literal text, on a text that holds that text everywhere and
// sends the engine backtracking from each place until it gives up: the fast path must cost no
// more than the plain search (both end in E_FAIL here; the time to get there is measured).
const std::wstring kHostilePattern = L":((a|aa)*):";
const std::wstring& HostileText() {
    static const std::wstring text = [] {
        std::wstring t;
        while (t.size() < 8192) t += L":" + std::wstring(30, L'a') + L"!";
        return t;
    }();
    return text;
}

template <bool kFast>
void LocalizeHostile(benchmark::State& state) {
    const std::wstring& input = HostileText();
    for (auto _ : state) {
        std::wstring out;
        try {
            if (kFast) {
                LocalizeText(input, CompileLocalizePattern(kHostilePattern),
                             SharedTables().idToCode, L"", out);
            } else {
                out = reference::Localize(input, kHostilePattern, SharedTables().idToCode, L"");
            }
        } catch (const std::exception&) {
            // The engine's limits, as expected.
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// Ten rules in the shape of a real configuration, and User-Agent strings as a web server
// sees them: handsets of the three carriers, smartphones, desktop browsers and crawlers.
const UserAgentRules& Rules() {
    static const UserAgentRules rules = [] {
        UserAgentRules r;
        if (PeerData()) {
            for (const std::wstring& line : ReadLines("rules.txt")) {
                const size_t tab = line.find(L'\t');
                r.Append(std::stoi(line.substr(0, tab)), line.substr(tab + 1));
            }
            return r;
        }
        r.Append(1, L"DoCoMo/.*");
        r.Append(2, L"KDDI-.*");
        r.Append(2, L"UP\\.Browser/.*");
        r.Append(3, L"SoftBank/.*");
        r.Append(3, L"Vodafone/.*");
        r.Append(3, L"J-PHONE/.*");
        r.Append(3, L"MOT-.*");
        r.Append(4, L".*\\(iPhone;.*");
        r.Append(5, L".*Android.*Mobile.*");
        r.Append(6, L"Mozilla/5\\.0 \\(Windows NT.*");
        return r;
    }();
    return rules;
}
// With peer data, each line of ua.txt is the id the rules give and the User-Agent, after a tab:
// the answers are checked before anything is timed.
std::vector<std::wstring> PeerUserAgents() {
    std::vector<std::wstring> userAgents;
    for (const std::wstring& line : ReadLines("ua.txt")) {
        const size_t tab = line.find(L'\t');
        userAgents.push_back(line.substr(tab + 1));
        if (FindUserAgentId(userAgents.back(), Rules()) != std::stoi(line.substr(0, tab)))
            throw std::runtime_error("ua.txt: another id for a User-Agent");
    }
    return userAgents;
}

const std::vector<std::wstring>& UserAgents() {
    static const std::vector<std::wstring> userAgents =
        PeerData() ? PeerUserAgents()
                   : std::vector<std::wstring>{
                         L"DoCoMo/2.0 P903i(c100;TB;W24H12)",
                         L"KDDI-CA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0",
                         L"SoftBank/1.0/910T/TJ001/SN123456789012345 Browser/NetFront/3.3 "
                         L"Profile/MIDP-2.0 Configuration/CLDC-1.1",
                         L"Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) "
                         L"AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.4 Mobile/15E148 "
                         L"Safari/604.1",
                         L"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, "
                         L"like Gecko) Chrome/124.0.0.0 Safari/537.36",
                         L"Mozilla/5.0 (compatible; Googlebot/2.1; "
                         L"+http://www.google.com/bot.html)",
                         L"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 "
                         L"(KHTML, like Gecko) Version/17.4 Safari/605.1.15",
                         L"Vodafone/1.0/V905SH/SHJ001 Browser/VF-NetFront/3.3 Profile/MIDP-2.0 "
                         L"Configuration/CLDC-1.1",
                     };
    return userAgents;
}

void UserAgentFast(benchmark::State& state) {
    const std::vector<std::wstring>& userAgents = UserAgents();
    const UserAgentRules& rules = Rules();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindUserAgentId(userAgents[i], rules));
        if (++i == userAgents.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void UserAgentPlain(benchmark::State& state) {
    const std::vector<std::wstring>& userAgents = UserAgents();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::UserAgentId(userAgents[i], Rules()));
        if (++i == userAgents.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// The whole interface call: each User-Agent as a BSTR, the rules of the module's tables.
void UserAgentCall(benchmark::State& state) {
    static const bool appended = [] {
        for (const UserAgentRule& rule : Rules())
            g_tables.userAgentRules.Append(rule.id, rule.pattern);
        return true;
    }();
    (void)appended;
    std::vector<unique_bstr> userAgents;
    for (const std::wstring& ua : UserAgents())
        userAgents.push_back(testing::Bstr(testing::Narrow(ua)));
    auto obj = testing::MakeObject();
    size_t i = 0;
    for (auto _ : state) {
        LONG id = 0;
        if (FAILED(obj->GetUserAgentID(userAgents[i].get(), &id)))
            state.SkipWithError("call failed");
        benchmark::DoNotOptimize(id);
        if (++i == userAgents.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// A whole call on a 140-unit web message with two emoji, BSTR in and BSTR out.
std::u16string ShortMessage(bool neutral) {
    std::wstring text = MixedText(140, 1000000, 5);
    text[30] = 0xE63E;
    text[100] = 0xE63E + 41;
    if (neutral) {
        GlobalizeCache cache;
        std::wstring out;
        GlobalizeText(text, SharedTables().codeToId, kFormat, L"", cache, out);
        text = out;
    }
    return testing::Narrow(text);
}

void FillSharedTables() {
    static const bool filled = [] {
        for (int i = 0; i < kEmojiCount; ++i) {
            const std::wstring code(1, static_cast<wchar_t>(0xE63E + i));
            const std::wstring id = L"emoji_" + std::to_wstring(i);
            g_tables.codeToIdByMode.FindOrAdd(MPM_imode).Set(code, id);
            g_tables.idToCodeByMode.FindOrAdd(MPM_imode).Set(id, code);
        }
        g_tables.defaults = {kPattern, L"", kFormat, L""};
        return true;
    }();
    (void)filled;
}

template <bool kLocalize>
void ShortCall(benchmark::State& state) {
    FillSharedTables();
    auto obj = testing::MakeObject();
    obj->put_MapMode(MPM_imode);
    unique_bstr input = testing::Bstr(ShortMessage(kLocalize));
    for (auto _ : state) {
        BSTR out = nullptr;
        const HRESULT hr =
            kLocalize ? obj->Localize(input.get(), &out) : obj->Globalize(input.get(), &out);
        if (FAILED(hr)) state.SkipWithError("call failed");
        SysFreeString(out);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(GlobalizeFast)->Name("Globalize/fast")->Unit(benchmark::kMillisecond);
BENCHMARK(GlobalizePlain)->Name("Globalize/plain")->Unit(benchmark::kMillisecond);
BENCHMARK(LocalizeFast)->Name("Localize/fast")->Unit(benchmark::kMillisecond);
BENCHMARK(LocalizePlain)->Name("Localize/plain")->Unit(benchmark::kMillisecond);
BENCHMARK(LocalizeEngine)->Name("Localize/engine")->Unit(benchmark::kMillisecond);
BENCHMARK(PrefixSearch)
    ->Name("Localize/prefix")
    ->ArgsProduct({{0, 1, 3}, {0, 1}})
    ->ArgNames({"level", "needle"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(LocalizeHostile<true>)->Name("Localize/hostile/fast")->Unit(benchmark::kMillisecond);
BENCHMARK(LocalizeHostile<false>)->Name("Localize/hostile/plain")->Unit(benchmark::kMillisecond);
BENCHMARK(UserAgentFast)->Name("UserAgent/fast");
BENCHMARK(UserAgentPlain)->Name("UserAgent/plain");
BENCHMARK(UserAgentCall)->Name("UserAgent/call");
BENCHMARK(ShortCall<false>)->Name("Globalize/short");
BENCHMARK(ShortCall<true>)->Name("Localize/short");
