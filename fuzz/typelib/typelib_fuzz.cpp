// LoadTypeLib's reading of a file: the ELF resource lookup and the description parser, on
// arbitrary bytes. Either yields a library or throws; nothing else may happen.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "platform/typelib_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace glyphary::platform;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        const std::string text = IsElfFile(bytes) ? ReadModuleResource(bytes, "TYPELIB", 1) : bytes;
        const auto lib = ParseTypeLibrary(text);
        // Every reference the description holds resolves or is refused, never read astray.
        for (const TypeModel& type : lib->types)
            for (const ImplModel& impl : type.impls) (void)lib->Resolve(impl.ref);
    } catch (const std::exception&) {
    }
    return 0;
}
