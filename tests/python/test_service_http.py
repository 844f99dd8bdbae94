"""The reference service over real HTTP (uvicorn on a loopback port, httpx as the
client): every refusal with its status and code, the check order, idempotent retries,
trusted proxies, the admin endpoints, health and metrics, and the recorded human
sessions as controls."""

import json
import socket
import time
from collections.abc import Iterator
from typing import Any

import httpx
import pytest
from service_data import pseudonymised, real_sessions, telemetry_of
from service_server import serve_in_thread
from velkora.service import Settings, tokens
from velkora.service.proxy import parse_networks

SECRET = b"k1-secret-for-the-tests-0123456789"
OLD_SECRET = b"k0-secret-being-rotated-out-0123"
API_KEY = "api-key-for-tests"
ADMIN = "admin-token-for-tests"
MAX_BODY = 512 * 1024
LIFETIME = 120
LEEWAY = 5

BASE_SETTINGS = dict(
    signing_keys={"k1": SECRET, "k0": OLD_SECRET},
    api_keys=frozenset({API_KEY}),
    admin_token=ADMIN,
    allowed_origins=("https://shop.example",),
    max_body=MAX_BODY,
    token_lifetime_sec=LIFETIME,
    clock_leeway_sec=LEEWAY,
    # These tests post the same recorded sessions more than once, which the trace memory
    # rightly calls replays; it is tested in test_service_trace.py.
    trace_max=0,
)

AUTH = {"Authorization": f"Bearer {API_KEY}"}
ADMIN_AUTH = {"Authorization": f"Bearer {ADMIN}"}
SMALL_TELEMETRY: dict[str, Any] = {"mouse_movements": [], "keystrokes": []}


@pytest.fixture(scope="module")
def base() -> Iterator[str]:
    with serve_in_thread(Settings(**BASE_SETTINGS)) as url:  # type: ignore[arg-type]
        yield url


@pytest.fixture(scope="module")
def client(base: str) -> Iterator[httpx.Client]:
    with httpx.Client(base_url=base, timeout=10.0) as c:
        yield c


def fresh(client: httpx.Client) -> str:
    r = client.get("/v1/challenge")
    assert r.status_code == 200
    return str(r.json()["nonce"])


def minted(issued_at: float, key_id: str = "k1", secret: bytes = SECRET, lifetime: int = LIFETIME) -> str:
    return tokens.issue(secret, key_id, int(issued_at), lifetime)[0]


def assess(client: httpx.Client, body: object, headers: dict[str, str] | None = None) -> httpx.Response:
    return client.post("/v1/assess", content=json.dumps(body), headers={**AUTH, **(headers or {})})


def codes(r: httpx.Response) -> list[str]:
    assert r.headers["content-type"].startswith("application/problem+json"), r.text
    body = r.json()
    assert body["success"] is False and body["status"] == r.status_code
    return list(body["error-codes"])


def test_challenge_is_uncached_and_cors_only_for_allowed_origins(client: httpx.Client) -> None:
    r = client.get("/v1/challenge", headers={"Origin": "https://shop.example"})
    body = r.json()
    assert r.headers["cache-control"] == "no-store"
    assert r.headers["access-control-allow-origin"] == "https://shop.example"
    assert 0 < body["expires_at"] - time.time() <= LIFETIME + 1
    assert tokens.verify(body["nonce"], {"k1": SECRET}, time.time(), 0).key_id == "k1"
    other = client.get("/v1/challenge", headers={"Origin": "https://evil.example"})
    assert "access-control-allow-origin" not in other.headers
    assert other.json()["nonce"] != body["nonce"]


def test_verdict_shape_then_replay_is_refused(client: httpx.Client) -> None:
    nonce = fresh(client)
    r = assess(client, {"nonce": nonce, "telemetry": SMALL_TELEMETRY})
    assert r.status_code == 200, r.text
    body = r.json()
    assert body["success"] is True and body["error-codes"] == []
    assert body["verdict"] == "insufficient-data" and body["reasons"] == []
    assert set(body) == {"success", "verdict", "score", "reasons", "error-codes", "challenge_ts", "request_id",
                         "model", "enforced"}
    assert (body["model"], body["enforced"]) == (None, True)  # no model file: the example rules decided
    again = assess(client, {"nonce": nonce, "telemetry": SMALL_TELEMETRY})
    assert again.status_code == 409 and codes(again) == ["nonce-reused"]


