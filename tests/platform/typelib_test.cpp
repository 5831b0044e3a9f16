// LoadTypeLib and the generic ITypeLib/ITypeInfo, on a small test interface described here:
// its description, name lookup, and late-bound calls through Invoke into a recording object.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/owners.h"
#include "support/stub_stream.h"

using glyphary::com_ptr;
using glyphary::unique_bstr;
using glyphary::unique_variant;
using glyphary::testing::NotAStream;
using glyphary::testing::StubStream;

namespace {

constexpr char kDescription[] = R"(
# A test library
library LTester {11111111-2222-3333-4444-555555555555} lcid 0 syskind 3 version 1.2 flags 0x0
import stdole {00020430-0000-0000-C000-000000000046} version 2.0 file stdole2.tlb
extern interface IDispatch {00020400-0000-0000-C000-000000000046}
type interface ITester {AAAAAAAA-0000-0000-0000-000000000001} flags 0x1000 size 8 align 8 vft 128
  impl IDispatch flags 0x0
  func Count propput memid 0x60020000 slot 7 returns HRESULT
    param - in I4
  func Count propget memid 0x60020000 slot 8 returns HRESULT
    param p out,retval ptr(I4)
  func Label propput memid 0x60020002 slot 9 returns HRESULT
    param - in BSTR
  func Label propget memid 0x60020002 slot 10 returns HRESULT
    param p out,retval ptr(BSTR)
  func Repeat method memid 0x60020004 slot 11 returns HRESULT
    param sText in BSTR
    param nTimes in I4
    param pOut out,retval ptr(BSTR)
  func Pass method memid 0x60020005 slot 12 returns HRESULT
    param pFirst in ptr(IStream)
    param pSecond in ptr(IStream)
  func Fail method memid 0x60020006 slot 13 returns HRESULT
    param hr in I4
  func Sum method memid 0x60020007 slot 14 returns HRESULT
    param a in I4
    param b in I4
    param c in I4
    param d in I4
    param e in I4
    param f in I4
    param g in I4
    param pSum out,retval ptr(I4)
  func Kind propput memid 0x60020008 slot 15 returns HRESULT
    param - in EKind
  func Beyond method memid 0x60020009 slot 40 returns HRESULT
type alias EKind - flags 0x0 size 4 align 4 alias __generated_kind
type enum __generated_kind - flags 0x0 size 4 align 4
  const K_one memid 0x40000000 INT 1
  const K_two memid 0x40000001 INT 2
type interface IStream {0000000C-0000-0000-C000-000000000046} flags 0x0 size 8 align 8 vft 112
type record _POINT - flags 0x0 size 8 align 4
  field x memid 0x40000000 I4 offset 0
  field y memid 0x40000001 I4 offset 4
type coclass Tester {AAAAAAAA-0000-0000-0000-000000000002} flags 0x2 size 8 align 4
  impl ITester flags 0x1
)";

// The same description as a resource of this test program: LoadTypeLib finds it in the file.
__attribute__((section(".rsrc.TYPELIB.1"), used)) const char kResource[] = R"(
library LInExe {11111111-2222-3333-4444-555555555556} lcid 0 syskind 3 version 0.0 flags 0x0
type record Only - flags 0x0 size 4 align 4
  field v memid 0x40000000 I4 offset 0
)";

constexpr MEMBERID kCount = 0x60020000, kLabel = 0x60020002, kRepeat = 0x60020004,
                   kPass = 0x60020005, kFail = 0x60020006, kSum = 0x60020007, kKind = 0x60020008;

