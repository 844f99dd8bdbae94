"""What both state backends (the store's and the in-process one) need, with no
dependency on a store client: address normalisation, the checks of what callers pass and
their bounds, the defaults of the interface, and the refusal of a token that predates a
loss of the store's data."""

from __future__ import annotations

import ipaddress
import math

# Sorted-set scores are doubles; ten years keeps end times exact to the microsecond.
MAX_BAN_SEC = 10 * 365 * 86400
# The interface's defaults: how long a consumed nonce is remembered, and how long the
# outcome of a remembered trace session is kept for a retry.
DEFAULT_NONCE_TTL_SEC = 120
DEFAULT_OUTCOME_TTL_SEC = 600


class IssuedBeforeStoreLoss(Exception):
    """The store lost its memory of consumed tokens (a restart without persistence, a
    flush, an emptied shard) after this token was issued, so whether it was used before
    cannot be known. Nothing was consumed; the client should fetch a fresh token and
    try again."""


def normalise_ip(text: object) -> str:
    """Canonical text of an address: lower case, shortest IPv6 form, an IPv4-mapped IPv6
    address as the IPv4 one, and an IPv6 zone index (``%eth0``) dropped: a zone names a
    link on one host, never a different client, and kept it would let ``2001:db8::1%0``
    pass a ban of ``2001:db8::1``. TypeError for a non-str, ValueError for other text."""
    if not isinstance(text, str):
        raise TypeError(f"ip must be a str, not {type(text).__name__}")
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        raise ValueError(f"not an IP address: {text!r}") from None
    if isinstance(address, ipaddress.IPv6Address):
        if address.scope_id is not None:
            address = ipaddress.IPv6Address(text.partition("%")[0])
        if address.ipv4_mapped is not None:
            return str(address.ipv4_mapped)
    return str(address)


def check_duration(duration_sec: object) -> int:
    if type(duration_sec) is not int:
        raise TypeError(f"duration_sec must be an int, not {type(duration_sec).__name__}")
    if not 1 <= duration_sec <= MAX_BAN_SEC:
        raise ValueError(f"duration_sec must be from 1 to {MAX_BAN_SEC} (10 years), not {duration_sec}")
    return duration_sec


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


def check_issued(issued_at: object) -> str:
    """The token's issue time (Unix seconds) as the claim script takes it."""
    if isinstance(issued_at, bool) or not isinstance(issued_at, (int, float)):
        raise TypeError(f"issued_at must be a number, not {type(issued_at).__name__}")
    if not math.isfinite(issued_at):
        raise ValueError("issued_at must be finite")
    return str(issued_at) if isinstance(issued_at, int) else f"{issued_at:.6f}"