def test_a_rotated_out_key_still_verifies_tokens_it_signed(client: httpx.Client) -> None:
    r = assess(client, {"nonce": minted(time.time(), "k0", OLD_SECRET), "telemetry": SMALL_TELEMETRY})
    assert r.status_code == 200, r.text


def _bad_tokens() -> list[tuple[str, str]]:
    now = time.time()
    good = minted(now)
    prefix, kid, payload, tag = good.split(".")
    flipped_tag = tag[:-2] + ("A" if tag[-2] != "A" else "B") + tag[-1]
    raw = bytearray(tokens.base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))
    raw[5] ^= 1
    tampered_payload = tokens._b64encode(bytes(raw))
    # The last character of a 32-byte tag carries 4 unused bits: a different
    # character with the same 2 used bits decodes to the same bytes.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    last = alphabet.index(tag[-1])
    non_canonical_tag = tag[:-1] + alphabet[last ^ 1]
    return [
        ("", "nonce-malformed"),
        ("garbage", "nonce-malformed"),
        (good + "=", "nonce-malformed"),
        (f"v2.{kid}.{payload}.{tag}", "nonce-malformed"),
        (f"{prefix}.{kid}.{payload}.{non_canonical_tag}", "nonce-malformed"),
        (f"{prefix}.{kid}.{payload}.{tag}.", "nonce-malformed"),
        ("v1.k1." + "A" * 5000, "nonce-malformed"),
        (minted(now, "k9", SECRET), "nonce-unknown-key"),
        (f"{prefix}.{kid}.{payload}.{flipped_tag}", "nonce-bad-signature"),
        (f"{prefix}.{kid}.{tampered_payload}.{tag}", "nonce-bad-signature"),
        (minted(now, "k1", OLD_SECRET), "nonce-bad-signature"),
        # A token made for another key id does not verify under this one.
        (f"{prefix}.k0.{payload}.{tag}", "nonce-bad-signature"),
        (minted(now - LIFETIME - LEEWAY - 2), "nonce-expired"),
        (minted(now + LEEWAY + 30), "nonce-not-yet-valid"),
    ]


@pytest.mark.parametrize("index", range(len(_bad_tokens())))
def test_token_refusals(client: httpx.Client, index: int) -> None:
    token, code = _bad_tokens()[index]
    r = assess(client, {"nonce": token, "telemetry": SMALL_TELEMETRY})
    assert (r.status_code, codes(r)) == (403, [code])


def test_clock_leeway_accepts_small_skew(client: httpx.Client) -> None:
    now = time.time()
    assert assess(client, {"nonce": minted(now + LEEWAY - 2), "telemetry": {}}).status_code == 200
    assert assess(client, {"nonce": minted(now - LIFETIME - LEEWAY + 3), "telemetry": {}}).status_code == 200


