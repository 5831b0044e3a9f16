# cmake -DINPUT=description -DOUTPUT=source.cpp -P embed_typelib.cmake
# Makes the type library description the module's resource "TYPELIB" 1: a section that
# LoadTypeLib reads from the file, without running the module.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT}
"// Generated from ${INPUT}: the module's type library resource.
__attribute__((section(\".rsrc.TYPELIB.1\"), used))
static const unsigned char kTypeLibrary[] = {${bytes}0};
")
