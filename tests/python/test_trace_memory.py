"""The memory of trace sketches: its rules under an injected clock (candidates, threshold,
expiry, the caps, eviction, retries, bounds), the store script held to the same answers
and the same contents as the in-process memory on one sequence (Redis and Valkey), the
front ends' failure policies with the store killed, and a Redis Cluster.

Sketches here are made by the tests (random MinHash-like signatures, bands hashed from
groups of signature rows, as locality-sensitive banding does): the memory only ever
sees band hashes and signature values."""

import asyncio
import dataclasses
import hashlib
import random
import time
import uuid

import pytest
from velkora.trace_memory import (
    BUCKET_MAX,
    MAX_CANDIDATES,
    SWEEP_BUDGET,
    TraceConfig,
    TraceKeys,
    TraceMemory,
    TraceOutcome,
    client_group,
    parse_reply,
    parse_sketch,
    prepare,
    script_args,
)

ROWS, BANDS = 4, 16
SIGNATURE = ROWS * BANDS


class Clock:
    def __init__(self, now: float = 1_700_000_000.25) -> None:
        self.now = now

    def __call__(self) -> float:
        return self.now


def band_hashes(signature: list[int]) -> list[int]:
    return [int.from_bytes(hashlib.blake2b(repr(signature[b * ROWS:(b + 1) * ROWS]).encode(), digest_size=8).digest())
            for b in range(BANDS)]


def signature(rng: random.Random) -> list[int]:
    return [rng.getrandbits(64) for _ in range(SIGNATURE)]


def changed(base: list[int], positions, rng: random.Random) -> list[int]:  # type: ignore[no-untyped-def]
    out = list(base)
    for i in positions:
        out[i] = rng.getrandbits(64)
    return out


def sketch(pointer: list[int] | None = None, keys: list[int] | None = None, *, version: int = 1,
           shingles: int = 40, bands=None) -> dict[str, object]:  # type: ignore[no-untyped-def]
    out: dict[str, object] = {"version": version}
    for stem, sig in (("pointer", pointer), ("key", keys)):
        out[f"{stem}_signature"] = sig or []
        out[f"{stem}_bands"] = (bands if bands is not None else band_hashes(sig)) if sig else []
        out[f"{stem}_shingles"] = shingles if sig else 0
    return out


def memory(clock: Clock, **config: object) -> TraceMemory:
    return TraceMemory(TraceConfig(**config), clock)  # type: ignore[arg-type]


def remember(mem: TraceMemory, sid: str, client: str | None, data: dict[str, object], *, retry: bool = False,
             outcome_ttl_sec: int = 300):  # type: ignore[no-untyped-def]
    call = prepare(mem.config, sid, client, data, retry=retry, outcome_ttl_sec=outcome_ttl_sec)
    assert call is not None
    return mem.remember(call)


def ids_in_bands(mem: TraceMemory) -> set[bytes]:
    snap = mem.snapshot()
    return {ids[i:i + 8] for ids in snap["bands"].values() for i in range(0, len(ids), 8)}


# ---- the rules, in process ------------------------------------------------------------


def test_candidates_share_a_band_at_its_index_and_match_at_the_threshold() -> None:
    rng = random.Random(1)
    base = signature(rng)
    # Positions 4..35 changed: 32 of 64 equal (exactly the threshold), bands 0 and 9..15 shared.
    half = changed(base, range(4, 36), rng)
    below = changed(base, range(4, 37), rng)      # 31 equal
    cases = [
        (sketch(half), 1),
        (sketch(below), 0),
        # The same signature under bands that share nothing is never even a candidate.
        (sketch(base, bands=[rng.getrandbits(64) for _ in range(BANDS)]), 0),
        # A band hash of the original at another index is another band.
        (sketch(base, bands=band_hashes(base)[1:] + band_hashes(base)[:1]), 0),
        # The same trace as a key timing is another modality.
        (sketch(keys=base), 0),
        # Another sketch version is not compared.
        (sketch(base, version=2), 0),
    ]
    for data, expected in cases:
        mem = memory(Clock(), threshold=0.5)
        assert remember(mem, "first", "192.0.2.1", sketch(base)).matches == 0
        assert remember(mem, "second", "192.0.2.2", data).matches == expected
    mem = memory(Clock(), threshold=0.75)
    remember(mem, "first", None, sketch(base))
    assert remember(mem, "second", None, sketch(half)).matches == 0
    assert remember(mem, "third", None, sketch(changed(base, range(4, 20), rng))).matches == 1   # 48/64


