"""The decisions of the shared state layer, free of I/O.

Everything here is used by both the blocking and the asyncio front ends: key names,
validation and normalisation of what callers pass, the circuit breaker, the failure
policy, the record of the bans this layer applied to the native engine, what a
published change or a full load does to that record, the queue of bans waiting for the
store, the memory of consumed nonces, the store's epochs, and the counters. Time comes
from an injected clock so that expiry, skew and breaker timing can be tested without
waiting.

Epochs: a store can lose its data and go on answering (a restart without persistence,
FLUSHALL, a Cluster shard emptied). The ban set carries an epoch key in its slot, and
nonce keys are spread over GROUPS hash-tagged groups, each with an epoch marker in its
own slot (the store time at which it was made); every claim reads its group's marker in
the same script that sets the nonce, so no claim is decided against a store that forgot
without the loss being seen. A changed marker means the group lost its nonces: the
nonces this process knows it consumed are written back, and a token issued before the
marker was made is refused (IssuedBeforeStoreLoss), since other processes'
consumptions are gone. A changed ban epoch means the ban set was lost: each process
merges its active bans back (the longest end wins), and ban versions are compared only
within one epoch.
"""

from __future__ import annotations

import hashlib
import logging
import math
import secrets
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Generator, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any, Literal, Protocol

import velkora_core_rs as native
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import RedisError, ResponseError
from redis.exceptions import TimeoutError as RedisTimeoutError

from .._state_common import (
    MAX_BAN_SEC,
    IssuedBeforeStoreLoss,
    check_duration,
    check_issued,
    check_nonce,
    check_tag,
    check_ttl,
    normalise_ip,
)
from ..trace_memory import (
    Call,
    TraceConfig,
    TraceKeys,
    TraceMemory,
    TraceOutcome,
    parse_reply,
    prepare,
    script_args,
)

log = logging.getLogger("velkora.shared_state")

Policy = Literal["local", "refuse", "raise"]
POLICIES: tuple[Policy, ...] = ("local", "refuse", "raise")

__all__ = ["MAX_BAN_SEC", "IssuedBeforeStoreLoss", "check_duration", "check_issued", "check_nonce", "check_tag",
           "check_ttl", "normalise_ip"]

NONCE_DIGEST_BYTES = 16
# Nonce keys fall in this many hash-tagged groups (by the first byte of their digest),
# each with an epoch marker in its slot. On a Cluster the groups' slots spread over the
# shards, so a shard that lost its data is seen through the markers it holds.
GROUPS = 16
# Value of a nonce key written by consume_nonce; claim_nonce writes TAG_MARK + tag, so
# that a tag that happens to be "1" is still told apart from a plain consumption.
PLAIN_NONCE_VALUE = b"1"
TAG_MARK = b"t:"
IP_CACHE_SIZE = 4096
# Consumed nonces remembered by one instance: those the store took (written back when
# the store loses its data) and those consumed without it under "local" (written when
# it answers again). About 200 bytes each in the process: 100,000 take some 20 MB.
REMEMBER_LIMIT = 100_000
# Error replies of a live store that mean it cannot do its job now: out of memory,
# a read-only replica, loading its data, a primary or cluster down, a slot moving, a
# script running too long, missing replicas, failing to persist. They count for the
# breaker, the policies and health like a lost connection.
FAILURE_REPLIES = frozenset({"OOM", "READONLY", "LOADING", "MASTERDOWN", "CLUSTERDOWN", "TRYAGAIN", "BUSY",
                             "NOREPLICAS", "MISCONF"})


class StoreUnavailable(Exception):
    """The store could not be reached (or the circuit breaker is open) and the layer was
    told to raise instead of answering locally."""


class Clock(Protocol):
    def wall(self) -> float:
        """Seconds since the Unix epoch (the clock the native engine reads too)."""
        ...

    def monotonic(self) -> float: ...


class SystemClock:
    def wall(self) -> float:
        return time.time()

    def monotonic(self) -> float:
        return time.monotonic()


def script_source(name: str) -> str:
    return resources.files("velkora.shared_state").joinpath("lua", f"{name}.lua").read_text(encoding="utf-8")


def composed_source(name: str, *parts: str) -> str:
    """Script NAME with the scripts PARTS before it, each as a local function of (KEYS,
    ARGV) under its own name, so that one script can run several in one atomic step."""
    functions = [f"local function {part}(KEYS, ARGV)\n{script_source(part)}\nend\n" for part in parts]
    return "".join(functions) + script_source(name)


@dataclass(frozen=True)
class Script:
    """A Lua script of the layer: its source and the SHA-1 the store knows it by."""

    source: str
    sha: str

    @classmethod
    def named(cls, name: str) -> Script:
        return cls.of(script_source(name))

    @classmethod
    def composed(cls, name: str, *parts: str) -> Script:
        """Script NAME run with PARTS as its functions (composed_source)."""
        return cls.of(composed_source(name, *parts))

    @classmethod
    def of(cls, source: str) -> Script:
        return cls(source, hashlib.sha1(source.encode("utf-8")).hexdigest())  # noqa: S324 - the store's script id


class Scripts:
    """The layer's scripts, read once per process."""

    claim = Script.named("claim")
    ban = Script.named("ban")
    unban = Script.named("unban")
    trace = Script.named("trace")
    load = Script.named("load")
    merge = Script.named("merge")
    check = Script.named("check")
    markers = Script.named("markers")
    # The claim and the trace memory's step in one atomic script (single node only).
    claim_trace = Script.composed("claim_trace", "claim", "trace")


# The claim script's id as its EVALSHA argument: bytes, sent as they are.
CLAIM_SHA = Scripts.claim.sha.encode("ascii")


# ---- the steps a front end runs ---------------------------------------------------------
#
# Every operation is decided here and its I/O described: an operation that needs the store
# returns a Plan (one store command, and what its reply or its failure makes of the
# answer); the sync's duties are generators that yield Commands and are sent the replies
# (a failed command is thrown into them). A front end only runs commands on its client:
# the blocking one calls it, the asyncio one awaits it.


class Command:
    """One store call: METHOD of the client with ARGS. A script's call is its EVALSHA
    (SCRIPT set): on NOSCRIPT the front end loads the script and calls again."""

    __slots__ = ("args", "method", "script")

    def __init__(self, args: tuple[Any, ...], script: Script | None = None, method: str = "execute_command") -> None:
        self.args = args
        self.script = script
        self.method = method

    def __repr__(self) -> str:
        return f"Command({self.method}, {self.args[:2] if self.script else self.args!r})"