@pytest.mark.parametrize(
    ("body", "status", "code", "field"),
    [
        (b"{not json", 400, "json-malformed", None),
        (b'{"nonce": "x", "telemetry": {"mouse_movements": [{"x": NaN, "y": 1, "t": 1}]}}', 400, "json-malformed",
         None),
        (b"[" * 100_000 + b"]" * 100_000, 400, "json-malformed", None),  # nesting beyond the parser's limit
        (b"[1, 2]", 422, "body-not-object", None),
        (b'"text"', 422, "body-not-object", None),
        (b'{"telemetry": {}}', 422, "envelope-invalid", "nonce"),
        (b'{"nonce": 5, "telemetry": {}}', 422, "envelope-invalid", "nonce"),
        (b'{"nonce": "x"}', 422, "envelope-invalid", "telemetry"),
        (b'{"nonce": "x", "telemetry": {}, "remoteip": "not-an-ip"}', 422, "envelope-invalid", "remoteip"),
        (b'{"nonce": "x", "telemetry": []}', 422, "telemetry-invalid", "telemetry"),
        (b'{"nonce": "x", "telemetry": {"browser": 3}}', 422, "telemetry-invalid", "telemetry.browser"),
        (b'{"nonce": "x", "telemetry": {"browser": {"webdriver": 1}}}', 422, "telemetry-invalid",
         "telemetry.browser.webdriver"),
        (b'{"nonce": "x", "telemetry": {"mouse_movements": [{"x": 1, "y": "2", "t": 3}]}}', 422,
         "telemetry-invalid", "telemetry.mouse_movements[0].y"),
        (b'{"nonce": "x", "telemetry": {"mouse_movements": [{"x": 1, "y": 2, "t": 1e400}]}}', 422,
         "telemetry-invalid", "telemetry.mouse_movements[0].t"),
        (b'{"nonce": "x", "telemetry": {"keystrokes": [{"key": 7, "down": 1}]}}', 422, "telemetry-invalid",
         "telemetry.keystrokes[0].key"),
        (b'{"nonce": "x", "telemetry": {"keystrokes": [{"key": "a", "up": true}]}}', 422, "telemetry-invalid",
         "telemetry.keystrokes[0].up"),
        (b'{"nonce": "x", "telemetry": {"clicks": {}}}', 422, "telemetry-invalid", "telemetry.clicks"),
    ],
)
def test_body_refusals_name_the_field(
    client: httpx.Client, body: bytes, status: int, code: str, field: str | None
) -> None:
    r = client.post("/v1/assess", content=body, headers=AUTH)
    assert (r.status_code, codes(r)) == (status, [code])
    assert r.json().get("field") == field


def test_envelope_is_checked_before_the_token_and_keeps_it_unused(client: httpx.Client) -> None:
    nonce = fresh(client)
    bad = assess(client, {"nonce": nonce, "telemetry": {"mouse_movements": "x"}})
    assert codes(bad) == ["telemetry-invalid"]
    assert assess(client, {"nonce": nonce, "telemetry": {}}).status_code == 200


