"""The store fixture starts real servers of both kinds, with persistence off."""

import socket


def command(port: int, *words: str) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        parts = [f"*{len(words)}\r\n".encode()]
        for word in words:
            parts.append(f"${len(word.encode())}\r\n{word}\r\n".encode())
        sock.sendall(b"".join(parts))
        return sock.recv(4096)


def test_store_answers_with_persistence_off(store):
    assert command(store.port, "SET", "k", "v") == b"+OK\r\n"
    assert command(store.port, "GET", "k") == b"$1\r\nv\r\n"
    save = command(store.port, "CONFIG", "GET", "save")
    assert save.endswith(b"$0\r\n\r\n"), save
    info = command(store.port, "INFO", "server")
    assert (b"valkey_version" in info) == (store.kind == "valkey"), info[:200]
