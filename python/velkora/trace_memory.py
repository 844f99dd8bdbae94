"""The memory of trace sketches, free of I/O: which earlier sessions a new trace repeats.

A bot farm that replays one recorded human trace across many sessions sends, each time,
telemetry whose sketch (``velkora._signals.trace_sketch``) is the same or nearly so. This
module remembers the sketches of recent sessions and answers, for a new one, how many of
them it repeats and how long ago the most recent was. The rules live here once; the
store runs the same rules in ``shared_state/lua/trace.lua`` (one atomic script per
request), and ``TraceMemory`` runs them in process memory. Both are held to the same
answers on the same sequence by the tests.

- **Candidates and matches.** Two sessions are candidates when they share a band of the
  same modality (pointer or keys) at the same band index; a candidate is a match when the
  share of equal positions in the two MinHash signatures of that modality reaches the
  threshold (``MATCH_THRESHOLD``, a setting).
- **What is kept.** Band hashes and signature values are folded to 32 bits
  (``x ^ (x >> 32)``, low half): equal values stay equal, and two different values fold
  alike with probability 2^-32, which leaves the estimated similarity as it is and halves
  the memory. A modality with fewer than ``min_shingles`` shingles is neither kept nor
  looked up: a very short trace is too common to tell a replay.
- **Bounds.** At most ``per_client`` sessions per client (an IPv4 address, or the /64 of an
  IPv6 one): over it, that client's own oldest go first. At most ``max_sessions`` overall:
  over it, the oldest overall go. Sessions older than ``ttl_sec`` are never matched and
  are swept a few per call. Evicting a session removes its band entries. Each band entry
  keeps the ``BUCKET_MAX`` most recent sessions and a lookup examines at most
  ``MAX_CANDIDATES`` per modality, so a flood of one trace costs bounded work (the
  config carries these bounds so that the tests can make them small).
- **Retries.** A retry of an answered request (same token, same idempotency key, same
  body) gets the outcome its first answer had, kept for the token's life when there was a
  match, and writes nothing: it cannot match its own record.
"""

from __future__ import annotations

import functools
import hashlib
import ipaddress
import math
import struct
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

# The share of equal signature positions at or above which a candidate is the same trace.
# The one place that holds the default: the settings and the store script take it from here.
MATCH_THRESHOLD = 0.05
# Fewest shingles a modality needs to be remembered or matched: a handful of pointer
# samples or keys is too common a shape to call another session's replay.
MIN_SHINGLES = 8
# Bands per modality a session is filed under (its first ones; the sketch has 32). Every
# band is a field the store reads and writes per request, so fewer cost less time and
# memory; a replay is then found only when it shares a signature value within them (16
# measured on the benchmark: 1.1 points fewer replays caught, 43 % less store memory).
INDEXED_BANDS = 32
DEFAULT_TTL_SEC = 24 * 3600
DEFAULT_PER_CLIENT = 200
DEFAULT_MAX_SESSIONS = 20_000
MAX_TTL_SEC = 30 * 24 * 3600
MAX_PER_CLIENT = 10_000
MAX_SESSIONS_LIMIT = 10_000_000

# Work bounds of one call, the same in process and in the store.
MAX_CANDIDATES = 32  # distinct earlier sessions examined per modality
BUCKET_MAX = 32  # most recent sessions kept under one band entry
SWEEP_BUDGET = 16  # expired sessions removed per call at most
EVICT_BUDGET = 64  # sessions evicted for the caps per call at most

# Record layout (the store keeps these bytes; the script reads them):
#   0..1   sketch version, unsigned 16-bit big-endian
#   2..9   client digest
#   10     number of pointer bands, 11 number of key bands
#   12..13 pointer signature length, 14..15 key signature length (unsigned 16-bit)
#   16..   band fields (6 bytes each: modality tag, band index, folded hash), pointer
#          first; then the folded signature values (4 bytes each), pointer first
VALUE_BYTES = 4
SID_BYTES = 8
CLIENT_BYTES = 8
MAX_BANDS = 255
MAX_SIGNATURE = 4096
MAX_VERSION = 0xFFFF
MODALITIES = ("pointer", "keys")
# The first two bytes of a band field, per modality: its tag and the band's index.
_FIELD_PREFIXES = tuple(tuple(tag + bytes((i,)) for i in range(MAX_BANDS)) for tag in (b"p", b"k"))
_HEADER = struct.Struct(">H8sBBHH")


