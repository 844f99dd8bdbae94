"""The decisions of the shared state layer, free of I/O.

Everything here is used by both the blocking and the asyncio front ends: key names,
validation and normalisation of what callers pass, the circuit breaker, the failure
policy, the record of the bans this layer applied to the native engine, what a
published change or a full load does to that record, the queue of bans waiting for the
store, and the counters. Time comes from an injected clock so that expiry, skew and
breaker timing can be tested without waiting.
"""

from __future__ import annotations

import hashlib
import ipaddress
import logging
import math
import threading
import time
from collections import OrderedDict
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any, Literal, Protocol

import velkora_core_rs as native
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import RedisError, ResponseError
from redis.exceptions import TimeoutError as RedisTimeoutError

from ..trace_memory import Call, TraceConfig, TraceKeys, TraceMemory, TraceOutcome, parse_reply, prepare

log = logging.getLogger("velkora.shared_state")

Policy = Literal["local", "refuse", "raise"]
POLICIES: tuple[Policy, ...] = ("local", "refuse", "raise")

# Sorted-set scores are doubles; ten years keeps end times exact to the microsecond.
MAX_BAN_SEC = 10 * 365 * 86400
NONCE_DIGEST_BYTES = 16
# Value of a nonce key written by consume_nonce; claim_nonce writes TAG_MARK + tag, so
# that a tag that happens to be "1" is still told apart from a plain consumption.
PLAIN_NONCE_VALUE = b"1"
TAG_MARK = b"t:"
IP_CACHE_SIZE = 4096


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
    channel: bytes
    nonce_prefix: bytes
    native_prefix: str

    @classmethod
    def for_prefix(cls, prefix: str) -> Keys:
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
        raw = prefix.encode("utf-8", "surrogatepass")
        return cls(
            prefix=prefix,
            bans=raw + b"{bans}:set",
            version=raw + b"{bans}:version",
            channel=raw + b"bans:changes",
            nonce_prefix=raw + b"n:",
            native_prefix=f"{len(prefix)}:{prefix}",
        )

    def nonce(self, nonce: str) -> bytes:
        """A fixed-size key for a nonce of any length: 16 bytes of BLAKE2b."""
        data = nonce.encode("utf-8", "surrogatepass")
        return self.nonce_prefix + hashlib.blake2b(data, digest_size=NONCE_DIGEST_BYTES).digest()


def check_nonce(nonce: object) -> str:
    if type(nonce) is not str:
        raise TypeError(f"nonce must be a str, not {type(nonce).__name__}")
    return nonce


def check_ttl(ttl_sec: object) -> int:
    if type(ttl_sec) is not int:
        raise TypeError(f"ttl_sec must be an int, not {type(ttl_sec).__name__}")
    if ttl_sec < 1:
        raise ValueError(f"ttl_sec must be at least 1, not {ttl_sec}")
    return ttl_sec


def check_tag(tag: object) -> str:
    if type(tag) is not str:
        raise TypeError(f"tag must be a str, not {type(tag).__name__}")
    return tag


def check_duration(duration_sec: object) -> int:
    if type(duration_sec) is not int:
        raise TypeError(f"duration_sec must be an int, not {type(duration_sec).__name__}")
    if not 1 <= duration_sec <= MAX_BAN_SEC:
        raise ValueError(f"duration_sec must be from 1 to {MAX_BAN_SEC} (10 years), not {duration_sec}")
    return duration_sec


def normalise_ip(text: object) -> str:
    """Canonical text of an address; an IPv4-mapped IPv6 address becomes the IPv4 one."""
    if not isinstance(text, str):
        raise TypeError(f"ip must be a str, not {type(text).__name__}")
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        raise ValueError(f"not an IP address: {text!r}") from None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return str(address.ipv4_mapped)
    return str(address)


def decode_tag(value: bytes | str | None) -> str:
    """The tag a claim stored, or "" when the key holds none (plain consumption, expired).
    A client made with decode_responses=True hands back str."""
    if isinstance(value, str):
        return value[2:] if value.startswith("t:") else ""
    if value is None or not value.startswith(TAG_MARK):
        return ""
    return value[len(TAG_MARK) :].decode("utf-8", "surrogatepass")


def is_transport_error(error: BaseException) -> bool:
    """Errors that say the store is unreachable or stalled (the breaker counts these);
    a ResponseError is an answer from a live store."""
    return isinstance(error, (RedisConnectionError, RedisTimeoutError, OSError)) or (
        isinstance(error, RedisError) and not isinstance(error, ResponseError)
    )


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
    """A published ban change: kind "b" (ban, with remaining seconds) or "u" (unban)."""

    kind: str
    version: int
    ip: str
    remaining: float = 0.0