def evalsha_args(script: Script, keys: Sequence[bytes], args: Sequence[Any]) -> tuple[Any, ...]:
    return ("EVALSHA", script.sha, len(keys), *keys, *args)


def evalsha(script: Script, keys: Sequence[bytes], args: Sequence[Any]) -> Command:
    return Command(evalsha_args(script, keys, args), script)


class Plan[T](Command):
    """An operation that needs one store call: answered(reply) or failed(error) gives
    its answer (either may raise: IssuedBeforeStoreLoss, StoreUnavailable), from
    ON_REPLY(reply, *CONTEXT) or ON_FAILURE(*CONTEXT) (methods and a tuple rather than
    closures: cheaper on the hot path). WRITE: the call is a write, whose success ends
    an outage and closes the breaker."""

    __slots__ = ("context", "engine", "on_failure", "on_reply", "write")

    def __init__(self, engine: Engine, args: tuple[Any, ...], script: Script | None, on_reply: Callable[..., T],
                 on_failure: Callable[..., T], context: tuple[Any, ...], *, write: bool = True) -> None:
        self.args = args
        self.script = script
        self.method = "execute_command"
        self.engine = engine
        self.on_reply = on_reply
        self.on_failure = on_failure
        self.context = context
        self.write = write

    def answered(self, reply: Any) -> T:
        engine = self.engine
        if self.write and not engine.in_outage and not engine.breaker.failures:
            engine.round_trips += 1   # call_ok's common case, inlined
        else:
            engine.call_ok(write=self.write)
        return self.on_reply(reply, *self.context)

    def failed(self, error: BaseException) -> T:
        self.engine.call_failed(error)
        return self.on_failure(*self.context)


type Steps[T] = Generator[Command, Any, T]


@dataclass(frozen=True)
class Keys:
    """Names in the store and in the native engine for one prefix.

    The ban set and the version counter share the hash tag ``{bans}`` after the
    prefix, so in a Cluster they live in one slot and one script can touch both. Nonce
    keys are spread over all slots. Native keys start with the prefix's length and the
    prefix, so no two prefixes can produce the same native key."""

    prefix: str
    bans: bytes
    version: bytes
    epoch: bytes
    lifted: bytes
    probe: bytes
    channel: bytes
    nonce_prefix: bytes
    native_prefix: str
    groups: tuple[bytes, ...]
    markers: tuple[bytes, ...]

    @classmethod
    def for_prefix(cls, prefix: str) -> Keys:
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
        raw = prefix.encode("utf-8", "surrogatepass")
        groups = tuple(raw + b"n:{%x}" % g for g in range(GROUPS))
        return cls(
            prefix=prefix,
            bans=raw + b"{bans}:set",
            version=raw + b"{bans}:version",
            epoch=raw + b"{bans}:epoch",
            lifted=raw + b"{bans}:lifted",
            probe=raw + b"{bans}:probe",
            channel=raw + b"bans:changes",
            nonce_prefix=raw + b"n:",
            native_prefix=f"{len(prefix)}:{prefix}",
            groups=groups,
            # Never the name of a nonce key: those end in exactly 16 digest bytes.
            markers=tuple(g + b"epoch" for g in groups),
        )

    @property
    def ban_keys(self) -> list[bytes]:
        """The keys of the ban scripts, all in the {bans} slot."""
        return [self.bans, self.version, self.epoch, self.lifted]

    def nonce_key(self, nonce: str) -> tuple[bytes, int]:
        """A fixed-size key for a nonce of any length (its group's hash tag and 16 bytes
        of BLAKE2b), and its group."""
        digest = hashlib.blake2b(nonce.encode("utf-8", "surrogatepass"), digest_size=NONCE_DIGEST_BYTES).digest()
        group = digest[0] % GROUPS
        return self.groups[group] + digest, group

    def nonce(self, nonce: str) -> bytes:
        return self.nonce_key(nonce)[0]


def is_cluster(client: Any) -> bool:
    """CLIENT talks to a Cluster, whose keys of different slots may sit on different
    nodes (so no script may touch them together)."""
    from redis.asyncio.cluster import RedisCluster as AsyncRedisCluster
    from redis.cluster import RedisCluster

    return isinstance(client, (RedisCluster, AsyncRedisCluster))


def marker_batches(client: Any) -> list[list[int]]:
    """The nonce groups whose markers one script call may read: all of them on one
    server, one at a time on a Cluster (each marker lives in its group's slot)."""
    if is_cluster(client):
        return [[g] for g in range(GROUPS)]
    return [list(range(GROUPS))]


def decode_tag(value: bytes | str | None) -> str:
    """The tag a claim stored, or "" when the key holds none (plain consumption, expired).
    A client made with decode_responses=True hands back str."""
    if isinstance(value, str):
        return value[2:] if value.startswith("t:") else ""
    if value is None or not value.startswith(TAG_MARK):
        return ""
    return value[len(TAG_MARK) :].decode("utf-8", "surrogatepass")


def is_store_failure(error: BaseException) -> bool:
    """Errors that say the store cannot serve now (the breaker counts these): it is
    unreachable or stalled, or it answered one of FAILURE_REPLIES. Any other error reply
    (a wrong type, a bad script) is an answer from a store that works."""
    if isinstance(error, (RedisConnectionError, RedisTimeoutError, OSError)):
        return True
    if not isinstance(error, RedisError):
        return False
    if not isinstance(error, ResponseError):
        return True
    code = getattr(error, "status_code", None)
    if code is None:
        # redis-py strips the code of the replies it knows into the exception class;
        # others keep it as the first word of the message.
        words = str(error).split(None, 1)
        code = words[0] if words else ""
    return code in FAILURE_REPLIES or type(error).__name__ in _FAILURE_CLASSES


_FAILURE_CLASSES = frozenset({"OutOfMemoryError", "ReadOnlyError", "BusyLoadingError", "MasterDownError",
                              "ClusterDownError", "TryAgainError"})


def text(value: bytes | str) -> str:
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def fresh_id() -> str:
    return secrets.token_hex(8)


