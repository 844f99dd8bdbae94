"""Errors that are about the process rather than the input: interrupts and
SystemExit inside a forgiving read, allocation failures, a fork in the middle of
a hydration, and std::terminate raised by some other library."""

import ctypes
import subprocess
import sys

import pytest
import velkora_core_rs as core
from native import shared_library

FAR = 4_000_000_000


class Stop(BaseException):
    """A BaseException that is not an Exception, like KeyboardInterrupt."""


class Raises:
    """Raises `exc` from every conversion and counts the conversions tried."""

    calls = 0

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        Raises.calls += 1
        raise self.exc

    __index__ = __float__


def telemetry_with(value):
    # Read in this order: keystrokes, then mouse movements.
    return {"keystrokes": [{"key": "a", "down": 5.5}, {"key": "b", "down": value},
                           {"key": "c", "down": Raises(ValueError("later"))}],
            "mouse_movements": [{"x": Raises(ValueError("later")), "y": 1.0, "t": 20.5}]}


def keystrokes_with(value):
    return [("a", 10.5, 80.5), ("b", value, None), ("c", Raises(ValueError("later")), None)]


FORGIVING = {
    "features": lambda v: core.extract_features_rs(telemetry_with(v)),
    "features browser": lambda v: core.extract_features_rs({"browser": {"max_touch_points": v}}),
    "keystrokes": lambda v: core.evaluate_keystroke_dynamics_rs(keystrokes_with(v)),
    "keystrokes dict": lambda v: core.evaluate_keystroke_dynamics_rs([{"t": 5.5, "up": v}]),
}


@pytest.mark.parametrize("name", list(FORGIVING))
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, Stop, MemoryError])
def test_forgiving_read_passes_on_what_is_not_bad_data(name, exc_type):
    exc = exc_type("from a conversion")
    Raises.calls = 0
    with pytest.raises(exc_type) as caught:
        FORGIVING[name](Raises(exc))
    assert caught.value is exc  # the very object, not a wrapper
    assert Raises.calls == 1  # the read stopped there: nothing later was converted


@pytest.mark.parametrize("name", list(FORGIVING))
@pytest.mark.parametrize("exc", [ValueError("bad"), ArithmeticError("bad"), Exception("bad"),
                                 UnicodeError("bad")])
def test_forgiving_read_still_drops_bad_data(name, exc):
    # The same result as for a value of the wrong type: the entry or value is skipped.
    assert FORGIVING[name](Raises(exc)) == FORGIVING[name](object())


def test_sequence_length_failure_that_is_not_bad_data_ends_the_call():
    class Length(list):
        def __len__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        core.evaluate_curvature_naturalness_rs(Length([1.5] * 5), [1.5] * 5, [1.5] * 5)

    class BadLength(list):
        def __len__(self):
            raise ValueError("only sizes the buffer")

    result = core.evaluate_curvature_zerocopy_rs(BadLength([1.5] * 5), [1.5] * 5, [1.5] * 5)
    assert set(result) == {"curvature_score", "mean_curvature", "curvature_var",
                           "curvature_rate_var"}


# --- native allocation failures --------------------------------------------------------

def sanitized() -> bool:
    return hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")


OUT_OF_MEMORY = """
import resource, sys
import velkora_core_rs as core

def vm_bytes():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

if sys.argv[1] == "limit":
    limit = vm_bytes() + 1536 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def expect_memory_error(call):
    try:
        call()
    except MemoryError:
        return
    raise AssertionError("no MemoryError")

def stats():
    return list(core.get_state_engine_stats_rs().values())

core.ban_ip_rs("kept", 3600)
core.hydrate_bans_rs([("also kept", 4_000_000_000)])

# 1,000 references to one pair with a 10 MB address: 10 GB of copies.
pair = ("a" * 10_000_000, 4_000_000_000)
expect_memory_error(lambda: core.hydrate_bans_rs([pair] * 1000))
del pair
assert stats() == [0, 0, 2], stats()
assert core.is_ip_banned_rs("kept") and core.is_ip_banned_rs("also kept")

# Distinct 100 MB nonces until the bucket cannot grow: each either stored or not at all.
stored = 0
for i in range(100):
    nonce = str(i) + "n" * 100_000_000
    try:
        fresh = core.consume_nonce_rs(nonce)
    except MemoryError:
        break
    assert fresh
    stored += 1
else:
    raise AssertionError("100 nonces of 100 MB stored")
assert stats() == [stored, 0, 2], (stats(), stored)
del nonce
core.clear_state_engine_rs()

# Curvature over a billion points.
expect_memory_error(lambda: core.evaluate_curvature_zerocopy_rs(range(10**9), [1.5], [2.5]))

# Still usable.
assert core.consume_nonce_rs("after") and not core.consume_nonce_rs("after")
core.hydrate_bans_rs([("x%d" % i, 4_000_000_000) for i in range(1000)])
assert stats() == [1, 0, 1000], stats()
assert core.evaluate_curvature_zerocopy_rs([1.5, 2.5, 4.5, 8.5], [1.5, 3.5, 2.5, 9.5],
                                           [1.0, 2.0, 3.0, 4.0])["curvature_score"] >= 0
print("ok", stored)
"""


