"""Builds the Python package glyphary with the project's own CMake build (see pyproject.toml).

The extension is built for the interpreter that runs this (GLYPHARY_PYTHON), and the wheel's
package gets, beside it, what `cmake --install --component runtime` installs: the platform
library in glyphary/lib and the module with its data in glyphary/lib/glyphary, where the
extension looks for them by relative paths.

GLYPHARY_CMAKE_BUILD_DIR names a build tree of the project to take the compiled pieces from
instead of configuring one in build/pip; it must have been configured for an interpreter of
this one's ABI, which is checked.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent
GIVEN_BUILD = os.environ.get("GLYPHARY_CMAKE_BUILD_DIR")
# setuptools' own files go there too, not into the source tree.
BUILD_BASE = Path(GIVEN_BUILD or SOURCE / "build").resolve() / "pip"
# What a build is for: an extension built for one interpreter loads in another with the same.
ABI_PROBE = (
    "import json, sys, sysconfig; print(json.dumps([sys.implementation.cache_tag, "
    "sysconfig.get_config_var('EXT_SUFFIX'), sysconfig.get_paths()['include']]))"
)


def project_version():
    """The one version of the project: project(... VERSION x.y.z) in CMakeLists.txt."""
    text = (SOURCE / "CMakeLists.txt").read_text()
    match = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9.]+)", text, re.MULTILINE)
    if not match:
        sys.exit("setup.py: no project(... VERSION ...) in CMakeLists.txt")
    return match.group(1)


def cached(build, name):
    """A variable of the CMake cache in `build`, or None."""
    cache = build / "CMakeCache.txt"
    if not cache.is_file():
        return None
    match = re.search(r"^%s:[A-Z]+=(.*)$" % re.escape(name), cache.read_text(), re.MULTILINE)
    return match.group(1) if match else None


def run(*args):
    print(" ".join(str(a) for a in args), flush=True)
    subprocess.run([str(a) for a in args], check=True)


class CMakeBuild(build_ext):
    """build_ext by CMake: builds the extension target and copies it with the runtime."""

    def build_extension(self, ext):
        if GIVEN_BUILD:
            build = Path(GIVEN_BUILD).resolve()
            self.check_interpreter(build)
        else:
            import pybind11  # Debian: python3-pybind11

            build = BUILD_BASE / "cmake"
            run(
                "cmake", "-S", SOURCE, "-B", build, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                "-DGLYPHARY_PYTHON=" + sys.executable,
                "-Dpybind11_DIR=" + pybind11.get_cmake_dir(),
                "-DGLYPHARY_BUILD_PYTHON=ON",
                "-DGLYPHARY_BUILD_TESTS=OFF",
                "-DGLYPHARY_BUILD_BENCH=OFF",
            )  # fmt: skip
        run("cmake", "--build", build, "--target", "glyphary-python-wheel")

        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        built = build / "python-wheel" / ("_glyphary" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.is_file():
            sys.exit("setup.py: the build made no %s" % built)
        shutil.copyfile(built, target)

        staging = Path(self.build_temp) / "runtime"
        shutil.rmtree(staging, ignore_errors=True)
        run("cmake", "--install", build, "--prefix", staging, "--component", "runtime")
        self.copy_runtime(staging, target.parent / "lib")

    @staticmethod
    def check_interpreter(build):
        built_for = cached(build, "GLYPHARY_PYTHON")
        if not built_for or cached(build, "GLYPHARY_BUILD_PYTHON") != "ON":
            sys.exit("setup.py: %s is no build of the project with its Python package" % build)
        theirs = subprocess.run([built_for, "-c", ABI_PROBE], capture_output=True, text=True)
        ours = subprocess.run([sys.executable, "-c", ABI_PROBE], capture_output=True, text=True)
        if theirs.returncode or json.loads(theirs.stdout) != json.loads(ours.stdout):
            sys.exit(
                "setup.py: %s was configured for %s, not for an interpreter like %s; "
                "build without GLYPHARY_CMAKE_BUILD_DIR" % (build, built_for, sys.executable)
            )

    @staticmethod
    def copy_runtime(staging, lib):
        """Copies the module's directory and the platform library (one file, under the name
        the loader asks for: wheels keep no symbolic links) from the staged lib directory."""
        modules = list(staging.rglob("glyphary.so"))
        if len(modules) != 1:
            sys.exit("setup.py: the runtime component installed %d modules" % len(modules))
        module_dir = modules[0].parent
        shutil.rmtree(lib, ignore_errors=True)
        shutil.copytree(module_dir, lib / "glyphary")
        platform = [p for p in module_dir.parent.glob("libglyphary-platform.so.*") if p.is_symlink()]
        if len(platform) != 1:
            sys.exit("setup.py: expected one libglyphary-platform.so.N link, found %s" % platform)
        shutil.copyfile(platform[0].resolve(), lib / platform[0].name)


setup(
    version=project_version(),
    ext_modules=[Extension("glyphary._glyphary", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(BUILD_BASE)}, "egg_info": {"egg_base": str(BUILD_BASE)}},
)
