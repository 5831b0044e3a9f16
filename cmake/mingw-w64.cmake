# Cross-compiling the Windows module with Debian's mingw-w64; included by the toolchain file
# of each target (mingw-w64-x86_64.cmake, mingw-w64-i686.cmake), which sets
# CMAKE_SYSTEM_PROCESSOR and GLYPHARY_MINGW_TRIPLE first.
# The POSIX-threads compiler variant: the module uses std::mutex and std::call_once, which
# GCC 12's win32 thread model lacks. Its runtime (winpthread) is linked statically with
# libstdc++ and libgcc, so the DLL needs nothing beside it but system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${GLYPHARY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GLYPHARY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${GLYPHARY_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${GLYPHARY_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${GLYPHARY_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Headers and libraries of the target only: never the build machine's /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${GLYPHARY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
