"""Helpers of the store-fault tests and the chaos suite: worker processes driven through
a pipe (shared_workers.py serve), and a raw connection that plays another process."""

import json
import os
import pathlib
import subprocess
import sys
import time
import uuid
from collections.abc import Callable
from typing import Any

import redis
from velkora.shared_state._core import Keys, script_source

HERE = pathlib.Path(__file__).resolve().parent
WORKER = HERE / "shared_workers.py"


def fresh_prefix() -> str:
    return f"f{uuid.uuid4().hex[:12]}:"


def wait_for(predicate: Callable[[], bool], timeout: float = 10.0, step: float = 0.02) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Worker:
    """A process with its own native engine and SharedState, answering one command a
    line. Its stderr (the layer's log) goes to LOG."""

    def __init__(self, url: str, prefix: str, policy: str = "local", check_interval: float = 0.3,
                 log: pathlib.Path | None = None, cluster: bool = False) -> None:
        self.log = log
        err = open(log, "ab") if log else subprocess.DEVNULL  # noqa: SIM115
        self.process = subprocess.Popen([sys.executable, str(WORKER), "serve", url, prefix, policy,
                                         str(check_interval), *(["cluster"] if cluster else [])],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=err, text=True, cwd=HERE, env=os.environ.copy())
        if log:
            err.close()  # type: ignore[union-attr]
        assert self.ask_raw() == "ready"

    def ask_raw(self) -> Any:
        line = self.process.stdout.readline()  # type: ignore[union-attr]
        if not line:
            raise RuntimeError(f"worker exited with {self.process.wait(timeout=10)}")
        return json.loads(line)

    def ask(self, *command: Any) -> Any:
        self.process.stdin.write(json.dumps(command) + "\n")  # type: ignore[union-attr]
        self.process.stdin.flush()  # type: ignore[union-attr]
        return self.ask_raw()

    def consume(self, nonce: str, ttl: int = 600, issued_at: float | None = None) -> Any:
        return self.ask("consume", nonce, ttl, issued_at)

    def banned(self, ips: list[str]) -> list[bool]:
        result: list[bool] = self.ask("banned", ips)
        return result

    def stats(self) -> dict[str, Any]:
        result: dict[str, Any] = self.ask("stats")
        return result

    def close(self) -> None:
        if self.process.poll() is None:
            try:
                self.ask("quit")
                self.process.wait(timeout=15)
            except (OSError, RuntimeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait(timeout=10)


class Outsider:
    """Another process's writes and a look at the store, on a raw connection."""

    def __init__(self, url: str, prefix: str) -> None:
        self.raw = redis.Redis.from_url(url, socket_timeout=5)
        self.keys = Keys.for_prefix(prefix)
        self._ban = self.raw.register_script(script_source("ban"))

    def ban(self, ip: str, seconds: float) -> None:
        self._ban(keys=self.keys.ban_keys, args=[ip, seconds, self.keys.channel, "outsider"])

    def ban_end(self, ip: str) -> float | None:
        score = self.raw.zscore(self.keys.bans, ip)
        if score is None:
            return None
        seconds, micros = self.raw.time()
        return float(score) - (seconds + micros / 1e6)

    def markers_made(self) -> bool:
        """Whether every nonce group's epoch marker exists (a worker's sync makes them)."""
        return bool(self.raw.exists(*self.keys.markers) == len(self.keys.markers))

    def issue_time(self) -> float:
        """A token issue time after the markers were made: what a worker started on a new
        prefix hands out."""
        assert wait_for(self.markers_made)
        time.sleep(0.01)
        return time.time()

    def close(self) -> None:
        self.raw.close()