@dataclass(frozen=True)
class TraceConfig:
    """Settings of one memory. MAX_SESSIONS 0 turns the memory off."""

    ttl_sec: int = DEFAULT_TTL_SEC
    per_client: int = DEFAULT_PER_CLIENT
    max_sessions: int = DEFAULT_MAX_SESSIONS
    threshold: float = MATCH_THRESHOLD
    min_shingles: int = MIN_SHINGLES
    indexed_bands: int = INDEXED_BANDS
    # The work bounds of one call (see the constants of the same names).
    max_candidates: int = MAX_CANDIDATES
    bucket_max: int = BUCKET_MAX
    sweep_budget: int = SWEEP_BUDGET
    evict_budget: int = EVICT_BUDGET

    def __post_init__(self) -> None:
        for name, low, high in (("ttl_sec", 1, MAX_TTL_SEC), ("per_client", 1, MAX_PER_CLIENT),
                                ("max_sessions", 0, MAX_SESSIONS_LIMIT), ("min_shingles", 1, 1 << 31),
                                ("indexed_bands", 1, MAX_BANDS), ("max_candidates", 1, 1024),
                                ("bucket_max", 1, 1024), ("sweep_budget", 1, 1024), ("evict_budget", 1, 1024)):
            value = getattr(self, name)
            if type(value) is not int:
                raise TypeError(f"{name} must be an int, not {type(value).__name__}")
            if not low <= value <= high:
                raise ValueError(f"{name} must be from {low} to {high}, not {value}")
        threshold = self.threshold
        if isinstance(threshold, bool) or not isinstance(threshold, int | float):
            raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
        if not 0 < threshold <= 1:
            raise ValueError(f"threshold must be above 0 and at most 1, not {threshold}")
        object.__setattr__(self, "threshold", float(threshold))

    @property
    def enabled(self) -> bool:
        return self.max_sessions > 0


@dataclass(frozen=True, slots=True)
class TraceOutcome:
    """What the memory said about one session: how many earlier sessions it matched
    (at most max_candidates per modality are examined), seconds since the most recent of
    them (None without a match), the modalities that matched, and, for information, the
    sessions the memory held after the call (None when not known) and whether this call
    recorded the session."""

    matches: int = 0
    last_seen_sec: int | None = None
    modalities: tuple[str, ...] = ()
    sessions: int | None = None
    recorded: bool = False

    @property
    def reused(self) -> bool:
        return self.matches > 0


def _micro(seconds: float) -> float:
    """SECONDS rounded to the microsecond, exactly as the store script rounds them."""
    return float(f"{seconds:.6f}")


def _checked(value: object, name: str, limit: int) -> list[int] | tuple[int, ...]:
    """VALUE when it is a list or tuple of at most LIMIT values (their range is checked
    when they are packed)."""
    if not isinstance(value, list | tuple):
        raise TypeError(f"{name} must be a list of ints, not {type(value).__name__}")
    if len(value) > limit:
        raise ValueError(f"{name} holds more than {limit} values")
    return value


@functools.cache
def _packer(n: int) -> struct.Struct:
    return struct.Struct(f">{n}Q")


def _folded(values: Sequence[object], names: str) -> bytes:
    """VALUES (unsigned 64-bit ints) folded to 32 bits, packed big-endian 4 bytes each.
    All at once: the values packed into one big integer, XORed with itself shifted by 32
    bits, leave each value's fold in the low half of its 8 bytes."""
    if not values:
        return b""
    try:
        packed = _packer(len(values)).pack(*values)
    except struct.error:
        if not all(isinstance(item, int) for item in values):
            raise TypeError(f"{names} must hold ints") from None
        raise ValueError(f"{names} values must be unsigned 64-bit") from None
    whole = int.from_bytes(packed, "big")
    return memoryview((whole ^ (whole >> 32)).to_bytes(len(packed), "big")).cast("I")[1::2].tobytes()


