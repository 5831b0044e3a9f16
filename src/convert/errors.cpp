#include "convert/errors.h"

#include "com/iglyphary.h"
#include "platform/olestr.h"
#include "platform/owners.h"

namespace glyphary {

std::wstring WidenMessage(std::string_view message) {
    std::wstring out;
    out.reserve(message.size());
    for (unsigned char c : message) out.push_back(static_cast<wchar_t>(c));
    return out;
}

HRESULT ReportError(HRESULT hr, std::wstring_view description) noexcept {
    com_ptr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return hr;
    unique_bstr text(AllocBstr(description));
    create->SetGUID(IID_IGlyphary);
    static constexpr OLECHAR kSource[] = OLESTR("Glyphary");
    create->SetSource(const_cast<LPOLESTR>(kSource));
    if (text) create->SetDescription(text.get());
    if (auto info = create.try_query<IErrorInfo>(IID_IErrorInfo)) SetErrorInfo(0, info.get());
    return hr;
}

}  // namespace glyphary
