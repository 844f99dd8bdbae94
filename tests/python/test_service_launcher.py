"""``python -m velkora.service`` as an operator meets it: a bad setting is one line and
exit status 2, ``--help`` is plain text naming every option and setting, a missing extra
is named, the package's log lines keep their level and logger name in every worker, and
a flood of stalled sockets neither starves ``/healthz`` nor outlives the header deadline.

These start server processes (the uninstrumented build), so they run with the browser
tests (marker ``browser``) rather than in the sanitizer pass."""

import json
import logging
import resource
import socket
import subprocess
import sys
import time
from typing import Any

import httpx
import pytest
from service_server import clean_env, wait_healthy
from stores import free_port

pytestmark = pytest.mark.browser
SECRET = "launcher-test-signing-secret-0123"
ADMIN = "launcher-test-admin-token"


def launch(env: dict[str, str], *args: str, timeout: float = 60) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "velkora.service", *args], env=clean_env(env),
                          capture_output=True, timeout=timeout)


@pytest.mark.parametrize(("env", "needle"), [
    ({"VELKORA_SIGNING_KEYS": "k1:too-short"}, b"VELKORA_SIGNING_KEYS"),
    ({"VELKORA_MODE": "production"}, b"VELKORA_SIGNING_KEYS"),
    ({"VELKORA_ADMIN_TOKEN": "short"}, b"VELKORA_ADMIN_TOKEN"),
    ({"VELKORA_MAX_BODY": "lots"}, b"VELKORA_MAX_BODY"),
    ({"VELKORA_POLICY": "/no/such/policy.json"}, b"VELKORA_POLICY"),
])
def test_a_bad_setting_is_one_line_and_status_2(env: dict[str, str], needle: bytes) -> None:
    result = launch(env, "--port", str(free_port()), "--workers", "2")
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and needle in lines[0] and lines[0].startswith(b"velkora.service: "), result.stderr


def test_help_is_plain_text_with_every_option_and_setting() -> None:
    result = launch({}, "--help")
    assert result.returncode == 0
    text = result.stdout.decode()
    for needle in ("--host", "--port", "--workers", "--log-level", "VELKORA_SIGNING_KEYS", "VELKORA_API_KEYS",
                   "VELKORA_ADMIN_TOKEN", "VELKORA_REDIS_URL", "VELKORA_TRUSTED_PROXIES", "VELKORA_HEADER_TIMEOUT",
                   "VELKORA_BODY_TIMEOUT", "VELKORA_MAX_IN_FLIGHT", "VELKORA_CHALLENGE_RATE", "VELKORA_MODEL",
                   "VELKORA_REPORT_ONLY", "VELKORA_RECORD_DIR"):
        assert needle in text, needle
    assert "``" not in text and "(default: 127.0.0.1)" in text


def test_a_missing_extra_is_named() -> None:
    code = "import sys; sys.modules['starlette'] = None; import velkora.service"
    result = subprocess.run([sys.executable, "-c", code], env=clean_env({}), capture_output=True, timeout=60)
    assert result.returncode == 1
    assert b"pip install 'velkora_core_rs[service]'" in result.stderr.splitlines()[-1], result.stderr


