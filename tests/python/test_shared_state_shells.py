"""The two front ends run the engine's plans and steps: the same store commands, in the
same order, with the same answers, whether blocking or awaited; the backend without a
store needs no store client; the memory of consumed nonces stays readable by the sync
while claims add to it."""

import asyncio
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

pytest.importorskip("redis")

import velkora_core_rs as native  # noqa: E402
from redis.exceptions import ConnectionError as RedisConnectionError  # noqa: E402
from redis.exceptions import NoScriptError  # noqa: E402
from test_trace_memory import signature, sketch  # noqa: E402
from velkora.shared_state import (  # noqa: E402
    AsyncSharedState,
    SharedState,
    StoreUnavailable,
    TraceOutcome,
    _core,  # noqa: E402
)
from velkora.shared_state._core import Engine, Scripts  # noqa: E402

SCRIPTS = {script.sha: name for name, script in vars(Scripts).items() if isinstance(script, _core.Script)}
REPLIES = {
    "claim": 0, "GET": b"t:first", "ban": [1, b"60", b"e1"], "unban": [2, b"e1"], "load": [b"e1", 0, b"1000.0", []],
    "check": [b"e1", 0], "markers": [b"5.0"] * 16 + [b"1000.5"], "trace": [1, 990, 1, 7, 1],
}


class Store:
    """Answers as a store would, by script, and records every call with the prefix blanked
    out (two instances under different prefixes compare equal). FAIL: the calls that fail
    (script names, "GET"); UNLOADED: the scripts that answer NOSCRIPT until loaded."""

    def __init__(self, prefix: str, fail: frozenset[str], unloaded: frozenset[str]) -> None:
        self.prefix = prefix.encode()
        self.calls: list[tuple] = []
        self.fail = fail
        self.unloaded = set(unloaded)

    def answer(self, args: tuple) -> object:
        if args[0] == "config_get":
            self.calls.append(args)
            return {"maxmemory-policy": "noeviction"}
        if args[0] == "script_load":
            name = next(n for n, script in vars(Scripts).items() if getattr(script, "source", None) == args[1])
            self.unloaded.discard(name)
            self.calls.append(("SCRIPT LOAD", name))
            return getattr(Scripts, name).sha
        name = "GET" if args[0] == "GET" else SCRIPTS[args[1].decode() if isinstance(args[1], bytes) else args[1]]
        rest = args[1:] if name == "GET" else args[2:]
        self.calls.append((name, *(a.replace(self.prefix, b"<p>") if isinstance(a, bytes) else a for a in rest)))
        if name in self.fail:
            raise RedisConnectionError("refused")
        if name in self.unloaded:
            raise NoScriptError("NOSCRIPT No matching script")
        return REPLIES[name]


class SyncClient:
    def __init__(self, store: Store) -> None:
        self.store = store

    def execute_command(self, *args):  # type: ignore[no-untyped-def]
        return self.store.answer(args)

    def config_get(self, *args):  # type: ignore[no-untyped-def]
        return self.store.answer(("config_get", *args))

    def script_load(self, source):  # type: ignore[no-untyped-def]
        return self.store.answer(("script_load", source))


class AsyncClient(SyncClient):
    async def execute_command(self, *args):  # type: ignore[no-untyped-def]
        return super().execute_command(*args)

    async def config_get(self, *args):  # type: ignore[no-untyped-def]
        return super().config_get(*args)

    async def script_load(self, source):  # type: ignore[no-untyped-def]
        return super().script_load(source)


def operations(stamp: str) -> list[tuple[str, str, tuple, dict]]:
    """The same calls for either front end, through every kind of plan."""
    trace = sketch(signature(random.Random(7)))
    return [
        ("new nonce", "consume_nonce", (f"{stamp}a",), {}),
        ("replay", "consume_nonce", (f"{stamp}a",), {}),
        ("issued", "consume_nonce", (f"{stamp}b",), {"issued_at": 1000}),
        ("claim", "claim_nonce", (f"{stamp}c", "tag"), {}),
        ("replayed claim", "claim_nonce", (f"{stamp}c", "tag"), {}),
        ("ban", "ban_ip", ("192.0.2.77", 60), {}),
        ("unban", "unban_ip", ("192.0.2.77",), {}),
        ("trace", "remember_trace", ("session", "192.0.2.1", trace), {}),
    ]


def run(kind: str, store: Store, prefix: str, policy: str, stamp: str):  # type: ignore[no-untyped-def]
    """The operations, then the sync's load, check and write-back, with no sync running."""
    if kind == "sync":
        state = SharedState(SyncClient(store), prefix=prefix, on_store_error=policy, breaker_threshold=100)
        state._pending = False
        answers = []
        for name, method, args, kw in operations(stamp):
            try:
                answers.append((name, getattr(state, method)(*args, **kw)))
            except Exception as error:  # noqa: BLE001 - compared across the front ends
                answers.append((name, type(error).__name__))
        state._load()
        state._drive(state._engine.check(state._batches))
        state._write_back()
        return answers, state

    async def main():  # type: ignore[no-untyped-def]
        state = AsyncSharedState(AsyncClient(store), prefix=prefix, on_store_error=policy, breaker_threshold=100)
        state._pending = False
        state._loop = asyncio.get_running_loop()
        answers = []
        for name, method, args, kw in operations(stamp):
            try:
                answers.append((name, await getattr(state, method)(*args, **kw)))
            except Exception as error:  # noqa: BLE001
                answers.append((name, type(error).__name__))
        await state._load()
        await state._drive(state._engine.check(state._batches))
        await state._write_back()
        return answers, state

    return asyncio.run(main())