struct ITester : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE put_Count(LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* p) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Label(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Label(BSTR* p) = 0;
    virtual HRESULT STDMETHODCALLTYPE Repeat(BSTR sText, LONG nTimes, BSTR* pOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE Pass(IStream* pFirst, IStream* pSecond) = 0;
    virtual HRESULT STDMETHODCALLTYPE Fail(LONG hr) = 0;
    virtual HRESULT STDMETHODCALLTYPE Sum(LONG a, LONG b, LONG c, LONG d, LONG e, LONG f, LONG g,
                                          LONG* pSum) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Kind(LONG value) = 0;
};

constexpr IID kIidTester = {0xAAAAAAAA, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

}  // namespace

namespace glyphary {
template <>
inline constexpr const IID* kIidOf<ITester> = &kIidTester;
}  // namespace glyphary

namespace {

// Records what reached each slot.
class Tester final
    : public glyphary::testing::StackObject<
          Tester, glyphary::Chain<glyphary::NoLateBinding<ITester>, ITester, IDispatch>> {
  public:
    HRESULT STDMETHODCALLTYPE put_Count(LONG value) override {
        count = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* p) override {
        *p = count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Label(BSTR value) override {
        label = value ? std::u16string(value) : u"(null)";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Label(BSTR* p) override {
        *p = SysAllocString(label.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Repeat(BSTR sText, LONG nTimes, BSTR* pOut) override {
        std::u16string out;
        for (LONG i = 0; i < nTimes; ++i) out += sText ? sText : u"";
        *pOut = SysAllocString(out.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pass(IStream* pFirst, IStream* pSecond) override {
        first = pFirst;
        second = pSecond;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Fail(LONG hr) override {
        com_ptr<ICreateErrorInfo> info;
        CreateErrorInfo(info.put());
        info->SetSource(const_cast<LPOLESTR>(u"Tester"));
        info->SetDescription(const_cast<LPOLESTR>(u"it failed"));
        com_ptr<IErrorInfo> error = info.try_query<IErrorInfo>(IID_IErrorInfo);
        SetErrorInfo(0, error.get());
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Sum(LONG a, LONG b, LONG c, LONG d, LONG e, LONG f, LONG g,
                                  LONG* pSum) override {
        // Weighted, so that any mix-up of the order shows.
        *pSum = a + 10 * b + 100 * c + 1000 * d + 10000 * e + 100000 * f + 1000000 * g;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Kind(LONG value) override {
        kind = value;
        return S_OK;
    }

    LONG count = 0;
    LONG kind = 0;
    std::u16string label;
    IStream* first = reinterpret_cast<IStream*>(1);
    IStream* second = reinterpret_cast<IStream*>(1);
};

std::u16string Ole(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class TypeLibTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_path = std::filesystem::temp_directory_path() /
                 ("typelib_test_" + std::to_string(getpid()) + ".txt");
        std::ofstream(m_path) << kDescription;
        ASSERT_EQ(S_OK, LoadTypeLib(Ole(m_path.string()).c_str(), lib.put()));
        ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(kIidTester, info.put()));
    }
    void TearDown() override { std::filesystem::remove(m_path); }

    // Invoke with arguments given in declaration order (DISPPARAMS wants them reversed).
    HRESULT Call(MEMBERID id, WORD flags, std::vector<VARIANT> args, VARIANT* result = nullptr,
                 UINT* argErr = nullptr, EXCEPINFO* excep = nullptr, bool namedPut = false) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), namedPut ? &put : nullptr,
                          static_cast<UINT>(reversed.size()), namedPut ? 1u : 0u};
        return info->Invoke(static_cast<ITester*>(&tester), id, flags, &params, result, excep,
                            argErr);
    }

    std::filesystem::path m_path;
    com_ptr<ITypeLib> lib;
    com_ptr<ITypeInfo> info;
    Tester tester;
};

VARIANT I4(LONG v) {
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_I4;
    var.lVal = v;
    return var;
}

// Borrowed: the BSTR must outlive the call.
VARIANT Bstr(BSTR s) {
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_BSTR;
    var.bstrVal = s;
    return var;
}

VARIANT Unknown(IUnknown* unk, VARTYPE vt = VT_UNKNOWN) {
    VARIANT var;
    VariantInit(&var);
    var.vt = vt;
    var.punkVal = unk;
    return var;
}

std::string Name(BSTR s) {
    return s ? std::string(s, s + SysStringLen(s)) : "(null)";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Loading

TEST(LoadTypeLib, FindsTheResourceOfAModuleFile) {
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLib(Ole(self).c_str(), lib.put()));
    unique_bstr name;
    ASSERT_EQ(S_OK, lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr));
    EXPECT_EQ("LInExe", Name(name.get()));
    EXPECT_EQ(1u, lib->GetTypeInfoCount());
}

TEST(LoadTypeLib, RefusesFilesWithoutAUsableTypeLibrary) {
    const auto dir = std::filesystem::temp_directory_path();
    const auto bad = dir / ("typelib_bad_" + std::to_string(getpid()) + ".txt");
    const auto truncated = dir / ("typelib_trunc_" + std::to_string(getpid()) + ".so");
    std::ofstream(bad) << "library L {11111111-2222-3333-4444-555555555555} lcid 0\n";
    const auto deep = dir / ("typelib_deep_" + std::to_string(getpid()) + ".txt");
    std::ofstream(deep) << "library L {11111111-2222-3333-4444-555555555555} lcid 0 syskind 3 "
                           "version 0.0 flags 0x0\n"
                           "type record R - flags 0x0 size 8 align 8\n"
                           "  field f memid 0x40000000 "
                        << std::string(20000, 'p') << "\n";
    std::string nested = "I4";
    for (int i = 0; i < 5000; ++i) nested = "ptr(" + nested + ")";
    const auto pointers = dir / ("typelib_ptr_" + std::to_string(getpid()) + ".txt");
    std::ofstream(pointers) << "library L {11111111-2222-3333-4444-555555555555} lcid 0 syskind 3 "
                               "version 0.0 flags 0x0\n"
                               "type record R - flags 0x0 size 8 align 8\n"
                               "  field f memid 0x40000000 "
                            << nested << " offset 0\n";
    std::ofstream(truncated) << "\x7f"
                                "ELF\x02\x01\x01";  // an ELF header cut short
    struct Case {
        std::string path;
        HRESULT expected;
    } cases[] = {
        {(dir / "no-such-file.so").string(), TYPE_E_CANTLOADLIBRARY},
        {"/bin/sh", TYPE_E_CANTLOADLIBRARY},  // an ELF file without the resource
        {truncated.string(), TYPE_E_CANTLOADLIBRARY},
        {bad.string(), TYPE_E_INVDATAREAD},
        {deep.string(), TYPE_E_INVDATAREAD},      // an unknown type name
        {pointers.string(), TYPE_E_INVDATAREAD},  // pointers nested without end
    };
    for (const Case& c : cases) {
        ITypeLib* lib = reinterpret_cast<ITypeLib*>(1);
        EXPECT_EQ(c.expected, LoadTypeLib(Ole(c.path).c_str(), &lib)) << c.path;
        EXPECT_EQ(nullptr, lib) << c.path;
    }
    EXPECT_EQ(E_INVALIDARG, LoadTypeLib(u"x", nullptr));
    for (const auto& file : {bad, truncated, deep, pointers}) std::filesystem::remove(file);
}

// ---------------------------------------------------------------------------------------------
// The description

TEST_F(TypeLibTest, LibraryAnswersItsAttributesAndTypes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
    EXPECT_EQ(SYS_WIN64, attr->syskind);
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(2, attr->wMinorVerNum);
    lib->ReleaseTLibAttr(attr);

    ASSERT_EQ(6u, lib->GetTypeInfoCount());
    const TYPEKIND kinds[] = {TKIND_INTERFACE, TKIND_ALIAS,  TKIND_ENUM,
                              TKIND_INTERFACE, TKIND_RECORD, TKIND_COCLASS};
    for (UINT i = 0; i < 6; ++i) {
        TYPEKIND kind = TKIND_MAX;
        EXPECT_EQ(S_OK, lib->GetTypeInfoType(i, &kind));
        EXPECT_EQ(kinds[i], kind) << i;
    }
    TYPEKIND kind;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, lib->GetTypeInfoType(6, &kind));
    ITypeInfo* none = nullptr;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, lib->GetTypeInfo(6, &none));
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, lib->GetTypeInfoOfGuid(IID_IDispatch, &none));
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, lib->GetTypeInfoOfGuid(GUID_NULL, &none));
    EXPECT_EQ(nullptr, none);

    // The same type information comes back each time, holding the library.
    com_ptr<ITypeInfo> first;
    ASSERT_EQ(S_OK, lib->GetTypeInfo(0, first.put()));
    EXPECT_EQ(info.get(), first.get());
    com_ptr<ITypeLib> containing;
    UINT index = 99;
    ASSERT_EQ(S_OK, info->GetContainingTypeLib(containing.put(), &index));
    EXPECT_EQ(lib.get(), containing.get());
    EXPECT_EQ(0u, index);
}

TEST_F(TypeLibTest, InterfaceDescribesItsFunctionsAndBase) {
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(10, attr->cFuncs);
    EXPECT_EQ(1, attr->cImplTypes);
    EXPECT_EQ(128, attr->cbSizeVft);
    EXPECT_EQ(TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags);
    info->ReleaseTypeAttr(attr);

    FUNCDESC* fd = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(4, &fd));  // Repeat
    EXPECT_EQ(kRepeat, fd->memid);
    EXPECT_EQ(INVOKE_FUNC, fd->invkind);
    EXPECT_EQ(FUNC_PUREVIRTUAL, fd->funckind);
    EXPECT_EQ(CC_STDCALL, fd->callconv);
    EXPECT_EQ(11 * 8, fd->oVft);
    EXPECT_EQ(VT_HRESULT, fd->elemdescFunc.tdesc.vt);
    ASSERT_EQ(3, fd->cParams);
    EXPECT_EQ(VT_BSTR, fd->lprgelemdescParam[0].tdesc.vt);
    EXPECT_EQ(PARAMFLAG_FIN, fd->lprgelemdescParam[0].paramdesc.wParamFlags);
    EXPECT_EQ(VT_PTR, fd->lprgelemdescParam[2].tdesc.vt);
    EXPECT_EQ(VT_BSTR, fd->lprgelemdescParam[2].tdesc.lptdesc->vt);
    EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, fd->lprgelemdescParam[2].paramdesc.wParamFlags);
    info->ReleaseFuncDesc(fd);
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetFuncDesc(10, &fd));

    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
    com_ptr<ITypeInfo> base;
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, base.put()));
    unique_bstr baseName;
    ASSERT_EQ(S_OK, base->GetDocumentation(-1, baseName.put(), nullptr, nullptr, nullptr));
    EXPECT_EQ("IDispatch", Name(baseName.get()));
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetRefTypeOfImplType(1, &ref));
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetRefTypeInfo(0x7777, base.put()));
}

