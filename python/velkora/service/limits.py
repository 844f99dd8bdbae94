"""Per-address request budgets, I/O-free with an injected clock.

A token bucket per address: RATE tokens a minute, up to RATE in a burst. The map is
bounded: when it is full, buckets that have refilled completely (and so hold nothing an
address could lose) are dropped first, among the oldest few; if none has, the oldest is dropped.
One worker keeps its own map, so with N workers an address may get up to N times the
budget: the limit is against floods from one address, not an exact quota.
"""

from __future__ import annotations

import itertools
import math
from collections import OrderedDict
from collections.abc import Callable


class AddressRateLimiter:
    def __init__(self, per_minute: int, clock: Callable[[], float], capacity: int = 65_536) -> None:
        if per_minute < 1 or capacity < 1:
            raise ValueError("per_minute and capacity must be positive")
        self._rate = per_minute / 60.0
        self._burst = float(per_minute)
        self._clock = clock
        self._capacity = capacity
        # address -> (tokens left, time of that count)
        self._buckets: OrderedDict[str, tuple[float, float]] = OrderedDict()

    def __len__(self) -> int:
        return len(self._buckets)

    def take(self, address: str) -> float:
        """0.0 when ADDRESS may go ahead (one token taken), else the seconds until it may."""
        now = self._clock()
        tokens, then = self._buckets.pop(address, (self._burst, now))
        tokens = min(self._burst, tokens + max(0.0, now - then) * self._rate)
        if tokens >= 1.0:
            self._store(address, tokens - 1.0, now)
            return 0.0
        self._store(address, tokens, now)
        return (1.0 - tokens) / self._rate

    def _store(self, address: str, tokens: float, now: float) -> None:
        if len(self._buckets) >= self._capacity:
            self._evict(now)
        self._buckets[address] = (tokens, now)

    def _evict(self, now: float) -> None:
        full = self._burst
        # A few of the oldest only, so that a flood from many addresses costs O(1) each.
        for address, (tokens, then) in itertools.islice(self._buckets.items(), 8):
            if tokens + (now - then) * self._rate >= full:
                del self._buckets[address]
                return
        self._buckets.popitem(last=False)


def retry_after(seconds: float) -> str:
    """The Retry-After value for a wait of SECONDS: whole seconds, at least 1."""
    return str(max(1, math.ceil(seconds)))
