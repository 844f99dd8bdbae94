"""The service on a real store (Redis and Valkey): the development signing key shared
through it, and two uvicorn workers sharing consumed tokens and bans."""

import asyncio
import json
import time

import httpx
import pytest
from service_server import serve_process
from velkora.service import Settings
from velkora.service.app import _dev_key

API_KEY = "store-test-api-key"
ADMIN = "store-test-admin-token"


def test_development_key_first_writer_wins(store) -> None:  # type: ignore[no-untyped-def]
    settings = Settings(redis_url=store.url, store_prefix=f"svc-devkey-{time.time_ns()}:")

    async def both() -> list[bytes]:
        return list(await asyncio.gather(*(_dev_key(settings) for _ in range(8))))

    keys = asyncio.run(both())
    assert len(set(keys)) == 1 and len(keys[0]) == 64
    assert asyncio.run(_dev_key(settings)) == keys[0]


def _two_workers(store, tmp_path):  # type: ignore[no-untyped-def]
    pytest.importorskip("velkora.shared_state")
    env = {
        "VELKORA_REDIS_URL": store.url,
        "VELKORA_STORE_PREFIX": f"svc-{time.time_ns()}:",
        "VELKORA_API_KEYS": API_KEY,
        "VELKORA_ADMIN_TOKEN": ADMIN,
    }
    return serve_process(env, workers=2, log=tmp_path / "service.log")


@pytest.mark.browser
def test_captured_request_replayed_through_other_workers(store, tmp_path) -> None:  # type: ignore[no-untyped-def]
    from browser_session import captured_envelope, make_driver, scripted_login

    with _two_workers(store, tmp_path) as base:
        driver = make_driver()
        try:
            answer = scripted_login(driver, base)
            body = captured_envelope(driver)
        finally:
            driver.quit()
        assert answer["verdict"] == "bot"
        # Fresh connections land on both workers; every one refuses the replay.
        for _ in range(12):
            with httpx.Client(base_url=base, timeout=10.0) as c:
                r = c.post("/v1/assess", content=body, headers={"Authorization": f"Bearer {API_KEY}"})
                assert (r.status_code, r.json()["error-codes"]) == (409, ["nonce-reused"])
        # Tokens from either worker verify on the other (the key is shared through the
        # store) and are single-use across both.
        for _ in range(12):
            with httpx.Client(base_url=base, timeout=10.0) as c:
                nonce = c.get("/v1/challenge").json()["nonce"]
            envelope = json.dumps({"nonce": nonce, "telemetry": {}})
            answers = []
            for _ in range(3):
                with httpx.Client(base_url=base, timeout=10.0) as c:
                    answers.append(c.post("/v1/assess", content=envelope,
                                          headers={"Authorization": f"Bearer {API_KEY}"}).status_code)
            assert answers == [200, 409, 409]
        # A retry with the same Idempotency-Key and body gets the first verdict on any worker.
        with httpx.Client(base_url=base, timeout=10.0) as c:
            nonce = c.get("/v1/challenge").json()["nonce"]
        envelope = json.dumps({"nonce": nonce, "telemetry": {}})
        headers = {"Authorization": f"Bearer {API_KEY}", "Idempotency-Key": "retry-1"}
        replies = []
        for _ in range(6):
            with httpx.Client(base_url=base, timeout=10.0) as c:
                replies.append(c.post("/v1/assess", content=envelope, headers=headers))
        assert {r.status_code for r in replies} == {200}
        assert all(r.json() == replies[0].json() for r in replies)
        with httpx.Client(base_url=base, timeout=10.0) as c:
            other = c.post("/v1/assess", content=envelope, headers={**headers, "Idempotency-Key": "retry-2"})
            assert other.status_code == 409


@pytest.mark.browser
def test_admin_ban_reaches_every_worker_within_a_second(store, tmp_path) -> None:  # type: ignore[no-untyped-def]
    ip = "203.0.113.77"
    auth = {"Authorization": f"Bearer {API_KEY}"}
    with _two_workers(store, tmp_path) as base:
        def agreed_after(expect_banned: bool) -> float:
            """Seconds from now until the first of 16 requests in a row, on fresh
            connections (so on both workers), that all see the ban as expected."""
            started = time.monotonic()
            streak_start, streak = 0.0, 0
            while streak < 16:
                assert time.monotonic() - started < 10.0
                sent = time.monotonic()
                with httpx.Client(base_url=base, timeout=10.0) as c:
                    nonce = c.get("/v1/challenge").json()["nonce"]
                    r = c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}, "remoteip": ip}, headers=auth)
                banned = r.status_code == 403 and r.json()["error-codes"] == ["ip-banned"]
                if banned != expect_banned:
                    streak = 0
                    continue
                if streak == 0:
                    streak_start = sent
                streak += 1
            return streak_start - started

        with httpx.Client(base_url=base, timeout=10.0) as c:
            r = c.post("/v1/bans", json={"ip": ip, "duration_sec": 120}, headers={"Authorization": f"Bearer {ADMIN}"})
            assert r.status_code == 201
        assert agreed_after(True) < 1.0
        with httpx.Client(base_url=base, timeout=10.0) as c:
            assert c.delete(f"/v1/bans/{ip}", headers={"Authorization": f"Bearer {ADMIN}"}).status_code == 204
        assert agreed_after(False) < 1.0
        health = httpx.get(base + "/healthz", timeout=10.0).json()
        assert health["store"] == "ok" and health["status"] == "ok"


@pytest.mark.parametrize("kind", ["redis", "valkey"])
def test_store_outage_under_refuse_policy(kind: str, tmp_path) -> None:  # type: ignore[no-untyped-def]
    """A store that is down: assess answers 503 store-unavailable, health says degraded
    (still 200: an outage must not pull every instance out of a load balancer), and a
    fresh token works once the store is back."""
    pytest.importorskip("velkora.shared_state")
    from service_server import serve_in_thread
    from stores import launch

    server = launch(kind, tmp_path / "store")
    settings = Settings(
        redis_url=server.url, store_prefix=f"svc-outage-{time.time_ns()}:", on_store_error="refuse",
        signing_keys={"k1": b"outage-test-signing-secret-01234"}, api_keys=frozenset({API_KEY}),
    )
    auth = {"Authorization": f"Bearer {API_KEY}"}
    try:
        with serve_in_thread(settings) as base, httpx.Client(base_url=base, timeout=10.0) as c:
            server.stop()
            # The layer opens its breaker after a few failed calls in a row.
            for _ in range(4):
                nonce = c.get("/v1/challenge").json()["nonce"]
                r = c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}}, headers=auth)
                assert (r.status_code, r.json()["error-codes"]) == (503, ["store-unavailable"])
            health = c.get("/healthz")
            assert health.status_code == 200
            assert health.json()["store"] == "unreachable" and health.json()["status"] == "degraded"
            server = launch(kind, tmp_path / "store", server.port)
            deadline = time.monotonic() + 20
            while True:
                nonce = c.get("/v1/challenge").json()["nonce"]
                r = c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}}, headers=auth)
                # A token issued in the second the empty store came back may be refused
                # as issued before the loss (retryable: the page fetches a fresh one).
                retry = r.status_code == 503 or r.json().get("error-codes") == ["nonce-store-reset"]
                if not retry or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            assert r.status_code == 200, r.text
            again = c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}}, headers=auth)
            assert again.status_code == 409
            assert c.get("/healthz").json()["store"] == "ok"
    finally:
        server.stop()
