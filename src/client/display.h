// Text for a person's terminal, which cannot draw the carriers' private-use emoji.
#pragma once

#include <string>
#include <string_view>

namespace glyphary::client {

/// Appends `text` to `out` with every private-use character (U+E000..U+F8FF, where the
/// carriers' emoji live) written as "U+XXXX".
void AppendShowingCodes(std::u16string_view text, std::u16string& out);

}  // namespace glyphary::client
