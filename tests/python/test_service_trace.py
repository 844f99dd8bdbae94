"""The trace memory in the service: the verdict's trace-reused reason and its weight in
policy files old and new; the assess flow recording only consumed tokens and exempting
retries; and, end to end with the built velkora._signals, a replayed recorded trace caught
over HTTP, recorded people not matching one another, and a trace used through one service
process caught through another sharing a store (Redis and Valkey)."""

import asyncio
import hashlib
import json
import random
import time
from collections.abc import Iterator
from typing import Any

import httpx
import pytest
from velkora.service import Settings, tokens
from velkora.service.assess import Refusal, assess
from velkora.service.policy import REASON_CODES, TRACE_REUSED, Policy, PolicyError, decide
from velkora.service.state import LocalState
from velkora.trace_memory import TraceConfig, TraceOutcome

SECRET = b"trace-test-signing-secret-0123456789"
KEYS = {"k1": SECRET}
API_KEY = "trace-test-api-key"
AUTH = {"Authorization": f"Bearer {API_KEY}"}


def test_policy_files_without_the_trace_weight_load_and_a_reuse_is_a_bot_alone() -> None:
    old_file = {"weights": dict.fromkeys(REASON_CODES, 0.5)}
    policy = Policy.from_mapping(old_file)
    assert policy.weights[TRACE_REUSED] == 1.0 and Policy().weights[TRACE_REUSED] == 1.0
    assert Policy.load().weights[TRACE_REUSED] == 1.0
    reuse = TraceOutcome(matches=3, last_seen_sec=42, modalities=("pointer",))
    verdict = decide(policy, {}, {}, reuse)
    assert (verdict.verdict, verdict.reasons) == ("bot", [(TRACE_REUSED, 1.0)])
    assert verdict.details[TRACE_REUSED] == {"matches": 3, "last_seen_sec": 42, "modalities": ["pointer"]}
    assert decide(policy, {}, {}, TraceOutcome()).reasons == []
    tuned = Policy.from_mapping({"weights": {**old_file["weights"], TRACE_REUSED: 0.25}})
    assert decide(tuned, {}, {}, reuse).verdict == "insufficient-data"
    with pytest.raises(PolicyError):
        Policy.from_mapping({"weights": {**old_file["weights"], "trace-reuse": 1.0}})
    with pytest.raises(PolicyError):
        Policy.from_mapping({"weights": {TRACE_REUSED: 1.0}})


# ---- the flow, with sketches made here ------------------------------------------------


def made_sketch(telemetry: dict[str, Any]) -> dict[str, Any]:
    """A sketch that is the same for the same pointer trace and unrelated otherwise."""
    points = telemetry.get("mouse_movements", [])
    rng = random.Random(json.dumps(points))
    signature = [rng.getrandbits(64) for _ in range(64)]
    bands = [int.from_bytes(hashlib.blake2b(repr(signature[i:i + 4]).encode(), digest_size=8).digest())
             for i in range(0, 64, 4)]
    return {"version": 1, "pointer_bands": bands, "pointer_signature": signature, "pointer_shingles": len(points),
            "key_bands": [], "key_signature": [], "key_shingles": 0}


def trace(seed: int) -> dict[str, Any]:
    rng = random.Random(seed)
    return {"mouse_movements": [{"x": rng.uniform(0, 900), "y": rng.uniform(0, 700), "t": 20.0 * i}
                                for i in range(40)]}


def test_only_consumed_tokens_are_recorded_and_a_retry_is_exempt() -> None:
    asyncio.run(consumed_tokens_and_retries(LocalState(prefix=f"svc-trace-{time.time_ns()}:",
                                                       trace_config=TraceConfig()), 0))


def test_only_consumed_tokens_are_recorded_and_a_retry_is_exempt_on_a_store(store) -> None:  # type: ignore[no-untyped-def]
    """The same on a store, where the consume and the trace are one script."""
    pytest.importorskip("redis")
    from velkora.shared_state import AsyncSharedState

    state = AsyncSharedState.from_url(store.url, prefix=f"svc-trace-{time.time_ns()}:", timeout=5.0)
    asyncio.run(consumed_tokens_and_retries(state, 1))