class Breaker:
    """Stops calling a store that failed THRESHOLD times in a row; after a delay one call
    is let through as a probe, and the delay doubles (up to MAX_DELAY) while probes fail.
    Not thread-safe by itself: the Engine holds its lock around every call."""

    def __init__(self, clock: Clock, threshold: int = 3, base_delay: float = 0.1, max_delay: float = 5.0) -> None:
        if threshold < 1 or base_delay <= 0 or max_delay < base_delay:
            raise ValueError("breaker needs threshold >= 1 and 0 < base_delay <= max_delay")
        self._clock = clock
        self.threshold = threshold
        self.base_delay = base_delay
        self.max_delay = max_delay
        self.failures = 0
        self.delay = base_delay
        self.retry_at = 0.0

    @property
    def is_open(self) -> bool:
        return self.failures >= self.threshold

    def allow(self) -> bool:
        if self.failures < self.threshold:
            return True
        now = self._clock.monotonic()
        if now < self.retry_at:
            return False
        # One probe per delay: the callers after it wait for the next slot.
        self.retry_at = now + self.delay
        return True

    def success(self) -> bool:
        """Records a success; True when the breaker was open (the store came back)."""
        was_open = self.is_open
        self.failures = 0
        self.delay = self.base_delay
        return was_open

    def failure(self) -> bool:
        """Records a failure; True when this one opened the breaker."""
        self.failures += 1
        now = self._clock.monotonic()
        if self.failures == self.threshold:
            self.delay = self.base_delay
            self.retry_at = now + self.delay
            return True
        if self.failures > self.threshold:
            self.delay = min(self.delay * 2, self.max_delay)
            self.retry_at = now + self.delay
        return False


@dataclass(frozen=True)
class Change:
    """A published ban change: kind "b" (ban, with remaining seconds), "u" (unban) or
    "r" (bans merged back after a loss: load them all), in a ban epoch."""

    kind: str
    version: int
    ip: str
    remaining: float = 0.0
    epoch: str = ""


def parse_change(data: bytes | str) -> Change | None:
    """The change in a published message, or None for a message this layer did not write."""
    parts = text(data).split(" ")
    try:
        if parts[0] == "b" and len(parts) == 5:
            return Change("b", int(parts[2]), parts[4], float(parts[3]), parts[1])
        if parts[0] == "u" and len(parts) == 4:
            return Change("u", int(parts[2]), parts[3], epoch=parts[1])
        if parts[0] == "r" and len(parts) == 3:
            return Change("r", int(parts[2]), "", epoch=parts[1])
    except ValueError:
        return None
    return None


class NonceMemory:
    """Consumed nonces this instance knows of, by store key: value, local end time and
    group. KNOWN holds those the store took, oldest dropped (and counted) beyond LIMIT;
    PENDING those consumed without the store under "local", never dropped before their
    end: when it is full, a nonce that would need the store's word is refused instead.
    The Engine holds its lock around every call but add_known on the claim path (the hot
    path), so whatever reads KNOWN iterates a copy (made in one C call, which no other
    thread interrupts) and removes with pop."""

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError("remember_limit must be at least 1")
        self.limit = limit
        self.known: OrderedDict[bytes, tuple[bytes, float, int]] = OrderedDict()
        self.pending: OrderedDict[bytes, tuple[bytes, float, int]] = OrderedDict()
        self.forgotten = 0

    def get(self, key: bytes, now: float) -> bytes | None:
        entry = self.pending.get(key) or self.known.get(key)
        return entry[0] if entry is not None and entry[1] > now else None

    def add_known(self, key: bytes, value: bytes, end: float, group: int) -> None:
        known = self.known
        if len(known) >= self.limit:
            # Entries of one TTL end in insertion order: the front is the oldest. (A sweep
            # may have emptied it since the length was read.)
            try:
                known.popitem(last=False)
                self.forgotten += 1
            except KeyError:
                pass
        known[key] = (value, end, group)

    def add_pending(self, key: bytes, value: bytes, end: float, group: int) -> bool:
        if len(self.pending) >= self.limit:
            return False
        self.pending[key] = (value, end, group)
        return True

    def sweep(self, now: float) -> None:
        for entries in (self.known, self.pending):
            for key in [k for k, (_, end, _) in list(entries.items()) if end <= now]:
                entries.pop(key, None)


@dataclass(frozen=True)
class WriteBack:
    """A consumed nonce to put (back) into the store: TTL whole seconds left."""

    key: bytes
    value: bytes
    ttl: int
    group: int
    pending: bool


class BanQueue:
    """Bans and unbans made while the store was unreachable, at most LIMIT addresses,
    oldest first. A later change of an address replaces its queued one (a ban keeps the
    later of the two end times); when full, the oldest entry is dropped and counted."""

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError("queue limit must be at least 1")
        self.limit = limit
        self.dropped = 0
        # address -> local wall-clock end of a ban, or None for an unban
        self._items: OrderedDict[str, float | None] = OrderedDict()

    def __len__(self) -> int:
        return len(self._items)

    def put(self, ip: str, end: float | None) -> None:
        previous = self._items.pop(ip, None) if ip in self._items else None
        if end is not None and previous is not None:
            end = max(end, previous)
        if len(self._items) >= self.limit:
            self._items.popitem(last=False)
            self.dropped += 1
        self._items[ip] = end

    def first(self) -> tuple[str, float | None] | None:
        return next(iter(self._items.items()), None)

    def done(self, ip: str, end: float | None) -> None:
        """Removes IP's entry if it is still the one that was written."""
        if ip in self._items and self._items[ip] == end:
            del self._items[ip]

    def banned(self) -> set[str]:
        return {ip for ip, end in self._items.items() if end is not None}


@dataclass
class Resync:
    """What a full load changes in the native engine."""

    hydrate: list[tuple[str, int]]
    unban: list[str]
    record: dict[str, float]


def plan_resync(
    record: dict[str, float],
    members: Sequence[bytes | str],
    store_now: float,
    local_now: float,
    native_prefix: str,
    keep: set[str],
) -> Resync:
    """Makes the layer's bans equal to a full load: MEMBERS is the flat
    address, end-time list of the store, STORE_NOW its clock when it was read. Each end
    becomes local_now + (end - store_now), so the hosts' clocks need not agree. Addresses
    in KEEP (bans queued for the store) stay as they are."""
    new: dict[str, float] = {}
    hydrate: list[tuple[str, int]] = []
    for i in range(0, len(members) - 1, 2):
        raw_ip, raw_end = members[i], members[i + 1]
        ip = raw_ip.decode("utf-8", "surrogatepass") if isinstance(raw_ip, bytes) else raw_ip
        end = local_now + (float(raw_end) - store_now)
        new[ip] = end
        hydrate.append((native_prefix + ip, math.ceil(end)))
    for ip in keep:
        if ip in record and ip not in new:
            new[ip] = record[ip]
    unban = [native_prefix + ip for ip in record if ip not in new]
    return Resync(hydrate, unban, new)


