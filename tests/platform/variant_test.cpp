#include <gtest/gtest.h>

#include "platform/owners.h"
#include "support/stack_object.h"

namespace {

// An IUnknown that counts its references, to see what VARIANT functions do with them.
struct CountingUnknown final : glyphary::testing::StackObject<CountingUnknown, IUnknown> {};

TEST(Variant, ClearReleasesWhatItHoldsAndEmptiesIt) {
    CountingUnknown unk;
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_UNKNOWN;
    v.punkVal = &unk;
    unk.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(unk.refs(), 0u);
    EXPECT_EQ(v.vt, VT_EMPTY);

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"x");  // freed by VariantClear (ASan would see a leak)
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(Variant, CopyIsDeepForStringsAndAddRefsInterfaces) {
    glyphary::unique_variant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(u"text");
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(std::u16string(dst.bstrVal), u"text");

    CountingUnknown unk;
    glyphary::unique_variant a, b;
    a.vt = VT_UNKNOWN;
    a.punkVal = &unk;
    unk.AddRef();
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(unk.refs(), 2u);
    a.reset();
    b.reset();
    EXPECT_EQ(unk.refs(), 0u);
}

TEST(Variant, LayoutIsWindowsX64) {
    EXPECT_EQ(sizeof(VARIANT), 24u);
    EXPECT_EQ(offsetof(VARIANT, lVal), 8u);
    EXPECT_EQ(sizeof(DISPPARAMS), 24u);
}

}  // namespace
