// The module as a client loads it: start-up with and without settings, refused loads, unload
// and reload, the exported symbols, the class object and the module count.
#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <set>
#include <thread>

#include "com/module_support.h"

namespace glyphary::testing {
namespace {

constexpr char kSettings[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<settings>
  <globalizeFormat>[%1%]</globalizeFormat>
  <localizePattern>\[(\d+)\]</localizePattern>
  <userAgent id="7" pattern="Handset/.*"/>
</settings>
)";

std::string GlobalizeFormatOf(IGlyphary* object) {
    unique_bstr value;
    EXPECT_EQ(S_OK, object->get_GlobalizeFormat(value.put()));
    return Narrow(value.get());
}

LONG UserAgentIdOf(IGlyphary* object, const char16_t* userAgent) {
    unique_bstr text(SysAllocString(userAgent));
    LONG id = -1;
    EXPECT_EQ(S_OK, object->GetUserAgentID(text.get(), &id));
    return id;
}

using ModuleStartup = ComInitialized;

TEST_F(ModuleStartup, LoadsWithEmptyTablesWhenThereIsNoSettingsFile) {
    ModuleCopy copy(nullptr);
    Module module(copy.path());
    ASSERT_TRUE(module);
    EXPECT_EQ(S_OK, module.CanUnloadNow());
    com_ptr<IGlyphary> object = module.Create();
    ASSERT_TRUE(object);
    EXPECT_EQ("", GlobalizeFormatOf(object.get()));
    EXPECT_EQ(0, UserAgentIdOf(object.get(), u"Handset/1.0"));
}

TEST_F(ModuleStartup, ReadsTheSettingsFileBesideTheModule) {
    ModuleCopy copy(kSettings);
    Module module(copy.path());
    ASSERT_TRUE(module);
    com_ptr<IGlyphary> object = module.Create();
    ASSERT_TRUE(object);
    EXPECT_EQ("[%1%]", GlobalizeFormatOf(object.get()));
    EXPECT_EQ(7, UserAgentIdOf(object.get(), u"Handset/1.0"));
}

TEST_F(ModuleStartup, IgnoresAnIllFormedSettingsFile) {
    ModuleCopy copy("<settings><globalizeFormat>x</settings");
    Module module(copy.path());
    ASSERT_TRUE(module);
    EXPECT_EQ("", GlobalizeFormatOf(module.Create().get()));
}

// The settings loader fails (negative status) when it cannot create its XML reader, which is
// a COM class: so on a thread that has not initialised COM.
TEST(ModuleStartupFailure, RefusesToLoadWhenTheSettingsLoaderFails) {
    ModuleCopy copy(kSettings);
    HMODULE handle = reinterpret_cast<HMODULE>(1);
    std::thread([&] { handle = LoadLibraryW(Utf16(copy.path()).c_str()); }).join();
    EXPECT_EQ(nullptr, handle);
    EXPECT_FALSE(IsMapped(copy.path()));
}

TEST_F(ModuleStartup, RefusesToLoadWithoutTypeInformation) {
    ModuleCopy copy(nullptr);
    const std::string stripped = copy.dir().file("stripped.so");
    const std::string command =
        "objcopy --remove-section .rsrc.TYPELIB.1 " + copy.path() + " " + stripped;
    ASSERT_EQ(0, std::system(command.c_str()));
    EXPECT_EQ(nullptr, LoadLibraryW(Utf16(stripped).c_str()));
    EXPECT_FALSE(IsMapped(stripped));
    // The same module with its type library loads.
    Module module(copy.path());
    EXPECT_TRUE(module);
}

// Unloading really unloads (nothing pins the module), so loading again runs static
// construction and start-up again: a factory reference left by the first load is not counted
// by the second, and settings changed in between are read.
TEST_F(ModuleStartup, RunsAgainWhenLoadedAfterBeingFreed) {
    ModuleCopy copy(nullptr);
    {
        Module module(copy.path());
        ASSERT_TRUE(module);
        EXPECT_EQ("", GlobalizeFormatOf(module.Create().get()));
        module.Factory().detach();  // never released: the count of this load stays at 1
        EXPECT_EQ(S_FALSE, module.CanUnloadNow());
    }
    EXPECT_FALSE(IsMapped(copy.path()));
    std::ofstream(copy.dir().file("Glyphary.setting")) << kSettings;
    Module module(copy.path());
    ASSERT_TRUE(module);
    EXPECT_EQ(S_OK, module.CanUnloadNow());
    EXPECT_EQ("[%1%]", GlobalizeFormatOf(module.Create().get()));
}

// No call may leave anything behind that keeps the module mapped after FreeLibrary (a
// thread-local with a destructor would): after each kind of call the module unloads, and the
// next load reads the settings afresh, seeing only what they say now.
TEST_F(ModuleStartup, UnloadsAfterEveryKindOfCall) {
    const auto text = [](const char16_t* s) { return unique_bstr(SysAllocString(s)); };
    const std::vector<std::pair<const char*, std::function<void(IGlyphary*)>>> calls = {
        {"put/get MapMode",
         [](IGlyphary* o) {
             EMapMode mode{};
             EXPECT_EQ(S_OK, o->put_MapMode(MPM_ezweb));
             EXPECT_EQ(S_OK, o->get_MapMode(&mode));
         }},
        {"string properties",
         [&](IGlyphary* o) {
             unique_bstr value;
             EXPECT_EQ(S_OK, o->put_LocalizePattern(text(u"<(\\w+)>").get()));
             EXPECT_EQ(S_OK, o->get_LocalizePattern(value.put()));
             EXPECT_EQ(S_OK, o->put_LocalizeUndefinedFormat(text(u"?").get()));
             EXPECT_EQ(S_OK, o->get_LocalizeUndefinedFormat(value.put()));
             EXPECT_EQ(S_OK, o->put_GlobalizeUndefinedFormat(text(u"?").get()));
             EXPECT_EQ(S_OK, o->get_GlobalizeUndefinedFormat(value.put()));
         }},
        {"Globalize",
         [&](IGlyphary* o) {
             unique_bstr out;
             EXPECT_EQ(S_OK, o->put_MapMode(MPM_imode));
             EXPECT_EQ(S_OK, o->Globalize(text(u"a\xE63E").get(), out.put()));
         }},
        {"Localize",
         [&](IGlyphary* o) {
             unique_bstr out;
             EXPECT_EQ(S_OK, o->Localize(text(u"x [12] y").get(), out.put()));
         }},
        {"Localize failing",
         [&](IGlyphary* o) {
             unique_bstr out;
             EXPECT_EQ(S_OK, o->put_LocalizePattern(text(u"(").get()));
             EXPECT_EQ(E_INVALIDARG, o->Localize(text(u"x").get(), out.put()));
         }},
        {"GetUserAgentID",
         [&](IGlyphary* o) {
             LONG id = 0;
             EXPECT_EQ(S_OK, o->GetUserAgentID(text(u"Handset/1.0").get(), &id));
             EXPECT_EQ(7, id);
         }},
        {"ConvertEzwebMail",
         [](IGlyphary* o) {
             com_ptr<IStream> in, out;
             ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, in.put()));
             ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, out.put()));
             const char mail[] = "Content-Type: text/plain; charset=iso-2022-jp\r\n\r\nhi\r\n";
             ASSERT_EQ(S_OK, in->Write(mail, sizeof mail - 1, nullptr));
             ASSERT_EQ(S_OK, in->Seek({}, STREAM_SEEK_SET, nullptr));
             EXPECT_EQ(S_OK, o->ConvertEzwebMail(in.get(), out.get()));
         }},
        {"Invoke",
         [&](IGlyphary* o) {
             LPOLESTR name = const_cast<LPOLESTR>(u"Localize");
             DISPID dispid = 0;
             ASSERT_EQ(S_OK, o->GetIDsOfNames(GUID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid));
             const unique_bstr input = text(u"[1]");
             VARIANTARG arg;
             VariantInit(&arg);
             arg.vt = VT_BSTR;
             arg.bstrVal = input.get();
             DISPPARAMS params{&arg, nullptr, 1, 0};
             unique_variant result;
             EXPECT_EQ(S_OK, o->Invoke(dispid, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                       &params, &result, nullptr, nullptr));
         }},
    };
    constexpr char kOtherSettings[] = R"(<settings><globalizeFormat>{%1%}</globalizeFormat>
