#include "client/carriers.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "client/errors.h"

namespace glyphary::client {

std::optional<EMapMode> ParseCarrier(std::string_view name) {
    struct Name {
        const char* name;
        long mode;
    };
    static constexpr Name names[] = {
        {"none", MPM_none},        {"imode", MPM_imode},       {"i-mode", MPM_imode},
        {"docomo", MPM_imode},     {"ezweb", MPM_ezweb},       {"au", MPM_ezweb},
        {"kddi", MPM_ezweb},       {"softbank", MPM_softbank}, {"vodafone", MPM_softbank},
        {"unicode", kUnicodeMode},
    };
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const Name& n : names)
        if (lower == n.name) return static_cast<EMapMode>(n.mode);
    if (lower.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(lower.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<EMapMode>(value);
}

std::string CarrierName(long mode) {
    if (mode == kUnicodeMode) return "unicode";
    if (mode == MPM_none || text::CarrierOfMode(mode) != text::Carrier::none)
        return text::CarrierName(text::CarrierOfMode(mode));
    return "mode " + std::to_string(mode);
}

text::Format TextFormat(text::Encoding encoding, EMapMode mode, bool references) {
    if (encoding == text::Encoding::sjis && mode == kUnicodeMode && !references)
        throw ClientError(
            "Shift_JIS cannot carry the standard emoji of the unicode table: use utf-8, or "
            "--ncr to write them as character references");
    return {encoding, text::CarrierOfMode(mode),
            references ? text::Forms(text::Form::references) : text::Forms()};
}

}  // namespace glyphary::client
