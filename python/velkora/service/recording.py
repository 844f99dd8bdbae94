"""Opt-in recording of assessed sessions, for labelling them later and training on them
(``velkora train``). Nothing is recorded unless ``VELKORA_RECORD_DIR`` names a directory.

Each worker appends one JSON object a line to a file of its own,
``sessions-<UTC time>-<pid>-<n>.jsonl`` (owner read/write only): the time, the request id,
the verdict as answered and the telemetry as received (the collector never sends typed
text; character keys arrive as per-page pseudonyms). A file is closed at
``VELKORA_RECORD_MAX_BYTES`` and the next begun; whenever a file begins, recordings older
than ``VELKORA_RECORD_RETENTION_DAYS`` are deleted. A failure to write never fails the
request: it is logged once, and once more when writing works again.
"""

from __future__ import annotations

import json
import logging
import os
import time
from collections.abc import Callable, Mapping
from typing import Any

log = logging.getLogger("velkora.service")

PREFIX = "sessions-"
SUFFIX = ".jsonl"


class SessionRecorder:
    def __init__(self, directory: str, max_bytes: int, retention_days: int,
                 clock: Callable[[], float] = time.time) -> None:
        self.directory = directory
        self.max_bytes = max_bytes
        self.retention_sec = retention_days * 86400
        self._clock = clock
        self._fd: int | None = None
        self._size = 0
        self._files = 0
        self._failing = False
        self.recorded = 0

    def _expire(self, now: float) -> None:
        for name in os.listdir(self.directory):
            if not (name.startswith(PREFIX) and name.endswith(SUFFIX)):
                continue
            path = os.path.join(self.directory, name)
            try:
                if now - os.stat(path).st_mtime > self.retention_sec:
                    os.unlink(path)
            except FileNotFoundError:  # another worker expired it first
                continue

    def _open(self) -> int:
        now = self._clock()
        os.makedirs(self.directory, mode=0o700, exist_ok=True)
        self._expire(now)
        stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(now))
        self._files += 1
        path = os.path.join(self.directory, f"{PREFIX}{stamp}-{os.getpid()}-{self._files}{SUFFIX}")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o600)
        self._size = os.fstat(fd).st_size
        return fd

    def record(self, request_id: str, verdict: Mapping[str, Any], telemetry: Mapping[str, Any]) -> None:
        line = json.dumps({"recorded_at": round(self._clock(), 3), "request_id": request_id, "verdict": verdict,
                           "telemetry": telemetry}, separators=(",", ":"), allow_nan=False).encode("utf-8") + b"\n"
        try:
            if self._fd is not None and self._size + len(line) > self.max_bytes and self._size > 0:
                os.close(self._fd)
                self._fd = None
            if self._fd is None:
                self._fd = self._open()
            written = os.write(self._fd, line)
            self._size += written
            if written != len(line):
                raise OSError(f"short write ({written} of {len(line)} bytes)")
        except (OSError, ValueError) as error:
            if not self._failing:
                log.warning("recording sessions in %s failed (%s); further failures are not logged until it works",
                            self.directory, error)
                self._failing = True
            return
        if self._failing:
            log.warning("recording sessions in %s works again", self.directory)
            self._failing = False
        self.recorded += 1

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
