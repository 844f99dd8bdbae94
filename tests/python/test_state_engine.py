"""The state engine: nonce replay cache, IP ban table, clear and statistics.

The engine is process-wide, so every test here starts from a clear. Checks that
need a fresh process run in a subprocess; checks that need the clocks to move
run under libfaketime, which freezes both the real-time and the monotonic clock
at times the test writes into a file: one end-to-end check, the rest of the
clock behaviour is checked in the native driver (test_nonce_cache_native.py)."""

import collections
import json
import os
import pathlib
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import velkora_core_rs as core

FAR = 4_000_000_000  # an end second in 2096
U64_MAX = (1 << 64) - 1


@pytest.fixture(autouse=True)
def clean_state():
    core.clear_state_engine_rs()
    yield
    core.clear_state_engine_rs()


def stats():
    return core.get_state_engine_stats_rs()


def assert_message(exc, message):
    """None: the interpreter's own error, never prefixed with an argument name;
    ending in ': ': a prefix; otherwise the whole message."""
    text = str(exc)
    if message is None:
        assert not text.startswith("argument '")
    elif message.endswith(": "):
        assert text.startswith(message)
    else:
        assert text == message


def run_python(code: str, env: dict | None = None) -> list:
    """Runs `code` in a new interpreter with the module imported as `core`; it
    appends observations to `out`, which comes back decoded from JSON."""
    script = "import json\nimport velkora_core_rs as core\nout = []\n" + textwrap.dedent(code)
    script += "\nprint(json.dumps(out))\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# --- a fresh process ------------------------------------------------------------------

@pytest.mark.parametrize("first_call", [
    "pass",
    "core.clear_state_engine_rs()",
    "out.append(core.is_ip_banned_rs('203.0.113.7'))",
    "try:\n    core.consume_nonce_rs(5)\nexcept TypeError:\n    pass",
])
def test_first_state_call_of_a_process_sees_an_empty_engine(first_call):
    out = run_python(first_call + "\nout.append(list(core.get_state_engine_stats_rs().items()))")
    assert out[-1] == [["current_bucket_nonces", 0], ["previous_bucket_nonces", 0],
                       ["active_ip_bans", 0]]
    assert out[:-1] in ([], [False])


# --- nonces ---------------------------------------------------------------------------

class Text(str):
    pass


def test_nonces_are_compared_byte_for_byte():
    calls = [("Nonce", True), ("nonce", True), ("NONCE", True), ("nonce", False),
             ("", True), ("", False), ("\0", True), ("a", True), ("a\0", True), ("a\0b", True),
             ("a\0c", True), ("a\0", False), ("tok ", True), ("tok", True), (" tok", True),
             ("e\u0301", True), ("\u00e9", True), ("e\u0301", False), ("🎉" * 5_000, True),
             (Text("sub"), True), ("sub", False), (Text("tok"), False)]
    assert [core.consume_nonce_rs(n) for n, _ in calls] == [ok for _, ok in calls]
    assert stats()["current_bucket_nonces"] == sum(ok for _, ok in calls)


def test_many_nonces_outgrow_the_initial_room():
    nonces = [f"{i:08d}-nonce" for i in range(20_000)]
    assert all(core.consume_nonce_rs(n) for n in nonces)
    assert not any(core.consume_nonce_rs(n) for n in reversed(nonces))
    assert stats()["current_bucket_nonces"] == 20_000


def test_threads_get_exactly_one_true_per_nonce():
    nonces = [f"shared-{i}" for i in range(3_000)]
    accepted = collections.Counter()
    lock = threading.Lock()
    start = threading.Barrier(9)

    def consumer(seed):
        order = nonces + [f"own-{seed}-{i}" for i in range(200)]
        random.Random(seed).shuffle(order)
        start.wait()
        mine = [n for n in order if core.consume_nonce_rs(n)]
        with lock:
            accepted.update(mine)

    def reader():
        start.wait()
        for _ in range(2_000):
            core.get_state_engine_stats_rs()
            core.is_ip_banned_rs("203.0.113.7")

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=consumer, args=(s,)) for s in range(8)]
        threads.append(threading.Thread(target=reader))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert len(accepted) == 3_000 + 8 * 200
    assert set(accepted.values()) == {1}
    assert stats()["current_bucket_nonces"] == 3_000 + 8 * 200


