// LoadTypeLib, ITypeLib and the descriptive half of ITypeInfo (attributes, members, names).
// ITypeInfo::Invoke lives in typeinfo_invoke.cpp.
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/boundary.h"
#include "platform/typelib_objects.h"
#include "platform/unicode.h"

namespace glyphary::platform {

namespace {

BSTR AllocName(const std::u16string& name) {
    return SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
}

// Windows compares member names without regard to case; the names here are ASCII.
bool EqualNoCase(const std::u16string& name, const OLECHAR* s) {
    if (!s) return false;
    size_t i = 0;
    for (; i < name.size(); ++i, ++s) {
        OLECHAR a = name[i], b = *s;
        if (a >= u'a' && a <= u'z') a = static_cast<OLECHAR>(a - 32);
        if (b >= u'a' && b <= u'z') b = static_cast<OLECHAR>(b - 32);
        if (a != b || b == 0) return false;
    }
    return *s == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TypeInfo: IUnknown and the description

TypeInfo::TypeInfo(TypeLib& lib, const TypeModel& model, UINT index) noexcept
    : ComObject(std::in_place, lib), m_lib(lib), m_model(model), m_index(index) {}

HRESULT TypeInfo::GetTypeAttr(TYPEATTR** ppTypeAttr) {
    if (!ppTypeAttr) return E_INVALIDARG;
    auto* attr = new (std::nothrow) TYPEATTR{};
    *ppTypeAttr = attr;
    if (!attr) return E_OUTOFMEMORY;
    attr->guid = m_model.guid;
    attr->lcid = m_lib.model().lcid;
    attr->memidConstructor = -1;  // MEMBERID_NIL
    attr->memidDestructor = -1;
    attr->cbSizeInstance = m_model.size;
    attr->typekind = m_model.kind;
    attr->cFuncs = static_cast<WORD>(m_model.funcs.size());
    attr->cVars = static_cast<WORD>(m_model.vars.size());
    attr->cImplTypes = static_cast<WORD>(m_model.impls.size());
    attr->cbSizeVft = m_model.vftSize;
    attr->cbAlignment = m_model.alignment;
    attr->wTypeFlags = m_model.flags;
    attr->tdescAlias = m_model.alias;
    return S_OK;
}

void TypeInfo::ReleaseTypeAttr(TYPEATTR* pTypeAttr) {
    delete pTypeAttr;
}

HRESULT TypeInfo::GetTypeComp(ITypeComp** ppTComp) {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
}

// A FUNCDESC and its parameter descriptions share one block, freed by ReleaseFuncDesc. The
// type descriptions they hold point into the model, which lives as long as the library.
HRESULT TypeInfo::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) {
    if (!ppFuncDesc) return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    if (index >= m_model.funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    const FuncModel& func = m_model.funcs[index];
    static_assert(sizeof(FUNCDESC) % alignof(ELEMDESC) == 0);
    void* block =
        ::operator new(sizeof(FUNCDESC) + func.params.size() * sizeof(ELEMDESC), std::nothrow);
    if (!block) return E_OUTOFMEMORY;
    auto* desc = new (block) FUNCDESC{};
    auto* params = reinterpret_cast<ELEMDESC*>(static_cast<char*>(block) + sizeof(FUNCDESC));
    for (size_t i = 0; i < func.params.size(); ++i) {
        ELEMDESC* param = new (params + i) ELEMDESC{};
        param->tdesc = func.params[i].type;
        param->paramdesc.wParamFlags = func.params[i].flags;
    }
    desc->memid = func.memid;
    desc->lprgelemdescParam = func.params.empty() ? nullptr : params;
    desc->funckind = func.funckind;
    desc->invkind = func.invkind;
    desc->callconv = func.callconv;
    desc->cParams = static_cast<SHORT>(func.params.size());
    desc->oVft = func.oVft;
    desc->elemdescFunc.tdesc = func.result;
    desc->wFuncFlags = func.flags;
    *ppFuncDesc = desc;
    return S_OK;
}

void TypeInfo::ReleaseFuncDesc(FUNCDESC* pFuncDesc) {
    ::operator delete(pFuncDesc);
}

namespace {
struct VarDescBlock {
    VARDESC desc;
    VARIANT value;
};
}  // namespace

HRESULT TypeInfo::GetVarDesc(UINT index, VARDESC** ppVarDesc) {
    if (!ppVarDesc) return E_INVALIDARG;
    *ppVarDesc = nullptr;
    if (index >= m_model.vars.size()) return TYPE_E_ELEMENTNOTFOUND;
    const VarModel& var = m_model.vars[index];
    auto* block = new (std::nothrow) VarDescBlock{};
    if (!block) return E_OUTOFMEMORY;
    VARDESC& desc = block->desc;
    desc.memid = var.memid;
    desc.elemdescVar.tdesc = var.type;
    desc.wVarFlags = var.flags;
    desc.varkind = var.varkind;
    if (var.varkind == VAR_CONST) {
        VariantInit(&block->value);
        block->value.vt = var.type.vt;
        block->value.lVal = var.value;
        desc.lpvarValue = &block->value;
    } else {
        desc.oInst = var.offset;
    }
    *ppVarDesc = &desc;
    return S_OK;
}

void TypeInfo::ReleaseVarDesc(VARDESC* pVarDesc) {
    // The VARDESC is the first member of its block.
    delete reinterpret_cast<VarDescBlock*>(pVarDesc);
}

HRESULT TypeInfo::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) {
    if (!rgBstrNames || !pcNames) return E_INVALIDARG;
    *pcNames = 0;
    std::vector<const std::u16string*> names;
    // Like Windows, the first member with the id answers: for a property, its put.
    for (const FuncModel& func : m_model.funcs) {
        if (func.memid != memid) continue;
        names.push_back(&func.name);
        for (const ParamModel& param : func.params) {
            if (param.name.empty()) break;
            names.push_back(&param.name);
        }
        break;
    }
    if (names.empty()) {
        for (const VarModel& var : m_model.vars) {
            if (var.memid != memid) continue;
            names.push_back(&var.name);
            break;
        }
    }
    if (names.empty()) return TYPE_E_ELEMENTNOTFOUND;
    UINT count = 0;
    for (; count < names.size() && count < cMaxNames; ++count) {
        rgBstrNames[count] = AllocName(*names[count]);
        if (!rgBstrNames[count]) {
            while (count) SysFreeString(rgBstrNames[--count]);
            return E_OUTOFMEMORY;
        }
    }
    *pcNames = count;
    return S_OK;
}

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) {
    if (!pRefType) return E_INVALIDARG;
    if (index >= m_model.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = m_model.impls[index].ref;
    return S_OK;
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) {
    if (!pImplTypeFlags) return E_INVALIDARG;
    if (index >= m_model.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = m_model.impls[index].flags;
    return S_OK;
}

// rgszNames[0] is a member; the others are parameters of that member, whose ids are their
// positions. An unknown name gets DISPID_UNKNOWN and makes the call DISP_E_UNKNOWNNAME.
HRESULT TypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
    if (!rgszNames || !pMemId) return E_INVALIDARG;
    if (cNames == 0) return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i) pMemId[i] = DISPID_UNKNOWN;
    const FuncModel* member = nullptr;
    for (const FuncModel& func : m_model.funcs) {
        if (EqualNoCase(func.name, rgszNames[0])) {
            member = &func;
            break;
        }
    }
    if (!member) {
        for (const VarModel& var : m_model.vars) {
            if (EqualNoCase(var.name, rgszNames[0])) {
                pMemId[0] = var.memid;
                return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
            }
        }
        return DISP_E_UNKNOWNNAME;
    }
    pMemId[0] = member->memid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < cNames; ++i) {
        // A property's parameters may be named in its put or its get.
        for (const FuncModel& func : m_model.funcs) {
            if (func.memid != member->memid) continue;
            for (size_t p = 0; p < func.params.size(); ++p) {
                if (!func.params[p].name.empty() && EqualNoCase(func.params[p].name, rgszNames[i]))
                    pMemId[i] = static_cast<MEMBERID>(p);
            }
        }
        if (pMemId[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                   DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
    const std::u16string* name = nullptr;
    if (memid == -1) {
        name = &m_model.name;
    } else {
        for (const FuncModel& func : m_model.funcs)
            if (!name && func.memid == memid) name = &func.name;
        for (const VarModel& var : m_model.vars)
            if (!name && var.memid == memid) name = &var.name;
    }
    if (!name) return TYPE_E_ELEMENTNOTFOUND;
    if (pBstrName) {
        *pBstrName = AllocName(*name);
        if (!*pBstrName) return E_OUTOFMEMORY;
    }
    if (pBstrDocString) *pBstrDocString = nullptr;
    if (pdwHelpContext) *pdwHelpContext = 0;
    if (pBstrHelpFile) *pBstrHelpFile = nullptr;
    return S_OK;
}

HRESULT TypeInfo::GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName,
                              WORD* pwOrdinal) {
    if (pBstrDllName) *pBstrDllName = nullptr;
    if (pBstrName) *pBstrName = nullptr;
    if (pwOrdinal) *pwOrdinal = 0;
    return E_NOTIMPL;
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_INVALIDARG;
    *ppTInfo = m_lib.Resolve(hRefType);
    if (!*ppTInfo) return TYPE_E_ELEMENTNOTFOUND;
    (*ppTInfo)->AddRef();
    return S_OK;
}

HRESULT TypeInfo::AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfo::CreateInstance(IUnknown*, REFIID, PVOID* ppvObj) {
    if (ppvObj) *ppvObj = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfo::GetMops(MEMBERID, BSTR* pBstrMops) {
    if (pBstrMops) *pBstrMops = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    if (!ppTLib) return E_INVALIDARG;
    *ppTLib = nullptr;
    if (m_index == static_cast<UINT>(-1)) return E_NOTIMPL;  // a type of an imported library
    m_lib.AddRef();
    *ppTLib = &m_lib;
    if (pIndex) *pIndex = m_index;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// TypeLib

TypeLib::TypeLib(std::unique_ptr<LibraryModel> model) : m_model(std::move(model)) {
    for (size_t i = 0; i < m_model->types.size(); ++i)
        m_types.push_back(
            std::make_unique<TypeInfo>(*this, m_model->types[i], static_cast<UINT>(i)));
    for (const TypeModel& type : m_model->externs)
        m_externs.push_back(std::make_unique<TypeInfo>(*this, type, static_cast<UINT>(-1)));
}

TypeInfo* TypeLib::Resolve(HREFTYPE ref) noexcept {
    if (ref & kExternRef) {
        const HREFTYPE index = ref & ~kExternRef;
        return index < m_externs.size() ? m_externs[index].get() : nullptr;
    }
    return ref < m_types.size() ? m_types[ref].get() : nullptr;
}

UINT TypeLib::GetTypeInfoCount() {
    return static_cast<UINT>(m_types.size());
}

HRESULT TypeLib::GetTypeInfo(UINT index, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= m_types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *ppTInfo = m_types[index].get();
    AddRef();
    return S_OK;
}

HRESULT TypeLib::GetTypeInfoType(UINT index, TYPEKIND* pTKind) {
    if (!pTKind) return E_INVALIDARG;
    if (index >= m_types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = m_model->types[index].kind;
    return S_OK;
}

HRESULT TypeLib::GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) {
    if (!ppTinfo) return E_INVALIDARG;
    *ppTinfo = nullptr;
    if (guid == GUID_NULL) return TYPE_E_ELEMENTNOTFOUND;
    for (size_t i = 0; i < m_types.size(); ++i) {
        if (m_model->types[i].guid == guid) return GetTypeInfo(static_cast<UINT>(i), ppTinfo);
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeLib::GetLibAttr(TLIBATTR** ppTLibAttr) {
    if (!ppTLibAttr) return E_INVALIDARG;
    auto* attr = new (std::nothrow) TLIBATTR{};
    *ppTLibAttr = attr;
    if (!attr) return E_OUTOFMEMORY;
    attr->guid = m_model->guid;
    attr->lcid = m_model->lcid;
    attr->syskind = m_model->syskind;
    attr->wMajorVerNum = m_model->major;
    attr->wMinorVerNum = m_model->minor;
    attr->wLibFlags = m_model->flags;
    return S_OK;
}

void TypeLib::ReleaseTLibAttr(TLIBATTR* pTLibAttr) {
    delete pTLibAttr;
}

HRESULT TypeLib::GetTypeComp(ITypeComp** ppTComp) {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeLib::GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                  DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
    if (index >= static_cast<INT>(m_types.size()) || index < -1) return TYPE_E_ELEMENTNOTFOUND;
    const std::u16string& name = index == -1 ? m_model->name : m_model->types[index].name;
    if (pBstrName) {
        *pBstrName = AllocName(name);
        if (!*pBstrName) return E_OUTOFMEMORY;
    }
    if (pBstrDocString) *pBstrDocString = nullptr;
    if (pdwHelpContext) *pdwHelpContext = 0;
    if (pBstrHelpFile) *pBstrHelpFile = nullptr;
    return S_OK;
}

HRESULT TypeLib::IsName(LPOLESTR, ULONG, BOOL* pfName) {
    if (pfName) *pfName = FALSE;
    return E_NOTIMPL;
}

HRESULT TypeLib::FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT* pcFound) {
    if (pcFound) *pcFound = 0;
    return E_NOTIMPL;
}

}  // namespace glyphary::platform

// ---------------------------------------------------------------------------------------------
// LoadTypeLib: a module file holding resource "TYPELIB" 1, or a type library description file.

STDAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    using namespace glyphary::platform;
    if (!pptlib) return E_INVALIDARG;
    *pptlib = nullptr;
    if (!szFile) return E_INVALIDARG;
    return glyphary::CallBoundary([&]() -> HRESULT {
        // A name holding a lone surrogate cannot name a file.
        const std::optional<std::string> path = Utf8FromUtf16(szFile);
        if (!path) return TYPE_E_CANTLOADLIBRARY;
        std::string text;
        std::unique_ptr<LibraryModel> model;
        try {
            text = ReadTypeLibraryText(*path);
        } catch (const std::runtime_error&) {
            return TYPE_E_CANTLOADLIBRARY;
        }
        try {
            model = ParseTypeLibrary(text);
        } catch (const std::invalid_argument&) {
            return TYPE_E_INVDATAREAD;
        }
        *pptlib = glyphary::NewObject<TypeLib>(std::move(model));
        return *pptlib ? S_OK : E_OUTOFMEMORY;
    });
}