<userAgent id="9" pattern="Other/.*"/></settings>)";
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        ModuleCopy copy(kSettings);
        {
            Module module(copy.path());
            ASSERT_TRUE(module);
            call(module.Create().get());
            SetErrorInfo(0, nullptr);  // an error info made by the module holds nothing of it
            EXPECT_EQ(S_OK, module.CanUnloadNow());
        }
        EXPECT_FALSE(IsMapped(copy.path()));
        std::ofstream(copy.dir().file("Glyphary.setting")) << kOtherSettings;
        Module module(copy.path());
        ASSERT_TRUE(module);
        const com_ptr<IGlyphary> object = module.Create();
        EXPECT_EQ("{%1%}", GlobalizeFormatOf(object.get()));
        EXPECT_EQ(0, UserAgentIdOf(object.get(), u"Handset/1.0"));  // the old rule is gone
        EXPECT_EQ(9, UserAgentIdOf(object.get(), u"Other/2"));
    }
}

TEST(ModuleExports, AreTheEntryPointsOnly) {
    FILE* nm = popen(("nm -D --defined-only " + kModulePath).c_str(), "r");
    ASSERT_NE(nullptr, nm);
    std::set<std::string> symbols;
    char line[512];
    while (std::fgets(line, sizeof line, nm)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) symbols.insert(type + " " + name);
    }
    ASSERT_EQ(0, pclose(nm));
    const std::set<std::string> expected = {"T DllCanUnloadNow", "T DllGetClassObject", "T DllMain",
                                            "T DllRegisterServer", "T DllUnregisterServer"};
    EXPECT_EQ(expected, symbols);
}