@pytest.mark.parametrize("call, error, message", [
    (lambda: core.consume_nonce_rs(b"abc"), TypeError,
     "argument 'nonce': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: core.consume_nonce_rs("\ud800"), UnicodeEncodeError, None),
    (lambda: core.is_ip_banned_rs(None), TypeError,
     "argument 'ip': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs(5, 10), TypeError,
     "argument 'ip': 'int' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs("a", -1), OverflowError, None),
    (lambda: core.ban_ip_rs("a", 1.5), TypeError, "argument 'duration_sec': "),
    (lambda: core.unban_ip_rs(["a"]), TypeError,
     "argument 'ip': 'list' object cannot be converted to 'PyString'"),
])
def test_refused_argument_changes_nothing(call, error, message):
    core.consume_nonce_rs("kept")
    core.ban_ip_rs("a", 3600)
    with pytest.raises(error) as raised:
        call()
    assert_message(raised.value, message)
    assert stats() == {"current_bucket_nonces": 1, "previous_bucket_nonces": 0,
                       "active_ip_bans": 1}


# --- bans -----------------------------------------------------------------------------

def test_ban_query_unban():
    ip = "203.0.113.7"
    assert core.ban_ip_rs(ip, 3600) is None
    assert core.is_ip_banned_rs(ip) is True
    assert core.is_ip_banned_rs(Text(ip)) is True
    for other in (ip + " ", " " + ip, "203.0.113.70", "203.0.113.", ""):
        assert core.is_ip_banned_rs(other) is False
    assert core.unban_ip_rs(ip) is None
    assert core.is_ip_banned_rs(ip) is False
    assert core.unban_ip_rs(ip) is None  # nothing left to remove
    assert core.unban_ip_rs("never banned") is None
    core.ban_ip_rs("a", 3600)
    core.ban_ip_rs("a", 0)  # replaces the longer ban and ends at once
    assert core.is_ip_banned_rs("a") is False
    assert stats()["active_ip_bans"] == 0


@pytest.mark.parametrize("duration", [U64_MAX, U64_MAX - 10, (1 << 64) - int(time.time())])
def test_end_time_past_the_last_second_saturates(duration):
    # now + duration does not fit in 64 bits: the ban lasts for ever instead of
    # wrapping round to an end time in the past.
    core.ban_ip_rs("a", duration)
    assert core.is_ip_banned_rs("a") is True
    assert stats()["active_ip_bans"] == 1


def test_hydrate_merges_unended_pairs():
    class Pairs:
        """Old-style sequence whose length cannot be had: only iteration counts."""

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return (f"s{i}", FAR)

    now = int(time.time())  # the engine reads the clock later, so `now` has ended too
    core.ban_ip_rs("kept", 3600)
    core.ban_ip_rs("ended", 0)  # stored, but not counted as active
    core.hydrate_bans_rs([])
    core.hydrate_bans_rs(())
    core.hydrate_bans_rs(Pairs())
    pair = collections.namedtuple("pair", "ip expires_at")
    core.hydrate_bans_rs([("a", FAR), (Text("b"), FAR), pair("c", FAR)])
    core.hydrate_bans_rs((("kept", now), ("kept", 1), ("d", now), ("e", now - 100), ("f", 0)))
    core.hydrate_bans_rs([("g", FAR), ("g", now)])  # an ended later pair does not undo it
    banned = ["kept", "s0", "s1", "a", "b", "c", "g"]
    assert all(core.is_ip_banned_rs(ip) for ip in banned)
    assert not any(core.is_ip_banned_rs(ip) for ip in ["ended", "d", "e", "f"])
    assert stats()["active_ip_bans"] == len(banned)


def test_hydrate_keeps_each_pair_with_its_address():
    # Addresses of many lengths (empty, NULs, past 127 bytes), with ended pairs
    # between them that are skipped, over several batches; and end seconds on
    # both sides of 2**63.
    now = int(time.time())
    addresses = ["", "\0", "a\0b", "\u00e9", "x" * 127, "y" * 128, "z" * 300]
    addresses += [f"{i}:" + "w" * (i % 40) for i in range(200)]
    ends = [FAR, 2**63 - 1, 2**63, 2**64 - 1, now + 3600]
    pairs = [(ip, ends[i % len(ends)] if i % 3 else now - 1) for i, ip in enumerate(addresses)]
    core.hydrate_bans_rs(pairs)
    assert [core.is_ip_banned_rs(ip) for ip in addresses] == [end > now for _, end in pairs]
    assert stats()["active_ip_bans"] == sum(end > now for _, end in pairs)
    for ip in addresses[::2]:
        core.unban_ip_rs(ip)
    core.hydrate_bans_rs([(ip, FAR) for ip in addresses[::4]])
    assert [core.is_ip_banned_rs(ip) for ip in addresses] == [
        i % 4 == 0 or (i % 2 == 1 and end > now) for i, (_, end) in enumerate(pairs)]


def test_hydration_started_while_converting_another_keeps_both_apart():
    class End:
        def __init__(self, inner):
            self.inner = inner

        def __index__(self):
            core.hydrate_bans_rs(self.inner)
            return FAR

    inner = [("inner-a", FAR), ("inner-b", End([("innermost", FAR)]))]
    core.hydrate_bans_rs([("outer-a", FAR), ("outer-b", End(inner)), ("outer-c", FAR)])
    for ip in ["outer-a", "outer-b", "outer-c", "inner-a", "inner-b", "innermost"]:
        assert core.is_ip_banned_rs(ip), ip
    assert stats()["active_ip_bans"] == 6
    core.hydrate_bans_rs([("after", FAR)])  # the thread's buffers are free again
    assert stats()["active_ip_bans"] == 7


class Broken:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return ("valid", FAR)
        raise RuntimeError("broken sequence")


@pytest.mark.parametrize("bans, error, message", [
    ([("valid", FAR), ["a", FAR]], TypeError,
     "argument 'bans': 'list' object cannot be converted to 'PyTuple'"),
    ([("valid", FAR), ("a", FAR, 1)], ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ([("valid", FAR), ("a", -1)], OverflowError, None),
    ([("valid", FAR), (5, FAR)], TypeError,
     "argument 'bans': 'int' object cannot be converted to 'PyString'"),
    ([("valid", FAR), ("a", "5")], TypeError, "argument 'bans': "),
    ([("valid", FAR), ("\ud800", FAR)], UnicodeEncodeError, None),
    (Broken(), RuntimeError, "broken sequence"),
    ("ab", TypeError, "argument 'bans': Can't extract `str` to `Vec`"),
    ({"valid": FAR}, TypeError, "argument 'bans': 'dict' object cannot be converted to 'Sequence'"),
])
def test_hydrate_stores_nothing_unless_every_pair_converts(bans, error, message):
    with pytest.raises(error) as raised:
        core.hydrate_bans_rs(bans)
    assert_message(raised.value, message)
    assert core.is_ip_banned_rs("valid") is False
    assert stats()["active_ip_bans"] == 0


def test_clear_forgets_nonces_and_bans():
    core.consume_nonce_rs("n")
    core.ban_ip_rs("a", 3600)
    core.hydrate_bans_rs([("b", FAR)])
    assert core.clear_state_engine_rs() is None
    assert stats() == {"current_bucket_nonces": 0, "previous_bucket_nonces": 0,
                       "active_ip_bans": 0}
    assert core.consume_nonce_rs("n") is True
    assert not core.is_ip_banned_rs("a") and not core.is_ip_banned_rs("b")
    assert core.clear_state_engine_rs() is None  # clearing an empty engine is fine


# --- time: rotation of the nonce buckets and ban end times ----------------------------

FAKETIME_LIBS = [
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
    "/usr/local/lib/faketime/libfaketime.so.1",
]
BASE = 1_893_456_000  # 2030-01-01 00:00:00 UTC: second 0 of the scenarios below

FAKE_CLOCK_PRELUDE = """
import os, pathlib, time
_clock_file = pathlib.Path(os.environ["FAKETIME_TIMESTAMP_FILE"])

def at_unix(second):
    # A date without '@' freezes both clocks at that second until it is rewritten.
    _clock_file.write_text(time.strftime("%Y-%m-%d %H:%M:%S\\n", time.gmtime(second)))

def at(t):
    at_unix(BASE + t)

def buckets():
    d = core.get_state_engine_stats_rs()
    return [d["current_bucket_nonces"], d["previous_bucket_nonces"]]
"""


@pytest.fixture(scope="module")
def fake_clock(tmp_path_factory):
    """Runs a scenario with both clocks frozen at times the scenario chooses."""
    lib = next((p for p in [os.environ.get("FAKETIME_LIB", "")] + FAKETIME_LIBS
                if p and pathlib.Path(p).is_file()), None)
    if lib is None:
        pytest.skip("missing: libfaketime (Debian package 'faketime')")
    clock_file = tmp_path_factory.mktemp("faketime") / "now"

    def run(code):
        clock_file.write_text(time.strftime("%Y-%m-%d %H:%M:%S\n", time.gmtime(BASE)))
        # Appended to what is preloaded already: a sanitizer runtime must stay first.
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), lib]))
        env = {"LD_PRELOAD": preload, "FAKETIME_TIMESTAMP_FILE": str(clock_file),
               "FAKETIME_NO_CACHE": "1", "TZ": "UTC"}
        return run_python(f"BASE = {BASE}\n" + FAKE_CLOCK_PRELUDE + textwrap.dedent(code), env)

    probe = run("""
        at(90)
        out.append([time.time(), time.clock_gettime(time.CLOCK_MONOTONIC)])
    """)
    if probe != [[BASE + 90, BASE + 90]]:
        pytest.skip(f"libfaketime does not move both clocks here: {probe}")
    return run


