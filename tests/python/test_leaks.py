"""No call leaks: every function, on its success and its error paths, leaves
neither Python objects nor native memory behind, and no call changes the
reference count of an argument object.

Growth is measured per case as the difference between N and 2N rounds after a
warm-up: what a first call allocates once for good (interned keys, the kept
hydration buffers, a grown table) shows in both and cancels out, while a leak
of even a few bytes per call shows N times over.

Arguments are made at run time: immortal objects (None, small ints, literals)
report the same count whatever happens to them. The state engine legitimately
grows when it stores new nonces or bans, so the calls reuse a fixed set of
nonces and addresses, and every round starts with a clear."""

import ctypes
import gc
import sys
import tracemalloc

import pytest
import velkora_core_rs as core

WARMUP_ROUNDS = 30
ROUNDS = 400  # N: the measurement compares N with 2N rounds
BYTES_PER_CALL = 4  # growth allowed per call, from N to 2N rounds
FAR = 4_000_000_000


class Refuses:
    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise ValueError("no index")


class Empties:
    """Empties the list it sits in when converted."""

    def __init__(self, holder):
        self.holder = holder

    def __float__(self):
        self.holder.clear()
        return 1.5


class ChainedRefusal:
    """Refuses with a TypeError whose __cause__ is made fresh by each call."""

    def _refuse(self):
        try:
            raise ValueError(text("cause", 0))
        except ValueError as cause:
            raise TypeError(text("refused", 0)) from cause

    def __float__(self):
        self._refuse()

    def __index__(self):
        self._refuse()


def text(prefix, i):
    return f"{prefix}-{i}"  # a new str each time: no interned literal


def telemetry(n, hostile=False):
    def value(i):
        return Refuses() if hostile and i % 3 == 0 else i * 1.5 + 0.25

    return {
        "browser": {"webdriver": False, "screen_width": 1920.5, "screen_height": 1080.5,
                    "touch_supported": True, "max_touch_points": 10**6, "plugins_length": 10**7},
        "clicks": [object() for _ in range(3)],
        "scrolls": [],
        "keystrokes": [{"key": text("k", i), "down": 100.0 * i + 0.5, "up": value(i)}
                       for i in range(n)] + [{"key": text("x", 0)}],
        "mouse_movements": [{"x": value(i), "y": (i * i % 7) + 0.5, "t": 10.0 * i + 0.25,
                             "r": 1.5, "f": value(i)} for i in range(n)] + [{"x": text("bad", 0)}],
    }


def floats(n, scale=1.0):
    return [((i * 7919) % 101) * scale + 0.5 for i in range(n)]


def keystroke_list(n):
    events = [(text("k", i), 100.0 * i + 0.5, 100.0 * i + 70.5) for i in range(n)]
    events += [{"key": text("d", i), "t": 5000.0 + 90.0 * i, "duration_ms": 60.5} for i in range(n)]
    events += [(text("bad", 0), Refuses(), None), {"type": text("u", 0) + "p", "t": 1.5}]
    return events


def emptying_list():
    holder = [0.5, 1.5]
    holder.append(Empties(holder))
    holder.extend([2.5, 3.5])
    return holder


def nonce(i):
    return text("nonce", i % 40)


def ip(i):
    return text("203.0.113", i % 12)


