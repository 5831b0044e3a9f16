// A web page through the middleware's C++ path (text::TextPipe around client::PageConverter):
// the 10 KB diary page of bench/wsgi_bench.py, UTF-8 in, for a PC (standard emoji, UTF-8) and
// for an i-mode handset (its own emoji, Shift_JIS), and the same diary in Japanese for the
// handset. Per page, as the middleware converts one; for the PC also its bytes as they are.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

// The same diary written in Japanese, as handset sites were: kana and kanji with the odd
// emoji, notation and ASCII.
std::string JapanesePage() {
    std::string page =
        "<!DOCTYPE html><html><head><title>\u65e5\u8a18 :memo:</title></head><body><ul>\n";
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        page += "<li><a href=\"/diary/" + n + "\">\u671d\u306e\u6563\u6b69 " + n + "</a> ";
        page += "\u4eca\u65e5\u306f\u4e00\u65e5\u4e2d\u6674\u308c :sunny: \u3067\u3057\u305f\u3002";
        page += "\u5915\u65b9\u304b\u3089\u66c7\u308a\u2601\ufe0f\u3002\u99c5\u524d\u306e";
        page += "\u30ab\u30d5\u30a7\u3067\u53cb\u9054\u3068\u30e9\u30f3\u30c1\u3001\u305d\u306e";
        page += "\u5f8c\u306f\u516c\u5712\u3078\u3002\u697d\u3057\u304b\u3063\u305f :ok:</li>\n";
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

// How the page goes: through the pipe, or (UTF-8 for a PC) its bytes as they are, as the
// middleware converts a whole page.
enum class Path { pipe, inPlace };

void ConvertOnce(PageLocalizer& pages, EMapMode mode, PageKind kind, text::Encoding encoding,
                 const std::string& page, std::string& out, Path path) {
    out.clear();
    if (path == Path::inPlace) {
        text::ByteBuffer bytes;
        if (!ConvertUtf8Page(pages, mode, kind, text::Errors::keep, page, bytes))
            throw std::logic_error("the page cannot be converted in place");
        out.assign(bytes.view());
        return;
    }
    text::TextPipe pipe(text::Format(text::Encoding::utf8), text::Errors::replace,
                        text::Format(encoding, text::CarrierOfMode(mode)), text::Errors::keep,
                        [&](std::string_view bytes) { out.append(bytes); });
    PageConverter converter(pages, mode, kind,
                            [&](std::u16string_view units) { pipe.Take(units); });
    pipe.Feed(converter, page, true);
    converter.Finish();
    pipe.Finish();
}

// What comes before each page, untimed. A server's own work between two responses pushes the
// converter's code, tables and buffers out of the caches, and a converter timed hot in a loop
// does not show what that costs: `cold` first writes 64 MB (more than the last-level cache) to
// find all of them in memory; `coldData` then converts the page's first entry, which brings the
// code and tables back but leaves the page and most buffers out. `paused` pauses and resumes
// the timer alone, which the other two also pay: their baseline. The time spent untimed, tens of
// milliseconds a page, is bounded by a fixed count of pages.
enum class Before { nothing, paused, cold, coldData };
constexpr benchmark::IterationCount kColdPages = 200;

void Convert(benchmark::State& state, EMapMode mode, PageKind kind, text::Encoding encoding,
             std::string (*make)() = Page, Before before = Before::nothing,
             Path path = Path::pipe) {
    PageLocalizer& pages = *Shared().pages;
    pages.Prepare(mode);
    const std::string page = make();
    const std::string entry = page.substr(0, page.find("</li>")) + "</li></ul></body></html>";
    std::vector<char> elsewhere(before >= Before::cold ? size_t{64} << 20 : 0);
    std::string out;
    for (auto _ : state) {
        if (before != Before::nothing) {
            state.PauseTiming();
            for (size_t i = 0; i < elsewhere.size(); i += 64) ++elsewhere[i];
            if (before == Before::coldData)
                ConvertOnce(pages, mode, kind, encoding, entry, out, path);
            state.ResumeTiming();
        }
        ConvertOnce(pages, mode, kind, encoding, page, out, path);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(page.size()));
}

}  // namespace

BENCHMARK_CAPTURE(Convert, html / pc, kUnicodeMode, PageKind::html, text::Encoding::utf8)
    ->Name("Page/html/pc");
BENCHMARK_CAPTURE(Convert, html / imode, MPM_imode, PageKind::html, text::Encoding::sjis)
    ->Name("Page/html/imode");
BENCHMARK_CAPTURE(Convert, html / imode / paused, MPM_imode, PageKind::html, text::Encoding::sjis,
                  Page, Before::paused)
    ->Name("Page/html/imode/paused")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html / imode / cold, MPM_imode, PageKind::html, text::Encoding::sjis,
                  Page, Before::cold)
    ->Name("Page/html/imode/cold")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html - ja / imode, MPM_imode, PageKind::html, text::Encoding::sjis,
                  JapanesePage)
    ->Name("Page/html-ja/imode");
BENCHMARK_CAPTURE(Convert, html / pc / paused, kUnicodeMode, PageKind::html, text::Encoding::utf8,
                  Page, Before::paused)
    ->Name("Page/html/pc/paused")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html / pc / cold, kUnicodeMode, PageKind::html, text::Encoding::utf8,
                  Page, Before::cold)
    ->Name("Page/html/pc/cold")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html / pc / cold - data, kUnicodeMode, PageKind::html,
                  text::Encoding::utf8, Page, Before::coldData)
    ->Name("Page/html/pc/cold-data")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html / pc / in - place, kUnicodeMode, PageKind::html,
                  text::Encoding::utf8, Page, Before::nothing, Path::inPlace)
    ->Name("Page/html/pc/in-place");
BENCHMARK_CAPTURE(Convert, html / pc / in - place / paused, kUnicodeMode, PageKind::html,
                  text::Encoding::utf8, Page, Before::paused, Path::inPlace)
    ->Name("Page/html/pc/in-place/paused")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html / pc / in - place / cold, kUnicodeMode, PageKind::html,
                  text::Encoding::utf8, Page, Before::cold, Path::inPlace)
    ->Name("Page/html/pc/in-place/cold")
    ->Iterations(kColdPages);
BENCHMARK_CAPTURE(Convert, html / pc / in - place / cold - data, kUnicodeMode, PageKind::html,
                  text::Encoding::utf8, Page, Before::coldData, Path::inPlace)
    ->Name("Page/html/pc/in-place/cold-data")
    ->Iterations(kColdPages);
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