async def consumed_tokens_and_retries(state: Any, round_trips: int) -> None:
    """ROUND_TRIPS: the store calls a new token's assess takes."""
    policy = Policy.load()
    await state.start()
    now = time.time()

    async def post(telemetry: dict[str, Any], *, nonce: str | None = None, ip: str = "192.0.2.20",
                   key: str | None = None, at: float | None = None) -> dict[str, Any]:
        body = json.dumps({"nonce": nonce or tokens.issue(SECRET, "k1", int(now), 300)[0],
                           "telemetry": telemetry}).encode()
        result = await assess(body, client_ip=ip, authenticated=False, idempotency_key=key, keys=KEYS,
                              state=state, policy=policy, now=at or now, leeway_sec=5, nonce_ttl_sec=311,
                              sketch=made_sketch)
        return {"verdict": result.verdict.verdict, "reasons": result.verdict.reasons,
                "details": dict(result.verdict.details), "replayed": result.replayed}

    replayed = trace(1)
    await state.ban_ip("203.0.113.5", 60)
    refused = [
        dict(nonce="v1.k1.AAAA.BBBB"),
        dict(nonce=tokens.issue(b"another-secret-0123456789", "k1", int(now), 300)[0]),
        dict(nonce=tokens.issue(SECRET, "k1", int(now) - 1000, 300)[0]),
        dict(ip="203.0.113.5"),
    ]
    for options in refused:
        with pytest.raises(Refusal):
            await post(replayed, **options)  # type: ignore[arg-type]
    used = tokens.issue(SECRET, "k1", int(now), 300)[0]
    before = state.stats()["store_round_trips"]
    first = await post(replayed, nonce=used)
    assert state.stats()["store_round_trips"] - before == round_trips
    with pytest.raises(Refusal):
        await post(replayed, nonce=used)                 # the token again: nonce-reused
    assert state.stats()["trace_sessions"] == 1 and first["reasons"] == []

    token = tokens.issue(SECRET, "k1", int(now), 300)[0]
    second = await post(replayed, nonce=token, key="order-1")
    assert second["verdict"] == "bot" and second["reasons"] == [(TRACE_REUSED, 1.0)]
    assert second["details"][TRACE_REUSED]["matches"] == 1
    retry = await post(replayed, nonce=token, key="order-1", at=now + 20)
    assert retry["replayed"] and {**retry, "replayed": False} == second
    assert state.stats()["trace_sessions"] == 2
    third = await post(replayed)
    assert third["details"][TRACE_REUSED]["matches"] == 2

    # A first answer without a match stays without one on retry: the retry never
    # finds its own record.
    token = tokens.issue(SECRET, "k1", int(now), 300)[0]
    fresh = trace(2)
    assert (await post(fresh, nonce=token, key="order-2"))["reasons"] == []
    assert (await post(fresh, nonce=token, key="order-2"))["reasons"] == []
    # No pointer trace at all: nothing to remember.
    assert (await post({}))["reasons"] == [] and (await post({}))["reasons"] == []
    assert state.stats()["trace_sessions"] == 4
    await state.close()


def test_trace_settings_from_the_environment() -> None:
    from velkora.service.settings import SettingsError, from_env

    s = from_env({"VELKORA_TRACE_TTL": "3600", "VELKORA_TRACE_PER_CLIENT": "50", "VELKORA_TRACE_MAX": "0",
                  "VELKORA_TRACE_THRESHOLD": "0.7", "VELKORA_TRACE_BANDS": "16"})
    config = s.trace_config()
    assert (config.ttl_sec, config.per_client, config.max_sessions, config.threshold, config.indexed_bands) == (
        3600, 50, 0, 0.7, 16)
    assert not config.enabled and from_env({}).trace_config() == TraceConfig()
    for bad in ({"VELKORA_TRACE_THRESHOLD": "0"}, {"VELKORA_TRACE_THRESHOLD": "x"}, {"VELKORA_TRACE_TTL": "10"},
                {"VELKORA_TRACE_PER_CLIENT": "0"}, {"VELKORA_TRACE_MAX": "-1"}, {"VELKORA_TRACE_BANDS": "0"}):
        with pytest.raises(SettingsError):
            from_env(bad)


# ---- end to end, with the built sketch ----------------------------------------------


@pytest.fixture(scope="module")
def signals() -> Any:
    import needs

    return needs.package("velkora._signals")


@pytest.fixture
def base(signals: Any) -> Iterator[str]:
    """A fresh in-process service with the memory on (each test starts it empty)."""
    from service_server import serve_in_thread

    settings = Settings(signing_keys=KEYS, api_keys=frozenset({API_KEY}), admin_token="trace-admin-token")
    with serve_in_thread(settings) as url:
        yield url


