"""The service's I/O-free decisions: token codec, settings, proxy trust, the claim map
under an injected clock, and the example policy's rules."""

import asyncio
import math
from typing import Any

import pytest
import velkora_core_rs as core
from hypothesis import given
from hypothesis import strategies as st
from velkora.service import tokens
from velkora.service.policy import Policy, PolicyError, decide
from velkora.service.proxy import client_address, parse_networks
from velkora.service.settings import Settings, SettingsError, from_env
from velkora.service.state import CapacityExceeded, ClaimMap, LocalState

KEYS = {"a": b"secret-a-0123456789abcdef", "b": b"secret-b-0123456789abcdef"}


@given(st.text(max_size=200))
def test_no_other_text_verifies_as_a_valid_token(noise: str) -> None:
    text, token = tokens.issue(KEYS["a"], "a", 1_000_000, 60, token_id=b"\x07" * 16)
    assert tokens.verify(text, KEYS, 1_000_010, 0) == token
    for candidate in (noise, text + noise, noise + text, text[: len(text) // 2] + noise):
        if candidate != text:
            with pytest.raises(tokens.TokenError):
                tokens.verify(candidate, KEYS, 1_000_010, 0)


def test_every_single_character_change_is_refused() -> None:
    text, _ = tokens.issue(KEYS["a"], "a", 1_000_000, 60)
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."
    for i in range(len(text)):
        for c in alphabet[:: 7] + text[i].swapcase():
            changed = text[:i] + c + text[i + 1 :]
            if changed != text:
                with pytest.raises(tokens.TokenError):
                    tokens.verify(changed, KEYS, 1_000_010, 0)


def test_time_checks_with_leeway() -> None:
    text, _ = tokens.issue(KEYS["b"], "b", 1000, 60)
    for now, leeway, code in [(994, 5, "nonce-not-yet-valid"), (1060, 0, "nonce-expired"), (1065, 5, "nonce-expired")]:
        with pytest.raises(tokens.TokenError) as caught:
            tokens.verify(text, KEYS, now, leeway)
        assert caught.value.code == code
    for now, leeway in [(995, 5), (1000, 0), (1059.9, 0), (1064, 5)]:
        tokens.verify(text, KEYS, now, leeway)


def test_settings_from_environment() -> None:
    s = from_env({
        "VELKORA_SIGNING_KEYS": "new:0123456789abcdef0123456789abcdef-new, old:0123456789abcdef0123456789abcdef-old",
        "VELKORA_API_KEYS": "api-key-number-one,api-key-number-two",
        "VELKORA_TRUSTED_PROXIES": "10.0.0.0/8, ::1",
        "VELKORA_MAX_BODY": "4096",
        "VELKORA_MODE": "production",
    })
    assert list(s.signing_keys) == ["new", "old"] and s.api_keys == {"api-key-number-one", "api-key-number-two"}
    assert s.max_body == 4096 and len(s.trusted_proxies) == 2
    assert s.nonce_ttl_sec > s.token_lifetime_sec + s.clock_leeway_sec
    for env, needle in [
        ({"VELKORA_MODE": "production", "VELKORA_API_KEYS": "api-key-number-one"}, "VELKORA_SIGNING_KEYS"),
        ({"VELKORA_MODE": "production", "VELKORA_SIGNING_KEYS": "k:0123456789abcdef0123456789abcdef"},
         "VELKORA_API_KEYS"),
        ({"VELKORA_SIGNING_KEYS": "k:short"}, "shorter"),
        # 31 bytes: one short of an HMAC-SHA256 key's own length.
        ({"VELKORA_SIGNING_KEYS": "k:0123456789abcdef0123456789abcde"}, "shorter than 32 bytes"),
        ({"VELKORA_API_KEYS": "api-key-number-one,x"}, "VELKORA_API_KEYS"),
        ({"VELKORA_ADMIN_TOKEN": "admin-15-chars!"}, "VELKORA_ADMIN_TOKEN"),
        ({"VELKORA_HEADER_TIMEOUT": "0"}, "VELKORA_HEADER_TIMEOUT"),
        ({"VELKORA_SIGNING_KEYS": "bad id:0123456789abcdef0123456789abcdef"}, "key id"),
        ({"VELKORA_SIGNING_KEYS": "k:0123456789abcdef0123456789abcdef,k:0123456789abcdef0123456789abcdef"}, "twice"),
        ({"VELKORA_TRUSTED_PROXIES": "10.0.0.0/33"}, "VELKORA_TRUSTED_PROXIES"),
        ({"VELKORA_MAX_BODY": "lots"}, "VELKORA_MAX_BODY"),
        ({"VELKORA_MODE": "prod"}, "VELKORA_MODE"),
    ]:
        with pytest.raises(SettingsError, match=needle):
            from_env(env)
    assert not from_env({}).production
    # The same minimums hold for settings made in code, checked at start-up.
    for made in (Settings(signing_keys={"k": b"x" * 31}), Settings(api_keys=frozenset({"short"})),
                 Settings(admin_token="a" * 15)):
        with pytest.raises(SettingsError):
            made.check()
    Settings(signing_keys={"k": b"x" * 32}, api_keys=frozenset({"a" * 16}), admin_token="a" * 16).check()


def test_client_address_trusts_only_configured_proxies() -> None:
    trusted = parse_networks(["10.0.0.0/8", "fd00::/8"])
    assert client_address("203.0.113.1", ["198.51.100.1"], trusted) == "203.0.113.1"
    assert client_address("10.0.0.2", ["198.51.100.1"], trusted) == "198.51.100.1"
    assert client_address("10.0.0.2", ["198.51.100.1, 10.9.9.9, fd00::1"], trusted) == "198.51.100.1"
    assert client_address("10.0.0.2", ["1.1.1.1, 198.51.100.1"], trusted) == "198.51.100.1"
    assert client_address("10.0.0.2", [], trusted) == "10.0.0.2"
    assert client_address("::ffff:10.0.0.2", ["::ffff:198.51.100.1"], trusted) == "198.51.100.1"
    # Zone indexes never make another client, forwarded or not, nor escape the trust check.
    assert client_address("2001:db8::7%eth0", [], trusted) == "2001:db8::7"
    assert client_address("fd00::1%1", ["2001:db8::7%2, fd00::2%3"], trusted) == "2001:db8::7"
    assert client_address("not-an-ip", ["198.51.100.1"], trusted) is None
    assert client_address(None, [], trusted) is None


def test_claim_map_expiry_and_capacity() -> None:
    now = [100.0]
    claims = ClaimMap(capacity=2, clock=lambda: now[0])
    assert claims.claim("n1", "tag1", 10) is None
    assert claims.claim("n1", "other", 10) == "tag1"
    assert claims.claim("n2", "", 10) is None
    with pytest.raises(CapacityExceeded):
        claims.claim("n3", "", 10)
    now[0] = 110.0  # both ended: swept on the next claim
    assert claims.claim("n3", "", 10) is None and len(claims) == 1
    assert claims.claim("n1", "again", 10) is None


def test_health_says_when_the_token_map_is_full() -> None:
    """A full in-process token map refuses new tokens with 503: /healthz must not say ok
    meanwhile, and the refused token is not used up."""
    from starlette.testclient import TestClient
    from velkora.service import create_app

    settings = Settings(signing_keys={"k1": b"k1-secret-for-the-health-test-012"}, trace_max=0)
    app = create_app(settings)
    with TestClient(app) as client:
        app.state.runtime.state = LocalState(capacity=1)
        assert client.get("/healthz").json()["store"] == "none"
        first, second = (client.get("/v1/challenge").json()["nonce"] for _ in range(2))
        telemetry: dict[str, Any] = {"mouse_movements": [], "keystrokes": []}
        assert client.post("/demo/assess", json={"nonce": first, "telemetry": telemetry}).status_code == 200
        refused = client.post("/demo/assess", json={"nonce": second, "telemetry": telemetry})
        assert refused.status_code == 503 and refused.json()["error-codes"] == ["store-unavailable"]
        health = client.get("/healthz").json()
        assert (health["status"], health["store"]) == ("degraded", "full")
        app.state.runtime.state = LocalState(capacity=2)  # room again: the refused token still works
        assert client.post("/demo/assess", json={"nonce": second, "telemetry": telemetry}).status_code == 200
        assert client.get("/healthz").json()["status"] == "ok"


def test_local_state_remembers_beyond_the_native_window_and_checks_input() -> None:
    async def run() -> None:
        state = LocalState(prefix="svc-test:")
        async with state:
            assert await state.claim_nonce("tok", "t1", 600) is None
            assert await state.claim_nonce("tok", "t2", 600) == "t1"
            assert await state.consume_nonce("tok") is False
            core.consume_nonce_rs("svc-test:elsewhere")
            assert await state.claim_nonce("elsewhere", "t", 600) == ""
            with pytest.raises(TypeError):
                await state.claim_nonce(5, "t")  # type: ignore[arg-type]
            for bad in (0, 10 * 365 * 86400 + 1):
                with pytest.raises(ValueError):
                    await state.ban_ip("192.0.2.55", bad)
            await state.ban_ip("192.0.2.55", 30)
            assert state.is_ip_banned("192.0.2.55")
            assert not core.is_ip_banned_rs("192.0.2.55")  # namespaced in the shared engine
            await state.unban_ip("192.0.2.55")
            assert not state.is_ip_banned("192.0.2.55")
            assert state.stats()["claimed_tokens"] == 1

    asyncio.run(run())


def _features(**over: Any) -> dict[str, Any]:
    base: dict[str, Any] = dict(core.extract_features_rs({}))
    base.update(over)
    return base


def _typed(n: int, dwell: float, flight: float) -> list[dict[str, float]]:
    return [{"down": i * (dwell + flight), "up": i * (dwell + flight) + dwell} for i in range(n)]


def test_policy_rules() -> None:
    policy = Policy.load()
    # Nothing at all, or keys alone typed like a person: not enough to call it human.
    assert decide(policy, _features(), {}).verdict == "insufficient-data"
    human_keys = _typed(12, 95.0, 140.0)
    for i, k in enumerate(human_keys):
        k["up"] += (i % 4) * 9
        k["down"] += (i % 3) * 17
    telemetry = {"keystrokes": human_keys}
    v = decide(policy, _features(**core.extract_features_rs(telemetry)), telemetry)
    assert v.verdict == "insufficient-data" and v.reasons == []
    # The automation flag alone is enough; machine-speed keys alone are enough.
    assert decide(policy, _features(webdriver=True), {}).verdict == "bot"
    scripted = {"keystrokes": _typed(12, 0.1, 0.3)}
    v = decide(policy, _features(**core.extract_features_rs(scripted)), scripted)
    assert v.verdict == "bot" and {"key-dwell-machine-speed", "keystroke-score"} <= {c for c, _ in v.reasons}
    # A pointer that jumps straight onto what it clicks.
    jumps = {"mouse_movements": [{"x": 10, "y": 10, "t": 0}, {"x": 400, "y": 300, "t": 300}], "clicks": [{}]}
    v = decide(policy, _features(**core.extract_features_rs(jumps)), jumps)
    assert [c for c, _ in v.reasons] == ["pointer-teleport"] and v.verdict == "insufficient-data"
    # A line at constant speed.
    line = {"mouse_movements": [{"x": 3 * i, "y": 2 * i, "t": 16 * i} for i in range(40)]}
    v = decide(policy, _features(**core.extract_features_rs(line)), line)
    assert {"pointer-constant-speed", "curvature-score"} <= {c for c, _ in v.reasons}
    assert v.score == pytest.approx(min(1.0, sum(w for _, w in v.reasons)))


def test_policy_file_is_validated() -> None:
    good = {"weights": dict.fromkeys(Policy().weights, 0.5)}
    assert Policy.from_mapping(good).bot_threshold == 0.6
    for bad in (
        {"weights": {"automation-flag": 1.0}},
        {**good, "bot_treshold": 0.5},
        {**good, "bot_threshold": math.inf},
        {**good, "min_keys": "6"},
        {"weights": {**good["weights"], "automation-flag": -1}},
    ):
        with pytest.raises(PolicyError):
            Policy.from_mapping(bad)


def test_the_distribution_ships_the_service_files() -> None:
    import importlib.metadata

    files = {f.as_posix() for f in importlib.metadata.files("velkora_core_rs") or []}
    for name in ("static/collector.js", "static/demo.html", "static/demo.js", "static/demo.css",
                 "example-policy.json"):
        assert f"velkora/service/{name}" in files, name


def test_address_rate_limiter_refills_and_stays_bounded() -> None:
    from velkora.service.limits import AddressRateLimiter, retry_after

    now = [0.0]
    limiter = AddressRateLimiter(per_minute=3, clock=lambda: now[0], capacity=2)
    assert [limiter.take("a") for _ in range(3)] == [0.0, 0.0, 0.0]
    assert limiter.take("a") == pytest.approx(20.0)  # one token comes back every 20 s
    assert retry_after(limiter.take("a")) == "20" and retry_after(0.2) == "1"
    now[0] = 20.0
    assert limiter.take("a") == 0.0 and limiter.take("a") > 0
    # Full map: an address whose bucket has refilled completely is dropped before one
    # that is still paying back, so a flood of new addresses cannot reset a busy one.
    limiter = AddressRateLimiter(per_minute=3, clock=lambda: now[0], capacity=2)
    now[0] = 100.0
    for _ in range(3):
        limiter.take("busy")
    limiter.take("idle")
    now[0] = 130.0  # idle is full again; busy has 1.5 tokens
    assert limiter.take("new") == 0.0 and len(limiter) == 2
    assert limiter.take("busy") == 0.0 and limiter.take("busy") > 0  # not reset to a full bucket
