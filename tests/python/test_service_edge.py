"""The service's edges over real HTTP: every error a problem document (no route, wrong
method, a fault of the service's own, which leaves the token unused), clients that hang
up, stall their body or frame it ambiguously, the per-worker cap on requests in flight,
the per-address budget of tokens, and the checks that come before the body is parsed."""

import json
import logging
import socket
import time
from collections.abc import Iterator
from typing import Any

import httpx
import pytest
from service_server import serve_in_thread
from velkora.service import Settings, tokens

SECRET = b"edge-test-signing-secret-0123456789"
API_KEY = "edge-test-api-key-0123"
AUTH = {"Authorization": f"Bearer {API_KEY}"}
CHALLENGE_RATE = 4

SETTINGS = Settings(signing_keys={"k1": SECRET}, api_keys=frozenset({API_KEY}), trace_max=0, max_in_flight=2,
                    body_timeout_sec=1, challenge_rate_per_min=CHALLENGE_RATE)


class Collect(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@pytest.fixture(scope="module")
def base() -> Iterator[str]:
    with serve_in_thread(SETTINGS) as url:
        yield url


@pytest.fixture
def server_log() -> Iterator[Collect]:
    """What uvicorn logs about the app (tracebacks of unhandled errors included)."""
    handler = Collect()
    logger = logging.getLogger("uvicorn.error")
    logger.addHandler(handler)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)


def problem(r: httpx.Response) -> dict[str, Any]:
    assert r.headers["content-type"] == "application/problem+json", (r.status_code, r.text)
    body: dict[str, Any] = r.json()
    assert body["status"] == r.status_code and body["success"] is False
    return body


def raw(base: str, head: bytes, body: bytes = b"", *, wait: float = 10.0) -> bytes:
    """Sends HEAD (and BODY) on a fresh connection; everything read until the server closes it."""
    with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=wait) as sock:
        sock.sendall(head + body)
        reply = b""
        while chunk := sock.recv(65536):
            reply += chunk
    return reply


def test_no_route_and_wrong_method_are_problem_documents(base: str) -> None:
    r = httpx.get(base + "/no/such/thing")
    assert (r.status_code, problem(r)["error-codes"]) == (404, ["not-found"])
    r = httpx.delete(base + "/v1/assess")
    assert (r.status_code, problem(r)["error-codes"]) == (405, ["method-not-allowed"])
    assert "POST" in r.headers["allow"]
    # Without an admin token configured the admin routes do not exist.
    r = httpx.post(base + "/v1/bans", json={})
    assert (r.status_code, problem(r)["error-codes"]) == (404, ["not-found"])


def test_a_fault_in_scoring_is_a_500_problem_and_leaves_the_token_unused(
        base: str, monkeypatch: pytest.MonkeyPatch, server_log: Collect) -> None:
    import velkora.service.assess as pipeline

    def broken(*args: object, **kwargs: object) -> object:
        raise RuntimeError("scoring broke")

    nonce = tokens.issue(SECRET, "k1", int(time.time()), 120)[0]
    body = {"nonce": nonce, "telemetry": {}}
    with monkeypatch.context() as patch:
        patch.setattr(pipeline, "score", broken)
        r = httpx.post(base + "/v1/assess", json=body, headers=AUTH)
    assert (r.status_code, problem(r)["error-codes"]) == (500, ["internal-error"])
    # Logged once by the server, after the answer went out.
    end = time.monotonic() + 5
    while time.monotonic() < end and not any("scoring broke" in str(rec.exc_info) for rec in server_log.records):
        time.sleep(0.02)
    assert sum("scoring broke" in str(rec.exc_info) for rec in server_log.records) == 1
    # The retry is scored, not refused as a replay.
    r = httpx.post(base + "/v1/assess", json=body, headers=AUTH)
    assert r.status_code == 200, r.text


def test_a_client_hanging_up_mid_body_leaves_no_traceback(base: str, server_log: Collect) -> None:
    head = (b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + API_KEY.encode()
            + b"\r\nContent-Type: application/json\r\nContent-Length: 5000\r\n\r\n")
    for _ in range(5):
        with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=5) as sock:
            sock.sendall(head + b'{"nonce": "')
        time.sleep(0.05)
    time.sleep(0.3)
    assert httpx.get(base + "/healthz").status_code == 200
    assert [r for r in server_log.records if r.exc_info or r.levelno >= logging.ERROR] == []