def test_clocks_end_to_end(fake_clock):
    # The entry points read the real clocks (the table work on a clock of its own
    # is checked by the native driver): the rotation clock starts with the first
    # state call that gets as far as the record, rotation at 60 s of the
    # monotonic clock, ban end seconds on the wall clock, read before the lock
    # by ban_ip_rs and under it by hydrate_bans_rs, and a wall clock before
    # 1970 read as second 0.
    out = fake_clock("""
        try:
            core.consume_nonce_rs(5)                   # fails before the record is made
        except TypeError:
            pass
        at(50); out.append(core.consume_nonce_rs("a"))
        at(109); out.append(core.consume_nonce_rs("b")); out.append(buckets())
        at(110); out.append(core.consume_nonce_rs("a")); out.append(buckets())  # rotation
        core.ban_ip_rs("x", 60)
        at(169); out.append(core.is_ip_banned_rs("x"))
        at(170); out.append(core.is_ip_banned_rs("x"))
        out.append(core.get_state_engine_stats_rs()["active_ip_bans"])
        core.hydrate_bans_rs([("y", BASE + 200), ("y", BASE + 170)])  # the ended pair is skipped
        at(199); out.append(core.is_ip_banned_rs("y"))
        at(200); out.append(core.is_ip_banned_rs("y"))
        at_unix(-3600); core.ban_ip_rs("z", 100)   # ends at second 100 after the epoch
        at_unix(99); out.append(core.is_ip_banned_rs("z"))
        at_unix(100); out.append(core.is_ip_banned_rs("z"))
    """)
    assert out == [True, True, [2, 0], False, [0, 2], True, False, 0, True, False, True, False]


def test_ended_bans_are_dropped_and_their_memory_given_back():
    from test_leaks import native_in_use

    before = native_in_use()
    # 300,000 bans that end at once: whenever the table would grow, it drops
    # them instead, so it never holds more than a few thousand.
    for i in range(300_000):
        core.ban_ip_rs(f"2001:db8::{i:x}", 0)
    assert native_in_use() - before < 1_000_000
    core.ban_ip_rs("kept", 3600)
    # 5,000 one-second bans, then a statistics call after they ended.
    core.hydrate_bans_rs([(f"2001:db8:1::{i:x}", int(time.time()) + 1) for i in range(5_000)])
    grown = native_in_use() - before
    time.sleep(1.1)
    assert stats()["active_ip_bans"] == 1
    assert native_in_use() - before < grown - 100_000
    assert core.is_ip_banned_rs("kept") and not core.is_ip_banned_rs("2001:db8:1::1")


def test_hydration_buffers_over_the_kept_size_are_given_back():
    from test_leaks import native_in_use

    core.hydrate_bans_rs([("warm", 1)])
    before = native_in_use()
    core.hydrate_bans_rs([("a" * 20_000_000, 1)])  # converted, then skipped: it has ended
    assert native_in_use() - before < 1_000_000