@pytest.mark.parametrize("workers", [1, 2])
def test_log_lines_keep_level_and_name_in_every_worker(workers: int) -> None:
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "velkora.service", "--port", str(port), "--workers", str(workers),
         "--log-level", "info"],
        env=clean_env({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}", "VELKORA_ADMIN_TOKEN": ADMIN}),
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    base = f"http://127.0.0.1:{port}"
    try:
        wait_healthy(base, process=process)
        for i in range(4):  # fresh connections, so that more than one worker answers
            with httpx.Client(base_url=base, timeout=10.0) as c:
                r = c.post("/v1/bans", json={"ip": f"192.0.2.{70 + i}", "duration_sec": 60},
                           headers={"Authorization": f"Bearer {ADMIN}"})
                assert r.status_code == 201
    finally:
        process.terminate()
        _, err = process.communicate(timeout=30)
    text = err.decode()
    for i in range(4):
        assert f" INFO velkora.service: ban: 192.0.2.{70 + i} for 60 s" in text, text
    # Each worker's start-up warning, with its level and logger name.
    warnings = [line for line in text.splitlines()
                if " WARNING velkora.service: development mode without VELKORA_API_KEYS" in line]
    assert len(warnings) == workers, text


def test_repeated_warnings_are_rate_limited() -> None:
    from velkora.service.server import RateLimitFilter

    now = [0.0]
    limit = RateLimitFilter(period=10.0, clock=lambda: now[0])

    def record(msg: str, level: int = logging.WARNING) -> logging.LogRecord:
        return logging.LogRecord("asyncio", level, __file__, 1, msg, None, None)

    passed = [limit.filter(record("accept failed")) for _ in range(50)]
    assert passed == [True] + [False] * 49
    assert limit.filter(record("another kind")) and limit.filter(record("accept failed", logging.INFO))
    now[0] = 10.5
    again = record("accept failed")
    assert limit.filter(again) and "49 more like this" in again.getMessage()
    # Limited to warnings: each error (an app's fault with its traceback) still gets through.
    warnings_only = RateLimitFilter(period=10.0, clock=lambda: now[0], max_level=logging.WARNING)
    assert all(warnings_only.filter(record("Exception in ASGI application", logging.ERROR)) for _ in range(3))
    assert [warnings_only.filter(record("Invalid HTTP request")) for _ in range(3)] == [True, False, False]


STALLED = 1100
HEADER_TIMEOUT = 2


def _soft_limit_1024() -> None:
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


@pytest.mark.parametrize("http", ["h11", "httptools"])
def test_requests_that_are_not_valid_http_get_problem_documents(http: str) -> None:
    """Both length headers, or a control character in a header: refused by the edge (h11)
    or by the parser itself (httptools), either way as a problem document."""
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "velkora.service", "--port", str(port), "--log-level", "warning", "--http", http],
        env=clean_env({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}"}), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    body = b'{"nonce": "x", "telemetry": {}}'
    requests = [
        b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nContent-Length: " + str(len(body)).encode()
        + b"\r\nTransfer-Encoding: chunked\r\n\r\n" + hex(len(body))[2:].encode() + b"\r\n" + body + b"\r\n0\r\n\r\n",
        b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nIdempotency-Key: bad\x01key\r\nContent-Length: "
        + str(len(body)).encode() + b"\r\n\r\n" + body,
    ]
    try:
        wait_healthy(f"http://127.0.0.1:{port}", process=process)
        for raw in requests:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
                sock.sendall(raw)
                reply = b""
                while chunk := sock.recv(65536):
                    reply += chunk
            head, _, payload = reply.partition(b"\r\n\r\n")
            assert head.startswith(b"HTTP/1.1 400"), reply
            assert b"content-type: application/problem+json" in head.lower(), reply
            assert json.loads(payload)["error-codes"] in (["request-malformed"], ["idempotency-key-invalid"])
    finally:
        process.terminate()
        process.wait(timeout=30)


@pytest.mark.parametrize("http", ["h11", "httptools"])
def test_stalled_sockets_do_not_starve_health_and_are_closed_at_the_deadline(http: str) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < STALLED + 200:
        pytest.skip(f"the hard limit on open files ({hard}) is too low for this test")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "velkora.service", "--port", str(port), "--log-level", "warning", "--http", http],
        env=clean_env({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}", "VELKORA_HEADER_TIMEOUT": str(HEADER_TIMEOUT)}),
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=_soft_limit_1024)
    base = f"http://127.0.0.1:{port}"
    sockets: list[socket.socket] = []
    try:
        wait_healthy(base, process=process)
        for i in range(STALLED):
            sock = socket.create_connection(("127.0.0.1", port), timeout=10)
            if i % 2:
                sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n")  # headers begun, never ended
            sockets.append(sock)
        started = time.monotonic()
        latencies = []
        for _ in range(5):
            t0 = time.monotonic()
            r = httpx.get(base + "/healthz", timeout=10.0)
            latencies.append(time.monotonic() - t0)
            assert r.status_code == 200
        # Every stalled connection is closed by the server (EOF or reset) after the deadline.
        closed = 0
        for sock in sockets:
            sock.settimeout(max(0.1, started + HEADER_TIMEOUT + 10 - time.monotonic()))
            try:
                closed += sock.recv(1) == b""
            except ConnectionResetError:
                closed += 1
            except TimeoutError:
                pass
        waited = time.monotonic() - started
    finally:
        for sock in sockets:
            sock.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        process.terminate()
        _, err = process.communicate(timeout=30)
    print(f"\n{http}: {STALLED} stalled sockets: /healthz in {', '.join(f'{x * 1000:.1f}' for x in latencies)} ms; "
          f"all closed {waited:.1f} s after the last was opened (deadline {HEADER_TIMEOUT} s)")
    assert closed == STALLED
    assert b"Too many open files" not in err and len(err) < 10_000, err[-2000:]


