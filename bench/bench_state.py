"""Time per call of the state engine functions, and memory per stored nonce.

pyperf runs each case in worker processes of its own, but every worker imports
this module and builds every case, and the engine is process-wide. So no case
relies on state set up when the cases are built: each draws its arguments
from an iterator that prepares the engine when the first call is made (and,
for new nonces or addresses, clears it again each time the pool of unique
values runs out, so that no value is ever presented twice in one run).

Those cases are timed as next(starmap(function, argument_tuples)), all in C:
the row "is_rust_core_active() through next(starmap)" measures that harness
around the cheapest function, next to the bare call that is the floor.
"""

from __future__ import annotations

import itertools
import os
import statistics
import subprocess
import sys
import textwrap
import time

import velkora_core_rs as core
from run_bench import Case

POOL = 100_000       # unique nonces / addresses per cycle; one clear per cycle
HYDRATE_PAIRS = 100_000
FAR = 4_000_000_000  # an end second in 2096
MEMORY_NONCES = 1_000_000


def nonce(i: int) -> str:
    """36 characters, shaped like a UUID."""
    return f"{i:08x}-7a1c-4e2b-9f3d-{i * 2654435761 % (1 << 48):012x}"


def address(i: int) -> str:
    return f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}"


def prepared(setup, argument_tuples):
    """The argument tuples, with setup() run when the first one is drawn."""
    def first(it):
        setup()
        return it
    return itertools.chain.from_iterable(map(first, [argument_tuples]))


def cycling(pool):
    """The tuples of `pool` over and over, with a clear before each pass."""
    def refill(p):
        core.clear_state_engine_rs()
        return p
    return itertools.chain.from_iterable(map(refill, itertools.repeat(pool)))


def timed(function, argument_tuples):
    return (next, (itertools.starmap(function, argument_tuples),))


def ban_one():
    core.clear_state_engine_rs()
    core.ban_ip_rs("203.0.113.7", 3600)


def cases():
    group = "state engine"
    nonces = [(nonce(i),) for i in range(POOL)]
    ban_args = [(address(i), 3600) for i in range(POOL)]
    pairs = [(address(i), FAR) for i in range(HYDRATE_PAIRS)]
    out = [
        Case(group, "is_rust_core_active()", core.is_rust_core_active, floor=True),
        Case(group, "is_rust_core_active() through next(starmap)",
             *timed(core.is_rust_core_active, itertools.repeat(()))),
        Case(group, "consume_nonce_rs, new 36-char nonce",
             *timed(core.consume_nonce_rs, cycling(nonces))),
        Case(group, "consume_nonce_rs, repeated nonce",
             *timed(core.consume_nonce_rs,
                    prepared(core.clear_state_engine_rs, itertools.repeat(("replayed",))))),
        Case(group, "is_ip_banned_rs, banned address",
             *timed(core.is_ip_banned_rs, prepared(ban_one, itertools.repeat(("203.0.113.7",))))),
        Case(group, "is_ip_banned_rs, other address (1 ban stored)",
             *timed(core.is_ip_banned_rs, prepared(ban_one, itertools.repeat(("198.51.100.1",))))),
        Case(group, "is_ip_banned_rs, empty ban table",
             *timed(core.is_ip_banned_rs,
                    prepared(core.clear_state_engine_rs, itertools.repeat(("198.51.100.1",))))),
        Case(group, "ban_ip_rs, new address",
             *timed(core.ban_ip_rs, cycling(ban_args))),
        Case(group, "ban_ip_rs, same address again",
             *timed(core.ban_ip_rs, prepared(ban_one, itertools.repeat(("203.0.113.7", 3600))))),
        # Every call after the first replaces the end second of all 100,000 addresses.
        Case(group, f"hydrate_bans_rs, {HYDRATE_PAIRS:,} pairs", core.hydrate_bans_rs, (pairs,)),
    ]
    return out


def hydrate_per_pair() -> str:
    pairs = [(address(i), FAR) for i in range(HYDRATE_PAIRS)]
    core.clear_state_engine_rs()
    core.hydrate_bans_rs(pairs)
    times = []
    for _ in range(9):
        start = time.perf_counter()
        core.hydrate_bans_rs(pairs)
        times.append(time.perf_counter() - start)
    core.clear_state_engine_rs()
    return (f"hydrate_bans_rs: {statistics.median(times) / HYDRATE_PAIRS * 1e9:.1f} ns per pair "
            f"(median of 9 calls of {HYDRATE_PAIRS:,} pairs, all already stored, "
            f"timed with perf_counter in the parent process)")


MEMORY_SCRIPT = textwrap.dedent("""
    import gc, uuid
    import velkora_core_rs as core

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE

    PAGE = {page}
    core.get_state_engine_stats_rs()           # make the record and its empty tables first
    nonces = [str(uuid.uuid4()) for _ in range({count})]
    gc.collect()
    before = rss()
    accepted = sum(map(core.consume_nonce_rs, nonces))
    after = rss()
    assert accepted == {count}, accepted
    print(after - before)
""")


def memory_per_nonce() -> str:
    script = MEMORY_SCRIPT.format(page=os.sysconf("SC_PAGE_SIZE"), count=MEMORY_NONCES)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if done.returncode != 0:
        return f"memory per nonce: measurement failed: {done.stderr.strip()}"
    delta = int(done.stdout)
    return (f"memory per stored nonce: {delta / MEMORY_NONCES:.1f} bytes "
            f"(RSS growth of a fresh process while consume_nonce_rs stored {MEMORY_NONCES:,} "
            f"uuid4 strings; the strings were made and the engine created before the first "
            f"reading, so only the engine's own memory is counted)")


def reports():
    return [hydrate_per_pair(), memory_per_nonce()]