def post(client: httpx.Client, telemetry: dict[str, Any], headers: dict[str, str] | None = None,
         **extra: Any) -> httpx.Response:
    nonce = client.get("/v1/challenge").json()["nonce"]
    return client.post("/v1/assess", json={"nonce": nonce, "telemetry": telemetry, **extra},
                       headers={**AUTH, **(headers or {})})


def reused(response: httpx.Response) -> dict[str, Any] | None:
    assert response.status_code == 200, response.text
    return next((r for r in response.json()["reasons"] if r["code"] == TRACE_REUSED), None)


def test_recorded_people_do_not_repeat_one_another(base: str) -> None:
    from service_data import real_sessions, telemetry_of

    with httpx.Client(base_url=base, timeout=10.0) as c:
        for session in real_sessions():
            r = post(c, telemetry_of(session), remoteip="198.51.100.30")
            assert reused(r) is None and r.json()["verdict"] != "bot", (session["_id"], r.json())


def test_a_replayed_recorded_trace_is_caught(base: str, signals: Any) -> None:
    from service_data import real_sessions, telemetry_of

    sessions = real_sessions()
    telemetry = max((telemetry_of(s) for s in sessions), key=lambda t: len(t.get("mouse_movements", [])))
    sketch = signals.trace_sketch(telemetry)
    assert sketch["pointer_shingles"] > 0
    with httpx.Client(base_url=base, timeout=10.0) as c:
        # A refused request stores nothing: its trace is still new afterwards.
        c.post("/v1/bans", json={"ip": "203.0.113.40", "duration_sec": 60},
               headers={"Authorization": "Bearer trace-admin-token"})
        assert post(c, telemetry, remoteip="203.0.113.40").status_code == 403
        nonce = c.get("/v1/challenge").json()["nonce"]
        body = json.dumps({"nonce": nonce, "telemetry": telemetry, "remoteip": "198.51.100.41"})
        first = c.post("/v1/assess", content=body, headers={**AUTH, "Idempotency-Key": "t-1"})
        assert reused(first) is None
        retry = c.post("/v1/assess", content=body, headers={**AUTH, "Idempotency-Key": "t-1"})
        assert retry.json() == first.json()
        replay = post(c, telemetry, remoteip="198.51.100.42")
        reason = reused(replay)
        assert replay.json()["verdict"] == "bot" and reason is not None
        assert reason["matches"] == 1 and 0 <= reason["last_seen_sec"] <= 5 and "pointer" in reason["modalities"]
        assert reason["weight"] == 1.0
        text = c.get("/metrics").text
        assert any(line.startswith('velkora_reasons_total{reason="trace-reused"}') and float(line.split()[-1]) >= 1
                   for line in text.splitlines())
        assert c.get("/healthz").json()["trace_sessions"] >= 2


@pytest.mark.browser
def test_a_trace_used_through_one_service_process_is_caught_through_another(store, signals, tmp_path) -> None:  # type: ignore[no-untyped-def]
    """Two service processes (one worker each, as on two hosts) on one store."""
    pytest.importorskip("redis")
    from service_data import real_sessions, telemetry_of
    from service_server import serve_process

    sessions = sorted((telemetry_of(s) for s in real_sessions()), key=lambda t: -len(t.get("mouse_movements", [])))
    env = {"VELKORA_REDIS_URL": store.url, "VELKORA_STORE_PREFIX": f"svc-trace-{time.time_ns()}:",
           "VELKORA_SIGNING_KEYS": f"k1:{SECRET.decode()}", "VELKORA_API_KEYS": API_KEY}
    with serve_process(env, log=tmp_path / "one.log") as one, serve_process(env, log=tmp_path / "two.log") as two, \
            httpx.Client(base_url=one, timeout=10.0) as a, httpx.Client(base_url=two, timeout=10.0) as b:
        for telemetry in sessions[:3]:
            assert reused(post(a, telemetry, remoteip="198.51.100.50")) is None
            reason = reused(post(b, telemetry, remoteip="198.51.100.51"))
            assert reason is not None and reason["matches"] == 1
            again = reused(post(a, telemetry, remoteip="198.51.100.52"))
            assert again is not None and again["matches"] == 2
        assert a.get("/healthz").json()["trace_sessions"] == 9     # as of its last call
