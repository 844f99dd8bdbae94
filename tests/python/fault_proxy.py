"""A small fault-injecting TCP proxy for the tests: it forwards a loopback port to a
store and, on demand, drops every connection (and refuses new ones), stalls them (bytes
held, connections open) or delays every chunk.

    with FaultProxy(store_port) as proxy:
        url = proxy.url
        proxy.set("drop"); ...; proxy.set("pass")
"""

import contextlib
import socket
import threading
import time
from collections.abc import Iterator

from stores import free_port

MODES = ("pass", "drop", "stall", "delay")


class FaultProxy:
    def __init__(self, target_port: int, delay_sec: float = 0.2) -> None:
        self.target_port = target_port
        self.port = free_port()
        self.delay_sec = delay_sec
        self.mode = "pass"
        self._changed = threading.Condition()
        self._sockets: set[socket.socket] = set()
        self._lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", self.port))
        self._closed = False
        self._thread = threading.Thread(target=self._accept, name="fault-proxy", daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def set(self, mode: str) -> None:
        assert mode in MODES, mode
        with self._changed:
            self.mode = mode
            self._changed.notify_all()
        if mode == "drop":
            with self._lock:
                sockets, self._sockets = self._sockets, set()
            for sock in sockets:
                _close(sock)

    def _accept(self) -> None:
        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            if self.mode == "drop":
                _close(client)
                continue
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target_port), timeout=2)
                upstream.settimeout(None)
            except OSError:
                _close(client)
                continue
            with self._lock:
                self._sockets.update((client, upstream))
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    def _pump(self, source: socket.socket, sink: socket.socket) -> None:
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                with self._changed:
                    while self.mode == "stall":
                        self._changed.wait()
                    mode = self.mode
                if mode == "drop":
                    break
                if mode == "delay":
                    time.sleep(self.delay_sec)
                sink.sendall(data)
        except OSError:
            pass
        finally:
            with self._lock:
                self._sockets.discard(source)
                self._sockets.discard(sink)
            _close(source)
            _close(sink)

    def close(self) -> None:
        self._closed = True
        self.set("pass")
        _close(self._listener)
        with self._lock:
            sockets, self._sockets = self._sockets, set()
        for sock in sockets:
            _close(sock)

    def __enter__(self) -> "FaultProxy":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _close(sock: socket.socket) -> None:
    with contextlib.suppress(OSError):
        sock.shutdown(socket.SHUT_RDWR)
    with contextlib.suppress(OSError):
        sock.close()


@contextlib.contextmanager
def fault_proxy(target_port: int) -> Iterator[FaultProxy]:
    proxy = FaultProxy(target_port)
    try:
        yield proxy
    finally:
        proxy.close()
