// How conversion failures reach the caller: every interface method runs its body inside
// CallBoundary, which turns any exception into an HRESULT and the thread's error info. No C++
// exception leaves an interface method.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/win.h"

namespace glyphary {

/// A failure with the HRESULT to report and a description for the error info.
class ConversionError : public std::exception {
  public:
    ConversionError(HRESULT hr, std::wstring description)
        : m_hr(hr), m_description(std::move(description)) {}
    HRESULT hr() const noexcept { return m_hr; }
    const std::wstring& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return "Glyphary conversion error"; }

  private:
    HRESULT m_hr;
    std::wstring m_description;
};

/// Widens an engine message (ASCII, from Boost) for the error info.
std::wstring WidenMessage(std::string_view message);

/// Sets this thread's error info (source "Glyphary", interface IGlyphary) and returns `hr`.
HRESULT ReportError(HRESULT hr, std::wstring_view description) noexcept;

/// Runs `body` (returning HRESULT) and maps whatever it throws: ConversionError to its own
/// code, std::bad_alloc to E_OUTOFMEMORY, anything else to E_FAIL.
template <class Body>
HRESULT CallBoundary(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const ConversionError& e) {
        return ReportError(e.hr(), e.description());
    } catch (const std::bad_alloc&) {
        return ReportError(E_OUTOFMEMORY, L"Out of memory");
    } catch (const std::exception& e) {
        return ReportError(E_FAIL, WidenMessage(e.what()));
    } catch (...) {
        return ReportError(E_FAIL, L"Unexpected failure");
    }
}

}  // namespace glyphary
