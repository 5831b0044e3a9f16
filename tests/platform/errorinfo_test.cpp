#include <thread>

#include <gtest/gtest.h>

#include "platform/owners.h"
#include "support/text.h"

namespace {

using glyphary::com_ptr;
using glyphary::unique_bstr;

com_ptr<IErrorInfo> MakeInfo(const char16_t* description) {
    com_ptr<ICreateErrorInfo> create;
    EXPECT_EQ(CreateErrorInfo(create.put()), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetSource(const_cast<LPOLESTR>(u"Test"));
    return create.try_query<IErrorInfo>(IID_IErrorInfo);
}

std::u16string Description(IErrorInfo* info) {
    unique_bstr text;
    EXPECT_EQ(info->GetDescription(text.put()), S_OK);
    return glyphary::testing::Units(text.get());
}

TEST(ErrorInfo, GetTakesWhatSetStoredAndLeavesTheSlotEmpty) {
    auto info = MakeInfo(u"first");
    ASSERT_TRUE(info);
    EXPECT_EQ(SetErrorInfo(0, info.get()), S_OK);

    com_ptr<IErrorInfo> got;
    EXPECT_EQ(GetErrorInfo(0, got.put()), S_OK);
    ASSERT_EQ(got.get(), info.get());
    EXPECT_EQ(Description(got.get()), u"first");
    unique_bstr source;
    EXPECT_EQ(got->GetSource(source.put()), S_OK);
    EXPECT_EQ(glyphary::testing::Units(source.get()), u"Test");

    EXPECT_EQ(GetErrorInfo(0, got.put()), S_FALSE);
    EXPECT_FALSE(got);
}

TEST(ErrorInfo, SetNullClearsAndLaterSetReplaces) {
    SetErrorInfo(0, MakeInfo(u"old").get());
    SetErrorInfo(0, nullptr);
    com_ptr<IErrorInfo> got;
    EXPECT_EQ(GetErrorInfo(0, got.put()), S_FALSE);

    SetErrorInfo(0, MakeInfo(u"a").get());
    SetErrorInfo(0, MakeInfo(u"b").get());
    ASSERT_EQ(GetErrorInfo(0, got.put()), S_OK);
    EXPECT_EQ(Description(got.get()), u"b");
}

TEST(ErrorInfo, EachThreadHasItsOwnSlot) {
    SetErrorInfo(0, MakeInfo(u"main").get());
    std::thread other([] {
        com_ptr<IErrorInfo> got;
        EXPECT_EQ(GetErrorInfo(0, got.put()), S_FALSE);
        SetErrorInfo(0, MakeInfo(u"other").get());  // released when the thread ends
    });
    other.join();
    com_ptr<IErrorInfo> got;
    ASSERT_EQ(GetErrorInfo(0, got.put()), S_OK);
    EXPECT_EQ(Description(got.get()), u"main");
}

}  // namespace
