// A client of the installed Glyphary: loads the module, creates an object and calls it early
// bound (through IGlyphary's slots) and late bound (through IDispatch), as README shows.
//   glyphary-client MODE TEXT   prints Localize(TEXT) in MODE, once per binding
#include <cstdio>
#include <cstdlib>
#include <string>

#include "com/iglyphary.h"
#include "platform/owners.h"

using glyphary::com_ptr;
using glyphary::unique_bstr;
using glyphary::unique_variant;

namespace {

// ASCII and UTF-8 text to UTF-16 and back, enough for this example.
std::u16string Utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = s[i];
        const int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = n == 1 ? b : b & (0x7F >> n);
        for (int k = 1; k < n; ++k) c = c << 6 | (s[i + k] & 0x3F);
        i += n;
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

std::string Utf8(const OLECHAR* s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
        } else {
            out += {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)),
                    char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: glyphary-client MODE TEXT\n");
        return 2;
    }
    const EMapMode mode = static_cast<EMapMode>(std::atoi(argv[1]));
    const std::u16string text = Utf16(argv[2]);

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HMODULE module = LoadLibraryW(Utf16(GLYPHARY_MODULE_FILE).c_str());
    if (!module) return Fail("LoadLibraryW", HRESULT_FROM_WIN32(GetLastError()));
    int status = 0;
    {
        // Creating the object: the module's class factory.
        using GetClassObject = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
        // Through void*: FARPROC's own type says nothing about the export's.
        const auto getClassObject = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        com_ptr<IClassFactory> factory;
        com_ptr<IGlyphary> glyphary;
        HRESULT hr = getClassObject(CLSID_Glyphary, IID_IClassFactory, factory.put_void());
        if (FAILED(hr)) return Fail("DllGetClassObject", hr);
        hr = factory->CreateInstance(nullptr, IID_IGlyphary, glyphary.put_void());
        if (FAILED(hr)) return Fail("CreateInstance", hr);

        // Early bound: straight through the interface's slots.
        unique_bstr input(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
        unique_bstr early;
        if (FAILED(hr = glyphary->put_MapMode(mode))) return Fail("put_MapMode", hr);
        if (FAILED(hr = glyphary->Localize(input.get(), early.put()))) return Fail("Localize", hr);
        std::printf("%s\n", Utf8(early.get(), SysStringLen(early.get())).c_str());

        // Late bound: names to dispatch ids, then Invoke, as a script host would.
        DISPID dispid = 0;
        LPOLESTR name = const_cast<LPOLESTR>(u"Localize");
        hr = glyphary->GetIDsOfNames(GUID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid);
        if (FAILED(hr)) return Fail("GetIDsOfNames", hr);
        VARIANTARG arg;
        VariantInit(&arg);
        arg.vt = VT_BSTR;
        arg.bstrVal = input.get();
        DISPPARAMS params{&arg, nullptr, 1, 0};
        unique_variant late;
        hr = glyphary->Invoke(dispid, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                              &late, nullptr, nullptr);
        if (FAILED(hr)) return Fail("Invoke(Localize)", hr);
        if (late.vt != VT_BSTR) return Fail("Invoke(Localize) result type", E_UNEXPECTED);
        std::printf("%s\n", Utf8(late.bstrVal, SysStringLen(late.bstrVal)).c_str());
        if (SysStringLen(late.bstrVal) != SysStringLen(early.get())) status = 1;
    }
    FreeLibrary(module);
    CoUninitialize();
    return status;
}