def test_a_session_is_filed_and_found_under_its_first_bands_only() -> None:
    rng = random.Random(11)
    base = signature(rng)
    early = changed(base, range(4, 64), rng)       # shares band 0 only: 4 of 64 positions
    late = changed(base, range(0, 32), rng)        # shares bands 8..15: half the positions
    for bands, found in ((16, (1, 1)), (8, (1, 0)), (1, (1, 0))):
        mem = memory(Clock(), threshold=0.05, indexed_bands=bands)
        assert remember(mem, "first", "192.0.2.1", sketch(base)).matches == 0
        assert len(mem.snapshot()["bands"]) == bands
        got = (remember(mem, "early", "192.0.2.2", sketch(early)).matches,
               remember(mem, "late", "192.0.2.3", sketch(late)).matches)
        assert got == found, bands
    with pytest.raises(ValueError):
        TraceConfig(indexed_bands=0)


def test_both_modalities_count_a_session_once_and_say_which_matched() -> None:
    rng = random.Random(2)
    p, k = signature(rng), signature(rng)
    mem = memory(Clock())
    remember(mem, "a", "192.0.2.1", sketch(p, k))
    remember(mem, "b", "192.0.2.2", sketch(p))
    out = remember(mem, "c", "192.0.2.3", sketch(p, k))
    assert (out.matches, out.modalities) == (2, ("pointer", "keys"))
    out = remember(mem, "d", "192.0.2.4", sketch(signature(rng), k))
    assert (out.matches, out.modalities) == (2, ("keys",))


def test_expiry_by_the_injected_clock_removes_sessions_and_their_band_entries() -> None:
    clock = Clock()
    rng = random.Random(3)
    base = signature(rng)
    mem = memory(clock, ttl_sec=100)
    start = clock.now
    remember(mem, "a", "192.0.2.1", sketch(base))
    clock.now = start + 99.5
    out = remember(mem, "b", "192.0.2.2", sketch(base))
    assert (out.matches, out.last_seen_sec) == (1, 99)
    clock.now = start + 100              # "a" is exactly TTL old: gone; "b" is half a second old
    out = remember(mem, "c", "192.0.2.3", sketch(base))
    assert (out.matches, out.last_seen_sec) == (1, 0)
    a = prepare(mem.config, "a", None, sketch(base))
    assert a is not None and a.sid not in ids_in_bands(mem) and a.sid not in mem.snapshot()["sessions"]
    # A long quiet spell: each call sweeps at most SWEEP_BUDGET, and nothing expired is matched.
    for i in range(40):
        remember(mem, f"x{i}", f"198.51.100.{i}", sketch(signature(rng)))
    clock.now += 1000
    out = remember(mem, "late", "192.0.2.9", sketch(base))
    assert out.matches == 0 and len(mem) == 42 + 1 - SWEEP_BUDGET
    for _ in range(3):
        remember(mem, uuid.uuid4().hex, None, sketch(signature(rng)))
    assert len(mem) == 4 and ids_in_bands(mem) == set(mem.snapshot()["sessions"])


