"""Drives headless Chromium through ``/collector.js`` on the service's demo page.

A ``Script`` (bot families, or a recorded person's pointer window and key run) is turned
into one time-ordered list of raw DevTools input events and dispatched in real time:
``Input.dispatchMouseEvent`` for moves, presses, releases and wheel notches,
``Input.dispatchKeyEvent`` for key presses and releases into the page's user-name field.
The browser hides its automation flag (``--disable-blink-features=AutomationControlled``),
as an attacker's would. At the end the page collects its telemetry (``Velkora.collect()``)
and posts it to the demo backend, ``/demo/assess``, which answers with the verdict.

    python -m detection.browser --out DIR [--sessions N]

writes ``DIR/sessions.jsonl`` (the collected telemetry with ``_id``, ``label``,
``family``, the verdict, its reasons and how the drive went), ``DIR/summary.json`` and a
screenshot of the page after the first session of each bot family, and prints a summary
per source. It starts the service itself (development mode, one worker, a free loopback
port) and needs Debian's ``chromium`` and ``chromium-driver``.

Timing: a pointer move's dispatch is acknowledged once the renderer has handled it, at
the next animation frame, so moves go out at most once per frame. When the following move
is due as well (two moves at the same time, or the drive running late), the earlier one is
merged into it, as the browser merges the input that arrives within one frame; clicks,
wheel notches and keys are never dropped. Lags and merged moves are reported with every
session, and so are the animation frames the page ran meanwhile.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import json
import logging
import math
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.request
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from selenium.webdriver import Chrome, ChromeOptions
from selenium.webdriver.chrome.service import Service as ChromeService

from detection.actions import Click, Key, Move, Script, Scroll

log = logging.getLogger("detection.browser")

ROOT = Path(__file__).resolve().parents[1]
WINDOW = (1200, 900)
FIELD_ID = "username"
# Environment the service and the browser must not inherit: the sanitizer preload of a
# test run, and settings meant for another instance of the service.
_DROPPED_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PROMETHEUS_MULTIPROC_DIR")

BUTTONS = {"left": 1, "right": 2, "middle": 4, "back": 8, "forward": 16}
WHEEL_NOTCH = {"up": (0, -100), "down": (0, 100), "left": (-100, 0), "right": (100, 0)}
_MODIFIER_BITS = {"Alt": 1, "Control": 2, "Meta": 4, "Shift": 8}

# KeyboardEvent.key -> (code, windowsVirtualKeyCode) of a US layout, for the keys that type no
# character of their own (space and Enter do: see key_fields).
_NAMED: dict[str, tuple[str, int]] = {
    "Backspace": ("Backspace", 8),
    "Tab": ("Tab", 9),
    "Enter": ("Enter", 13),
    "Shift": ("ShiftLeft", 16),
    "Control": ("ControlLeft", 17),
    "Alt": ("AltLeft", 18),
    "Pause": ("Pause", 19),
    "CapsLock": ("CapsLock", 20),
    "Escape": ("Escape", 27),
    " ": ("Space", 32),
    "PageUp": ("PageUp", 33),
    "PageDown": ("PageDown", 34),
    "End": ("End", 35),
    "Home": ("Home", 36),
    "ArrowLeft": ("ArrowLeft", 37),
    "ArrowUp": ("ArrowUp", 38),
    "ArrowRight": ("ArrowRight", 39),
    "ArrowDown": ("ArrowDown", 40),
    "Insert": ("Insert", 45),
    "Delete": ("Delete", 46),
    "Meta": ("MetaLeft", 91),
    "ContextMenu": ("ContextMenu", 93),
    "NumLock": ("NumLock", 144),
    "ScrollLock": ("ScrollLock", 145),
    **{f"F{i}": (f"F{i}", 111 + i) for i in range(1, 13)},
}
_TEXT_OF_NAMED = {" ": " ", "Enter": "\r"}
_PUNCTUATION = {  # character -> (code, windowsVirtualKeyCode), unshifted and shifted
    char: (code, vk)
    for plain, shifted, code, vk in (
        ("`", "~", "Backquote", 192),
        ("-", "_", "Minus", 189),
        ("=", "+", "Equal", 187),
        ("[", "{", "BracketLeft", 219),
        ("]", "}", "BracketRight", 221),
        ("\\", "|", "Backslash", 220),
        (";", ":", "Semicolon", 186),
        ("'", '"', "Quote", 222),
        (",", "<", "Comma", 188),
        (".", ">", "Period", 190),
        ("/", "?", "Slash", 191),
    )
    for char in (plain, shifted)
}
_SHIFTED_DIGITS = ")!@#$%^&*("  # the character over each digit, 0 to 9

# Installed in the page before a session: the session types into one field and submits
# once, at its end. The collector's listeners (passive, on the window, capturing) still
# see every event; only the default actions below are cancelled.
_GUARD_JS = """
var field = document.getElementById(arguments[0]);
if (!field) return false;
// A press anywhere but on the field would take the focus away from it.
document.addEventListener("mousedown", function (e) { if (e.target !== field) e.preventDefault(); }, true);
// Tab would move on to the next field.
field.addEventListener("keydown", function (e) { if (e.key === "Tab") e.preventDefault(); });
// Enter, or a click on the button, would submit the form in the middle of the session.
document.addEventListener("submit", function (e) { e.preventDefault(); e.stopImmediatePropagation(); }, true);
// Animation frames from here on: the collector keeps at most one pointer sample per frame.
window.__velkoraDriveFrames = 0;
(function tick() { window.__velkoraDriveFrames++; requestAnimationFrame(tick); })();
field.focus();
return document.activeElement === field;
"""

_SETTLE_JS = """
var done = arguments[arguments.length - 1];
requestAnimationFrame(function () { requestAnimationFrame(function () { setTimeout(done, 20); }); });
"""

# What an integrator's page does on submit: collect {nonce, telemetry} and hand it to its
# backend (here the demo's own route, which also returns the features).
_COLLECT_JS = """
var done = arguments[arguments.length - 1];
Velkora.collect().then(function (envelope) {
  return Velkora.send("/demo/assess", envelope).then(function (r) {
    return r.json().then(function (answer) { done({ok: true, status: r.status, envelope: envelope, answer: answer}); });
  });
}).catch(function (err) { done({ok: false, error: String(err)}); });
"""


# --- keys -------------------------------------------------------------------------------


def key_fields(key: str) -> dict[str, Any]:
    """The DevTools fields of the key whose ``KeyboardEvent.key`` is KEY on a US layout:
    ``key``, ``code``, ``windowsVirtualKeyCode`` and, for a key that types, ``text``.
    Unknown names get an empty code and key code 0; an unknown single character still types."""
    text: str | None = None
    if key in _NAMED:
        code, vk = _NAMED[key]
        text = _TEXT_OF_NAMED.get(key)
    elif len(key) == 1:
        text = key
        if key.isascii() and key.isalpha():
            code, vk = "Key" + key.upper(), ord(key.upper())
        elif key.isascii() and key.isdigit():
            code, vk = "Digit" + key, ord(key)
        elif key in _SHIFTED_DIGITS:
            digit = str(_SHIFTED_DIGITS.index(key))
            code, vk = "Digit" + digit, ord(digit)
        else:
            code, vk = _PUNCTUATION.get(key, ("", 0))
    else:
        code, vk = "", 0
    fields: dict[str, Any] = {"key": key, "code": code, "windowsVirtualKeyCode": vk, "nativeVirtualKeyCode": vk}
    if code.endswith("Left") and key in _MODIFIER_BITS:
        fields["location"] = 1
    if text is not None:
        fields["text"] = text
        fields["unmodifiedText"] = text
    return fields


# --- the timeline -----------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Event:
    """One input event of a session: KIND is move, press, release, wheel, keydown or keyup;
    DETAIL the button, wheel direction or key."""

    t: float
    kind: str
    x: float = 0.0
    y: float = 0.0
    detail: str = ""


def _time(value: float, what: str) -> float:
    t = float(value)
    if not math.isfinite(t) or t < 0:
        raise ValueError(f"{what}: time {value!r} is not a finite number of milliseconds >= 0")
    return t


def timeline(script: Script) -> list[Event]:
    """Every action of SCRIPT as input events in time order. A click is a press and a
    release at its time; at equal times moves come before clicks, clicks before wheel
    notches and those before keys, and one key's press before its release. Raises
    ValueError for a negative or non-finite time, a release before its press, an unknown
    button or wheel direction, before anything is dispatched."""
    events: list[Event] = []
    for move in script.moves:
        events.append(Event(_time(move.t, "move"), "move", float(move.x), float(move.y)))
    for click in script.clicks:
        if click.button not in BUTTONS:
            raise ValueError(f"click: unknown button {click.button!r}")
        t = _time(click.t, "click")
        events.append(Event(t, "press", float(click.x), float(click.y), click.button))
        events.append(Event(t, "release", float(click.x), float(click.y), click.button))
    for scroll in script.scrolls:
        if scroll.direction not in WHEEL_NOTCH:
            raise ValueError(f"scroll: unknown direction {scroll.direction!r}")
        events.append(Event(_time(scroll.t, "scroll"), "wheel", float(scroll.x), float(scroll.y), scroll.direction))
    for key in script.keys:
        down = _time(key.down, f"key {key.key!r}")
        events.append(Event(down, "keydown", detail=key.key))
        if key.up is not None:
            up = _time(key.up, f"key {key.key!r}")
            if up < down:
                raise ValueError(f"key {key.key!r}: released at {up} before its press at {down}")
            events.append(Event(up, "keyup", detail=key.key))
    events.sort(key=lambda e: e.t)  # stable: the order above breaks ties
    return events


# --- dispatch ---------------------------------------------------------------------------

Send = Callable[[str, dict[str, Any]], Any]


@dataclass
class DriveStats:
    """How a timeline went out: START on the monotonic clock (seconds); the lag of every
    dispatched event behind its time (ms); moves merged into a later one; the moves sent
    as (intended t, x, y)."""

    start: float
    elapsed_ms: float
    lag_ms: list[float]
    coalesced_moves: int
    moves_sent: list[tuple[float, float, float]] = field(default_factory=list)


def _dispatch(send: Send, event: Event, held: set[str]) -> None:
    modifiers = sum(_MODIFIER_BITS[k] for k in held)
    if event.kind in ("move", "press", "release", "wheel"):
        params: dict[str, Any] = {"x": event.x, "y": event.y, "modifiers": modifiers}
        if event.kind == "move":
            params.update(type="mouseMoved", button="none", buttons=0)
        elif event.kind == "press":
            params.update(type="mousePressed", button=event.detail, buttons=BUTTONS[event.detail], clickCount=1)
        elif event.kind == "release":
            params.update(type="mouseReleased", button=event.detail, buttons=0, clickCount=1)
        else:
            dx, dy = WHEEL_NOTCH[event.detail]
            params.update(type="mouseWheel", deltaX=dx, deltaY=dy)
        send("Input.dispatchMouseEvent", params)
        return
    key = event.detail
    fields = key_fields(key)
    if event.kind == "keydown":
        if key in _MODIFIER_BITS:
            held.add(key)
        # A chord with Control, Alt or Meta types nothing.
        if held & {"Control", "Alt", "Meta"}:
            fields.pop("text", None)
            fields.pop("unmodifiedText", None)
        kind = "keyDown" if "text" in fields else "rawKeyDown"
    else:
        held.discard(key)
        fields.pop("text", None)
        fields.pop("unmodifiedText", None)
        kind = "keyUp"
    send("Input.dispatchKeyEvent", {"type": kind, "modifiers": sum(_MODIFIER_BITS[k] for k in held), **fields})


def drive(
    send: Send,
    events: Sequence[Event],
    *,
    clock: Callable[[], float] = time.monotonic,
    sleep: Callable[[float], None] = time.sleep,
    coalesce: bool = True,
) -> DriveStats:
    """Sends EVENTS through SEND (``driver.execute_cdp_cmd``), each at its time after the
    start on CLOCK (seconds). With COALESCE a move is merged into the next event when that
    is a move already due: moves at the same time, or a drive running late."""
    held: set[str] = set()
    lags: list[float] = []
    sent: list[tuple[float, float, float]] = []
    coalesced = 0
    start = clock()
    for i, event in enumerate(events):
        due = start + event.t / 1000.0
        now = clock()
        if now < due:
            sleep(due - now)
            now = clock()
        if (
            coalesce
            and event.kind == "move"
            and i + 1 < len(events)
            and events[i + 1].kind == "move"
            and now >= start + events[i + 1].t / 1000.0
        ):
            coalesced += 1
            continue
        lags.append((now - due) * 1000.0)
        _dispatch(send, event, held)
        if event.kind == "move":
            sent.append((event.t, event.x, event.y))
    return DriveStats(start, (clock() - start) * 1000.0, lags, coalesced, sent)


# --- the service and the browser --------------------------------------------------------


def child_env(extra: Mapping[str, str] | None = None) -> dict[str, str]:
    """This process's environment without the service's settings and a sanitizer preload."""
    env = {k: v for k, v in os.environ.items() if k not in _DROPPED_ENV and not k.startswith("VELKORA_")}
    env.update(extra or {})
    return env


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def wait_healthy(base: str, process: subprocess.Popen[bytes], deadline_s: float = 30.0) -> None:
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        if process.poll() is not None:
            raise RuntimeError(f"the service exited with status {process.returncode} before it was healthy")
        try:
            with urllib.request.urlopen(base + "/healthz", timeout=1.0) as r:
                if r.status == 200:
                    return
        except OSError:
            pass
        time.sleep(0.05)
    raise TimeoutError(f"{base} did not become healthy within {deadline_s} s")


@contextlib.contextmanager
def serve(log_path: Path | None = None, python: str = sys.executable, model: Path | None = None) -> Iterator[str]:
    """``python -m velkora.service`` in development mode with one worker on a free loopback
    port, as its own process (judging with the model file MODEL when given); yields its base
    URL once it is healthy and stops it after."""
    port = free_port()
    command = [
        python,
        "-m",
        "velkora.service",
        "--host",
        "127.0.0.1",
        "--port",
        str(port),
        "--workers",
        "1",
        "--log-level",
        "warning",
    ]
    base = f"http://127.0.0.1:{port}"
    with open(log_path if log_path is not None else os.devnull, "wb") as out:
        process = subprocess.Popen(
            command, env=child_env({"VELKORA_MODE": "development", **({"VELKORA_MODEL": str(model)} if model else {})}),
            stdout=out, stderr=subprocess.STDOUT
        )
        try:
            wait_healthy(base, process)
            log.info("service at %s (pid %d)", base, process.pid)
            yield base
        finally:
            process.terminate()
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)


def open_browser(chromium: str | None = None, chromedriver: str | None = None) -> Chrome:
    """Headless Chromium through chromedriver (found on the PATH unless given), with the
    automation flag hidden: ``navigator.webdriver`` is false."""
    chromium = chromium or shutil.which("chromium")
    chromedriver = chromedriver or shutil.which("chromedriver")
    if not chromium or not chromedriver:
        raise FileNotFoundError("chromium and chromedriver are needed (Debian: chromium, chromium-driver)")
    options = ChromeOptions()
    options.binary_location = chromium
    for arg in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        f"--window-size={WINDOW[0]},{WINDOW[1]}",
        "--disable-blink-features=AutomationControlled",
    ):
        options.add_argument(arg)
    driver = Chrome(service=ChromeService(chromedriver, env=child_env()), options=options)
    driver.set_script_timeout(30)
    return driver


def viewport(driver: Chrome, base: str) -> tuple[int, int]:
    """The demo page's viewport (innerWidth, innerHeight) in CSS pixels."""
    driver.get(base + "/demo")
    width, height = driver.execute_script("return [innerWidth, innerHeight]")
    return int(width), int(height)


