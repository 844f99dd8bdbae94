"""The store's ordinary faults, each reproduced on Redis and on Valkey with worker
processes that each have their own native engine: a FLUSHALL, a restart without
persistence, an outage under the "local" policy, a token's own lifetime, a store out of
memory or read-only, start-up with the store down, a second event loop, and IPv6 zone
indexes. Each test states the counts it checks in its assertion messages."""

import asyncio
import logging
import threading
import time
from collections import Counter

import pytest

redis = pytest.importorskip("redis")

from redis.exceptions import (  # noqa: E402
    BusyLoadingError,
    ClusterDownError,
    ConnectionError,
    MasterDownError,
    NoScriptError,
    OutOfMemoryError,
    ReadOnlyError,
    ResponseError,
    TryAgainError,
)
from store_faults import Outsider, Worker, fresh_prefix, wait_for  # noqa: E402
from stores import free_port, launch  # noqa: E402
from velkora.shared_state import AsyncSharedState, SharedState, WrongEventLoop  # noqa: E402
from velkora.shared_state._core import is_store_failure  # noqa: E402

KINDS = ["redis", "valkey"]


def workers(url: str, prefix: str, n: int = 2, policy: str = "local", tmp_path=None) -> list[Worker]:
    return [Worker(url, prefix, policy, 0.3, tmp_path / f"worker{i}.log" if tmp_path else None) for i in range(n)]


def close_all(items: list[Worker]) -> None:
    for item in items:
        item.close()


def accepted_again(worker: Worker, nonces: list[str], issued_at: float | None) -> int:
    """How many of NONCES WORKER accepts (each was consumed once already)."""
    return sum(worker.consume(n, 600, issued_at) is True for n in nonces)


# ---- 1. FLUSHALL ---------------------------------------------------------------------


def test_flushall_loses_no_ban_and_no_consumed_token(store, tmp_path):
    """Before: the workers kept the old ban version and ignored every change numbered at
    or below it after the flush (10 of 12 (ban, worker) pairs never enforced)."""
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    pool = workers(store.url, prefix, tmp_path=tmp_path)
    try:
        old = [f"192.0.2.{i}" for i in range(1, 7)]
        for ip in old:
            pool[0].ask("ban", ip, 600)
        assert wait_for(lambda: all(all(w.banned(old)) for w in pool))
        issued = outsider.issue_time()
        tokens = [f"flush-token-{i}" for i in range(5)]
        assert all(pool[0].consume(t, 600, issued) is True for t in tokens)

        outsider.raw.flushall()
        new = [f"198.51.100.{i}" for i in range(1, 7)]
        for i, ip in enumerate(new):
            pool[i % 2].ask("ban", ip, 600)
        enforced = lambda: sum(sum(w.banned(new)) for w in pool)  # noqa: E731
        wait_for(lambda: enforced() == 12, timeout=5)
        assert enforced() == 12, f"{enforced()} of 12 (ban, worker) pairs enforced after the flush"
        assert all(all(w.banned(old)) for w in pool), "a ban from before the flush was lifted"
        # Both workers' bans are merged back: the store holds all twelve again.
        assert wait_for(lambda: outsider.raw.zcard(outsider.keys.bans) == 12, timeout=5), \
            outsider.raw.zcard(outsider.keys.bans)
        assert all(outsider.ban_end(ip) > 590 for ip in old + new)

        # Tokens issued before the flush: refused as such on the other worker; and the
        # consuming worker writes its own back, so even a caller that gives no issue
        # time is refused.
        answers = [pool[1].consume(t, 600, issued) for t in tokens]
        assert answers == [{"error": "IssuedBeforeStoreLoss"}] * 5, answers
        assert wait_for(lambda: all(outsider.raw.exists(outsider.keys.nonce(t)) for t in tokens), timeout=5)
        assert accepted_again(pool[1], tokens, None) == 0
        stats = pool[0].stats()
        assert stats["store_resets"] >= 1 and stats["ban_merges"] >= 1, stats
    finally:
        close_all(pool)
        outsider.close()


