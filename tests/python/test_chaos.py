"""The chaos suite: worker processes, each consuming nonces and banning addresses under
load through a fault-injecting proxy (drop, stall, delay), while the store suffers its
ordinary faults (CLIENT PAUSE, CLIENT KILL TYPE pubsub, DEBUG SLEEP, a fill to
maxmemory under noeviction, FLUSHALL, SHUTDOWN NOSAVE and a restart empty), on Redis and
on Valkey, with two workers for each failure policy.

Invariants, each checked with counts: under "raise" and "refuse" no nonce is accepted
twice; under "local" the nonces accepted twice during the faults are counted and
reported, and none is accepted again once the store is back (every accepted nonce is
offered again to every worker); no ban that a worker made (its call returned) is lost:
every worker enforces it and the store holds it; the breaker opens during a dropped
connection and is closed again after recovery (what health reports); no traceback and
no "Exception in thread" in any worker's log.

The short form (one round of every fault) runs by default; ``-m chaos`` (``make
chaos``) runs the long form: three rounds with three workers per policy."""

import json
import os
import pathlib
import subprocess
import sys
import time
from collections import Counter
from typing import Any

import pytest

redis = pytest.importorskip("redis")

from fault_proxy import FaultProxy  # noqa: E402
from store_faults import Outsider, fresh_prefix, wait_for  # noqa: E402
from stores import launch  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
WORKER = HERE / "shared_workers.py"
POLICIES = ("raise", "refuse", "local")
FAULTS = ("drop", "stall", "delay", "pause", "kill-pubsub", "debug-sleep", "oom", "flushall", "restart")
DEBUG = ("--enable-debug-command", "local")


class Chaos:
    def __init__(self, kind: str, tmp_path: pathlib.Path) -> None:
        self.kind, self.tmp_path = kind, tmp_path
        self.server = launch(kind, tmp_path / "store", None, *DEBUG)
        self.raw = redis.Redis(port=self.server.port, socket_timeout=5)
        self.proxy = FaultProxy(self.server.port)
        self.windows: dict[str, list[tuple[float, float]]] = {}

    def fault(self, name: str) -> None:
        started = time.time()
        getattr(self, "_" + name.replace("-", "_"))()
        self.windows.setdefault(name, []).append((started, time.time()))

    def _proxy(self, mode: str, seconds: float) -> None:
        self.proxy.set(mode)
        time.sleep(seconds)
        self.proxy.set("pass")

    def _drop(self) -> None:
        self._proxy("drop", 1.2)

    def _stall(self) -> None:
        self._proxy("stall", 0.8)

    def _delay(self) -> None:
        self._proxy("delay", 0.8)

    def _pause(self) -> None:
        self.raw.execute_command("CLIENT", "PAUSE", "700", "WRITE")
        time.sleep(0.7)

    def _kill_pubsub(self) -> None:
        self.raw.execute_command("CLIENT", "KILL", "TYPE", "pubsub")

    def _debug_sleep(self) -> None:
        self.raw.execute_command("DEBUG", "SLEEP", "0.5")

    def _oom(self) -> None:
        used = int(self.raw.info("memory")["used_memory"])
        self.raw.config_set("maxmemory", used + 256 * 1024)
        filled = 0
        try:
            for i in range(10_000):
                self.raw.set(f"junk:{i}", b"x" * 4096)
                filled = i + 1
        except redis.exceptions.ResponseError as error:
            assert "OOM" in str(error) or type(error).__name__ == "OutOfMemoryError", error
        else:
            pytest.fail("the store never ran out of memory")
        time.sleep(0.6)
        for start in range(0, filled, 500):
            self.raw.delete(*[f"junk:{i}" for i in range(start, min(filled, start + 500))])
        self.raw.config_set("maxmemory", 0)

    def _flushall(self) -> None:
        self.raw.flushall()

    def _restart(self) -> None:
        try:
            self.raw.shutdown(nosave=True)
        except redis.exceptions.ConnectionError:
            pass
        self.server.process.wait(timeout=10)
        self.server = launch(self.kind, self.tmp_path / "store", self.server.port, *DEBUG)

    def close(self) -> None:
        self.proxy.close()
        self.raw.close()
        self.server.stop()


