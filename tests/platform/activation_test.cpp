#include <dlfcn.h>

#include "platform/owners.h"
#include "platform/scratch.h"
#include "testmodule/test_module.h"

namespace {

using glyphary::com_ptr;
using glyphary::test::CLSID_TestClass;
using glyphary::test::IID_ITestObject;
using glyphary::test::ITestObject;
using glyphary::testing::ReadLines;
using glyphary::testing::TempDir;
using glyphary::testing::U16;

const std::string kModule = GLYPHARY_TEST_MODULE;
const std::string kNotAServer = GLYPHARY_PLATFORM_LIBRARY;  // loads, but serves no class
constexpr const char16_t* kClsidText = u"{6B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5B}";
constexpr CLSID kUnknownClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

void SetDefault(const std::u16string& key, std::u16string_view text) {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &h, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                             static_cast<DWORD>(text.size() * 2)),
              ERROR_SUCCESS);
    RegCloseKey(h);
}

bool IsLoaded() {
    void* dl = dlopen(kModule.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (dl) dlclose(dl);
    return dl != nullptr;
}

// A temporary registry with the test module's class under its CLSID and the ProgID
// "Test.Class" (the path with a terminating zero, as many installers write it).
class Activation : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("GLYPHARY_REGISTRY", dir.file("registry").c_str(), 1);
        setenv(glyphary::test::kTraceVariable, dir.file("trace").c_str(), 1);
        const std::u16string path = U16(kModule);
        SetDefault(u"CLSID\\" + std::u16string(kClsidText) + u"\\InProcServer32",
                   std::u16string_view(path.c_str(), path.size() + 1));
        SetDefault(u"Test.Class\\CLSID", kClsidText);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    }
    void TearDown() override {
        CoFreeUnusedLibraries();
        EXPECT_FALSE(IsLoaded());
        CoUninitialize();
        unsetenv("GLYPHARY_REGISTRY");
        unsetenv(glyphary::test::kTraceVariable);
    }
    std::vector<std::string> Trace() const { return ReadLines(dir.file("trace")); }

    TempDir dir;
};

TEST_F(Activation, ByClassIdLoadsTheServerOnceAndKeepsIt) {
    for (int i = 0; i < 2; ++i) {
        com_ptr<ITestObject> object;
        ASSERT_EQ(CoCreateInstance(CLSID_TestClass, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   object.put_void()),
                  S_OK);
        EXPECT_EQ(object->Answer(), 1);  // attached once
    }
    EXPECT_TRUE(IsLoaded());  // kept, as COM keeps it, until asked to free unused ones
    EXPECT_EQ(Trace(),
              (std::vector<std::string>{"construct", "attach " + kModule, "create", "create"}));
}

TEST_F(Activation, UnusedServersAreFreedOnlyWhenTheyAgree) {
    com_ptr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.put_void()),
              S_OK);
    com_ptr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()), S_OK);
    factory.reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded());  // an object is alive
    object.reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(Trace().back(), "destroy");
}

TEST_F(Activation, ByProgIdThroughTheRegistry) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Test.Class", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestClass);
    EXPECT_EQ(CLSIDFromProgID(u"TEST.CLASS", &clsid), S_OK);
    EXPECT_EQ(CLSIDFromString(u"Test.Class", &clsid), S_OK);  // Windows takes ProgIDs here too
    EXPECT_EQ(clsid, CLSID_TestClass);
    com_ptr<ITestObject> object;
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject, object.put_void()),
        S_OK);

    EXPECT_EQ(CLSIDFromProgID(u"No.Such.Class", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, GUID_NULL);
    EXPECT_EQ(CLSIDFromProgID(u"Test.Class\\CLSID", &clsid), CO_E_CLASSSTRING);
    SetDefault(u"Broken.Class\\CLSID", u"not a guid");
    EXPECT_EQ(CLSIDFromProgID(u"Broken.Class", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
}

TEST_F(Activation, FailuresHaveWindowsCodes) {
    com_ptr<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.put_void()),
              REGDB_E_CLASSNOTREG);

    // Registered, but the module is missing, or is no server.
    const std::u16string key = u"CLSID\\" + std::u16string(kClsidText) + u"\\InProcServer32";
    struct Case {
        std::u16string server;
        HRESULT hr;
    } cases[] = {
        {U16(dir.file("absent.so")), CO_E_DLLNOTFOUND},
        {U16(kNotAServer), CO_E_ERRORINDLL},
        {u"", REGDB_E_CLASSNOTREG},
    };
    for (const Case& c : cases) {
        SetDefault(key, c.server);
        EXPECT_EQ(CoCreateInstance(CLSID_TestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   object.put_void()),
                  c.hr);
        EXPECT_EQ(object.get(), nullptr);
    }
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(CoCreateInstance(CLSID_TestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.put_void()),
              REGDB_E_CLASSNOTREG);

    glyphary::testing::WriteFile(dir.file("registry"), "damaged");
    EXPECT_EQ(CoCreateInstance(CLSID_TestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.put_void()),
              REGDB_E_READREGDB);
}

// ProgID look-ups of text that is no CLSID go to an empty registry of the test's own.
class ClassIdText : public ::testing::Test {
  protected:
    void SetUp() override { setenv("GLYPHARY_REGISTRY", dir.file("registry").c_str(), 1); }
    void TearDown() override { unsetenv("GLYPHARY_REGISTRY"); }
    TempDir dir;
};

TEST_F(ClassIdText, ParsesTheBracedFormOnly) {
    const CLSID expected = CLSID_TestClass;
    struct Case {
        const char16_t* text;
        HRESULT hr;
    } cases[] = {
        {u"{6B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5B}", S_OK},
        {u"{6b1f7e0a-2c3d-4e5f-8a9b-0c1d2e3f4a5b}", S_OK},
        {u"6B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5B", CO_E_CLASSSTRING},
        {u"{6B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5B", CO_E_CLASSSTRING},
        {u"{6B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5B} ", CO_E_CLASSSTRING},
        {u"{6B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5G}", CO_E_CLASSSTRING},
        {u"{6B1F7E0A-2C3D-4E5F-8A9B0-C1D2E3F4A5B}", CO_E_CLASSSTRING},
        {u"{+B1F7E0A-2C3D-4E5F-8A9B-0C1D2E3F4A5B}", CO_E_CLASSSTRING},
        {u"", CO_E_CLASSSTRING},
    };
    for (const Case& c : cases) {
        CLSID clsid = expected;
        EXPECT_EQ(CLSIDFromString(c.text, &clsid), c.hr) << std::string(c.text, c.text + 1);
        EXPECT_EQ(clsid, c.hr == S_OK ? expected : GUID_NULL);
    }
    CLSID clsid = expected;
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
    EXPECT_EQ(clsid, GUID_NULL);
    EXPECT_EQ(CLSIDFromString(kClsidText, nullptr), E_INVALIDARG);
}

TEST_F(ClassIdText, FormatsInUpperCaseAndNeedsRoomForAll39Units) {
    OLECHAR text[40];
    EXPECT_EQ(StringFromGUID2(CLSID_TestClass, text, 40), 39);
    EXPECT_EQ(std::u16string(text), kClsidText);
    EXPECT_EQ(StringFromGUID2(GUID_NULL, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(StringFromGUID2(CLSID_TestClass, text, 38), 0);
    CLSID back;
    ASSERT_EQ(StringFromGUID2(IID_IDispatch, text, 39), 39);
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, IID_IDispatch);
}

}  // namespace
