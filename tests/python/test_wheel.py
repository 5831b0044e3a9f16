"""The package as pip users get it: a wheel built by setup.py (from the compiled pieces of this
build, GLYPHARY_CMAKE_BUILD_DIR, after setup.py has checked that they are for this
interpreter), installed into a fresh venv and used there with nothing from the build tree."""

import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import DATA, SOURCE, own_emoji

VERSION = re.search(r"project\(\w+ VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())[1]


def clean_environment():
    """The environment minus what points into the build tree."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "GLYPHARY_MODULE")}


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q", "-w", out, SOURCE],
        check=True,
        env=dict(clean_environment(), GLYPHARY_CMAKE_BUILD_DIR=os.environ["GLYPHARY_CMAKE_BUILD_DIR"]),
    )
    (found,) = out.glob("glyphary-%s-*.whl" % VERSION)
    return found


def test_the_wheel_carries_the_module_the_platform_library_and_the_sample_data(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    data = {"Glyphary.setting", *(p.name for p in DATA.glob("*.map"))}
    licences = {"LICENSE.emoji4unicode", "NOTICE.emoji4unicode", "LICENSE.emoji-datasource"}
    expected = {"glyphary/lib/glyphary/" + name for name in data | licences | {"glyphary.so"}}
    expected |= {"glyphary/lib/libglyphary-platform.so.0", "glyphary/__init__.py", "glyphary/wsgi.py"}
    assert expected <= names, expected - names
    assert sum(name.startswith("glyphary/lib/libglyphary-platform") for name in names) == 1


def test_the_wheel_installs_into_a_fresh_venv_and_converts_there(wheel, tmp_path):
    venv = tmp_path / "venv"
    # Debian's pip and Werkzeug come from the system's site-packages.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv], check=True)
    python = venv / "bin" / "python"
    subprocess.run(
        [python, "-m", "pip", "install", "-q", "--no-index", "%s[wsgi]" % wheel], check=True, env=clean_environment()
    )
    script = (
        "import importlib.metadata, glyphary, glyphary.wsgi\n"
        "g = glyphary.Glyphary('imode')\n"
        "print(importlib.metadata.version('glyphary'), glyphary.__version__)\n"
        "print(g.module_path)\n"
        "print(g.localize(':sunny:').encode('unicode-escape').decode())\n"
    )
    out = subprocess.run(
        [python, "-c", script], cwd=tmp_path, env=clean_environment(), capture_output=True, text=True, check=True
    ).stdout.splitlines()
    assert out[0] == "%s %s" % (VERSION, VERSION)
    site = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"], capture_output=True, text=True
    ).stdout.strip()
    assert out[1] == str(Path(site) / "glyphary" / "lib" / "glyphary" / "glyphary.so")
    assert out[2] == own_emoji("imode")["sunny"][0].encode("unicode-escape").decode()


def test_another_interpreter_is_told_what_the_package_was_built_for(tmp_path):
    # The package as a Python of another version finds it: an extension with another suffix.
    package = tmp_path / "glyphary"
    shutil.copytree(SOURCE / "python" / "glyphary", package)
    (package / "_glyphary.cpython-399-x86_64-linux-gnu.so").write_bytes(b"")
    failed = subprocess.run(
        [sys.executable, "-c", "import glyphary"], cwd=tmp_path, env=clean_environment(), capture_output=True, text=True
    )
    assert failed.returncode != 0
    last = failed.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: glyphary's extension was built for another Python")
    assert "_glyphary.cpython-399-x86_64-linux-gnu.so" in last and sys.executable in last


def test_a_build_for_another_interpreter_is_not_taken(tmp_path):
    # A build tree whose interpreter reports another ABI than the one running setup.py.
    other = tmp_path / "python"
    other.write_text('#!/bin/sh\necho \'["cpython-399", ".cpython-399-x86_64-linux-gnu.so", "/x"]\'\n')
    other.chmod(0o755)
    (tmp_path / "CMakeCache.txt").write_text(
        "GLYPHARY_PYTHON:FILEPATH=%s\nGLYPHARY_BUILD_PYTHON:BOOL=ON\n" % other
    )
    failed = subprocess.run(
        [sys.executable, SOURCE / "setup.py", "-q", "build_ext"],
        cwd=SOURCE,
        env=dict(clean_environment(), GLYPHARY_CMAKE_BUILD_DIR=str(tmp_path)),
        capture_output=True,
        text=True,
    )
    assert failed.returncode != 0
    assert "%s was configured for %s, not for an interpreter like" % (tmp_path, other) in failed.stderr
