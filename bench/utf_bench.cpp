// Throughput of the transcoder on text like a handset's: ASCII and Japanese words mixed, a
// carrier emoji now and then; with the SIMD paths, and without them (/scalar) for the ratio.
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "text/simd.h"
#include "text/utf.h"

namespace {

using namespace glyphary::text;

// Fast paths up to `level` while it lives.
struct AtLevel {
    explicit AtLevel(simd::Level level) { simd::Limit(level); }
    ~AtLevel() { simd::Limit(simd::Level::avx512bw); }
};

const std::u16string& MixedText() {
    static const std::u16string text = [] {
        const std::u16string words[] = {u"Good", u"morning",  u"今日は",  u"晴れ",
                                        u"です", u"the",      u"weather", u"is",
                                        u"雨",   u"しれない", u"\xE63E"};
        std::mt19937 rng(4);
        std::uniform_int_distribution<size_t> pick(0, std::size(words) - 1);
        std::u16string t;
        while (t.size() < (1 << 20)) t += words[pick(rng)] + u" ";
        return t;
    }();
    return text;
}

const std::string& MixedUtf8() {
    static const std::string bytes = *Utf8FromUtf16(MixedText(), Errors::strict);
    return bytes;
}

template <simd::Level kLevel>
void Decode(benchmark::State& state) {
    const AtLevel level(kLevel);
    const std::string& in = MixedUtf8();
    std::u16string out(in.size(), u'\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(Utf16FromUtf8(in, out.data(), true, Errors::strict));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

template <simd::Level kLevel>
void Encode(benchmark::State& state) {
    const AtLevel level(kLevel);
    const std::u16string& in = MixedText();
    std::string out(in.size() * 3, '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(Utf8FromUtf16(in, out.data(), true, Errors::strict));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(MixedUtf8().size()));
}

// Text of one kind: mail and markup in English (a Japanese word or an emoji every few hundred
// bytes), or Japanese prose (kana and kanji with a little punctuation).
const std::u16string& KindText(bool ascii) {
    static const auto make = [](bool asciiHeavy) {
        const std::u16string ascii =
            u"<p>The quick brown fox jumps over the lazy dog; see https://example.jp/a?b=c</p> ";
        const std::u16string japanese =
            u"今日は晴れですが、明日は雨かもしれないと天気予報で言っていました。";
        std::u16string t;
        for (int k = 0; t.size() < (1 << 20); ++k)
            t += asciiHeavy ? ascii + (k % 4 == 0 ? u"晴れ\xE63E " : u"") : japanese;
        return t;
    };
    static const std::u16string kinds[2] = {make(false), make(true)};
    return kinds[ascii];
}

void DecodeKind(benchmark::State& state) {
    const std::string in = *Utf8FromUtf16(KindText(state.range(0)), Errors::strict);
    std::u16string out(in.size(), u'\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(Utf16FromUtf8(in, out.data(), true, Errors::strict));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

void EncodeKind(benchmark::State& state) {
    const std::u16string& in = KindText(state.range(0));
    std::string out(in.size() * 3, '\0');
    const size_t bytes = Utf8FromUtf16(in, Errors::strict)->size();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Utf8FromUtf16(in, out.data(), true, Errors::strict));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

}  // namespace

BENCHMARK(DecodeKind)->Name("Utf/utf8-to-utf16/ascii-heavy")->Arg(1);
BENCHMARK(DecodeKind)->Name("Utf/utf8-to-utf16/japanese")->Arg(0);
BENCHMARK(EncodeKind)->Name("Utf/utf16-to-utf8/ascii-heavy")->Arg(1);
BENCHMARK(EncodeKind)->Name("Utf/utf16-to-utf8/japanese")->Arg(0);
BENCHMARK(Decode<simd::Level::avx512bw>)->Name("Utf/utf8-to-utf16");
BENCHMARK(Encode<simd::Level::avx512bw>)->Name("Utf/utf16-to-utf8");
BENCHMARK(Decode<simd::Level::scalar>)->Name("Utf/utf8-to-utf16/scalar");
BENCHMARK(Encode<simd::Level::scalar>)->Name("Utf/utf16-to-utf8/scalar");