// ---------------------------------------------------------------------------------------------
// DllGetClassObject and the module count

using ClassObject = ComInitialized;

TEST_F(ClassObject, IsFoundByClassIdOrByName) {
    Module module;
    ASSERT_TRUE(module);
    struct Case {
        const char* what;
        GUID clsid;
        const OLECHAR* name;  // the input in *ppv with GUID_NULL
        HRESULT expected;
    } cases[] = {
        {"class id", CLSID_Glyphary, nullptr, S_OK},
        {"null name", GUID_NULL, nullptr, S_OK},
        {"empty name", GUID_NULL, u"", S_OK},
        {"class name", GUID_NULL, u"Glyphary", S_OK},
        {"other case", GUID_NULL, u"glyphary", CLASS_E_CLASSNOTAVAILABLE},
        {"longer name", GUID_NULL, u"Glyphary2", CLASS_E_CLASSNOTAVAILABLE},
        {"prefix", GUID_NULL, u"Glyph", CLASS_E_CLASSNOTAVAILABLE},
        {"other class", IID_IGlyphary, nullptr, CLASS_E_CLASSNOTAVAILABLE},
    };
    for (const Case& c : cases) {
        void* out = const_cast<OLECHAR*>(c.name);
        EXPECT_EQ(c.expected, module.GetClassObject(c.clsid, IID_IClassFactory, &out)) << c.what;
        if (c.expected == S_OK) {
            ASSERT_NE(nullptr, out) << c.what;
            EXPECT_EQ(S_FALSE, module.CanUnloadNow()) << c.what;
            static_cast<IClassFactory*>(out)->Release();
        } else {
            EXPECT_EQ(nullptr, out) << c.what;
        }
        EXPECT_EQ(S_OK, module.CanUnloadNow()) << c.what;
    }
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, module.GetClassObject(CLSID_Glyphary, IID_IGlyphary, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, module.CanUnloadNow());
}

