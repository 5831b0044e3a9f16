// GClassFactory and GDualImpl on their own, with implementations that fail to construct, and
// the settings path rule of start-up.
#include <gtest/gtest.h>

#include <stdexcept>

#include "com/module.h"

namespace glyphary {

// Not used by these tests (no IDispatch call); external, so the compiler assumes nothing.
ITypeInfo* g_typeInfo = nullptr;

namespace {

std::atomic<LONG> g_count{0};
enum class Failure { none, badAlloc, other } g_failure = Failure::none;

// Throws from its constructor when told to, as allocations inside a real one may.
template <class TInterface>
class FallibleImpl : public TInterface {
  public:
    FallibleImpl() {
        if (g_failure == Failure::badAlloc) throw std::bad_alloc();
        if (g_failure == Failure::other) throw std::runtime_error("no");
    }

  protected:
    ~FallibleImpl() = default;
};

using Object = GDualImpl<IDispatch, FallibleImpl, g_typeInfo, &g_count>;
using Factory = GClassFactory<Object, &g_count>;

TEST(ClassFactory, ConstructionFailuresBecomeOutOfMemoryAndLeaveNothing) {
    Factory factory;
    for (Failure failure : {Failure::badAlloc, Failure::other}) {
        g_failure = failure;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_OUTOFMEMORY, factory.CreateInstance(nullptr, IID_IDispatch, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(0, g_count.load());
    }
    g_failure = Failure::none;
    IDispatch* object = nullptr;
    ASSERT_EQ(S_OK,
              factory.CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(1, g_count.load());
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(0, g_count.load());
}

TEST(ClassFactory, CountsItsReferencesInTheModuleCount) {
    Factory factory;
    EXPECT_EQ(1u, factory.AddRef());
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, factory.QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(2, g_count.load());
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, factory.Release());
    EXPECT_EQ(E_NOINTERFACE,
              factory.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(nullptr, unknown);
    EXPECT_EQ(0, g_count.load());
}

TEST(ModuleStartupPath, DropsTheLongPathPrefixOnly) {
    struct Case {
        const char16_t* path;
        const char16_t* expected;
    } cases[] = {
        {u"\\\\?\\C:\\dir\\Glyphary.setting", u"C:\\dir\\Glyphary.setting"},
        {u"C:\\dir\\Glyphary.setting", u"C:\\dir\\Glyphary.setting"},
        {u"/opt/glyphary/Glyphary.setting", u"/opt/glyphary/Glyphary.setting"},
        {u"\\\\.\\C:\\x", u"\\\\.\\C:\\x"},
        {u"\\\\?", u"\\\\?"},
        {u"\\\\?\\", u""},
        {u"", u""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::u16string(c.expected), std::u16string(SettingsPathForLoader(c.path)));
}

}  // namespace
}  // namespace glyphary
