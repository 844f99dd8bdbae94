"""Challenge tokens: what ``GET /v1/challenge`` hands out and ``POST /v1/assess`` checks.

A token is ``v1.<key id>.<payload>.<tag>``:

- the payload is 33 bytes, base64url without padding: a version byte (1), a 16-byte
  random id, then the issue and expiry times as unsigned 64-bit big-endian seconds;
- the tag is HMAC-SHA256 under the secret named by the key id, over a domain-separation
  label, the key id and the raw payload, each length-prefixed, so that a tag made for
  anything else (another version, another key id, another use of the same secret) never
  verifies here.

Only one text encodes a given token: the base64 must re-encode to exactly the same text
(no padding, no stray bits in the last character), so that two spellings of one token
cannot be consumed as two different nonces. Decoding is I/O-free; the caller passes the
clock reading.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import re
import secrets
import struct
from collections.abc import Mapping
from dataclasses import dataclass

VERSION = 1
PREFIX = "v1"
DOMAIN = b"velkora/challenge-token"
_PAYLOAD = struct.Struct(">B16sQQ")
_TAG_BYTES = 32
KEY_ID = re.compile(r"[A-Za-z0-9_-]{1,32}")
# Longest text a well-formed token can have; longer input is refused without parsing.
MAX_TOKEN_CHARS = len(PREFIX) + 1 + 32 + 1 + 44 + 1 + 43


@dataclass(frozen=True, slots=True)
class Token:
    key_id: str
    token_id: bytes
    issued_at: int
    expires_at: int

    @property
    def id_hex(self) -> str:
        return self.token_id.hex()


class TokenError(Exception):
    """A token refused; ``code`` is the error code the API reports."""

    def __init__(self, code: str) -> None:
        super().__init__(code)
        self.code = code


def _b64encode(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii")


def _b64decode_canonical(text: str, size: int) -> bytes:
    """Strict base64url without padding that decodes to SIZE bytes, or TokenError."""
    if not text or any(c not in _B64_ALPHABET for c in text):
        raise TokenError("nonce-malformed")
    try:
        raw = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except (binascii.Error, ValueError):
        raise TokenError("nonce-malformed") from None
    if len(raw) != size or _b64encode(raw) != text:
        raise TokenError("nonce-malformed")
    return raw


_B64_ALPHABET = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")


def _tag(secret: bytes, key_id: str, payload: bytes) -> bytes:
    message = bytearray()
    for part in (DOMAIN, key_id.encode("ascii"), payload):
        message += len(part).to_bytes(2, "big") + part
    return hmac.new(secret, bytes(message), hashlib.sha256).digest()


def issue(secret: bytes, key_id: str, now: int, lifetime_sec: int, token_id: bytes | None = None) -> tuple[str, Token]:
    """A fresh token (text and fields) under KEY_ID, valid from NOW for LIFETIME_SEC."""
    if not KEY_ID.fullmatch(key_id):
        raise ValueError(f"key id {key_id!r} must match {KEY_ID.pattern}")
    if lifetime_sec <= 0:
        raise ValueError("token lifetime must be positive")
    tid = secrets.token_bytes(16) if token_id is None else token_id
    token = Token(key_id, tid, now, now + lifetime_sec)
    payload = _PAYLOAD.pack(VERSION, tid, token.issued_at, token.expires_at)
    text = f"{PREFIX}.{key_id}.{_b64encode(payload)}.{_b64encode(_tag(secret, key_id, payload))}"
    return text, token


def verify(text: object, keys: Mapping[str, bytes], now: float, leeway_sec: int) -> Token:
    """The token TEXT stands for, checked in this order: format, key id, tag, not yet
    valid, expired (each time with LEEWAY_SEC of clock leeway). Raises TokenError."""
    if not isinstance(text, str) or len(text) > MAX_TOKEN_CHARS:
        raise TokenError("nonce-malformed")
    parts = text.split(".")
    if len(parts) != 4 or parts[0] != PREFIX or not KEY_ID.fullmatch(parts[1]):
        raise TokenError("nonce-malformed")
    key_id = parts[1]
    payload = _b64decode_canonical(parts[2], _PAYLOAD.size)
    tag = _b64decode_canonical(parts[3], _TAG_BYTES)
    version, token_id, issued_at, expires_at = _PAYLOAD.unpack(payload)
    if version != VERSION or expires_at <= issued_at:
        raise TokenError("nonce-malformed")
    secret = keys.get(key_id)
    if secret is None:
        raise TokenError("nonce-unknown-key")
    if not hmac.compare_digest(_tag(secret, key_id, payload), tag):
        raise TokenError("nonce-bad-signature")
    if now + leeway_sec < issued_at:
        raise TokenError("nonce-not-yet-valid")
    if now - leeway_sec >= expires_at:
        raise TokenError("nonce-expired")
    return Token(key_id, token_id, issued_at, expires_at)