def test_a_flooding_client_evicts_only_its_own_oldest() -> None:
    rng = random.Random(4)
    mem = memory(Clock(), per_client=5, max_sessions=1000)
    others = {f"{client}-{i}": signature(rng) for client in ("192.0.2.10", "192.0.2.11") for i in range(3)}
    for sid, sig in others.items():
        remember(mem, sid, sid.split("-")[0], sketch(sig))
    flood = [signature(rng) for _ in range(40)]
    for i, sig in enumerate(flood):
        remember(mem, f"flood-{i}", "203.0.113.66", sketch(sig))
    # Only the flood's latest five are left of it, everyone else's are all there.
    assert len(mem) == 6 + 5
    for i, sig in enumerate(flood):
        assert remember(mem, f"probe-{i}", "192.0.2.99", sketch(sig), retry=False).matches == (i >= 35)
    for sid, sig in others.items():
        assert remember(mem, f"again-{sid}", "192.0.2.98", sketch(sig)).matches >= 1
    # An IPv6 client is its /64: rotating the interface id does not escape the cap.
    mem = memory(Clock(), per_client=3)
    for i in range(10):
        remember(mem, f"v6-{i}", f"2001:db8:1:2::{i + 1:x}", sketch(signature(rng)))
    assert len(mem) == 3 and client_group("2001:db8:1:2::ab") == "2001:db8:1:2::/64"
    assert client_group("::ffff:192.0.2.1") == "192.0.2.1"


def test_overall_cap_evicts_the_oldest_with_their_band_entries() -> None:
    rng = random.Random(5)
    mem = memory(Clock(), max_sessions=10, per_client=100)
    sigs = [signature(rng) for _ in range(15)]
    for i, sig in enumerate(sigs):
        remember(mem, f"s{i}", f"198.51.100.{i}", sketch(sig))
    kept = mem.snapshot()["sessions"]
    assert len(kept) == 10 and ids_in_bands(mem) == set(kept)
    assert len(mem.snapshot()["bands"]) == 10 * BANDS and len(mem.snapshot()["clients"]) == 10
    assert remember(mem, "late-old", None, sketch(sigs[0])).matches == 0
    assert remember(mem, "late-new", None, sketch(sigs[14])).matches == 1


def test_a_retry_gets_the_first_outcome_writes_nothing_and_never_matches_itself() -> None:
    clock = Clock()
    rng = random.Random(6)
    base = signature(rng)
    mem = memory(clock)
    first = remember(mem, "a", "192.0.2.1", sketch(base))
    assert first.matches == 0 and first.recorded
    again = remember(mem, "a", "192.0.2.1", sketch(base), retry=True)
    assert again.matches == 0 and not again.recorded and len(mem) == 1
    clock.now += 5
    reused = remember(mem, "b", "192.0.2.2", sketch(base), outcome_ttl_sec=60)
    assert (reused.matches, reused.last_seen_sec) == (1, 5)
    clock.now += 30
    retry = remember(mem, "b", "192.0.2.2", sketch(base), retry=True)
    assert (retry.matches, retry.last_seen_sec, retry.recorded) == (1, 5, False) and len(mem) == 2
    # The same session offered again as new is still not recorded twice.
    assert remember(mem, "b", "192.0.2.2", sketch(base)).recorded is False
    assert remember(mem, "c", "192.0.2.3", sketch(base)).matches == 2
    clock.now += 31                  # past the kept outcome's life (the token's)
    assert remember(mem, "b", "192.0.2.2", sketch(base), retry=True).matches == 0


