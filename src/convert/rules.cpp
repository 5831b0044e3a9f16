#include "convert/rules.h"

#include <boost/format.hpp>
#include <boost/regex.hpp>

#include "convert/pattern_facts.h"

namespace glyphary {

std::shared_ptr<const boost::wregex> CompilePattern(std::wstring_view pattern) {
    if (HangsTheRegexCompiler(pattern))
        throw RuleError(RuleError::Kind::illFormed, kHangingPatternMessage);
    try {
        return std::make_shared<const boost::wregex>(pattern.begin(), pattern.end(),
                                                     boost::regex_constants::normal);
    } catch (const boost::regex_error& e) {
        throw RuleError(RuleError::Kind::illFormed, e.what());
    }
}

std::wstring FormatOne(const std::wstring& format, std::wstring_view argument) {
    try {
        boost::wformat f(format);
        f.exceptions(boost::io::all_error_bits ^ boost::io::too_many_args_bit);
        f % std::wstring(argument);
        return f.str();
    } catch (const boost::io::format_error& e) {
        throw RuleError(RuleError::Kind::illFormed, e.what());
    }
}

}  // namespace glyphary
