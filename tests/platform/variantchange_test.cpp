// VariantChangeType: the tables in windows/variant_cases.h, which glyphary-client also runs
// against the real oleaut32, then what only this implementation needs checking: the
// conversions it does not make, references, in-place conversion and objects.
#include <gtest/gtest.h>

#include <string>

#include "platform/owners.h"
#include "support/stack_object.h"
#include "windows/variant_cases.h"

namespace {

using glyphary::unique_variant;
using namespace glyphary::varianttest;

// Each case of `table`: the result and its text, or the failure and an empty destination.
template <size_t n>
void Check(const ChangeCase (&table)[n]) {
    for (const ChangeCase& c : table) {
        VARIANT src = Source(c);
        unique_variant dest;
        const HRESULT hr = VariantChangeType(&dest, &src, c.flags, c.to);
        const std::string what =
            "case " + std::to_string(&c - table) + ", to vt " + std::to_string(c.to);
        EXPECT_EQ(hr, c.hr) << what;
        if (hr == S_OK) {
            EXPECT_EQ(dest.vt, c.to) << what;
            EXPECT_EQ(Describe(dest), c.result) << what;
        } else {
            EXPECT_EQ(dest.vt, VT_EMPTY) << what;
        }
        VariantClear(&src);
    }
}

TEST(VariantChangeType, IntegersOfEveryWidthConvertWithinTheTargetsRange) {
    Check(kIntegers);
}

TEST(VariantChangeType, BooleansConvertByTheirBitPattern) {
    Check(kBooleans);
}

TEST(VariantChangeType, RealsRoundHalfToEven) {
    Check(kRealsToIntegers);
    Check({Real(VT_R8, __builtin_nan(""), VT_I4, kOverflow)});  // Wine's oleaut32: 2147483647
}

TEST(VariantChangeType, RealsWriteTheirSignificantDigits) {
    Check(kRealsToText);
}

TEST(VariantChangeType, TextReadsAsDecimalNumbers) {
    Check(kTextToIntegers);
    // Windows reads these by the locale (Wine's oleaut32: -1, 1000, 16, -5); not here.
    Check({Text(u"- 1", VT_I4, kMismatch), Text(u"1,000", VT_I4, kMismatch),
           Text(u"&H10", VT_I4, kMismatch), Text(u"($5)", VT_I4, kMismatch)});
}

TEST(VariantChangeType, IntegersWriteAsDecimalText) {
    Check(kIntegersToText);
}

TEST(VariantChangeType, EmptyIsZeroAndNullIsNothing) {
    Check(kEmptyAndNull);
    Check({Nothing(VT_NULL, VT_NULL, S_OK, "vt 1")});  // a copy
}

// Windows converts between many more types; a caller of our interfaces never asks for them.
TEST(VariantChangeType, ConversionsToOtherTypesAreTypeMismatches) {
    Check({Integer(VT_I4, 1, VT_BOOL, kMismatch), Integer(VT_I4, 1, VT_UI1, kMismatch),
           Integer(VT_I4, 1, VT_I8, kMismatch), Integer(VT_I4, 1, VT_R8, kMismatch),
           Text(u"1", VT_R8, kMismatch), Nothing(VT_EMPTY, VT_NULL, kMismatch),
           Integer(VT_I4, 1, VT_EMPTY, kMismatch), Integer(VT_I4, 1, VT_DISPATCH, kMismatch),
           Integer(VT_I4, 1, VT_DATE, kMismatch), Integer(VT_I4, 1, VT_I4 | VT_BYREF, kMismatch),
           Nothing(VT_UNKNOWN, VT_I4, kMismatch), Nothing(VT_UNKNOWN, VT_BSTR, kMismatch),
           Nothing(VT_DATE, VT_I4, kMismatch), Nothing(99, VT_I4, DISP_E_BADVARTYPE)});
}

// A variant of the given by-reference type pointing at `target`.
VARIANT Reference(VARTYPE vt, void* target) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt | VT_BYREF;
    v.byref = target;
    return v;
}

TEST(VariantChangeType, ReferencesAreFollowed) {
    LONG l = 300;
    LONGLONG big = 1LL << 40;
    BSTR text = SysAllocString(u" 17 ");
    VARIANT inner = Reference(VT_I4, &l);
    const struct {
        VARIANT src;
        VARTYPE to;
        HRESULT hr;
        std::string result;
    } cases[] = {
        {Reference(VT_I4, &l), VT_BSTR, S_OK, "300"},
        {Reference(VT_I4, &l), VT_I4, S_OK, "300"},
        {Reference(VT_I8, &big), VT_I4, kOverflow, ""},
        {Reference(VT_BSTR, &text), VT_I4, S_OK, "17"},
        {Reference(VT_BSTR, &text), VT_BSTR, S_OK, " 17 "},
        {Reference(VT_VARIANT, &inner), VT_UI4, S_OK, "300"},
        {Reference(VT_I4, nullptr), VT_I4, E_INVALIDARG, ""},
    };
    for (const auto& c : cases) {
        unique_variant dest;
        EXPECT_EQ(VariantChangeType(&dest, &c.src, 0, c.to), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(Describe(dest), c.result);
        }
    }
    // The referenced values are the caller's: untouched, still alive.
    EXPECT_EQ(l, 300);
    EXPECT_EQ(std::u16string(text), u" 17 ");
    SysFreeString(text);
}

TEST(VariantChangeType, InPlaceReleasesTheSourceOnlyOnSuccess) {
    VARIANT v = Source(Text(u"12", VT_I4, S_OK));
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the BSTR is freed (ASan sees)
    EXPECT_EQ(Describe(v), "12");

    v = Source(Text(u"twelve", VT_I4, S_OK));
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), kMismatch);
    EXPECT_EQ(Describe(v), "twelve");  // unchanged
    VariantClear(&v);

    // A separate destination is cleared first, whatever the outcome.
    unique_variant dest;
    dest.vt = VT_BSTR;
    dest.bstrVal = SysAllocString(u"old");
    VARIANT src = Source(Text(u"x", VT_I4, S_OK));
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), kMismatch);
    EXPECT_EQ(dest.vt, VT_EMPTY);
    VariantClear(&src);
}

// An object whose value property (DISPID_VALUE) is `value`, as a script host's objects have
// (ASP's Request.ServerVariables("HTTP_USER_AGENT") is one).
struct ValueObject final
    : glyphary::testing::StackObject<
          ValueObject, glyphary::Chain<glyphary::NoLateBinding<IDispatch>, IDispatch>> {
    explicit ValueObject(const char16_t* value) : value(value) {}
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        ++invokes;
        if (id != DISPID_VALUE || flags != DISPATCH_PROPERTYGET || params->cArgs || !result)
            return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(value);
        return S_OK;
    }
    const char16_t* value;
    int invokes = 0;
};

TEST(VariantChangeType, ObjectsConvertToValuesThroughTheirValueProperty) {
    ValueObject object(u"-1234");
    unique_variant src, dest;
    src.vt = VT_DISPATCH;
    src.pdispVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Describe(dest), "-1234");
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(Describe(dest), "-1234");
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_UI4), kOverflow);
    EXPECT_EQ(VariantChangeType(&dest, &src, VARIANT_NOVALUEPROP, VT_I4), kMismatch);
    EXPECT_EQ(object.invokes, 3);
    src.reset();
    EXPECT_EQ(object.refs(), 0u);
}

}  // namespace
