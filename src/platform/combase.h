// COM initialisation and activation: CoInitializeEx, CoCreateInstance, CoGetClassObject.
// Linux only (see win.h). Classes come from two places: the platform's own built-in classes
// (such as the XML DOMDocument), and in-process servers found through the registry.
#pragma once

#include "platform/unknwn.h"

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

/// Initialises COM on this thread; S_FALSE when it already was. Pair with CoUninitialize.
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
/// CoInitializeEx with COINIT_APARTMENTTHREADED.
STDAPI CoInitialize(LPVOID pvReserved);
/// Undoes one successful CoInitialize(Ex) on this thread.
STDAPI_(void) CoUninitialize();

/// The class object of `rclsid` asked for `riid`. CO_E_NOTINITIALIZED on a thread that has
/// not initialised COM; REGDB_E_CLASSNOTREG for an unknown class.
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                        LPVOID* ppv);
/// A new object of class `rclsid`, asked for `riid`, through its class object.
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                        LPVOID* ppv);

namespace glyphary::platform {

/// Makes a built-in class available to CoGetClassObject. `getClassObject` has the shape of
/// DllGetClassObject. Called by the platform's own classes while the library loads.
using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
GLYPHARY_PLATFORM_API void RegisterBuiltinClass(REFCLSID clsid, GetClassObjectFn getClassObject);

/// Where CoGetClassObject looks for classes that are not built in: set by the registry-based
/// activation once it is linked in. Null: only built-in classes exist.
GLYPHARY_PLATFORM_API void SetRegisteredClassLookup(GetClassObjectFn lookup);

}  // namespace glyphary::platform

// ---------------------------------------------------------------------------------------------
// Class identifiers as text, and classes registered under HKEY_CLASSES_ROOT (served by the
// platform through SetRegisteredClassLookup: "CLSID\{clsid}\InProcServer32" names the module,
// which is loaded and kept loaded, and its DllGetClassObject asked for the class).

typedef CLSID* LPCLSID;

/// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits in either case); other text is
/// taken as a ProgID, as CLSIDFromProgID. Null gives GUID_NULL. CO_E_CLASSSTRING otherwise.
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
/// The class of ProgID `lpszProgID` (HKEY_CLASSES_ROOT\<ProgID>\CLSID); CO_E_CLASSSTRING for
/// an unknown ProgID.
STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
/// Writes `rguid` as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case); returns the units
/// written with the terminator (39), or 0 when `cchMax` is too small.
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
/// Unloads the registered modules whose DllCanUnloadNow answers S_OK.
STDAPI_(void) CoFreeUnusedLibraries();
