#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/owners.h"

namespace {

using glyphary::unique_variant;

// ---------------------------------------------------------------------------------------------
// Variants made and described in one line each.

struct Src {
    VARIANT v;
};
Src Make(VARTYPE vt, auto set) {
    Src s;
    VariantInit(&s.v);
    s.v.vt = vt;
    set(s.v);
    return s;
}
Src I1(CHAR x) {
    return Make(VT_I1, [=](VARIANT& v) { v.cVal = x; });
}
Src UI1(BYTE x) {
    return Make(VT_UI1, [=](VARIANT& v) { v.bVal = x; });
}
Src I2(SHORT x) {
    return Make(VT_I2, [=](VARIANT& v) { v.iVal = x; });
}
Src I4(LONG x) {
    return Make(VT_I4, [=](VARIANT& v) { v.lVal = x; });
}
Src UI4(ULONG x) {
    return Make(VT_UI4, [=](VARIANT& v) { v.ulVal = x; });
}
Src Int(INT x) {
    return Make(VT_INT, [=](VARIANT& v) { v.intVal = x; });
}
Src I8(LONGLONG x) {
    return Make(VT_I8, [=](VARIANT& v) { v.llVal = x; });
}
Src UI8(ULONGLONG x) {
    return Make(VT_UI8, [=](VARIANT& v) { v.ullVal = x; });
}
Src Bool(bool x) {
    return Make(VT_BOOL, [=](VARIANT& v) { v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; });
}
Src R4(float x) {
    return Make(VT_R4, [=](VARIANT& v) { v.fltVal = x; });
}
Src R8(double x) {
    return Make(VT_R8, [=](VARIANT& v) { v.dblVal = x; });
}
Src Empty() {
    return Make(VT_EMPTY, [](VARIANT&) {});
}
Src Null() {
    return Make(VT_NULL, [](VARIANT&) {});
}
// The BSTR is freed by the test that uses it.
Src Str(const char16_t* s) {
    return Make(VT_BSTR, [=](VARIANT& v) { v.bstrVal = SysAllocString(s); });
}

std::string Describe(const VARIANT& v) {
    auto n = [](auto x) { return std::to_string(x); };
    switch (v.vt) {
        case VT_EMPTY:
            return "EMPTY";
        case VT_NULL:
            return "NULL";
        case VT_I1:
            return "I1:" + n(static_cast<int>(v.cVal));
        case VT_UI1:
            return "UI1:" + n(static_cast<int>(v.bVal));
        case VT_I2:
            return "I2:" + n(v.iVal);
        case VT_UI2:
            return "UI2:" + n(v.uiVal);
        case VT_I4:
            return "I4:" + n(v.lVal);
        case VT_UI4:
            return "UI4:" + n(v.ulVal);
        case VT_INT:
            return "INT:" + n(v.intVal);
        case VT_UINT:
            return "UINT:" + n(v.uintVal);
        case VT_I8:
            return "I8:" + n(v.llVal);
        case VT_UI8:
            return "UI8:" + n(v.ullVal);
        case VT_BOOL:
            return "BOOL:" + n(v.boolVal);
        case VT_R4:
            return "R4:" + n(v.fltVal);
        case VT_R8:
            return "R8:" + n(v.dblVal);
        case VT_BSTR: {
            std::string s = "BSTR:";
            for (UINT i = 0; i < SysStringLen(v.bstrVal); ++i) s += static_cast<char>(v.bstrVal[i]);
            return s;
        }
        default:
            return "vt " + n(v.vt);
    }
}

struct Case {
    Src src;
    VARTYPE vt;
    HRESULT hr;
    std::string result;  // Describe() of the result when hr is S_OK
    USHORT flags = 0;
};

void Check(std::initializer_list<Case> cases) {
    int line = 0;
    for (const Case& c : cases) {
        ++line;
        VARIANT src = c.src.v;
        unique_variant dest;
        const HRESULT hr = VariantChangeType(&dest, &src, c.flags, c.vt);
        EXPECT_EQ(hr, c.hr) << "case " << line << ": " << Describe(src) << " to vt " << c.vt;
        if (hr == S_OK) {
            EXPECT_EQ(Describe(dest), c.result) << "case " << line << ": " << Describe(src);
        } else {
            EXPECT_EQ(dest.vt, VT_EMPTY) << "case " << line;
        }
        VariantClear(&src);
    }
}

constexpr HRESULT OK = S_OK, OVERFLOW_ = DISP_E_OVERFLOW, MISMATCH = DISP_E_TYPEMISMATCH;

TEST(VariantChangeType, IntegersConvertWithinTheTargetsRange) {
    Check({
        {I4(255), VT_UI1, OK, "UI1:255"},
        {I4(256), VT_UI1, OVERFLOW_, ""},
        {I4(-1), VT_UI4, OVERFLOW_, ""},
        {UI4(0xFFFFFFFF), VT_I4, OVERFLOW_, ""},
        {UI4(0x7FFFFFFF), VT_I4, OK, "I4:2147483647"},
        {I8(std::numeric_limits<LONGLONG>::min()), VT_I4, OVERFLOW_, ""},
        {I8(-2147483648LL), VT_I4, OK, "I4:-2147483648"},
        {UI8(std::numeric_limits<ULONGLONG>::max()), VT_I8, OVERFLOW_, ""},
        {UI8(std::numeric_limits<ULONGLONG>::max()), VT_UI8, OK, "UI8:18446744073709551615"},
        {I8(-1), VT_UI8, OVERFLOW_, ""},
        {I2(-129), VT_I1, OVERFLOW_, ""},
        {I1(-128), VT_I8, OK, "I8:-128"},
        {UI1(200), VT_I2, OK, "I2:200"},
        {I4(65535), VT_UI2, OK, "UI2:65535"},
        {Int(5), VT_UINT, OK, "UINT:5"},
        {I4(-5), VT_INT, OK, "INT:-5"},
        {I4(7), VT_I4, OK, "I4:7"},
    });
}

TEST(VariantChangeType, BooleansAreAllOnesAsIntegersAndAnyNonZeroIsTrue) {
    Check({
        {Bool(true), VT_I4, OK, "I4:-1"},
        {Bool(true), VT_UI1, OK, "UI1:255"},
        {Bool(true), VT_UI4, OK, "UI4:4294967295"},
        {Bool(false), VT_UI2, OK, "UI2:0"},
        {I4(2), VT_BOOL, OK, "BOOL:-1"},
        {UI8(1ull << 40), VT_BOOL, OK, "BOOL:-1"},
        {I4(0), VT_BOOL, OK, "BOOL:0"},
        {R8(0.4), VT_BOOL, OK, "BOOL:-1"},
        {Bool(true), VT_BSTR, OK, "BSTR:-1"},
        {Bool(false), VT_BSTR, OK, "BSTR:0"},
        {Bool(true), VT_BSTR, OK, "BSTR:True", VARIANT_ALPHABOOL},
        {Bool(false), VT_BSTR, OK, "BSTR:False", VARIANT_ALPHABOOL},
        {Bool(true), VT_R8, OK, "R8:-1.000000"},
    });
}

TEST(VariantChangeType, RealsRoundHalfToEven) {
    Check({
        {R8(2.5), VT_I4, OK, "I4:2"},
        {R8(3.5), VT_I4, OK, "I4:4"},
        {R8(-2.5), VT_I4, OK, "I4:-2"},
        {R8(-3.5), VT_I4, OK, "I4:-4"},
        {R8(2.4999), VT_I4, OK, "I4:2"},
        {R8(0.5), VT_UI1, OK, "UI1:0"},
        {R8(-0.5), VT_UI1, OK, "UI1:0"},
        {R8(-0.6), VT_UI1, OVERFLOW_, ""},
        {R8(2147483647.4), VT_I4, OK, "I4:2147483647"},
        {R8(2147483647.5), VT_I4, OVERFLOW_, ""},
        {R8(-2147483648.5), VT_I4, OK, "I4:-2147483648"},
        {R8(std::nan("")), VT_I4, OVERFLOW_, ""},
        {R8(INFINITY), VT_I8, OVERFLOW_, ""},
        {R8(1e300), VT_UI8, OVERFLOW_, ""},
        {R4(1.5f), VT_I2, OK, "I2:2"},
        {I4(5), VT_R8, OK, "R8:5.000000"},
        {I4(-3), VT_R4, OK, "R4:-3.000000"},
        {R8(1e300), VT_R4, OVERFLOW_, ""},
        {R8(1.5), VT_BSTR, DISP_E_BADVARTYPE, ""},  // not covered
    });
}

TEST(VariantChangeType, TextReadsAsDecimalNumbers) {
    Check({
        {Str(u" 42 "), VT_I4, OK, "I4:42"},
        {Str(u"\t-12\r\n"), VT_I4, OK, "I4:-12"},
        {Str(u"+7"), VT_UI1, OK, "UI1:7"},
        {Str(u"-0"), VT_UI4, OK, "UI4:0"},
        {Str(u"007"), VT_I2, OK, "I2:7"},
        {Str(u"1.5"), VT_I4, OK, "I4:2"},
        {Str(u"2.5"), VT_I4, OK, "I4:2"},
        {Str(u"2.50001"), VT_I4, OK, "I4:3"},
        {Str(u".5"), VT_I4, OK, "I4:0"},
        {Str(u"1e3"), VT_I4, OK, "I4:1000"},
        {Str(u"25E-1"), VT_I4, OK, "I4:2"},
        {Str(u"1e-100000"), VT_I4, OK, "I4:0"},
        {Str(u"2147483647"), VT_I4, OK, "I4:2147483647"},
        {Str(u"2147483648"), VT_I4, OVERFLOW_, ""},
        {Str(u"-2147483648"), VT_I4, OK, "I4:-2147483648"},
        {Str(u"4294967295"), VT_UI4, OK, "UI4:4294967295"},
        {Str(u"-1"), VT_UI4, OVERFLOW_, ""},
        {Str(u"18446744073709551615"), VT_UI8, OK, "UI8:18446744073709551615"},
        {Str(u"-9223372036854775808"), VT_I8, OK, "I8:-9223372036854775808"},
        {Str(u"99999999999999999999999"), VT_I8, OVERFLOW_, ""},
        {Str(u"1e100000"), VT_I4, OVERFLOW_, ""},
        {Str(u"12abc"), VT_I4, MISMATCH, ""},
        {Str(u""), VT_I4, MISMATCH, ""},
        {Str(u"   "), VT_I4, MISMATCH, ""},
        {Str(u"- 1"), VT_I4, MISMATCH, ""},
        {Str(u"1 2"), VT_I4, MISMATCH, ""},
        {Str(u"."), VT_I4, MISMATCH, ""},
        {Str(u"1e"), VT_I4, MISMATCH, ""},
        {Str(u"0x10"), VT_I4, MISMATCH, ""},
        {Str(u"\uFF11"), VT_I4, MISMATCH, ""},  // fullwidth digit
        {Str(nullptr), VT_I4, MISMATCH, ""},
        {Str(u"True"), VT_BOOL, OK, "BOOL:-1"},
        {Str(u" FALSE "), VT_BOOL, OK, "BOOL:0"},
        {Str(u"0"), VT_BOOL, OK, "BOOL:0"},
        {Str(u"0.4"), VT_BOOL, OK, "BOOL:-1"},
        {Str(u"yes"), VT_BOOL, MISMATCH, ""},
        {Str(u"1"), VT_R8, DISP_E_BADVARTYPE, ""},  // not covered
    });
}

TEST(VariantChangeType, IntegersWriteAsDecimalText) {
    Check({
        {I4(-42), VT_BSTR, OK, "BSTR:-42"},
        {UI8(std::numeric_limits<ULONGLONG>::max()), VT_BSTR, OK, "BSTR:18446744073709551615"},
        {I8(std::numeric_limits<LONGLONG>::min()), VT_BSTR, OK, "BSTR:-9223372036854775808"},
        {UI1(0), VT_BSTR, OK, "BSTR:0"},
        {Str(u"kept"), VT_BSTR, OK, "BSTR:kept"},
    });
}

TEST(VariantChangeType, EmptyIsZeroAndNullIsNothing) {
    Check({
        {Empty(), VT_I4, OK, "I4:0"},
        {Empty(), VT_BOOL, OK, "BOOL:0"},
        {Empty(), VT_BSTR, OK, "BSTR:"},
        {Empty(), VT_R8, OK, "R8:0.000000"},
        {Empty(), VT_NULL, OK, "NULL"},
        {I4(3), VT_EMPTY, OK, "EMPTY"},
        {Null(), VT_I4, MISMATCH, ""},
        {Null(), VT_BSTR, MISMATCH, ""},
        {Null(), VT_BOOL, MISMATCH, ""},
        {Null(), VT_NULL, OK, "NULL"},
        {I4(1), VT_NULL, MISMATCH, ""},
        {I4(1), VT_DISPATCH, MISMATCH, ""},
        {I4(1), VT_DATE, DISP_E_BADVARTYPE, ""},
        {I4(1), VT_I4 | VT_BYREF, DISP_E_BADVARTYPE, ""},
    });
}

TEST(VariantChangeType, ReferencesAreFollowed) {
    LONG l = 300;
    BSTR text = SysAllocString(u" 17 ");
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_I4 | VT_BYREF;
    inner.plVal = &l;
    VARIANT outer;
    VariantInit(&outer);
    outer.vt = VT_VARIANT | VT_BYREF;
    outer.pvarVal = &inner;
    Check({
        {Make(VT_I4 | VT_BYREF, [&](VARIANT& v) { v.plVal = &l; }), VT_BSTR, OK, "BSTR:300"},
        {Make(VT_I4 | VT_BYREF, [&](VARIANT& v) { v.plVal = &l; }), VT_UI1, OVERFLOW_, ""},
        {Make(VT_I4 | VT_BYREF, [&](VARIANT& v) { v.plVal = &l; }), VT_I4, OK, "I4:300"},
        {Make(VT_BSTR | VT_BYREF, [&](VARIANT& v) { v.pbstrVal = &text; }), VT_I2, OK, "I2:17"},
        {Make(VT_BSTR | VT_BYREF, [&](VARIANT& v) { v.pbstrVal = &text; }), VT_BSTR, OK,
         "BSTR: 17 "},
        {{outer}, VT_I8, OK, "I8:300"},
        {Make(VT_I4 | VT_BYREF, [](VARIANT& v) { v.plVal = nullptr; }), VT_I4, E_INVALIDARG, ""},
    });
    // The referenced values are the caller's: untouched, still alive.
    EXPECT_EQ(l, 300);
    EXPECT_EQ(std::u16string(text), u" 17 ");
    SysFreeString(text);
}

TEST(VariantChangeType, InPlaceReleasesTheSourceOnlyOnSuccess) {
    VARIANT v = Str(u"12").v;
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the BSTR is freed (ASan sees)
    EXPECT_EQ(Describe(v), "I4:12");

    v = Str(u"twelve").v;
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), MISMATCH);
    EXPECT_EQ(Describe(v), "BSTR:twelve");  // unchanged
    VariantClear(&v);

    // A separate destination is cleared first, whatever the outcome.
    unique_variant dest;
    dest.vt = VT_BSTR;
    dest.bstrVal = SysAllocString(u"old");
    VARIANT src = Str(u"x").v;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), MISMATCH);
    EXPECT_EQ(dest.vt, VT_EMPTY);
    VariantClear(&src);
}

