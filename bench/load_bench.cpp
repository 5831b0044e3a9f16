// Start-up cost of the configuration: the whole sample installation data (data/, copied
// beside the module) read through LoadSettingFile, as module start-up reads it.
#include <string>

#include <benchmark/benchmark.h>

#include "support/tables.h"
#include "tables/loaders.h"

namespace {

using namespace glyphary;

void LoadSample(benchmark::State& state) {
    CoInitializeEx(nullptr, 0);
    const std::u16string path = u"" GLYPHARY_SAMPLE_DIR u"/Glyphary.setting";
    size_t entries = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testing::ResetTables();
        state.ResumeTiming();
        const HRESULT hr = LoadSettingFile(path.c_str());
        if (hr != S_OK) {
            state.SkipWithError("the sample data did not load");
            break;
        }
        entries = g_tables.ezwebMailCodeMap.size();
        for (int32_t mode : g_tables.idToCodeByMode.Modes()) {
            entries += g_tables.idToCodeByMode.Find(mode)->size();
        }
    }
    state.counters["entries"] = static_cast<double>(entries);
    testing::ResetTables();
    CoUninitialize();
}
BENCHMARK(LoadSample)->Name("Load/sample")->Unit(benchmark::kMillisecond);

}  // namespace
