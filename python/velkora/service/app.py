"""The Starlette application: thin handlers over the checks in assess, tokens, proxy
and policy. Nothing happens at import: settings, keys, the state backend and the
metrics are set up when the lifespan starts."""

from __future__ import annotations

import asyncio
import contextlib
import functools
import hashlib
import hmac
import importlib
import json
import logging
import math
import os
import secrets
import time
import uuid
from collections.abc import AsyncIterator, Callable, Mapping
from dataclasses import dataclass, field
from datetime import UTC, datetime
from importlib import resources
from typing import Any, Literal

import velkora_core_rs as core
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from velkora._state_common import MAX_BAN_SEC, normalise_ip
from velkora.model import Model, load_model
from velkora.shared_state import LocalState, StateBackend

from . import tokens
from .assess import Assessment, Refusal, Sketcher, assess
from .edge import BodyTimeout, EdgeGuard
from .limits import AddressRateLimiter, retry_after
from .metrics import Metrics
from .policy import Policy
from .proxy import client_address
from .recording import SessionRecorder
from .settings import Settings, from_env
from .verdict import SignalsFunction

log = logging.getLogger("velkora.service")

CSP = (
    "default-src 'none'; script-src 'self'; connect-src 'self'; style-src 'self'; img-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'"
)
DEV_KEY_ID = "dev"
STORE_TIMEOUT_SEC = 2.0
# While the shared development key cannot be read from the store, it is tried again
# this often; until then tokens are neither issued nor checked (503).
DEV_KEY_RETRY_SEC = 1.0
# How long start-up waits for the first load of the bans before it goes on without it.
START_WAIT_SEC = 2.0
# How often the shared state's counters are copied into the metrics.
STATE_METRICS_SEC = 1.0


@dataclass
class Runtime:
    """What the lifespan sets up for one worker."""

    settings: Settings
    keys: dict[str, bytes]
    signing_key_id: str
    policy: Policy
    state: StateBackend
    metrics: Metrics
    store_kind: str
    # What the backend raises when the store cannot answer (nothing, in process).
    store_errors: tuple[type[Exception], ...] = ()
    clock: Callable[[], float] = time.time
    extra: dict[str, Any] = field(default_factory=dict)
    # velkora._signals.trace_sketch while the memory of trace sketches is on, else None.
    sketch: Sketcher | None = None
    # The trained model and velkora._signals.signals (both None: the rules decide).
    model: Model | None = None
    signals: SignalsFunction | None = None
    recorder: SessionRecorder | None = None


def _problem(refusal: Refusal, request_id: str, headers: Mapping[str, str] | None = None) -> JSONResponse:
    body: dict[str, Any] = {
        "type": f"urn:velkora:error:{refusal.code}",
        "title": refusal.code,
        "status": refusal.status,
        "detail": refusal.detail,
        "success": False,
        "error-codes": [refusal.code],
        "request_id": request_id,
    }
    if refusal.field is not None:
        body["field"] = refusal.field
    response = JSONResponse(body, status_code=refusal.status, media_type="application/problem+json")
    response.headers["Cache-Control"] = "no-store"
    for name, value in (headers or {}).items():
        response.headers[name] = value
    return response


def _runtime(request: Request) -> Runtime:
    runtime: Runtime = request.app.state.runtime
    return runtime


def _bearer(request: Request) -> str | None:
    value = request.headers.get("authorization", "")
    scheme, _, credential = value.partition(" ")
    if scheme.lower() != "bearer" or not credential.strip():
        return None
    return credential.strip()


def _matches(candidate: str, secrets_: frozenset[str] | tuple[str, ...]) -> bool:
    """Constant-time over the candidate: digests of equal length are compared with every
    configured secret, whether or not an earlier one matched."""
    want = hashlib.sha256(candidate.encode("utf-8")).digest()
    found = False
    for secret in secrets_:
        found |= hmac.compare_digest(want, hashlib.sha256(secret.encode("utf-8")).digest())
    return found


def client_ip(request: Request, rt: Runtime) -> str | None:
    """The client's address, or None when the peer is not an IP address (a Unix socket,
    a test client): such a peer can be neither banned nor refused as banned, which is
    logged once per worker."""
    peer = request.client.host if request.client else None
    address = client_address(peer, request.headers.getlist("x-forwarded-for"), rt.settings.trusted_proxies)
    if address is None and peer is not None and not rt.extra.get("non_ip_peer_logged"):
        rt.extra["non_ip_peer_logged"] = True
        log.warning("a peer address is not an IP address (%r): bans cannot apply to such peers", peer[:64])
    return address


