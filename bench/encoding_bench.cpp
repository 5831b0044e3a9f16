// Throughput of the text layer's codecs on handset text: 8 MiB of Japanese with ASCII words and
// about one emoji in twenty characters, read and written through Decoder and Encoder in the
// 1 MiB pieces the program uses, in UTF-8, Shift_JIS (i-mode) and each with character
// references; the *Scalar ones without SIMD paths, for the ratio. Bytes per second count the
// encoded side; items per second count UTF-16 units.
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "text/codec.h"
#include "text/shift_jis.h"
#include "text/simd.h"

namespace {

using namespace glyphary::text;

constexpr size_t kPiece = size_t{1} << 20;

// Units, as a post from a handset holds them.
const std::u16string& Text() {
    static const std::u16string text = [] {
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> percent(0, 99), hiragana(0x3041, 0x3093),
            kanji(0x4E00, 0x4FFF), ascii(0x61, 0x7A), length(2, 8), emoji(0, 93);
        std::u16string t;
        while (t.size() < (size_t{4} << 20)) {
            const int p = percent(rng);
            if (p < 5) {
                t += static_cast<char16_t>(0xE63E + emoji(rng));  // i-mode's first run
            } else if (p < 20) {
                for (int i = length(rng); i > 0; --i) t += static_cast<char16_t>(ascii(rng));
                t += u' ';
            } else if (p < 45) {
                char16_t k;
                do k = static_cast<char16_t>(kanji(rng));
                while (ShiftJisTable::For(Carrier::imode).Encode(k) == ShiftJisTable::kNone);
                t += k;
            } else if (p < 47) {
                t += u"\u3002\n";
            } else {
                t += static_cast<char16_t>(hiragana(rng));
            }
        }
        return t;
    }();
    return text;
}

Format FormatOf(const benchmark::State& state) {
    return {static_cast<Encoding>(state.range(0)), Carrier::imode,
            state.range(1) ? Forms(Form::references) : Forms()};
}

void Label(benchmark::State& state) {
    state.SetLabel(std::string(EncodingName(static_cast<Encoding>(state.range(0)))) +
                   (state.range(1) ? " ncr" : ""));
}

void BM_Decode(benchmark::State& state) {
    const Format format = FormatOf(state);
    const std::string bytes = Encode(Text(), format);
    std::u16string out(Decoder::Room(kPiece), u'\0');
    size_t units = 0;
    for (auto _ : state) {
        Decoder decoder(format, Errors::strict);
        units = 0;
        for (size_t at = 0; at < bytes.size(); at += kPiece) {
            const std::string_view piece = std::string_view(bytes).substr(at, kPiece);
            units += decoder.Decode(piece, at + kPiece >= bytes.size(), out.data()).units;
        }
        benchmark::DoNotOptimize(out.data());
    }
    if (units != Text().size()) state.SkipWithError("the text did not read back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Text().size()));
    Label(state);
}

void BM_Encode(benchmark::State& state) {
    const Format format = FormatOf(state);
    const std::u16string& text = Text();
    ByteBuffer out;
    for (auto _ : state) {
        Encoder encoder(format, Errors::strict);
        out.clear();
        for (size_t at = 0; at < text.size(); at += kPiece)
            benchmark::DoNotOptimize(
                encoder.Encode(std::u16string_view(text).substr(at, kPiece), false, out));
        benchmark::DoNotOptimize(encoder.Encode({}, true, out));
        benchmark::DoNotOptimize(out.view().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    Label(state);
}

void Formats(benchmark::internal::Benchmark* b) {
    for (const Encoding e : {Encoding::utf8, Encoding::sjis})
        for (const int ncr : {0, 1}) b->Args({static_cast<int>(e), ncr});
    b->Unit(benchmark::kMillisecond);
}

// The same without SIMD paths.
template <void (*Run)(benchmark::State&)>
void Scalar(benchmark::State& state) {
    simd::Limit(simd::Level::scalar);
    Run(state);
    simd::Limit(simd::Level::avx512bw);
}

BENCHMARK(BM_Decode)->Apply(Formats);
BENCHMARK(BM_Encode)->Apply(Formats);
BENCHMARK(Scalar<BM_Decode>)->Name("BM_DecodeScalar")->Apply(Formats);
BENCHMARK(Scalar<BM_Encode>)->Name("BM_EncodeScalar")->Apply(Formats);

}  // namespace
