// Every member of IGlyphary reached late-bound (GetIDsOfNames + Invoke on the object) and
// early-bound (its vtable slot), with the same results either way.
#include <vector>

#include "com/module_support.h"
#include "support/stub_stream.h"

namespace glyphary::testing {
namespace {

constexpr DISPID kMapMode = 0x60020000, kLocalizePattern = 0x60020002,
                 kLocalizeUndefinedFormat = 0x60020004, kGlobalizeFormat = 0x60020006,
                 kGlobalizeUndefinedFormat = 0x60020008, kGlobalize = 0x6002000A,
                 kLocalize = 0x6002000B, kGetUserAgentID = 0x6002000C,
                 kConvertEzwebMail = 0x6002000D;

VARIANT I4(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT Bstr(BSTR value) {  // borrowed
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = value;
    return v;
}

VARIANT Unknown(IUnknown* value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = value;
    return v;
}

class Dispatch : public ComInitialized {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_module);
        object = m_module.Create();
        ASSERT_TRUE(object);
    }

    DISPID IdOf(const char16_t* name) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(S_OK, object->GetIDsOfNames(GUID_NULL, names, 1, 0, &id));
        return id;
    }

    // Arguments in declaration order; DISPPARAMS holds them reversed.
    HRESULT Invoke(DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result = nullptr,
                   EXCEPINFO* excep = nullptr, UINT* argErr = nullptr) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID put = DISPID_PROPERTYPUT;
        const bool isPut = flags == DISPATCH_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), isPut ? &put : nullptr,
                          static_cast<UINT>(reversed.size()), isPut ? 1u : 0u};
        return object->Invoke(id, GUID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, excep,
                              argErr);
    }

    std::string LateString(DISPID id, WORD flags, std::vector<VARIANT> args = {}) {
        unique_variant result;
        EXPECT_EQ(S_OK, Invoke(id, flags, std::move(args), &result));
        EXPECT_EQ(VT_BSTR, result.vt);
        return result.vt == VT_BSTR ? Narrow(result.bstrVal) : "(not a string)";
    }

    Module m_module;
    com_ptr<IGlyphary> object;
};

TEST_F(Dispatch, NamesResolveToTheCompilersDispatchIds) {
    const std::pair<const char16_t*, DISPID> names[] = {
        {u"MapMode", kMapMode},
        {u"LocalizePattern", kLocalizePattern},
        {u"LocalizeUndefinedFormat", kLocalizeUndefinedFormat},
        {u"GlobalizeFormat", kGlobalizeFormat},
        {u"GlobalizeUndefinedFormat", kGlobalizeUndefinedFormat},
        {u"Globalize", kGlobalize},
        {u"Localize", kLocalize},
        {u"GetUserAgentID", kGetUserAgentID},
        {u"ConvertEzwebMail", kConvertEzwebMail},
        {u"convertezwebmail", kConvertEzwebMail},
        {u"MAPMODE", kMapMode},
    };
    for (const auto& [name, id] : names) EXPECT_EQ(id, IdOf(name)) << Narrow(name);

    LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Convert"), const_cast<LPOLESTR>(u"sInput")};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetIDsOfNames(GUID_NULL, unknown, 2, 0, ids));
    EXPECT_EQ(DISPID_UNKNOWN, ids[0]);
    LPOLESTR withParam[] = {const_cast<LPOLESTR>(u"Globalize"), const_cast<LPOLESTR>(u"sInput")};
    EXPECT_EQ(S_OK, object->GetIDsOfNames(GUID_NULL, withParam, 2, 0, ids));
    EXPECT_EQ(kGlobalize, ids[0]);
    EXPECT_EQ(0, ids[1]);
}

