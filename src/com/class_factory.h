// GClassFactory: the stateless class factory of one class. A single static instance serves
// the whole module; its references count towards the module count, not towards itself.
#pragma once

#include <atomic>

#include "platform/com_object.h"
#include "platform/win.h"

namespace glyphary {

/// Creates `TObject`s. `pnModuleCount` is the module count that DllCanUnloadNow reads: each
/// reference on the factory holds one unit of it.
template <class TObject, std::atomic<LONG>* pnModuleCount>
class GClassFactory final : public ComObject<GClassFactory<TObject, pnModuleCount>,
                                             ModuleCount<pnModuleCount>, IClassFactory> {
  public:
    GClassFactory() = default;

    // Whatever construction throws (in practice bad_alloc) is E_OUTOFMEMORY, and nothing
    // was created.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter) return CLASS_E_NOAGGREGATION;
        return CreateObject<TObject>(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace glyphary
