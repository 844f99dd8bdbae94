"""Which address a request comes from, given the peer and the proxies the operator trusts.

The server is run with proxy headers off, so the peer is the TCP peer. A forwarded
address is believed only when the peer is a trusted proxy; then ``X-Forwarded-For`` is
read from the right (each proxy appends the address it saw), skipping trusted proxies,
and the first untrusted hop is the client. Anything unparsable ends the walk at the last
address that was trustworthy.
"""

from __future__ import annotations

import ipaddress
from collections.abc import Iterable

Network = ipaddress.IPv4Network | ipaddress.IPv6Network


def parse_networks(items: Iterable[str]) -> tuple[Network, ...]:
    """Addresses or CIDR networks; raises ValueError naming a bad one."""
    networks: list[Network] = []
    for item in items:
        try:
            networks.append(ipaddress.ip_network(item.strip(), strict=False))
        except ValueError:
            raise ValueError(f"{item!r} is not an IP address or network") from None
    return tuple(networks)


def _address(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        address = ipaddress.ip_address(text.strip())
    except ValueError:
        return None
    if isinstance(address, ipaddress.IPv6Address):
        # A zone index names a link on one host, never another client: kept, the rate
        # limit and the trace memory's per-client cap would count "…%0" and "…%1" apart.
        if address.scope_id is not None:
            address = ipaddress.IPv6Address(text.strip().partition("%")[0])
        if address.ipv4_mapped is not None:
            return address.ipv4_mapped
    return address


def _trusted(address: ipaddress.IPv4Address | ipaddress.IPv6Address, trusted: tuple[Network, ...]) -> bool:
    return any(address.version == net.version and address in net for net in trusted)


def client_address(peer: str | None, forwarded_for: list[str], trusted: tuple[Network, ...]) -> str | None:
    """The client's canonical address: PEER unless it is a trusted proxy, in which case
    the rightmost untrusted address of the X-Forwarded-For values (all header lines in
    order). None when the peer is unknown or not an IP address."""
    if peer is None:
        return None
    current = _address(peer)
    if current is None:
        return None
    if not _trusted(current, trusted):
        return str(current)
    hops = [hop for line in forwarded_for for hop in line.split(",")]
    for hop in reversed(hops):
        address = _address(hop)
        if address is None:
            break
        current = address
        if not _trusted(address, trusted):
            break
    return str(current)
