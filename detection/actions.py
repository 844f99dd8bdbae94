"""What a bot dispatches, and the shape of the person it imitates.

A family turns a :class:`Plan` and a seeded ``random.Random`` into a :class:`Script`:
times in milliseconds from the session's start. A capture (``detection.sensor``) then
decides what a recorder sees of it. Standard library only.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

KEY_FORMATS = ("down_up", "t_duration", "time_up", "down_only")


@dataclass(frozen=True)
class Move:
    """The cursor moved to (x, y) at t."""

    t: float
    x: float
    y: float


@dataclass(frozen=True)
class Click:
    """A button press at (x, y)."""

    t: float
    x: float
    y: float
    button: str = "left"


@dataclass(frozen=True)
class Scroll:
    """One wheel notch."""

    t: float
    x: float
    y: float
    direction: str = "down"


@dataclass(frozen=True)
class Key:
    """A key press (``KeyboardEvent.key`` name); ``up`` None when never released."""

    key: str
    down: float
    up: float | None


@dataclass(frozen=True)
class Script:
    """Everything a driver dispatches in one session, each list in time order."""

    moves: tuple[Move, ...] = ()
    clicks: tuple[Click, ...] = ()
    scrolls: tuple[Scroll, ...] = ()
    keys: tuple[Key, ...] = ()
    webdriver: bool = False


@dataclass(frozen=True)
class Plan:
    """The shape of one scored person's session, which a bot session copies so that its
    length, its key record format, its clock and its browser give nothing away.

    Times of a bot's script count from the session's start (0); the recorded session
    starts at ``start_ms`` on the plan's time base (``relative``: page milliseconds;
    ``epoch``: Unix milliseconds). The pointer stream starts ``pointer_offset_ms`` and
    the key stream ``keys_offset_ms`` after it (None where the person has no such stream).
    ``page_start_ms`` is where the session starts on the page clock the browser
    collector uses: ``start_ms`` for a relative plan, else a page time drawn from the
    relative people (an epoch clock says nothing about when the page loaded).
    """

    person: str
    n_points: int
    n_keys: int
    click_buttons: tuple[str, ...]
    scroll_directions: tuple[str, ...]
    key_format: str | None
    time_base: str
    start_ms: int
    page_start_ms: int
    pointer_offset_ms: int | None
    keys_offset_ms: int | None
    capture_pace: str | None  # the recorder's pace in the person's window: fast, slow or unknown
    browser: dict[str, Any] = field(hash=False)

    @property
    def n_clicks(self) -> int:
        return len(self.click_buttons)

    @property
    def n_scrolls(self) -> int:
        return len(self.scroll_directions)

    @property
    def screen(self) -> tuple[int, int]:
        """(width, height) of the plan's screen: where a bot's cursor may go."""
        return int(self.browser.get("screen_width") or 1920), int(self.browser.get("screen_height") or 1080)

    def browser_for(self, webdriver: bool) -> dict[str, Any]:
        """A copy of the person's browser dict with the family's automation flag."""
        out = dict(self.browser)
        out["webdriver"] = webdriver
        return out
