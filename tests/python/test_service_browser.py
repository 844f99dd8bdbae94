"""The collector and the service end to end in a real headless Chromium (Debian's
chromium and chromium-driver, by explicit path), against the service run as its own
process. A driven browser is never a human: the human controls are the recorded
sessions, posted at the HTTP level in test_service_http."""

import json
import time
from collections.abc import Iterator

import httpx
import pytest
from browser_session import (
    TYPED_PASSWORD,
    TYPED_USER,
    captured_envelope,
    make_driver,
    request_bodies,
    scripted_login,
)
from service_server import serve_process
from velkora.service import tokens

pytestmark = pytest.mark.browser

SECRET = "browser-test-signing-secret-0123"


@pytest.fixture(scope="module")
def service(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    log = tmp_path_factory.mktemp("service") / "service.log"
    # The same scripted login runs in several tests: with the trace memory on, the later
    # runs could be called replays, and these tests are about the behavioural rules.
    with serve_process({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}", "VELKORA_TRACE_MAX": "0"}, log=log) as base:
        yield base


BEHAVIOURAL = {"pointer-teleport", "pointer-constant-speed", "curvature-score", "keystroke-score",
               "key-dwell-machine-speed"}


def test_scripted_session_is_a_bot_and_sends_no_typed_text(service: str) -> None:
    driver = make_driver()
    try:
        answer = scripted_login(driver, service)
        urls: list[str] = []
        bodies = request_bodies(driver, urls)
        console = driver.get_log("browser")
    finally:
        driver.quit()
    codes = {r["code"] for r in answer["reasons"]}
    assert answer["verdict"] == "bot", answer
    assert "automation-flag" in codes and codes & BEHAVIOURAL, codes
    features = answer["features"]
    # Selenium presses Shift around each capital letter.
    password_presses = len(TYPED_PASSWORD) + sum(c.isupper() for c in TYPED_PASSWORD)
    assert features["key_count"] == len(TYPED_USER) + password_presses
    assert features["click_count"] == 3  # two fields and the button
    assert bodies, "no request body was captured"
    for url, body in bodies:
        assert TYPED_USER not in body and TYPED_PASSWORD not in body, url
        envelope = json.loads(body)
        keys = [k.get("key") for k in envelope["telemetry"]["keystrokes"]]
        # Pseudonyms for the user name (equal keys, equal names); timing only for the password.
        assert all(k is None or (k.startswith("~") and len(k) == 5) for k in keys), keys
        assert keys[len(TYPED_USER):] == [None] * password_presses
        assert len(set(keys[: len(TYPED_USER)])) == len(set(TYPED_USER))
    assert not [m for m in console if "Content Security Policy" in m["message"]], console
    # No calls but to the service: the page, its scripts and style, the token, the verdict.
    assert urls and all(url.startswith(service + "/") for url in urls), urls
    assert sum(url.endswith("/v1/challenge") for url in urls) >= 1


def test_form_gets_the_envelope_in_a_hidden_field(service: str) -> None:
    driver = make_driver()
    try:
        driver.get(service + "/demo")
        driver.execute_script(
            """
            const form = document.createElement('form');
            document.body.appendChild(form);
            Velkora.attach(form);
            form.addEventListener('submit', e => {
              const field = form.querySelector('input[type=hidden][name=velkora]');
              if (field.value) { e.preventDefault(); window.__envelope = field.value; }
            });
            form.requestSubmit();
            """
        )
        end = time.monotonic() + 10
        while time.monotonic() < end and not driver.execute_script("return window.__envelope"):
            time.sleep(0.05)
        envelope = json.loads(driver.execute_script("return window.__envelope"))
    finally:
        driver.quit()
    assert set(envelope) == {"nonce", "telemetry"}
    with httpx.Client(base_url=service, timeout=10.0) as client:
        r = client.post("/v1/assess", json=envelope)
        assert r.status_code == 200 and r.json()["success"] is True, r.text


def test_hidden_automation_flag_is_still_a_bot_from_behaviour(service: str) -> None:
    driver = make_driver("--disable-blink-features=AutomationControlled")
    try:
        assert driver.execute_script("return navigator.webdriver") is False
        answer = scripted_login(driver, service)
    finally:
        driver.quit()
    codes = {r["code"] for r in answer["reasons"]}
    assert answer["verdict"] == "bot", answer
    assert "automation-flag" not in codes and codes <= BEHAVIOURAL


def test_literal_letters_only_where_the_page_allows_them(service: str) -> None:
    from selenium.webdriver.common.by import By

    driver = make_driver()
    try:
        driver.get(service + "/demo")
        driver.execute_script(
            "for (const id of ['username', 'password'])"
            " document.getElementById(id).setAttribute('data-velkora-literal', 'true')"
        )
        driver.find_element(By.ID, "username").send_keys("abc")
        driver.find_element(By.ID, "password").send_keys("xyz")
        keys = [k.get("key") for k in driver.execute_script("return Velkora.telemetry().keystrokes")]
    finally:
        driver.quit()
    assert keys == ["a", "b", "c", None, None, None]


def test_captured_request_replayed_tampered_or_expired_is_refused(service: str) -> None:
    driver = make_driver()
    try:
        scripted_login(driver, service)
        body = captured_envelope(driver)
    finally:
        driver.quit()
    envelope = json.loads(body)
    with httpx.Client(base_url=service, timeout=10.0) as client:
        replay = client.post("/v1/assess", content=body, headers={"Content-Type": "application/json"})
        assert (replay.status_code, replay.json()["error-codes"]) == (409, ["nonce-reused"])
        prefix, kid, payload, tag = envelope["nonce"].split(".")
        tampered = {**envelope, "nonce": f"{prefix}.{kid}.{payload}.{'A' if tag[0] != 'A' else 'B'}{tag[1:]}"}
        r = client.post("/v1/assess", json=tampered)
        assert (r.status_code, r.json()["error-codes"]) == (403, ["nonce-bad-signature"])
        expired_token, _ = tokens.issue(SECRET.encode(), "k1", int(time.time()) - 3600, 300)
        r = client.post("/v1/assess", json={**envelope, "nonce": expired_token})
        assert (r.status_code, r.json()["error-codes"]) == (403, ["nonce-expired"])


def test_collector_payload_stays_under_the_keepalive_limit(service: str) -> None:
    """Long sessions are capped: a minute of pointer movement and more keys than the
    reader examines still fit a keepalive request."""
    driver = make_driver()
    try:
        driver.get(service + "/demo")
        size = driver.execute_script(
            """
            const target = document.getElementById('username');
            const frames = [];
            for (let i = 0; i < 2000; i++) {
              window.dispatchEvent(new PointerEvent('pointermove', {clientX: 1000.123 + i, clientY: 700.456 - i,
                                                                   pointerType: 'touch', width: 21.5, height: 22.5,
                                                                   pressure: 0.53}));
              // one sample per animation frame: flush the pending one as a frame would
              if (i % 2 === 0) Velkora.telemetry();
            }
            for (let i = 0; i < 400; i++) {
              target.dispatchEvent(new KeyboardEvent('keydown', {key: 'k' + i, code: 'Key' + i, bubbles: true}));
              target.dispatchEvent(new KeyboardEvent('keyup', {key: 'k' + i, code: 'Key' + i, bubbles: true}));
              window.dispatchEvent(new MouseEvent('click'));
              window.dispatchEvent(new WheelEvent('wheel'));
            }
            const t = Velkora.telemetry();
            return [new Blob([JSON.stringify({nonce: 'v1.' + 'x'.repeat(160), telemetry: t})]).size,
                    t.mouse_movements.length, t.keystrokes.length];
            """
        )
    finally:
        driver.quit()
    nbytes, points, keys = size
    assert points == 300 and keys == 150
    assert nbytes < 64 * 1024, nbytes


def test_collector_is_served_for_a_strict_policy(service: str) -> None:
    r = httpx.get(service + "/collector.js", timeout=10.0)
    source = r.text
    assert r.headers["content-type"].startswith("text/javascript")
    for forbidden in ("eval(", "new Function", "innerHTML", "document.cookie", "localStorage", "sessionStorage",
                      "Worker(", ".style", "setAttribute('style"):
        assert forbidden not in source, forbidden
    demo = httpx.get(service + "/demo", timeout=10.0)
    assert "script-src 'self'" in demo.headers["content-security-policy"]
    assert "<script>" not in demo.text and "style=" not in demo.text


def test_form_still_submits_when_the_service_is_gone(tmp_path) -> None:  # type: ignore[no-untyped-def]
    driver = make_driver()
    try:
        with serve_process({"VELKORA_SIGNING_KEYS": f"k1:{SECRET}"}, log=tmp_path / "gone.log") as base:
            driver.get(base + "/demo")
            driver.execute_script(
                """
                const form = document.createElement('form');
                document.body.appendChild(form);
                Velkora.attach(form);
                window.__submitted = [];
                form.addEventListener('submit', e => {
                  const field = form.querySelector('input[type=hidden][name=velkora]');
                  if (e.defaultPrevented) return;   // the collector is still at work
                  e.preventDefault();
                  window.__submitted.push(field.value);
                });
                window.__form = form;
                """
            )
            # The token fetched at load time is used up by a first submission.
            driver.execute_script("window.__form.requestSubmit()")
            wait_for = "return window.__submitted.length"
            end = time.monotonic() + 10
            while time.monotonic() < end and driver.execute_script(wait_for) < 1:
                time.sleep(0.05)
        # The service is stopped. A token fetched ahead may still serve one submission;
        # after that, submissions go without an envelope instead of hanging.
        for count in (2, 3):
            driver.execute_script("window.__form.requestSubmit()")
            end = time.monotonic() + 15
            while time.monotonic() < end and driver.execute_script(wait_for) < count:
                time.sleep(0.05)
            submitted = driver.execute_script("return window.__submitted")
            if submitted[-1] == "":
                break
    finally:
        driver.quit()
    assert json.loads(submitted[0])["nonce"] and submitted[-1] == "", submitted


def test_shadow_root_password_fields_send_timing_only_and_each_field_has_its_own_names(service: str) -> None:
    """A password field inside a web component's shadow root (open or closed) is never
    taken for its host; pseudonyms are drawn per field, so text known from one field says
    nothing of another; editing and modifier keys keep their names."""
    from selenium.webdriver.common.by import By

    driver = make_driver()
    try:
        driver.get(service + "/demo")
        driver.execute_script(
            """
            for (const [name, mode] of [['login-open', 'open'], ['login-closed', 'closed']]) {
              customElements.define(name, class extends HTMLElement {
                constructor() {
                  super();
                  const root = this.attachShadow({mode});
                  const user = document.createElement('input'); user.id = 'user';
                  const pw = document.createElement('input'); pw.type = 'password'; pw.id = 'pw';
                  root.append(user, pw);
                  if (mode === 'open') return;
                  this.tabIndex = 0;
                  window.closedPassword = pw;
                }
              });
              document.body.appendChild(document.createElement(name));
            }
            """
        )
        root = driver.execute_script("return document.querySelector('login-open').shadowRoot")
        typed = []
        def typed_into(element: object, text: str) -> None:
            element.send_keys(text)  # type: ignore[attr-defined]
            typed.append(len(driver.execute_script("return Velkora.telemetry().keystrokes")))
        typed_into(driver.find_element(By.ID, "username"), "abab")
        typed_into(root.find_element(By.CSS_SELECTOR, "#user"), "abab")
        typed_into(root.find_element(By.CSS_SELECTOR, "#pw"), "Secret")
        driver.execute_script("window.closedPassword.focus()")
        typed_into(driver.switch_to.active_element, "xyz")
        keys = [k.get("key") for k in driver.execute_script("return Velkora.telemetry().keystrokes")]
    finally:
        driver.quit()
    light, shadow_user = keys[:typed[0]], keys[typed[0]:typed[1]]
    shadow_password, closed_password = keys[typed[1]:typed[2]], keys[typed[2]:typed[3]]
    assert len(light) == len(shadow_user) == 4 and light[0] == light[2] and shadow_user[0] == shadow_user[2]
    assert all(k.startswith("~") for k in light + shadow_user)
    assert not set(light) & set(shadow_user)  # one map per field
    assert shadow_password == [None] * len(shadow_password) and len(shadow_password) == len("Secret") + 1
    assert closed_password == [None] * 3


def test_editing_and_modifier_keys_keep_their_names(service: str) -> None:
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    driver = make_driver()
    try:
        driver.get(service + "/demo")
        driver.find_element(By.ID, "username").send_keys("aB", Keys.BACKSPACE, Keys.ARROW_LEFT, Keys.TAB)
        keys = [k.get("key") for k in driver.execute_script("return Velkora.telemetry().keystrokes")]
    finally:
        driver.quit()
    assert keys[1] == "Shift" and keys[3:] == ["Backspace", "ArrowLeft", "Tab"], keys
    assert keys[0].startswith("~") and keys[2].startswith("~") and keys[0] != keys[2]
