// Error information: CreateErrorInfo's object and the per-thread slot behind SetErrorInfo and
// GetErrorInfo.
#include "platform/com_object.h"
#include "platform/oleauto.h"
#include "platform/owners.h"

namespace {

class ErrorInfo final
    : public glyphary::ComObject<ErrorInfo, glyphary::AtomicCount, IErrorInfo, ICreateErrorInfo> {
  public:
    // IErrorInfo
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
        if (!pGUID) return E_INVALIDARG;
        *pGUID = m_guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* p) override { return Copy(m_source, p); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* p) override { return Copy(m_description, p); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* p) override { return Copy(m_helpFile, p); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* p) override {
        if (!p) return E_INVALIDARG;
        *p = m_helpContext;
        return S_OK;
    }

    // ICreateErrorInfo
    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
        m_guid = rguid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR s) override { return Assign(m_source, s); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR s) override {
        return Assign(m_description, s);
    }
    HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR s) override { return Assign(m_helpFile, s); }
    HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD c) override {
        m_helpContext = c;
        return S_OK;
    }

  private:
    friend ComObject;
    ~ErrorInfo() = default;

    static HRESULT Copy(const glyphary::unique_bstr& from, BSTR* to) {
        if (!to) return E_INVALIDARG;
        *to = nullptr;
        if (!from) return S_OK;
        *to = SysAllocStringLen(from.get(), SysStringLen(from.get()));
        return *to ? S_OK : E_OUTOFMEMORY;
    }
    static HRESULT Assign(glyphary::unique_bstr& to, LPOLESTR s) {
        BSTR copy = SysAllocString(s);
        if (s && !copy) return E_OUTOFMEMORY;
        to.reset(copy);
        return S_OK;
    }

    GUID m_guid = GUID_NULL;
    glyphary::unique_bstr m_source, m_description, m_helpFile;
    DWORD m_helpContext = 0;
};

// The slot owns one reference; it is released when the thread ends.
thread_local glyphary::com_ptr<IErrorInfo> t_errorInfo;

}  // namespace

STDAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    return glyphary::CreateObject<ErrorInfo>(IID_ICreateErrorInfo,
                                             reinterpret_cast<void**>(pperrinfo));
}

STDAPI SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
    t_errorInfo = glyphary::com_ptr<IErrorInfo>(perrinfo);
    return S_OK;
}

STDAPI GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    *pperrinfo = t_errorInfo.detach();
    return *pperrinfo ? S_OK : S_FALSE;
}
