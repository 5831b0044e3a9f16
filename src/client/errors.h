// Failures a client of the module meets: a failed interface call (its HRESULT and the error
// info's description), or one that is no HRESULT (a module that is not there, a file).
#pragma once

#include <stdexcept>
#include <string>

#include "platform/win.h"

namespace glyphary::client {

/// A failed call: the operation, its HRESULT and what the error info said.
class ComError : public std::runtime_error {
  public:
    ComError(const std::string& operation, HRESULT hr, const std::string& description);
    HRESULT hr() const noexcept { return m_hr; }
    /// The error info's description alone (may be empty).
    const std::string& description() const noexcept { return m_description; }

  private:
    HRESULT m_hr;
    std::string m_description;
};

/// A failure that is no HRESULT: a module that is not there, a file that cannot be read.
class ClientError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Throws ComError for a failed `hr`, with this thread's error info as the description.
void Check(HRESULT hr, const std::string& operation);
/// "0x80070057 E_INVALIDARG" for the codes a client meets; the hex alone otherwise.
std::string DescribeHresult(HRESULT hr);

}  // namespace glyphary::client
