# Cross-compiling the Windows x86 (32-bit) module with Debian's mingw-w64, for the hosts that
# cannot load a 64-bit DLL.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(GLYPHARY_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