def _gunicorn(port: int, workers: int) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "-c", "python:velkora.service.gunicorn_conf", "--bind",
         f"127.0.0.1:{port}", "--workers", str(workers), "--log-level", "info", "velkora.service:app"],
        env=clean_env({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}", "VELKORA_ADMIN_TOKEN": ADMIN}),
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


@pytest.mark.parametrize("workers", [1, 2])
def test_gunicorn_recipe_trusts_no_forwarded_header_and_logs_in_every_worker(workers: int) -> None:
    """gunicorn with the service's worker: a banned loopback peer is not let through by an
    X-Forwarded-For of its own making (one worker: without a store a ban holds in the
    worker that took it), and the package's lines keep level and name in every worker."""
    port = free_port()
    process = _gunicorn(port, workers)
    base = f"http://127.0.0.1:{port}"
    try:
        wait_healthy(base, process=process)
        if workers == 1:
            assert httpx.post(base + "/v1/bans", json={"ip": "127.0.0.1", "duration_sec": 60},
                              headers={"Authorization": f"Bearer {ADMIN}"}, timeout=10).status_code == 201
            for _ in range(4):
                with httpx.Client(base_url=base, timeout=10.0) as c:
                    token = c.get("/v1/challenge").json()["nonce"]
                    r = c.post("/v1/assess", json={"nonce": token, "telemetry": {}},
                               headers={"X-Forwarded-For": "198.51.100.1"})
                    assert (r.status_code, r.json()["error-codes"]) == (403, ["ip-banned"]), r.text
        else:
            time.sleep(1.0)  # the second worker's start-up
    finally:
        process.terminate()
        _, err = process.communicate(timeout=30)
    text = err.decode()
    if workers == 1:
        assert " INFO velkora.service: ban: 127.0.0.1 for 60 s" in text, text[-3000:]
    warnings = [line for line in text.splitlines()
                if " WARNING velkora.service: development mode without VELKORA_API_KEYS" in line]
    assert len(warnings) == workers, text[-3000:]


@pytest.mark.parametrize("workers", [1, 2])
def test_sigterm_removes_the_metrics_directory(workers: int, tmp_path: Any) -> None:
    """The launcher's metrics directory (made under TMPDIR) is gone after a SIGTERM."""
    import signal as signals

    port = free_port()
    process = subprocess.Popen([sys.executable, "-m", "velkora.service", "--port", str(port), "--workers",
                                str(workers)], env=clean_env({"TMPDIR": str(tmp_path),
                                                              "VELKORA_SIGNING_KEYS": f"k1:{SECRET}"}),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_healthy(f"http://127.0.0.1:{port}", process=process)
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith("velkora-metrics-")]
        process.send_signal(signals.SIGTERM)
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert not [p.name for p in tmp_path.iterdir() if p.name.startswith("velkora-metrics-")]
