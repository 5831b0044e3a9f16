// COM initialisation per thread and activation of built-in and registered classes.
#include "platform/combase.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/oleauto.h"

namespace {

thread_local int t_initCount = 0;  // successful CoInitialize(Ex) calls not yet undone

struct BuiltinClass {
    CLSID clsid;
    glyphary::platform::GetClassObjectFn getClassObject;
};

std::mutex& BuiltinsMutex() {
    static std::mutex m;
    return m;
}
std::vector<BuiltinClass>& Builtins() {
    static std::vector<BuiltinClass> classes;
    return classes;
}
std::atomic<glyphary::platform::GetClassObjectFn> g_registeredLookup{nullptr};

}  // namespace

namespace glyphary::platform {

void RegisterBuiltinClass(REFCLSID clsid, GetClassObjectFn getClassObject) {
    std::lock_guard lock(BuiltinsMutex());
    Builtins().push_back({clsid, getClassObject});
}

void SetRegisteredClassLookup(GetClassObjectFn lookup) {
    g_registeredLookup.store(lookup);
}

}  // namespace glyphary::platform

STDAPI CoInitializeEx(LPVOID, DWORD) {
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

STDAPI CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

STDAPI_(void) CoUninitialize() {
    if (t_initCount > 0) --t_initCount;
}

STDAPI CoGetClassObject(REFCLSID rclsid, DWORD, LPVOID, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (t_initCount == 0) return CO_E_NOTINITIALIZED;
    glyphary::platform::GetClassObjectFn getClassObject = nullptr;
    {
        std::lock_guard lock(BuiltinsMutex());
        for (const BuiltinClass& c : Builtins()) {
            if (c.clsid == rclsid) getClassObject = c.getClassObject;
        }
    }
    if (getClassObject) return getClassObject(rclsid, riid, ppv);
    if (auto lookup = g_registeredLookup.load()) return lookup(rclsid, riid, ppv);
    return REGDB_E_CLASSNOTREG;
}

STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                        LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}