TEST_F(Dispatch, PropertiesArePutAndGotBothWays) {
    struct Property {
        DISPID id;
        HRESULT (*get)(IGlyphary*, BSTR*);
        HRESULT (*put)(IGlyphary*, BSTR);
    };
    const Property properties[] = {
        {kLocalizePattern, [](IGlyphary* o, BSTR* p) { return o->get_LocalizePattern(p); },
         [](IGlyphary* o, BSTR v) { return o->put_LocalizePattern(v); }},
        {kLocalizeUndefinedFormat,
         [](IGlyphary* o, BSTR* p) { return o->get_LocalizeUndefinedFormat(p); },
         [](IGlyphary* o, BSTR v) { return o->put_LocalizeUndefinedFormat(v); }},
        {kGlobalizeFormat, [](IGlyphary* o, BSTR* p) { return o->get_GlobalizeFormat(p); },
         [](IGlyphary* o, BSTR v) { return o->put_GlobalizeFormat(v); }},
        {kGlobalizeUndefinedFormat,
         [](IGlyphary* o, BSTR* p) { return o->get_GlobalizeUndefinedFormat(p); },
         [](IGlyphary* o, BSTR v) { return o->put_GlobalizeUndefinedFormat(v); }},
    };
    for (int i = 0; i < 4; ++i) {
        // Late put, early get.
        const std::u16string late = u"late " + std::u16string(1, char16_t(u'0' + i));
        unique_bstr value(SysAllocString(late.c_str()));
        ASSERT_EQ(S_OK, Invoke(properties[i].id, DISPATCH_PROPERTYPUT, {Bstr(value.get())}));
        unique_bstr got;
        ASSERT_EQ(S_OK, properties[i].get(object.get(), got.put()));
        EXPECT_EQ(Narrow(late.c_str()), Narrow(got.get()));
        // Early put, late get; the same id serves both kinds of call.
        const std::u16string early = u"early " + std::u16string(1, char16_t(u'0' + i));
        value.reset(SysAllocString(early.c_str()));
        ASSERT_EQ(S_OK, properties[i].put(object.get(), value.get()));
        EXPECT_EQ(Narrow(early.c_str()), LateString(properties[i].id, DISPATCH_PROPERTYGET));
    }

    ASSERT_EQ(S_OK, Invoke(kMapMode, DISPATCH_PROPERTYPUT, {I4(MPM_softbank)}));
    EMapMode mode = MPM_none;
    ASSERT_EQ(S_OK, object->get_MapMode(&mode));
    EXPECT_EQ(MPM_softbank, mode);
    ASSERT_EQ(S_OK, object->put_MapMode(static_cast<EMapMode>(-12)));  // any value is a mode
    unique_variant result;
    ASSERT_EQ(S_OK, Invoke(kMapMode, DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(-12, result.lVal);
}

TEST_F(Dispatch, MethodsReturnTheirRetvalAsTheResult) {
    unique_bstr pattern(SysAllocString(u"\\[(\\d+)\\]"));
    unique_bstr undefined(SysAllocString(u"<%1%>"));
    ASSERT_EQ(S_OK, object->put_LocalizePattern(pattern.get()));
    ASSERT_EQ(S_OK, object->put_LocalizeUndefinedFormat(undefined.get()));
    unique_bstr input(SysAllocString(u"a[12]b"));

    unique_bstr early;
    ASSERT_EQ(S_OK, object->Localize(input.get(), early.put()));
    EXPECT_EQ("a<12>b", Narrow(early.get()));
    EXPECT_EQ("a<12>b", LateString(kLocalize, DISPATCH_METHOD, {Bstr(input.get())}));

    ASSERT_EQ(S_OK, object->Globalize(input.get(), early.put()));
    EXPECT_EQ(Narrow(early.get()), LateString(kGlobalize, DISPATCH_METHOD, {Bstr(input.get())}));

    LONG id = -1;
    ASSERT_EQ(S_OK, object->GetUserAgentID(input.get(), &id));
    unique_variant result;
    ASSERT_EQ(S_OK, Invoke(kGetUserAgentID, DISPATCH_METHOD, {Bstr(input.get())}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(id, result.lVal);
}

// Whatever the mail conversion does with these streams, the late-bound call must pass them in
// order, as streams, and report what the early-bound call reports.
TEST_F(Dispatch, ConvertEzwebMailTakesStreamsPassedAsUnknown) {
    StubStream in1, out1, in2, out2;
    const HRESULT early = object->ConvertEzwebMail(&in1, &out1);

    unique_variant result;
    EXCEPINFO excep{};
    const HRESULT late = Invoke(kConvertEzwebMail, DISPATCH_METHOD, {Unknown(&in2), Unknown(&out2)},
                                &result, &excep);
    if (SUCCEEDED(early)) {
        EXPECT_EQ(S_OK, late);
        EXPECT_EQ(VT_EMPTY, result.vt);  // no [retval]: no value
    } else {
        EXPECT_EQ(DISP_E_EXCEPTION, late);
        EXPECT_EQ(early, excep.scode);
    }
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    EXPECT_EQ(in1.reads, in2.reads);
    EXPECT_EQ(out1.writes, out2.writes);
    EXPECT_EQ(0, in2.writes);  // the first stream is only read, the second only written
    EXPECT_EQ(0, out2.reads);
    EXPECT_EQ(0u, in2.refs());  // references taken for the call are given back
    EXPECT_EQ(0u, out2.refs());

    NotAStream notAStream;
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Invoke(kConvertEzwebMail, DISPATCH_METHOD, {Unknown(&notAStream), Unknown(&out2)},
                     nullptr, nullptr, &argErr));
    EXPECT_EQ(1u, argErr);
}

TEST_F(Dispatch, BadCallsGetTheTypeInformationsCodesUnchanged) {
    unique_bstr text(SysAllocString(u"x"));
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(0x6002000E, DISPATCH_METHOD, {}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(kGlobalize, DISPATCH_PROPERTYPUT, {Bstr(text.get())}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(kGlobalize, DISPATCH_METHOD, {}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(kConvertEzwebMail, DISPATCH_METHOD, {Unknown(nullptr)}));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Invoke(kMapMode, DISPATCH_PROPERTYPUT, {Bstr(text.get())},
                                          nullptr, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);

    // A failure of the operation itself comes back as an exception with its error info.
    unique_bstr illFormed(SysAllocString(u"("));
    ASSERT_EQ(S_OK, object->put_LocalizePattern(illFormed.get()));
    EXCEPINFO excep{};
    EXPECT_EQ(DISP_E_EXCEPTION,
              Invoke(kLocalize, DISPATCH_METHOD, {Bstr(text.get())}, nullptr, &excep));
    EXPECT_EQ(E_INVALIDARG, excep.scode);
    EXPECT_NE("", Narrow(excep.bstrDescription));
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
}

}  // namespace
}  // namespace glyphary::testing