async def _read_limited(request: Request, limit: int) -> bytes:
    chunks: list[bytes] = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise Refusal(413, "payload-too-large", f"the body exceeds {limit} bytes")
        chunks.append(chunk)
    return b"".join(chunks)


def _verdict_body(result: Assessment, enforced: bool = True) -> dict[str, Any]:
    return {
        "success": True,
        "verdict": result.verdict.verdict,
        "score": result.verdict.score,
        "reasons": [{"code": code, "weight": weight, **result.verdict.details.get(code, {})}
                    for code, weight in result.verdict.reasons],
        # The model that judged (None: the rules alone), and whether the verdict is meant to be
        # acted on (False under VELKORA_REPORT_ONLY).
        "model": result.verdict.model,
        "enforced": enforced,
        "error-codes": [],
        "challenge_ts": datetime.fromtimestamp(result.token.issued_at, UTC).strftime("%Y-%m-%dT%H:%M:%SZ"),
        # The same for a recognised retry as for the first answer.
        "request_id": str(uuid.UUID(bytes=result.token.token_id)),
    }


def finite_features(features: Mapping[str, Any]) -> dict[str, Any]:
    """FEATURES as JSON can carry them: a NaN or infinite float becomes null."""
    return {name: None if isinstance(value, float) and not math.isfinite(value) else value
            for name, value in features.items()}


async def _assess_request(request: Request, *, open_access: bool) -> tuple[Assessment | None, Response | None]:
    """Runs the HTTP-level checks and then the pipeline; returns the assessment or the
    refusal's response."""
    rt = _runtime(request)
    request_id = str(uuid.uuid4())
    close = {"Connection": "close"}
    try:
        length = request.headers.get("content-length")
        if length is not None:
            if not (length.isascii() and length.isdigit()):
                rt.metrics.refusals.labels("json-malformed").inc()
                raise Refusal(400, "json-malformed", "Content-Length is not a number")
            if int(length) > rt.settings.max_body:
                # Refused on the header alone; the connection is closed so that the
                # unread body is never taken for the next request.
                rt.metrics.refusals.labels("payload-too-large").inc()
                return None, _problem(Refusal(413, "payload-too-large", "the body is too large"), request_id, close)
        authenticated = False
        if not open_access:
            if rt.settings.api_keys:
                key = _bearer(request) or request.headers.get("x-api-key")
                if key is None or not _matches(key, rt.settings.api_keys):
                    rt.metrics.refusals.labels("api-key-invalid").inc()
                    raise Refusal(401, "api-key-invalid", "a valid API key is required")
                authenticated = True
        try:
            body = await _read_limited(request, rt.settings.max_body)
        except Refusal as refusal:
            rt.metrics.refusals.labels(refusal.code).inc()
            return None, _problem(refusal, request_id, close)
        result = await assess_body(rt, body, client_ip=client_ip(request, rt), authenticated=authenticated,
                                   idempotency_key=request.headers.get("idempotency-key"))
    except Refusal as refusal:
        return None, _problem(refusal, request_id)
    return result, None


async def assess_body(rt: Runtime, body: bytes, *, client_ip: str | None, authenticated: bool,
                      idempotency_key: str | None) -> Assessment:
    """The pipeline over an envelope's bytes with this runtime's keys, state and policy,
    counted in its metrics; raises Refusal (a store that cannot answer as 503)."""
    if not rt.keys:
        rt.metrics.refusals.labels("store-unavailable").inc()
        raise Refusal(503, "store-unavailable", _NO_KEY)
    try:
        result = await assess(
            body,
            client_ip=client_ip,
            authenticated=authenticated,
            idempotency_key=idempotency_key,
            keys=rt.keys,
            state=rt.state,
            policy=rt.policy,
            now=rt.clock(),
            leeway_sec=rt.settings.clock_leeway_sec,
            nonce_ttl_sec=rt.settings.nonce_ttl_sec,
            sketch=rt.sketch,
            model=rt.model,
            signals=rt.signals,
        )
    except Refusal as refusal:
        rt.metrics.refusals.labels(refusal.code).inc()
        raise
    except rt.store_errors:
        rt.metrics.refusals.labels("store-unavailable").inc()
        raise Refusal(503, "store-unavailable", "the shared state store is unavailable") from None
    rt.metrics.verdicts.labels(result.verdict.verdict).inc()
    rt.metrics.scores.observe(result.verdict.score)
    for code, _ in result.verdict.reasons:
        rt.metrics.reasons.labels(code).inc()
    return result