class LoadWorker:
    def __init__(self, url: str, prefix: str, policy: str, stop_file: pathlib.Path, index: int,
                 log: pathlib.Path) -> None:
        self.log = log
        with open(log, "wb") as err:
            self.process = subprocess.Popen([sys.executable, str(WORKER), "load", url, prefix, policy, str(stop_file),
                                             str(index)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                            text=True, cwd=HERE, env=os.environ.copy())

    def read(self) -> Any:
        line = self.process.stdout.readline()
        assert line, f"worker exited: {self.log.read_text()[-2000:]}"
        return json.loads(line)

    def ask(self, *command: Any) -> Any:
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        return self.read()

    def close(self) -> None:
        if self.process.poll() is None:
            try:
                self.ask("quit")
                self.process.wait(timeout=15)
            except (AssertionError, OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait(timeout=10)


def run_chaos(kind: str, tmp_path: pathlib.Path, rounds: int, per_policy: int) -> dict[str, dict[str, Any]]:
    chaos = Chaos(kind, tmp_path)
    stop_file = tmp_path / "stop"
    prefixes = {policy: fresh_prefix() for policy in POLICIES}
    pool: dict[str, list[LoadWorker]] = {
        policy: [LoadWorker(chaos.proxy.url, prefixes[policy], policy, stop_file, i, tmp_path / f"{policy}{i}.log")
                 for i in range(per_policy)] for policy in POLICIES}
    report: dict[str, dict[str, Any]] = {}
    try:
        for workers in pool.values():
            for worker in workers:
                assert worker.read() == "ready"
        time.sleep(1.0)
        for _ in range(rounds):
            for name in FAULTS:
                chaos.fault(name)
                time.sleep(0.4)
        time.sleep(2.0)   # load goes on while everything recovers
        stop_file.touch()
        results = {policy: [w.read() for w in workers] for policy, workers in pool.items()}
        outsider = {policy: Outsider(chaos.proxy.url, prefix) for policy, prefix in prefixes.items()}
        for policy, workers in pool.items():
            seen = results[policy]
            counts = Counter(n for r in seen for n, _ in r["accepted"])
            twice = sorted(n for n, c in counts.items() if c > 1)
            bans = [ip for r in seen for ip in r["bans"]]
            # Recovery: every worker's breaker closed and what it took alone written back.
            def recovered(workers: list[LoadWorker] = workers) -> bool:
                stats = [w.ask("stats") for w in workers]
                return not any(s["breaker_open"] or s["pending_nonces"] or s["queued_bans"] for s in stats)

            assert wait_for(recovered, timeout=15), [w.ask("stats") for w in workers]
            # Then nothing accepted is accepted again, by any worker.
            again = [n for w in workers for n in w.ask("offer", sorted(counts))]
            def unenforced(workers: list[LoadWorker] = workers, bans: list[str] = bans) -> list[list[str]]:
                return [w.ask("banned", bans) for w in workers]

            assert wait_for(lambda: not any(unenforced()), timeout=10), (unenforced(), len(bans))
            store = outsider[policy]
            missing_in_store = [ip for ip in bans if (store.ban_end(ip) or 0) < 500]
            drop_start, drop_end = chaos.windows["drop"][0]
            opened = [any(t > drop_start + 0.6 and t < drop_end and is_open for t, is_open in r["samples"])
                      for r in seen]
            stats = [w.ask("stats") for w in workers]
            report[policy] = {
                "offered": sum(r["counts"]["offered"] for r in seen), "accepted": sum(counts.values()),
                "accepted_twice": len(twice), "accepted_after_recovery": len(again),
                "refused_stale": sum(r["counts"]["stale"] for r in seen),
                "unavailable": sum(r["counts"]["unavailable"] for r in seen),
                "bans": len(bans), "bans_missing_in_store": len(missing_in_store),
                "ban_calls_failed": sum(r["counts"]["ban_failed"] for r in seen),
                "breaker_opened_during_drop": sum(opened), "workers": len(workers),
                "store_resets": sum(s["store_resets"] for s in stats),
                "ban_merges": sum(s["ban_merges"] for s in stats),
                "writeback_conflicts": sum(s["writeback_conflicts"] for s in stats),
            }
            if policy != "local":
                assert not twice, f"{policy}: {len(twice)} nonces accepted twice: {twice[:10]}"
            assert not again, f"{policy}: {len(again)} nonces accepted again after recovery: {again[:10]}"
            assert not missing_in_store, f"{policy}: bans missing in the store: {missing_in_store[:10]}"
            assert all(opened), f"{policy}: the breaker did not open during the drop in every worker: {opened}"
            assert len(counts) > 0 and len(bans) > 0
            store.close()
    finally:
        stop_file.touch()
        for workers in pool.values():
            for worker in workers:
                worker.close()
        chaos.close()
    for log in tmp_path.glob("*.log"):
        text = log.read_text(errors="replace")
        assert "Traceback" not in text and "Exception in thread" not in text, f"{log.name}: {text[-3000:]}"
    (tmp_path / "report.json").write_text(json.dumps(report, indent=1))
    print(f"\nchaos {kind}: " + json.dumps(report))
    return report


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["redis", "valkey"])
def test_chaos_short(kind, tmp_path):
    run_chaos(kind, tmp_path, rounds=1, per_policy=2)


@pytest.mark.chaos
@pytest.mark.parametrize("kind", ["redis", "valkey"])
def test_chaos_long(kind, tmp_path):
    run_chaos(kind, tmp_path, rounds=3, per_policy=3)
