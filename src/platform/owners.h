// Owners for what the platform hands out: interface pointers, BSTRs and VARIANTs are held
// from the moment they arrive, so early returns leak nothing. Plain C++ over win.h; the same
// on both targets.
#pragma once

#include <utility>

#include "platform/win.h"

/// Returns from the enclosing function when `expr` yields a failure HRESULT.
#define RETURN_IF_FAILED(expr)                                             \
    do {                                                                   \
        const HRESULT hr_returned_if_failed_ = (expr);                     \
        if (FAILED(hr_returned_if_failed_)) return hr_returned_if_failed_; \
    } while (0)

namespace glyphary {

/// An owning interface pointer: Release on destruction, AddRef on copy.
template <class T>
class com_ptr {
  public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    /// Takes a new reference (AddRef).
    explicit com_ptr(T* p) noexcept : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.m_p) {}
    com_ptr(com_ptr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~com_ptr() { reset(); }
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }

    /// Adopts a reference the caller already owns (no AddRef).
    static com_ptr attach(T* p) noexcept {
        com_ptr result;
        result.m_p = p;
        return result;
    }
    /// Gives up ownership without Release.
    T* detach() noexcept { return std::exchange(m_p, nullptr); }
    void reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    /// Releases what is held and returns the slot for an [out] parameter.
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    /// QueryInterface for `iid`; a null result on failure.
    template <class U>
    com_ptr<U> try_query(REFIID iid) const noexcept {
        com_ptr<U> result;
        if (m_p) m_p->QueryInterface(iid, result.put_void());
        return result;
    }

  private:
    T* m_p = nullptr;
};

/// An owning BSTR: SysFreeString on destruction.
class unique_bstr {
  public:
    unique_bstr() noexcept = default;
    explicit unique_bstr(BSTR s) noexcept : m_s(s) {}
    unique_bstr(unique_bstr&& other) noexcept : m_s(std::exchange(other.m_s, nullptr)) {}
    unique_bstr& operator=(unique_bstr&& other) noexcept {
        reset(std::exchange(other.m_s, nullptr));
        return *this;
    }
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { reset(); }

    void reset(BSTR s = nullptr) noexcept {
        if (m_s) SysFreeString(m_s);
        m_s = s;
    }
    BSTR release() noexcept { return std::exchange(m_s, nullptr); }
    /// Frees what is held and returns the slot for an [out] parameter.
    BSTR* put() noexcept {
        reset();
        return &m_s;
    }
    BSTR get() const noexcept { return m_s; }
    explicit operator bool() const noexcept { return m_s != nullptr; }

  private:
    BSTR m_s = nullptr;
};

/// An owning VARIANT: VariantClear on destruction.
class unique_variant : public VARIANT {
  public:
    unique_variant() noexcept { VariantInit(this); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { VariantClear(this); }
    void reset() noexcept { VariantClear(this); }
};

}  // namespace glyphary