# ---- 2. restart without persistence -----------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_restart_without_persistence_keeps_bans_and_refuses_consumed_tokens(kind, tmp_path):
    """Before: the workers resynced to the empty store within about a second (every ban
    lifted) and 5 of 5 consumed, still-valid tokens were accepted again."""
    server = launch(kind, tmp_path / "store")
    prefix = fresh_prefix()
    pool = workers(server.url, prefix, tmp_path=tmp_path)
    try:
        bans = ["203.0.113.1", "203.0.113.2", "2001:db8::3"]
        for ip in bans:
            pool[0].ask("ban", ip, 600)
        assert wait_for(lambda: all(all(w.banned(bans)) for w in pool))
        issued = Outsider(server.url, prefix).issue_time()
        tokens = [f"restart-token-{i}" for i in range(5)]
        assert all(pool[0].consume(t, 600, issued) is True for t in tokens)

        server.stop()
        server = launch(kind, tmp_path / "store", server.port)   # --save '' --appendonly no: empty
        outsider = Outsider(server.url, prefix)
        assert wait_for(lambda: outsider.raw.zcard(outsider.keys.bans) == 3, timeout=10), \
            "the workers' bans were not merged back"
        time.sleep(1.0)   # past any resync to the empty store and the next issue second
        lifted = sum(not b for w in pool for b in w.banned(bans))
        assert lifted == 0, f"{lifted} of 6 (ban, worker) pairs lifted by the restart"
        again = accepted_again(pool[1], tokens, issued)
        assert again == 0, f"{again} of 5 consumed tokens accepted again"
        outsider.close()
    finally:
        close_all(pool)
        server.stop()


# ---- 3. the local fallback ---------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_local_fallback_remembers_and_writes_back(kind, tmp_path):
    """Before: tokens accepted without the store were never written back (another worker
    accepted 5 of 5 again), and once the native buckets forgot one (60-120 s) the same
    worker accepted it again."""
    server = launch(kind, tmp_path / "store")
    prefix = fresh_prefix()
    pool = workers(server.url, prefix, tmp_path=tmp_path)
    try:
        server.stop()
        tokens = [f"outage-token-{i}" for i in range(5)]
        assert all(pool[0].consume(t, 600) is True for t in tokens)   # answered alone, as "local" says
        both = "accepted-by-both"
        assert pool[0].consume(both, 600) is True and pool[1].consume(both, 600) is True
        pool[0].ask("forget")   # the native buckets forget, as they do after 60-120 s
        again_alone = accepted_again(pool[0], tokens, None)
        assert again_alone == 0, f"{again_alone} of 5 accepted again by the same worker, store down"

        server = launch(kind, tmp_path / "store", server.port)
        assert wait_for(lambda: all(w.stats()["pending_nonces"] == 0 for w in pool), timeout=15)
        again = accepted_again(pool[1], tokens, None)
        assert again == 0, f"{again} of 5 accepted again by another worker after the store returned"
        conflicts = sum(w.stats()["writeback_conflicts"] for w in pool)
        assert conflicts == 1, f"{conflicts} write-back conflicts counted (one token was accepted by both)"
        log = "".join((tmp_path / f"worker{i}.log").read_text() for i in range(2))
        assert log.count("consumed by another process too") == 1
    finally:
        close_all(pool)
        server.stop()


# ---- 4. a token's own lifetime -------------------------------------------------------------