TEST_F(TypeLibTest, EnumerationsAndRecordsDescribeTheirVariables) {
    com_ptr<ITypeInfo> enumInfo, record, coclass;
    ASSERT_EQ(S_OK, lib->GetTypeInfo(2, enumInfo.put()));
    VARDESC* vd = nullptr;
    ASSERT_EQ(S_OK, enumInfo->GetVarDesc(1, &vd));
    EXPECT_EQ(VAR_CONST, vd->varkind);
    EXPECT_EQ(VT_INT, vd->elemdescVar.tdesc.vt);
    ASSERT_NE(nullptr, vd->lpvarValue);
    EXPECT_EQ(VT_INT, vd->lpvarValue->vt);
    EXPECT_EQ(2, vd->lpvarValue->intVal);
    enumInfo->ReleaseVarDesc(vd);

    ASSERT_EQ(S_OK, lib->GetTypeInfo(4, record.put()));
    ASSERT_EQ(S_OK, record->GetVarDesc(1, &vd));
    EXPECT_EQ(VAR_PERINSTANCE, vd->varkind);
    EXPECT_EQ(4u, vd->oInst);
    record->ReleaseVarDesc(vd);
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, record->GetVarDesc(2, &vd));

    ASSERT_EQ(S_OK, lib->GetTypeInfo(5, coclass.put()));
    INT flags = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
}