def test_both_length_headers_are_refused(base: str) -> None:
    body = b'{"nonce": "x", "telemetry": {}}'
    reply = raw(base, b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + API_KEY.encode()
                + b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\nTransfer-Encoding: chunked\r\n\r\n",
                hex(len(body))[2:].encode() + b"\r\n" + body + b"\r\n0\r\n\r\n")
    head, _, payload = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400"), reply
    assert b"connection: close" in head.lower()
    assert json.loads(payload)["error-codes"] == ["request-malformed"]


def test_a_body_that_stalls_gets_408_and_the_connection_closed(base: str) -> None:
    started = time.monotonic()
    reply = raw(base, b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + API_KEY.encode()
                + b"\r\nContent-Length: 100\r\n\r\n", b'{"nonce"')
    head, _, payload = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 408"), reply
    assert json.loads(payload)["error-codes"] == ["body-timeout"]
    assert time.monotonic() - started < 9  # closed by the server, not by the client's own timeout


def test_requests_beyond_the_cap_get_503_but_health_still_answers(base: str) -> None:
    head = (b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + API_KEY.encode()
            + b"\r\nContent-Length: 100\r\n\r\n")
    port = int(base.rsplit(":", 1)[1])
    stalled = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(2)]
    try:
        for sock in stalled:
            sock.sendall(head)
        time.sleep(0.3)
        r = httpx.post(base + "/v1/assess", json={"nonce": "x", "telemetry": {}}, headers=AUTH)
        assert (r.status_code, problem(r)["error-codes"]) == (503, ["overloaded"])
        assert r.headers["retry-after"] == "1"
        assert httpx.get(base + "/healthz").status_code == 200
    finally:
        for sock in stalled:
            sock.close()
    time.sleep(1.5)  # the stalled ones end at the body deadline, freeing their places
    r = httpx.post(base + "/v1/assess", json={"nonce": "x", "telemetry": {}}, headers=AUTH)
    assert (r.status_code, problem(r)["error-codes"]) == (403, ["nonce-malformed"])


def test_the_api_key_is_checked_before_the_body_is_parsed(base: str) -> None:
    r = httpx.post(base + "/v1/assess", content=b"{not json")
    assert (r.status_code, problem(r)["error-codes"]) == (401, ["api-key-invalid"])


def test_tokens_per_address_are_limited(base: str) -> None:
    with httpx.Client(base_url=base) as c:
        answers = [c.get("/v1/challenge") for _ in range(CHALLENGE_RATE + 1)]
    assert [r.status_code for r in answers] == [200] * CHALLENGE_RATE + [429]
    assert problem(answers[-1])["error-codes"] == ["rate-limited"]
    assert 1 <= int(answers[-1].headers["retry-after"]) <= 60 // CHALLENGE_RATE


def test_a_peer_that_is_not_an_ip_address_is_never_banned_and_said_once(caplog: pytest.LogCaptureFixture) -> None:
    """A peer named "testclient" (as test clients name it) can be neither banned nor
    checked, which is logged once, never a 500. The app runs without its lifespan here,
    as when mounted: it starts on the first request."""
    import asyncio

    from velkora.service.app import create_app

    admin = "edge-test-admin-token-01"
    app = create_app(Settings(signing_keys={"k1": SECRET}, admin_token=admin, trace_max=0))

    async def run() -> None:
        transport = httpx.ASGITransport(app=app, client=("testclient", 50000))
        async with httpx.AsyncClient(transport=transport, base_url="http://service") as c:
            for _ in range(3):
                nonce = (await c.get("/v1/challenge")).json()["nonce"]
                r = await c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}})
                assert r.status_code == 200, r.text
            r = await c.post("/v1/bans", json={"ip": "testclient", "duration_sec": 60},
                             headers={"Authorization": f"Bearer {admin}"})
            assert (r.status_code, problem(r)["field"]) == (422, "ip")

    with caplog.at_level(logging.WARNING, logger="velkora.service"):
        asyncio.run(run())
    said = [rec for rec in caplog.records if "not an IP address" in rec.getMessage()]
    assert len(said) == 1, [rec.getMessage() for rec in caplog.records]