def test_a_token_is_remembered_for_its_own_lifetime(store):
    """Before: the remembered lifetime came from the consuming instance's setting: a
    3600 s token consumed by an instance configured for 10 s was forgotten after 21 s."""
    from velkora.service import Settings, tokens
    from velkora.service.assess import assess
    from velkora.service.policy import Policy

    prefix = fresh_prefix()
    settings = Settings(token_lifetime_sec=10)
    secret = b"lifetime-test-signing-secret-0123"
    outsider = Outsider(store.url, prefix)

    async def run() -> tokens.Token:
        async with AsyncSharedState.from_url(store.url, prefix=prefix, timeout=2.0, check_interval=0.2) as state:
            while not outsider.markers_made():
                await asyncio.sleep(0.02)
            await asyncio.sleep(1.0)   # the next whole second: tokens carry whole-second times
            now = time.time()
            text, token = tokens.issue(secret, "k1", int(now), 3600)   # issued by an instance set to an hour
            body = f'{{"nonce": "{text}", "telemetry": {{}}}}'.encode()
            await assess(body, client_ip=None, authenticated=True, idempotency_key=None, keys={"k1": secret},
                         state=state, policy=Policy.load(None), now=now, leeway_sec=settings.clock_leeway_sec,
                         nonce_ttl_sec=settings.nonce_ttl_sec)
            return token

    token = asyncio.run(run())
    ttl = outsider.raw.ttl(outsider.keys.nonce(token.id_hex))
    outsider.close()
    assert 3600 <= ttl <= 3600 + 2 * settings.clock_leeway_sec + 2, f"remembered for {ttl} s"


# ---- 5. error replies -------------------------------------------------------------------------


def test_error_replies_that_mean_the_store_cannot_serve():
    for error in (OutOfMemoryError("command not allowed"), ReadOnlyError("You can't write"),
                  BusyLoadingError("loading"), MasterDownError("link down"), ClusterDownError("down"),
                  TryAgainError("slot migrating"), ResponseError("BUSY Redis is busy running a script"),
                  ResponseError("NOREPLICAS Not enough good replicas"), ConnectionError("refused")):
        assert is_store_failure(error), error
    for error in (ResponseError("WRONGTYPE Operation against a key"), NoScriptError("No matching script"),
                  ResponseError("ERR user_script:1: bad")):
        assert not is_store_failure(error), error


def test_a_store_out_of_memory_or_read_only_opens_the_breaker_and_warns_once(store, caplog):
    """Before: OOM replies never opened the breaker (health said ok) and the outage
    warning was logged 10 times in one outage."""
    raw = redis.Redis.from_url(store.url)
    prefix = fresh_prefix()
    with caplog.at_level(logging.WARNING, logger="velkora.shared_state"), \
            SharedState.from_url(store.url, prefix=prefix, check_interval=0.2, breaker_delay=(0.05, 0.2)) as state, \
            SharedState.from_url(store.url, prefix=prefix, on_store_error="refuse", check_interval=0.2) as refusing:
        for fault, undo in ((("CONFIG", "SET", "maxmemory", "1"), ("CONFIG", "SET", "maxmemory", "0")),
                            (("REPLICAOF", "127.0.0.1", str(free_port())), ("REPLICAOF", "NO", "ONE"))):
            caplog.clear()
            raw.execute_command(*fault)
            try:
                answers = [state.consume_nonce(f"{fault[0]}-{i}") for i in range(10)]
                assert answers == [True] * 10                       # "local": answered here
                assert refusing.consume_nonce(f"{fault[0]}-x") is False
                assert wait_for(lambda: state.stats()["breaker_open"] and refusing.stats()["breaker_open"], 5)
                time.sleep(0.5)   # several sync checks and probes fail meanwhile
            finally:
                raw.execute_command(*undo)
            assert wait_for(lambda: not state.stats()["breaker_open"] and state.stats()["pending_nonces"] == 0
                            and not refusing.stats()["breaker_open"], 10)
            messages = [r.getMessage() for r in caplog.records if r.getMessage().startswith(f"store {prefix}")]
            failed = [m for m in messages if " failed (" in m]
            again = [m for m in messages if m.endswith(": answers again")]
            assert len(failed) == 2 and len(again) == 2, messages   # once per instance each
            assert raw.exists(state._keys.nonce(f"{fault[0]}-3"))   # written back
    raw.close()


