"""The I/O-free decisions of velkora.shared_state, driven by an injected clock: breaker
timing, clock skew in full loads and published changes, version gaps, the ban queue,
input checks and key names."""

import math
import time

import pytest

pytest.importorskip("redis")

import velkora_core_rs as native  # noqa: E402
from velkora.shared_state._core import (  # noqa: E402
    MAX_BAN_SEC,
    BanQueue,
    Breaker,
    Change,
    Engine,
    Keys,
    StoreUnavailable,
    check_duration,
    decode_tag,
    eviction_policies,
    normalise_ip,
    parse_change,
    plan_resync,
)


class FakeClock:
    def __init__(self, wall: float = 1_000_000.0, offset: float = 0.0) -> None:
        self.t = wall
        self.offset = offset

    def wall(self) -> float:
        return self.t + self.offset

    def monotonic(self) -> float:
        return self.t


def test_breaker_opens_after_threshold_and_probes_with_doubling_backoff():
    clock = FakeClock()
    breaker = Breaker(clock, threshold=2, base_delay=0.1, max_delay=0.4)
    assert breaker.allow() and not breaker.failure()
    assert breaker.allow() and breaker.failure() and breaker.is_open
    assert not breaker.allow()
    clock.t += 0.1
    assert breaker.allow()          # the probe
    assert not breaker.allow()      # only one per delay
    breaker.failure()               # probe failed: delay 0.2
    clock.t += 0.19
    assert not breaker.allow()
    clock.t += 0.01
    assert breaker.allow()
    breaker.failure(); breaker.failure()   # capped at 0.4
    assert breaker.delay == 0.4
    clock.t += 0.4
    assert breaker.allow() and breaker.success() and not breaker.is_open
    assert breaker.allow() and breaker.delay == 0.1


def test_full_load_converts_store_end_times_to_local_ones_whatever_the_skew():
    record = {"9.9.9.9": 5.0, "8.8.8.8": 7.0}
    # The store says 1.1.1.1 ends 10 s after its own "now"; this host's clock is 30 s ahead.
    plan = plan_resync(record, [b"1.1.1.1", b"1010.0", b"2.2.2.2", b"1000.5"], store_now=1000.0,
                       local_now=1030.0, native_prefix="p", keep={"8.8.8.8"})
    assert plan.record == {"1.1.1.1": 1040.0, "2.2.2.2": 1030.5, "8.8.8.8": 7.0}
    assert sorted(plan.hydrate) == [("p1.1.1.1", 1040), ("p2.2.2.2", 1031)]
    assert plan.unban == ["p9.9.9.9"]   # lifted in the store; the queued one stays


def test_changes_apply_in_version_order_and_a_gap_asks_for_a_full_load():
    clock = FakeClock(wall=time.time(), offset=30.0)   # a host 30 s ahead of the store
    engine = Engine("core-test-gap:", "local", clock)
    engine.resync([b"e1", b"4", b"1000.0", []])
    ip, key = "203.0.113.7", engine.keys.native_prefix + "203.0.113.7"
    try:
        assert engine.apply_change(Change("b", 4, ip, 50.0, "e1"))          # stale: already loaded
        assert ip not in engine.record
        assert engine.apply_change(Change("b", 5, ip, 50.0, "e1"))
        assert engine.record[ip] == pytest.approx(clock.wall() + 50.0)
        assert not engine.apply_change(Change("u", 7, ip, epoch="e1"))      # 6 was missed
        assert ip in engine.record and engine.version == 5
        assert engine.apply_change(Change("u", 6, ip, epoch="e1")) and ip not in engine.record
        assert not native.is_ip_banned_rs(key)
        # An own ban answered with a version the sync has already passed is not applied.
        engine.apply_own_ban(ip, 6, 100.0, "e1")
        assert ip not in engine.record
        engine.apply_own_ban(ip, 7, 100.0, "e1")
        assert ip in engine.record
        # Another epoch (the store lost its bans): versions are not compared across
        # epochs, a load is asked for, and an own ban there still applies here.
        assert not engine.apply_change(Change("b", 1, "203.0.113.8", 50.0, "e2"))
        engine.apply_own_ban(ip, 1, 300.0, "e2")
        assert engine.resync_needed and engine.record[ip] == pytest.approx(clock.wall() + 300.0)
    finally:
        native.unban_ip_rs(key)


def test_bans_end_by_the_store_clock_on_a_skewed_host():
    """The ban travels as remaining seconds, so a host 30 s ahead ends it on time."""
    clock = FakeClock(wall=time.time(), offset=30.0)
    engine = Engine("core-test-skew:", "local", clock)
    engine.resync([b"e", b"1", b"500.0", [b"198.51.100.1", b"502.0"]])
    assert engine.record["198.51.100.1"] == pytest.approx(clock.wall() + 2.0)
    clock.t += 3.5
    engine.prune()
    assert "198.51.100.1" not in engine.record


