// glyphary-client: the Windows module under a real COM runtime, early-bound.
//   glyphary-client MODULE_DIR MAIL_DIR OUT_DIR
// MODULE_DIR holds Glyphary.dll (registered) and its configuration; every file in MAIL_DIR
// goes through ConvertEzwebMail and its result is written to OUT_DIR (NAME.eml.out, with one
// "NAME HRESULT" line per mail in results.txt) for the runner to compare with the Linux
// build's output. Ends with a summary line; exit code 0 only when every check passed.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check.h"
#include "client_cases.h"
#include "com/iglyphary.h"
#include "mail_run.h"
#include "platform/owners.h"
#include "variant_cases.h"

using namespace glyphary;
using namespace glyphary::wintest;

namespace {

std::wstring g_moduleDir;

// ---------------------------------------------------------------------------------------------
// Helpers

std::wstring Text(BSTR s) {
    return s ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

/// A property or operation result as text, with its HRESULT.
struct Result {
    HRESULT hr;
    std::wstring text;
    bool null;
};

template <class Call>
Result CallText(Call&& call) {
    unique_bstr out;
    const HRESULT hr = call(out.put());
    return {hr, Text(out.get()), out.get() == nullptr};
}

/// The description of the thread's error info, or "" when there is none.
std::wstring TakeErrorDescription() {
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info) return L"";
    unique_bstr description;
    info->GetDescription(description.put());
    return Text(description.get());
}

LONG RefCount(IUnknown* p) {
    p->AddRef();
    return static_cast<LONG>(p->Release());
}

// ---------------------------------------------------------------------------------------------
// Class factory, reference counts and DllCanUnloadNow, straight through the exports.

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)();