TEST_F(TypeLibTest, GetNamesAnswersWithTheFirstMemberOfAnId) {
    BSTR names[4] = {};
    UINT count = 0;
    // Count's put comes first and has no parameter name.
    ASSERT_EQ(S_OK, info->GetNames(kCount, names, 4, &count));
    ASSERT_EQ(1u, count);
    EXPECT_EQ("Count", Name(names[0]));
    SysFreeString(names[0]);

    ASSERT_EQ(S_OK, info->GetNames(kRepeat, names, 4, &count));
    ASSERT_EQ(4u, count);
    EXPECT_EQ("Repeat", Name(names[0]));
    EXPECT_EQ("sText", Name(names[1]));
    EXPECT_EQ("pOut", Name(names[3]));
    for (BSTR name : names) SysFreeString(name);

    ASSERT_EQ(S_OK, info->GetNames(kRepeat, names, 2, &count));  // truncated to the room given
    EXPECT_EQ(2u, count);
    SysFreeString(names[0]);
    SysFreeString(names[1]);
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetNames(0x1234, names, 4, &count));
}

TEST_F(TypeLibTest, GetIDsOfNamesIgnoresCaseAndNamesParameters) {
    struct Case {
        std::vector<std::u16string> names;
        HRESULT hr;
        std::vector<MEMBERID> ids;
    } cases[] = {
        {{u"Repeat"}, S_OK, {kRepeat}},
        {{u"rEPEAT"}, S_OK, {kRepeat}},
        {{u"Label"}, S_OK, {kLabel}},
        {{u"Repeat", u"NTIMES", u"sText"}, S_OK, {kRepeat, 1, 0}},
        {{u"Count", u"p"}, S_OK, {kCount, 0}},  // the get's parameter
        {{u"Repeat", u"nope"}, DISP_E_UNKNOWNNAME, {kRepeat, DISPID_UNKNOWN}},
        {{u"Repeats"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
        {{u""}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
    };
    for (const Case& c : cases) {
        std::vector<LPOLESTR> names;
        for (const auto& name : c.names) names.push_back(const_cast<LPOLESTR>(name.c_str()));
        std::vector<MEMBERID> ids(names.size(), 42);
        EXPECT_EQ(c.hr,
                  info->GetIDsOfNames(names.data(), static_cast<UINT>(names.size()), ids.data()));
        EXPECT_EQ(c.ids, ids);
    }
}

// ---------------------------------------------------------------------------------------------
// Invoke

TEST_F(TypeLibTest, InvokePutsAndGetsProperties) {
    ASSERT_EQ(S_OK, Call(kCount, DISPATCH_PROPERTYPUT, {I4(7)}, nullptr, nullptr, nullptr, true));
    EXPECT_EQ(7, tester.count);
    ASSERT_EQ(S_OK, Call(kCount, DISPATCH_PROPERTYPUT, {I4(8)}));  // unnamed value works too
    EXPECT_EQ(8, tester.count);

    unique_variant result;
    ASSERT_EQ(S_OK, Call(kCount, DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(8, result.lVal);
    // Scripting hosts ask for "method or get".
    ASSERT_EQ(S_OK, Call(kCount, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(8, result.lVal);

    unique_bstr text(SysAllocString(u"abc"));
    ASSERT_EQ(S_OK, Call(kLabel, DISPATCH_PROPERTYPUT, {Bstr(text.get())}, nullptr, nullptr,
                         nullptr, true));
    EXPECT_EQ(u"abc", tester.label);
    ASSERT_EQ(S_OK, Call(kLabel, DISPATCH_PROPERTYGET, {}, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ("abc", Name(result.bstrVal));
    // No place for the result: it is freed, not leaked (the sanitizer build checks).
    ASSERT_EQ(S_OK, Call(kLabel, DISPATCH_PROPERTYGET, {}, nullptr));

    ASSERT_EQ(S_OK, Call(kKind, DISPATCH_PROPERTYPUT, {I4(2)}));  // through alias and enum
    EXPECT_EQ(2, tester.kind);
}

TEST_F(TypeLibTest, InvokePassesArgumentsInDeclarationOrder) {
    unique_bstr text(SysAllocString(u"ab"));
    unique_variant result;
    ASSERT_EQ(S_OK, Call(kRepeat, DISPATCH_METHOD, {Bstr(text.get()), I4(3)}, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ("ababab", Name(result.bstrVal));

    // Seven arguments: some travel on the stack.
    ASSERT_EQ(S_OK, Call(kSum, DISPATCH_METHOD, {I4(1), I4(2), I4(3), I4(4), I4(5), I4(6), I4(-7)},
                         &result));
    ASSERT_EQ(VT_I4, result.vt);
    EXPECT_EQ(1 + 20 + 300 + 4000 + 50000 + 600000 - 7000000, result.lVal);
}

TEST_F(TypeLibTest, InvokeConvertsArgumentsToTheDeclaredTypes) {
    unique_bstr number(SysAllocString(u" 42 "));
    unique_variant result;
    // A numeric string for the LONG, a number for the BSTR.
    ASSERT_EQ(S_OK, Call(kRepeat, DISPATCH_METHOD, {I4(-5), Bstr(number.get())}, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    std::string expected;
    for (int i = 0; i < 42; ++i) expected += "-5";
    EXPECT_EQ(expected, Name(result.bstrVal));

    // A by-reference VARIANT stands for its target; a null BSTR is the empty string.
    VARIANT target = I4(9);
    VARIANT byref;
    VariantInit(&byref);
    byref.vt = VT_BYREF | VT_VARIANT;
    byref.pvarVal = &target;
    ASSERT_EQ(S_OK, Call(kCount, DISPATCH_PROPERTYPUT, {byref}));
    EXPECT_EQ(9, tester.count);
    ASSERT_EQ(S_OK, Call(kLabel, DISPATCH_PROPERTYPUT, {Bstr(nullptr)}));
    EXPECT_EQ(u"(null)", tester.label);
    // Reals round half to even, as VariantChangeType rounds them.
    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 2.5;
    ASSERT_EQ(S_OK, Call(kCount, DISPATCH_PROPERTYPUT, {real}));
    EXPECT_EQ(2, tester.count);
}

TEST_F(TypeLibTest, InvokeQueriesInterfaceArgumentsForTheDeclaredInterface) {
    StubStream first, second;
    ASSERT_EQ(S_OK, Call(kPass, DISPATCH_METHOD, {Unknown(&first), Unknown(&second, VT_DISPATCH)}));
    EXPECT_EQ(static_cast<IStream*>(&first), tester.first);
    EXPECT_EQ(static_cast<IStream*>(&second), tester.second);
    EXPECT_EQ(0u, first.refs());  // the reference taken for the call is given back
    EXPECT_EQ(0u, second.refs());

    ASSERT_EQ(S_OK, Call(kPass, DISPATCH_METHOD, {Unknown(nullptr), Unknown(&first)}));
    EXPECT_EQ(nullptr, tester.first);

    NotAStream other;
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kPass, DISPATCH_METHOD, {Unknown(&first), Unknown(&other)}, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);  // the second argument is rgvarg[0]
    EXPECT_EQ(0u, other.refs());
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kPass, DISPATCH_METHOD, {I4(1), Unknown(&first)}, nullptr, &argErr));
    EXPECT_EQ(1u, argErr);
}

TEST_F(TypeLibTest, InvokeReportsBadCallsWithTheDispatchCodes) {
    unique_bstr word(SysAllocString(u"x"));
    unique_bstr notNumber(SysAllocString(u"12x"));
    VARIANT big;
    VariantInit(&big);
    big.vt = VT_I8;
    big.llVal = 1LL << 40;
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    UINT argErr = 99;
    tester.count = 8;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(0x1234, DISPATCH_METHOD, {}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(kRepeat, DISPATCH_PROPERTYGET, {}));  // a method
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(kKind, DISPATCH_PROPERTYGET, {}));    // put only
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(0x60020009, DISPATCH_METHOD, {}));    // past the vtable
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kRepeat, DISPATCH_METHOD, {Bstr(word.get())}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kCount, DISPATCH_PROPERTYGET, {I4(1)}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              Call(kRepeat, DISPATCH_METHOD, {Bstr(word.get()), I4(1), I4(2)}));
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kRepeat, DISPATCH_METHOD, {Bstr(word.get()), Bstr(notNumber.get())}, nullptr,
                   &argErr));
    EXPECT_EQ(0u, argErr);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(kCount, DISPATCH_PROPERTYPUT, {null}, nullptr, &argErr));
    EXPECT_EQ(DISP_E_OVERFLOW, Call(kCount, DISPATCH_PROPERTYPUT, {big}, nullptr, &argErr));

    // A named argument that is no parameter.
    VARIANT arg = I4(1);
    DISPID named = 5;
    DISPPARAMS params{&arg, &named, 1, 1};
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              info->Invoke(static_cast<ITester*>(&tester), kCount, DISPATCH_PROPERTYPUT, &params,
                           nullptr, nullptr, &argErr));
    EXPECT_EQ(E_INVALIDARG, info->Invoke(nullptr, kCount, DISPATCH_PROPERTYGET, &params, nullptr,
                                         nullptr, nullptr));
    EXPECT_EQ(8, tester.count);  // nothing reached the object
}

TEST_F(TypeLibTest, InvokeTurnsAFailingMethodIntoAnException) {
    EXCEPINFO excep{};
    EXPECT_EQ(DISP_E_EXCEPTION, Call(kFail, DISPATCH_METHOD, {I4(static_cast<LONG>(E_ABORT))},
                                     nullptr, nullptr, &excep));
    EXPECT_EQ(E_ABORT, excep.scode);
    EXPECT_EQ("Tester", Name(excep.bstrSource));
    EXPECT_EQ("it failed", Name(excep.bstrDescription));
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    // The error info was taken; without EXCEPINFO the code is the same.
    EXPECT_EQ(DISP_E_EXCEPTION, Call(kFail, DISPATCH_METHOD, {I4(static_cast<LONG>(E_FAIL))}));
    com_ptr<IErrorInfo> left;
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, left.put()));
    // A success code other than S_OK is no failure.
    EXPECT_EQ(S_OK, Call(kFail, DISPATCH_METHOD, {I4(S_FALSE)}));
}