# ---- 6. start-up with the store down --------------------------------------------------------


# Two uvicorn workers of the uninstrumented build: with the multi-process suites, not in the
# sanitizer pass (whose build needs its runtime preloaded, which a service child is not given).
@pytest.mark.slow
@pytest.mark.parametrize("kind", KINDS)
def test_a_worker_starts_with_the_store_down_and_serves_when_it_returns(kind, tmp_path):
    """Before: under "refuse" start-up failed with the store down (uvicorn then stopped
    every worker), and the development key was read from the store at start-up."""
    import httpx
    from service_server import serve_process

    port = free_port()
    env = {"VELKORA_REDIS_URL": f"redis://127.0.0.1:{port}/0", "VELKORA_STORE_PREFIX": fresh_prefix(),
           "VELKORA_STORE_ERROR_POLICY": "refuse"}
    server = None
    with serve_process(env, workers=2, log=tmp_path / "service.log") as base, \
            httpx.Client(base_url=base, timeout=10.0) as c:
        try:
            health = c.get("/healthz")
            assert health.status_code == 200
            # No signing key can be read: no token is issued or checked.
            r = c.get("/v1/challenge")
            assert (r.status_code, r.json()["error-codes"]) == (503, ["store-unavailable"])
            r = c.post("/v1/assess", json={"nonce": "v1.dev.x.y", "telemetry": {}})
            assert (r.status_code, r.json()["error-codes"]) == (503, ["store-unavailable"])
            server = launch(kind, tmp_path / "store", port)
            statuses: list[int] = []

            def served() -> bool:
                with httpx.Client(base_url=base, timeout=10.0) as fresh:   # either worker
                    r = fresh.get("/v1/challenge")
                    if r.status_code != 200:
                        return False
                    a = fresh.post("/v1/assess", json={"nonce": r.json()["nonce"], "telemetry": {}})
                    statuses.append(a.status_code)
                    return a.status_code == 200

            assert wait_for(lambda: all(served() for _ in range(6)), timeout=20, step=0.2), statuses
        finally:
            if server is not None:
                server.stop()
    text = (tmp_path / "service.log").read_text()
    assert "Traceback" not in text and "Exception in" not in text, text[-3000:]


# ---- 7. a second event loop -------------------------------------------------------------------


def test_an_async_instance_moves_to_a_new_loop_or_refuses_clearly(store, caplog):
    """Before: a second event loop got RuntimeError past every policy and the ban sync
    never restarted (a ban from another process unseen, nothing counted)."""
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    state = AsyncSharedState.from_url(store.url, prefix=prefix, check_interval=0.2, timeout=2.0)

    async def first() -> None:
        assert await state.consume_nonce("loop-1") is True

    async def second() -> tuple[bool, bool]:
        consumed = await state.consume_nonce("loop-2")
        outsider.ban("192.0.2.222", 60)
        for _ in range(300):
            if state.is_ip_banned("192.0.2.222"):
                break
            await asyncio.sleep(0.01)
        banned = state.is_ip_banned("192.0.2.222")
        await state.close()
        return consumed, banned

    asyncio.run(first())
    assert asyncio.run(second()) == (True, True)
    assert state.stats()["sync_restarts"] == 1 and state.stats()["store_errors"] == 0

    # Clients passed in cannot move; nor can an instance whose loop still runs.
    client = redis.asyncio.Redis.from_url(store.url, socket_timeout=2)
    pinned = AsyncSharedState(client, prefix=prefix)
    asyncio.run(pinned.consume_nonce("pinned-1"))
    with caplog.at_level(logging.ERROR, logger="velkora.shared_state"):
        for _ in range(2):
            with pytest.raises(WrongEventLoop, match="one instance per event loop"):
                asyncio.run(pinned.consume_nonce("pinned-2"))
    assert pinned.stats()["loop_errors"] == 2
    assert sum("another event loop" in r.getMessage() for r in caplog.records) == 1   # logged once

    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    try:
        running = AsyncSharedState.from_url(store.url, prefix=prefix, timeout=2.0)
        asyncio.run_coroutine_threadsafe(running.consume_nonce("running-1"), loop).result(10)
        with pytest.raises(WrongEventLoop, match="still running"):
            asyncio.run(running.consume_nonce("running-2"))
        asyncio.run_coroutine_threadsafe(running.close(), loop).result(10)
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join(5)
    outsider.close()


