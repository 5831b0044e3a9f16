// What callers of either bitness take for granted about the module's binary interface,
// checked by compiling this file for each Windows target; nothing here runs (32-bit programs
// cannot run where the module is built). Two things must hold:
//   - the OLE Automation structures that cross the interface have Windows' own layout, since
//     the system DLLs (oleaut32's Invoke, the script engines) fill and read them: mingw's
//     headers and the compiler's packing and alignment must agree with them;
//   - every method of IGlyphary and every export is __stdcall, the convention in which the
//     type information's Invoke (DispCallFunc), the loader and COM call them. On x64 there is
//     one convention only, and these checks hold trivially; the compiler refuses an
//     implementation that overrides a method in another convention.
#include <cstddef>
#include <type_traits>

#include "com/exports.h"
#include "com/iglyphary.h"

namespace {

constexpr bool k64 = sizeof(void*) == 8;
/// The value Windows documents for x86 and for x64.
constexpr std::size_t Win(std::size_t x86, std::size_t x64) {
    return k64 ? x64 : x86;
}

// ---------------------------------------------------------------------------------------------
// Layouts

static_assert(sizeof(void*) == Win(4, 8));
static_assert(sizeof(OLECHAR) == 2 && sizeof(LONG) == 4 && sizeof(ULONG) == 4);
static_assert(sizeof(HRESULT) == 4 && sizeof(DISPID) == 4 && sizeof(LCID) == 4);
static_assert(sizeof(VARTYPE) == 2 && sizeof(VARIANT_BOOL) == 2);
// MapMode travels as VT_I4 and the type library declares EMapMode as a 4-byte enum.
static_assert(sizeof(EMapMode) == 4);
static_assert(sizeof(GUID) == 16);

// VARIANT: the type tag, three reserved words, then the value; DECIMAL overlays all of it.
static_assert(sizeof(VARIANT) == Win(16, 24) && alignof(VARIANT) == 8);
static_assert(offsetof(VARIANT, vt) == 0 && offsetof(VARIANT, wReserved3) == 6);
static_assert(offsetof(VARIANT, lVal) == 8 && offsetof(VARIANT, bstrVal) == 8);
static_assert(offsetof(VARIANT, punkVal) == 8 && offsetof(VARIANT, byref) == 8);
static_assert(offsetof(VARIANT, pRecInfo) == Win(12, 16));
static_assert(offsetof(VARIANT, decVal) == 0 && sizeof(DECIMAL) == 16);

static_assert(sizeof(DISPPARAMS) == Win(16, 24));
static_assert(offsetof(DISPPARAMS, rgvarg) == 0 &&
              offsetof(DISPPARAMS, rgdispidNamedArgs) == Win(4, 8));
static_assert(offsetof(DISPPARAMS, cArgs) == Win(8, 16) &&
              offsetof(DISPPARAMS, cNamedArgs) == Win(12, 20));

static_assert(sizeof(EXCEPINFO) == Win(32, 64));
static_assert(offsetof(EXCEPINFO, wCode) == 0 && offsetof(EXCEPINFO, bstrSource) == Win(4, 8));
static_assert(offsetof(EXCEPINFO, bstrDescription) == Win(8, 16));
static_assert(offsetof(EXCEPINFO, dwHelpContext) == Win(16, 32));
static_assert(offsetof(EXCEPINFO, pfnDeferredFillIn) == Win(24, 48));
static_assert(offsetof(EXCEPINFO, scode) == Win(28, 56));

// The stream types that ConvertEzwebMail's IStream brings into the type library. A 64-bit
// integer is 8-aligned inside structures on x86 too (unlike the System V i386 rule).
static_assert(sizeof(LARGE_INTEGER) == 8 && alignof(ULARGE_INTEGER) == 8);
static_assert(sizeof(STATSTG) == Win(72, 80));
static_assert(offsetof(STATSTG, type) == Win(4, 8) && offsetof(STATSTG, cbSize) == Win(8, 16));
static_assert(offsetof(STATSTG, mtime) == Win(16, 24) && offsetof(STATSTG, grfMode) == Win(40, 48));
static_assert(offsetof(STATSTG, clsid) == Win(48, 56) &&
              offsetof(STATSTG, reserved) == Win(68, 76));

// ---------------------------------------------------------------------------------------------
// Calling convention

template <class T>
struct IsStdcall : std::false_type {};
template <class C, class R, class... A>
struct IsStdcall<R (__stdcall C::*)(A...)> : std::true_type {};
template <class R, class... A>
struct IsStdcall<R(__stdcall*)(A...)> : std::true_type {};

template <auto... functions>
constexpr bool kAllStdcall = (IsStdcall<decltype(functions)>::value && ...);

// Slots 7 to 20, all fourteen.
static_assert(
    kAllStdcall<&IGlyphary::put_MapMode, &IGlyphary::get_MapMode, &IGlyphary::put_LocalizePattern,
                &IGlyphary::get_LocalizePattern, &IGlyphary::put_LocalizeUndefinedFormat,
                &IGlyphary::get_LocalizeUndefinedFormat, &IGlyphary::put_GlobalizeFormat,
                &IGlyphary::get_GlobalizeFormat, &IGlyphary::put_GlobalizeUndefinedFormat,
                &IGlyphary::get_GlobalizeUndefinedFormat, &IGlyphary::Globalize,
                &IGlyphary::Localize, &IGlyphary::GetUserAgentID, &IGlyphary::ConvertEzwebMail>);
// What the loader, COM and regsvr32 call.
static_assert(kAllStdcall<&DllMain, &DllGetClassObject, &DllCanUnloadNow, &DllRegisterServer,
                          &DllUnregisterServer>);
// The checks above can tell: a member in the compiler's default convention is not __stdcall.
struct Thiscall {
    HRESULT Method();
};
static_assert(k64 || !IsStdcall<decltype(&Thiscall::Method)>::value);

}  // namespace
