"""Service settings, read from an environment mapping (no I/O but the optional policy file,
which the caller loads)."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field

from velkora._state_common import normalise_ip as normalise_ip  # re-exported: the one normalisation
from velkora.trace_memory import (
    DEFAULT_MAX_SESSIONS,
    DEFAULT_PER_CLIENT,
    DEFAULT_TTL_SEC,
    INDEXED_BANDS,
    MATCH_THRESHOLD,
    MAX_BANDS,
    MAX_PER_CLIENT,
    MAX_SESSIONS_LIMIT,
    MAX_TTL_SEC,
    MIN_SHINGLES,
    TraceConfig,
)

from .proxy import Network, parse_networks
from .tokens import KEY_ID

DEFAULT_MAX_BODY = 1024 * 1024
# A person filling in a login form rarely takes longer; the page fetches a new token
# when it is older than this.
DEFAULT_TOKEN_LIFETIME = 300
DEFAULT_LEEWAY = 5
# A recording file is closed and a new one begun at this size; files older than the
# retention are deleted when a new one begins.
DEFAULT_RECORD_MAX_BYTES = 64 * 1024 * 1024
DEFAULT_RECORD_RETENTION_DAYS = 30
# Shortest secrets accepted: an admin token or API key in characters, a signing key in
# bytes (an HMAC-SHA256 key shorter than its output weakens it).
MIN_TOKEN_CHARS = 16
MIN_SIGNING_KEY_BYTES = 32
# Slow and abusive clients: the time a request's headers and its body may take, the
# requests one worker answers at once (beyond that 503 with Retry-After), and the tokens
# an address may fetch per minute from one worker (0: no limit).
DEFAULT_HEADER_TIMEOUT = 10
DEFAULT_BODY_TIMEOUT = 15
DEFAULT_MAX_IN_FLIGHT = 64
DEFAULT_CHALLENGE_RATE = 120


class SettingsError(ValueError):
    """A setting that cannot be used; the message names it."""


@dataclass(frozen=True)
class Settings:
    mode: str = "development"
    redis_url: str | None = None
    # key id -> secret; the first pair signs new tokens, every pair verifies.
    signing_keys: dict[str, bytes] = field(default_factory=dict)
    api_keys: frozenset[str] = frozenset()
    admin_token: str | None = None
    trusted_proxies: tuple[Network, ...] = ()
    allowed_origins: tuple[str, ...] = ()
    max_body: int = DEFAULT_MAX_BODY
    policy_path: str | None = None
    token_lifetime_sec: int = DEFAULT_TOKEN_LIFETIME
    clock_leeway_sec: int = DEFAULT_LEEWAY
    store_prefix: str = "velkora:"
    on_store_error: str = "local"
    # The memory of trace sketches (trace_max 0 turns it off).
    trace_ttl_sec: int = DEFAULT_TTL_SEC
    trace_per_client: int = DEFAULT_PER_CLIENT
    trace_max: int = DEFAULT_MAX_SESSIONS
    trace_threshold: float = MATCH_THRESHOLD
    trace_min_shingles: int = MIN_SHINGLES
    trace_bands: int = INDEXED_BANDS
    # The trained verdict: the model file (None: the example rules decide), whether its
    # verdicts are only reported ("enforced": false), and the opt-in recording of sessions.
    model_path: str | None = None
    report_only: bool = False
    record_dir: str | None = None
    record_max_bytes: int = DEFAULT_RECORD_MAX_BYTES
    record_retention_days: int = DEFAULT_RECORD_RETENTION_DAYS
    header_timeout_sec: int = DEFAULT_HEADER_TIMEOUT
    body_timeout_sec: int = DEFAULT_BODY_TIMEOUT
    max_in_flight: int = DEFAULT_MAX_IN_FLIGHT
    challenge_rate_per_min: int = DEFAULT_CHALLENGE_RATE

    @property
    def production(self) -> bool:
        return self.mode == "production"

    @property
    def nonce_ttl_sec(self) -> int:
        """How long a consumed token id is remembered: past the token's life and leeway."""
        return self.token_lifetime_sec + 2 * self.clock_leeway_sec + 1

    def trace_config(self) -> TraceConfig:
        try:
            return TraceConfig(ttl_sec=self.trace_ttl_sec, per_client=self.trace_per_client,
                               max_sessions=self.trace_max, threshold=self.trace_threshold,
                               min_shingles=self.trace_min_shingles, indexed_bands=self.trace_bands)
        except (TypeError, ValueError) as error:
            raise SettingsError(f"trace memory: {error}") from None

    def check(self) -> None:
        """Refuses settings the service must not start with."""
        if self.production and not self.signing_keys:
            raise SettingsError("VELKORA_MODE=production needs VELKORA_SIGNING_KEYS")
        if self.production and not self.api_keys:
            raise SettingsError("VELKORA_MODE=production needs VELKORA_API_KEYS")
        for kid, secret in self.signing_keys.items():
            if len(secret) < MIN_SIGNING_KEY_BYTES:
                raise SettingsError(f"VELKORA_SIGNING_KEYS: the secret of {kid!r} is shorter than "
                                    f"{MIN_SIGNING_KEY_BYTES} bytes")
        if any(len(key) < MIN_TOKEN_CHARS for key in self.api_keys):
            raise SettingsError(f"VELKORA_API_KEYS: every key needs at least {MIN_TOKEN_CHARS} characters")
        if self.admin_token is not None and len(self.admin_token) < MIN_TOKEN_CHARS:
            raise SettingsError(f"VELKORA_ADMIN_TOKEN needs at least {MIN_TOKEN_CHARS} characters")
        self.trace_config()


