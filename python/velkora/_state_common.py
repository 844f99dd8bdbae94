"""What the shared state layer and the service's in-process state both need, with no
dependency on a store client: address normalisation, the longest ban, and the refusal
of a token that predates a loss of the store's data."""

from __future__ import annotations

import ipaddress

# Sorted-set scores are doubles; ten years keeps end times exact to the microsecond.
MAX_BAN_SEC = 10 * 365 * 86400


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