@functools.cache
def _field_template(modality: int, count: int) -> bytes:
    """COUNT band fields of MODALITY with their tag and index in place and a zero hash."""
    return b"".join(prefix + bytes(VALUE_BYTES) for prefix in _FIELD_PREFIXES[modality][:count])


def _band_fields(modality: int, folded: bytes) -> bytes:
    """The band fields (tag, index, folded hash: 6 bytes each) of FOLDED band hashes, laid
    out in one piece: the hashes' bytes are spread into a template by four strided copies."""
    count = len(folded) // VALUE_BYTES
    out = bytearray(_field_template(modality, count))
    out[2::6] = folded[0::4]
    out[3::6] = folded[1::4]
    out[4::6] = folded[2::4]
    out[5::6] = folded[3::4]
    return bytes(out)


@dataclass(frozen=True, slots=True)
class Sketch:
    """A trace sketch as the memory keeps it: per modality, the band fields (tag, index,
    folded hash; 6 bytes each, laid end to end) and the folded signature values packed
    big-endian. A modality without enough shingles has neither."""

    version: int
    bands: tuple[bytes, bytes]
    signatures: tuple[bytes, bytes]

    @property
    def fields(self) -> tuple[tuple[bytes, ...], tuple[bytes, ...]]:
        """Per modality, the band fields one by one."""
        p, k = self.bands
        return (tuple(p[i:i + 6] for i in range(0, len(p), 6)), tuple(k[i:i + 6] for i in range(0, len(k), 6)))

    @property
    def empty(self) -> bool:
        return not (self.bands[0] or self.bands[1])

    def record(self, client: bytes) -> bytes:
        """The record the store keeps for a session of CLIENT (a client digest)."""
        if len(client) != CLIENT_BYTES:
            raise ValueError(f"a client digest is {CLIENT_BYTES} bytes")
        header = _HEADER.pack(self.version, client, len(self.bands[0]) // 6, len(self.bands[1]) // 6,
                              len(self.signatures[0]) // VALUE_BYTES, len(self.signatures[1]) // VALUE_BYTES)
        return header + self.bands[0] + self.bands[1] + self.signatures[0] + self.signatures[1]


def parse_sketch(sketch: Mapping[str, Any], min_shingles: int = MIN_SHINGLES,
                 indexed_bands: int = MAX_BANDS) -> Sketch:
    """The memory's form of what ``trace_sketch`` returns, filed under its first
    INDEXED_BANDS bands per modality; TypeError or ValueError for a mapping that is not
    one. The values of both modalities are folded in one step."""
    if not isinstance(sketch, Mapping):
        raise TypeError(f"a sketch must be a mapping, not {type(sketch).__name__}")
    version = sketch.get("version")
    if type(version) is not int:
        raise TypeError("sketch version must be an int")
    if not 0 <= version <= MAX_VERSION:
        raise ValueError(f"sketch version must be from 0 to {MAX_VERSION}")
    lists: list[list[int] | tuple[int, ...]] = []
    names: list[str] = []
    kept: list[bool] = []
    for stem in ("pointer", "key"):
        shingles = sketch.get(f"{stem}_shingles")
        if type(shingles) is not int or shingles < 0:
            raise TypeError(f"{stem}_shingles must be an int >= 0")
        bands = _checked(sketch.get(f"{stem}_bands"), f"{stem}_bands", MAX_BANDS)
        signature = _checked(sketch.get(f"{stem}_signature"), f"{stem}_signature", MAX_SIGNATURE)
        lists += [bands, signature]
        names += [f"{stem}_bands", f"{stem}_signature"]
        kept.append(shingles >= min_shingles and bool(bands) and bool(signature))
    # Every list is checked, a modality left out or not; a bad value is named by its list.
    try:
        folded = _folded([*lists[0], *lists[1], *lists[2], *lists[3]], "sketch bands and signatures")
    except (TypeError, ValueError):
        for name, values in zip(names, lists):
            _folded(values, name)
        raise
    parts: list[bytes] = []
    at = 0
    for values in lists:
        parts.append(folded[at:at + VALUE_BYTES * len(values)])
        at += VALUE_BYTES * len(values)
    indexed = VALUE_BYTES * indexed_bands
    pointer = (_band_fields(0, parts[0][:indexed]), parts[1]) if kept[0] else (b"", b"")
    keys = (_band_fields(1, parts[2][:indexed]), parts[3]) if kept[1] else (b"", b"")
    return Sketch(version, (pointer[0], keys[0]), (pointer[1], keys[1]))


@dataclass(frozen=True, slots=True)
class Record:
    version: int
    client: bytes
    fields: tuple[tuple[bytes, ...], tuple[bytes, ...]]
    signatures: tuple[bytes, bytes]

    @property
    def all_fields(self) -> tuple[bytes, ...]:
        return self.fields[0] + self.fields[1]


def session_key(session_id: str) -> bytes:
    """The fixed-size id of a session (its token id) in the memory."""
    if not isinstance(session_id, str):
        raise TypeError(f"session_id must be a str, not {type(session_id).__name__}")
    return hashlib.blake2b(session_id.encode("utf-8", "surrogatepass"), digest_size=SID_BYTES).digest()


def client_group(address: str | None) -> str:
    """The client a session counts against: an IPv4 address, the /64 network of an IPv6
    one (a single host is usually given a whole /64), the text itself when it is no
    address, "" when there is none."""
    if address is None:
        return ""
    try:
        parsed = ipaddress.ip_address(address.strip())
    except ValueError:
        return address
    if isinstance(parsed, ipaddress.IPv6Address):
        if parsed.ipv4_mapped is not None:
            return str(parsed.ipv4_mapped)
        return str(ipaddress.IPv6Network((parsed, 64), strict=False))
    return str(parsed)


def client_key(address: str | None) -> bytes:
    """The client's 8-byte digest: fixed size, and the address itself is not kept (a
    digest of an IPv4 address is no anonymisation, since the space can be enumerated)."""
    group = client_group(address).encode("utf-8", "surrogatepass")
    return hashlib.blake2b(group, digest_size=CLIENT_BYTES, person=b"velkora-client").digest()


@dataclass(frozen=True)
class TraceKeys:
    """Names in the store. Every key carries the hash tag ``{traces}`` after the prefix,
    so on a Cluster the whole memory lives in one slot and one script reaches it all."""

    sessions: bytes  # sorted set: session id -> time recorded (store seconds)
    records: bytes  # hash: session id -> record
    bands: bytes  # hash: band field -> session ids, oldest first
    clients: bytes  # hash: client digest -> session ids, oldest first
    outcome_prefix: bytes  # string per matched session: its outcome, for retries

    @classmethod
    def for_prefix(cls, prefix: str) -> TraceKeys:
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
        raw = prefix.encode("utf-8", "surrogatepass") + b"{traces}:"
        return cls(raw + b"s", raw + b"r", raw + b"b", raw + b"c", raw + b"o:")

    def for_session(self, sid: bytes) -> list[bytes]:
        return [self.sessions, self.records, self.bands, self.clients, self.outcome_prefix + sid]


@dataclass(frozen=True, slots=True)
class Call:
    """One session to remember, prepared for either implementation."""

    sid: bytes
    client: bytes
    sketch: Sketch
    retry: bool
    outcome_ttl_sec: int

    @property
    def record(self) -> bytes:
        return self.sketch.record(self.client)


def prepare(config: TraceConfig, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
            retry: bool = False, outcome_ttl_sec: int = 600) -> Call | None:
    """The call for a session, or None when there is nothing to remember or match (the
    memory is off, or no modality has enough shingles). Raises TypeError/ValueError for
    bad input before anything is stored."""
    if type(outcome_ttl_sec) is not int or outcome_ttl_sec < 1:
        raise ValueError("outcome_ttl_sec must be an int >= 1")
    sid = session_key(session_id)
    parsed = parse_sketch(sketch, config.min_shingles, config.indexed_bands)
    if not config.enabled or parsed.empty:
        return None
    return Call(sid, client_key(client), parsed, bool(retry), outcome_ttl_sec)


def script_args(config: TraceConfig, call: Call, now: float | None = None) -> list[bytes | str | int]:
    """ARGV of the store script; NOW None lets the script read the store's clock."""
    return [
        "r" if call.retry else "n",
        "" if now is None else f"{now:.6f}",
        config.ttl_sec,
        config.per_client,
        config.max_sessions,
        repr(config.threshold),
        call.outcome_ttl_sec * 1000,
        config.max_candidates,
        config.bucket_max,
        config.sweep_budget,
        config.evict_budget,
        call.sid,
        call.client,
        call.record,
    ]


def _modalities(mask: int) -> tuple[str, ...]:
    return tuple(name for bit, name in ((1, "pointer"), (2, "keys")) if mask & bit)


def parse_reply(reply: Sequence[Any]) -> TraceOutcome:
    """The script's reply: matches, last seen (-1: none), modality mask, sessions held,
    recorded (1/0)."""
    matches, last, mask, held, recorded = (int(x) for x in reply[:5])
    return TraceOutcome(matches, None if last < 0 else last, _modalities(mask), held, bool(recorded))


def _without(ids: bytes, sid: bytes) -> bytes | None:
    """IDS with SID taken out (ids are SID_BYTES each), or None when it is not there."""
    start = 0
    while (i := ids.find(sid, start)) >= 0:
        if i % SID_BYTES == 0:
            return ids[:i] + ids[i + SID_BYTES:]
        start = i + 1
    return None


@functools.cache
def _lane_masks(n: int) -> tuple[int, int]:
    """For N lanes of 4 bytes: 0x7fffffff in each, and 0x80000000 in each."""
    return int.from_bytes(b"\x7f\xff\xff\xff" * n, "big"), int.from_bytes(b"\x80\x00\x00\x00" * n, "big")


def _equal_share(a: bytes, b: bytes) -> float:
    """The share of equal 4-byte positions of A and B (of one length), counted at once on
    big integers: in A ^ B, a lane is non-zero exactly when the sum of its low 31 bits and
    0x7fffffff, or'ed with the lane, sets its top bit (no carry leaves a lane)."""
    n = len(a) // VALUE_BYTES
    if len(a) != len(b) or not n:
        return 0.0
    low, top = _lane_masks(n)
    x = int.from_bytes(a, "big") ^ int.from_bytes(b, "big")
    differing = ((((x & low) + low) | x) & top).bit_count()
    return (n - differing) / n


class TraceMemory:
    """The memory in this process, bounded by the config; the clock (seconds) is
    injected. Thread-safe. The same decisions as the store script, in the same order."""

    def __init__(self, config: TraceConfig, clock: Callable[[], float] = time.time) -> None:
        self.config = config
        self._clock = clock
        self._lock = threading.Lock()
        # session id -> (time recorded, record); oldest first
        self._sessions: OrderedDict[bytes, tuple[float, Record]] = OrderedDict()
        self._bands: dict[bytes, bytes] = {}
        self._clients: dict[bytes, bytes] = {}
        # session id -> (matches, last seen, mask, end); oldest first
        self._outcomes: OrderedDict[bytes, tuple[int, int, int, float]] = OrderedDict()

    def __len__(self) -> int:
        return len(self._sessions)

    def reset_lock(self) -> None:
        """After a fork: the lock may have been held by a thread that no longer exists."""
        self._lock = threading.Lock()

    def remember(self, call: Call) -> TraceOutcome:
        config = self.config
        with self._lock:
            now = _micro(self._clock())
            if call.retry or call.sid in self._sessions:
                return self._stored(call.sid, now)
            cutoff = _micro(now - config.ttl_sec)
            self._sweep(cutoff)
            record = Record(call.sketch.version, call.client, call.sketch.fields, call.sketch.signatures)
            matched: dict[bytes, float] = {}
            mask = 0
            for m in (0, 1):
                own = record.signatures[m]
                if not record.fields[m] or not own:
                    continue
                for candidate in self._candidates(record.fields[m]):
                    entry = self._sessions.get(candidate)
                    if entry is None or entry[0] <= cutoff:
                        continue
                    other = entry[1]
                    if other.version != record.version or len(other.signatures[m]) != len(own):
                        continue
                    if _equal_share(own, other.signatures[m]) >= config.threshold:
                        matched[candidate] = entry[0]
                        mask |= 1 << m
            self._insert(call.sid, now, record)
            last = -1
            if matched:
                last = max(0, math.floor(now - max(matched.values())))
                self._keep_outcome(call.sid, (len(matched), last, mask, _micro(now + call.outcome_ttl_sec)), now)
            return TraceOutcome(len(matched), None if last < 0 else last, _modalities(mask),
                                len(self._sessions), True)

    def _stored(self, sid: bytes, now: float) -> TraceOutcome:
        self._drop_old_outcomes(now)
        kept = self._outcomes.get(sid)
        if kept is None:
            return TraceOutcome(sessions=len(self._sessions))
        matches, last, mask, _ = kept
        return TraceOutcome(matches, None if last < 0 else last, _modalities(mask), len(self._sessions), False)

    def _drop_old_outcomes(self, now: float) -> None:
        while self._outcomes:
            sid, kept = next(iter(self._outcomes.items()))
            if kept[3] > now:
                break
            del self._outcomes[sid]

    def _keep_outcome(self, sid: bytes, kept: tuple[int, int, int, float], now: float) -> None:
        self._drop_old_outcomes(now)
        self._outcomes[sid] = kept
        while len(self._outcomes) > max(self.config.max_sessions, 1):
            self._outcomes.popitem(last=False)

    def _candidates(self, fields: tuple[bytes, ...]) -> list[bytes]:
        """Distinct sessions under the band fields, band by band, newest first; at most
        max_candidates."""
        limit = self.config.max_candidates
        seen: set[bytes] = set()
        found: list[bytes] = []
        for field in fields:
            ids = self._bands.get(field)
            if not ids or len(found) >= limit:
                continue
            for i in range(len(ids) - SID_BYTES, -1, -SID_BYTES):
                sid = ids[i: i + SID_BYTES]
                if sid not in seen:
                    seen.add(sid)
                    found.append(sid)
                    if len(found) >= limit:
                        break
        return found

    def _sweep(self, cutoff: float) -> None:
        for _ in range(self.config.sweep_budget):
            if not self._sessions:
                return
            sid, (recorded_at, _) = next(iter(self._sessions.items()))
            if recorded_at > cutoff:
                return
            self._evict(sid)

    def _insert(self, sid: bytes, now: float, record: Record) -> None:
        config = self.config
        self._sessions[sid] = (now, record)
        limit = SID_BYTES * config.bucket_max
        for field in record.all_fields:
            ids = self._bands.get(field, b"") + sid
            self._bands[field] = ids[-limit:] if len(ids) > limit else ids
        ids = self._clients.get(record.client, b"") + sid
        self._clients[record.client] = ids
        budget = config.evict_budget
        while len(ids) > SID_BYTES * config.per_client and budget > 0:
            self._evict(ids[:SID_BYTES])
            budget -= 1
            ids = self._clients.get(record.client, b"")
        while budget > 0 and len(self._sessions) > config.max_sessions:
            self._evict(next(iter(self._sessions)))
            budget -= 1

    def _evict(self, sid: bytes) -> None:
        entry = self._sessions.pop(sid, None)
        if entry is None:
            return
        record = entry[1]
        for table, key in [(self._bands, f) for f in record.all_fields] + [(self._clients, record.client)]:
            ids = table.get(key)
            if ids is None:
                continue
            rest = _without(ids, sid)
            if rest is None:
                continue
            if rest:
                table[key] = rest
            else:
                del table[key]

    def snapshot(self) -> dict[str, Any]:
        """The memory in the store's layout (records, times, band and client lists), for
        comparing the two implementations."""
        with self._lock:
            return {
                "sessions": {sid: t for sid, (t, _) in self._sessions.items()},
                "clients": dict(self._clients),
                "bands": dict(self._bands),
            }
