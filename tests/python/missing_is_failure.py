"""The hook that turns a skip for something missing into a failure under VELKORA_CI=1,
shared by the conftest of every test folder."""

import os

import pytest

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
