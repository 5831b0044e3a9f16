// GDualImpl: completes an interface implementation into a COM object: reference counting and
// QueryInterface from ComObject, and IDispatch answered by the interface's type information,
// which calls the object back through its vtable.
#pragma once

#include <atomic>

#include "platform/com_object.h"
#include "platform/win.h"

namespace glyphary {

/// `TImpl<TInterface>` made a complete object. `rpTypeInfo` is the type information of
/// `TInterface` that answers IDispatch; `pnModuleCount` counts live objects for
/// DllCanUnloadNow. Single inheritance throughout, so the object's address is its IUnknown,
/// IDispatch and `TInterface` pointer alike. Calls on one object come from its apartment's
/// thread only, so its own count is plain. Created only on the heap, by a class factory.
template <class TInterface, template <class> class TImpl, ITypeInfo*& rpTypeInfo,
          std::atomic<LONG>* pnModuleCount>
class GDualImpl final
    : public ComObject<GDualImpl<TInterface, TImpl, rpTypeInfo, pnModuleCount>, PlainCount,
                       Chain<TImpl<TInterface>, TInterface, IDispatch>> {
    using Object =
        ComObject<GDualImpl, PlainCount, Chain<TImpl<TInterface>, TInterface, IDispatch>>;
    friend Object;

  public:
    GDualImpl() { pnModuleCount->fetch_add(1); }

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
};

}  // namespace glyphary