async def assess_endpoint(request: Request) -> Response:
    started = time.perf_counter()
    result, refused = await _assess_request(request, open_access=False)
    _runtime(request).metrics.latency.observe(time.perf_counter() - started)
    if refused is not None:
        return refused
    assert result is not None
    rt = _runtime(request)
    body = _verdict_body(result, not rt.settings.report_only)
    if rt.recorder is not None and not result.replayed:
        rt.recorder.record(body["request_id"], body, result.telemetry)
    response = JSONResponse(body)
    response.headers["Cache-Control"] = "no-store"
    return response


def _cors(request: Request, settings: Settings, response: Response) -> Response:
    origin = request.headers.get("origin")
    if origin and (origin in settings.allowed_origins or "*" in settings.allowed_origins):
        response.headers["Access-Control-Allow-Origin"] = origin
        response.headers["Vary"] = "Origin"
    return response


def _challenge_limiter(rt: Runtime) -> AddressRateLimiter | None:
    """This worker's per-address budget of tokens, made on first use from the settings
    the lifespan loaded; None when the setting turns it off."""
    if rt.settings.challenge_rate_per_min == 0:
        return None
    limiter: AddressRateLimiter | None = rt.extra.get("challenge_limiter")
    if limiter is None:
        limiter = rt.extra["challenge_limiter"] = AddressRateLimiter(rt.settings.challenge_rate_per_min, rt.clock)
    return limiter


async def challenge_endpoint(request: Request) -> Response:
    rt = _runtime(request)
    if rt.signing_key_id not in rt.keys:
        rt.metrics.refusals.labels("store-unavailable").inc()
        return _cors(request, rt.settings, _problem(Refusal(503, "store-unavailable", _NO_KEY), str(uuid.uuid4())))
    limiter = _challenge_limiter(rt)
    address = client_ip(request, rt)
    if limiter is not None and address is not None:
        wait = limiter.take(address)
        if wait > 0:
            rt.metrics.refusals.labels("rate-limited").inc()
            refusal = Refusal(429, "rate-limited", "too many tokens were asked for from this address")
            return _cors(request, rt.settings, _problem(refusal, str(uuid.uuid4()), {"Retry-After": retry_after(wait)}))
    now = int(rt.clock())
    text, token = tokens.issue(rt.keys[rt.signing_key_id], rt.signing_key_id, now, rt.settings.token_lifetime_sec)
    rt.metrics.challenges.inc()
    response = JSONResponse({"nonce": text, "expires_at": token.expires_at})
    response.headers["Cache-Control"] = "no-store"
    return _cors(request, rt.settings, response)


async def challenge_preflight(request: Request) -> Response:
    rt = _runtime(request)
    response = Response(status_code=204)
    if _cors(request, rt.settings, response).headers.get("Access-Control-Allow-Origin"):
        response.headers["Access-Control-Allow-Methods"] = "GET"
        response.headers["Access-Control-Max-Age"] = "600"
    return response


def _admin(request: Request) -> Response | None:
    """None when the caller holds the admin token, else the refusal."""
    rt = _runtime(request)
    if rt.settings.admin_token is None:
        return _not_found(request)
    token = _bearer(request)
    if token is None or not _matches(token, (rt.settings.admin_token,)):
        refusal = Refusal(401, "admin-token-invalid", "the admin bearer token is required")
        response = _problem(refusal, str(uuid.uuid4()))
        response.headers["WWW-Authenticate"] = "Bearer"
        return response
    return None


async def ban_endpoint(request: Request) -> Response:
    refused = _admin(request)
    if refused is not None:
        return refused
    rt = _runtime(request)
    request_id = str(uuid.uuid4())
    try:
        data = json.loads(await _read_limited(request, 4096))
    except Refusal as refusal:
        return _problem(refusal, request_id)
    except ValueError:
        return _problem(Refusal(400, "json-malformed", "the body is not valid JSON"), request_id)
    if not isinstance(data, dict):
        return _problem(Refusal(422, "body-not-object", "the body must be a JSON object"), request_id)
    raw_ip = data.get("ip")
    try:
        ip = normalise_ip(raw_ip.strip() if isinstance(raw_ip, str) else raw_ip)
    except (TypeError, ValueError):
        return _problem(Refusal(422, "ban-invalid", "ip must be an IP address", "ip"), request_id)
    duration = data.get("duration_sec")
    if isinstance(duration, bool) or not isinstance(duration, int) or not 1 <= duration <= MAX_BAN_SEC:
        detail = f"duration_sec must be an integer from 1 to {MAX_BAN_SEC}"
        return _problem(Refusal(422, "ban-invalid", detail, "duration_sec"), request_id)
    try:
        await rt.state.ban_ip(ip, duration)
    except rt.store_errors:
        return _problem(Refusal(503, "store-unavailable", "the shared state store is unavailable"), request_id)
    log.info("ban: %s for %d s", ip, duration)
    return JSONResponse({"ip": ip, "duration_sec": duration}, status_code=201)


