// Test helpers that call IGlyphary the way a client does: BSTR in, BSTR out, HRESULT checked
// by the caller.
#pragma once

#include <string>

#include "com/iglyphary.h"
#include "platform/owners.h"
#include "support/text.h"

namespace glyphary::testing {

struct StringResult {
    HRESULT hr;
    std::u16string text;
    bool isNull;
};

/// Calls a BSTR -> BSTR method (Globalize or Localize) on `obj`.
template <class Method>
StringResult CallString(IGlyphary* obj, Method method, std::u16string_view input) {
    unique_bstr in = Bstr(input);
    BSTR out = reinterpret_cast<BSTR>(1);  // whatever the caller had: must be overwritten
    const HRESULT hr = (obj->*method)(in.get(), &out);
    unique_bstr owned(out);
    return {hr, Units(out), out == nullptr};
}

inline StringResult Globalize(IGlyphary* obj, std::u16string_view input) {
    return CallString(obj, &IGlyphary::Globalize, input);
}
inline StringResult Localize(IGlyphary* obj, std::u16string_view input) {
    return CallString(obj, &IGlyphary::Localize, input);
}

/// Puts a string property through its setter.
template <class Setter>
HRESULT Put(IGlyphary* obj, Setter setter, std::u16string_view value) {
    unique_bstr v = Bstr(value);
    return (obj->*setter)(v.get());
}

/// Reads a string property through its getter; `isNull` when the result BSTR is null.
template <class Getter>
StringResult Get(IGlyphary* obj, Getter getter) {
    BSTR out = nullptr;
    const HRESULT hr = (obj->*getter)(&out);
    unique_bstr owned(out);
    return {hr, Units(out), out == nullptr};
}

/// The description of this thread's error info (taking it), or "" when there is none.
inline std::u16string TakeErrorDescription() {
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) return u"";
    unique_bstr text;
    info->GetDescription(text.put());
    return Units(text.get());
}

}  // namespace glyphary::testing
