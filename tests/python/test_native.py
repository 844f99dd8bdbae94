"""Native unit tests of the reference owner and error capture."""

import subprocess

from native import build


def test_py_ref_and_error_capture(tmp_path):
    program = build(tmp_path, "py_ref_test", ["tests/native/py_ref_test.cpp"], embed_python=True)
    result = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
