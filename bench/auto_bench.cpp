// Reading stored handset text whose carrier is not known: 8 MiB of Japanese with ASCII words,
// about one emoji in twenty characters, each line written by one of the three carriers (its
// Shift_JIS codes), read in the 1 MiB pieces the program uses. Decoding alone, for one named
// carrier and found per line (text::Decoder for Carrier::automatic and a CarrierResolver); the
// whole of `convert --from auto --to unicode --input-encoding sjis` (decoding, resolving,
// converting through the sample module's tables, writing UTF-8) against the same for one
// named carrier; and UTF-8 with the default legacy forms against none. Bytes per second count
// the input.
#include <memory>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "client/carrier_convert.h"
#include "client/carriers.h"
#include "text/codec.h"
#include "text/resolver.h"
#include "text/shift_jis.h"
#include "text/text_pipe.h"

namespace {

using namespace glyphary;
using text::Carrier;

constexpr size_t kPiece = size_t{1} << 20;

// The text as units, and each line's carrier.
struct Handsets {
    std::u16string units;
    std::vector<Carrier> lineCarriers;
    std::string sjis;   // each line in its carrier's Shift_JIS
    std::string imode;  // every line written as i-mode's, for the named-carrier runs
};

const Handsets& Text() {
    static const Handsets text = [] {
        Handsets h;
        std::mt19937 rng(11);
        std::uniform_int_distribution<int> percent(0, 99), hiragana(0x3041, 0x3093),
            kanji(0x4E00, 0x4FFF), ascii(0x61, 0x7A), length(2, 8), carrier(0, 2);
        std::vector<char16_t> own[3];
        for (char32_t u = 0xE000; u <= 0xF8FF; ++u)
            for (int c = 0; c < 3; ++c)
                if (text::ShiftJisTable::For(text::kEmojiCarriers[c]).Encode(char16_t(u)) !=
                    text::ShiftJisTable::kNone)
                    own[c].push_back(char16_t(u));
        std::u16string line, imodeLine;
        Carrier writer = Carrier::imode;
        const auto emoji = [&](int c) {
            return own[c][std::uniform_int_distribution<size_t>(0, own[c].size() - 1)(rng)];
        };
        while (h.sjis.size() < (size_t{8} << 20)) {
            const int p = percent(rng);
            if (p < 5) {
                line += emoji(static_cast<int>(writer) - 1);
                imodeLine += emoji(0);
                continue;
            }
            std::u16string plain;
            if (p < 20) {
                for (int i = length(rng); i > 0; --i) plain += static_cast<char16_t>(ascii(rng));
                plain += u' ';
            } else if (p < 45) {
                char16_t k;
                do k = static_cast<char16_t>(kanji(rng));
                while (text::ShiftJisTable::For(Carrier::none).Encode(k) ==
                       text::ShiftJisTable::kNone);
                plain += k;
            } else if (p < 47) {
                plain += u"\u3002\n";
            } else {
                plain += static_cast<char16_t>(hiragana(rng));
            }
            line += plain;
            imodeLine += plain;
            if (plain.back() != u'\n') continue;
            h.units += line;
            h.sjis += text::Encode(line, {text::Encoding::sjis, writer});
            h.imode += text::Encode(imodeLine, {text::Encoding::sjis, Carrier::imode});
            h.lineCarriers.push_back(writer);
            writer = text::kEmojiCarriers[carrier(rng)];
            line.clear();
            imodeLine.clear();
        }
        return h;
    }();
    return text;
}

// Decoding alone: `bytes` in pieces, resolved when the carrier is automatic.
void Decode(benchmark::State& state, const std::string& bytes, const text::Format& format) {
    std::u16string out(text::Decoder::Room(kPiece), u'\0');
    size_t guesses = 0;
    for (auto _ : state) {
        text::Decoder decoder(format, text::Errors::strict);
        size_t units = 0;
        text::CarrierResolver resolver(
            {}, [&](Carrier, std::u16string_view run) { units += run.size(); });
        for (size_t at = 0; at < bytes.size(); at += kPiece) {
            const std::string_view piece = std::string_view(bytes).substr(at, kPiece);
            const size_t n = decoder.Decode(piece, at + kPiece >= bytes.size(), out.data()).units;
            if (format.carrier == Carrier::automatic) {
                resolver.Feed({out.data(), n}, at + kPiece >= bytes.size());
            } else {
                units += n;
            }
        }
        guesses = resolver.guesses();
        benchmark::DoNotOptimize(units);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["guesses"] = static_cast<double>(guesses);
}

void BM_DecodeSjisNamedCarrier(benchmark::State& state) {
    Decode(state, Text().imode, {text::Encoding::sjis, Carrier::imode, text::kDefaultInputForms});
}
BENCHMARK(BM_DecodeSjisNamedCarrier)->Unit(benchmark::kMillisecond);

void BM_DecodeSjisAuto(benchmark::State& state) {
    Decode(state, Text().sjis,
           {text::Encoding::sjis, Carrier::automatic, text::kDefaultInputForms});
}
BENCHMARK(BM_DecodeSjisAuto)->Unit(benchmark::kMillisecond);

void BM_DecodeUtf8NoForms(benchmark::State& state) {
    static const std::string utf8 = text::Encode(Text().units, {});
    Decode(state, utf8, {text::Encoding::utf8, Carrier::imode});
}
BENCHMARK(BM_DecodeUtf8NoForms)->Unit(benchmark::kMillisecond);

void BM_DecodeUtf8DefaultForms(benchmark::State& state) {
    static const std::string utf8 = text::Encode(Text().units, {});
    Decode(state, utf8, {text::Encoding::utf8, Carrier::imode, text::kDefaultInputForms});
}
BENCHMARK(BM_DecodeUtf8DefaultForms)->Unit(benchmark::kMillisecond);

// The whole conversion to standard emoji in UTF-8, through the sample module.
void Convert(benchmark::State& state, const std::string& bytes, Carrier carrier) {
    static const std::unique_ptr<client::Module> module = [] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        return std::make_unique<client::Module>(
            client::ModuleChoice{GLYPHARY_SAMPLE_DIR "/glyphary.so", "bench"});
    }();
    const client::Source from = carrier == Carrier::automatic
                                    ? client::Source::Automatic()
                                    : client::Source::Table(static_cast<EMapMode>(carrier));
    size_t written = 0;
    for (auto _ : state) {
        text::TextPipe pipe({text::Encoding::sjis, carrier, text::kDefaultInputForms},
                            text::Errors::strict, {}, text::Errors::strict,
                            [&](std::string_view out) { written += out.size(); });
        client::CarrierConverter converter(*module, from,
                                           client::Target::Table(client::kUnicodeMode),
                                           [&](std::u16string_view piece) { pipe.Take(piece); });
        for (size_t at = 0; at < bytes.size(); at += kPiece)
            pipe.Feed(converter, std::string_view(bytes).substr(at, kPiece), false);
        pipe.Feed(converter, {}, true);
        converter.Finish();
        pipe.Finish();
    }
    benchmark::DoNotOptimize(written);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_ConvertSjisNamedCarrierToUnicode(benchmark::State& state) {
    Convert(state, Text().imode, Carrier::imode);
}
BENCHMARK(BM_ConvertSjisNamedCarrierToUnicode)->Unit(benchmark::kMillisecond);

void BM_ConvertSjisAutoToUnicode(benchmark::State& state) {
    Convert(state, Text().sjis, Carrier::automatic);
}
BENCHMARK(BM_ConvertSjisAutoToUnicode)->Unit(benchmark::kMillisecond);

}  // namespace