# ---- 8. IPv6 zone indexes ---------------------------------------------------------------------


def test_zone_indexes_are_dropped_in_bans_unbans_and_lookups(store, tmp_path):
    """Before: 2001:db8::1%0 passed a ban of 2001:db8::1, and a zone with a space delayed
    propagation to the 5 s version check."""
    from velkora.service.settings import normalise_ip
    from velkora.service.state import LocalState

    prefix = fresh_prefix()
    pool = workers(store.url, prefix, tmp_path=tmp_path)
    try:
        with SharedState.from_url(store.url, prefix=prefix, check_interval=60) as state:
            state.ban_ip("2001:db8::1", 60)
            assert state.is_ip_banned("2001:db8::1%0") and state.is_ip_banned("2001:DB8::1%eth0")
            started = time.monotonic()
            state.ban_ip("2001:db8::2%eth 0", 60)
            assert wait_for(lambda: pool[0].banned(["2001:db8::2", "2001:db8::2%7"]) == [True, True], timeout=3)
            assert time.monotonic() - started < 1.0   # published, not found by a later check
            pool[1].ask("unban", "2001:db8::2%x")
            assert wait_for(lambda: not state.is_ip_banned("2001:db8::2"), timeout=3)
        local = LocalState(prefix=prefix)

        async def in_process() -> list[bool]:
            await local.ban_ip("2001:db8::5%1", 60)
            seen = [local.is_ip_banned("2001:db8::5"), local.is_ip_banned("2001:db8::5%2")]
            await local.unban_ip("2001:db8::5%eth0")
            return [*seen, local.is_ip_banned("2001:db8::5")]

        assert asyncio.run(in_process()) == [True, True, False]
        # One normalise_ip for the layer and the service (whose callers strip blanks).
        assert normalise_ip("2001:db8::1%0") == "2001:db8::1"
        with pytest.raises(ValueError):
            normalise_ip("nope")
    finally:
        close_all(pool)



def test_the_layer_counters_reach_the_metrics():
    """Write-back conflicts and the other counters of stats() are copied into /metrics
    as they grow (so that the workers' counts add up)."""
    from velkora.service.app import _export_state_counters
    from velkora.service.metrics import Metrics

    class Counting:
        values = {"writeback_conflicts": 2, "store_resets": 16}

        def stats(self):
            return dict(self.values)

    async def run(state, metrics) -> None:
        task = asyncio.create_task(_export_state_counters(state, metrics))
        await asyncio.sleep(0.05)
        state.values["writeback_conflicts"] = 5
        await asyncio.sleep(1.2)
        task.cancel()

    def counts(metrics: Metrics) -> Counter[str]:
        text = metrics.render()[0].decode()
        return Counter({line.split()[0]: float(line.split()[1]) for line in text.splitlines()
                        if line.startswith("velkora_store")})

    metrics = Metrics()
    try:
        # Other tests of this process may have counted already: compare the growth.
        before = counts(metrics)
        asyncio.run(run(Counting(), metrics))
        grown = counts(metrics)
        grown.subtract(before)
    finally:
        metrics.close()
    assert grown["velkora_store_writeback_conflicts_total"] == 5
    assert grown["velkora_store_store_resets_total"] == 16
