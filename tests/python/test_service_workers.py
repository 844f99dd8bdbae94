"""The service as ``python -m velkora.service`` with several uvicorn workers: metrics add
up across workers, and a server without a store says loudly that state is per worker.

These start server processes, which need the uninstrumented build, so they run with the
browser tests (marker ``browser``) rather than in the sanitizer pass."""

import subprocess
import sys
import time

import httpx
import pytest
from service_server import clean_env, serve_process, wait_healthy
from stores import free_port

pytestmark = pytest.mark.browser
SECRET = "workers-test-signing-secret-0123"


def metric(text: str, name: str) -> float:
    return sum(float(line.split()[-1]) for line in text.splitlines() if line.startswith(name))


def test_metrics_add_up_across_workers() -> None:
    with serve_process({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}"}, workers=2) as base:
        for _ in range(30):
            # A new connection each time, so that both workers take requests.
            with httpx.Client(base_url=base, timeout=10.0) as c:
                assert c.get("/v1/challenge").status_code == 200
                c.post("/v1/assess", json={"nonce": "v1.x.y.z", "telemetry": {}})
        text = httpx.get(base + "/metrics", timeout=10.0).text
    assert metric(text, "velkora_challenges_total") == 30
    assert metric(text, 'velkora_refusals_total{code="nonce-malformed"}') == 30


def _start_stderr(env: dict[str, str]) -> bytes:
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "velkora.service", "--port", str(port), "--workers", "2", "--log-level", "warning"],
        env=clean_env(env), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    try:
        wait_healthy(f"http://127.0.0.1:{port}", process=process)
    finally:
        process.terminate()
        _, err = process.communicate(timeout=20)
    return err


def test_several_workers_without_a_store_warn_loudly() -> None:
    err = _start_stderr({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}"})
    assert b"replay cache and bans" in err and b"VELKORA_REDIS_URL" in err
    # Without keys to share either, the workers could not verify each other's tokens.
    err = _start_stderr({})
    assert b"one worker is started" in err and b"replay cache" not in err


def test_production_mode_refuses_to_start_without_keys() -> None:
    port = free_port()
    started = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-m", "velkora.service", "--port", str(port), "--log-level", "warning"],
        env=clean_env({"VELKORA_MODE": "production"}), capture_output=True, timeout=60,
    )
    assert result.returncode != 0
    assert b"VELKORA_SIGNING_KEYS" in result.stderr + result.stdout
    assert time.monotonic() - started < 60
