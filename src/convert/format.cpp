#include "convert/format.h"

#include <boost/format.hpp>

#include "convert/errors.h"

namespace glyphary {

std::wstring ApplyFormat(const std::wstring& format, std::wstring_view argument,
                         std::wstring_view property) {
    try {
        boost::wformat f(format);
        f.exceptions(boost::io::all_error_bits ^ boost::io::too_many_args_bit);
        f % std::wstring(argument);
        return f.str();
    } catch (const boost::io::format_error& e) {
        std::wstring description(property);
        description += L": ";
        description += WidenMessage(e.what());
        throw ConversionError(E_INVALIDARG, std::move(description));
    }
}

}  // namespace glyphary
