// ITypeInfo::Invoke: a late-bound call turned into a call of the vtable slot that the type
// description names. Generic over the description: each argument is converted to its
// declared type, the slot is called with the converted values, and the [retval] parameter
// becomes the result. Arguments convert as VariantChangeType converts them, except interface
// pointers, which are asked for the declared interface.
#include <cstdint>
#include <new>

#include "platform/owners.h"
#include "platform/typelib_objects.h"

// The slot is called through a function type taking only pointer-sized integer arguments.
// That is sound on the x86-64 and AArch64 System V ABIs, where `this`, pointers, BSTRs and
// 32-bit integers are all integer-class and passed in the same argument registers (the
// callee reads a 32-bit argument from the low half), and an HRESULT comes back in the first
// return register. Parameters of other classes (floating point, structures by value) are
// refused before the call.
#if !defined(__x86_64__) && !defined(__aarch64__)
#error "ITypeInfo::Invoke relies on the x86-64 or AArch64 System V calling convention"
#endif
static_assert(sizeof(void*) == sizeof(uintptr_t) && sizeof(uintptr_t) == 8);
static_assert(sizeof(BSTR) == sizeof(uintptr_t) && sizeof(LONG) <= sizeof(uintptr_t));
static_assert(sizeof(HRESULT) == 4);

