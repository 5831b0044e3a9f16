// A web page through the middleware's C++ path (text::TextPipe around client::PageConverter):
// the 10 KB diary page of bench/wsgi_bench.py, UTF-8 in, for a PC (standard emoji, UTF-8) and
// for an i-mode handset (its own emoji, Shift_JIS). Per page, as the middleware converts one.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "client/carriers.h"
#include "client/html_scan.h"
#include "client/page_convert.h"
#include "text/codec.h"
#include "text/text_pipe.h"

namespace {

using namespace glyphary;
using namespace glyphary::client;

std::string Page() {
    std::string page =
        "<!DOCTYPE html><html><head><title>Diary :memo:</title>"
        "<style>a:link:hover{color:#c00} li.entry:first-child{margin:0}</style>"
        "<script>var t = '12:30:45'; function f(a, b) { return a < b; }</script></head>"
        "<body><ul>\n";
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        page += "<li class=\"entry\"><a href=\"/diary/" + n + "\" title=\"Entry :sunny:\">";
        page += "Morning walk " + n + "</a> Sunny all day :sunny:, clouds later \u2601\ufe0f. ";
        page += "Lunch at the station caf\u00e9 with friends, then the park. ";
        page += "\u4eca\u65e5\u306f\u3044\u3044\u5929\u6c17 :ok: <img alt=\":camera:\" src=\"/img/";
        page += n + ".jpg\"></li>\n";
    }
    return page + "</ul></body></html>\n";
}

struct Sample {
    std::shared_ptr<Module> module;
    std::unique_ptr<PageLocalizer> pages;
    Sample() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        module =
            std::make_shared<Module>(ModuleChoice{GLYPHARY_SAMPLE_DIR "/glyphary.so", "bench"});
        pages = std::make_unique<PageLocalizer>(module, PageLocalizer::Options{});
    }
};

Sample& Shared() {
    static Sample sample;
    return sample;
}

void Convert(benchmark::State& state, EMapMode mode, PageKind kind, text::Encoding encoding) {
    PageLocalizer& pages = *Shared().pages;
    pages.Prepare(mode);
    const std::string page = Page();
    std::string out;
    for (auto _ : state) {
        out.clear();
        text::TextPipe pipe(text::Format(text::Encoding::utf8), text::Errors::replace,
                            text::Format(encoding, text::CarrierOfMode(mode)), text::Errors::keep,
                            [&](std::string_view bytes) { out.append(bytes); });
        PageConverter converter(pages, mode, kind,
                                [&](std::u16string_view units) { pipe.Take(units); });
        pipe.Feed(converter, page, true);
        converter.Finish();
        pipe.Finish();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(page.size()));
}

}  // namespace

BENCHMARK_CAPTURE(Convert, html / pc, kUnicodeMode, PageKind::html, text::Encoding::utf8)
    ->Name("Page/html/pc");
BENCHMARK_CAPTURE(Convert, html / imode, MPM_imode, PageKind::html, text::Encoding::sjis)
    ->Name("Page/html/imode");
BENCHMARK_CAPTURE(Convert, plain / pc, kUnicodeMode, PageKind::plain, text::Encoding::utf8)
    ->Name("Page/plain/pc");
BENCHMARK_CAPTURE(Convert, plain / imode, MPM_imode, PageKind::plain, text::Encoding::sjis)
    ->Name("Page/plain/imode");

namespace {

// Only the scanning of the same page, already in UTF-16: what telling readable text from
// markup costs alone.
void Scan(benchmark::State& state) {
    const std::string page = Page();
    std::u16string units(text::Decoder::Room(page.size()), u'\0');
    text::Decoder decoder(text::Format(text::Encoding::utf8), text::Errors::replace);
    units.resize(decoder.Decode(page, true, units.data()).units);
    size_t readable = 0;
    for (auto _ : state) {
        HtmlScanner scanner;
        std::u16string_view in(units);
        while (!in.empty()) {
            bool r;
            const size_t n = scanner.Next(in, r);
            if (r) readable += n;
            in.remove_prefix(n);
        }
    }
    benchmark::DoNotOptimize(readable);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(page.size()));
}

}  // namespace

BENCHMARK(Scan)->Name("Page/scan-only");