TEST_F(ClassObject, FactoryReferencesAndObjectsHoldTheModule) {
    Module module;
    ASSERT_TRUE(module);
    EXPECT_EQ(S_OK, module.CanUnloadNow());
    com_ptr<IClassFactory> factory = module.Factory();
    EXPECT_EQ(S_FALSE, module.CanUnloadNow());

    // The factory's counts are the module's: one for `factory`, then one more.
    EXPECT_EQ(2u, factory->AddRef());
    EXPECT_EQ(1u, factory->Release());
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(factory.get()), unknown.get());
    unknown.reset();
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));

    IGlyphary* object = nullptr;
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IGlyphary, reinterpret_cast<void**>(&object)));
    factory.reset();
    EXPECT_EQ(S_FALSE, module.CanUnloadNow());  // the object alone holds it
    EXPECT_EQ(2u, object->AddRef());
    EXPECT_EQ(1u, object->Release());
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(S_OK, module.CanUnloadNow());
}

TEST_F(ClassObject, CreateInstanceRefusesAggregationAndUnknownInterfaces) {
    Module module;
    com_ptr<IClassFactory> factory = module.Factory();
    ASSERT_TRUE(factory);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.get(), IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    factory.reset();
    EXPECT_EQ(S_OK, module.CanUnloadNow());  // no object was left behind
}

TEST_F(ClassObject, ObjectAnswersItsThreeInterfacesAsOnePointer) {
    Module module;
    com_ptr<IGlyphary> object = module.Create();
    ASSERT_TRUE(object);
    const IID iids[] = {IID_IUnknown, IID_IDispatch, IID_IGlyphary};
    ULONG expected = 2;
    for (const IID& iid : iids) {
        void* out = nullptr;
        ASSERT_EQ(S_OK, object->QueryInterface(iid, &out));
        EXPECT_EQ(static_cast<void*>(object.get()), out);
        EXPECT_EQ(expected + 1, object->AddRef());  // one more from QueryInterface each time
        object->Release();
        ++expected;
    }
    for (int i = 0; i < 3; ++i) object->Release();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(2u, object->AddRef());
    object->Release();
}

TEST_F(ClassObject, TypeInformationIsTheOneStartUpLoaded) {
    Module module;
    com_ptr<IGlyphary> object = module.Create();
    ASSERT_TRUE(object);
    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);

    com_ptr<ITypeInfo> first, fifth;
    ASSERT_EQ(S_OK, object->GetTypeInfo(0, 0, first.put()));
    ASSERT_EQ(S_OK, object->GetTypeInfo(5, LOCALE_USER_DEFAULT, fifth.put()));
    EXPECT_EQ(first.get(), fifth.get());
    // Each GetTypeInfo added one reference: two here, on top of the module's own.
    const ULONG held = first->AddRef();
    first->Release();
    fifth.reset();
    EXPECT_EQ(held - 1, first->AddRef());
    first->Release();

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, first->GetTypeAttr(&attr));
    EXPECT_EQ(IID_IGlyphary, attr->guid);
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(21 * sizeof(void*), attr->cbSizeVft);
    first->ReleaseTypeAttr(attr);
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(S_OK, first->GetFuncDesc(10, &fd));
    unique_bstr name;
    EXPECT_EQ(S_OK, first->GetDocumentation(fd->memid, name.put(), nullptr, nullptr, nullptr));
    EXPECT_EQ(17 * static_cast<SHORT>(sizeof(void*)), fd->oVft);
    EXPECT_EQ("Globalize", Narrow(name.get()));
    first->ReleaseFuncDesc(fd);
}

}  // namespace
}  // namespace glyphary::testing
