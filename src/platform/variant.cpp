// VARIANT initialisation, clearing and copying for the types the module and its clients use.
#include "platform/oleauto.h"

STDAPI_(void) VariantInit(VARIANTARG* pvarg) {
    if (!pvarg) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->llVal = 0;
}

STDAPI VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    if (!(pvarg->vt & VT_BYREF)) {
        switch (pvarg->vt) {
            case VT_BSTR:
                SysFreeString(pvarg->bstrVal);
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                if (pvarg->punkVal) pvarg->punkVal->Release();
                break;
            default:
                if (pvarg->vt & VT_ARRAY) return DISP_E_BADVARTYPE;
                break;
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

STDAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    if ((pvargSrc->vt & VT_ARRAY) || (pvargSrc->vt & VT_TYPEMASK) == VT_RECORD)
        return DISP_E_BADVARTYPE;
    const HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;
    *pvargDest = *pvargSrc;
    if (pvargSrc->vt & VT_BYREF) return S_OK;
    switch (pvargSrc->vt) {
        case VT_BSTR:
            if (pvargSrc->bstrVal) {
                pvargDest->bstrVal =
                    SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
                if (!pvargDest->bstrVal) {
                    VariantInit(pvargDest);
                    return E_OUTOFMEMORY;
                }
            }
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (pvargDest->punkVal) pvargDest->punkVal->AddRef();
            break;
        default:
            break;
    }
    return S_OK;
}
