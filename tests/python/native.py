"""The native test programs of a source build, and the small libraries that tests
compile for themselves."""

import os
import pathlib
import shlex
import shutil
import subprocess
import sysconfig

import pytest


def program(name: str) -> pathlib.Path:
    """The driver NAME that CMake built beside the extension (VELKORA_NATIVE_TESTS=ON);
    `make test` names that build directory in VELKORA_NATIVE_BUILD."""
    build = os.environ.get("VELKORA_NATIVE_BUILD")
    if not build:
        pytest.skip("the native drivers come with a source build (VELKORA_NATIVE_BUILD unset)")
    path = pathlib.Path(build) / name
    assert path.is_file(), f"{path} was not built: configure with VELKORA_NATIVE_TESTS=ON"
    return path


def shared_library(tmp_path: pathlib.Path, name: str, source: pathlib.Path,
                   libraries: tuple[str, ...] = ()) -> pathlib.Path:
    """Compiles the one-file library `source` into tmp_path/name: the small libraries a
    test loads beside the module (LD_PRELOAD, ctypes). They are written by the tests
    themselves and also run against an installed wheel, where there is no CMake build
    to take them from."""
    out = tmp_path / name
    cmd = [*compiler(), "-std=c++20", "-O1", "-Wall", "-Wextra", "-shared", "-fPIC",
           str(source), "-o", str(out), *(f"-l{lib}" for lib in libraries)]
    result = subprocess.run(cmd, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return out


def compiler() -> list[str]:
    """The C++ compiler the extension was built with."""
    cxx = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++"
    argv = shlex.split(cxx)
    if shutil.which(argv[0]) is None:
        pytest.skip(f"no C++ compiler ({argv[0]}) to build native tests")
    return argv