# --- one session ------------------------------------------------------------------------


@dataclass
class Session:
    """What one driven session gave: the telemetry the page collected and posted, the demo
    backend's answer (a verdict, or a refusal with its HTTP status), what the browser
    reported as ``navigator.webdriver``, whether the field kept the focus to the end, the
    text that ended up in the field (kept in memory to check that it never leaves the
    page; never written out) and the animation frames the page ran during the drive."""

    telemetry: dict[str, Any]
    answer: dict[str, Any]
    status: int
    navigator_webdriver: bool
    focus_kept: bool
    typed_text: str
    frames: int
    stats: DriveStats
    page_start_ms: float


def run_session(driver: Chrome, base: str, script: Script, field_id: str = FIELD_ID) -> Session:
    """Loads the demo page, dispatches SCRIPT in real time with keys going to FIELD_ID,
    then collects and posts the telemetry the way the page would on submit."""
    events = timeline(script)
    driver.get(base + "/demo")
    end = time.monotonic() + 10
    while not driver.execute_script("return !!window.Velkora"):
        if time.monotonic() > end:
            raise RuntimeError("the collector did not load on the demo page")
        time.sleep(0.02)
    navigator_webdriver = bool(driver.execute_script("return navigator.webdriver === true"))
    if not driver.execute_script(_GUARD_JS, field_id):
        raise RuntimeError(f"could not focus #{field_id} on the demo page")
    before = time.monotonic()
    page_now = float(driver.execute_script("return performance.now()"))
    after = time.monotonic()
    stats = drive(driver.execute_cdp_cmd, events)
    # The page's clock at the session's start, from a reading taken just before it.
    page_start_ms = page_now + (stats.start - (before + after) / 2) * 1000.0
    # Input the renderer has acknowledged may still be on its way to the page's main thread
    # (wheel events are): the page runs two more frames before it collects.
    driver.execute_async_script(_SETTLE_JS)
    focus_kept, typed, frames = driver.execute_script(
        "var f = document.getElementById(arguments[0]);"
        " return [document.activeElement === f, f.value, window.__velkoraDriveFrames]",
        field_id,
    )
    result = driver.execute_async_script(_COLLECT_JS)
    if not result or not result.get("ok"):
        raise RuntimeError(f"the page could not collect or post its telemetry: {result and result.get('error')}")
    return Session(
        telemetry=result["envelope"]["telemetry"],
        answer=result["answer"],
        status=int(result["status"]),
        navigator_webdriver=navigator_webdriver,
        focus_kept=bool(focus_kept),
        typed_text=str(typed),
        frames=int(frames),
        stats=stats,
        page_start_ms=page_start_ms,
    )


