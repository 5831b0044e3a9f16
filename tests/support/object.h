// A conversion object for tests: GIGlypharyImpl completed with a minimal IUnknown and no
// IDispatch, and a way to hold it with plain RAII.
#pragma once

#include <memory>

#include "convert/glyphary_impl.h"
#include "platform/owners.h"

namespace glyphary::testing {

class TestObject final : public GIGlypharyImpl<IGlyphary> {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IGlyphary) {
            *ppv = static_cast<IGlyphary*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = --m_refs;
        if (refs == 0) delete this;
        return refs;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

  private:
    ~TestObject() = default;
    ULONG m_refs = 1;
};

/// A new test object, released when the holder goes.
inline com_ptr<IGlyphary> MakeObject() {
    return com_ptr<IGlyphary>::attach(new TestObject);
}

}  // namespace glyphary::testing
