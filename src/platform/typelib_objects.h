// The COM objects over a LibraryModel: one TypeLib per LoadTypeLib call, owning one TypeInfo
// per description. Internal to the platform library.
#pragma once

#include <memory>
#include <vector>

#include "platform/com_object.h"
#include "platform/typelib_model.h"

namespace glyphary::platform {

class TypeLib;

/// A generic ITypeInfo: everything it answers comes from its TypeModel. It shares the
/// reference count of its library, so a type information keeps its library alive (as on
/// Windows) and the pair is freed together.
class TypeInfo final : public ComObject<TypeInfo, OwnerCount, ITypeInfo> {
  public:
    TypeInfo(TypeLib& lib, const TypeModel& model, UINT index) noexcept;

    const TypeModel& model() const noexcept { return m_model; }

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override;
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override;
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** ppVarDesc) override;
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                       UINT* pcNames) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames,
                                            MEMBERID* pMemId) override;
    HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName,
                                               BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                               BSTR* pBstrHelpFile) override;
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName,
                                          BSTR* pBstrName, WORD* pwOrdinal) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID memid, INVOKEKIND invKind,
                                              PVOID* ppv) override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             PVOID* ppvObj) override;
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID memid, BSTR* pBstrMops) override;
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override;
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override;
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* pVarDesc) override;

  private:
    TypeLib& m_lib;
    const TypeModel& m_model;
    UINT m_index;  // in the library; imported types: UINT(-1)
};

class TypeLib final : public ComObject<TypeLib, AtomicCount, ITypeLib> {
  public:
    /// Takes the model.
    explicit TypeLib(std::unique_ptr<LibraryModel> model);

    const LibraryModel& model() const noexcept { return *m_model; }
    /// The type information of a reference, or null.
    TypeInfo* Resolve(HREFTYPE ref) noexcept;

    UINT STDMETHODCALLTYPE GetTypeInfoCount() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override;
    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override;
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override;
    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) override;
    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo,
                                       MEMBERID* rgMemId, USHORT* pcFound) override;
    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override;

  private:
    std::unique_ptr<LibraryModel> m_model;
    std::vector<std::unique_ptr<TypeInfo>> m_types;    // by index
    std::vector<std::unique_ptr<TypeInfo>> m_externs;  // by extern index
};

}  // namespace glyphary::platform
