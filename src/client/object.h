// One Glyphary object with owned strings in and out of IGlyphary; failures throw ComError.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "com/iglyphary.h"
#include "platform/owners.h"

namespace glyphary::client {

/// The four string properties.
enum class Property {
    localizePattern,
    localizeUndefinedFormat,
    globalizeFormat,
    globalizeUndefinedFormat
};

/// "LocalizePattern" and so on.
const char* PropertyName(Property property);

/// The two text operations.
enum class Operation { globalize, localize };

/// Receives converted text, one piece at a time (a view that lives for the call only).
using TextSink = std::function<void(std::u16string_view)>;

class Glyphary {
  public:
    explicit Glyphary(com_ptr<IGlyphary> object) : m_object(std::move(object)) {}

    IGlyphary* get() const noexcept { return m_object.get(); }

    void SetMapMode(EMapMode mode);
    EMapMode MapMode() const;
    std::u16string Get(Property property) const;
    void Put(Property property, std::u16string_view value);

    /// `text` through Globalize or Localize, the result handed to `sink`. The interface reads
    /// a string up to its first zero unit, so text goes in the pieces between zero units and
    /// each zero unit is handed on as it stands: nothing is cut off.
    void Convert(Operation operation, std::u16string_view text, const TextSink& sink);
    /// The same, as one string.
    std::u16string Convert(Operation operation, std::u16string_view text);

    /// GetUserAgentID of `userAgent` (up to its first zero unit, as the interface reads it).
    long UserAgentId(std::u16string_view userAgent);

  private:
    com_ptr<IGlyphary> m_object;
};

/// The longest text one BSTR holds: its length prefix counts bytes in 32 bits.
inline constexpr size_t kMaxBstrUnits = 0x7FFFFFF0;

/// A new BSTR holding `text`. Throws ClientError when it is too long or memory runs out.
unique_bstr MakeBstr(std::u16string_view text);

/// Throws ClientError, naming the property, when `value` would make a call fail whatever the
/// text: an ill-formed LocalizePattern, or a format that is ill-formed or needs a second
/// argument. The module's own rules decide (glyphary-rules).
void CheckProperty(Property property, std::u16string_view value);

}  // namespace glyphary::client
