// Text between the command line's byte streams and the interface's UTF-16 units.
// The three encodings a handset application meets: UTF-8, UTF-16LE (units passed through
// untouched, lone surrogates and zero units included) and CP932 (Shift_JIS with the
// carriers' emoji in its user-defined area), the last through iconv.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace glyphary::tool {

enum class Encoding { utf8, utf16le, cp932 };

/// The encoding named `name` ("utf-8", "utf-16le", "cp932"; letter case and the hyphen are
/// free); false for any other name.
bool ParseEncoding(std::string_view name, Encoding& encoding);
const char* EncodingName(Encoding encoding);

/// Bytes that do not decode, or units that the target encoding cannot carry. `offset` counts
/// bytes of the input when decoding and UTF-16 units of the text when encoding.
class EncodingError : public std::runtime_error {
  public:
    EncodingError(const std::string& message, size_t offset)
        : std::runtime_error(message), m_offset(offset) {}
    size_t offset() const noexcept { return m_offset; }

  private:
    size_t m_offset;
};

/// The UTF-16 units of `bytes` in `encoding`. Throws EncodingError.
std::u16string Decode(std::string_view bytes, Encoding encoding);
/// `text` as bytes in `encoding`. Throws EncodingError.
std::string Encode(std::u16string_view text, Encoding encoding);

/// Strict UTF-8 to UTF-16 (for arguments and User-Agent lines). Throws EncodingError.
std::u16string Utf16FromUtf8(std::string_view bytes);
/// UTF-16 to UTF-8 for messages: a lone surrogate becomes U+FFFD instead of failing.
std::string Utf8ForDisplay(std::u16string_view text);

}  // namespace glyphary::tool
