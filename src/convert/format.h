// Applying a format string to one argument, the way every format property is used: a
// boost::wformat built from the string (which may throw bad_format_string), with
// too_many_args_bit cleared (mask 251) so an unused argument is no error, fed the one
// argument, then str() (which throws too_few_args when the string refers to a second one).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace glyphary {

/// `format` applied to `argument`. Throws ConversionError(E_INVALIDARG) naming `property`
/// when the format is ill-formed or needs more than one argument.
std::wstring ApplyFormat(const std::wstring& format, std::wstring_view argument,
                         std::wstring_view property);

/// A format made ready to be applied to many arguments. A format of literal text, `%1%` and
/// `%%` alone is applied by joining its pieces around the argument, which is what Boost.Format
/// makes of it; any other goes to ApplyFormat at every use.
class PreparedFormat {
  public:
    explicit PreparedFormat(std::wstring format);

    const std::wstring& text() const noexcept { return m_format; }
    bool empty() const noexcept { return m_format.empty(); }
    /// Whether applying it needs no Boost.Format.
    bool joined() const noexcept { return !m_pieces.empty(); }

    /// Appends the format applied to `argument` to `out`. Throws as ApplyFormat does.
    void AppendTo(std::wstring& out, std::wstring_view argument, std::wstring_view property) const;

  private:
    std::wstring m_format;
    std::vector<std::wstring> m_pieces;  // literal text, the argument between each two pieces
};

}  // namespace glyphary
