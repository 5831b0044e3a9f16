// Throughput of glyphary mail --decode on the mail benchmarks' 10 MiB au message: the
// structure and transfer decoding through GMime with the text decoded to Unicode, and the
// whole of what the command does, the text's emoji through the sample module's Globalize.
#include <benchmark/benchmark.h>

#include "client/mail_decode.h"
#include "client/module.h"
#include "client/object.h"
#include "mail_message.h"

namespace {

using namespace glyphary::client;
using glyphary::bench::Message;

void MailDecode(benchmark::State& state) {
    size_t units = 0;
    for (auto _ : state) {
        const DecodedMail mail = DecodeMail(Message());
        units = mail.parts.empty() ? 0 : mail.parts[0].content.size();
        benchmark::DoNotOptimize(units);
    }
    if (units < (size_t{3} << 20)) state.SkipWithError("the text part did not decode");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Message().size()));
}
BENCHMARK(MailDecode)->Name("MailDecode/unicode")->Unit(benchmark::kMillisecond);

void MailDecodeText(benchmark::State& state) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        Module module({GLYPHARY_SAMPLE_DIR "/glyphary.so", "benchmark"});
        Glyphary object(module.Create());
        object.SetMapMode(MPM_ezweb);
        const EmojiRenderer globalize = [&](std::u16string_view text, EMapMode) {
            return object.Convert(Operation::globalize, text);
        };
        size_t size = 0;
        for (auto _ : state) {
            const std::string text = MailText(DecodeMail(Message()), globalize);
            size = text.size();
            benchmark::DoNotOptimize(text.data());
        }
        if (size < (size_t{8} << 20)) state.SkipWithError("the text did not come out");
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Message().size()));
    }
    CoUninitialize();
}
BENCHMARK(MailDecodeText)->Name("MailDecode/text")->Unit(benchmark::kMillisecond);

}  // namespace