def parse_change(data: bytes | str) -> Change | None:
    """The change in a published message, or None for a message this layer did not write."""
    text = data.decode("utf-8", "replace") if isinstance(data, bytes) else data
    parts = text.split(" ")
    try:
        if parts[0] == "b" and len(parts) == 4:
            return Change("b", int(parts[1]), parts[3], float(parts[2]))
        if parts[0] == "u" and len(parts) == 3:
            return Change("u", int(parts[1]), parts[2])
    except ValueError:
        return None
    return None


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
    ) -> None:
        if policy not in POLICIES:
            raise ValueError(f"on_store_error must be one of {', '.join(POLICIES)}, not {policy!r}")
        self.keys = Keys.for_prefix(prefix)
        self.policy: Policy = policy
        self.clock: Clock = clock or SystemClock()
        self.lock = threading.Lock()
        self.breaker = Breaker(self.clock, breaker_threshold, *breaker_delay)
        self.queue = BanQueue(queue_limit)
        self.record: dict[str, float] = {}  # address -> local wall-clock end of its ban
        self.version = -1  # store version the record reflects; -1 before the first load
        self.round_trips = 0
        self.errors = 0
        self.fallbacks = 0
        self.resyncs = 0
        self.last_resync: float | None = None
        self.in_outage = False
        self.eviction_warned = False
        self.ip_keys: dict[str, str] = {}

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

    def call_ok(self) -> None:
        with self.lock:
            self.round_trips += 1
            if self.breaker.failures:
                self.breaker.success()
            if self.in_outage:
                self.in_outage = False
                log.warning("store %s reachable again", self.keys.prefix)

    def call_failed(self, error: BaseException) -> None:
        with self.lock:
            self.round_trips += 1
            self.errors += 1
            if is_transport_error(error):
                self.breaker.failure()
            if not self.in_outage:
                self.in_outage = True
                log.warning("store %s failed (%s: %s); policy %r", self.keys.prefix,
                            type(error).__name__, error, self.policy)

    def unavailable(self) -> StoreUnavailable:
        with self.lock:
            is_open = self.breaker.is_open
        return StoreUnavailable("store unreachable (circuit breaker open)" if is_open else "store call failed")

    # ---- nonces ---------------------------------------------------------------------

    def nonce_fallback(self) -> bool:
        """consume_nonce's answer for a nonce new to this process when the store failed."""
        if self.policy == "raise":
            raise self.unavailable()
        with self.lock:
            self.fallbacks += 1
        return self.policy == "local"

    def claim_fallback(self) -> str | None:
        """claim_nonce's answer for a nonce new to this process when the store failed."""
        return None if self.nonce_fallback() else ""

    def replay_tag_fallback(self) -> str:
        """claim_nonce's answer for a locally refused nonce whose tag could not be read."""
        if self.policy == "raise":
            raise self.unavailable()
        with self.lock:
            self.fallbacks += 1
        return ""

    # ---- bans -----------------------------------------------------------------------

    def _ban_native(self, ip: str, end: float) -> None:
        native.hydrate_bans_rs([(self.keys.native_prefix + ip, math.ceil(end))])

    def apply_own_ban(self, ip: str, version: int, remaining: float) -> None:
        """This instance's ban as the store recorded it (the longest one wins there)."""
        with self.lock:
            if version <= self.version:
                return  # the sync already applied this change and maybe later ones
            end = self.clock.wall() + remaining
            self.record[ip] = end
            self._ban_native(ip, end)

    def apply_own_unban(self, ip: str, version: int) -> None:
        with self.lock:
            if version <= self.version:
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
        (a version gap) and a full load is needed."""
        with self.lock:
            if self.version < 0 or change.version <= self.version:
                return True  # before the first load, or already part of the record
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

    def behind(self, store_version: int) -> bool:
        with self.lock:
            return store_version != self.version

    def resync(self, reply: Sequence[Any]) -> None:
        """Applies the reply of the load script: version, store time, members."""
        version, store_now, members = int(reply[0]), float(reply[1]), reply[2]
        with self.lock:
            plan = plan_resync(self.record, members, store_now, self.clock.wall(),
                               self.keys.native_prefix, self.queue.banned())
            if plan.hydrate:
                native.hydrate_bans_rs(plan.hydrate)
            for key in plan.unban:
                native.unban_ip_rs(key)
            self.record = plan.record
            self.version = version
            self.resyncs += 1
            self.last_resync = self.clock.monotonic()

    def prune(self) -> None:
        """Forgets bans that ended more than a second ago, here and in the native engine."""
        with self.lock:
            cutoff = self.clock.wall() - 1
            for ip in [ip for ip, end in self.record.items() if end < cutoff]:
                del self.record[ip]
                native.unban_ip_rs(self.keys.native_prefix + ip)

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
            }


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

    def stats(self) -> dict[str, Any]:
        return {"trace_sessions": self.sessions, "trace_local_sessions": len(self.local)}


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
