"""The service's OpenAPI 3.1 document (``GET /openapi.json``), generated from types: the
request envelope's own (velkora.service.envelope) and the answers' below, turned into
JSON Schema by msgspec. Each route lists its problem codes by status."""

from __future__ import annotations

from typing import Any, Literal

import msgspec
from msgspec import Struct, field

from .envelope import EnvelopeBody


class Challenge(Struct):
    nonce: str
    expires_at: int


class Reason(Struct):
    code: str
    # A rule's weight; for a model reason (code model-...), its contribution to the score on
    # the log-odds scale, positive toward bot.
    weight: float
    description: str | None = None  # model reasons and touch-rules-only
    # trace-reused: earlier sessions that matched, seconds since the latest, and the modalities
    matches: int | None = None
    last_seen_sec: float | None = None
    modalities: list[str] | None = None


class VerdictAnswer(Struct):
    success: bool
    verdict: Literal["human", "bot", "insufficient-data"]
    score: float
    reasons: list[Reason]
    error_codes: list[str] = field(name="error-codes")
    challenge_ts: str = ""
    request_id: str = ""
    # The trained model that judged (null: the example rules), and false under report-only.
    model: str | None = None
    enforced: bool = True


class DemoAnswer(VerdictAnswer):
    # The native features behind the verdict; a non-finite value is null.
    features: dict[str, float | int | bool | None] = {}


class Problem(Struct):
    type: str
    title: str
    status: int
    detail: str
    success: bool
    error_codes: list[str] = field(name="error-codes")
    request_id: str = ""
    field: str | None = None


class BanRequest(Struct):
    ip: str
    duration_sec: int


class BanAnswer(Struct):
    ip: str
    duration_sec: int


class Health(Struct):
    status: Literal["ok", "degraded"]
    native: bool
    store: str
    last_resync_age_sec: float | None = None
    trace_sessions: int | None = None
    model: str | None = None
    enforced: bool = True


TOKEN_CODES = ("nonce-malformed", "nonce-unknown-key", "nonce-bad-signature", "nonce-not-yet-valid", "nonce-expired")
ENVELOPE_CODES = {400: ["json-malformed", "idempotency-key-invalid"],
                  422: ["body-not-object", "envelope-invalid", "telemetry-invalid"]}
# Answered by any route: the edge (framing, load, body deadline) and the server itself.
COMMON_CODES = {400: ["request-malformed"], 404: ["not-found"], 405: ["method-not-allowed"],
                408: ["body-timeout"], 500: ["internal-error"], 503: ["overloaded"]}


def _assess_codes(authenticated: bool) -> dict[int, list[str]]:
    codes: dict[int, list[str]] = {**ENVELOPE_CODES, 403: [*TOKEN_CODES, "ip-banned"],
                                   409: ["nonce-reused", "nonce-store-reset"], 413: ["payload-too-large"],
                                   503: ["store-unavailable"]}
    if authenticated:
        codes[401] = ["api-key-invalid"]
    return codes


def _merge(*tables: dict[int, list[str]]) -> dict[int, list[str]]:
    merged: dict[int, list[str]] = {}
    for table in tables:
        for status, codes in table.items():
            merged.setdefault(status, []).extend(c for c in codes if c not in merged.get(status, []))
    return dict(sorted(merged.items()))


def _json(name: str) -> dict[str, Any]:
    return {"application/json": {"schema": {"$ref": f"#/components/schemas/{name}"}}}


def _operation(summary: str, ok: tuple[int, str, str | None], problems: dict[int, list[str]], *,
               body: str | None = None, secured: str | None = None) -> dict[str, Any]:
    status, description, schema = ok
    responses: dict[str, Any] = {str(status): {"description": description}}
    if schema is not None:
        responses[str(status)]["content"] = _json(schema)
    for code_status, codes in _merge(COMMON_CODES, problems).items():
        responses[str(code_status)] = {
            "description": "Refused: " + ", ".join(codes),
            "content": {"application/problem+json": {"schema": {
                "allOf": [{"$ref": "#/components/schemas/Problem"},
                          {"type": "object", "properties": {"error-codes": {
                              "type": "array", "items": {"enum": codes}}}}]}}}}
    operation: dict[str, Any] = {"summary": summary, "responses": responses}
    if body is not None:
        operation["requestBody"] = {"required": True, "content": _json(body)}
    if secured is not None:
        operation["security"] = [{secured: []}]
    return operation


def document() -> dict[str, Any]:
    """The OpenAPI 3.1 document of every route."""
    types = [EnvelopeBody, Challenge, VerdictAnswer, DemoAnswer, Problem, BanRequest, BanAnswer, Health]
    _, components = msgspec.json.schema_components(types, ref_template="#/components/schemas/{name}")
    admin = {401: ["admin-token-invalid"], 503: ["store-unavailable"]}
    text = {"description": "The file", "content": {"text/plain": {"schema": {"type": "string"}}}}
    paths: dict[str, Any] = {
        "/v1/challenge": {
            "get": _operation("A fresh single-use token", (200, "The token", "Challenge"),
                              {429: ["rate-limited"]}),
            "options": {"summary": "CORS preflight", "responses": {"204": {"description": "Allowed origins"}}},
        },
        "/v1/assess": {"post": _operation("The verdict on a token and its telemetry",
                                          (200, "The verdict", "VerdictAnswer"), _assess_codes(True),
                                          body="EnvelopeBody", secured="apiKey")},
        "/v1/bans": {"post": _operation("Ban an address", (201, "Banned", "BanAnswer"),
                                        {**admin, 400: ["json-malformed"], 422: ["body-not-object", "ban-invalid"],
                                         413: ["payload-too-large"]}, body="BanRequest", secured="adminToken")},
        "/v1/bans/{ip}": {"delete": {**_operation("Lift a ban", (204, "Lifted", None),
                                                  {**admin, 422: ["ban-invalid"]}, secured="adminToken"),
                                     "parameters": [{"name": "ip", "in": "path", "required": True,
                                                     "schema": {"type": "string"}}]}},
        "/healthz": {"get": _operation("Health of this worker", (200, "Healthy or degraded", "Health"), {})},
        "/metrics": {"get": {"summary": "Prometheus metrics of every worker", "responses": {"200": text}}},
        "/openapi.json": {"get": {"summary": "This document",
                                  "responses": {"200": {"description": "OpenAPI 3.1",
                                                        "content": {"application/json": {"schema": {}}}}}}},
        "/collector.js": {"get": {"summary": "The browser collector", "responses": {"200": text}}},
        "/demo": {"get": {"summary": "The demo page (development mode)", "responses": {"200": text}}},
        "/demo.js": {"get": {"summary": "The demo page's script", "responses": {"200": text}}},
        "/demo.css": {"get": {"summary": "The demo page's style", "responses": {"200": text}}},
        "/demo/assess": {"post": _operation("The demo page's backend: the verdict and its features, open",
                                            (200, "The verdict", "DemoAnswer"), _assess_codes(False),
                                            body="EnvelopeBody")},
    }
    return {
        "openapi": "3.1.0",
        "info": {"title": "velkora reference service", "version": "1"},
        "paths": paths,
        "components": {
            "schemas": components,
            "securitySchemes": {
                "apiKey": {"type": "http", "scheme": "bearer",
                           "description": "An API key of VELKORA_API_KEYS (or the X-Api-Key header)"},
                "adminToken": {"type": "http", "scheme": "bearer", "description": "VELKORA_ADMIN_TOKEN"},
            },
        },
    }
