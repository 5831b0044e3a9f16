#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds a small client against the installed
# tree, once with find_package(Glyphary) and once with pkg-config, and runs the installed
# program: every piece must work from the installed tree alone.
#   install_test.sh BUILD_DIR SOURCE_DIR CXX "CXX_FLAGS" MODE TEXT   (MODE: a map mode number)
set -euo pipefail
build=$1 source=$2 cxx=$3 flags=$4 mode=$5 text=$6

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/glyphary lib/libglyphary-platform.so lib/glyphary/glyphary.so \
         lib/glyphary/Glyphary.setting lib/glyphary/unicode.map lib/glyphary/unicode-in.map \
         lib/glyphary/LICENSE.emoji4unicode lib/glyphary/NOTICE.emoji4unicode \
         lib/glyphary/LICENSE.emoji-datasource include/glyphary/com/iglyphary.h \
         include/glyphary/platform/win.h include/glyphary/platform/owners.h \
         lib/cmake/Glyphary/GlypharyConfig.cmake lib/pkgconfig/glyphary.pc; do
    [ -e "$prefix/$f" ] || fail "missing $f"
done

# The installed program finds the installed module beside it, and its configuration.
info=$("$prefix/bin/glyphary" info)
grep -qF "Module     $prefix/lib/glyphary/glyphary.so (beside the program)" <<<"$info" ||
    fail "the installed program does not use the installed module: $info"
expected=$(printf '%s' "$text" | "$prefix/bin/glyphary" localize --carrier "$mode")
[ "$expected" != "$text" ] || fail "the sample configuration localizes nothing"

# A CMake project with find_package(Glyphary).
cmake -S "$source/tests/tools/client" -B "$tmp/cmake-client" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$tmp/cmake-client" >/dev/null
out=$("$tmp/cmake-client/glyphary-client" "$mode" "$text")
[ "$out" = "$expected"$'\n'"$expected" ] || fail "find_package client printed: $out"

# The same client with pkg-config.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
module=$(pkg-config --variable=module glyphary)
[ -f "$module" ] || fail "pkg-config names no module: $module"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags -DGLYPHARY_MODULE_FILE="\"$module\"" \
    "$source/tests/tools/client/client.cpp" $(pkg-config --cflags --libs glyphary) \
    -Wl,-rpath,"$(pkg-config --variable=libdir glyphary)" -o "$tmp/pc-client"
out=$("$tmp/pc-client" "$mode" "$text")
[ "$out" = "$expected"$'\n'"$expected" ] || fail "pkg-config client printed: $out"

# The Python package, when the build has it: it is installed, imports from the installed tree
# alone, finds the installed module and converts as the installed program does.
package=$prefix/lib/python3/dist-packages
if [ -d "$build/python/glyphary" ]; then
    [ -f "$package/glyphary/__init__.py" ] || fail "missing lib/python3/dist-packages/glyphary"
    python=${GLYPHARY_PYTHON:-/usr/bin/python3}
    out=$(cd "$tmp" && env -u GLYPHARY_MODULE PYTHONPATH="$package" "$python" -c '
import sys, glyphary
g = glyphary.Glyphary(int(sys.argv[1]))
print(g.module_path)
print(g.localize(sys.argv[2]))' "$mode" "$text") || fail "the installed Python package fails"
    [ "$out" = "$prefix/lib/glyphary/glyphary.so"$'\n'"$expected" ] ||
        fail "the installed Python package printed: $out"
fi

echo "install_test: installed tree, find_package and pkg-config clients all work"
