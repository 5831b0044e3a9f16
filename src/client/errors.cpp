#include "client/errors.h"

#include <cstdio>

#include "platform/owners.h"
#include "text/utf.h"

namespace glyphary::client {

namespace {

std::string Message(const std::string& operation, HRESULT hr, const std::string& description) {
    std::string message = operation + " failed: " + DescribeHresult(hr);
    if (!description.empty()) message += ": " + description;
    return message;
}

}  // namespace

ComError::ComError(const std::string& operation, HRESULT hr, const std::string& description)
    : std::runtime_error(Message(operation, hr, description)),
      m_hr(hr),
      m_description(description) {}

std::string DescribeHresult(HRESULT hr) {
    struct Name {
        HRESULT hr;
        const char* name;
    };
    static constexpr Name names[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_ABORT, "E_ABORT"},
        {E_FAIL, "E_FAIL"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_HANDLE, "E_HANDLE"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {REGDB_E_READREGDB, "REGDB_E_READREGDB"},
        {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB"},
        {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
        {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND"},
        {CO_E_ERRORINDLL, "CO_E_ERRORINDLL"},
        {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
        {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
    };
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    for (const Name& n : names)
        if (n.hr == hr) return std::string(text) + " " + n.name;
    return text;
}

void Check(HRESULT hr, const std::string& operation) {
    if (SUCCEEDED(hr)) return;
    std::string description;
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        unique_bstr text;
        if (SUCCEEDED(info->GetDescription(text.put())) && text) {
            const std::u16string_view view(text.get(), SysStringLen(text.get()));
            description = text::Utf8ForDisplay(view);
        }
    }
    throw ComError(operation, hr, description);
}

}  // namespace glyphary::client
