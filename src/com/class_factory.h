// GClassFactory: the stateless class factory of one class. A single static instance serves
// the whole module; its references count towards the module count, not towards itself.
#pragma once

#include <atomic>

#include "platform/win.h"

namespace glyphary {

/// Creates `TObject`s. `pnModuleCount` is the module count that DllCanUnloadNow reads: each
/// reference on the factory holds one unit of it.
template <class TObject, std::atomic<LONG>* pnModuleCount>
class GClassFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(pnModuleCount->fetch_add(1) + 1);
    }
    // The factory is static: the last Release leaves it in place.
    ULONG STDMETHODCALLTYPE Release() override {
        return static_cast<ULONG>(pnModuleCount->fetch_sub(1) - 1);
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter) return CLASS_E_NOAGGREGATION;
        TObject* object = nullptr;
        try {
            object = new TObject();
        } catch (...) {
            // Whatever construction throws (in practice bad_alloc), nothing was created.
            return E_OUTOFMEMORY;
        }
        object->AddRef();
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();  // destroys the object again if the interface was refused
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace glyphary