async def unban_endpoint(request: Request) -> Response:
    refused = _admin(request)
    if refused is not None:
        return refused
    rt = _runtime(request)
    try:
        ip = normalise_ip(request.path_params["ip"].strip())
    except ValueError:
        return _problem(Refusal(422, "ban-invalid", "not an IP address", "ip"), str(uuid.uuid4()))
    try:
        await rt.state.unban_ip(ip)
    except rt.store_errors:
        return _problem(Refusal(503, "store-unavailable", "the shared state store is unavailable"), str(uuid.uuid4()))
    return Response(status_code=204)


async def healthz_endpoint(request: Request) -> Response:
    rt = _runtime(request)
    native = bool(core.is_rust_core_active())
    stats = rt.state.stats()
    if rt.store_kind == "none":
        store = "none"
    else:
        store = "unreachable" if stats.get("breaker_open") else "ok"
    if stats.get("token_map_full"):
        store = "full"  # the in-process map of consumed tokens: new tokens get 503
    status = "ok" if native and store not in ("unreachable", "full") else "degraded"
    body = {"status": status, "native": native, "store": store, "last_resync_age_sec": stats.get("last_resync_age_sec"),
            # Sessions the trace memory holds (with a store: as of this worker's last call).
            "trace_sessions": stats.get("trace_sessions") if rt.sketch is not None else None,
            "model": rt.model.id if rt.model is not None else None, "enforced": not rt.settings.report_only}
    response = JSONResponse(body, status_code=200 if native else 503)
    response.headers["Cache-Control"] = "no-store"
    return response


@functools.cache
def _openapi_bytes() -> bytes:
    from .openapi import document

    return json.dumps(document()).encode()


async def openapi_endpoint(request: Request) -> Response:
    return Response(_openapi_bytes(), media_type="application/json", headers={"Cache-Control": "public, max-age=300"})


async def metrics_endpoint(request: Request) -> Response:
    payload, content_type = _runtime(request).metrics.render()
    return Response(payload, media_type=content_type)


def _static(name: str) -> bytes:
    return resources.files(__package__).joinpath("static", name).read_bytes()


def _static_endpoint(name: str, media_type: str, demo: bool = False) -> Callable[[Request], Any]:
    async def endpoint(request: Request) -> Response:
        if demo and _runtime(request).settings.production:
            return _not_found(request)
        response = Response(_static(name), media_type=media_type)
        response.headers["Cache-Control"] = "public, max-age=300"
        response.headers["X-Content-Type-Options"] = "nosniff"
        response.headers["Content-Security-Policy"] = CSP
        return response

    return endpoint


async def demo_assess_endpoint(request: Request) -> Response:
    """The demo page's backend: the same pipeline, open, answering with the features
    behind the verdict too."""
    if _runtime(request).settings.production:
        return _not_found(request)
    result, refused = await _assess_request(request, open_access=True)
    if refused is not None:
        return refused
    assert result is not None
    body = _verdict_body(result, not _runtime(request).settings.report_only)
    body["features"] = finite_features(result.features)
    return JSONResponse(body, headers={"Cache-Control": "no-store"})


_HTTP_CODES = {404: "not-found", 405: "method-not-allowed", 413: "payload-too-large"}


def _not_found(request: Request) -> Response:
    return _problem(Refusal(404, "not-found", f"no resource at {request.url.path}"), str(uuid.uuid4()))


async def _http_error(request: Request, exc: Exception) -> Response:
    """Starlette's own HTTP errors (no route, wrong method) as problem documents."""
    assert isinstance(exc, HTTPException)
    code = _HTTP_CODES.get(exc.status_code, f"http-{exc.status_code}")
    detail = exc.detail if exc.status_code not in (404, 405) else {
        404: f"no resource at {request.url.path}", 405: f"{request.method} is not allowed here"}[exc.status_code]
    return _problem(Refusal(exc.status_code, code, str(detail)), str(uuid.uuid4()), exc.headers)


