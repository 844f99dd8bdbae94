"""The assess pipeline: every check in its fixed order, as plain functions over bytes,
dicts and an injected clock; the only I/O is through the state backend it is given.

Order: body size and caller (headers only, in the HTTP layer) -> JSON -> envelope ->
token format -> key id -> tag -> not yet valid / expired -> banned address -> scoring
-> the trace's sketch -> atomic consume of the token id -> trace memory (look up and
record the sketch; a reused trace adds its reason; on a single store node, in the same
script and round trip as the consume). A refusal at any step stores nothing: the ban
check comes before the consume, so a banned caller does not use up its token, and only
a consumed token's trace is recorded. Scoring comes before the consume too, so that a
fault of the service's own while scoring leaves the token for the retry.
"""

from __future__ import annotations

import hashlib
import logging
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import velkora_core_rs as core

from velkora._state_common import IssuedBeforeStoreLoss, normalise_ip
from velkora.shared_state import CapacityExceeded, StateBackend

from . import envelope, tokens
from .policy import Policy, Verdict
from .verdict import SignalsFunction, judge

if TYPE_CHECKING:
    from velkora.model import Model
    from velkora.trace_memory import TraceOutcome

log = logging.getLogger("velkora.service")

# What velkora._signals.trace_sketch is: telemetry -> sketch dict.
Sketcher = Callable[[dict[str, Any]], Mapping[str, Any]]

IDEMPOTENCY_KEY_MAX = 255
# The envelope's limits, documented there.
MAX_POINTS, MAX_KEYS, MAX_COUNTED = envelope.MAX_POINTS, envelope.MAX_KEYS, envelope.MAX_COUNTED
COORD_LIMIT, TIME_LIMIT, MAX_BROWSER_COUNT = envelope.COORD_LIMIT, envelope.TIME_LIMIT, envelope.MAX_BROWSER_COUNT


@dataclass(frozen=True)
class Refusal(Exception):
    status: int
    code: str
    detail: str
    field: str | None = None


@dataclass(frozen=True)
class Envelope:
    nonce: str
    telemetry: dict[str, Any]
    remoteip: str | None


@dataclass(frozen=True)
class Assessment:
    token: tokens.Token
    verdict: Verdict
    features: dict[str, Any]
    replayed: bool
    telemetry: dict[str, Any]


def parse_envelope(body: bytes, *, allow_remoteip: bool) -> Envelope:
    """The envelope, parsed and validated in one pass (velkora.service.envelope)."""
    try:
        nonce, telemetry, raw_ip = envelope.decode(body)
    except envelope.EnvelopeError as error:
        raise Refusal(error.status, error.code, error.detail, error.field) from None
    remoteip: str | None = None
    if raw_ip is not None and allow_remoteip:
        try:
            remoteip = normalise_ip(raw_ip.strip())
        except ValueError:
            raise Refusal(422, "envelope-invalid", "remoteip is not an IP address", "remoteip") from None
    return Envelope(nonce, telemetry, remoteip)


def check_idempotency_key(value: str | None) -> str | None:
    if value is None:
        return None
    if not 1 <= len(value) <= IDEMPOTENCY_KEY_MAX or not value.isascii() or not value.isprintable():
        detail = f"Idempotency-Key must be 1 to {IDEMPOTENCY_KEY_MAX} printable ASCII characters"
        raise Refusal(400, "idempotency-key-invalid", detail)
    return value


def claim_tag(idempotency_key: str | None, body: bytes) -> str:
    """What is stored with a consumed token: the (key, body) pair a retry must repeat.
    Without a key the tag is empty and no retry is recognised."""
    if idempotency_key is None:
        return ""
    digest = hashlib.sha256()
    digest.update(len(idempotency_key).to_bytes(2, "big") + idempotency_key.encode("ascii"))
    digest.update(hashlib.sha256(body).digest())
    return "i1:" + digest.hexdigest()


def score(policy: Policy, telemetry: dict[str, Any], reuse: TraceOutcome | None = None,
          model: Model | None = None, signals: SignalsFunction | None = None) -> tuple[Verdict, dict[str, Any]]:
    features = dict(core.extract_features_rs(telemetry))  # type: ignore[arg-type]
    return judge(policy, model, signals, features, telemetry, reuse), features


def trace_sketch(sketch: Sketcher, telemetry: dict[str, Any]) -> Mapping[str, Any] | None:
    """The telemetry's trace sketch, or None when it gives none."""
    try:
        return sketch(telemetry)
    except (TypeError, ValueError, OverflowError) as error:
        log.warning("no trace sketch for this telemetry (%s: %s)", type(error).__name__, error)
        return None


