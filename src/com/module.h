// The module's globals and the one class it serves: the module count, the type information of
// IGlyphary, where the module lies (ModuleState), the Glyphary object and its factory.
#pragma once

#include <atomic>

#include "com/class_factory.h"
#include "com/dual_impl.h"
#include "com/iglyphary.h"
#include "convert/glyphary_impl.h"
#include "platform/win.h"

namespace glyphary {

/// Live objects plus references held on the class factory; DllCanUnloadNow answers S_OK at 0.
extern std::atomic<LONG> g_nRefCount;
/// The type information of IGlyphary, set by process attach and held until process detach.
extern ITypeInfo* g_pTI_IGlyphary;

// ModuleState: where the module was loaded from, recorded by process attach (with
// g_pTI_IGlyphary above) and not written again while the module is loaded.
extern HINSTANCE g_hModule;             ///< the handle DllMain received
extern WCHAR g_szModulePath[MAX_PATH];  ///< full path of the module file
extern WCHAR g_szModuleDir[MAX_PATH];   ///< the same without its last component

using GlypharyObject = GDualImpl<IGlyphary, GIGlypharyImpl, g_pTI_IGlyphary, &g_nRefCount>;
using GlypharyFactory = GClassFactory<GlypharyObject, &g_nRefCount>;

/// The file name of the settings beside the module.
inline constexpr const OLECHAR* kSettingFileName = OLESTR("Glyphary.setting");

/// The settings path handed to LoadSettingFile: `path` without a leading "\\?\" (the
/// long-path prefix that the XML reader does not take).
inline const WCHAR* SettingsPathForLoader(const WCHAR* path) noexcept {
    const bool prefixed = path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\';
    return prefixed ? path + 4 : path;
}

}  // namespace glyphary
