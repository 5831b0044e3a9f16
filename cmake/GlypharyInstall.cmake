# Installation: what `cmake --install` puts where, in one place.
#
#   bin/glyphary                        the command-line program
#   lib/libglyphary-platform.so*        the platform library clients link
#   lib/glyphary/glyphary.so            the module, with Glyphary.setting, the map files and
#                                       the licences of their sources
#   include/glyphary/com/iglyphary.h    the interface
#   include/glyphary/platform/*.h       the platform API a client needs
#   lib/cmake/Glyphary/                 find_package(Glyphary): Glyphary::platform,
#                                       Glyphary::module, Glyphary::glyphary
#   lib/pkgconfig/glyphary.pc           pkg-config --cflags --libs glyphary
#   lib/python3/dist-packages/glyphary/ the Python package (import glyphary)
#
# Components: "runtime" (the platform library and the module with its data: what every client
# needs), "program", "development" (headers, CMake and pkg-config files), "python". setup.py
# installs "runtime" alone and puts its lib/ inside the wheel's package.
include(CMakePackageConfigHelpers)

set(GLYPHARY_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Glyphary)
set(GLYPHARY_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/glyphary)

# The platform library. Clients include "com/iglyphary.h" and "platform/..." as the sources do.
set_target_properties(glyphary-platform PROPERTIES EXPORT_NAME platform)
install(TARGETS glyphary-platform EXPORT GlypharyTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    INCLUDES DESTINATION ${GLYPHARY_INSTALL_HEADERDIR})

# The public headers: the interface, and the platform headers it and a client's calls need
# (win.h, the owners and the text helpers, registry transactions, with everything they include
# in turn).
function(glyphary_platform_headers out)
    set(pending win.h owners.h olestr.h ${ARGN})
    set(found)
    while(pending)
        list(POP_FRONT pending header)
        if(header IN_LIST found OR NOT EXISTS ${PROJECT_SOURCE_DIR}/src/platform/${header})
            continue()
        endif()
        list(APPEND found ${header})
        file(STRINGS ${PROJECT_SOURCE_DIR}/src/platform/${header} includes
            REGEX "^#include \"platform/[^\"]+\"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"platform/([^\"]+)\".*" "\\1" included "${line}")
            list(APPEND pending ${included})
        endforeach()
    endwhile()
    list(TRANSFORM found PREPEND ${PROJECT_SOURCE_DIR}/src/platform/)
    set(${out} ${found} PARENT_SCOPE)
endfunction()
glyphary_platform_headers(platform_headers registry.h)
install(FILES ${platform_headers} DESTINATION ${GLYPHARY_INSTALL_HEADERDIR}/platform
    COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/src/com/iglyphary.h
    DESTINATION ${GLYPHARY_INSTALL_HEADERDIR}/com COMPONENT development)

# The module and its sample configuration, side by side as the module expects them. It finds
# the platform library one directory up.
if(TARGET glyphary)
    file(RELATIVE_PATH module_to_lib
        ${CMAKE_INSTALL_PREFIX}/${GLYPHARY_INSTALL_MODULEDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(glyphary PROPERTIES
        EXPORT_NAME module
        INSTALL_RPATH "$ORIGIN/${module_to_lib}")
    install(TARGETS glyphary EXPORT GlypharyTargets
        LIBRARY DESTINATION ${GLYPHARY_INSTALL_MODULEDIR} COMPONENT runtime)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/ DESTINATION ${GLYPHARY_INSTALL_MODULEDIR}
    COMPONENT runtime FILES_MATCHING PATTERN "*.setting" PATTERN "*.map" PATTERN "sources" EXCLUDE)
# The licences of the sources the maps come from, as data/CMakeLists.txt names them.
foreach(licence emoji4unicode/LICENSE emoji4unicode/NOTICE emoji-datasource/LICENSE)
    string(REGEX REPLACE "^(.*)/(.*)$" "\\2.\\1" name ${licence})
    install(FILES ${PROJECT_SOURCE_DIR}/data/sources/${licence}
        DESTINATION ${GLYPHARY_INSTALL_MODULEDIR} RENAME ${name} COMPONENT runtime)
endforeach()

# The program.
set_target_properties(glyphary-cli PROPERTIES EXPORT_NAME glyphary)
install(TARGETS glyphary-cli EXPORT GlypharyTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

# The Python package: the extension and the pure-Python files side by side. The extension
# finds the module (lib/glyphary) and the platform library (lib) relative to itself.
if(TARGET glyphary-python)
    install(TARGETS glyphary-python
        LIBRARY DESTINATION ${GLYPHARY_INSTALL_PYTHONDIR}/glyphary COMPONENT python)
    list(TRANSFORM GLYPHARY_PYTHON_FILES PREPEND ${PROJECT_SOURCE_DIR}/python/glyphary/
        OUTPUT_VARIABLE python_files)
    install(FILES ${python_files} DESTINATION ${GLYPHARY_INSTALL_PYTHONDIR}/glyphary
        COMPONENT python)
endif()

# find_package(Glyphary)
install(EXPORT GlypharyTargets NAMESPACE Glyphary:: DESTINATION ${GLYPHARY_INSTALL_CMAKEDIR}
    COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/GlypharyConfig.cmake.in
    ${PROJECT_BINARY_DIR}/GlypharyConfig.cmake
    INSTALL_DESTINATION ${GLYPHARY_INSTALL_CMAKEDIR}
    PATH_VARS GLYPHARY_INSTALL_MODULEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/GlypharyConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/GlypharyConfig.cmake
    ${PROJECT_BINARY_DIR}/GlypharyConfigVersion.cmake
    DESTINATION ${GLYPHARY_INSTALL_CMAKEDIR} COMPONENT development)

# pkg-config glyphary
file(RELATIVE_PATH GLYPHARY_PC_TO_PREFIX
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/glyphary.pc.in ${PROJECT_BINARY_DIR}/glyphary.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/glyphary.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