async def remember_trace(state: StateBackend, data: Mapping[str, Any], token: tokens.Token, address: str | None,
                         *, retry: bool, outcome_ttl_sec: int) -> TraceOutcome | None:
    """What the trace memory says of this session's sketch DATA (recording it unless
    RETRY), or None when the memory refuses the sketch. StoreUnavailable passes through."""
    try:
        return await state.remember_trace(token.id_hex, address, data, retry=retry, outcome_ttl_sec=outcome_ttl_sec)
    except (TypeError, ValueError) as error:
        log.warning("the trace memory refused a sketch (%s: %s)", type(error).__name__, error)
        return None


async def assess(
    body: bytes,
    *,
    client_ip: str | None,
    authenticated: bool,
    idempotency_key: str | None,
    keys: Mapping[str, bytes],
    state: StateBackend,
    policy: Policy,
    now: float,
    leeway_sec: int,
    nonce_ttl_sec: int,
    sketch: Sketcher | None = None,
    model: Model | None = None,
    signals: SignalsFunction | None = None,
) -> Assessment:
    """Runs every check after the HTTP layer's; raises Refusal, or StoreUnavailable
    from a backend that raises, which the caller reports. With SKETCH (the trace memory
    on), a session whose token was consumed is looked up and recorded; a retry of an
    answered request gets the first answer's outcome and records nothing."""
    envelope = parse_envelope(body, allow_remoteip=authenticated)
    key = check_idempotency_key(idempotency_key)
    try:
        token = tokens.verify(envelope.nonce, keys, now, leeway_sec)
    except tokens.TokenError as error:
        raise Refusal(403, error.code, _TOKEN_DETAIL[error.code]) from None
    address = envelope.remoteip or client_ip
    if address is not None and state.is_ip_banned(address):
        raise Refusal(403, "ip-banned", "the address is banned")
    # Scored before the token is consumed: a fault of the service's own while scoring
    # then leaves the token unused for the retry. Only a reused trace, known after the
    # consume, can change the verdict.
    verdict, features = score(policy, envelope.telemetry, model=model, signals=signals)
    tag = claim_tag(key, body)
    ttl = remembered_for(token, now, leeway_sec)
    # The sketch is made before the consume, so that the store can take the consume and the
    # trace memory's step in one round trip; it stores nothing by itself.
    data = trace_sketch(sketch, envelope.telemetry) if sketch is not None else None
    reuse = None
    try:
        if data is None:
            stored = await state.claim_nonce(token.id_hex, tag, ttl, issued_at=token.issued_at)
        else:
            stored, reuse = await state.claim_nonce_and_remember_trace(
                token.id_hex, tag, ttl, issued_at=token.issued_at, session_id=token.id_hex, client=address,
                sketch=data, outcome_ttl_sec=nonce_ttl_sec)
    except CapacityExceeded:
        raise Refusal(503, "store-unavailable", "too many unexpired tokens are held in this process") from None
    except IssuedBeforeStoreLoss:
        raise Refusal(409, "nonce-store-reset", _STORE_RESET_DETAIL) from None
    replayed = False
    if stored is not None:
        if not tag or stored != tag:
            raise Refusal(409, "nonce-reused", "this token has been used")
        replayed = True
    if data is not None and reuse is None:
        reuse = await remember_trace(state, data, token, address, retry=replayed, outcome_ttl_sec=nonce_ttl_sec)
    if reuse is not None and reuse.matches > 0:
        verdict = judge(policy, model, signals, features, envelope.telemetry, reuse)
    return Assessment(token, verdict, features, replayed, envelope.telemetry)


_STORE_RESET_DETAIL = ("the state store lost its memory of used tokens after this token was issued; "
                       "fetch a fresh token and send the request again")


def remembered_for(token: tokens.Token, now: float, leeway_sec: int) -> int:
    """Seconds a consumed token id is remembered: until the token's own expiry, which
    a worker accepts up to LEEWAY_SEC late, plus the leeway once more for the clocks of
    the other workers, and a second for rounding. Never a setting of this instance: a
    token issued elsewhere with a longer life is remembered for that life."""
    return max(1, math.ceil(token.expires_at + 2 * leeway_sec - now) + 1)


_TOKEN_DETAIL = {
    "nonce-malformed": "the token is not a token this service issues",
    "nonce-unknown-key": "the token's key id is not known",
    "nonce-bad-signature": "the token's signature does not verify",
    "nonce-not-yet-valid": "the token is not valid yet",
    "nonce-expired": "the token has expired",
}
