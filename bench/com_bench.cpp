// The COM path: the module loaded as a client loads it, with the sample configuration beside
// it. Late binding (IDispatch::Invoke through the type information) against the early-bound
// call of the same slot, and object creation through the class factory.
#include <benchmark/benchmark.h>

#include <string>

#include "com/iglyphary.h"
#include "platform/owners.h"

namespace {

using glyphary::com_ptr;
using glyphary::unique_bstr;
using glyphary::unique_variant;

constexpr DISPID kLocalize = 0x6002000B;

// Loaded once for the whole run, with COM initialised on the benchmark thread.
struct LoadedModule {
    HMODULE handle = nullptr;
    com_ptr<IClassFactory> factory;

    LoadedModule() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const std::string path = GLYPHARY_SAMPLE_DIR "/glyphary.so";
        handle = LoadLibraryW(std::u16string(path.begin(), path.end()).c_str());
        if (!handle) return;
        using GetClassObject = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
        const auto get = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void (*)()>(GetProcAddress(handle, "DllGetClassObject")));
        get(CLSID_Glyphary, IID_IClassFactory, factory.put_void());
    }
};

LoadedModule& Module() {
    static LoadedModule module;
    return module;
}

// 100 units: Japanese and Latin text around three neutral notations, one of them unknown.
std::u16string SampleText() {
    std::u16string text =
        u"今日は:sunny:ですね。Meet at 10:00? :smile: 了解 :no_such_emoji: またね";
    while (text.size() < 100) text += u'ー';
    text.resize(100);
    return text;
}

com_ptr<IGlyphary> NewObject(benchmark::State& state) {
    com_ptr<IGlyphary> object;
    if (!Module().factory ||
        FAILED(Module().factory->CreateInstance(nullptr, IID_IGlyphary, object.put_void()))) {
        state.SkipWithError("cannot load build/module/glyphary.so");
        return nullptr;
    }
    object->put_MapMode(MPM_imode);
    return object;
}

void Dispatch_Localize(benchmark::State& state) {
    com_ptr<IGlyphary> object = NewObject(state);
    if (!object) return;
    unique_bstr input(SysAllocString(SampleText().c_str()));
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = input.get();
    DISPPARAMS params{&arg, nullptr, 1, 0};
    for (auto _ : state) {
        unique_variant result;
        const HRESULT hr = object->Invoke(kLocalize, GUID_NULL, LOCALE_USER_DEFAULT,
                                          DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        if (FAILED(hr)) state.SkipWithError("Invoke failed");
        benchmark::DoNotOptimize(result.bstrVal);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Dispatch_Localize)->Name("Dispatch/Localize");

// The same call through the vtable: the difference is the cost of late binding.
void Dispatch_LocalizeEarlyBound(benchmark::State& state) {
    com_ptr<IGlyphary> object = NewObject(state);
    if (!object) return;
    unique_bstr input(SysAllocString(SampleText().c_str()));
    for (auto _ : state) {
        unique_bstr output;
        if (FAILED(object->Localize(input.get(), output.put()))) state.SkipWithError("failed");
        benchmark::DoNotOptimize(output.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Dispatch_LocalizeEarlyBound)->Name("Dispatch/LocalizeEarlyBound");

// The cost of late binding alone, on the cheapest member: the get of MapMode.
void Dispatch_GetMapMode(benchmark::State& state) {
    com_ptr<IGlyphary> object = NewObject(state);
    if (!object) return;
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        VARIANT result;
        VariantInit(&result);
        object->Invoke(0x60020000, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &params,
                       &result, nullptr, nullptr);
        benchmark::DoNotOptimize(result.lVal);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Dispatch_GetMapMode)->Name("Dispatch/GetMapMode");

void Dispatch_GetMapModeEarlyBound(benchmark::State& state) {
    com_ptr<IGlyphary> object = NewObject(state);
    if (!object) return;
    for (auto _ : state) {
        EMapMode mode = MPM_none;
        object->get_MapMode(&mode);
        benchmark::DoNotOptimize(mode);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Dispatch_GetMapModeEarlyBound)->Name("Dispatch/GetMapModeEarlyBound");

void Create_Object(benchmark::State& state) {
    IClassFactory* factory = Module().factory.get();
    if (!factory) {
        state.SkipWithError("cannot load build/module/glyphary.so");
        return;
    }
    for (auto _ : state) {
        IGlyphary* object = nullptr;
        factory->CreateInstance(nullptr, IID_IGlyphary, reinterpret_cast<void**>(&object));
        benchmark::DoNotOptimize(object);
        object->Release();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Create_Object)->Name("Create/object");

}  // namespace