// ---------------------------------------------------------------------------------------------
// Interfaces

// An object with IUnknown and, if asked to, IDispatch whose value property is `value`.
struct Object final : IDispatch {
    explicit Object(bool dispatch, LONG value = 0) : dispatch(dispatch), value(value) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || (dispatch && riid == IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        ++invokes;
        if (id != DISPID_VALUE || flags != DISPATCH_PROPERTYGET || params->cArgs || !result)
            return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_I4;
        result->lVal = value;
        return S_OK;
    }
    bool dispatch;
    LONG value;
    ULONG refs = 1;
    int invokes = 0;
};

TEST(VariantChangeType, InterfacesConvertThroughQueryInterface) {
    Object both(true), unknownOnly(false);
    {
        unique_variant src, dest;
        src.vt = VT_UNKNOWN;
        src.punkVal = &both;
        both.AddRef();
        ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_DISPATCH), S_OK);
        EXPECT_EQ(dest.vt, VT_DISPATCH);
        EXPECT_EQ(dest.pdispVal, static_cast<IDispatch*>(&both));
        EXPECT_EQ(both.refs, 3u);
        unique_variant back;
        ASSERT_EQ(VariantChangeType(&back, &dest, 0, VT_UNKNOWN), S_OK);
        EXPECT_EQ(back.vt, VT_UNKNOWN);
        EXPECT_EQ(both.refs, 4u);
    }
    EXPECT_EQ(both.refs, 1u);
    {
        unique_variant src, dest;
        src.vt = VT_UNKNOWN;
        src.punkVal = &unknownOnly;
        unknownOnly.AddRef();
        EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_DISPATCH), E_NOINTERFACE);
        EXPECT_EQ(dest.vt, VT_EMPTY);
        EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), MISMATCH);
        EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), MISMATCH);
    }
    EXPECT_EQ(unknownOnly.refs, 1u);
    {
        unique_variant src, dest;
        src.vt = VT_UNKNOWN;  // a null interface stays null
        ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_DISPATCH), S_OK);
        EXPECT_EQ(dest.vt, VT_DISPATCH);
        EXPECT_EQ(dest.pdispVal, nullptr);
    }
}

TEST(VariantChangeType, ObjectsConvertToValuesThroughTheirValueProperty) {
    Object object(true, 1234);
    unique_variant src, dest;
    src.vt = VT_DISPATCH;
    src.pdispVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Describe(dest), "BSTR:1234");
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_UI1), OVERFLOW_);
    EXPECT_EQ(VariantChangeType(&dest, &src, VARIANT_NOVALUEPROP, VT_I4), MISMATCH);
    EXPECT_EQ(object.invokes, 2);
    src.reset();
    EXPECT_EQ(object.refs, 1u);
}

}  // namespace