template <class Fn>
Fn Export(HMODULE module, const char* name) {
    // FARPROC to the real signature, through void* as GetProcAddress users must.
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void TestFactoryAndCounts() {
    Group("factory");
    const std::wstring path = g_moduleDir + L"\\Glyphary.dll";
    HMODULE module = LoadLibraryW(path.c_str());
    CHECK(module != nullptr);
    if (!module) return;
    auto getClassObject = Export<GetClassObjectFn>(module, "DllGetClassObject");
    auto canUnloadNow = Export<CanUnloadNowFn>(module, "DllCanUnloadNow");
    CHECK(getClassObject && canUnloadNow);
    CHECK(GetProcAddress(module, "DllRegisterServer") &&
          GetProcAddress(module, "DllUnregisterServer"));
    if (!getClassObject || !canUnloadNow) return;

    // The type library is resource "TYPELIB" 1 in Japanese (1041), and only that.
    CHECK(FindResourceExW(module, L"TYPELIB", MAKEINTRESOURCEW(1),
                          MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)) != nullptr);
    CHECK_INT(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), 1041);

    CHECK_HR(canUnloadNow(), S_OK);  // nothing handed out yet
    com_ptr<IClassFactory> factory;
    CHECK_HR(getClassObject(CLSID_Glyphary, IID_IClassFactory, factory.put_void()), S_OK);
    CHECK_HR(canUnloadNow(), S_FALSE);
    if (!factory) return;
    // The factory's count is the module's: one reference out, so AddRef reports 2.
    CHECK_INT(factory->AddRef(), 2);
    CHECK_INT(factory->Release(), 1);
    CHECK_HR(factory->LockServer(TRUE), S_OK);
    CHECK_HR(factory->LockServer(FALSE), S_OK);

    {
        IGlyphary* object = nullptr;
        CHECK_HR(factory->CreateInstance(nullptr, IID_IGlyphary, reinterpret_cast<void**>(&object)),
                 S_OK);
        if (object) {
            CHECK_INT(object->AddRef(), 2);
            CHECK_INT(object->Release(), 1);
            // One object and one factory reference.
            CHECK_INT(factory->AddRef(), 3);
            factory->Release();
            CHECK_INT(object->Release(), 0);
            CHECK_INT(factory->AddRef(), 2);
            factory->Release();
        }
    }
    {
        void* p = reinterpret_cast<void*>(1);
        CHECK_HR(factory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
        CHECK(p == nullptr);
        CHECK_INT(factory->AddRef(), 2);  // the failed object is gone again
        factory->Release();
        com_ptr<IUnknown> outer;
        CHECK_HR(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IUnknown,
                                         outer.put_void()),
                 CLASS_E_NOAGGREGATION);
    }
    {
        com_ptr<IGlyphary> object;
        CHECK_HR(factory->CreateInstance(nullptr, IID_IGlyphary, object.put_void()), S_OK);
        if (object) {
            void* unknown = nullptr;
            void* dispatch = nullptr;
            void* glyphary = nullptr;
            CHECK_HR(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
            CHECK_HR(object->QueryInterface(IID_IDispatch, &dispatch), S_OK);
            CHECK_HR(object->QueryInterface(IID_IGlyphary, &glyphary), S_OK);
            CHECK(unknown == object.get() && dispatch == object.get() && glyphary == object.get());
            CHECK_INT(RefCount(object.get()), 4);
            object->Release();
            object->Release();
            object->Release();
            void* stream = reinterpret_cast<void*>(1);
            CHECK_HR(object->QueryInterface(IID_IStream, &stream), E_NOINTERFACE);
            CHECK(stream == nullptr);

            UINT count = 0;
            CHECK_HR(object->GetTypeInfoCount(&count), S_OK);
            CHECK_INT(count, 1);
            com_ptr<ITypeInfo> first, fifth;
            CHECK_HR(object->GetTypeInfo(0, 0, first.put()), S_OK);
            CHECK_HR(object->GetTypeInfo(5, 0x411, fifth.put()), S_OK);
            CHECK(first && first.get() == fifth.get());
            if (first) {
                TYPEATTR* attr = nullptr;
                CHECK_HR(first->GetTypeAttr(&attr), S_OK);
                if (attr) {
                    CHECK_INT(attr->typekind, TKIND_INTERFACE);
                    CHECK_INT(attr->cbSizeVft, 21 * static_cast<int>(sizeof(void*)));
                    CHECK_INT(attr->cFuncs, 14);
                    CHECK(IsEqualGUID(attr->guid, IID_IGlyphary));
                    first->ReleaseTypeAttr(attr);
                }
                FUNCDESC* desc = nullptr;
                CHECK_HR(first->GetFuncDesc(10, &desc), S_OK);
                if (desc) {
                    unique_bstr name;
                    first->GetDocumentation(desc->memid, name.put(), nullptr, nullptr, nullptr);
                    CHECK_TEXT(Text(name.get()), L"Globalize");
                    CHECK_INT(desc->oVft / static_cast<int>(sizeof(void*)), 17);
                    first->ReleaseFuncDesc(desc);
                }
            }
            // Names resolve to the compiler's default dispatch ids.
            static const struct {
                const wchar_t* name;
                DISPID id;
            } kIds[] = {{L"MapMode", 0x60020000},         {L"LocalizePattern", 0x60020002},
                        {L"GlobalizeFormat", 0x60020006}, {L"Globalize", 0x6002000A},
                        {L"GetUserAgentID", 0x6002000C},  {L"ConvertEzwebMail", 0x6002000D}};
            for (const auto& entry : kIds) {
                LPOLESTR name = const_cast<LPOLESTR>(entry.name);
                DISPID id = 0;
                CHECK_HR(object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
                CHECK_INT(id, entry.id);
            }
            LPOLESTR unknownName = const_cast<LPOLESTR>(L"NoSuchMember");
            DISPID id = 0;
            CHECK_HR(object->GetIDsOfNames(IID_NULL, &unknownName, 1, 0, &id), DISP_E_UNKNOWNNAME);
        }
    }
    {
        // GUID_NULL: *ppv carries a class name in, compared unit for unit.
        void* p = const_cast<wchar_t*>(L"Glyphary");
        CHECK_HR(getClassObject(GUID_NULL, IID_IClassFactory, &p), S_OK);
        CHECK(p == factory.get());
        if (p) static_cast<IClassFactory*>(p)->Release();
        p = const_cast<wchar_t*>(L"glyphary");
        CHECK_HR(getClassObject(GUID_NULL, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
        CHECK(p == nullptr);
        p = nullptr;
        CHECK_HR(getClassObject(GUID_NULL, IID_IUnknown, &p), S_OK);
        if (p) static_cast<IUnknown*>(p)->Release();
        p = reinterpret_cast<void*>(1);
        CHECK_HR(getClassObject(IID_IGlyphary, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
        CHECK(p == nullptr);
    }
    factory.reset();
    CHECK_HR(canUnloadNow(), S_OK);
    // Nothing else holds the module: it unloads, and COM loads it afresh below, with start-up
    // (type information, settings) run again.
    CHECK(FreeLibrary(module));
    CHECK(GetModuleHandleW(L"Glyphary.dll") == nullptr);
}

// ---------------------------------------------------------------------------------------------
// The operations early-bound, on an object the COM runtime activates from the registry.

com_ptr<IGlyphary> Create() {
    com_ptr<IGlyphary> object;
    CHECK_HR(CoCreateInstance(CLSID_Glyphary, nullptr, CLSCTX_INPROC_SERVER, IID_IGlyphary,
                              object.put_void()),
             S_OK);
    return object;
}

HRESULT PutText(IGlyphary* object, const wchar_t* property, const std::wstring& value) {
    unique_bstr text(SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
    const std::wstring name = property;
    if (name == L"LocalizePattern") return object->put_LocalizePattern(text.get());
    if (name == L"LocalizeUndefinedFormat") return object->put_LocalizeUndefinedFormat(text.get());
    if (name == L"GlobalizeFormat") return object->put_GlobalizeFormat(text.get());
    if (name == L"GlobalizeUndefinedFormat")
        return object->put_GlobalizeUndefinedFormat(text.get());
    return E_INVALIDARG;
}

Result Run(IGlyphary* object, Operation op, const std::wstring& input) {
    unique_bstr text(SysAllocStringLen(input.data(), static_cast<UINT>(input.size())));
    switch (op) {
        case Operation::Globalize:
            return CallText([&](BSTR* out) { return object->Globalize(text.get(), out); });
        case Operation::Localize:
            return CallText([&](BSTR* out) { return object->Localize(text.get(), out); });
        case Operation::UserAgent: {
            LONG id = -1;
            const HRESULT hr = object->GetUserAgentID(text.get(), &id);
            return {hr, std::to_wstring(id), false};
        }
    }
    return {E_FAIL, L"", true};
}

void TestProperties() {
    Group("properties");
    com_ptr<IGlyphary> object = Create();
    if (!object) return;
    EMapMode mode = MPM_softbank;
    CHECK_HR(object->get_MapMode(&mode), S_OK);
    CHECK_INT(mode, MPM_none);
    for (const auto& [name, value] : kDefaults) {
        Result got{E_FAIL, L"", true};
        const std::wstring property = name;
        if (property == L"LocalizePattern")
            got = CallText([&](BSTR* p) { return object->get_LocalizePattern(p); });
        else if (property == L"LocalizeUndefinedFormat")
            got = CallText([&](BSTR* p) { return object->get_LocalizeUndefinedFormat(p); });
        else if (property == L"GlobalizeFormat")
            got = CallText([&](BSTR* p) { return object->get_GlobalizeFormat(p); });
        else if (property == L"GlobalizeUndefinedFormat")
            got = CallText([&](BSTR* p) { return object->get_GlobalizeUndefinedFormat(p); });
        CHECK_HR(got.hr, S_OK);
        CHECK(!got.null);
        CHECK_TEXT(got.text, value);
    }
    // Any 32-bit mode is kept; modes switch back and forth.
    for (EMapMode value :
         {MPM_imode, static_cast<EMapMode>(7), static_cast<EMapMode>(-5), MPM_ezweb}) {
        CHECK_HR(object->put_MapMode(value), S_OK);
        CHECK_HR(object->get_MapMode(&mode), S_OK);
        CHECK_INT(mode, value);
    }
    // A string put keeps the units before an embedded zero.
    CHECK_HR(PutText(object.get(), L"GlobalizeFormat", std::wstring(L"[%1%]\0tail", 10)), S_OK);
    Result got = CallText([&](BSTR* p) { return object->get_GlobalizeFormat(p); });
    CHECK_TEXT(got.text, L"[%1%]");
    // Two objects keep their own state.
    com_ptr<IGlyphary> other = Create();
    if (other) {
        got = CallText([&](BSTR* p) { return other->get_GlobalizeFormat(p); });
        CHECK_TEXT(got.text, kDefaults[2].second);
        CHECK_HR(other->get_MapMode(&mode), S_OK);
        CHECK_INT(mode, MPM_none);
    }
    // A null BSTR is the empty string.
    CHECK_HR(object->put_LocalizeUndefinedFormat(nullptr), S_OK);
    got = CallText([&](BSTR* p) { return object->get_LocalizeUndefinedFormat(p); });
    CHECK(!got.null);
    CHECK_TEXT(got.text, L"");
}

void TestConversions() {
    Group("conversions");
    for (const Case& c : kCases) {
        com_ptr<IGlyphary> object = Create();
        if (!object) return;
        CHECK_HR(object->put_MapMode(static_cast<EMapMode>(c.mode)), S_OK);
        for (const auto& [name, value] : c.properties)
            if (name) CHECK_HR(PutText(object.get(), name, value), S_OK);
        const Result got = Run(object.get(), c.op, c.input);
        if (got.hr != c.hr || (SUCCEEDED(c.hr) && got.text != c.expected)) {
            ++g_checks;
            Fail(c.name,
                 "got " + Hex(got.hr) + " " + Show(got.text) + ", expected " + Hex(c.hr) + " " +
                     Show(c.expected),
                 __LINE__);
            continue;
        }
        ++g_checks;
        if (FAILED(c.hr)) {
            // A failure leaves a null result and says why in the error info.
            CHECK(got.null || c.op == Operation::UserAgent);
            const std::wstring description = TakeErrorDescription();
            if (description.find(c.expected) == std::wstring::npos)
                Fail(c.name, "error info " + Show(description) + " lacks " + Show(c.expected),
                     __LINE__);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Mail: each sample through CreateStreamOnHGlobal streams, results kept for the comparison
// with the Linux build (mail_run.h).

void TestMail(const std::filesystem::path& mailDir, const std::filesystem::path& outDir) {
    Group("mail");
    com_ptr<IGlyphary> object = Create();
    if (!object) return;
    CHECK(ConvertMails(object.get(), mailDir, outDir));

    // One known answer, so that the comparison with Linux cannot pass on two empty mail
    // maps: the sample map turns mail code 75 21 into web code F6 40, inside the run only.
    const std::string header = "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n";
    const std::string in = header + "u!\x1B$Bu!u\"\x1B(B\r\n";
    const std::string expected = header + "u!\x1B$B\xF6\x40\xF6\x41\x1B(B\r\n";
    com_ptr<IStream> input = MemoryStream({in.begin(), in.end()});
    com_ptr<IStream> output = MemoryStream({});
    CHECK_HR(object->ConvertEzwebMail(input.get(), output.get()), S_OK);
    const std::vector<char> bytes = StreamBytes(output.get());
    CHECK(std::string(bytes.begin(), bytes.end()) == expected);
    // Null streams are refused, not dereferenced.
    com_ptr<IStream> some = MemoryStream({});
    CHECK_HR(object->ConvertEzwebMail(nullptr, some.get()), E_POINTER);
    CHECK_HR(object->ConvertEzwebMail(some.get(), nullptr), E_POINTER);
}

// ---------------------------------------------------------------------------------------------
// Late binding from C++: what a scripting host sees for the stream method.

void TestLateBoundStreams() {
    Group("late-bound");
    com_ptr<IGlyphary> object = Create();
    if (!object) return;
    com_ptr<IDispatch> dispatch = object.try_query<IDispatch>(IID_IDispatch);
    CHECK(dispatch.get() != nullptr);
    if (!dispatch) return;
    com_ptr<IStream> in = MemoryStream({});
    com_ptr<IStream> out = MemoryStream({});
    // DISPPARAMS hold the arguments in reverse order.
    VARIANTARG args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[1]) = VT_UNKNOWN;
    V_UNKNOWN(&args[1]) = in.get();
    V_VT(&args[0]) = VT_UNKNOWN;
    V_UNKNOWN(&args[0]) = out.get();
    DISPPARAMS params{args, nullptr, 2, 0};
    unique_variant result;
    EXCEPINFO excep{};
    UINT argErr = 0;
    const HRESULT hr = dispatch->Invoke(0x6002000D, IID_NULL, 0, DISPATCH_METHOD, &params, &result,
                                        &excep, &argErr);
    CHECK(SUCCEEDED(hr) || hr == DISP_E_EXCEPTION);
    CHECK_INT(V_VT(&result), VT_EMPTY);  // no [retval]: no result value
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);

    // A property get and a method call with their result values.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    unique_variant mode;
    CHECK_HR(dispatch->Invoke(0x60020000, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &mode, nullptr,
                              nullptr),
             S_OK);
    CHECK_INT(V_VT(&mode), VT_I4);
    VARIANTARG ua;
    VariantInit(&ua);
    V_VT(&ua) = VT_BSTR;
    V_BSTR(&ua) = SysAllocString(L"");
    DISPPARAMS one{&ua, nullptr, 1, 0};
    unique_variant id;
    CHECK_HR(
        dispatch->Invoke(0x6002000C, IID_NULL, 0, DISPATCH_METHOD, &one, &id, nullptr, nullptr),
        S_OK);
    CHECK_INT(V_VT(&id), VT_I4);
    VariantClear(&ua);
}

// ---------------------------------------------------------------------------------------------
// What oleaut32 makes of the arguments a late-bound caller may pass, against the tables that
// also hold the Linux platform's VariantChangeType: the two must agree.

void TestVariantConversions() {
    for (const auto& table : varianttest::kChangeTables) {
        Group(table.name);
        for (const varianttest::ChangeCase* c = table.begin; c != table.end; ++c) {
            VARIANT src = varianttest::Source(*c);
            unique_variant dest;
            const HRESULT hr = VariantChangeType(&dest, &src, c->flags, c->to);
            const std::string what = "case " + std::to_string(c - table.begin);
            const std::string got = hr == S_OK ? varianttest::Describe(dest) : Hex(hr);
            const std::string expected = c->hr == S_OK ? c->result : Hex(c->hr);
            ++g_checks;
            if (hr != c->hr || (hr == S_OK && (dest.vt != c->to || got != expected)))
                Fail(what.c_str(), "got " + got + ", expected " + expected, __LINE__);
            VariantClear(&src);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Registration: exactly the entries self-registration writes, byte for byte.

void CheckKey(const wchar_t* path, DWORD subkeys, DWORD values) {
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key);
    CHECK_INT(status, ERROR_SUCCESS);
    if (status != ERROR_SUCCESS) return;
    DWORD actualSubkeys = 0, actualValues = 0;
    CHECK_INT(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &actualSubkeys, nullptr, nullptr,
                               &actualValues, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    CHECK_INT(actualSubkeys, subkeys);
    CHECK_INT(actualValues, values);
    RegCloseKey(key);
}

void CheckValue(const wchar_t* path, const wchar_t* name, const std::wstring& expected) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        CHECK(!"key missing");
        return;
    }
    DWORD type = 0;
    BYTE data[1024] = {};
    DWORD size = sizeof data;
    CHECK_INT(RegQueryValueExW(key, name, nullptr, &type, data, &size), ERROR_SUCCESS);
    CHECK_INT(type, REG_SZ);
    // The module passes the characters without a terminating zero; Windows NT stores them
    // with one added (Wine does the same), so both sizes are the module's data.
    const size_t bytes = expected.size() * sizeof(wchar_t);
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    CHECK(size == bytes || (size == bytes + sizeof(wchar_t) && text[expected.size()] == 0));
    CHECK_TEXT(std::wstring(text, std::min<size_t>(size, bytes) / sizeof(wchar_t)), expected);
    RegCloseKey(key);
}

void TestRegistry() {
    Group("registry");
    const wchar_t* clsidKey = L"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}";
    const std::wstring server = std::wstring(clsidKey) + L"\\InProcServer32";
    CheckKey(L"Glyphary", 1, 0);
    CheckKey(L"Glyphary\\CLSID", 0, 1);
    CheckKey(clsidKey, 1, 1);
    CheckKey(server.c_str(), 0, 2);
    CheckValue(L"Glyphary\\CLSID", nullptr, L"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}");
    CheckValue(clsidKey, nullptr, L"Glyphary");
    CheckValue(server.c_str(), nullptr, g_moduleDir + L"\\Glyphary.dll");
    CheckValue(server.c_str(), L"ThreadingModel", L"Apartment");
    CLSID clsid{};
    CHECK_HR(CLSIDFromProgID(L"Glyphary", &clsid), S_OK);
    CHECK(IsEqualCLSID(clsid, CLSID_Glyphary));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: glyphary-client MODULE_DIR MAIL_DIR OUT_DIR\n");
        return 2;
    }
    g_moduleDir = argv[1];
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::printf("glyphary-client: CoInitializeEx failed\n");
        return 1;
    }
    // The exports first, while nothing else holds the module.
    TestFactoryAndCounts();
    TestRegistry();
    TestProperties();
    TestConversions();
    TestLateBoundStreams();
    TestVariantConversions();
    TestMail(argv[2], argv[3]);
    CoUninitialize();
    return Summary("glyphary-client");
}
