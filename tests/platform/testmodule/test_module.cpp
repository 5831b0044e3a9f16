// A tiny module for the loader and activation tests: it records its static construction,
// attach, detach and static destruction in a trace file, can be told to refuse the attach,
// and serves one class through DllGetClassObject.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/com_object.h"
#include "testmodule/test_module.h"

#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

namespace glyphary {
template <>
inline constexpr const IID* kIidOf<test::ITestObject> = &test::IID_ITestObject;
}  // namespace glyphary

namespace {

using namespace glyphary::test;

void Trace(const std::string& event) {
    const char* file = std::getenv(kTraceVariable);
    if (!file) return;
    if (FILE* f = std::fopen(file, "a")) {
        std::fprintf(f, "%s\n", event.c_str());
        std::fclose(f);
    }
}

struct StaticObject {
    StaticObject() { Trace("construct"); }
    ~StaticObject() { Trace("destroy"); }
} g_static;

std::atomic<LONG> g_live{0};  // live objects and server locks
LONG g_attaches = 0;

class TestObject final
    : public glyphary::ComObject<TestObject, glyphary::AtomicCount, ITestObject> {
  public:
    TestObject() { ++g_live; }
    LONG STDMETHODCALLTYPE Answer() override { return g_attaches; }

  private:
    friend ComObject;
    ~TestObject() { --g_live; }
};

class Factory final
    : public glyphary::ComObject<Factory, glyphary::ModuleCount<&g_live>, IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Trace("create");
        return glyphary::CreateObject<TestObject>(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++g_live : --g_live;
        return S_OK;
    }
} g_factory;

// The attach count survives unloading in a file beside the trace.
LONG CountAttach() {
    const char* trace = std::getenv(kTraceVariable);
    if (!trace) return 1;
    const std::string file = std::string(trace) + ".attaches";
    LONG n = 0;
    if (FILE* f = std::fopen(file.c_str(), "r")) {
        if (std::fscanf(f, "%d", &n) != 1) n = 0;
        std::fclose(f);
    }
    if (FILE* f = std::fopen(file.c_str(), "w")) {
        std::fprintf(f, "%d\n", n + 1);
        std::fclose(f);
    }
    return n + 1;
}

}  // namespace

MODULE_EXPORT BOOL WINAPI DllMain(HINSTANCE hinst, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR path[MAX_PATH] = {};
        GetModuleFileNameW(hinst, path, MAX_PATH);
        std::string narrow;
        for (const WCHAR* p = path; *p; ++p) narrow += *p < 0x80 ? static_cast<char>(*p) : '?';
        Trace("attach " + narrow);
        g_attaches = CountAttach();
        return std::getenv(kFailAttachVariable) ? FALSE : TRUE;
    }
    if (reason == DLL_PROCESS_DETACH) Trace("detach");
    return TRUE;
}

MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_TestClass) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

MODULE_EXPORT HRESULT DllCanUnloadNow() {
    return g_live.load() == 0 ? S_OK : S_FALSE;
}
