# Compiler settings shared by every target of ours.

# Warnings are errors in the project's own scripts and CI (GLYPHARY_WERROR=ON), where each
# one is met and silenced at its place; a user's build only shows them, so that a newer
# compiler's new warning never stops it.
option(GLYPHARY_WERROR "Treat warnings in Glyphary's own code as errors" OFF)
# OFF leaves the C++ test programs out of the default build and CTest, keeping the Python and
# install tests: CI's Release stage builds the product at -O3 but runs the C++ suites only in
# the normal and sanitizer builds, where they already ran.
option(GLYPHARY_BUILD_CXX_TESTS "Build and register the C++ test programs" ON)
add_library(glyphary_warnings INTERFACE)
target_compile_options(glyphary_warnings INTERFACE -Wall -Wextra $<$<BOOL:${GLYPHARY_WERROR}>:-Werror>)

# GCC vectorises at -O2 only loops whose trip count needs no scalar remainder; the text loops
# (widening UTF-16 units, scanning for carrier codes) are worth vectorising in full.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-fvect-cost-model=dynamic)
endif()

if(GLYPHARY_SANITIZE STREQUAL "address")
    # -O1, as the sanitizers' own documentation advises: a fifth less compile time than -O2
    # and clearer reports, for tests that run about as fast.
    add_compile_options(-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    # GCC's flow analysis sees through the sanitizer's instrumentation badly and warns of
    # uninitialised values that are not (in std::function and gtest macros among others);
    # the normal build keeps the warning.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
elseif(GLYPHARY_SANITIZE STREQUAL "thread")
    add_compile_options(-O1 -fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(GLYPHARY_SANITIZE)
    message(FATAL_ERROR "GLYPHARY_SANITIZE must be empty, address or thread")
endif()

# glyphary_add_test(NAME SOURCES... [LIBS libs...] [LABEL label])
# One GoogleTest executable, registered with CTest test by test. LABEL "threads" marks the
# tests that CI also runs under ThreadSanitizer.
function(glyphary_add_test name)
    cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE glyphary_warnings GTest::gtest GTest::gmock GTest::gtest_main ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    if(NOT GLYPHARY_BUILD_CXX_TESTS)
        set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
        return()
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABEL}")
    # `threads-tests` builds just these, for the ThreadSanitizer run.
    if(ARG_LABEL STREQUAL "threads")
        if(NOT TARGET threads-tests)
            add_custom_target(threads-tests)
        endif()
        add_dependencies(threads-tests ${name})
    endif()
endfunction()

# glyphary_client_paths(TARGET BUILT_DIR INSTALLED_DIR)
# A client of the module whose file lies in BUILT_DIR in the build tree and in INSTALLED_DIR
# (absolute) once installed finds the module relative to its own file: first where an
# installation puts it, then where the build tree does; and the project's shared libraries
# once installed.
function(glyphary_client_paths target built_dir installed_dir)
    file(RELATIVE_PATH built_module_dir ${built_dir} ${GLYPHARY_MODULE_DIR})
    file(RELATIVE_PATH installed_module_dir
        ${installed_dir} ${CMAKE_INSTALL_PREFIX}/${GLYPHARY_INSTALL_MODULEDIR})
    file(RELATIVE_PATH installed_lib_dir ${installed_dir} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${installed_lib_dir}")
    target_compile_definitions(${target} PRIVATE
        GLYPHARY_VERSION="${PROJECT_VERSION}"
        GLYPHARY_BUILT_MODULE_DIR="${built_module_dir}"
        GLYPHARY_INSTALLED_MODULE_DIR="${installed_module_dir}")
endfunction()