def test_short_traces_bad_sketches_and_a_switched_off_memory() -> None:
    rng = random.Random(7)
    config = TraceConfig(min_shingles=8)
    base = signature(rng)
    assert prepare(config, "s", None, sketch(base, shingles=7)) is None
    assert prepare(config, "s", None, sketch()) is None
    assert prepare(TraceConfig(max_sessions=0), "s", None, sketch(base)) is None
    mixed = sketch(base, signature(rng))
    mixed["key_shingles"] = 3
    parsed = parse_sketch(mixed, 8)
    assert parsed.fields[0] and not parsed.fields[1] and not parsed.signatures[1]
    for bad, error in [
        ([], TypeError),
        ({**sketch(base), "version": "1"}, TypeError),
        ({**sketch(base), "version": 70_000}, ValueError),
        ({**sketch(base), "pointer_bands": [1.5]}, TypeError),
        ({**sketch(base), "pointer_signature": [-1] * SIGNATURE}, ValueError),
        ({**sketch(base), "pointer_signature": [1 << 64]}, ValueError),
        ({**sketch(base), "pointer_bands": list(range(256))}, ValueError),
        ({**sketch(base), "pointer_shingles": None}, TypeError),
        ({k: v for k, v in sketch(base).items() if k != "key_bands"}, TypeError),
    ]:
        with pytest.raises(error):
            prepare(config, "s", None, bad)
    # Both modalities are folded together; a bad value is still named by its own list,
    # also in a modality with too few shingles to be kept.
    for name in ("pointer_bands", "key_signature"):
        bad_value = {**mixed, name: [*mixed[name][:-1], 1 << 64]}
        with pytest.raises(ValueError, match=name):
            prepare(config, "s", None, bad_value)
    for bad_config in ({"threshold": 0}, {"threshold": 1.5}, {"ttl_sec": 0}, {"per_client": 0}, {"max_sessions": -1}):
        with pytest.raises(ValueError):
            TraceConfig(**bad_config)  # type: ignore[arg-type]


def test_one_trace_flooded_from_everywhere_costs_bounded_work() -> None:
    rng = random.Random(8)
    base = signature(rng)
    mem = memory(Clock(), max_sessions=10_000)
    for i in range(300):
        out = remember(mem, f"r{i}", f"10.0.{i // 250}.{i % 250}", sketch(changed(base, [i % SIGNATURE], rng)))
        assert out.matches == min(i, MAX_CANDIDATES)
    assert max(len(ids) for ids in mem.snapshot()["bands"].values()) == 8 * BUCKET_MAX


# ---- the store script against the in-process memory ----------------------------------


def random_sequence(seed: int, steps: int):  # type: ignore[no-untyped-def]
    """Sessions with replays, near-replays, other versions and modalities, retries and
    repeats, over a few clients (two IPv6 ones in one /64), at growing times with a
    quiet spell longer than the TTL."""
    rng = random.Random(seed)
    bases = [(signature(rng), signature(rng)) for _ in range(6)]
    clients = ["192.0.2.1", "192.0.2.2", "198.51.100.7", "2001:db8::1", "2001:db8::2", None]
    now = 1_700_000_000.5
    done: list[tuple[str, str | None, dict[str, object]]] = []
    for step in range(steps):
        now += rng.choice([0.25, 1.0, 3.5, 7.0]) if step != steps // 2 else 200.0
        roll = rng.random()
        if done and roll < 0.12:
            sid, client, data = rng.choice(done)
            yield now, sid, client, data, True
            continue
        if done and roll < 0.18:
            sid, client, data = rng.choice(done)
            yield now, sid, client, data, False
            continue
        p, k = rng.choice(bases)
        p = changed(p, rng.sample(range(SIGNATURE), rng.choice([0, 0, 3, 20, 34, 64])), rng)
        k = changed(k, rng.sample(range(SIGNATURE), rng.choice([0, 10, 64])), rng)
        data = sketch(p, k if rng.random() < 0.7 else None, version=1 if rng.random() < 0.9 else 2)
        sid = f"s{step}"
        client = rng.choice(clients)
        done.append((sid, client, data))
        yield now, sid, client, data, False


def store_snapshot(raw, keys: TraceKeys) -> dict[str, object]:  # type: ignore[no-untyped-def]
    return {
        "sessions": {sid: score for sid, score in raw.zrange(keys.sessions, 0, -1, withscores=True)},
        "clients": raw.hgetall(keys.clients),
        "bands": raw.hgetall(keys.bands),
    }


