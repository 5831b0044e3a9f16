// Applying a format string to one argument, the way every format property is used: a
// boost::wformat built from the string (which may throw bad_format_string), with
// too_many_args_bit cleared (mask 251) so an unused argument is no error, fed the one
// argument, then str() (which throws too_few_args when the string refers to a second one).
#pragma once

#include <string>
#include <string_view>

namespace glyphary {

/// `format` applied to `argument`. Throws ConversionError(E_INVALIDARG) naming `property`
/// when the format is ill-formed or needs more than one argument.
std::wstring ApplyFormat(const std::wstring& format, std::wstring_view argument,
                         std::wstring_view property);

}  // namespace glyphary