def test_policies_when_the_store_failed():
    local, refuse, fail = (Engine(f"core-test-policy-{p}:", p) for p in ("local", "refuse", "raise"))
    def args(name):
        key, group = local.keys.nonce_key(name)
        return key, b"1", 300, group

    assert local.nonce_fallback(*args("a")) is True and local.claim_fallback(*args("b")) is None
    assert refuse.nonce_fallback(*args("a")) is False and refuse.claim_fallback(*args("b")) == ""
    assert local.replay_tag_fallback(args("c")[0]) == "" and refuse.replay_tag_fallback(args("c")[0]) == ""
    assert local.fallbacks == 3 and refuse.fallbacks == 3
    # What "local" consumed alone it remembers for the TTL given, whatever the native
    # engine forgets, and offers for writing back.
    assert local.nonce_fallback(*args("a")) is False and local.stats()["pending_nonces"] == 2
    assert [w.key for w in local.writebacks()] == [args("a")[0], args("b")[0]]
    for call in (lambda: fail.nonce_fallback(*args("x")), lambda: fail.claim_fallback(*args("y")),
                 lambda: fail.replay_tag_fallback(args("z")[0]),
                 lambda: fail.ban_unreachable("192.0.2.1", 5), lambda: fail.unban_unreachable("192.0.2.1")):
        with pytest.raises(StoreUnavailable):
            call()
    assert fail.fallbacks == 0 and len(fail.queue) == 0 and not fail.record
    with pytest.raises(ValueError, match="on_store_error"):
        Engine("x:", "ignore")


def test_unreachable_bans_apply_locally_and_queue_keeping_the_longest():
    clock = FakeClock(wall=time.time())
    engine = Engine("core-test-queue:", "local", clock)
    try:
        engine.ban_unreachable("192.0.2.9", 100)
        engine.ban_unreachable("192.0.2.9", 10)   # never shortens
        assert native.is_ip_banned_rs(engine.keys.native_prefix + "192.0.2.9")
        ip, end, remaining = engine.next_queued()
        assert ip == "192.0.2.9" and remaining == pytest.approx(100.0)
        engine.unban_unreachable("192.0.2.9")
        assert engine.next_queued() == ("192.0.2.9", None, 0.0)
        assert not native.is_ip_banned_rs(engine.keys.native_prefix + "192.0.2.9")
        engine.queued_done("192.0.2.9", None)
        engine.ban_unreachable("192.0.2.10", 5)
        clock.t += 6   # expired while queued: dropped, never written
        assert engine.next_queued() is None and engine.stats()["queued_bans"] == 0
    finally:
        for ip in ("192.0.2.9", "192.0.2.10"):
            native.unban_ip_rs(engine.keys.native_prefix + ip)


def test_queue_is_bounded_and_drops_the_oldest():
    queue = BanQueue(2)
    queue.put("a", 1.0); queue.put("b", 2.0); queue.put("a", 0.5)   # a moves to the back, keeps 1.0
    queue.put("c", None)
    assert queue.dropped == 1 and queue.first() == ("a", 1.0) and queue.banned() == {"a"}
    queue.done("a", 0.5)   # not the entry that was written: stays
    assert len(queue) == 2


def test_input_checks():
    assert normalise_ip("::ffff:192.0.2.1") == "192.0.2.1"
    assert normalise_ip("2001:DB8:0:0::1") == "2001:db8::1"
    # Zone indexes name a link of one host, never another client: dropped.
    assert normalise_ip("2001:db8::1%0") == normalise_ip("2001:DB8::1%eth 0") == "2001:db8::1"
    assert normalise_ip("fe80::1%1") == "fe80::1" and normalise_ip("::ffff:192.0.2.1%3") == "192.0.2.1"
    for bad in ("", "1.2.3", "192.0.2.1 ", "x"):
        with pytest.raises(ValueError):
            normalise_ip(bad)
    with pytest.raises(TypeError):
        normalise_ip(b"192.0.2.1")
    assert check_duration(1) == 1 and check_duration(MAX_BAN_SEC) == MAX_BAN_SEC
    for bad in (0, -1, MAX_BAN_SEC + 1):
        with pytest.raises(ValueError):
            check_duration(bad)
    for bad in (1.5, True, "5"):
        with pytest.raises(TypeError):
            check_duration(bad)


def test_key_names():
    keys = Keys.for_prefix("app:")
    # One hash tag for the set and the version, so one Cluster slot holds both.
    assert keys.bans.split(b"{")[1].split(b"}")[0] == keys.version.split(b"{")[1].split(b"}")[0] == b"bans"
    assert len(keys.nonce("x" * 100_000)) == len(keys.nonce("")) == len(b"app:n:{0}") + 16
    assert keys.nonce("a") != keys.nonce("b")
    # A nonce key and its group's epoch marker share a hash tag, so one slot holds both.
    key, group = keys.nonce_key("a")
    assert key.split(b"{")[1].split(b"}")[0] == keys.markers[group].split(b"{")[1].split(b"}")[0]
    assert len({keys.nonce_key(f"n{i}")[1] for i in range(200)}) == 16
    # Native keys of two prefixes never meet, even where plain concatenation would.
    assert Keys.for_prefix("a").native_prefix + "bc" != Keys.for_prefix("ab").native_prefix + "c"
    assert decode_tag(b"t:x y") == "x y" and decode_tag(b"1") == "" and decode_tag(None) == ""
    assert decode_tag("t:as str") == "as str" and decode_tag("1") == ""   # decode_responses=True
    assert parse_change(b"b e1 3 1.500000 ::1") == Change("b", 3, "::1", 1.5, "e1")
    assert parse_change(b"u e1 4 10.0.0.1") == Change("u", 4, "10.0.0.1", epoch="e1")
    assert parse_change(b"r e2 9") == Change("r", 9, "", epoch="e2")
    assert parse_change(b"hello") is None and parse_change(b"b e x 1 ip") is None
    assert eviction_policies({b"maxmemory-policy": b"allkeys-lru"}) == ["allkeys-lru"]
    assert eviction_policies({"n1": {"maxmemory-policy": "noeviction"}}) == ["noeviction"]
    assert math.isfinite(MAX_BAN_SEC)
