"""Manual failover on a Redis Cluster with one replica per primary, under load.

Redis replication is asynchronous: a primary answers a write before its replica has it,
so a failover can lose writes the clients were told had succeeded. This is measured, not
held to the exactly-once invariant of the chaos suite. Worker threads consume fresh
nonces and ban addresses while every primary in turn is failed over from its replica
(``CLUSTER FAILOVER``, ``FORCE`` or ``TAKEOVER``); afterwards the store is asked for every
nonce a claim accepted and every ban that was acknowledged. A nonce accepted but missing
would be accepted again; a ban acknowledged but missing is lifted everywhere.

Three clients are measured:

- ``layer``: ``SharedState`` over ``RedisCluster`` (policy ``raise``, so an accepted nonce
  is one the store accepted), as the service uses it;
- ``script``: the layer's own claim and ban scripts, sent to the slot's primary on one
  connection per node and worker (the same path without the layer, for the latency);
- ``script+wait``: the same, each followed by ``WAIT 1 <ms>`` on the same connection; a
  write counts as acknowledged only when the replica confirmed it (``WAIT`` answered 1),
  otherwise it is counted as unconfirmed (a caller would refuse the token).

Each run prints one line of figures and appends it as JSON to the file named by
``VELKORA_FAILOVER_OUT`` when set. Checked: the load ran and every failover happened,
every client answers again after the last one, no acknowledged write is lost with
``WAIT`` (the replica that confirmed it is the one promoted), and none is lost by a plain
``CLUSTER FAILOVER`` (which pauses the primary until its replica has caught up).

Marked ``failover``: deselected by default; ``make failover`` runs it."""

import hashlib
import ipaddress
import json
import os
import threading
import time
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

redis = pytest.importorskip("redis")

from redis.crc import key_slot  # noqa: E402
from redis.exceptions import MovedError, NoScriptError, RedisError  # noqa: E402
from store_faults import fresh_prefix  # noqa: E402
from stores import ClusterServer, start_cluster  # noqa: E402
from velkora.shared_state import SharedState, StoreUnavailable  # noqa: E402
from velkora.shared_state._core import Keys, fresh_id, script_source  # noqa: E402

pytestmark = pytest.mark.failover

WORKERS = int(os.environ.get("VELKORA_FAILOVER_WORKERS", "4"))
WAIT_MS = int(os.environ.get("VELKORA_FAILOVER_WAIT_MS", "100"))
BAN_EVERY = 10          # one ban per this many claims
TTL = 3600              # nothing expires during a run
QUIET = 2.0             # seconds of load before the first failover (the latency baseline)
SETTLE = 1.0            # seconds of load between failovers and after the last


@pytest.fixture(scope="module")
def cluster(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ClusterServer]:
    with start_cluster(tmp_path_factory.mktemp("failover"), nodes=3, replicas=1) as running:
        yield running


def _role(port: int) -> dict[str, Any]:
    with redis.Redis(port=port, socket_timeout=5) as client:
        info: dict[str, Any] = client.info("replication")
        return info


def _cluster_ok(cluster: ClusterServer) -> bool:
    for node in cluster.nodes:
        with redis.Redis(port=node.port, socket_timeout=5) as client:
            if client.execute_command("CLUSTER INFO").get("cluster_state") != "ok":
                return False
    return True


def _replicas_of(cluster: ClusterServer) -> dict[int, int]:
    """Primary port -> the port of its replica, as the nodes say now."""
    pairs = {}
    for node in cluster.nodes:
        info = _role(node.port)
        if info["role"] == "slave":
            pairs[int(info["master_port"])] = node.port
    return pairs


def _fail_over(cluster: ClusterServer, primary: int, replica: int, option: str) -> float:
    """CLUSTER FAILOVER [OPTION] on REPLICA; returns when the replica is the primary, the
    old primary replicates from it and every node says cluster_state:ok (seconds taken)."""
    started = time.monotonic()
    with redis.Redis(port=replica, socket_timeout=5) as client:
        client.execute_command("CLUSTER FAILOVER", *([option] if option else []))
    deadline = started + 60
    while True:
        new, old = _role(replica), _role(primary)
        if (new["role"] == "master" and old["role"] == "slave" and int(old["master_port"]) == replica
                and old.get("master_link_status") == "up" and _cluster_ok(cluster)):
            return time.monotonic() - started
        if time.monotonic() > deadline:
            raise AssertionError(f"failover of {primary} to {replica} ({option or 'plain'}) not done in 60 s")
        time.sleep(0.05)