class ClaimThenTrace:
    """The trace script as the combined claim-and-trace script runs it: a new session
    claims a token of its own with a tag, a retry repeats its session's token and tag.
    Either way the claim lets it through, and the script decides which it is."""

    def __init__(self, raw, prefix: str) -> None:  # type: ignore[no-untyped-def]
        from velkora.shared_state._core import composed_source

        self.script = raw.register_script(composed_source("claim_trace", "claim", "trace"))
        self.prefix, self.marker = prefix, ""
        self.tokens: dict[bytes, bytes] = {}

    def __call__(self, *, keys: list[bytes], args: list[object]) -> object:
        sid = args[11]
        assert isinstance(sid, bytes)
        if args[0] == "n":
            self.tokens[sid] = uuid.uuid4().bytes
        token = self.tokens[sid]
        claim_keys = [f"{self.prefix}n:".encode() + token, f"{self.prefix}m".encode()]
        claimed, traced = self.script(keys=claim_keys + keys, args=[b"t:tag", 600, self.marker, "", "1", *args[1:]])
        if isinstance(claimed, list):
            self.marker = claimed[1]
            claimed = claimed[0] if claimed[0] == 0 else claimed[2]
        assert claimed == (0 if args[0] == "n" else b"t:tag")
        return traced


@pytest.mark.parametrize("combined", [False, True], ids=["trace", "claim+trace"])
def test_the_store_script_gives_the_in_process_answers_and_contents(store, combined) -> None:  # type: ignore[no-untyped-def]
    redis = pytest.importorskip("redis")
    from velkora.shared_state._core import script_source

    raw = redis.Redis.from_url(store.url, socket_timeout=10)
    prefix = f"tm{uuid.uuid4().hex[:8]}:"
    keys = TraceKeys.for_prefix(prefix)
    script = ClaimThenTrace(raw, prefix) if combined else raw.register_script(script_source("trace"))
    # Small bounds, so that the candidate, band entry, sweep and eviction limits all bind.
    config = TraceConfig(ttl_sec=60, per_client=4, max_sessions=15, threshold=0.5, min_shingles=8,
                         max_candidates=2, bucket_max=3, sweep_budget=5, evict_budget=1)
    clock = Clock()
    mem = TraceMemory(config, clock)
    answers = 0
    for step, (now, sid, client, data, retry) in enumerate(random_sequence(11, 400)):
        if step == 200:
            # Fewer bands per session from here on: records filed under 16 and under 5 bands
            # are looked up, matched and evicted side by side.
            config = dataclasses.replace(config, indexed_bands=5)
            mem.config = config
        if step == 300:
            # Caps lowered by a redeployment: the eviction budget spreads the catching up.
            config = dataclasses.replace(config, per_client=2, max_sessions=6)
            mem.config = config
        call = prepare(config, sid, client, data, retry=retry, outcome_ttl_sec=30)
        assert call is not None
        clock.now = now
        expected = mem.remember(call)
        got = parse_reply(script(keys=keys.for_session(call.sid), args=script_args(config, call, now)))
        assert got == expected, (step, sid, retry)
        answers += expected.matches > 0
        if step % 50 == 49:
            assert store_snapshot(raw, keys) == mem.snapshot(), step
    assert store_snapshot(raw, keys) == mem.snapshot()
    assert raw.hlen(keys.records) == len(mem)
    assert answers > 40                      # the sequence did exercise matching
    raw.close()


