"""The backend without a store: one process's replay and ban state, behind the interface
the service uses for both backends (StateBackend, the surface of AsyncSharedState).

``LocalState`` keeps bans in the native engine and uses it as the first line for nonces
(under its prefix, so that other users of the process-wide engine are left alone), plus an
expiring map of consumed token ids with their claim tags. The native nonce buckets forget
a nonce after 60-120 s, less than a token lives, so the map, not the engine, is what makes
a token single-use for its whole life. The memory of trace sketches is a ``TraceMemory``
of this process. Needs no store client.
"""

from __future__ import annotations

import time
from collections import OrderedDict
from collections.abc import Callable, Mapping
from typing import Any, Protocol, Self

import velkora_core_rs as core

from .._state_common import (
    DEFAULT_NONCE_TTL_SEC,
    DEFAULT_OUTCOME_TTL_SEC,
    check_duration,
    check_issued,
    check_nonce,
    check_tag,
    check_ttl,
    normalise_ip,
)
from ..trace_memory import TraceConfig, TraceMemory, TraceOutcome, prepare

__all__ = ["CapacityExceeded", "ClaimMap", "LocalState", "StateBackend"]


class StateBackend(Protocol):
    """What the service calls: AsyncSharedState's surface, which LocalState has too."""

    async def start(self) -> None: ...
    async def close(self) -> None: ...
    async def consume_nonce(self, nonce: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC) -> bool: ...
    async def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *,
                          issued_at: float | None = None) -> str | None: ...
    async def ban_ip(self, ip: str, duration_sec: int) -> None: ...
    async def unban_ip(self, ip: str) -> None: ...
    def is_ip_banned(self, ip: str) -> bool: ...
    async def remember_trace(self, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
                             retry: bool = False, outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC) -> TraceOutcome: ...
    async def claim_nonce_and_remember_trace(
        self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *, issued_at: float | None = None,
        session_id: str, client: str | None, sketch: Mapping[str, Any],
        outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC,
    ) -> tuple[str | None, TraceOutcome | None]: ...
    def stats(self) -> dict[str, Any]: ...


class CapacityExceeded(Exception):
    """The in-process map of consumed tokens is full of unexpired entries. Answering
    either way would be wrong (accepting may let a replay through, refusing blames the
    client), so the service reports the state as unavailable."""


class ClaimMap:
    """Consumed nonces with their tags and end times, bounded, I/O-free; the clock is
    injected. Entries end in insertion order when every TTL is the same, so expired
    ones are dropped from the front."""

    def __init__(self, capacity: int, clock: Callable[[], float] = time.monotonic) -> None:
        self._entries: OrderedDict[str, tuple[str, float]] = OrderedDict()
        self._capacity = capacity
        self._clock = clock

    def __len__(self) -> int:
        return len(self._entries)

    @property
    def capacity(self) -> int:
        return self._capacity

    def _sweep(self, now: float) -> None:
        while self._entries:
            key = next(iter(self._entries))
            if self._entries[key][1] > now:
                break
            del self._entries[key]

    def full(self) -> bool:
        """Whether a new token would be refused now: every place holds an unexpired entry."""
        self._sweep(self._clock())
        return len(self._entries) >= self._capacity

    def get(self, nonce: str) -> str | None:
        now = self._clock()
        entry = self._entries.get(nonce)
        if entry is None or entry[1] <= now:
            return None
        return entry[0]

    def claim(self, nonce: str, tag: str, ttl_sec: int) -> str | None:
        """None when this call consumed NONCE (storing TAG), else the stored tag."""
        now = self._clock()
        self._sweep(now)
        entry = self._entries.get(nonce)
        if entry is not None and entry[1] > now:
            return entry[0]
        if len(self._entries) >= self._capacity:
            raise CapacityExceeded(f"{self._capacity} unexpired tokens are remembered")
        self._entries[nonce] = (tag, now + ttl_sec)
        self._entries.move_to_end(nonce)
        return None


class LocalState:
    """The in-process backend: one worker's view, nothing shared."""

    def __init__(self, *, prefix: str = "velkora:", capacity: int = 1_000_000,
                 trace_config: TraceConfig | None = None, clock: Callable[[], float] = time.time) -> None:
        self._prefix = prefix
        self._claims = ClaimMap(capacity)
        self._refused_locally = 0
        self._traces = TraceMemory(trace_config if trace_config is not None else TraceConfig(), clock)

    async def start(self) -> None:
        return None

    async def close(self) -> None:
        return None

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def consume_nonce(self, nonce: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC) -> bool:
        return await self.claim_nonce(nonce, "", ttl_sec) is None

    async def claim_nonce(self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *,
                          issued_at: float | None = None) -> str | None:
        """ISSUED_AT is checked for the interface's sake: this memory lives as long as the
        process, so it never loses what it held while still answering. The arguments are
        checked as the store's backend checks them (a TTL below 1 s would have made the
        token reusable once the native engine forgot it)."""
        check_nonce(nonce)
        check_tag(tag)
        check_ttl(ttl_sec)
        if issued_at is not None:
            check_issued(issued_at)
        stored = self._claims.get(nonce)
        if stored is not None:
            return stored
        # Refused before the native engine consumes the token, so that it still works once
        # there is room again.
        if self._claims.full():
            raise CapacityExceeded(f"{self._claims.capacity} unexpired tokens are remembered")
        # The native engine is shared by everything in the process; a nonce other code
        # consumed there is refused too, with no tag to offer.
        if not core.consume_nonce_rs(self._prefix + nonce):
            self._refused_locally += 1
            return ""
        return self._claims.claim(nonce, tag, ttl_sec)

    async def ban_ip(self, ip: str, duration_sec: int) -> None:
        core.ban_ip_rs(self._prefix + normalise_ip(ip), check_duration(duration_sec))

    async def unban_ip(self, ip: str) -> None:
        core.unban_ip_rs(self._prefix + normalise_ip(ip))

    def is_ip_banned(self, ip: str) -> bool:
        return core.is_ip_banned_rs(self._prefix + normalise_ip(ip))

    async def remember_trace(self, session_id: str, client: str | None, sketch: Mapping[str, Any], *,
                             retry: bool = False, outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC) -> TraceOutcome:
        """As AsyncSharedState.remember_trace, in this worker's memory."""
        call = prepare(self._traces.config, session_id, client, sketch, retry=retry, outcome_ttl_sec=outcome_ttl_sec)
        if call is None:
            return TraceOutcome(sessions=len(self._traces))
        return self._traces.remember(call)

    async def claim_nonce_and_remember_trace(
        self, nonce: str, tag: str, ttl_sec: int = DEFAULT_NONCE_TTL_SEC, *, issued_at: float | None = None,
        session_id: str, client: str | None, sketch: Mapping[str, Any],
        outcome_ttl_sec: int = DEFAULT_OUTCOME_TTL_SEC,
    ) -> tuple[str | None, TraceOutcome | None]:
        """claim_nonce alone: in process there is no round trip to save, so the trace is
        left to remember_trace (the outcome None)."""
        return await self.claim_nonce(nonce, tag, ttl_sec, issued_at=issued_at), None

    def stats(self) -> dict[str, Any]:
        return {
            "native": dict(core.get_state_engine_stats_rs()),
            "store_round_trips": 0,
            "store_errors": 0,
            "fallbacks": 0,
            "resyncs": 0,
            "last_resync_age_sec": None,
            "breaker_open": False,
            "queued_bans": 0,
            "claimed_tokens": len(self._claims),
            # New tokens are refused (503) until entries expire: health says so.
            "token_map_full": self._claims.full(),
            "trace_sessions": len(self._traces),
        }
