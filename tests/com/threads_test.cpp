// Objects of one module on many threads at once: creation through the one factory, late-bound
// calls through the one type information, and the module count, which must come back to 0.
#include <thread>
#include <vector>

#include "com/module_support.h"

namespace glyphary::testing {
namespace {

TEST(ComThreads, ObjectsOnManyThreadsShareTheFactoryAndTypeInformation) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Module module;
    ASSERT_TRUE(module);
    com_ptr<IClassFactory> factory = module.Factory();
    ASSERT_TRUE(factory);

    constexpr int kThreads = 8, kRounds = 50;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread is an apartment of its own, with objects of its own.
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            for (int round = 0; round < kRounds; ++round) {
                com_ptr<IDispatch> object;
                if (FAILED(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()))) {
                    ++failures[t];
                    continue;
                }
                VARIANT mode;
                VariantInit(&mode);
                mode.vt = VT_I4;
                mode.lVal = 100 + t;  // new modes: their tables are added while others read
                DISPID put = DISPID_PROPERTYPUT;
                DISPPARAMS params{&mode, &put, 1, 1};
                if (object->Invoke(0x60020000, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr,
                                   nullptr, nullptr) != S_OK)
                    ++failures[t];
                unique_variant result;
                DISPPARAMS none{nullptr, nullptr, 0, 0};
                if (object->Invoke(0x60020000, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                                   nullptr, nullptr) != S_OK ||
                    result.lVal != 100 + t)
                    ++failures[t];
                com_ptr<ITypeInfo> info;
                object->GetTypeInfo(0, 0, info.put());
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
    factory.reset();
    EXPECT_EQ(S_OK, module.CanUnloadNow());
    CoUninitialize();
}

}  // namespace
}  // namespace glyphary::testing
