# Type information for the velkora_core_rs extension module.
#
# The TypedDicts below exist only for the type checker: the module
# itself carries the thirteen functions and nothing else. Import them under
# `if typing.TYPE_CHECKING:` (or quote the annotations that use them).
#
# Input types describe what the forgiving readers look at. The readers never
# raise on malformed telemetry: a key of the wrong type is read as absent, so
# these types say what gets used, not what is refused. Numbers are anything
# the interpreter converts to a float (int and bool included); times are the
# client's milliseconds and positions its screen units.

from collections.abc import Sequence
from typing import (
    Any,
    Literal,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    overload,
    type_check_only,
)

__all__ = [
    "is_rust_core_active",
    "get_core_version",
    "extract_features_rs",
    "evaluate_curvature_naturalness_rs",
    "evaluate_curvature_zerocopy_rs",
    "evaluate_keystroke_dynamics_rs",
    "consume_nonce_rs",
    "is_ip_banned_rs",
    "ban_ip_rs",
    "unban_ip_rs",
    "hydrate_bans_rs",
    "clear_state_engine_rs",
    "get_state_engine_stats_rs",
]

# An item of a curvature array: a float, an int, a bool or anything with
# __float__ or __index__.
_FloatLike: TypeAlias = SupportsFloat | SupportsIndex

# ---- telemetry input of extract_features_rs --------------------------------

@type_check_only
class BrowserInfo(TypedDict, total=False):
    webdriver: bool  # only True/False (or a NumPy bool) count; anything else reads as False
    screen_width: float  # missing or unreadable: 0.0
    screen_height: float  # decides screen_valid, not returned
    touch_supported: bool
    max_touch_points: int  # an integer, not a float
    plugins_length: int  # an integer, not a float; default 1

@type_check_only
class MouseSample(TypedDict, total=False):
    x: float  # required with y and t, all finite, else the sample is skipped
    y: float
    t: float  # ms
    r: float  # touch radius; counted only when > 0
    f: float  # touch force; counted only when > 0

@type_check_only
class TelemetryKeystroke(TypedDict, total=False):
    # Press time: the first of "t", "down", "time" that is a finite number.
    t: float
    down: float
    time: float
    key: str  # missing or not a str: "unknown"
    up: float | None  # release time; None reads as absent
    duration_ms: float  # used for the release time (down + duration_ms) when "up" is unusable

@type_check_only
class Telemetry(TypedDict, total=False):
    browser: BrowserInfo
    mouse_movements: list[MouseSample]
    keystrokes: list[TelemetryKeystroke]  # only the first 150 entries are looked at
    clicks: list[Any]  # only the length of the list counts
    scrolls: list[Any]  # only the length of the list counts

# ---- keystroke input of evaluate_keystroke_dynamics_rs ---------------------

# (key, down, up): up None means no release was reported. The aliases are
# private because stubtest rightly finds no such name at runtime; spell the
# tuple out where a caller needs to name it.
_KeystrokeTuple: TypeAlias = tuple[str, float, float | None]

@type_check_only
class KeystrokeRecord(TypedDict, total=False):
    type: str  # exactly "up" marks a release record, which is skipped
    # Press time: the first of "down", "t", "time" that is a finite number.
    down: float
    t: float
    time: float
    key: str
    up: float | None
    duration_ms: float

_KeystrokeEvent: TypeAlias = _KeystrokeTuple | KeystrokeRecord

# ---- results ---------------------------------------------------------------

@type_check_only
class Features(TypedDict):
    mouse_points: int
    total_distance: float
    straightness: float
    avg_velocity: float
    max_velocity: float
    velocity_var: float
    avg_acceleration: float
    acceleration_var: float
    avg_jerk: float
    dt_var: float
    click_count: int
    key_count: int
    key_interval_avg: float
    key_interval_var: float
    webdriver: bool
    screen_valid: bool
    scroll_count: int
    terminal_decel_ratio: float
    plugins_length: int
    touch_supported: bool
    screen_width: float
    spectral_purity: float
    spectral_entropy: float
    submovement_count: int
    max_touch_points: int
    avg_touch_radius: float
    touch_radius_var: float
    avg_touch_force: float
    touch_event_count: int
    curvature_score: float
    mean_curvature: float
    curvature_var: float
    curvature_rate_var: float
    avg_dwell_time: float
    dwell_time_var: float
    avg_flight_time: float
    flight_time_var: float
    digraph_entropy: float
    keystroke_score: float

@type_check_only
class CurvatureFeatures(TypedDict):
    curvature_score: float
    mean_curvature: float
    curvature_var: float
    curvature_rate_var: float

@type_check_only
class KeystrokeFeatures(TypedDict):
    key_count: int
    avg_dwell_time: float
    dwell_time_var: float
    avg_flight_time: float
    flight_time_var: float
    digraph_entropy: float
    keystroke_score: float

@type_check_only
class StateEngineStats(TypedDict):
    current_bucket_nonces: int
    previous_bucket_nonces: int
    active_ip_bans: int

# ---- functions, in the module's order ---------------------------------------

def is_rust_core_active() -> Literal[True]:
    """Always True: the native core is loaded.

    >>> is_rust_core_active()
    True
    """

