// DllRegisterServer and DllUnregisterServer against a temporary registry: the exact keys,
// values and byte counts, repeated and partial runs, and entries that others added.
#include <optional>
#include <vector>

#include "com/module_support.h"

namespace glyphary::testing {
namespace {

constexpr const char16_t* kClassKey = u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}";
constexpr const char16_t* kServerKey =
    u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\\InProcServer32";

class Key {
  public:
    explicit Key(const char16_t* path) {
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &m_key) != ERROR_SUCCESS)
            m_key = nullptr;
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (m_key) RegCloseKey(m_key);
    }
    explicit operator bool() const { return m_key != nullptr; }

    std::vector<std::string> Subkeys() const {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char16_t name[256];
            DWORD length = 256;
            if (RegEnumKeyExW(m_key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            names.push_back(Narrow(std::u16string(name, length).c_str()));
        }
        return names;
    }

    struct Value {
        DWORD type;
        DWORD bytes;
        std::string text;  // the units, narrowed
        bool operator==(const Value&) const = default;
    };
    std::optional<Value> Get(const char16_t* name) const {
        DWORD type = 0, bytes = 0;
        if (RegQueryValueExW(m_key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
            return std::nullopt;
        std::u16string data(bytes / 2 + 1, u'\0');
        DWORD size = bytes;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(m_key, name, nullptr, &type,
                                                  reinterpret_cast<BYTE*>(data.data()), &size));
        data.resize(bytes / 2);
        return Value{type, bytes, Narrow(data.c_str())};
    }

  private:
    HKEY m_key = nullptr;
};

using Value = Key::Value;

Value Sz(const std::string& text) {
    return {REG_SZ, static_cast<DWORD>(2 * text.size()), text};
}

// The four keys with exactly their values and subkeys; `modulePath` is the server's path.
void ExpectRegistered(const std::string& modulePath) {
    Key progId(u"Glyphary"), progIdClsid(u"Glyphary\\CLSID"), classKey(kClassKey),
        server(kServerKey);
    ASSERT_TRUE(progId && progIdClsid && classKey && server);
    EXPECT_EQ(std::vector<std::string>{"CLSID"}, progId.Subkeys());
    EXPECT_EQ(std::nullopt, progId.Get(nullptr));
    EXPECT_EQ(Sz("{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}"), progIdClsid.Get(nullptr));
    EXPECT_EQ(76u, progIdClsid.Get(nullptr)->bytes);
    EXPECT_TRUE(progIdClsid.Subkeys().empty());
    EXPECT_EQ(Sz("Glyphary"), classKey.Get(nullptr));
    EXPECT_EQ(std::vector<std::string>{"InProcServer32"}, classKey.Subkeys());
    EXPECT_EQ(Sz(modulePath), server.Get(nullptr));
    EXPECT_EQ(Sz("Apartment"), server.Get(u"ThreadingModel"));
    EXPECT_EQ(18u, server.Get(u"ThreadingModel")->bytes);
    EXPECT_TRUE(server.Subkeys().empty());
}

class Registration : public ComInitialized {
  protected:
    void SetUp() override { ASSERT_TRUE(module); }
    TemporaryRegistry registry;
    Module module;
};

TEST_F(Registration, WritesTheProgIdAndTheClassKey) {
    ASSERT_EQ(S_OK, module.Register());
    ExpectRegistered(kModulePath);
}

TEST_F(Registration, TwiceLeavesOneSetWithTheLastPath) {
    ModuleCopy copy(nullptr);
    {
        Module other(copy.path());
        ASSERT_TRUE(other);
        ASSERT_EQ(S_OK, other.Register());
        ExpectRegistered(copy.path());
    }
    ASSERT_EQ(S_OK, module.Register());
    ASSERT_EQ(S_OK, module.Register());
    ExpectRegistered(kModulePath);
}

TEST_F(Registration, UnregisterRemovesAllFourKeysButNotClsid) {
    ASSERT_EQ(S_OK, module.Register());
    ASSERT_EQ(S_OK, module.Unregister());
    EXPECT_FALSE(Key(u"Glyphary"));
    EXPECT_FALSE(Key(u"Glyphary\\CLSID"));
    EXPECT_FALSE(Key(kClassKey));
    EXPECT_FALSE(Key(kServerKey));
    ASSERT_TRUE(Key(u"CLSID"));
    EXPECT_TRUE(Key(u"CLSID").Subkeys().empty());
}

TEST_F(Registration, UnregisterWhenAbsentFailsAndChangesNothing) {
    const std::string before = ReadFile(registry.file());
    EXPECT_EQ(E_FAIL, module.Unregister());
    EXPECT_EQ(before, ReadFile(registry.file()));
    EXPECT_TRUE(Key(u"CLSID"));
}

TEST_F(Registration, UnregisterStopsAtAForeignSubkey) {
    ASSERT_EQ(S_OK, module.Register());
    HKEY foreign = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Glyphary\\Other", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &foreign, nullptr));
    RegCloseKey(foreign);
    EXPECT_EQ(E_FAIL, module.Unregister());
    EXPECT_FALSE(Key(u"Glyphary\\CLSID"));  // removed before the failing step
    EXPECT_EQ(std::vector<std::string>{"Other"}, Key(u"Glyphary").Subkeys());
    EXPECT_TRUE(Key(kServerKey));  // nothing after the failing step was attempted
}

// Windows always has HKEY_CLASSES_ROOT\CLSID; without it the class key cannot be written, and
// what was written before stays.
TEST_F(Registration, FailureLeavesEarlierEntriesInPlace) {
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID"));
    EXPECT_EQ(E_FAIL, module.Register());
    EXPECT_EQ(Sz("{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}"), Key(u"Glyphary\\CLSID").Get(nullptr));
    EXPECT_FALSE(Key(u"CLSID"));
}

// A client that knows only the name: the ProgID leads to the class, the class to the module.
TEST_F(Registration, ActivatesTheClassByProgIdAfterRegistering) {
    CLSID clsid = GUID_NULL;
    EXPECT_NE(S_OK, CLSIDFromProgID(u"Glyphary", &clsid));
    ASSERT_EQ(S_OK, module.Register());
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"Glyphary", &clsid));
    EXPECT_EQ(CLSID_Glyphary, clsid);

    com_ptr<IDispatch> object;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     object.put_void()));
    LPOLESTR name[] = {const_cast<LPOLESTR>(u"GetUserAgentID")};
    DISPID id = 0;
    ASSERT_EQ(S_OK, object->GetIDsOfNames(GUID_NULL, name, 1, 0, &id));
    unique_bstr userAgent(SysAllocString(u"Unknown/1.0"));
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = userAgent.get();
    DISPPARAMS params{&arg, nullptr, 1, 0};
    unique_variant result;
    ASSERT_EQ(S_OK, object->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr,
                                   nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(0, result.lVal);
    // The object came from the registered module file, the one this test loaded.
    EXPECT_EQ(S_FALSE, module.CanUnloadNow());
    object.reset();
    EXPECT_EQ(S_OK, module.CanUnloadNow());

    ASSERT_EQ(S_OK, module.Unregister());
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_Glyphary, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IDispatch, object.put_void()));
}

}  // namespace
}  // namespace glyphary::testing
