// GDualImpl: completes an interface implementation into a COM object: reference counting,
// QueryInterface, and IDispatch answered by the interface's type information, which calls
// the object back through its vtable.
#pragma once

#include <atomic>

#include "platform/win.h"

namespace glyphary {

/// The interface identifier of `TInterface`; specialised next to each interface.
template <class TInterface>
const IID& InterfaceIdOf() noexcept;

/// `TImpl<TInterface>` made a complete object. `rpTypeInfo` is the type information of
/// `TInterface` that answers IDispatch; `pnModuleCount` counts live objects for
/// DllCanUnloadNow. Single inheritance throughout, so the object's address is its IUnknown,
/// IDispatch and `TInterface` pointer alike. Created only on the heap, by a class factory.
template <class TInterface, template <class> class TImpl, ITypeInfo*& rpTypeInfo,
          std::atomic<LONG>* pnModuleCount>
class GDualImpl final : public TImpl<TInterface> {
  public:
    GDualImpl() : m_nRefCount(0) { pnModuleCount->fetch_add(1); }
    GDualImpl(const GDualImpl&) = delete;
    GDualImpl& operator=(const GDualImpl&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == InterfaceIdOf<TInterface>()) {
            *ppv = static_cast<TInterface*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Calls on one object come from its apartment's thread only: a plain count will do.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefCount; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_nRefCount;
        if (count == 0) delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    // The one type information, whatever the index and locale.
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_POINTER;
        *ppTInfo = rpTypeInfo;
        rpTypeInfo->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                            DISPID* rgDispId) override {
        return rpTypeInfo->GetIDsOfNames(rgszNames, cNames, rgDispId);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return rpTypeInfo->Invoke(static_cast<TInterface*>(this), dispIdMember, wFlags, pDispParams,
                                  pVarResult, pExcepInfo, puArgErr);
    }

  private:
    // Not virtual: Release destroys the object as itself. The module count drops first, then
    // the implementation's state goes.
    ~GDualImpl() { pnModuleCount->fetch_sub(1); }

    ULONG m_nRefCount;
};

}  // namespace glyphary