@dataclass
class Tally:
    """One worker's record: what the store acknowledged and what the client saw."""
    accepted: list[tuple[float, str]] = field(default_factory=list)   # (when, nonce) a claim accepted
    banned: list[tuple[float, str]] = field(default_factory=list)     # (when, address) a ban acknowledged
    refused_fresh: int = 0                                  # a fresh nonce answered "consumed before"
    unconfirmed: int = 0                                    # WAIT answered 0: not acknowledged
    errors: Counter[str] = field(default_factory=Counter)
    latencies: list[tuple[float, float]] = field(default_factory=list)   # (start, seconds) of answered claims
    last_ok: float = 0.0


def _error_name(error: BaseException) -> str:
    cause = error.__cause__ if isinstance(error, StoreUnavailable) and error.__cause__ else error
    if type(cause) is redis.exceptions.ResponseError:   # name the reply: "ResponseError: UNBLOCKED ..."
        return f"ResponseError: {' '.join(str(cause).split()[:6])}"
    return type(cause).__name__


class LayerClient:
    """SharedState as the service uses it, with the policy "raise" so that True is the
    store's answer."""

    def __init__(self, cluster: ClusterServer, prefix: str) -> None:
        self.state = SharedState.from_url(cluster.url, prefix=prefix, on_store_error="raise", cluster=True,
                                          timeout=1.0, check_interval=1.0)

    def claim(self, nonce: str) -> bool | None:
        return self.state.consume_nonce(nonce, TTL)

    def ban(self, address: str) -> bool:
        self.state.ban_ip(address, TTL)
        return True

    def close(self) -> None:
        self.state.close()


class ScriptClient:
    """The layer's claim and ban scripts sent to the primary of the key's slot on one
    connection per node (so that WAIT covers the write just made), optionally followed
    by WAIT 1 WAIT_MS. Follows MOVED; any other failure is the caller's error."""

    def __init__(self, cluster: ClusterServer, prefix: str, wait: bool) -> None:
        self.keys = Keys.for_prefix(prefix)
        self.wait = wait
        self.claim_source, self.ban_source = script_source("claim"), script_source("ban")
        self.shas = {source: hashlib.sha1(source.encode()).hexdigest()
                     for source in (self.claim_source, self.ban_source)}
        self.connections: dict[tuple[str, int], Any] = {}
        self.slots: dict[int, tuple[str, int]] = {}
        self.seed = cluster.nodes[0].port
        self._load_slots()

    def _load_slots(self) -> None:
        for node in self.seeds():
            try:
                with redis.Redis(port=node, socket_timeout=2) as client:
                    ranges = client.execute_command("CLUSTER SLOTS")
            except RedisError:
                continue
            for start, end, primary, *_ in ranges:
                address = (primary[0].decode() if isinstance(primary[0], bytes) else primary[0], int(primary[1]))
                for slot in range(int(start), int(end) + 1):
                    self.slots[slot] = address
            return

    def seeds(self) -> list[int]:
        return [self.seed] + [port for _, port in set(self.slots.values())]

    def _connection(self, address: tuple[str, int]) -> Any:
        connection = self.connections.get(address)
        if connection is None:
            connection = redis.Redis(host=address[0], port=address[1], socket_timeout=1.0,
                                     socket_connect_timeout=1.0, single_connection_client=True)
            self.connections[address] = connection
        return connection

    def _run(self, key: bytes, source: str, keys: list[bytes], args: list[Any]) -> Any:
        slot = key_slot(key)
        for _ in range(3):
            address = self.slots[slot]
            connection = self._connection(address)
            try:
                sha = self.shas[source]
                try:
                    reply = connection.evalsha(sha, len(keys), *keys, *args)
                except NoScriptError:   # a promoted replica has an empty script cache
                    connection.script_load(source)
                    reply = connection.evalsha(sha, len(keys), *keys, *args)
                if self.wait and int(connection.execute_command("WAIT", 1, WAIT_MS)) < 1:
                    return None
                return reply
            except MovedError as moved:
                self.slots[moved.slot_id] = (moved.host, int(moved.port))
            except RedisError:
                self.connections.pop(address, None)
                connection.close()
                self._load_slots()
                raise
        raise RedisError("MOVED three times")

    def claim(self, nonce: str) -> bool | None:
        key, group = self.keys.nonce_key(nonce)
        reply = self._run(key, self.claim_source, [key, self.keys.markers[group]], [b"1", TTL, ""])
        if reply is None:
            return None
        return isinstance(reply, list) and int(reply[0]) == 0

    def ban(self, address: str) -> bool:
        reply = self._run(self.keys.bans, self.ban_source, self.keys.ban_keys,
                          [address, TTL, self.keys.channel, fresh_id()])
        return reply is not None

    def close(self) -> None:
        for connection in self.connections.values():
            connection.close()


