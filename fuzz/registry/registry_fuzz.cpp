// The registry file reader on hostile input: it must refuse or accept, never crash, and what
// it accepts must write out and read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace reg = glyphary::platform::registry;
    const auto parsed = reg::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    const std::string text = reg::Serialize(*parsed);
    const auto again = reg::Parse(text);
    if (!again || reg::Serialize(*again) != text) std::abort();
    return 0;
}
