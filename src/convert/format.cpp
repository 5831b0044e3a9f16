#include "convert/format.h"

#include "convert/errors.h"
#include "convert/rules.h"

namespace glyphary {

std::wstring ApplyFormat(const std::wstring& format, std::wstring_view argument,
                         std::wstring_view property) {
    try {
        return FormatOne(format, argument);
    } catch (const RuleError& e) {
        std::wstring description(property);
        description += L": ";
        description += WidenMessage(e.what());
        throw ConversionError(E_INVALIDARG, std::move(description));
    }
}

}  // namespace glyphary
