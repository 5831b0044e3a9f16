// typeinfo-dump PATH: prints the canonical dump of the type library in the file at PATH (a
// module holding a type library resource, or a type library file).
#include <cstdio>
#include <string>

#include "platform/owners.h"
#include "typeinfo-dump/dump.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: typeinfo-dump PATH\n");
        return 2;
    }
    // Paths are taken as ASCII/UTF-8 bytes widened unit for unit; enough for build paths.
    std::basic_string<OLECHAR> path;
    for (const char* p = argv[1]; *p; ++p)
        path += static_cast<OLECHAR>(static_cast<unsigned char>(*p));
    glyphary::com_ptr<ITypeLib> lib;
    const HRESULT hr = LoadTypeLib(path.c_str(), lib.put());
    if (FAILED(hr)) {
        std::fprintf(stderr, "typeinfo-dump: cannot load a type library from %s (0x%08lX)\n",
                     argv[1], static_cast<unsigned long>(static_cast<ULONG>(hr)));
        return 1;
    }
    std::fputs(glyphary::DumpTypeLib(lib.get()).c_str(), stdout);
    return 0;
}