def get_core_version() -> str:
    """The core's own build string, "0.9.4-native-rust" (not the distribution version)."""

def extract_features_rs(telemetry: Telemetry) -> Features:
    """The 39 behavioural features of one telemetry session, as a new dict in a fixed key order.

    Reads any object and never raises: anything but a dict gives every default, and a
    key of the wrong type counts as missing. Times are the client's milliseconds and
    positions its screen units; velocities are units/ms, accelerations units/ms².
    Kinematic features use the 300 earliest pointer samples, keystroke features the
    first 150 keystrokes.

    >>> extract_features_rs({"mouse_movements": [{"x": 0, "y": 0, "t": 0}]})["mouse_points"]
    1
    """

def evaluate_curvature_naturalness_rs(
    x: Sequence[_FloatLike], y: Sequence[_FloatLike], t: Sequence[_FloatLike]
) -> CurvatureFeatures:
    """Curvature of one pointer path given as x, y and time (ms) sequences.

    Returns curvature_score (0.95, 0.9, 0.85, 0.75 or 0.1), mean_curvature (1/unit),
    curvature_var and curvature_rate_var; all 0.0 with fewer than 4 samples. Only the
    first n samples are used, n the shortest length.

    Raises TypeError ("argument 'x': ...") for a str or a non-sequence, or an item that
    is not a number; OverflowError for an int too large for a float.

    >>> evaluate_curvature_naturalness_rs([0, 1, 2, 3], [0, 0, 0, 0], [0, 16, 32, 48])["curvature_score"]
    0.95
    """

def evaluate_curvature_zerocopy_rs(
    x_obj: Sequence[_FloatLike], y_obj: Sequence[_FloatLike], t_obj: Sequence[_FloatLike]
) -> CurvatureFeatures:
    """The same result as evaluate_curvature_naturalness_rs(x_obj, y_obj, t_obj).

    Raises the same errors, without the "argument '...': " prefix on a TypeError.
    """

# Only a list is read (a tuple of events reads as no events). One overload per
# list type because list is invariant: a list[KeystrokeRecord] is no
# list[_KeystrokeEvent], and a union of list types gives a mixed literal no
# context to be inferred in.
@overload
def evaluate_keystroke_dynamics_rs(keystrokes: list[_KeystrokeEvent]) -> KeystrokeFeatures:
    """Typing rhythm of a list of keystrokes: (key, down, up) tuples or dicts.

    Returns key_count, dwell and flight means (ms) and variances (ms²),
    digraph_entropy (0-1) and keystroke_score (0-1). Never raises: anything but a
    list reads as no events, and unreadable elements are skipped.

    >>> evaluate_keystroke_dynamics_rs([("h", 0.0, 80.0), ("i", 140.0, 215.0)])["key_count"]
    2
    """

@overload
def evaluate_keystroke_dynamics_rs(keystrokes: list[_KeystrokeTuple]) -> KeystrokeFeatures:
    """Typing rhythm of (key, down ms, up ms or None) tuples; see the first overload."""

@overload
def evaluate_keystroke_dynamics_rs(keystrokes: list[KeystrokeRecord]) -> KeystrokeFeatures:
    """Typing rhythm of keystroke dicts ({"key", "down", "up"}, ...); see the first overload."""

def consume_nonce_rs(nonce: str) -> bool:
    """True the first time this process sees the nonce, False for a replay.

    Raises TypeError for a non-str and UnicodeEncodeError for lone surrogates.

    >>> consume_nonce_rs("4f1c"), consume_nonce_rs("4f1c")
    (True, False)
    """

def is_ip_banned_rs(ip: str) -> bool:
    """True while a ban of this address (any string, compared exactly) is active.

    Raises TypeError for a non-str and UnicodeEncodeError for lone surrogates.
    """

def ban_ip_rs(ip: str, duration_sec: SupportsIndex) -> None:
    """Bans the address for duration_sec seconds from now (an int, 0 to 2**64 - 1),
    replacing any earlier ban of it.

    Raises TypeError for a non-str address or a non-integer duration (a float
    included), OverflowError for a negative or too large one.

    >>> ban_ip_rs("203.0.113.7", 3600)  # one hour
    """

def unban_ip_rs(ip: str) -> None:
    """Lifts any ban of the address; nothing happens when there is none.

    Raises TypeError for a non-str and UnicodeEncodeError for lone surrogates.
    """

def hydrate_bans_rs(bans: Sequence[tuple[str, SupportsIndex]]) -> None:
    """Loads bans from a shared store: (address, absolute end time in Unix seconds)
    pairs, each replacing the end time of that address; pairs already expired are
    skipped, and no ban is removed.

    Raises TypeError for a str or a non-sequence, or a pair that is not a tuple;
    ValueError for a tuple not of two items; OverflowError for an end time out of
    0 to 2**64 - 1.

    >>> hydrate_bans_rs([("203.0.113.7", 1_900_000_000)])
    """

def clear_state_engine_rs() -> None:
    """Forgets every nonce and ban of this process (the memory stays reserved)."""

def get_state_engine_stats_rs() -> StateEngineStats:
    """Counts of this process's state engine: nonces in the current and previous
    buckets, and active IP bans."""
