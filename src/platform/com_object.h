// ComObject: IUnknown written once, for every class here and in the module that implements
// interfaces. A class names the interfaces it answers and how it counts its references; the
// template supplies QueryInterface, AddRef and Release. Plain C++ over win.h, the same on
// both targets.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "platform/win.h"

namespace glyphary {

namespace com_object_detail {
template <class I>
constexpr const IID* NoIid() noexcept {
    static_assert(sizeof(I) == 0, "an interface that ComObject answers needs its kIidOf");
    return nullptr;
}
}  // namespace com_object_detail

/// The interface identifier of `I`. Specialised below for the system's interfaces, and next
/// to each interface of our own; using it for any other interface fails to compile.
template <class I>
inline constexpr const IID* kIidOf = com_object_detail::NoIid<I>();

template <>
inline constexpr const IID* kIidOf<IUnknown> = &IID_IUnknown;
template <>
inline constexpr const IID* kIidOf<IDispatch> = &IID_IDispatch;
template <>
inline constexpr const IID* kIidOf<IClassFactory> = &IID_IClassFactory;
template <>
inline constexpr const IID* kIidOf<ISequentialStream> = &IID_ISequentialStream;
template <>
inline constexpr const IID* kIidOf<IStream> = &IID_IStream;
template <>
inline constexpr const IID* kIidOf<IErrorInfo> = &IID_IErrorInfo;
template <>
inline constexpr const IID* kIidOf<ICreateErrorInfo> = &IID_ICreateErrorInfo;
template <>
inline constexpr const IID* kIidOf<ITypeInfo> = &IID_ITypeInfo;
template <>
inline constexpr const IID* kIidOf<ITypeLib> = &IID_ITypeLib;

// ---------------------------------------------------------------------------------------------
// Reference counts: the `Count` of a ComObject. Increment and Decrement return the new count;
// kDeletes says whether the Release that reaches 0 deletes the object.

/// For an object used by one thread at a time (an apartment-threaded one).
class PlainCount {
  public:
    static constexpr bool kDeletes = true;
    ULONG Increment() noexcept { return ++m_count; }
    ULONG Decrement() noexcept { return --m_count; }

  private:
    ULONG m_count = 0;
};

/// For an object that any thread may hold.
class AtomicCount {
  public:
    static constexpr bool kDeletes = true;
    ULONG Increment() noexcept { return m_count.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Decrement() noexcept { return m_count.fetch_sub(1, std::memory_order_acq_rel) - 1; }

  private:
    std::atomic<ULONG> m_count{0};
};

/// For a static object whose references hold the module: they count in `*pnModuleCount`,
/// which DllCanUnloadNow reads, and the object itself is never deleted.
template <std::atomic<LONG>* pnModuleCount>
struct ModuleCount {
    static constexpr bool kDeletes = false;
    ULONG Increment() noexcept { return static_cast<ULONG>(pnModuleCount->fetch_add(1) + 1); }
    ULONG Decrement() noexcept { return static_cast<ULONG>(pnModuleCount->fetch_sub(1) - 1); }
};

/// For a static object that nothing keeps alive: AddRef answers 2 and Release 1, as the
/// system's own static objects do.
struct StaticCount {
    static constexpr bool kDeletes = false;
    ULONG Increment() noexcept { return 2; }
    ULONG Decrement() noexcept { return 1; }
};

/// For an object that lives and dies with another: its references are its owner's.
class OwnerCount {
  public:
    static constexpr bool kDeletes = false;
    explicit OwnerCount(IUnknown& owner) noexcept : m_owner(owner) {}
    ULONG Increment() noexcept { return m_owner.AddRef(); }
    ULONG Decrement() noexcept { return m_owner.Release(); }