@pytest.mark.parametrize("fail, unloaded, policy", [
    (frozenset(), frozenset(), "local"),
    # NOSCRIPT: the script is loaded and called again, on the request path and in the sync.
    (frozenset(), frozenset({"claim", "ban", "load", "markers"}), "local"),
    # A failing store: every answer from the fallbacks.
    (frozenset({"claim", "GET", "ban", "unban", "trace"}), frozenset(), "refuse"),
], ids=["answers", "noscript", "failing"])
def test_both_front_ends_send_the_same_commands_and_give_the_same_answers(monkeypatch, fail, unloaded, policy):
    monkeypatch.setattr(_core, "fresh_id", lambda: "id")
    results, stamp = [], str(time.time_ns())
    for kind in ("sync", "async"):
        prefix = f"shells-{kind}-{stamp}:"
        store = Store(prefix, fail, unloaded)
        answers, state = run(kind, store, prefix, policy, stamp)
        native.unban_ip_rs(state._engine.native_prefix + "192.0.2.77")
        results.append((answers, store.calls, state.stats()))
    (answers, calls, stats), (async_answers, async_calls, async_stats) = results
    assert answers == async_answers and calls == async_calls
    assert {k: v for k, v in stats.items() if k not in ("native", "last_resync_age_sec")} == \
        {k: v for k, v in async_stats.items() if k not in ("native", "last_resync_age_sec", "loop_errors",
                                                          "sync_restarts")}
    names = [c[0] for c in calls]
    if not fail:
        assert dict(answers) == {"new nonce": True, "replay": False, "issued": True, "claim": None,
                                 "replayed claim": "first", "ban": None, "unban": None,
                                 "trace": TraceOutcome(1, 990, ("pointer",), 7, True)}
        # The claim's arguments go out encoded: TTL, the marker last seen (none yet), issue time.
        claims = list(dict.fromkeys(c for c in calls if c[0] == "claim"))
        assert claims[0][:2] == ("claim", 2) and claims[0][4:] == (b"1", b"120", b"")
        assert claims[1][4:] == (b"1", b"120", b"", "1000")
        assert stats["store_errors"] == 0
        # Each script the store did not know: NOSCRIPT, loaded, the same call again.
        loads = [i for i, name in enumerate(names) if name == "SCRIPT LOAD"]
        assert len(loads) == len(unloaded) and all(calls[i - 1] == calls[i + 1] for i in loads)
        assert [n for i, n in enumerate(names) if i not in loads and i - 1 not in loads] == \
            ["claim", "claim", "claim", "GET", "ban", "unban", "trace", "config_get", "load", "markers", "markers",
             "check"]
    else:
        assert dict(answers)["new nonce"] is False and dict(answers)["replayed claim"] == ""
        assert dict(answers)["trace"] == TraceOutcome()
        assert stats["store_errors"] == 7 and stats["queued_bans"] == 1 and stats["fallbacks"] == 7


def test_an_open_breaker_answers_without_a_plan_under_raise():
    engine = Engine(f"shells-breaker-{time.time_ns()}:", "raise", breaker_threshold=1)
    engine.call_failed(RedisConnectionError("down"))
    engine.breaker.retry_at = float("inf")
    with pytest.raises(StoreUnavailable):
        engine.consume(f"n-{time.time_ns()}", 60, None)
    with pytest.raises(StoreUnavailable):
        engine.ban("192.0.2.78", 60)
    assert engine.round_trips == 1   # only the failure recorded above


def test_the_backend_without_a_store_needs_no_store_client():
    code = textwrap.dedent("""
        import asyncio, sys
        sys.modules["redis"] = None   # as if redis-py were not installed
        from velkora.shared_state import LocalState, StateBackend
        from velkora.service.state import LocalState as Old
        assert Old is LocalState

        async def main():
            state: StateBackend = LocalState(prefix="no-redis:")
            assert await state.consume_nonce("n") is True and await state.consume_nonce("n") is False
            assert await state.claim_nonce("m", "t") is None and await state.claim_nonce("m", "u") == "t"
            await state.ban_ip("2001:db8::9%1", 60)
            assert state.is_ip_banned("2001:db8::9")
            await state.unban_ip("2001:db8::9")
            assert not state.is_ip_banned("2001:db8::9")
            # Checked as the store's backend checks them: a TTL of 0 made a reusable token.
            for args, error in ((("z", "t", 0), ValueError), (("z", 1), TypeError), ((b"z", "t"), TypeError)):
                try:
                    await state.claim_nonce(*args)
                except error:
                    pass
                else:
                    raise AssertionError(args)
            assert await state.claim_nonce("z", "t") is None   # nothing was consumed by the refusals

        asyncio.run(main())
        try:
            from velkora.shared_state import SharedState
        except ImportError:
            print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_the_sync_reads_the_nonce_memory_while_claims_add_to_it():
    """Claims add to the memory without the engine's lock (the hot path); the sync's sweep
    and write-backs iterate it meanwhile. They used to fail with 'OrderedDict mutated
    during iteration', which restarted the sync."""
    engine = Engine(f"shells-race-{time.time_ns()}:", "local", remember_limit=2000)
    stop = threading.Event()
    errors: list[BaseException] = []

    def claims():
        i = 0
        while not stop.is_set():
            key, group = engine.keys.nonce_key(str(i))
            i += 1
            try:
                engine._consumed(0, key, b"1", 1 if i % 2 else 100, group)
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)
                return

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=claims)
    thread.start()
    try:
        end = time.monotonic() + 2.0
        while time.monotonic() < end and not errors:
            engine.nonces.sweep(time.time() + 50)
            engine.reset_groups.update(range(16))
            engine.writebacks()
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert errors == []