def _split(text: str) -> list[str]:
    return [item.strip() for item in text.replace("\n", ",").split(",") if item.strip()]


def _int(env: Mapping[str, str], name: str, default: int, low: int, high: int) -> int:
    text = env.get(name, "").strip()
    if not text:
        return default
    try:
        value = int(text)
    except ValueError:
        raise SettingsError(f"{name} must be an integer, not {text!r}") from None
    if not low <= value <= high:
        raise SettingsError(f"{name} must be between {low} and {high}")
    return value


def _fraction(env: Mapping[str, str], name: str, default: float) -> float:
    text = env.get(name, "").strip()
    if not text:
        return default
    try:
        value = float(text)
    except ValueError:
        raise SettingsError(f"{name} must be a number, not {text!r}") from None
    if not 0 < value <= 1:
        raise SettingsError(f"{name} must be above 0 and at most 1")
    return value


def _flag(env: Mapping[str, str], name: str) -> bool:
    text = env.get(name, "").strip().lower()
    if text in ("", "0", "false", "no", "off"):
        return False
    if text in ("1", "true", "yes", "on"):
        return True
    raise SettingsError(f"{name} must be true or false, not {text!r}")


def parse_signing_keys(text: str) -> dict[str, bytes]:
    """``kid1:secret1,kid2:secret2``; secrets of at least 32 bytes in UTF-8."""
    keys: dict[str, bytes] = {}
    for item in _split(text):
        kid, sep, secret = item.partition(":")
        kid = kid.strip()
        if not sep or not KEY_ID.fullmatch(kid):
            raise SettingsError(f"VELKORA_SIGNING_KEYS: expected key_id:secret with a key id matching {KEY_ID.pattern}")
        if len(secret.encode("utf-8")) < MIN_SIGNING_KEY_BYTES:
            raise SettingsError(
                f"VELKORA_SIGNING_KEYS: the secret of {kid!r} is shorter than {MIN_SIGNING_KEY_BYTES} bytes")
        if kid in keys:
            raise SettingsError(f"VELKORA_SIGNING_KEYS: key id {kid!r} given twice")
        keys[kid] = secret.encode("utf-8")
    return keys