  private:
    IUnknown& m_owner;
};

// ---------------------------------------------------------------------------------------------
// The template

/// A base of a ComObject that answers several interfaces through one pointer: the object
/// derives from `Base` (an interface, or a class that implements one), and QueryInterface
/// answers each of `Interfaces`, which `Base` derives from along a single line. A base given
/// without Chain answers only itself.
template <class Base, class... Interfaces>
struct Chain;

namespace com_object_detail {

// `object` as the interface `I` when `riid` names it; null otherwise.
template <class I, class Object>
void* Cast(Object* object, REFIID riid) noexcept {
    return riid == *kIidOf<I> ? static_cast<I*>(object) : nullptr;
}

template <class Entry>
struct EntryOf {
    using Base = Entry;
    using First = Entry;
    template <class Object>
    static void* Find(Object* object, REFIID riid) noexcept {
        return Cast<Entry>(object, riid);
    }
};

template <class B, class I, class... Is>
struct EntryOf<Chain<B, I, Is...>> {
    using Base = B;
    using First = I;
    template <class Object>
    static void* Find(Object* object, REFIID riid) noexcept {
        void* found = Cast<I>(object, riid);
        (void)((found || ... || (found = Cast<Is>(object, riid))));
        return found;
    }
};

template <class Entry, class...>
struct FirstOf {
    using type = typename EntryOf<Entry>::First;
};

}  // namespace com_object_detail

/// Completes a COM class `Derived` (which derives from this) with IUnknown. `Count` is one of
/// the counts above; `Entries` are its bases, each an interface or a Chain. QueryInterface
/// answers IUnknown (always through the first entry, so the pointer is the same whichever
/// interface is asked) and each entry's interfaces, AddRefs what it hands out and answers
/// E_NOINTERFACE with a null pointer otherwise, E_POINTER for a null one. A new object has
/// no reference yet (NewObject and CreateObject below give it its first); when `Count`
/// deletes, the Release that reaches 0 deletes it as a `Derived`, so the destructor must be
/// reachable from here and virtual if `Derived` is not the most derived class.
template <class Derived, class Count, class... Entries>
class ComObject : public com_object_detail::EntryOf<Entries>::Base... {
  public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = riid == IID_IUnknown ? Identity() : Find(riid);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_nRefCount.Increment(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = m_nRefCount.Decrement();
        if constexpr (Count::kDeletes) {
            if (count == 0) delete static_cast<Derived*>(this);
        }
        return count;
    }

  protected:
    ComObject() = default;
    /// For a count that needs arguments (OwnerCount).
    template <class... Args>
    explicit ComObject(std::in_place_t, Args&&... args)
        : m_nRefCount(std::forward<Args>(args)...) {}
    ~ComObject() = default;

    const Count& RefCount() const noexcept { return m_nRefCount; }

  private:
    IUnknown* Identity() noexcept {
        using First = typename com_object_detail::FirstOf<Entries...>::type;
        return static_cast<First*>(this);
    }
    void* Find(REFIID riid) noexcept {
        void* found = nullptr;
        (void)(... || (found = com_object_detail::EntryOf<Entries>::Find(this, riid)));
        return found;
    }

    [[no_unique_address]] Count m_nRefCount;
};

/// An IDispatch-derived interface `I` whose IDispatch members all answer E_NOTIMPL: for an
/// object that is reached through its vtable only and offers no late binding.
template <class I>
class NoLateBinding : public I {
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

  protected:
    NoLateBinding() = default;
    ~NoLateBinding() = default;
};

/// A new `T` holding one reference, or null when it cannot be made (whatever its
/// construction throws).
template <class T, class... Args>
T* NewObject(Args&&... args) noexcept {
    T* object = nullptr;
    try {
        object = new T(std::forward<Args>(args)...);
    } catch (...) {
        return nullptr;
    }
    object->AddRef();
    return object;
}

/// A new `T` asked for `riid`, as IClassFactory::CreateInstance hands objects out:
/// E_OUTOFMEMORY when it cannot be made, else QueryInterface's result; an object that does
/// not answer `riid` is gone again.
template <class T, class... Args>
HRESULT CreateObject(REFIID riid, void** ppv, Args&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    T* object = NewObject<T>(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace glyphary