# (function, args, kwargs, exception the call must raise or None). Builders take
# the call number, so the state calls cycle through fixed nonces and addresses.
CASES = {
    "features": lambda i: (core.extract_features_rs, (telemetry(40),), {}, None),
    "features hostile": lambda i: (core.extract_features_rs, (telemetry(12, True),), {}, None),
    "features not a dict": lambda i: (core.extract_features_rs, ([text("t", i)],), {}, None),
    "features bad keyword": lambda i: (core.extract_features_rs, (), {"telemetry": {}, "x": [1.5]},
                                       TypeError),
    "naturalness": lambda i: (core.evaluate_curvature_naturalness_rs,
                              (floats(30), floats(30, 2.0), floats(30, 10.0)), {}, None),
    "naturalness item refused": lambda i: (core.evaluate_curvature_naturalness_rs,
                                           (floats(5), [0.5, text("y", i)], floats(5)), {},
                                           TypeError),
    "naturalness item raises": lambda i: (core.evaluate_curvature_naturalness_rs,
                                          (floats(5), floats(5), [0.5, Refuses()]), {}, ValueError),
    "naturalness missing": lambda i: (core.evaluate_curvature_naturalness_rs, (floats(5),), {},
                                      TypeError),
    "zerocopy": lambda i: (core.evaluate_curvature_zerocopy_rs,
                           (tuple(floats(20)), floats(25), floats(20, 3.0)), {}, None),
    "zerocopy str": lambda i: (core.evaluate_curvature_zerocopy_rs,
                               (floats(5), floats(5), text("t", i)), {}, TypeError),
    "zerocopy dict": lambda i: (core.evaluate_curvature_zerocopy_rs,
                                ({text("k", i): 1.5}, floats(5), floats(5)), {}, TypeError),
    "keystrokes": lambda i: (core.evaluate_keystroke_dynamics_rs, (keystroke_list(15),), {}, None),
    "keystrokes not a list": lambda i: (core.evaluate_keystroke_dynamics_rs,
                                        (tuple(keystroke_list(3)),), {}, None),
    "consume": lambda i: (core.consume_nonce_rs, (nonce(i),), {}, None),
    "consume keyword": lambda i: (core.consume_nonce_rs, (), {"nonce": nonce(i + 7)}, None),
    "consume bytes": lambda i: (core.consume_nonce_rs, (nonce(i).encode(),), {}, TypeError),
    "consume surrogate": lambda i: (core.consume_nonce_rs, (nonce(i) + "\ud800",), {},
                                    UnicodeEncodeError),
    "ban": lambda i: (core.ban_ip_rs, (ip(i), 10**6 + i), {}, None),
    "ban negative": lambda i: (core.ban_ip_rs, (ip(i), -(10**6) - i), {}, OverflowError),
    "ban float": lambda i: (core.ban_ip_rs, (ip(i), i + 0.5), {}, TypeError),
    "ban index raises": lambda i: (core.ban_ip_rs, (ip(i), Refuses()), {}, ValueError),
    "ban index refuses with a cause": lambda i: (core.ban_ip_rs, (ip(i), ChainedRefusal()), {},
                                                 TypeError),
    "naturalness item refuses with a cause": lambda i: (
        core.evaluate_curvature_naturalness_rs, (floats(5), [1.5, ChainedRefusal()], floats(5)),
        {}, TypeError),
    "banned": lambda i: (core.is_ip_banned_rs, (ip(i + 5),), {}, None),
    "unban": lambda i: (core.unban_ip_rs, (ip(i + 3),), {}, None),
    "hydrate": lambda i: (core.hydrate_bans_rs, ([(ip(i + k), FAR + k) for k in range(4)],), {},
                          None),
    "hydrate triple": lambda i: (core.hydrate_bans_rs, ([(ip(i), FAR), (ip(i), FAR, 10**6)],), {},
                                 ValueError),
    "hydrate list item": lambda i: (core.hydrate_bans_rs, ([[ip(i), FAR + i]],), {}, TypeError),
    "hydrate str": lambda i: (core.hydrate_bans_rs, (ip(i),), {}, TypeError),
    "stats": lambda i: (core.get_state_engine_stats_rs, (), {}, None),
    "version": lambda i: (core.get_core_version, (), {}, None),
    "active": lambda i: (core.is_rust_core_active, (), {}, None),
    "curvature emptied while read": lambda i: (core.evaluate_curvature_zerocopy_rs,
                                               (emptying_list(), floats(5), floats(5)), {}, None),
}
# Objects that change their own containers cannot keep reference counts steady.
MUTATING = {"curvature emptied while read"}


def run(builder, i):
    fn, args, kwargs, error = builder(i)
    if error is None:
        fn(*args, **kwargs)
        return
    try:
        fn(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{fn.__name__} did not raise {error.__name__}")


def run_case(builder, i):
    core.clear_state_engine_rs()
    run(builder, i)


def native_in_use():
    """Bytes the C allocator has handed out and not had back: the sanitizer's own
    count when its runtime is loaded, glibc's mallinfo2() otherwise."""
    process = ctypes.CDLL(None)
    counter = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if counter is not None:
        counter.restype = ctypes.c_size_t
        return counter()
    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is None:
        pytest.skip("no allocator statistics here (needs glibc >= 2.33)")

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd  # in use from the arenas plus mmapped blocks


@pytest.fixture(autouse=True)
def clean_state():
    core.clear_state_engine_rs()
    yield
    core.clear_state_engine_rs()


def growth_per_call(builder, read):
    """Bytes per call by which `read()` grows from N to 2N rounds of one case."""
    for i in range(WARMUP_ROUNDS):
        run_case(builder, i)
    gc.collect()
    start = read()
    readings = []
    for stop in (ROUNDS, 2 * ROUNDS):
        for i in range(len(readings) * ROUNDS, stop):
            run_case(builder, i)
        gc.collect()
        readings.append(read() - start)
    return (readings[1] - readings[0]) / ROUNDS


@pytest.mark.parametrize("name", list(CASES))
def test_native_memory_does_not_grow(name):
    per_call = growth_per_call(CASES[name], native_in_use)
    assert per_call <= BYTES_PER_CALL, f"{name}: native heap grows {per_call:.1f} bytes per call"


@pytest.mark.parametrize("name", list(CASES))
def test_python_allocations_do_not_grow(name):
    tracemalloc.start()
    try:
        per_call = growth_per_call(CASES[name], lambda: tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    assert per_call <= BYTES_PER_CALL, f"{name}: Python allocations grow {per_call:.1f} bytes per call"


def reachable(obj, seen):
    """obj and every list, tuple and dict item below it."""
    if id(obj) in seen:
        return
    seen[id(obj)] = obj
    if isinstance(obj, (list, tuple)):
        for item in obj:
            reachable(item, seen)
    elif isinstance(obj, dict):
        for key, value in obj.items():
            reachable(key, seen)
            reachable(value, seen)


@pytest.mark.parametrize("name", [n for n in CASES if n not in MUTATING])
def test_calls_leave_argument_reference_counts_unchanged(name):
    fn, args, kwargs, error = CASES[name](1)
    seen = {}
    reachable((args, kwargs), seen)
    objects = list(seen.values())
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        run(lambda i: (fn, args, kwargs, error), 0)
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, changed