async def _client_gone(request: Request, exc: Exception) -> Response:
    """The client hung up before its body was in: nobody is left to answer, and it is no
    fault of the service's (no traceback)."""
    log.debug("client disconnected before its body was read: %s %s", request.method, request.url.path)
    return Response(status_code=400)


async def _body_timeout(request: Request, exc: Exception) -> Response:
    refusal = Refusal(408, "body-timeout", "the body did not arrive in time")
    return _problem(refusal, str(uuid.uuid4()), {"Connection": "close"})


async def _server_error(request: Request, exc: Exception) -> Response:
    """Anything unexpected: a problem document (the server logs the traceback once)."""
    refusal = Refusal(500, "internal-error", "the service failed to answer")
    return _problem(refusal, str(uuid.uuid4()))


EXCEPTION_HANDLERS = {HTTPException: _http_error, ClientDisconnect: _client_gone, BodyTimeout: _body_timeout,
                      Exception: _server_error}


_NO_KEY = "the signing key shared through the store cannot be read yet"


async def _dev_key(settings: Settings) -> bytes:
    """The development signing key: shared through the store by every worker (the
    first writer wins), or made here when there is no store."""
    if settings.redis_url is None:
        return secrets.token_hex(32).encode("ascii")
    import redis.asyncio as redis_asyncio

    client = redis_asyncio.from_url(
        settings.redis_url, socket_timeout=STORE_TIMEOUT_SEC, socket_connect_timeout=STORE_TIMEOUT_SEC
    )
    try:
        name = settings.store_prefix + "dev-signing-key"
        await client.set(name, secrets.token_hex(32), nx=True)
        value = await client.get(name)
    finally:
        await client.aclose()
    if not isinstance(value, bytes):
        raise RuntimeError("the development signing key could not be read back from the store")
    return value


def _trace_sketcher(settings: Settings) -> Sketcher | None:
    """velkora._signals.trace_sketch, or None when the memory is off or not built."""
    if not settings.trace_config().enabled:
        return None
    try:
        module = importlib.import_module("velkora._signals")
    except ImportError:
        log.warning("velkora._signals is not in this build: the memory of trace sketches is off")
        return None
    sketcher: Sketcher = module.trace_sketch
    return sketcher


def _load_model(settings: Settings) -> tuple[Model | None, SignalsFunction | None]:
    """The model of VELKORA_MODEL and the signals function it needs; (None, None) without
    one. A model file that is named but unusable stops the start-up (ModelError)."""
    if settings.model_path is None:
        log.warning("verdict: no VELKORA_MODEL; the example rules decide (train a model with velkora train)")
        return None, None
    from velkora import _signals

    available = set(core.extract_features_rs({})) | set(_signals.signals({}))
    model = load_model(settings.model_path, available)
    mode = "report only: verdicts are not enforced" if settings.report_only else "enforced"
    log.warning("verdict: model %s from %s (%s)", model.id, settings.model_path, mode)
    signals: SignalsFunction = _signals.signals  # type: ignore[assignment]
    return model, signals


async def _fetch_dev_key(settings: Settings, keys: dict[str, bytes]) -> None:
    """Reads (or makes) the shared development key and puts it into KEYS, trying again
    every DEV_KEY_RETRY_SEC while the store cannot answer. Until it is there the worker
    answers 503: a key of its own would sign tokens no other worker accepts."""
    warned = False
    while True:
        try:
            keys[DEV_KEY_ID] = await _dev_key(settings)
        except Exception as error:  # noqa: BLE001 - any failure: the store is not there yet
            if not warned:
                warned = True
                log.warning("the development signing key cannot be read from the store (%s: %s); tokens are "
                            "refused with 503 until it can", type(error).__name__, error)
            await asyncio.sleep(DEV_KEY_RETRY_SEC)
        else:
            if warned:
                log.warning("the development signing key was read from the store; tokens are issued again")
            return


async def _export_state_counters(state: StateBackend, metrics: Metrics) -> None:
    """Copies the shared state's counters into the metrics (as increments, so that the
    workers' counts add up)."""
    seen: dict[str, float] = {}
    while True:
        stats = state.stats()
        for name, counter in metrics.state_counters.items():
            value = stats.get(name)
            if isinstance(value, int | float) and value > seen.get(name, 0):
                counter.inc(value - seen.get(name, 0))
                seen[name] = value
        await asyncio.sleep(STATE_METRICS_SEC)