class Engine:
    """The state and decisions of one SharedState or AsyncSharedState. Thread-safe: the
    request threads and the sync thread share it, and every change of its state is made
    under its lock (never held across I/O)."""

    def __init__(
        self,
        prefix: str,
        policy: str,
        clock: Clock | None = None,
        *,
        breaker_threshold: int = 3,
        breaker_delay: tuple[float, float] = (0.1, 5.0),
        queue_limit: int = 10_000,
        remember_limit: int = REMEMBER_LIMIT,
    ) -> None:
        if policy not in POLICIES:
            raise ValueError(f"on_store_error must be one of {', '.join(POLICIES)}, not {policy!r}")
        self.keys = Keys.for_prefix(prefix)
        self.policy: Policy = policy
        self.clock: Clock = clock or SystemClock()
        self.lock = threading.Lock()
        self.breaker = Breaker(self.clock, breaker_threshold, *breaker_delay)
        self.queue = BanQueue(queue_limit)
        self.nonces = NonceMemory(remember_limit)
        self.record: dict[str, float] = {}  # address -> local wall-clock end of its ban
        self.version = -1  # store version the record reflects; -1 before the first load
        self.ban_epoch: str | None = None  # the ban epoch that version counts in
        self.resync_needed = False
        # Each group's epoch marker as last seen; a change means the group lost its keys.
        self.markers: list[str | None] = [None] * GROUPS
        # The same, encoded as the claim script's argument ("" until seen): the hot path
        # passes bytes, which the client sends as they are.
        self.marker_args: list[bytes] = [b""] * GROUPS
        self.reset_groups: set[int] = set()
        self.round_trips = 0
        self.errors = 0
        self.fallbacks = 0
        self.resyncs = 0
        self.store_resets = 0
        self.ban_merges = 0
        self.stale_refused = 0
        self.written_back = 0
        self.writeback_conflicts = 0
        self.conflicts_logged = False
        self.last_reset_log = -math.inf
        self.last_resync: float | None = None
        self.in_outage = False
        self.eviction_warned = False
        self.ip_keys: dict[str, str] = {}
        self.native_prefix = self.keys.native_prefix
        self.ban_keys = tuple(self.keys.ban_keys)

    def reset_lock(self) -> None:
        """After a fork: the lock may have been held by a thread that no longer exists."""
        self.lock = threading.Lock()

    # ---- input -------------------------------------------------------------------

    def native_nonce(self, nonce: object) -> str:
        return self.keys.native_prefix + check_nonce(nonce)

    def native_ip(self, ip: str) -> str:
        """Native key of an address; ValueError/TypeError for bad text. Bounded cache."""
        key = self.ip_keys.get(ip)
        if key is None:
            key = self.keys.native_prefix + normalise_ip(ip)
            if len(self.ip_keys) >= IP_CACHE_SIZE:
                self.ip_keys.clear()
            self.ip_keys[ip] = key
        return key

    # ---- store calls and the breaker ------------------------------------------------

    def may_call(self) -> bool:
        breaker = self.breaker
        if breaker.failures < breaker.threshold:   # closed: no lock needed to say so
            return True
        with self.lock:
            return breaker.allow()

    def call_ok(self, *, write: bool = True) -> None:
        """A store call answered. Only a write ends an outage and closes the breaker: a
        store out of memory or read-only still answers reads."""
        if write and not self.in_outage and not self.breaker.failures:
            self.round_trips += 1   # the common case; a lost increment under a race is harmless
            return
        with self.lock:
            self.round_trips += 1
            if not write:
                return
            if self.breaker.failures:
                self.breaker.success()
            if self.in_outage:
                self.in_outage = False
                self.conflicts_logged = False
                log.warning("store %s answers again", self.keys.prefix)

    def call_failed(self, error: BaseException, *, sync: bool = False) -> None:
        """A store call failed. A failure of the sync (which waits seconds, not
        milliseconds, and probes with a write) opens the breaker at once, so that health
        says so within the check interval even with no requests."""
        with self.lock:
            self.round_trips += 1
            self.errors += 1
            if not is_store_failure(error):
                return
            if sync:
                while not self.breaker.is_open:
                    self.breaker.failure()
            else:
                self.breaker.failure()
            if not self.in_outage:
                self.in_outage = True
                log.warning("store %s failed (%s: %s); answering by policy %r meanwhile", self.keys.prefix,
                            type(error).__name__, error, self.policy)

    def unavailable(self) -> StoreUnavailable:
        with self.lock:
            is_open = self.breaker.is_open
        return StoreUnavailable("store unreachable (circuit breaker open)" if is_open else "store call failed")

    # ---- epochs ---------------------------------------------------------------------

    def _see_marker(self, group: int, marker: str) -> None:
        """Under the lock: the marker a claim or a check found for GROUP."""
        known = self.markers[group]
        if known == marker:
            return
        self.markers[group] = marker
        self.marker_args[group] = marker.encode("utf-8")
        if known is None:
            return
        self.reset_groups.add(group)
        self.store_resets += 1
        now = self.clock.monotonic()
        if now - self.last_reset_log >= 10.0:
            self.last_reset_log = now
            log.warning("store %s lost its data (epoch marker of nonce group %d changed): writing back the "
                        "nonces this process knows; tokens issued before the loss are refused as retryable",
                        self.keys.prefix, group)

    def see_markers(self, groups: Sequence[int], reply: Sequence[bytes | str]) -> float:
        """The markers script's reply for GROUPS (their markers, then the store time).
        Returns how long to wait before this process issues tokens: until the next whole
        second when a marker was made in the current one, since token issue times are
        whole seconds and one issued in the second a marker was made counts as issued
        before it."""
        now = float(text(reply[-1]))
        with self.lock:
            for group, value in zip(groups, reply[:-1]):
                self._see_marker(group, text(value))
            newest = max(float(m) for m in self.markers if m is not None)
        return math.floor(now) + 1 - now if math.floor(newest) == math.floor(now) else 0.0

    # ---- nonces ---------------------------------------------------------------------

    def expected_marker(self, group: int) -> bytes | str:
        """What the claim script is told this instance last saw in GROUP's marker."""
        return self.markers[group] or ""

    def claimed(self, key: bytes, group: int, value: bytes, ttl: int, reply: Any) -> Any:
        """The claim script's reply: None when this call consumed the nonce, else the
        stored value; IssuedBeforeStoreLoss when the token predates the group's epoch.
        The short replies (the marker was the one expected) come first: they are the
        hot path."""
        if reply == 0:
            self.nonces.add_known(key, value, self.clock.wall() + ttl, group)
            return None
        if isinstance(reply, list):
            code = int(reply[0])
            with self.lock:
                self._see_marker(group, text(reply[1]))
                if code == 0:
                    self.nonces.add_known(key, value, self.clock.wall() + ttl, group)
                    return None
            reply = reply[2] if code == 1 else 2
        if reply == 2:
            with self.lock:
                self.stale_refused += 1
            raise IssuedBeforeStoreLoss("the store lost its memory of used tokens after this token was issued; "
                                        "fetch a fresh token")
        return reply

    def _unreached(self, key: bytes, value: bytes, ttl: int, group: int) -> bool | bytes:
        """A nonce new to the native engine when the store failed: its remembered value
        when this instance consumed it before (a replay), True when it is consumed
        here now (policy "local"), False when refused. Raises under "raise"."""
        with self.lock:
            remembered = self.nonces.get(key, self.clock.wall())
            if remembered is not None:
                self.fallbacks += 1
                return remembered
        if self.policy == "raise":
            raise self.unavailable()
        with self.lock:
            self.fallbacks += 1
            if self.policy == "local":
                return self.nonces.add_pending(key, value, self.clock.wall() + ttl, group)
            return False

    def nonce_fallback(self, key: bytes, value: bytes, ttl: int, group: int) -> bool:
        """consume_nonce's answer for a nonce new to this process when the store failed."""
        return self._unreached(key, value, ttl, group) is True

    def claim_fallback(self, key: bytes, value: bytes, ttl: int, group: int) -> str | None:
        """claim_nonce's answer for a nonce new to this process when the store failed."""
        answer = self._unreached(key, value, ttl, group)
        if answer is True:
            return None
        return decode_tag(answer) if isinstance(answer, bytes) else ""

    def replay_tag_fallback(self, key: bytes) -> str:
        """claim_nonce's answer for a locally refused nonce whose tag could not be read."""
        with self.lock:
            remembered = self.nonces.get(key, self.clock.wall())
        if remembered is None and self.policy == "raise":
            raise self.unavailable()
        with self.lock:
            self.fallbacks += 1
        return decode_tag(remembered)

    def writebacks(self) -> list[WriteBack]:
        """Nonces to put into the store now: those consumed without it, and those the
        store took in groups that lost their keys since."""
        with self.lock:
            if not self.nonces.pending and not self.reset_groups:
                return []
            now = self.clock.wall()
            self.nonces.sweep(now)
            items = [WriteBack(k, v, math.ceil(end - now), g, True) for k, (v, end, g) in self.nonces.pending.items()]
            if self.reset_groups:
                groups, self.reset_groups = self.reset_groups, set()
                items += [WriteBack(k, v, math.ceil(end - now), g, False)
                          for k, (v, end, g) in list(self.nonces.known.items()) if g in groups]
            return items

    def retry_writebacks(self, items: Sequence[WriteBack]) -> None:
        """Write-backs of known nonces cut short: their groups are written again later
        (pending nonces stay pending until written)."""
        with self.lock:
            self.reset_groups.update(item.group for item in items if not item.pending)

    def wrote_back(self, item: WriteBack, reply: Any) -> None:
        """The claim script's reply to a write-back. A pending nonce the store already
        held was accepted by another process too while this one answered alone."""
        if isinstance(reply, list):
            with self.lock:
                self._see_marker(item.group, text(reply[1]))
            previous = reply[2] if int(reply[0]) == 1 else None
        else:
            previous = None if reply == 0 else reply
        with self.lock:
            self.written_back += 1
            if not item.pending:
                return
            entry = self.nonces.pending.pop(item.key, None)
            if entry is not None:
                self.nonces.add_known(item.key, entry[0], entry[1], entry[2])
            if previous is not None and not (len(item.value) > len(TAG_MARK) and _as_bytes(previous) == item.value):
                self.writeback_conflicts += 1
                if not self.conflicts_logged:
                    self.conflicts_logged = True
                    log.warning("store %s: a nonce consumed here while the store was unreachable had been "
                                "consumed by another process too (counted in writeback_conflicts)",
                                self.keys.prefix)

    # ---- bans -----------------------------------------------------------------------

    def _ban_native(self, ip: str, end: float) -> None:
        native.hydrate_bans_rs([(self.keys.native_prefix + ip, math.ceil(end))])

    def _same_epoch(self, epoch: bytes | str) -> bool:
        """Under the lock: whether a reply's ban epoch is the one the record counts in;
        when not, a full load (which merges the record back) is asked for."""
        if text(epoch) == self.ban_epoch:
            return True
        self.resync_needed = True
        return False

    def apply_own_ban(self, ip: str, version: int, remaining: float, epoch: bytes | str = "") -> None:
        """This instance's ban as the store recorded it (the longest one wins there)."""
        with self.lock:
            if self._same_epoch(epoch) and version <= self.version:
                return  # the sync already applied this change and maybe later ones
            end = max(self.clock.wall() + remaining, self.record.get(ip, 0.0))
            self.record[ip] = end
            self._ban_native(ip, end)

    def apply_own_unban(self, ip: str, version: int, epoch: bytes | str = "") -> None:
        with self.lock:
            if self._same_epoch(epoch) and version <= self.version:
                return
            self.record.pop(ip, None)
            native.unban_ip_rs(self.keys.native_prefix + ip)

    def ban_unreachable(self, ip: str, duration: int) -> None:
        """A ban the store did not take: applied here and queued, or raised."""
        if self.policy == "raise":
            raise self.unavailable()
        with self.lock:
            self.fallbacks += 1
            end = self.clock.wall() + duration
            end = max(end, self.record.get(ip, end))
            self.record[ip] = end
            self._ban_native(ip, end)
            self.queue.put(ip, end)

    def unban_unreachable(self, ip: str) -> None:
        if self.policy == "raise":
            raise self.unavailable()
        with self.lock:
            self.fallbacks += 1
            self.record.pop(ip, None)
            native.unban_ip_rs(self.keys.native_prefix + ip)
            self.queue.put(ip, None)

    def next_queued(self) -> tuple[str, float | None, float] | None:
        """The oldest queued change: address, its end (None: unban) and the seconds left
        of a ban; expired bans are dropped on the way."""
        with self.lock:
            while (item := self.queue.first()) is not None:
                ip, end = item
                if end is None:
                    return ip, None, 0.0
                remaining = end - self.clock.wall()
                if remaining > 0:
                    return ip, end, remaining
                self.queue.done(ip, end)
            return None

    def queued_done(self, ip: str, end: float | None) -> None:
        with self.lock:
            self.queue.done(ip, end)

    # ---- the sync -------------------------------------------------------------------

    def apply_change(self, change: Change) -> bool:
        """Applies a published change in version order; False when a change was missed
        (a version gap, another epoch, bans merged back) and a full load is needed."""
        with self.lock:
            if self.version < 0:
                return True  # before the first load
            if change.epoch != self.ban_epoch or change.kind == "r":
                return False
            if change.version <= self.version:
                return True  # already part of the record
            if change.version > self.version + 1:
                return False
            self.version = change.version
            if change.kind == "b":
                end = self.clock.wall() + change.remaining
                self.record[change.ip] = end
                self._ban_native(change.ip, end)
            else:
                self.record.pop(change.ip, None)
                native.unban_ip_rs(self.keys.native_prefix + change.ip)
            return True

    def behind(self, epoch: bytes | str, store_version: int) -> bool:
        with self.lock:
            return text(epoch) != self.ban_epoch or store_version != self.version

    def resync(self, reply: Sequence[Any]) -> list[str] | None:
        """Applies the reply of the load script: epoch, version, store time, members.
        When the store's ban epoch is not the record's (it lost the ban set), nothing is
        applied: the answer is the merge script's arguments, the record's active bans
        as address, remaining seconds pairs, to merge into the new epoch before loading
        again."""
        epoch, version, store_now, members = text(reply[0]), int(reply[1]), float(reply[2]), reply[3]
        with self.lock:
            if self.ban_epoch is not None and epoch != self.ban_epoch and self.record:
                # The record keeps its epoch until the merge is done (merged()), so that
                # a merge cut short is tried again by the next load.
                self.resync_needed = True
                now = self.clock.wall()
                pairs: list[str] = []
                for ip, end in self.record.items():
                    if end > now:
                        pairs += [ip, f"{end - now:.6f}"]
                if pairs:
                    self.ban_merges += 1
                    log.warning("store %s lost its bans (new ban epoch): merging this process's %d active bans back",
                                self.keys.prefix, len(pairs) // 2)
                    return pairs
            plan = plan_resync(self.record, members, store_now, self.clock.wall(),
                               self.keys.native_prefix, self.queue.banned())
            if plan.hydrate:
                native.hydrate_bans_rs(plan.hydrate)
            for key in plan.unban:
                native.unban_ip_rs(key)
            self.record = plan.record
            self.version = version
            self.ban_epoch = epoch
            self.resync_needed = False
            self.resyncs += 1
            self.last_resync = self.clock.monotonic()
            return None

    def merged(self, epoch: bytes | str) -> None:
        """The record's bans are in the store's epoch EPOCH now; a load follows."""
        with self.lock:
            self.ban_epoch = text(epoch)
            self.version = -1 if self.version >= 0 else self.version
            self.resync_needed = True

    def prune(self) -> None:
        """Forgets bans that ended more than a second ago, here and in the native engine,
        and nonces past their end."""
        with self.lock:
            cutoff = self.clock.wall() - 1
            for ip in [ip for ip, end in self.record.items() if end < cutoff]:
                del self.record[ip]
                native.unban_ip_rs(self.keys.native_prefix + ip)
            self.nonces.sweep(cutoff + 1)

    # ---- the operations: an answer, or the plan of the one store call it needs --------

    def consume(self, nonce: str, ttl: int, issued_at: float | None) -> bool | Plan[bool]:
        """consume_nonce. A nonce the native engine refuses is answered here, with no
        store call: the replay path, kept short."""
        if type(nonce) is not str or type(ttl) is not int or ttl < 1:
            check_nonce(nonce)
            check_ttl(ttl)
        issued = "" if issued_at is None else check_issued(issued_at)
        if not native.consume_nonce_rs(self.native_prefix + nonce):
            return False
        key, group = self.keys.nonce_key(nonce)
        if not self.may_call():
            return self.nonce_fallback(key, PLAIN_NONCE_VALUE, ttl, group)
        return self._claim_plan(key, PLAIN_NONCE_VALUE, ttl, group, issued, self._consumed, self.nonce_fallback)

    def _consumed(self, reply: Any, key: bytes, value: bytes, ttl: int, group: int) -> bool:
        if reply == 0:   # consumed by this call, the marker as expected: the hot path
            self.nonces.add_known(key, value, self.clock.wall() + ttl, group)
            return True
        return self.claimed(key, group, value, ttl, reply) is None

    def claim(self, nonce: str, tag: str, ttl: int, issued_at: float | None) -> str | None | Plan[str | None]:
        """claim_nonce: a nonce the native engine refuses has its tag read from the store
        (a read: it ends no outage), a new one is claimed with its tag."""
        native_key, value, issued, key, group = self.claim_args(nonce, tag, ttl, issued_at)
        if not native.consume_nonce_rs(native_key):
            return self.claimed_before(key)
        if not self.may_call():
            return self.claim_fallback(key, value, ttl, group)
        return self._claim_plan(key, value, ttl, group, issued, self._tag_claimed, self.claim_fallback)

    def claimed_before(self, key: bytes) -> str | Plan[str | None]:
        """claim_nonce of a nonce the native engine refused: its tag, read from the store
        (a read: it ends no outage)."""
        if not self.may_call():
            return self.replay_tag_fallback(key)
        return Plan[str | None](self, ("GET", key), None, _stored_tag, self.replay_tag_fallback, (key,), write=False)

    def _claim_plan[T](self, key: bytes, value: bytes, ttl: int, group: int, issued: str,
                       on_reply: Callable[..., T], on_failure: Callable[..., T]) -> Plan[T]:
        """The claim script's call for a nonce new to this process (ISSUED "" for none)."""
        args = ("EVALSHA", CLAIM_SHA, 2, key, self.keys.markers[group], value, b"%d" % ttl, self.marker_args[group])
        return Plan(self, (*args, issued) if issued else args, Scripts.claim, on_reply, on_failure,
                    (key, value, ttl, group))

    def claim_args(self, nonce: str, tag: str, ttl: int,
                   issued_at: float | None) -> tuple[str, bytes, str, bytes, int]:
        """A claim's checked arguments: the native key, the value stored (the tag), the
        issue time as the script takes it ("" for none), the store key and its group."""
        native_key = self.native_nonce(nonce)
        value = TAG_MARK + check_tag(tag).encode("utf-8", "surrogatepass")
        check_ttl(ttl)
        issued = "" if issued_at is None else check_issued(issued_at)
        key, group = self.keys.nonce_key(nonce)
        return native_key, value, issued, key, group

    def _tag_claimed(self, reply: Any, key: bytes, value: bytes, ttl: int, group: int) -> str | None:
        previous = self.claimed(key, group, value, ttl, reply)
        return None if previous is None else decode_tag(previous)

    def ban(self, ip: str, duration: int) -> Plan[None] | None:
        """ban_ip: the ban script (the longest ban wins in the store), or the ban applied
        here and queued for the store."""
        address = self.native_ip(ip)[len(self.native_prefix):]
        check_duration(duration)
        if not self.may_call():
            self.ban_unreachable(address, duration)
            return None
        args = evalsha_args(Scripts.ban, self.ban_keys, (address, duration, self.keys.channel, fresh_id()))
        return Plan(self, args, Scripts.ban, self._banned, self.ban_unreachable, (address, duration))

    def _banned(self, reply: Any, address: str, duration: int) -> None:
        version, remaining, epoch = reply
        self.apply_own_ban(address, int(version), float(remaining), epoch)

    def unban(self, ip: str) -> Plan[None] | None:
        address = self.native_ip(ip)[len(self.native_prefix):]
        if not self.may_call():
            self.unban_unreachable(address)
            return None
        args = evalsha_args(Scripts.unban, self.ban_keys, (address, self.keys.channel, fresh_id()))
        return Plan(self, args, Scripts.unban, self._unbanned, self.unban_unreachable, (address,))

    def _unbanned(self, reply: Any, address: str) -> None:
        version, epoch = reply
        self.apply_own_unban(address, int(version), epoch)

    # ---- the sync's duties: generators of store commands -----------------------------

    def load(self, first: bool, batches: Sequence[Sequence[int]]) -> Steps[float]:
        """A full load of the active bans (the store's eviction policy checked first, once).
        When the store lost the ban set, this process's bans are merged back and the load
        runs again. FIRST (before start() returns): the nonce groups' markers are read
        too, and the answer is how long to wait before tokens are issued."""
        if not self.eviction_warned:
            try:
                self.check_eviction(eviction_policies((yield Command(("maxmemory-policy",), method="config_get"))))
            except RedisError:
                log.debug("CONFIG GET maxmemory-policy refused; eviction policy unknown")
        for _ in range(5):
            reply = yield evalsha(Scripts.load, self.ban_keys, (fresh_id(),))
            self.call_ok(write=False)
            pairs = self.resync(reply)
            if pairs is None:
                # Before start() returns: the markers exist before any token is issued.
                return (yield from self.check_markers(batches)) if first else 0.0
            # The store lost the ban set: this process's bans go back in, then load again.
            version, epoch = yield evalsha(Scripts.merge, self.ban_keys, (self.keys.channel, reply[0], *pairs))
            self.call_ok()
            if int(version) >= 0:
                self.merged(epoch)
        raise RedisError("the ban epoch kept changing while loading")

    def check_markers(self, batches: Sequence[Sequence[int]]) -> Steps[float]:
        """Reads (and makes when missing) every nonce group's epoch marker, in BATCHES of
        groups (marker_batches); the answer is how long to wait before tokens are issued
        (see see_markers)."""
        wait = 0.0
        for groups in batches:
            reply = yield evalsha(Scripts.markers, [self.keys.markers[g] for g in groups], ())
            wait = max(wait, self.see_markers(groups, reply))
        return wait

    def check(self, batches: Sequence[Sequence[int]]) -> Steps[bool]:
        """The nonce groups' epoch markers, then the ban epoch and version (after a write
        probe): a loss is seen here within check_interval even with no claims. True when
        the record is behind the store: the front end applies the changes in flight on
        its subscription, then asks recheck()."""
        yield from self.check_markers(batches)
        epoch, version = yield self._check_command()
        self.call_ok()
        return self.behind(epoch, int(version))

    def recheck(self) -> Steps[bool]:
        """True when the record is still behind the store: a full load is needed."""
        epoch, version = yield self._check_command()
        return self.behind(epoch, int(version))

    def _check_command(self) -> Command:
        return evalsha(Scripts.check, (self.keys.version, self.keys.epoch, self.keys.probe), ())

    def flush_queue(self, stopped: Callable[[], bool]) -> Steps[None]:
        """Writes the bans queued while the store was unreachable, oldest first."""
        while not stopped() and (item := self.next_queued()) is not None:
            ip, end, remaining = item
            if end is None:
                yield evalsha(Scripts.unban, self.ban_keys, (ip, self.keys.channel, fresh_id()))
            else:
                yield evalsha(Scripts.ban, self.ban_keys, (ip, f"{remaining:.6f}", self.keys.channel, fresh_id()))
            self.call_ok()
            self.queued_done(ip, end)

    def write_back(self) -> Steps[None]:
        """Puts into the store the nonces consumed while it was unreachable, and those a
        group that lost its keys had held."""
        items = self.writebacks()
        for i, item in enumerate(items):
            if item.ttl < 1:
                continue
            try:
                reply = yield evalsha(Scripts.claim, (item.key, self.keys.markers[item.group]),
                                      (item.value, item.ttl, self.expected_marker(item.group)))
            except BaseException:
                self.retry_writebacks(items[i:])
                raise
            self.call_ok()
            self.wrote_back(item, reply)

    def check_eviction(self, policies: Sequence[str]) -> None:
        risky = sorted({p for p in policies if p != "noeviction"})
        if risky and not self.eviction_warned:
            self.eviction_warned = True
            log.warning("store maxmemory-policy is %s: it may evict nonce keys, and a forgotten nonce "
                        "can be replayed; use noeviction", ", ".join(risky))

    def stats(self) -> dict[str, Any]:
        with self.lock:
            age = None if self.last_resync is None else self.clock.monotonic() - self.last_resync
            return {
                "native": dict(native.get_state_engine_stats_rs()),
                "store_round_trips": self.round_trips,
                "store_errors": self.errors,
                "fallbacks": self.fallbacks,
                "resyncs": self.resyncs,
                "last_resync_age_sec": age,
                "breaker_open": self.breaker.is_open,
                "queued_bans": len(self.queue),
                "dropped_bans": self.queue.dropped,
                "bans": len(self.record),
                "version": self.version,
                "store_resets": self.store_resets,
                "ban_merges": self.ban_merges,
                "stale_tokens_refused": self.stale_refused,
                "remembered_nonces": len(self.nonces.known),
                "pending_nonces": len(self.nonces.pending),
                "forgotten_nonces": self.nonces.forgotten,
                "written_back": self.written_back,
                "writeback_conflicts": self.writeback_conflicts,
            }


def _stored_tag(reply: bytes | str | None, key: bytes) -> str:
    return decode_tag(reply)


def _as_bytes(value: Any) -> bytes:
    return value.encode("utf-8", "surrogatepass") if isinstance(value, str) else bytes(value or b"")


class Traces:
    """The trace memory's side of one SharedState or AsyncSharedState: its config and key
    names, the in-process memory that answers under "local" while the store cannot, and
    the number of sessions the store held at its last answer."""

    def __init__(self, prefix: str, config: TraceConfig | None, clock: Clock) -> None:
        self.config = config if config is not None else TraceConfig()
        self.keys = TraceKeys.for_prefix(prefix)
        self.local = TraceMemory(self.config, clock.wall)
        self.sessions: int | None = None

    def prepare(self, session_id: str, client: str | None, sketch: Any, retry: bool,
                outcome_ttl_sec: int) -> Call | None:
        return prepare(self.config, session_id, client, sketch, retry=retry, outcome_ttl_sec=outcome_ttl_sec)

    def answered(self, reply: Sequence[Any]) -> TraceOutcome:
        outcome = parse_reply(reply)
        self.sessions = outcome.sessions
        return outcome

    def remember(self, engine: Engine, session_id: str, client: str | None, sketch: Any, retry: bool,
                 outcome_ttl_sec: int) -> TraceOutcome | Plan[TraceOutcome]:
        """remember_trace: the trace script, or the answer without the store."""
        call = self.prepare(session_id, client, sketch, retry, outcome_ttl_sec)
        if call is None:
            return TraceOutcome(sessions=self.sessions)
        if not engine.may_call():
            return self.unreachable(engine, call)
        args = evalsha_args(Scripts.trace, self.keys.for_session(call.sid), script_args(self.config, call))
        return Plan(engine, args, Scripts.trace, self._answered, self.unreachable, (engine, call))

    def _answered(self, reply: Sequence[Any], engine: Engine, call: Call) -> TraceOutcome:
        return self.answered(reply)

    def unreachable(self, engine: Engine, call: Call) -> TraceOutcome:
        """The answer without the store: this process's memory under "local", no match
        under "refuse" (a store failure never makes a replay of anything), or raised."""
        if engine.policy == "raise":
            raise engine.unavailable()
        with engine.lock:
            engine.fallbacks += 1
        if engine.policy == "local":
            return self.local.remember(call)
        return TraceOutcome()

    def claim_and_remember(
        self, engine: Engine, nonce: str, tag: str, ttl: int, issued_at: float | None, session_id: str,
        client: str | None, sketch: Any, outcome_ttl_sec: int, *, single_node: bool,
    ) -> ClaimAndTrace | Plan[ClaimAndTrace]:
        """claim_nonce and, when the claim lets the request through, remember_trace, in one
        script (claim_trace.lua) on a SINGLE_NODE: the trace step runs when this call
        consumed the nonce, or repeats with the same non-empty TAG the call that did (as
        its retry, which writes nothing). A refused claim stores no trace.

        The answer is claim_nonce's and the trace's outcome, which is None when the trace
        was not looked at: on a Cluster (the two keys' slots differ), for a nonce the
        native engine already refused (its tag is read as claim_nonce does), for a sketch
        with nothing to remember or not a sketch, or when the store did not answer. The
        caller then calls remember_trace itself if the claim let the request through."""
        call = None
        if single_node:
            try:
                call = self.prepare(session_id, client, sketch, False, outcome_ttl_sec)
            except (TypeError, ValueError):
                call = None   # remember_trace, called next, says why
        if call is None:
            return _without_trace(engine.claim(nonce, tag, ttl, issued_at))
        native_key, value, issued, key, group = engine.claim_args(nonce, tag, ttl, issued_at)
        if not native.consume_nonce_rs(native_key):
            return _without_trace(engine.claimed_before(key))
        if not engine.may_call():
            return engine.claim_fallback(key, value, ttl, group), None
        keys = (key, engine.keys.markers[group], *self.keys.for_session(call.sid))
        args = (value, b"%d" % ttl, engine.marker_args[group], issued, "1" if tag else "",
                *script_args(self.config, call)[1:])
        return Plan(engine, evalsha_args(Scripts.claim_trace, keys, args), Scripts.claim_trace,
                    self._claimed_and_traced, _claim_alone_failed, (engine, key, value, ttl, group))

    def _claimed_and_traced(self, reply: Sequence[Any], engine: Engine, key: bytes, value: bytes, ttl: int,
                            group: int) -> ClaimAndTrace:
        claimed, traced = reply
        previous = engine.claimed(key, group, value, ttl, claimed)
        outcome = self.answered(traced) if isinstance(traced, list) else None
        return (None if previous is None else decode_tag(previous)), outcome

    def stats(self) -> dict[str, Any]:
        return {"trace_sessions": self.sessions, "trace_local_sessions": len(self.local)}


# claim_nonce's answer, and the trace memory's outcome when the same call looked at it.
type ClaimAndTrace = tuple[str | None, TraceOutcome | None]


def _without_trace(answer: str | None | Plan[str | None]) -> ClaimAndTrace | Plan[ClaimAndTrace]:
    """claim_nonce's answer or plan, with no trace outcome."""
    if not isinstance(answer, Plan):
        return answer, None
    return Plan(answer.engine, answer.args, answer.script, _paired_reply, _paired_failure, (answer,),
                write=answer.write)


def _paired_reply(reply: Any, plan: Plan[str | None]) -> ClaimAndTrace:
    return plan.on_reply(reply, *plan.context), None


def _paired_failure(plan: Plan[str | None]) -> ClaimAndTrace:
    return plan.on_failure(*plan.context), None


def _claim_alone_failed(engine: Engine, key: bytes, value: bytes, ttl: int, group: int) -> ClaimAndTrace:
    return engine.claim_fallback(key, value, ttl, group), None


def eviction_policies(reply: Any) -> list[str]:
    """maxmemory-policy values in a CONFIG GET reply of one node or of every node."""
    found: list[str] = []
    if isinstance(reply, dict):
        for key, value in reply.items():
            if isinstance(value, dict):
                found.extend(eviction_policies(value))
            elif (key.decode() if isinstance(key, bytes) else key) == "maxmemory-policy":
                found.append(value.decode() if isinstance(value, bytes) else str(value))
    return found
