"""Builds small native test programs with the C++ compiler the extension uses."""

import os
import pathlib
import shlex
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def compiler() -> list[str]:
    cxx = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++"
    argv = shlex.split(cxx)
    if shutil.which(argv[0]) is None:
        pytest.skip(f"no C++ compiler ({argv[0]}) to build native tests")
    return argv


def build(tmp_path: pathlib.Path, name: str, sources: list[str], embed_python: bool = False,
          extra: list[str] | None = None):
    """Compiles `sources` (paths relative to the repository) into tmp_path/name,
    with `extra` compiler options (\"-shared\" for a library)."""
    out = tmp_path / name
    cmd = compiler() + ["-std=c++20", "-O1", "-Wall", "-Wextra", "-ffp-contract=off",
                        "-I", str(ROOT / "src")]
    cmd += [str(ROOT / s) for s in sources]
    if embed_python:
        libdir = sysconfig.get_config_var("LIBDIR")
        if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
            pytest.skip("this interpreter has no shared libpython to embed")
        cmd += ["-I", sysconfig.get_paths()["include"], "-L", libdir,
                f"-Wl,-rpath,{libdir}", f"-lpython{sysconfig.get_config_var('LDVERSION')}"]
    cmd += (extra or []) + ["-o", str(out), "-lm", "-pthread"]
    result = subprocess.run(cmd, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return out