def _make_state(settings: Settings) -> tuple[StateBackend, str, tuple[type[Exception], ...]]:
    if settings.redis_url is None:
        return LocalState(prefix=settings.store_prefix, trace_config=settings.trace_config()), "none", ()
    from velkora.shared_state import AsyncSharedState, StoreUnavailable

    # Under "refuse" the service answers 503 itself: the layer raises.
    policy: Literal["local", "raise"] = "local" if settings.on_store_error == "local" else "raise"
    state: StateBackend = AsyncSharedState.from_url(
        settings.redis_url, prefix=settings.store_prefix, on_store_error=policy, trace_config=settings.trace_config(),
        start_timeout=START_WAIT_SEC,
    )
    return state, "redis", (StoreUnavailable,)


def create_app(settings: Settings | None = None, *, clock: Callable[[], float] = time.time) -> Starlette:
    """The application. SETTINGS default to the environment, read at start-up."""

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        cfg = settings if settings is not None else from_env(os.environ)
        cfg.check()
        policy = Policy.load(cfg.policy_path)
        keys = dict(cfg.signing_keys)
        background: list[asyncio.Task[None]] = []
        if keys:
            signing_key_id = next(iter(keys))
        else:
            signing_key_id = DEV_KEY_ID
            log.warning("development mode: tokens are signed with a generated key")
            if cfg.redis_url is None:
                keys[DEV_KEY_ID] = await _dev_key(cfg)
            else:
                # Waited for briefly, never for good: start-up does not depend on the store.
                fetch = asyncio.create_task(_fetch_dev_key(cfg, keys))
                background.append(fetch)
                await asyncio.wait({fetch}, timeout=START_WAIT_SEC)
        if not cfg.api_keys and not cfg.production:
            log.warning("development mode without VELKORA_API_KEYS: /v1/assess is open to any caller")
        model, signals = _load_model(cfg)
        recorder = None
        if cfg.record_dir is not None:
            recorder = SessionRecorder(cfg.record_dir, cfg.record_max_bytes, cfg.record_retention_days)
            log.warning("recording assessed sessions in %s (kept %d days)", cfg.record_dir, cfg.record_retention_days)
        state, store_kind, store_errors = _make_state(cfg)
        try:
            await state.start()
        except store_errors as error:
            # The sync keeps trying; requests are answered as the policy says meanwhile.
            log.warning("starting without the store (%s); policy %r until it answers", error, cfg.on_store_error)
        metrics = Metrics()
        background.append(asyncio.create_task(_export_state_counters(state, metrics)))
        app.state.runtime = Runtime(cfg, keys, signing_key_id, policy, state, metrics, store_kind, store_errors, clock,
                                    sketch=_trace_sketcher(cfg), model=model, signals=signals, recorder=recorder)
        try:
            yield
        finally:
            for task in background:
                task.cancel()
            await asyncio.gather(*background, return_exceptions=True)
            await state.close()
            metrics.close()
            if recorder is not None:
                recorder.close()

    routes = [
        Route("/v1/challenge", challenge_endpoint, methods=["GET"]),
        Route("/v1/challenge", challenge_preflight, methods=["OPTIONS"]),
        Route("/v1/assess", assess_endpoint, methods=["POST"]),
        Route("/v1/bans", ban_endpoint, methods=["POST"]),
        Route("/v1/bans/{ip}", unban_endpoint, methods=["DELETE"]),
        Route("/healthz", healthz_endpoint, methods=["GET"]),
        Route("/metrics", metrics_endpoint, methods=["GET"]),
        Route("/openapi.json", openapi_endpoint, methods=["GET"]),
        Route("/collector.js", _static_endpoint("collector.js", "text/javascript; charset=utf-8"), methods=["GET"]),
        Route("/demo", _static_endpoint("demo.html", "text/html; charset=utf-8", demo=True), methods=["GET"]),
        Route("/demo.js", _static_endpoint("demo.js", "text/javascript; charset=utf-8", demo=True), methods=["GET"]),
        Route("/demo.css", _static_endpoint("demo.css", "text/css; charset=utf-8", demo=True), methods=["GET"]),
        Route("/demo/assess", demo_assess_endpoint, methods=["POST"]),
    ]
    return Starlette(routes=routes, lifespan=lifespan, middleware=[Middleware(EdgeGuard)],
                     exception_handlers=EXCEPTION_HANDLERS)