namespace glyphary::platform {

namespace {

constexpr int kMaxArgs = 8;
using Word = uintptr_t;

// The slot's first argument is the interface pointer itself.
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
HRESULT
CallSlot(void* instance, void* slot, const Word* a, int count) {
    using F0 = HRESULT (*)(void*);
    using F1 = HRESULT (*)(void*, Word);
    using F2 = HRESULT (*)(void*, Word, Word);
    using F3 = HRESULT (*)(void*, Word, Word, Word);
    using F4 = HRESULT (*)(void*, Word, Word, Word, Word);
    using F5 = HRESULT (*)(void*, Word, Word, Word, Word, Word);
    using F6 = HRESULT (*)(void*, Word, Word, Word, Word, Word, Word);
    using F7 = HRESULT (*)(void*, Word, Word, Word, Word, Word, Word, Word);
    using F8 = HRESULT (*)(void*, Word, Word, Word, Word, Word, Word, Word, Word);
    switch (count) {
        case 0:
            return reinterpret_cast<F0>(slot)(instance);
        case 1:
            return reinterpret_cast<F1>(slot)(instance, a[0]);
        case 2:
            return reinterpret_cast<F2>(slot)(instance, a[0], a[1]);
        case 3:
            return reinterpret_cast<F3>(slot)(instance, a[0], a[1], a[2]);
        case 4:
            return reinterpret_cast<F4>(slot)(instance, a[0], a[1], a[2], a[3]);
        case 5:
            return reinterpret_cast<F5>(slot)(instance, a[0], a[1], a[2], a[3], a[4]);
        case 6:
            return reinterpret_cast<F6>(slot)(instance, a[0], a[1], a[2], a[3], a[4], a[5]);
        case 7:
            return reinterpret_cast<F7>(slot)(instance, a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
        case 8:
            return reinterpret_cast<F8>(slot)(instance, a[0], a[1], a[2], a[3], a[4], a[5], a[6],
                                              a[7]);
        default:
            return DISP_E_BADPARAMCOUNT;
    }
}

// What a declared type comes to once aliases and enumerations are followed.
struct Resolved {
    VARTYPE vt = VT_EMPTY;  // VT_I4 for enumerations; VT_UNKNOWN for interface pointers
    GUID iid = GUID_NULL;   // the interface of an interface pointer
};

bool ResolveType(TypeLib& lib, const TYPEDESC& td, Resolved& out, int depth = 0) {
    if (depth > 16) return false;
    if (td.vt != VT_USERDEFINED) {
        out.vt = td.vt == VT_INT ? VARTYPE{VT_I4} : td.vt == VT_UINT ? VARTYPE{VT_UI4} : td.vt;
        return true;
    }
    const TypeInfo* ref = lib.Resolve(td.hreftype);
    if (!ref) return false;
    const TypeModel& type = ref->model();
    switch (type.kind) {
        case TKIND_ALIAS:
            return ResolveType(lib, type.alias, out, depth + 1);
        case TKIND_ENUM:
            out.vt = VT_I4;
            return true;
        case TKIND_INTERFACE:
        case TKIND_DISPATCH:
            out.vt = VT_USERDEFINED;  // an interface by value; only pointers to it are usable
            out.iid = type.guid;
            return true;
        default:
            out.vt = VT_RECORD;
            return true;
    }
}

// The declared type of a parameter: an interface pointer becomes VT_UNKNOWN with its IID.
bool ResolveParam(TypeLib& lib, const TYPEDESC& td, Resolved& out) {
    if (td.vt == VT_PTR && td.lptdesc) {
        Resolved pointee;
        if (!ResolveType(lib, *td.lptdesc, pointee)) return false;
        if (pointee.vt == VT_USERDEFINED) {
            out.vt = VT_UNKNOWN;
            out.iid = pointee.iid;
            return true;
        }
        out.vt = static_cast<VARTYPE>(VT_BYREF | pointee.vt);
        return true;
    }
    if (!ResolveType(lib, td, out)) return false;
    if (out.vt == VT_UNKNOWN) out.iid = IID_IUnknown;
    if (out.vt == VT_DISPATCH) {
        out.vt = VT_UNKNOWN;
        out.iid = IID_IDispatch;
    }
    return true;
}

// One argument, held in the form the slot takes, with whatever must be freed after the call.
struct Argument {
    unique_variant converted;
    com_ptr<IUnknown> itf;
};

// A by-reference VARIANT (as scripting hosts pass variables) stands for the one it points to.
const VARIANT& Dereference(const VARIANT& v) {
    if (V_VT(&v) == (VT_BYREF | VT_VARIANT) && v.pvarVal) return *v.pvarVal;
    return v;
}

HRESULT ConvertArgument(const VARIANT& source, const Resolved& type, Argument& arg, Word& word) {
    const VARIANT& src = Dereference(source);
    if (type.vt == VT_UNKNOWN) {
        const VARTYPE vt = V_VT(&src);
        IUnknown* unk = nullptr;
        if (vt == VT_UNKNOWN || vt == VT_DISPATCH)
            unk = src.punkVal;
        else if (vt == (VT_BYREF | VT_UNKNOWN) || vt == (VT_BYREF | VT_DISPATCH))
            unk = src.ppunkVal ? *src.ppunkVal : nullptr;
        else
            return DISP_E_TYPEMISMATCH;
        if (unk) {
            // Another interface of the object than the one declared would be called through
            // the wrong vtable: ask for the declared one.
            if (FAILED(unk->QueryInterface(type.iid, arg.itf.put_void())) || !arg.itf)
                return DISP_E_TYPEMISMATCH;
        }
        word = reinterpret_cast<Word>(arg.itf.get());
        return S_OK;
    }
    if (type.vt & VT_BYREF) {
        // An [out] parameter other than the [retval]: the caller passes the variable.
        if (V_VT(&src) != type.vt) return DISP_E_TYPEMISMATCH;
        word = reinterpret_cast<Word>(src.byref);
        return S_OK;
    }
    // An argument of the declared type goes in as it is: the callee only reads it.
    const VARIANT* value = &src;
    if (V_VT(&src) != type.vt) {
        if (type.vt != VT_I4 && type.vt != VT_UI4 && type.vt != VT_BSTR) return DISP_E_BADVARTYPE;
        RETURN_IF_FAILED(VariantChangeType(&arg.converted, &src, 0, type.vt));
        value = &arg.converted;
    }
    switch (type.vt) {
        case VT_I4:
        case VT_UI4:
            // Sign- or zero-extended; the callee reads the low 32 bits.
            word = type.vt == VT_I4 ? static_cast<Word>(static_cast<intptr_t>(value->lVal))
                                    : static_cast<Word>(value->ulVal);
            return S_OK;
        case VT_BSTR:
            word = reinterpret_cast<Word>(value->bstrVal);
            return S_OK;
        default:
            return DISP_E_BADVARTYPE;
    }
}

// The function that a call by id and kind reaches: this interface's own members first, then
// those of the interfaces it derives from.
const FuncModel* FindFunc(TypeLib& lib, const TypeModel& type, MEMBERID memid, WORD wFlags,
                          bool& idSeen, int depth = 0) {
    for (const FuncModel& func : type.funcs) {
        if (func.memid != memid) continue;
        idSeen = true;
        if (func.invkind & wFlags) return &func;
    }
    if (depth > 16 || type.impls.empty()) return nullptr;
    const TypeInfo* base = lib.Resolve(type.impls[0].ref);
    return base ? FindFunc(lib, base->model(), memid, wFlags, idSeen, depth + 1) : nullptr;
}

// A failure of the method itself: its error info becomes the exception, as Windows reports it.
HRESULT ReportException(HRESULT hr, EXCEPINFO* pExcepInfo) {
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) info.reset();
    if (!pExcepInfo) return DISP_E_EXCEPTION;
    *pExcepInfo = EXCEPINFO{};
    pExcepInfo->scode = hr;
    if (info) {
        info->GetSource(&pExcepInfo->bstrSource);
        info->GetDescription(&pExcepInfo->bstrDescription);
        info->GetHelpFile(&pExcepInfo->bstrHelpFile);
        info->GetHelpContext(&pExcepInfo->dwHelpContext);
    }
    return DISP_E_EXCEPTION;
}

}  // namespace

HRESULT TypeInfo::Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!pvInstance || !pDispParams) return E_INVALIDARG;
    if (pDispParams->cArgs && !pDispParams->rgvarg) return E_INVALIDARG;
    if (pDispParams->cNamedArgs > pDispParams->cArgs ||
        (pDispParams->cNamedArgs && !pDispParams->rgdispidNamedArgs))
        return E_INVALIDARG;
    if (m_model.kind != TKIND_INTERFACE) return DISP_E_MEMBERNOTFOUND;

    bool idSeen = false;
    const FuncModel* func = FindFunc(m_lib, m_model, memid, wFlags, idSeen);
    if (!func || func->funckind != FUNC_PUREVIRTUAL) return DISP_E_MEMBERNOTFOUND;
    // A slot outside the vtable the description declares is never called.
    if (func->oVft < 0 || func->oVft >= m_model.vftSize || func->oVft % sizeof(void*) != 0)
        return DISP_E_MEMBERNOTFOUND;

    const int total = static_cast<int>(func->params.size());
    const bool hasRetval = total > 0 && (func->params.back().flags & PARAMFLAG_FRETVAL);
    const int inputs = total - (hasRetval ? 1 : 0);
    if (total > kMaxArgs) return DISP_E_BADVARTYPE;
    if (static_cast<int>(pDispParams->cArgs) != inputs) return DISP_E_BADPARAMCOUNT;

    // Which rgvarg entry feeds each parameter. Named arguments come first in rgvarg; the
    // positional ones follow in reverse order and fill the leading parameters. A put's value
    // may be named DISPID_PROPERTYPUT.
    const int named = static_cast<int>(pDispParams->cNamedArgs);
    const int positional = inputs - named;
    int source[kMaxArgs];
    for (int i = 0; i < inputs; ++i) source[i] = i < positional ? inputs - 1 - i : -1;
    const bool isPut = func->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
    for (int j = 0; j < named; ++j) {
        const DISPID id = pDispParams->rgdispidNamedArgs[j];
        const int param = id == DISPID_PROPERTYPUT && isPut ? inputs - 1 : id;
        if (param < positional || param >= inputs || source[param] != -1) {
            if (puArgErr) *puArgErr = static_cast<UINT>(j);
            return DISP_E_PARAMNOTFOUND;
        }
        source[param] = j;
    }

    Argument args[kMaxArgs];
    Word words[kMaxArgs] = {};
    for (int i = 0; i < inputs; ++i) {
        Resolved type;
        if (!ResolveParam(m_lib, func->params[i].type, type)) return DISP_E_BADVARTYPE;
        const HRESULT hr = ConvertArgument(pDispParams->rgvarg[source[i]], type, args[i], words[i]);
        if (FAILED(hr)) {
            if (puArgErr) *puArgErr = static_cast<UINT>(source[i]);
            return hr;
        }
    }

    // The [retval] lands directly in the result VARIANT.
    unique_variant result;
    VARTYPE resultType = VT_EMPTY;
    if (hasRetval) {
        Resolved type;
        if (!ResolveParam(m_lib, func->params.back().type, type)) return DISP_E_BADVARTYPE;
        switch (type.vt) {
            case VT_BYREF | VT_I4:
            case VT_BYREF | VT_UI4:
                resultType = static_cast<VARTYPE>(type.vt & ~VT_BYREF);
                break;
            case VT_BYREF | VT_BSTR:
                resultType = VT_BSTR;
                break;
            default:
                return DISP_E_BADVARTYPE;
        }
        words[inputs] = reinterpret_cast<Word>(&result.llVal);
    }

    // Error info left over from an earlier call must not pass for this call's.
    SetErrorInfo(0, nullptr);
    void* const* vtable = *static_cast<void* const* const*>(pvInstance);
    const HRESULT hr =
        CallSlot(pvInstance, vtable[func->oVft / static_cast<int>(sizeof(void*))], words, total);
    if (FAILED(hr)) {
        // A failing method leaves its [out] null, but a stray result must not leak either.
        if (resultType == VT_BSTR) SysFreeString(result.bstrVal);
        result.llVal = 0;
        return ReportException(hr, pExcepInfo);
    }
    result.vt = resultType;
    if (pVarResult) {
        VariantClear(pVarResult);
        *pVarResult = result;
        VariantInit(&result);
    }
    return S_OK;
}

}  // namespace glyphary::platform
