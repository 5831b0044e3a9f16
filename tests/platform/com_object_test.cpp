// ComObject, on interfaces of its own: which interfaces QueryInterface answers and through
// which pointer, what each count does, and what CreateObject leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/com_object.h"

namespace {

// IB derives from IA; IC stands beside them.
struct IA : IUnknown {
    virtual int STDMETHODCALLTYPE A() = 0;
};
struct IB : IA {
    virtual int STDMETHODCALLTYPE B() = 0;
};
struct IC : IUnknown {
    virtual int STDMETHODCALLTYPE C() = 0;
};
constexpr IID kIidA = {0xA, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kIidB = {0xB, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kIidC = {0xC, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace

namespace glyphary {
template <>
inline constexpr const IID* kIidOf<IA> = &kIidA;
template <>
inline constexpr const IID* kIidOf<IB> = &kIidB;
template <>
inline constexpr const IID* kIidOf<IC> = &kIidC;
}  // namespace glyphary

namespace {

using namespace glyphary;

int g_destroyed = 0;
std::atomic<LONG> g_moduleCount{0};

template <class Count>
class Object final : public ComObject<Object<Count>, Count, Chain<IB, IB, IA>, IC> {
  public:
    explicit Object(bool fail = false) {
        if (fail) throw std::runtime_error("construction fails");
    }
    ~Object() { ++g_destroyed; }
    int STDMETHODCALLTYPE A() override { return 'A'; }
    int STDMETHODCALLTYPE B() override { return 'B'; }
    int STDMETHODCALLTYPE C() override { return 'C'; }
};

TEST(ComObject, AnswersItsInterfacesThroughOneIdentityAndNothingElse) {
    g_destroyed = 0;
    auto* object = NewObject<Object<AtomicCount>>();
    ASSERT_NE(nullptr, object);
    IUnknown* identity = static_cast<IB*>(object);
    const struct {
        const IID& iid;
        HRESULT hr;
        void* expected;
    } cases[] = {
        {IID_IUnknown, S_OK, identity},          {kIidB, S_OK, static_cast<IB*>(object)},
        {kIidA, S_OK, static_cast<IA*>(object)}, {kIidC, S_OK, static_cast<IC*>(object)},
        {IID_IDispatch, E_NOINTERFACE, nullptr}, {IID_IClassFactory, E_NOINTERFACE, nullptr},
    };
    ULONG refs = 1;  // NewObject's
    for (const auto& c : cases) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.hr, object->QueryInterface(c.iid, &out));
        EXPECT_EQ(c.expected, out);
        if (out) ++refs;  // each interface handed out holds a reference
        EXPECT_EQ(refs + 1, object->AddRef());
        EXPECT_EQ(refs, object->Release());
    }
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
    // Asked through another interface, IUnknown is still the identity.
    IC* c = static_cast<IC*>(object);
    IUnknown* again = nullptr;
    ASSERT_EQ(S_OK, c->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(identity, again);
    EXPECT_EQ('C', c->C());
    for (ULONG left = refs + 1; left > 1; --left) EXPECT_EQ(left - 1, c->Release());
    EXPECT_EQ(0, g_destroyed);
    EXPECT_EQ(0u, identity->Release());
    EXPECT_EQ(1, g_destroyed);
}

// Each count: what AddRef and Release answer, and whether the last Release deletes. The
// references go through two of the object's interfaces, as two clients would hold them.
template <class Count>
void CheckCount(Object<Count>* object, ULONG first, ULONG second, bool deletes) {
    g_destroyed = 0;
    IUnknown* const holders[] = {static_cast<IB*>(object), static_cast<IC*>(object)};
    EXPECT_EQ(first, holders[0]->AddRef());
    EXPECT_EQ(second, holders[1]->AddRef());
    for (IUnknown* holder : holders) holder->Release();
    EXPECT_EQ(deletes ? 1 : 0, g_destroyed);
}

TEST(ComObject, CountsAsItsCountSays) {
    CheckCount(new Object<PlainCount>, 1, 2, true);
    CheckCount(new Object<AtomicCount>, 1, 2, true);

    Object<ModuleCount<&g_moduleCount>> moduleObject;
    g_moduleCount = 5;
    CheckCount(&moduleObject, 6, 7, false);
    EXPECT_EQ(5, g_moduleCount.load());

    Object<StaticCount> staticObject;
    CheckCount(&staticObject, 2, 2, false);
}

TEST(ComObject, CreateObjectLeavesNothingBehindWhenItFails) {
    g_destroyed = 0;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, CreateObject<Object<AtomicCount>>(kIidA, &out, true));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, g_destroyed);  // no object was made (its memory went back: ASan sees)

    g_destroyed = 0;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CreateObject<Object<AtomicCount>>(IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, g_destroyed);

    ASSERT_EQ(S_OK, CreateObject<Object<AtomicCount>>(kIidC, &out));
    auto* c = static_cast<IC*>(out);
    EXPECT_EQ('C', c->C());
    EXPECT_EQ(0u, c->Release());  // it had one reference, the caller's
    EXPECT_EQ(2, g_destroyed);

    EXPECT_EQ(E_POINTER, CreateObject<Object<AtomicCount>>(kIidC, nullptr));
}

}  // namespace
