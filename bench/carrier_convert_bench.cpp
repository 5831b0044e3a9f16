// Text shown on another table (client::CarrierConverter) through the built module and the
// sample configuration: a megabyte of Japanese and Latin text with an emoji every hundred
// units, from a carrier and from standard Unicode. Beside it, Localize in mode 5 with the
// pattern an obvious design would use, every form in one alternation, longest first: Boost
// then tries each alternative at every unit beyond U+00FF, kana and kanji included.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/carrier_convert.h"
#include "client/carriers.h"

namespace {

using namespace glyphary::client;

struct Sample {
    std::unique_ptr<Module> module;
    std::vector<std::u16string> forms;
    Sample() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        module =
            std::make_unique<Module>(ModuleChoice{GLYPHARY_SAMPLE_DIR "/glyphary.so", "bench"});
        forms = ReadStandardEmojiForms(module->SettingsPath());
    }
};

Sample& Shared() {
    static Sample sample;
    return sample;
}

// About 2^20 units: hiragana, kanji and ASCII, and one emoji drawn from `emoji` per 100 units.
std::u16string MixedText(const std::vector<std::u16string>& emoji, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> kind(0, 99), hira(0x3041, 0x3093), kanji(0x4E00, 0x9FA0),
        ascii(0x20, 0x7E);
    std::uniform_int_distribution<size_t> pick(0, emoji.size() - 1);
    std::u16string text;
    while (text.size() < (1u << 20)) {
        const int k = kind(rng);
        if (k == 0) {
            text += emoji[pick(rng)];
        } else {
            text += static_cast<char16_t>(k < 40 ? hira(rng) : k < 70 ? kanji(rng) : ascii(rng));
        }
    }
    return text;
}

void Run(benchmark::State& state, EMapMode from, const std::u16string& text) {
    size_t out = 0;
    CarrierConverter converter(*Shared().module, from, MPM_softbank,
                               [&](std::u16string_view piece) { out += piece.size(); });
    for (auto _ : state) {
        text.copy(converter.Reserve(text.size()), text.size());
        converter.Commit(text.size());
        converter.Finish();
    }
    benchmark::DoNotOptimize(out);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void ConvertFromCarrier(benchmark::State& state) {
    std::vector<std::u16string> imode;
    for (char16_t u = 0xE63E; u <= 0xE6A5; ++u) imode.push_back(std::u16string(1, u));
    static const std::u16string text = MixedText(imode, 1);
    Run(state, MPM_imode, text);
}

void ConvertFromUnicode(benchmark::State& state) {
    static const std::u16string text = MixedText(Shared().forms, 2);
    Run(state, kUnicodeMode, text);
}

// The same search as ConvertFromUnicode's first step, with every form as an alternative, on
// an eighth of its text, to keep the run short.
void StandardEmojiAsOneAlternation(benchmark::State& state) {
    static const std::u16string text = MixedText(Shared().forms, 2).substr(0, 1u << 17);
    std::vector<std::u16string> forms = Shared().forms;
    std::sort(forms.begin(), forms.end(),
              [](const auto& a, const auto& b) { return a.size() > b.size(); });
    std::u16string pattern = u"(?<!\\x{200D})(";
    for (const std::u16string& form : forms) {
        if (pattern.back() != u'(') pattern += u'|';
        for (const char16_t unit : form) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\x{%X}", static_cast<unsigned>(unit));
            pattern.append(escaped, escaped + std::char_traits<char>::length(escaped));
        }
    }
    pattern += u")(?![\\x{200D}\\x{FE0F}\\x{FE0E}\\x{20E3}]|\\x{D83C}[\\x{DFFB}-\\x{DFFF}])";
    Glyphary object(Shared().module->Create());
    object.SetMapMode(kStandardFormsMode);
    object.Put(Property::localizePattern, pattern);
    object.Put(Property::localizeUndefinedFormat, u"%1%");
    for (auto _ : state) benchmark::DoNotOptimize(object.Convert(Operation::localize, text));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

BENCHMARK(ConvertFromCarrier)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertFromUnicode)->Unit(benchmark::kMillisecond);
BENCHMARK(StandardEmojiAsOneAlternation)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