def from_env(env: Mapping[str, str]) -> Settings:
    mode = env.get("VELKORA_MODE", "development").strip() or "development"
    if mode not in ("development", "production"):
        raise SettingsError("VELKORA_MODE must be development or production")
    origins = tuple(_split(env.get("VELKORA_ALLOWED_ORIGINS", "")))
    on_error = env.get("VELKORA_STORE_ERROR_POLICY", "local").strip() or "local"
    if on_error not in ("local", "refuse", "raise"):
        raise SettingsError("VELKORA_STORE_ERROR_POLICY must be local, refuse or raise")
    try:
        proxies = parse_networks(_split(env.get("VELKORA_TRUSTED_PROXIES", "")))
    except ValueError as error:
        raise SettingsError(f"VELKORA_TRUSTED_PROXIES: {error}") from None
    settings = Settings(
        mode=mode,
        redis_url=env.get("VELKORA_REDIS_URL", "").strip() or None,
        signing_keys=parse_signing_keys(env.get("VELKORA_SIGNING_KEYS", "")),
        api_keys=frozenset(_split(env.get("VELKORA_API_KEYS", ""))),
        admin_token=env.get("VELKORA_ADMIN_TOKEN", "").strip() or None,
        trusted_proxies=proxies,
        allowed_origins=origins,
        max_body=_int(env, "VELKORA_MAX_BODY", DEFAULT_MAX_BODY, 1024, 64 * 1024 * 1024),
        policy_path=env.get("VELKORA_POLICY", "").strip() or None,
        token_lifetime_sec=_int(env, "VELKORA_TOKEN_LIFETIME", DEFAULT_TOKEN_LIFETIME, 10, 3600),
        clock_leeway_sec=_int(env, "VELKORA_CLOCK_LEEWAY", DEFAULT_LEEWAY, 0, 60),
        store_prefix=env.get("VELKORA_STORE_PREFIX", "velkora:") or "velkora:",
        on_store_error=on_error,
        trace_ttl_sec=_int(env, "VELKORA_TRACE_TTL", DEFAULT_TTL_SEC, 60, MAX_TTL_SEC),
        trace_per_client=_int(env, "VELKORA_TRACE_PER_CLIENT", DEFAULT_PER_CLIENT, 1, MAX_PER_CLIENT),
        trace_max=_int(env, "VELKORA_TRACE_MAX", DEFAULT_MAX_SESSIONS, 0, MAX_SESSIONS_LIMIT),
        trace_threshold=_fraction(env, "VELKORA_TRACE_THRESHOLD", MATCH_THRESHOLD),
        trace_min_shingles=_int(env, "VELKORA_TRACE_MIN_SHINGLES", MIN_SHINGLES, 1, 1_000_000),
        trace_bands=_int(env, "VELKORA_TRACE_BANDS", INDEXED_BANDS, 1, MAX_BANDS),
        model_path=env.get("VELKORA_MODEL", "").strip() or None,
        report_only=_flag(env, "VELKORA_REPORT_ONLY"),
        record_dir=env.get("VELKORA_RECORD_DIR", "").strip() or None,
        record_max_bytes=_int(env, "VELKORA_RECORD_MAX_BYTES", DEFAULT_RECORD_MAX_BYTES, 64 * 1024, 1 << 40),
        record_retention_days=_int(env, "VELKORA_RECORD_RETENTION_DAYS", DEFAULT_RECORD_RETENTION_DAYS, 1, 3650),
        header_timeout_sec=_int(env, "VELKORA_HEADER_TIMEOUT", DEFAULT_HEADER_TIMEOUT, 1, 300),
        body_timeout_sec=_int(env, "VELKORA_BODY_TIMEOUT", DEFAULT_BODY_TIMEOUT, 1, 300),
        max_in_flight=_int(env, "VELKORA_MAX_IN_FLIGHT", DEFAULT_MAX_IN_FLIGHT, 1, 100_000),
        challenge_rate_per_min=_int(env, "VELKORA_CHALLENGE_RATE", DEFAULT_CHALLENGE_RATE, 0, 1_000_000),
    )
    settings.check()
    return settings