# Not under AddressSanitizer: an address-space limit cannot work beside its shadow
# memory, and its operator new ends the process when an allocation fails instead of
# throwing std::bad_alloc, even with allocator_may_return_null=1.
@pytest.mark.skipif(sanitized(), reason="AddressSanitizer's operator new cannot fail by throwing")
def test_allocation_failure_raises_memory_error_and_stores_nothing():
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, "limit"], capture_output=True,
                          text=True, timeout=240)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith("ok"), done.stdout


# --- fork in the middle of a hydration ---------------------------------------------------

FORK = """
import ctypes, os, sys, threading
import velkora_core_rs as core

def in_use():
    process = ctypes.CDLL(None)
    counter = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if counter is not None:
        counter.restype = ctypes.c_size_t
        return counter()
    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks",
                    "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
    process.mallinfo2.restype = MallInfo2
    info = process.mallinfo2()
    return info.uordblks + info.hblkhd

inside = threading.Event()
release = threading.Event()

class Waits:
    def __index__(self):
        inside.set()
        release.wait()
        return 4_000_000_000

def child_growth():
    # What one hydration leaves allocated in a forked child: the grown table,
    # and the kept buffers when the child may use them.
    pid = os.fork()
    if pid == 0:
        bans = [("10.0.%d.%d" % (i // 250, i % 250), 4_000_000_000) for i in range(60_000)]
        before = in_use()
        core.hydrate_bans_rs(bans)
        os.write(w, b"%d" % (in_use() - before))
        os._exit(0)
    os.waitpid(pid, 0)
    return int(os.read(r, 100))

r, w = os.pipe()
idle = child_growth()
thread = threading.Thread(target=core.hydrate_bans_rs, args=([("a", Waits())],))
thread.start()
inside.wait()
busy = child_growth()
release.set()
thread.join()
print(idle, busy)
"""


def test_child_forked_during_a_hydration_can_use_the_kept_buffers():
    done = subprocess.run([sys.executable, "-c", FORK], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    idle, busy = map(int, done.stdout.split())
    # 60,000 pairs keep about 1.7 MB of buffers: a child that could not use
    # the kept ones would give its own back and keep that much less.
    assert abs(busy - idle) < 200_000, (idle, busy)


# --- std::terminate of another library ---------------------------------------------------

OTHER_LIBRARY = r"""
#include <cstdio>
#include <exception>
#include <unistd.h>

extern "C" void install_handler() {
    std::set_terminate([] {
        std::fputs("the other library's handler\n", stderr);
        std::fflush(stderr);
        _exit(3);
    });
}

extern "C" void terminate_now() { std::terminate(); }
"""

TERMINATE = """
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
if sys.argv[2] == "handler":
    lib.install_handler()
import velkora_core_rs as core
core.consume_nonce_rs("n")
lib.terminate_now()
"""


@pytest.fixture(scope="module")
def other_library(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("terminate")
    source = tmp / "other.cpp"
    source.write_text(OTHER_LIBRARY)
    return shared_library(tmp, "libother.so", source)


@pytest.mark.parametrize("mode", ["handler", "default"])
def test_terminate_elsewhere_is_not_reported_as_ours(other_library, mode):
    done = subprocess.run([sys.executable, "-c", TERMINATE, str(other_library), mode],
                          capture_output=True, text=True, timeout=60)
    assert "velkora_core_rs" not in done.stderr, done.stderr
    if mode == "handler":
        assert done.returncode == 3 and "the other library's handler" in done.stderr
    else:
        assert done.returncode < 0  # the C++ runtime's own handler: abort