def test_a_claim_that_refuses_stores_no_trace(store) -> None:  # type: ignore[no-untyped-def]
    """The combined script: another tag, a repeat without a tag, or a token older than the
    store's epoch stores nothing; a consumed token records its trace."""
    redis = pytest.importorskip("redis")
    from velkora.shared_state._core import composed_source

    raw = redis.Redis.from_url(store.url, socket_timeout=10)
    script = raw.register_script(composed_source("claim_trace", "claim", "trace"))
    prefix = f"tr{uuid.uuid4().hex[:8]}:"
    keys = TraceKeys.for_prefix(prefix)
    config = TraceConfig()
    data = sketch(signature(random.Random(12)))
    marker = f"{prefix}m".encode()

    def claim(token: str, value: bytes, tagged: str = "1", issued: str = "") -> tuple[object, object]:
        call = prepare(config, token, "192.0.2.9", data)
        assert call is not None
        nonce = f"{prefix}n:{token}".encode()
        claimed, traced = script(keys=[nonce, marker, *keys.for_session(call.sid)],
                                 args=[value, 600, raw.get(marker) or "", issued, tagged,
                                       *script_args(config, call)[1:]])
        return claimed, (traced if traced == 0 else parse_reply(traced))

    assert claim("a", b"t:one")[1] == TraceOutcome(0, None, (), 1, True)
    held = store_snapshot(raw, keys)
    assert claim("a", b"t:two") == (b"t:one", 0)           # another request with the token
    assert claim("a", b"t:one", tagged="") == (b"t:one", 0)  # a repeat that is no retry
    assert claim("b", b"t:one", issued="1") == (2, 0)         # issued before the store's epoch
    assert raw.exists(f"{prefix}n:b") == 0 and store_snapshot(raw, keys) == held
    assert claim("a", b"t:one") == (b"t:one", TraceOutcome(0, None, (), 1, False))  # the retry
    assert claim("c", b"t:three")[1] == TraceOutcome(1, 0, ("pointer",), 2, True)
    raw.close()


# ---- the front ends on a real store, and its failures ---------------------------------


def test_front_ends_on_the_store_and_without_it(tmp_path) -> None:  # type: ignore[no-untyped-def]
    pytest.importorskip("redis")
    from stores import launch
    from velkora.shared_state import AsyncSharedState, SharedState, StoreUnavailable

    rng = random.Random(9)
    base = signature(rng)
    server = launch("valkey", tmp_path / "store")
    prefix = f"tf{uuid.uuid4().hex[:8]}:"
    states: dict[str, SharedState] = {}
    try:
        with SharedState.from_url(server.url, prefix=prefix, timeout=2.0) as state:
            assert state.remember_trace("a", "192.0.2.1", sketch(base)).matches == 0
            out = state.remember_trace("b", "192.0.2.2", sketch(base))
            assert out.matches == 1 and out.last_seen_sec == 0 and state.stats()["trace_sessions"] == 2
            assert state.remember_trace("b", "192.0.2.2", sketch(base), retry=True).matches == 1
            assert state.stats()["trace_sessions"] == 2
            assert state.remember_trace("short", None, sketch(base, shingles=2)).matches == 0

        async def asynchronous() -> None:
            async with AsyncSharedState.from_url(server.url, prefix=prefix, timeout=2.0) as state:
                assert (await state.remember_trace("c", "192.0.2.3", sketch(base))).matches == 2
                # The claim and the trace in one step: the token consumed, the trace recorded.
                both = state.claim_nonce_and_remember_trace
                stored, out = await both("tok-h", "tag", 60, session_id="h", client="192.0.2.8", sketch=sketch(base))
                assert stored is None and out is not None and out.matches == 3 and out.recorded
                # The token again through this process (its native engine knows it), and no
                # usable sketch: the claim alone, the trace left to the caller.
                assert await both("tok-h", "tag", 60, session_id="h", client=None, sketch=sketch(base)) == ("tag", None)
                assert await both("tok-i", "", 60, session_id="i", client=None, sketch={}) == (None, None)
                assert state.stats()["trace_sessions"] == 4

        asyncio.run(asynchronous())
        with SharedState.from_url(server.url, prefix=prefix, timeout=2.0) as state:
            # The blocking front end runs the same one-step plan.
            stored, out = state.claim_nonce_and_remember_trace("tok-s", "tag", 60, session_id="s", client="192.0.2.9",
                                                               sketch=sketch(base))
            assert stored is None and out is not None and out.matches == 4 and out.recorded
            assert state.claim_nonce("tok-s", "other", 60) == "tag" and state.stats()["trace_sessions"] == 5
        for policy in ("local", "refuse", "raise"):
            states[policy] = SharedState.from_url(server.url, prefix=prefix, on_store_error=policy, timeout=0.5)
            states[policy].start()
        combined = {policy: AsyncSharedState.from_url(server.url, prefix=prefix, on_store_error=policy, timeout=0.5)
                    for policy in ("local", "raise")}
        server.stop()

        async def store_down() -> None:
            # The combined call's store call fails: the claim answers by policy and the
            # trace is left to the caller, nothing recorded in this process's memory yet.
            answer = await combined["local"].claim_nonce_and_remember_trace(
                "tok-j", "tag", 60, session_id="j", client=None, sketch=sketch(base))
            assert answer == (None, None) and combined["local"].stats()["trace_local_sessions"] == 0
            with pytest.raises(StoreUnavailable):
                await combined["raise"].claim_nonce_and_remember_trace(
                    "tok-k", "tag", 60, session_id="k", client=None, sketch=sketch(base))
            for state in combined.values():
                await state.close()

        asyncio.run(store_down())
        started = time.monotonic()
        # The store knows four sessions of this trace; without it, nothing matches them.
        local = states["local"]
        assert local.remember_trace("d", "192.0.2.4", sketch(base)).matches == 0
        assert local.remember_trace("e", "192.0.2.5", sketch(base)).matches == 1   # this process saw "d"
        assert local.stats()["trace_local_sessions"] == 2 and local.stats()["fallbacks"] >= 2
        assert states["refuse"].remember_trace("f", None, sketch(base)).matches == 0
        for i in range(4):
            with pytest.raises(StoreUnavailable):
                states["raise"].remember_trace(f"g{i}", None, sketch(base))
        assert time.monotonic() - started < 5
        assert states["raise"].stats()["breaker_open"]
    finally:
        server.stop()
        for state in states.values():
            state.close()


