#include "text/unicode.h"

#include <cstdio>

namespace glyphary::text {

void AppendShowingCodes(std::u16string_view text, std::u16string& out) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    size_t copied = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u < 0xE000 || u > 0xF8FF) continue;
        out.append(text.substr(copied, i - copied));
        out +=
            {u'U', u'+', kHex[u >> 12], kHex[(u >> 8) & 0xF], kHex[(u >> 4) & 0xF], kHex[u & 0xF]};
        copied = i + 1;
    }
    out.append(text.substr(copied));
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

}  // namespace glyphary::text
