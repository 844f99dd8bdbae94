"""The reference service on a real loopback port for the tests.

- ``serve_in_thread(settings)``: uvicorn in a thread of the test process, so that the
  native calls the service makes run under whatever the test run is (the sanitizers
  included).
- ``serve_process(env, workers)``: ``python -m velkora.service`` as a child process, with
  the sanitizer preload and its options removed from its environment (the browser and
  multi-worker tests, which the sanitizer pass leaves out).
"""

import contextlib
import os
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import httpx
from stores import free_port

SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def wait_healthy(base: str, deadline_sec: float = 20.0, process: subprocess.Popen[bytes] | None = None,
                 path: str = "/healthz") -> None:
    end = time.monotonic() + deadline_sec
    while time.monotonic() < end:
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"the service exited with status {process.returncode}")
        try:
            if httpx.get(base + path, timeout=1.0).status_code == 200:
                return
        except httpx.TransportError:
            pass
        time.sleep(0.05)
    raise TimeoutError(f"{base} did not become healthy")


@contextlib.contextmanager
def serve_in_thread(settings: object) -> Iterator[str]:
    from velkora.service import create_app

    with serve_app_in_thread(create_app(settings)) as base:  # type: ignore[arg-type]
        yield base


@contextlib.contextmanager
def serve_app_in_thread(app: object, health: str = "/healthz") -> Iterator[str]:
    """Any ASGI APP under uvicorn in a thread (its lifespan run), once HEALTH answers 200."""
    import uvicorn
    from velkora.service.server import protocol

    port = free_port()
    # h11 with the service's header deadline, as the launcher runs it without httptools
    # (the launcher's own tests cover both parsers).
    config = uvicorn.Config(
        app,  # type: ignore[arg-type]
        host="127.0.0.1", port=port, proxy_headers=False, log_level="warning", lifespan="on",
        http=protocol(10.0, "h11"),
    )
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    base = f"http://127.0.0.1:{port}"
    try:
        wait_healthy(base, path=health)
        yield base
    finally:
        server.should_exit = True
        thread.join(timeout=10)


def clean_env(extra: dict[str, str]) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES and not k.startswith("VELKORA_")}
    env.pop("PROMETHEUS_MULTIPROC_DIR", None)
    env.update(extra)
    return env


@contextlib.contextmanager
def serve_process(extra_env: dict[str, str], workers: int = 1, log: Path | None = None) -> Iterator[str]:
    port = free_port()
    out = open(log, "wb") if log else subprocess.DEVNULL  # noqa: SIM115
    process = subprocess.Popen(
        [sys.executable, "-m", "velkora.service", "--port", str(port), "--workers", str(workers),
         "--log-level", "warning"],
        env=clean_env(extra_env), stdout=out, stderr=subprocess.STDOUT if log else subprocess.DEVNULL,
    )
    base = f"http://127.0.0.1:{port}"
    try:
        wait_healthy(base, process=process)
        yield base
    finally:
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)
        if log:
            out.close()  # type: ignore[union-attr]
