// A canonical text dump of a type library, taken through ITypeLib and ITypeInfo only, so the
// same code describes the Linux type library and the one Windows compiles from the IDL, and
// the two dumps can be compared line for line.
#pragma once

#include <string>

#include "platform/win.h"

namespace glyphary {

/// Every type description of `lib` with its members: names, kinds, GUIDs, type flags, slots,
/// dispatch ids, parameter types, directions and names. Names the compiler generates (those
/// beginning with two underscores) print as "(generated)". Failures print as "error 0x...".
std::string DumpTypeLib(ITypeLib* lib);

}  // namespace glyphary
