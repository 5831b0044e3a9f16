// Module start-up and shutdown (DllMain), and the class object entry points
// (DllGetClassObject, DllCanUnloadNow).
#include "com/module.h"

#include "com/exports.h"
#include "platform/boundary.h"
#include "platform/owners.h"
#include "tables/loaders.h"

namespace glyphary {

std::atomic<LONG> g_nRefCount{0};
ITypeInfo* g_pTI_IGlyphary = nullptr;

HINSTANCE g_hModule = nullptr;
WCHAR g_szModulePath[MAX_PATH] = {};
WCHAR g_szModuleDir[MAX_PATH] = {};

namespace {

GlypharyFactory g_classFactory;

// The type information of IGlyphary from the module's own type library; only whether it
// came back matters, not why it did not.
void LoadTypeInformation() {
    com_ptr<ITypeLib> typeLib;
    LoadTypeLib(g_szModulePath, typeLib.put());
    if (!typeLib) return;
    ITypeInfo* typeInfo = nullptr;
    const HRESULT hr = typeLib->GetTypeInfoOfGuid(IID_IGlyphary, &typeInfo);
    if (SUCCEEDED(hr) && typeInfo) {
        g_pTI_IGlyphary = typeInfo;
    } else if (typeInfo) {
        typeInfo->Release();
    }
}

HRESULT ProcessAttach(HINSTANCE hModule) {
    g_hModule = hModule;
    GetModuleFileNameW(g_hModule, g_szModulePath, MAX_PATH);
    GetModuleFileNameW(g_hModule, g_szModuleDir, MAX_PATH);
    // A path that filled the buffer may come back unterminated.
    g_szModulePath[MAX_PATH - 1] = 0;
    g_szModuleDir[MAX_PATH - 1] = 0;
    PathRemoveFileSpecW(g_szModuleDir);

    LoadTypeInformation();
    if (!g_pTI_IGlyphary) return E_FAIL;

    WCHAR settingsPath[MAX_PATH] = {};
    PathCombineW(settingsPath, g_szModuleDir, kSettingFileName);
    return LoadSettingFile(SettingsPathForLoader(settingsPath));
}

void ProcessDetach() noexcept {
    if (g_pTI_IGlyphary) {
        g_pTI_IGlyphary->Release();
        g_pTI_IGlyphary = nullptr;
    }
}

bool IsOurClassName(const OLECHAR* name) noexcept {
    if (!name || !*name) return true;
    const OLECHAR* expected = OLESTR("Glyphary");
    while (*name && *name == *expected) {
        ++name;
        ++expected;
    }
    return *name == 0 && *expected == 0;
}

}  // namespace

}  // namespace glyphary

using namespace glyphary;

STDAPI_(BOOL) DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID) {
    switch (fdwReason) {
        case DLL_PROCESS_ATTACH:
            // Any success code loads the module; a failure, thrown or returned, refuses it.
            return SUCCEEDED(CallBoundary([&] { return ProcessAttach(hinstDLL); })) ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            ProcessDetach();
            return TRUE;
        default:
            return TRUE;
    }
}

// With GUID_NULL, *ppv carries a class name in: the one way to ask for the class by name.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    if (rclsid == GUID_NULL) {
        if (IsOurClassName(static_cast<const OLECHAR*>(*ppv)))
            return g_classFactory.QueryInterface(riid, ppv);
    } else if (rclsid == CLSID_Glyphary) {
        return g_classFactory.QueryInterface(riid, ppv);
    }
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return g_nRefCount.load(std::memory_order_relaxed) == 0 ? S_OK : S_FALSE;
}