def test_oversized_body_refused_on_the_header_without_reading(base: str, client: httpx.Client) -> None:
    nonce = fresh(client)
    # Announce a large body but send none: the answer must come without waiting for it.
    with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=5) as sock:
        sock.sendall(
            b"POST /v1/assess HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + API_KEY.encode()
            + b"\r\nContent-Type: application/json\r\nContent-Length: " + str(MAX_BODY + 1).encode() + b"\r\n\r\n"
        )
        reply = b""
        while b"\r\n\r\n" not in reply or not reply.rstrip().endswith(b"}"):
            chunk = sock.recv(4096)
            if not chunk:
                break
            reply += chunk
    head, _, payload = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 413"), head
    assert b"connection: close" in head.lower()
    assert json.loads(payload)["error-codes"] == ["payload-too-large"]
    # A body over the limit without a length (chunked) is cut off while it streams.
    def chunks() -> Iterator[bytes]:
        yield b'{"nonce": "' + nonce.encode() + b'", "telemetry": {"pad": "'
        for _ in range(MAX_BODY // 1000 + 2):
            yield b"x" * 1000
        yield b'"}}'
    r = client.post("/v1/assess", content=chunks(), headers=AUTH)
    assert (r.status_code, codes(r)) == (413, ["payload-too-large"])
    assert assess(client, {"nonce": nonce, "telemetry": {}}).status_code == 200


def test_api_key_required_and_compared(client: httpx.Client) -> None:
    body = json.dumps({"nonce": "x", "telemetry": {}})
    for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": f"Basic {API_KEY}"}):
        r = client.post("/v1/assess", content=body, headers=headers)
        assert (r.status_code, codes(r)) == (401, ["api-key-invalid"])
    assert client.post("/v1/assess", content=body, headers={"X-Api-Key": API_KEY}).status_code == 403


def test_ban_refuses_without_using_the_token(client: httpx.Client) -> None:
    ip = "198.51.100.23"
    assert client.post("/v1/bans", json={"ip": ip, "duration_sec": 60}, headers=ADMIN_AUTH).status_code == 201
    nonce = fresh(client)
    for spelling in (ip, "::ffff:" + ip):
        r = assess(client, {"nonce": nonce, "telemetry": {}, "remoteip": spelling})
        assert (r.status_code, codes(r)) == (403, ["ip-banned"])
    assert client.delete(f"/v1/bans/{ip}", headers=ADMIN_AUTH).status_code == 204
    assert assess(client, {"nonce": nonce, "telemetry": {}, "remoteip": ip}).status_code == 200


def test_admin_endpoints_validate_and_need_the_token(client: httpx.Client) -> None:
    ok = {"ip": "192.0.2.1", "duration_sec": 5}
    for headers in ({}, {"Authorization": "Bearer nope"}, {"Authorization": ADMIN}):
        r = client.post("/v1/bans", json=ok, headers=headers)
        assert (r.status_code, codes(r)) == (401, ["admin-token-invalid"])
        assert client.delete("/v1/bans/192.0.2.1", headers=headers).status_code == 401
    for bad, field in [
        ({"ip": "192.0.2.300", "duration_sec": 5}, "ip"),
        ({"ip": 1, "duration_sec": 5}, "ip"),
        ({"ip": "192.0.2.1"}, "duration_sec"),
        ({"ip": "192.0.2.1", "duration_sec": 0}, "duration_sec"),
        ({"ip": "192.0.2.1", "duration_sec": 5.5}, "duration_sec"),
        ({"ip": "192.0.2.1", "duration_sec": True}, "duration_sec"),
        ({"ip": "192.0.2.1", "duration_sec": 10 * 365 * 86400 + 1}, "duration_sec"),
    ]:
        r = client.post("/v1/bans", json=bad, headers=ADMIN_AUTH)
        assert (r.status_code, codes(r), r.json()["field"]) == (422, ["ban-invalid"], field)
    assert client.post("/v1/bans", content=b"[", headers=ADMIN_AUTH).status_code == 400
    assert client.delete("/v1/bans/not-an-ip", headers=ADMIN_AUTH).status_code == 422


def test_idempotent_retry_gets_the_first_verdict(client: httpx.Client) -> None:
    session = telemetry_of(real_sessions()[11])
    nonce = fresh(client)
    body = json.dumps({"nonce": nonce, "telemetry": session})
    first = client.post("/v1/assess", content=body, headers={**AUTH, "Idempotency-Key": "order-17"})
    retry = client.post("/v1/assess", content=body, headers={**AUTH, "Idempotency-Key": "order-17"})
    assert first.status_code == retry.status_code == 200
    assert first.json() == retry.json()
    other_body = body.replace('"telemetry"', '"telemetry" ', 1)
    for headers, content in [
        ({"Idempotency-Key": "order-17"}, other_body),  # same key, another body
        ({"Idempotency-Key": "order-18"}, body),  # same body, another key
        ({}, body),  # no key
    ]:
        r = client.post("/v1/assess", content=content, headers={**AUTH, **headers})
        assert (r.status_code, codes(r)) == (409, ["nonce-reused"])
    r = client.post("/v1/assess", content=body, headers={**AUTH, "Idempotency-Key": "bad\x01key"})
    assert (r.status_code, codes(r)) == (400, ["idempotency-key-invalid"])


def test_real_human_sessions_are_never_bots(client: httpx.Client) -> None:
    verdicts: dict[str, int] = {}
    for session in real_sessions():
        for telemetry in (telemetry_of(session), pseudonymised(telemetry_of(session), seed=len(verdicts))):
            r = assess(client, {"nonce": fresh(client), "telemetry": telemetry})
            assert r.status_code == 200, r.text
            verdict = r.json()["verdict"]
            assert verdict != "bot", (session["_id"], r.json())
            verdicts[verdict] = verdicts.get(verdict, 0) + 1
    assert verdicts.get("human", 0) >= 10, verdicts


def test_health_and_metrics_count_without_addresses(client: httpx.Client) -> None:
    health = client.get("/healthz")
    assert health.status_code == 200
    assert health.json() == {"status": "ok", "native": True, "store": "none", "last_resync_age_sec": None,
                             "trace_sessions": None, "model": None, "enforced": True}
    assess(client, {"nonce": "garbage", "telemetry": {}, "remoteip": "203.0.113.99"})
    text = client.get("/metrics").text
    refused = [line for line in text.splitlines() if line.startswith("velkora_refusals_total{")]
    assert any('code="nonce-malformed"' in line and float(line.split()[-1]) >= 1 for line in refused), refused
    assert "velkora_verdicts_total" in text
    assert "203.0.113.99" not in text and "127.0.0.1" not in text


# --- forwarded addresses -----------------------------------------------------------

@pytest.fixture(scope="module")
def open_dev_server() -> Iterator[str]:
    """Development mode without API keys (assess open), no proxy trusted."""
    with serve_in_thread(Settings(admin_token=ADMIN, signing_keys={"k1": SECRET})) as url:
        yield url


@pytest.fixture(scope="module")
def proxied_server() -> Iterator[str]:
    """Loopback trusted as a proxy, as behind a local reverse proxy."""
    settings = Settings(**{**BASE_SETTINGS, "trusted_proxies": parse_networks(["127.0.0.0/8", "10.0.0.0/8"])})
    with serve_in_thread(settings) as url:  # type: ignore[arg-type]
        yield url


def test_forwarded_header_from_an_untrusted_peer_is_ignored(open_dev_server: str) -> None:
    with httpx.Client(base_url=open_dev_server, timeout=10.0) as c:
        assert c.post("/v1/bans", json={"ip": "203.0.113.7", "duration_sec": 60}, headers=ADMIN_AUTH).status_code == 201
        body = {"nonce": fresh(c), "telemetry": {}}
        # Unauthenticated callers cannot name the address either.
        r = c.post("/v1/assess", json={**body, "remoteip": "203.0.113.7"}, headers={"X-Forwarded-For": "203.0.113.7"})
        c.delete("/v1/bans/203.0.113.7", headers=ADMIN_AUTH)
        assert r.status_code == 200, r.text
        # The peer itself is what counts.
        c.post("/v1/bans", json={"ip": "127.0.0.1", "duration_sec": 60}, headers=ADMIN_AUTH)
        try:
            r = c.post("/v1/assess", json={"nonce": fresh(c), "telemetry": {}},
                       headers={"X-Forwarded-For": "198.51.100.1"})
            assert (r.status_code, codes(r)) == (403, ["ip-banned"])
        finally:
            c.delete("/v1/bans/127.0.0.1", headers=ADMIN_AUTH)


def test_forwarded_address_from_a_trusted_proxy_is_used(proxied_server: str) -> None:
    with httpx.Client(base_url=proxied_server, timeout=10.0) as c:
        assert c.post("/v1/bans", json={"ip": "203.0.113.8", "duration_sec": 60}, headers=ADMIN_AUTH).status_code == 201
        for chain, banned in [
            (["203.0.113.8"], True),
            (["203.0.113.8, 10.1.2.3"], True),  # skips the trusted hop
            (["203.0.113.8", "10.1.2.3"], True),  # several header lines
            (["203.0.113.8, 198.51.100.4"], False),  # the client is the last untrusted hop
            (["garbage, 203.0.113.8"], True),
            (["203.0.113.8, garbage"], False),  # the walk stops at the proxy itself
        ]:
            headers = [("Authorization", f"Bearer {API_KEY}")] + [("X-Forwarded-For", v) for v in chain]
            r = c.post("/v1/assess", json={"nonce": fresh(c), "telemetry": {}}, headers=headers)
            assert r.status_code == (403 if banned else 200), (chain, r.text)
        c.delete("/v1/bans/203.0.113.8", headers=ADMIN_AUTH)


def test_policy_file_replaces_the_example(tmp_path) -> None:  # type: ignore[no-untyped-def]
    from velkora.service.policy import REASON_CODES

    path = tmp_path / "policy.json"
    weights = dict.fromkeys(REASON_CODES, 0.0) | {"automation-flag": 0.2}
    path.write_text(json.dumps({"bot_threshold": 0.2, "weights": weights}))
    settings = Settings(**{**BASE_SETTINGS, "policy_path": str(path)})  # type: ignore[arg-type]
    with serve_in_thread(settings) as url, httpx.Client(base_url=url, timeout=10.0) as c:
        body = {"nonce": fresh(c), "telemetry": {"browser": {"webdriver": True}}}
        r = c.post("/v1/assess", json=body, headers=AUTH)
    assert r.json()["verdict"] == "bot" and r.json()["score"] == 0.2
