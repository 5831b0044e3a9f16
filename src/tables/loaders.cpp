// Placeholder until the XML loaders land: a configuration that cannot be read, which the
// module treats as "no settings file" (S_FALSE).
#include "tables/loaders.h"

namespace glyphary {

HRESULT LoadSettingFile(LPCWSTR) {
    return S_FALSE;
}
HRESULT LoadCodeMapFile(int32_t, LPCWSTR) {
    return S_FALSE;
}
HRESULT LoadEzwebMailMapFile(LPCWSTR) {
    return S_FALSE;
}

}  // namespace glyphary
