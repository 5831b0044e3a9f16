// The configuration loaders on arbitrary files: the input is written as a settings file, a
// code map and a mail map in a temporary directory (the settings may name the other two, or
// themselves), and all three loaders read them. Nothing may crash, leak or hang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/files.h"
#include "support/tables.h"
#include "tables/loaders.h"

namespace {

struct Workspace {
    glyphary::testing::TempDir dir;
    std::u16string settings, codeMap, mailMap;

    Workspace() {
        CoInitializeEx(nullptr, 0);
        settings = glyphary::testing::Utf16Path(dir.path() / "Glyphary.setting");
        codeMap = glyphary::testing::Utf16Path(dir.path() / "code.map");
        mailMap = glyphary::testing::Utf16Path(dir.path() / "mail.map");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Workspace workspace;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const char* name : {"Glyphary.setting", "code.map", "mail.map"}) {
        workspace.dir.Write(name, input);
    }
    glyphary::testing::ResetTables();
    glyphary::LoadSettingFile(workspace.settings.c_str());
    glyphary::LoadCodeMapFile(1, workspace.codeMap.c_str());
    glyphary::LoadEzwebMailMapFile(workspace.mailMap.c_str());
    glyphary::testing::ResetTables();
    return 0;
}
