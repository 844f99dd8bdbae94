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


@pytest.fixture(scope="session")
def ci_set(detection_python: str, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The benchmark's ci set (matched.jsonl, collector.jsonl) and the model velkora train
    makes of its matched sessions (model.json), as make model does at full scale."""
    import subprocess

    import needs

    needs.package("sklearn")
    out = tmp_path_factory.mktemp("ci")
    build = [detection_python, "-m", "detection.build", "--scale", "ci", "--out", str(out)]
    subprocess.run(build, cwd=ROOT, check=True, timeout=300, capture_output=True)
    train = [sys.executable, "-m", "velkora", "train", str(out / "matched.jsonl"), "-o", str(out / "model.json"),
             "--bootstrap", "200", "-j", "2", "-q", "--licence", "test run: not for distribution"]
    done = subprocess.run(train, cwd=ROOT, timeout=600, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return out