def _work(client: LayerClient | ScriptClient, worker: int, stop: threading.Event, tally: Tally) -> None:
    i = 0
    while not stop.is_set():
        i += 1
        nonce = f"w{worker}-{i}-{fresh_id()}"
        started = time.monotonic()
        try:
            accepted = client.claim(nonce)
        except (RedisError, StoreUnavailable) as error:
            tally.errors[_error_name(error)] += 1
            continue
        tally.latencies.append((started, time.monotonic() - started))
        tally.last_ok = time.monotonic()
        if accepted is None:
            tally.unconfirmed += 1
        elif accepted:
            tally.accepted.append((started, nonce))
        else:
            tally.refused_fresh += 1
        if i % BAN_EVERY == 0:
            # In the form the layer stores it (ipaddress's compressed text).
            address = ipaddress.ip_address(f"2001:db8::{worker + 1:x}:{i:x}").compressed
            try:
                if client.ban(address):
                    tally.banned.append((time.monotonic(), address))
                else:
                    tally.unconfirmed += 1
            except (RedisError, StoreUnavailable) as error:
                tally.errors[_error_name(error)] += 1


def _markers(cluster: ClusterServer, prefix: str) -> list[bytes | None]:
    keys = Keys.for_prefix(prefix)
    reader = redis.cluster.RedisCluster(host="127.0.0.1", port=cluster.nodes[0].port, socket_timeout=5)
    try:
        return [reader.get(marker) for marker in keys.markers]
    finally:
        reader.close()


def _percentile(values: list[float], q: float) -> float:
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