# --- recorded people --------------------------------------------------------------------


def default_sample() -> Path:
    """``../shared/data/sessions-sample.jsonl`` beside the repository, or under
    VELKORA_SHARED_DATA."""
    data = os.environ.get("VELKORA_SHARED_DATA") or ROOT.parent / "shared" / "data"
    return Path(data) / "sessions-sample.jsonl"


def read_sessions(path: Path) -> list[dict[str, Any]]:
    with path.open(encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def _number(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value):
        return None
    return float(value)


def recorded_keys(session: Mapping[str, Any]) -> list[tuple[str, float, float | None]]:
    """(key, press, release) of a recorded session's keystrokes in press order, whichever
    of the recording's field spellings it uses (``down``/``t``/``time``, ``up`` or
    ``duration_ms``); entries without a press time or released before it are left out."""
    keys = []
    for entry in session.get("keystrokes") or []:
        if not isinstance(entry, dict) or not isinstance(entry.get("key"), str):
            continue
        down = next(
            (v for v in map(_number, (entry.get("down"), entry.get("t"), entry.get("time"))) if v is not None), None
        )
        if down is None:
            continue
        up = _number(entry.get("up"))
        if up is None and (duration := _number(entry.get("duration_ms"))) is not None:
            up = down + duration
        if up is not None and up < down:
            continue
        keys.append((entry["key"], down, up))
    keys.sort(key=lambda k: k[1])
    return keys


def human_script(session: Mapping[str, Any], width: int, height: int, max_ms: float) -> Script:
    """A recorded person's pointer window and key run as a Script for a WIDTH x HEIGHT
    viewport: each stream shifted to start at 0 and cut at MAX_MS; positions scaled by one
    factor from the recording's screen (never enlarged), rounded and clipped into the
    viewport. The recording has no position for wheel notches, so each takes the cursor's
    position at its time."""
    points = sorted(
        (
            (t, x, y)
            for p in session.get("mouse_movements") or []
            if isinstance(p, dict)
            for t, x, y in [(_number(p.get("t")), _number(p.get("x")), _number(p.get("y")))]
            if t is not None and x is not None and y is not None
        ),
        key=lambda p: p[0],
    )
    raw_browser = session.get("browser")
    browser: Mapping[str, Any] = raw_browser if isinstance(raw_browser, dict) else {}
    screen_w = _number(browser.get("screen_width")) or max((p[1] for p in points), default=0.0) + 1
    screen_h = _number(browser.get("screen_height")) or max((p[2] for p in points), default=0.0) + 1
    scale = min(1.0, (width - 1) / max(screen_w, 1.0), (height - 1) / max(screen_h, 1.0))

    def place(x: float, y: float) -> tuple[int, int]:
        return min(max(round(x * scale), 0), width - 1), min(max(round(y * scale), 0), height - 1)

    moves: list[Move] = []
    clicks: list[Click] = []
    scrolls: list[Scroll] = []
    if points:
        t0 = points[0][0]
        moves = [Move(t - t0, *place(x, y)) for t, x, y in points if t - t0 <= max_ms]
        for c in session.get("clicks") or []:
            if not isinstance(c, dict):
                continue
            t, x, y = _number(c.get("t")), _number(c.get("x")), _number(c.get("y"))
            if t is None or x is None or y is None or c.get("button") not in BUTTONS:
                continue
            if 0 <= t - t0 <= max_ms:
                clicks.append(Click(t - t0, *place(x, y), c["button"]))
        for s in session.get("scrolls") or []:
            if not isinstance(s, dict):
                continue
            t = _number(s.get("t"))
            if t is not None and 0 <= t - t0 <= max_ms and s.get("direction") in WHEEL_NOTCH:
                at = next((m for m in reversed(moves) if m.t <= t - t0), moves[0])
                scrolls.append(Scroll(t - t0, at.x, at.y, s["direction"]))
        clicks.sort(key=lambda c: c.t)
        scrolls.sort(key=lambda s: s.t)
    keys: list[Key] = []
    recorded = recorded_keys(session)
    if recorded:
        k0 = recorded[0][1]
        keys = [
            Key(k, down - k0, None if up is None else up - k0)
            for k, down, up in recorded
            if down - k0 <= max_ms and (up is None or up - k0 <= max_ms)
        ]
    return Script(moves=tuple(moves), clicks=tuple(clicks), scrolls=tuple(scrolls), keys=tuple(keys), webdriver=False)


def human_scripts(
    sessions: Iterable[Mapping[str, Any]],
    width: int,
    height: int,
    count: int,
    max_ms: float,
    min_points: int = 10,
    min_keys: int = 6,
) -> list[tuple[str, Script]]:
    """(source id, Script) of the first COUNT recorded sessions that, cut at MAX_MS, still
    have MIN_POINTS pointer samples and MIN_KEYS keys, every one of them released (a
    recording that kept presses only would hold every key down when replayed)."""
    out: list[tuple[str, Script]] = []
    for session in sessions:
        if len(out) >= count:
            break
        script = human_script(session, width, height, max_ms)
        if (
            len(script.moves) >= min_points
            and len(script.keys) >= min_keys
            and all(k.up is not None for k in script.keys)
        ):
            out.append((str(session.get("_id", f"session-{len(out)}")), script))
    return out


# --- records and the summary ------------------------------------------------------------


def _quantile(values: Sequence[float], q: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def _rounded(value: float | None) -> float | None:
    return None if value is None else round(value, 2)


def intervals(samples: Sequence[Mapping[str, Any]]) -> list[float]:
    """Time between consecutive pointer samples, in the order they were recorded."""
    return [float(b["t"]) - float(a["t"]) for a, b in zip(samples, samples[1:])]


def timing_offsets(session: Session) -> list[float]:
    """For every recorded pointer sample at the position of a move that was sent (within
    the collector's 0.01 px rounding), the sample's page time minus the time the script
    meant for that move (the latest one at or before it when a position repeats):
    dispatch lag plus the browser's own delay."""
    sent: dict[tuple[int, int], list[tuple[float, float, float]]] = collections.defaultdict(list)
    for t, x, y in session.stats.moves_sent:
        sent[(round(x), round(y))].append((session.page_start_ms + t, x, y))
    offsets = []
    for p in session.telemetry.get("mouse_movements", []):
        at, x, y = float(p["t"]), float(p["x"]), float(p["y"])
        near = (m for dx in (-1, 0, 1) for dy in (-1, 0, 1) for m in sent.get((round(x) + dx, round(y) + dy), ()))
        times = [t for t, sx, sy in near if abs(sx - x) <= 0.015 and abs(sy - y) <= 0.015]
        if times:
            earlier = [t for t in times if t <= at]
            offsets.append(at - (max(earlier) if earlier else min(times)))
    return offsets


def session_record(
    session: Session, script: Script, _id: str, label: str, family: str, extra: Mapping[str, Any] | None = None
) -> dict[str, Any]:
    """One output line: the collected telemetry, its labels, the verdict and its reasons
    (or the refusal's error codes), both the script's and the browser's automation flag,
    and how the drive went."""
    answer = session.answer
    stats = session.stats
    moves = sorted(m.t for m in script.moves)
    offsets = timing_offsets(session)
    record: dict[str, Any] = dict(session.telemetry)
    record.update(
        _id=_id,
        label=label,
        family=family,
        http_status=session.status,
        verdict=answer.get("verdict"),
        score=answer.get("score"),
        model=answer.get("model"),
        reasons=answer.get("reasons", []),
        **{"error-codes": answer.get("error-codes", [])},
        script_webdriver=bool(script.webdriver),
        navigator_webdriver=session.navigator_webdriver,
        drive={
            "script_moves": len(script.moves),
            "script_clicks": len(script.clicks),
            "script_scrolls": len(script.scrolls),
            "script_keys": len(script.keys),
            "script_key_releases": sum(k.up is not None for k in script.keys),
            "script_move_interval_ms_median": _rounded(_quantile([b - a for a, b in zip(moves, moves[1:])], 0.5)),
            "dispatched": len(stats.lag_ms),
            "coalesced_moves": stats.coalesced_moves,
            "elapsed_ms": round(stats.elapsed_ms, 1),
            "lag_ms_median": _rounded(_quantile(stats.lag_ms, 0.5)),
            "lag_ms_p95": _rounded(_quantile(stats.lag_ms, 0.95)),
            "lag_ms_max": _rounded(max(stats.lag_ms, default=None)),
            "matched_points": len(offsets),
            "timing_offset_ms_median": _rounded(_quantile(offsets, 0.5)),
            "timing_offset_ms_p95": _rounded(_quantile(offsets, 0.95)),
            "frames": session.frames,
            "focus_kept": session.focus_kept,
            "typed_chars": len(session.typed_text),
        },
    )
    record.update(extra or {})
    return record


def summarise(records: Iterable[Mapping[str, Any]]) -> dict[str, dict[str, Any]]:
    """Per family: sessions, verdicts (a refusal counted as ``refused:<code>``), recorded
    points, the median and smallest interval between them, points per second over the
    recorded spans, keys pressed and released as recorded against the script's, the
    median interval of the script's own moves, and the drive's lag."""
    by_family: dict[str, list[Mapping[str, Any]]] = collections.defaultdict(list)
    for r in records:
        by_family[str(r["family"])].append(r)
    summary: dict[str, dict[str, Any]] = {}
    for family, rows in by_family.items():
        gaps: list[float] = []
        script_gaps: list[float] = []
        span = 0.0
        points = []
        verdicts: collections.Counter[str] = collections.Counter()
        for r in rows:
            samples = r.get("mouse_movements", [])
            points.append(len(samples))
            gaps += intervals(samples)
            if len(samples) > 1:
                span += float(samples[-1]["t"]) - float(samples[0]["t"])
            if r.get("verdict") is not None:
                verdicts[str(r["verdict"])] += 1
            else:
                verdicts["refused:" + (",".join(r.get("error-codes", [])) or "unknown")] += 1
            if r["drive"]["script_move_interval_ms_median"] is not None:
                script_gaps.append(r["drive"]["script_move_interval_ms_median"])
        keys = [k for r in rows for k in r.get("keystrokes", [])]
        summary[family] = {
            "sessions": len(rows),
            "verdicts": dict(sorted(verdicts.items())),
            "points_recorded": sum(points),
            "points_per_session_median": _rounded(_quantile(points, 0.5)),
            "interval_ms_median": _rounded(_quantile(gaps, 0.5)),
            "interval_ms_min": _rounded(min(gaps, default=None)),
            "points_per_s": _rounded(1000.0 * sum(max(n - 1, 0) for n in points) / span if span > 0 else None),
            "script_moves": sum(r["drive"]["script_moves"] for r in rows),
            "script_move_interval_ms_median": _rounded(_quantile(script_gaps, 0.5)),
            "coalesced_moves": sum(r["drive"]["coalesced_moves"] for r in rows),
            "keys_pressed": len(keys),
            "keys_released": sum("up" in k for k in keys),
            "script_keys": sum(r["drive"]["script_keys"] for r in rows),
            "lag_ms_median": _rounded(_quantile([r["drive"]["lag_ms_median"] or 0.0 for r in rows], 0.5)),
            "lag_ms_max": _rounded(max((r["drive"]["lag_ms_max"] or 0.0 for r in rows), default=None)),
            "timing_offset_ms_median": _rounded(
                _quantile([r["drive"]["timing_offset_ms_median"] for r in rows if r["drive"]["matched_points"]], 0.5)
            ),
            "navigator_webdriver_true": sum(bool(r["navigator_webdriver"]) for r in rows),
            "script_webdriver_true": sum(bool(r["script_webdriver"]) for r in rows),
        }
    return summary


# --- command ----------------------------------------------------------------------------


_SCRIPT_JSON = """
import dataclasses, json, sys
from detection.families import script_for_browser
family, seed, width, height, duration_ms, n_keys = json.loads(sys.argv[1])
print(json.dumps(dataclasses.asdict(script_for_browser(family, seed, width, height, duration_ms, n_keys))))
"""


def script_from_dict(data: Mapping[str, Any]) -> Script:
    return Script(moves=tuple(Move(**m) for m in data["moves"]), clicks=tuple(Click(**c) for c in data["clicks"]),
                  scrolls=tuple(Scroll(**s) for s in data["scrolls"]), keys=tuple(Key(**k) for k in data["keys"]),
                  webdriver=bool(data["webdriver"]))


def bot_script(family: str, seed: int, width: int, height: int, duration_ms: int, n_keys: int,
               python: str | None = None) -> Script:
    """FAMILY's script for the browser. With PYTHON (the interpreter of the venv that holds the
    adversaries' packages) it is made there and handed over as JSON, so that every family can
    be driven from a venv that has the browser driver but not the adversaries' tools."""
    if python is None:
        # The families are imported on use: a drive of hand-made or recorded scripts needs none.
        from detection.families import script_for_browser

        script: Script = script_for_browser(family, seed, width, height, duration_ms, n_keys)
        return script
    done = subprocess.run([python, "-c", _SCRIPT_JSON, json.dumps([family, seed, width, height, duration_ms, n_keys])],
                          cwd=ROOT, capture_output=True, text=True, timeout=120, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"the {family} script could not be made: {done.stderr.strip()[-500:]}")
    return script_from_dict(json.loads(done.stdout))


def _print_summary(summary: Mapping[str, Mapping[str, Any]]) -> None:
    columns = (
        "sessions",
        "points_recorded",
        "points_per_session_median",
        "interval_ms_median",
        "interval_ms_min",
        "points_per_s",
        "script_moves",
        "script_move_interval_ms_median",
        "coalesced_moves",
        "keys_pressed",
        "keys_released",
        "script_keys",
        "lag_ms_median",
        "lag_ms_max",
        "timing_offset_ms_median",
    )
    families = list(summary)
    width = max(len(c) for c in columns) + 2
    print("".ljust(width) + "".join(f.rjust(12) for f in families))
    for column in columns:
        print(column.ljust(width) + "".join(str(summary[f][column]).rjust(12) for f in families))
    for f in families:
        s = summary[f]
        print(
            f"{f}: verdicts {s['verdicts']}; webdriver true in the script of {s['script_webdriver_true']} "
            f"session(s), in the browser of {s['navigator_webdriver_true']}"
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m detection.browser", description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="directory for the sessions, summary, screenshots")
    parser.add_argument("--sessions", type=int, default=3, help="sessions per source (default 3)")
    parser.add_argument("--families", default="naive,mimic", help="bot families, comma-separated")
    parser.add_argument("--seed", type=int, default=0, help="seed of the first bot session of each family")
    parser.add_argument("--bot-ms", type=int, default=10_000, help="length of a bot session (ms)")
    parser.add_argument("--bot-keys", type=int, default=24, help="keys a bot types")
    parser.add_argument("--human-ms", type=float, default=15_000, help="cut of a replayed person's streams (ms)")
    parser.add_argument("--human-sessions", type=int, default=None,
                        help="recorded people to replay (default: --sessions; every one that qualifies: 0)")
    parser.add_argument("--model", type=Path, default=None, help="model file the service judges with (VELKORA_MODEL)")
    parser.add_argument("--sample", type=Path, default=None, help="recorded sessions (default ../shared/data)")
    parser.add_argument("--detection-python", default=None,
                        help="interpreter of the venv with the adversaries' packages: every family can be driven")
    parser.add_argument("--chromium", default=None)
    parser.add_argument("--chromedriver", default=None)
    args = parser.parse_args(argv)
    if args.sessions < 1:
        parser.error("--sessions must be at least 1")
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    sample = args.sample or default_sample()
    if not sample.is_file():
        parser.error(f"no recorded sessions at {sample}")
    out: Path = args.out
    (out / "screenshots").mkdir(parents=True, exist_ok=True)
    records: list[dict[str, Any]] = []
    if args.model is not None and not args.model.is_file():
        parser.error(f"no model file at {args.model}")
    human_count = args.sessions if args.human_sessions is None else (args.human_sessions or 1_000_000)
    with serve(out / "service.log", model=args.model) as base:
        driver = open_browser(args.chromium, args.chromedriver)
        try:
            width, height = viewport(driver, base)
            log.info("viewport %d x %d", width, height)
            jobs: list[tuple[str, str, str, Script, dict[str, Any]]] = []
            for family in filter(None, args.families.split(",")):
                for i in range(args.sessions):
                    seed = args.seed + i
                    script = bot_script(family, seed, width, height, args.bot_ms, args.bot_keys,
                                        args.detection_python)
                    jobs.append((f"browser-{family}-{seed:04d}", "bot", family, script, {"seed": seed}))
            humans = human_scripts(read_sessions(sample), width, height, human_count, args.human_ms)
            if len(humans) < min(human_count, args.sessions):
                log.warning("only %d recorded sessions qualify for replay", len(humans))
            for source, script in humans:
                jobs.append((f"browser-human-{source}", "human", "human", script, {"source": source}))
            shot: set[str] = set()
            for _id, label, family, script, extra in jobs:
                session = run_session(driver, base, script)
                record = session_record(session, script, _id, label, family, extra)
                records.append(record)
                d = record["drive"]
                log.info(
                    "%s: %s (%s), %d points, %d keys, lag median %s ms max %s ms, %d moves merged",
                    _id,
                    record["verdict"] or record["error-codes"],
                    [r["code"] for r in record["reasons"]],
                    len(record["mouse_movements"]),
                    len(record["keystrokes"]),
                    d["lag_ms_median"],
                    d["lag_ms_max"],
                    d["coalesced_moves"],
                )
                # Bots only: a replayed person's field shows what that person typed.
                if label == "bot" and family not in shot:
                    shot.add(family)
                    driver.save_screenshot(str(out / "screenshots" / f"{_id}.png"))
        finally:
            driver.quit()
    with (out / "sessions.jsonl").open("w", encoding="utf-8") as f:
        for record in records:
            f.write(json.dumps(record, sort_keys=True) + "\n")
    summary = summarise(records)
    (out / "summary.json").write_text(json.dumps(summary, indent=2, sort_keys=True) + "\n", encoding="utf-8")
    _print_summary(summary)
    refused = [r["_id"] for r in records if r["verdict"] is None]
    if refused:
        print(f"{len(refused)} session(s) got no verdict: {', '.join(refused)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
