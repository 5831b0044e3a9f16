// Where C++ exceptions stop: every function that a caller reaches through COM or the Windows
// API and whose body may throw runs that body inside CallBoundary, which turns what it throws
// into the HRESULT to return and, for callers that read it, the thread's error info. One
// policy for the platform and the module alike: HResultError gives its own code,
// std::bad_alloc E_OUTOFMEMORY, anything else E_FAIL. Plain C++ over win.h; the same on both
// targets.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/owners.h"
#include "platform/win.h"

namespace glyphary {

/// A failure that carries the HRESULT its caller is to see and, for the error info, what
/// went wrong.
class HResultError : public std::exception {
  public:
    HResultError(HRESULT hr, std::wstring description)
        : m_hr(hr), m_description(std::move(description)) {}
    HRESULT hr() const noexcept { return m_hr; }
    const std::wstring& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return "HRESULT failure"; }

  private:
    HRESULT m_hr;
    std::wstring m_description;
};

/// What the error info of a failure names: the interface and the source (a ProgID).
struct ErrorSource {
    const IID* iid;
    const OLECHAR* name;
};

/// `message` (ASCII, as the standard library and Boost write theirs) as wide text.
inline std::wstring WidenMessage(std::string_view message) {
    std::wstring out;
    out.reserve(message.size());
    for (unsigned char c : message) out.push_back(static_cast<wchar_t>(c));
    return out;
}

namespace boundary_detail {

// `text` as a BSTR, one unit per element; null when out of memory.
template <class Char>
BSTR Bstr(std::basic_string_view<Char> text) noexcept {
    if (text.size() > 0x7FFFFFF0u) return nullptr;
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (!s) return nullptr;
    for (size_t i = 0; i < text.size(); ++i)
        s[i] = static_cast<OLECHAR>(static_cast<std::make_unsigned_t<Char>>(text[i]));
    return s;
}

template <class Char>
HRESULT Report(const ErrorSource* source, HRESULT hr, std::basic_string_view<Char> text) noexcept {
    if (!source) return hr;
    com_ptr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return hr;
    const unique_bstr description(Bstr(text));
    create->SetGUID(*source->iid);
    create->SetSource(const_cast<LPOLESTR>(source->name));
    if (description) create->SetDescription(description.get());
    if (auto info = create.try_query<IErrorInfo>(IID_IErrorInfo)) SetErrorInfo(0, info.get());
    return hr;
}

template <class Body>
HRESULT Run(const ErrorSource* source, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const HResultError& e) {
        return Report(source, e.hr(), std::wstring_view(e.description()));
    } catch (const std::bad_alloc&) {
        return Report(source, E_OUTOFMEMORY, std::wstring_view(L"Out of memory"));
    } catch (const std::exception& e) {
        return Report(source, E_FAIL, std::string_view(e.what()));
    } catch (...) {
        return Report(source, E_FAIL, std::wstring_view(L"Unexpected failure"));
    }
}

}  // namespace boundary_detail

/// Sets this thread's error info, naming `source`, to `description`, and returns `hr`.
inline HRESULT ReportError(const ErrorSource& source, HRESULT hr,
                           std::wstring_view description) noexcept {
    return boundary_detail::Report(&source, hr, description);
}

/// Runs `body` (returning an HRESULT) and returns its result, or the code of what it throws.
template <class Body>
HRESULT CallBoundary(Body&& body) noexcept {
    return boundary_detail::Run(nullptr, std::forward<Body>(body));
}

/// The same, and a failure thrown by `body` also becomes the thread's error info, naming
/// `source`, with the HResultError's description or the exception's message.
template <class Body>
HRESULT CallBoundary(const ErrorSource& source, Body&& body) noexcept {
    return boundary_detail::Run(&source, std::forward<Body>(body));
}

/// CallBoundary for a function that returns a Win32 status (LSTATUS), as the registry's do:
/// `body` returns one; a thrown failure comes back as the Win32 code inside its HRESULT
/// (ERROR_OUTOFMEMORY for std::bad_alloc), or ERROR_INTERNAL_ERROR when it holds none.
template <class Body>
LSTATUS StatusBoundary(Body&& body) noexcept {
    LSTATUS status = ERROR_SUCCESS;
    const HRESULT hr = CallBoundary([&]() -> HRESULT {
        status = std::forward<Body>(body)();
        return S_OK;
    });
    if (SUCCEEDED(hr)) return status;
    const auto bits = static_cast<unsigned long>(hr);
    return (bits & 0xFFFF0000ul) == 0x80070000ul ? static_cast<LSTATUS>(bits & 0xFFFF)
                                                 : ERROR_INTERNAL_ERROR;
}

}  // namespace glyphary