@pytest.mark.parametrize("option", ["plain", "FORCE", "TAKEOVER"])
@pytest.mark.parametrize("mode", ["layer", "script", "script+wait"])
def test_failover_under_load(cluster: ClusterServer, mode: str, option: str) -> None:
    prefix = fresh_prefix()
    clients: list[LayerClient | ScriptClient] = [
        LayerClient(cluster, prefix) if mode == "layer" else ScriptClient(cluster, prefix, wait=mode == "script+wait")
        for _ in range(WORKERS)]
    tallies = [Tally() for _ in clients]
    stop = threading.Event()
    threads = [threading.Thread(target=_work, args=(client, w, stop, tally), daemon=True)
               for w, (client, tally) in enumerate(zip(clients, tallies))]
    switches: list[float] = []
    windows: list[tuple[float, float]] = []
    try:
        for thread in threads:
            thread.start()
        time.sleep(QUIET)
        markers_before = _markers(cluster, prefix)
        first_failover = time.monotonic()
        for primary, replica in sorted(_replicas_of(cluster).items()):
            switches.append(_fail_over(cluster, primary, replica, "" if option == "plain" else option))
            windows.append((time.monotonic() - switches[-1], time.monotonic()))
            time.sleep(SETTLE)
        last_failover = time.monotonic() - SETTLE
        time.sleep(SETTLE)
    finally:
        stop.set()
        for thread in threads:
            thread.join(timeout=30)
        for client in clients:
            client.close()

    accepted = [nonce for tally in tallies for _, nonce in tally.accepted]
    banned = [address for tally in tallies for _, address in tally.banned]
    accepted_at = [when for tally in tallies for when, _ in tally.accepted]
    banned_at = [when for tally in tallies for when, _ in tally.banned]
    keys = Keys.for_prefix(prefix)
    reader = redis.cluster.RedisCluster(host="127.0.0.1", port=cluster.nodes[0].port, socket_timeout=5)
    try:
        pipe = reader.pipeline()
        for nonce in accepted:
            pipe.exists(keys.nonce(nonce))
        present = pipe.execute()
        scores = [reader.zscore(keys.bans, address) for address in banned] if banned else []
    finally:
        reader.close()
    lost_nonces = sum(1 for found in present if not found)
    # A lost nonce is accepted again, and the layer cannot tell: the epoch markers were
    # replicated long before, so they survive the failover unchanged.
    markers_unchanged = _markers(cluster, prefix) == markers_before
    again = ScriptClient(cluster, prefix, wait=False)
    try:
        accepted_again = sum(1 for nonce, found in zip(accepted, present) if not found and again.claim(nonce))
    finally:
        again.close()
    lost_bans = sum(1 for score in scores if score is None)
    # Where the losses fall: seconds into each failover (from CLUSTER FAILOVER to settled).
    lost_when = [t for t, found in zip(accepted_at, present) if not found] + \
        [t for t, score in zip(banned_at, scores) if score is None]
    loss_windows = []
    for start, end in windows:
        inside = [t - start for t in lost_when if start <= t <= end]
        loss_windows.append([round(min(inside), 2), round(max(inside), 2)] if inside else None)
    lost_outside = sum(1 for t in lost_when if not any(start <= t <= end for start, end in windows))
    errors: Counter[str] = sum((tally.errors for tally in tallies), Counter())
    quiet = [seconds for tally in tallies for started, seconds in tally.latencies if started < first_failover]
    every = [seconds for tally in tallies for _, seconds in tally.latencies]
    figures = {
        "mode": mode, "failover": option, "workers": WORKERS, "wait_ms": WAIT_MS if mode == "script+wait" else None,
        "claims_accepted": len(accepted), "nonces_lost": lost_nonces, "accepted_again": accepted_again,
        "markers_unchanged": markers_unchanged,
        "bans_acknowledged": len(banned), "bans_lost": lost_bans,
        "unconfirmed": sum(tally.unconfirmed for tally in tallies),
        "refused_fresh": sum(tally.refused_fresh for tally in tallies),
        "errors": dict(errors), "switch_sec": [round(s, 2) for s in switches],
        "loss_sec_into_switch": loss_windows, "lost_outside_switches": lost_outside,
        "claim_p50_ms_quiet": round(_percentile(quiet, 0.50) * 1e3, 3),
        "claim_p99_ms_quiet": round(_percentile(quiet, 0.99) * 1e3, 3),
        "claim_p50_ms_run": round(_percentile(every, 0.50) * 1e3, 3),
        "claim_p99_ms_run": round(_percentile(every, 0.99) * 1e3, 3),
        "claims_per_sec_quiet": round(len(quiet) / QUIET),
    }
    line = json.dumps(figures)
    print("\nfailover:", line)
    out = os.environ.get("VELKORA_FAILOVER_OUT")
    if out:
        with Path(out).open("a", encoding="utf-8") as handle:
            handle.write(line + "\n")

    assert len(switches) == 3, switches
    assert accepted_again == lost_nonces, figures
    assert len(accepted) > 100 and len(banned) > 10, figures
    # Every worker answers again once the cluster has settled after the last failover.
    assert all(tally.last_ok > last_failover for tally in tallies), figures
    if mode == "script+wait":
        assert lost_nonces == 0 and lost_bans == 0, figures
    if option == "plain":
        assert lost_nonces == 0 and lost_bans == 0, figures
