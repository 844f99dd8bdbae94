import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# The generator (detection/) sits at the repository's root; the helpers of the main suite
# (missing programs, the service and browser harness) in tests/python.
sys.path[:0] = [str(ROOT), str(ROOT / "tests" / "python")]

# Under VELKORA_CI=1 a skip for a missing program or package fails the test.
from missing_is_failure import pytest_runtest_makereport  # noqa: E402,F401


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        item.add_marker(pytest.mark.detection)


@pytest.fixture(scope="session")
def detection_python() -> str:
    """The interpreter of the venv that holds the adversaries' packages (make test-detection
    names it in VELKORA_DETECTION_PYTHON)."""
    path = os.environ.get("VELKORA_DETECTION_PYTHON", str(ROOT / ".venv-detection" / "bin" / "python"))
    if not os.access(path, os.X_OK):
        pytest.skip(f"missing: the detection venv's interpreter {path} (make test-detection creates it)")
    return path
