"""Several threads hammer the state engine at once: consume, ban, unban, query,
hydrate, statistics and clear, some of them with arguments whose conversion
calls back into the engine and yields to other threads. Afterwards the calls,
in the order they happened, must agree with a plain model of the engine: one
True per distinct nonce between clears, statistics that count what was stored.

The scenario runs in a child process under a faulthandler watchdog, so that a
deadlock (the engine lock held while interpreter code runs, say) ends in a
traceback dump and a failed test instead of a hung run."""

import json
import os
import random
import subprocess
import sys
import threading
import time

import velkora_core_rs as core

SECONDS = 2.0
WATCHDOG = 60  # seconds before the child dumps every thread's stack and exits
WRITERS = 6
READERS = 2
FAR = 10**6  # ban length: longer than the test, so every ban stays active
NONCES = [f"nonce-{k}" for k in range(300)]
IPS = [f"198.51.100.{k}" for k in range(20)]


class Reentrant:
    """A duration whose conversion calls back into the engine (read-only calls)
    and lets other threads run before it answers or refuses."""

    def __init__(self, value, refuse=False):
        self.value = value
        self.refuse = refuse

    def __index__(self):
        core.is_ip_banned_rs(IPS[0])
        core.get_state_engine_stats_rs()
        time.sleep(0)
        if self.refuse:
            raise ValueError("refused after re-entering")
        return self.value


class ReentrantPairs:
    """A sequence of ban pairs whose item access re-enters the engine and yields."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __len__(self):
        return len(self.pairs)

    def __getitem__(self, i):
        if i >= len(self.pairs):
            raise IndexError(i)
        core.get_state_engine_stats_rs()
        time.sleep(0)
        return self.pairs[i]


def stress(seconds: float) -> dict:
    """Runs the threads; returns a summary, raises AssertionError on a broken invariant."""
    core.clear_state_engine_rs()  # also restarts the 60-second bucket clock
    log_lock = threading.Lock()
    events = []
    failures = []
    stop = time.monotonic() + seconds
    start = threading.Barrier(WRITERS + READERS)

    def logged(kind, fn, *args, converted=None):
        # Calls are recorded in the order the engine saw them: the lock covers
        # the call and the record, and conversions that yield run inside it.
        with log_lock:
            try:
                result = fn(*args)
            except ValueError as exc:
                result = exc
            events.append((kind, converted if converted is not None else args, result))

    def writer(seed):
        rng = random.Random(seed)
        start.wait()
        while time.monotonic() < stop:
            op = rng.randrange(100)
            ip = rng.choice(IPS)
            if op < 45:
                logged("consume", core.consume_nonce_rs, rng.choice(NONCES))
            elif op < 55:
                logged("banned", core.is_ip_banned_rs, ip)
            elif op < 65:
                duration = rng.choice([FAR, Reentrant(FAR), Reentrant(FAR, refuse=True)])
                logged("ban", core.ban_ip_rs, ip, duration, converted=(ip,))
            elif op < 72:
                logged("unban", core.unban_ip_rs, ip)
            elif op < 80:
                pairs = [(rng.choice(IPS), int(time.time()) + FAR) for _ in range(rng.randrange(4))]
                bans = ReentrantPairs(pairs) if rng.randrange(2) else pairs
                logged("hydrate", core.hydrate_bans_rs, bans, converted=tuple(p[0] for p in pairs))
            elif op < 99:
                logged("stats", core.get_state_engine_stats_rs)
            else:
                logged("clear", core.clear_state_engine_rs)

    def reader(seed):
        # Unlogged queries between the writers' calls: they see some consistent
        # state and never block anyone for long.
        rng = random.Random(seed)
        start.wait()
        while time.monotonic() < stop:
            assert isinstance(core.is_ip_banned_rs(rng.choice(IPS)), bool)
            stats = core.get_state_engine_stats_rs()
            assert stats["previous_bucket_nonces"] == 0
            assert 0 <= stats["active_ip_bans"] <= len(IPS)
            assert 0 <= stats["current_bucket_nonces"] <= len(NONCES)

    def guarded(fn, seed):
        try:
            fn(seed)
        except BaseException as exc:  # reported by the main thread
            failures.append(f"{fn.__name__}: {exc!r}")

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=guarded, args=(writer, s)) for s in range(WRITERS)]
        threads += [threading.Thread(target=guarded, args=(reader, 100 + s))
                    for s in range(READERS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=WATCHDOG)
        assert not any(t.is_alive() for t in threads), "a thread did not finish"
    finally:
        sys.setswitchinterval(old_interval)
    assert not failures, failures

    nonces, bans = set(), set()
    counts = {}
    for kind, args, result in events:
        counts[kind] = counts.get(kind, 0) + 1
        if kind == "consume":
            assert result is (args[0] not in nonces), (args, result)
            nonces.add(args[0])
        elif kind == "banned":
            assert result is (args[0] in bans), (args, result)
        elif kind == "ban":
            if not isinstance(result, ValueError):
                bans.add(args[0])
        elif kind == "unban":
            bans.discard(args[0])
        elif kind == "hydrate":
            bans.update(args)
        elif kind == "stats":
            assert result == {"current_bucket_nonces": len(nonces), "previous_bucket_nonces": 0,
                              "active_ip_bans": len(bans)}, (result, len(nonces), len(bans))
        else:
            nonces.clear()
            bans.clear()
    core.clear_state_engine_rs()
    return counts


def test_threads_hammering_the_engine_agree_with_a_model():
    done = subprocess.run([sys.executable, __file__, str(SECONDS)], capture_output=True,
                          text=True, timeout=WATCHDOG + 60,
                          env={**os.environ, "PYTHONFAULTHANDLER": "1"})
    assert done.returncode == 0, done.stderr[-5000:]
    counts = json.loads(done.stdout.splitlines()[-1])
    # Enough of everything happened for the check to mean something.
    assert sum(counts.values()) >= 500, counts
    assert all(counts.get(k, 0) > 0 for k in
               ("consume", "banned", "ban", "unban", "hydrate", "stats", "clear")), counts


if __name__ == "__main__":
    import faulthandler

    faulthandler.dump_traceback_later(WATCHDOG, exit=True)
    print(json.dumps(stress(float(sys.argv[1]))))
