// The module's entry points, with C linkage: the only symbols it exports (exports.map).
#pragma once

#include "platform/win.h"

/// Load notification: process attach runs start-up and may refuse the load.
STDAPI_(BOOL) DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
/// The class factory of Glyphary, by class identifier, or by name with GUID_NULL.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
/// S_OK when no object and no factory reference is alive, S_FALSE otherwise.
STDAPI DllCanUnloadNow();
/// Writes the class's registry entries (ProgID "Glyphary", CLSID, InProcServer32).
STDAPI DllRegisterServer();
/// Removes the entries DllRegisterServer writes.
STDAPI DllUnregisterServer();