@pytest.mark.cluster
def test_the_memory_lives_in_one_slot_of_a_cluster(tmp_path) -> None:  # type: ignore[no-untyped-def]
    pytest.importorskip("redis")
    from redis.cluster import RedisCluster
    from stores import start_cluster
    from velkora.shared_state import AsyncSharedState, SharedState

    rng = random.Random(10)
    base = signature(rng)
    prefix = f"tc{uuid.uuid4().hex[:8]}:"
    keys = TraceKeys.for_prefix(prefix)
    with start_cluster(tmp_path / "cluster") as cluster:
        with SharedState.from_url(cluster.url, prefix=prefix, cluster=True, timeout=2.0) as state:
            assert state.remember_trace("a", "192.0.2.1", sketch(base)).matches == 0
            assert state.remember_trace("b", "192.0.2.2", sketch(base)).matches == 1
            assert state.stats()["store_errors"] == 0

        async def combined() -> None:
            # The nonce and the trace keys fall in different slots: the claim alone, in one
            # call that the Cluster accepts, and the trace left to the caller.
            async with AsyncSharedState.from_url(cluster.url, prefix=prefix, cluster=True, timeout=2.0) as state:
                answer = await state.claim_nonce_and_remember_trace("tok", "tag", 60, session_id="c", client=None,
                                                                    sketch=sketch(base))
                assert answer == (None, None)
                assert await state.claim_nonce("tok", "tag", 60) == "tag"
                assert state.stats()["store_errors"] == 0

        asyncio.run(combined())
        raw = RedisCluster.from_url(cluster.url)
        try:
            slots = {raw.keyslot(key) for key in keys.for_session(b"12345678")}
            assert len(slots) == 1 and raw.zcard(keys.sessions) == 2
        finally:
            raw.close()
