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

def is_rust_core_active() -> Literal[True]: ...
def get_core_version() -> str: ...
def extract_features_rs(telemetry: Telemetry) -> Features: ...
def evaluate_curvature_naturalness_rs(
    x: Sequence[_FloatLike], y: Sequence[_FloatLike], t: Sequence[_FloatLike]
) -> CurvatureFeatures: ...
def evaluate_curvature_zerocopy_rs(
    x_obj: Sequence[_FloatLike], y_obj: Sequence[_FloatLike], t_obj: Sequence[_FloatLike]
) -> CurvatureFeatures: ...

# Only a list is read (a tuple of events reads as no events). One overload per
# list type because list is invariant: a list[KeystrokeRecord] is no
# list[_KeystrokeEvent], and a union of list types gives a mixed literal no
# context to be inferred in.
@overload
def evaluate_keystroke_dynamics_rs(keystrokes: list[_KeystrokeEvent]) -> KeystrokeFeatures: ...
@overload
def evaluate_keystroke_dynamics_rs(keystrokes: list[_KeystrokeTuple]) -> KeystrokeFeatures: ...
@overload
def evaluate_keystroke_dynamics_rs(keystrokes: list[KeystrokeRecord]) -> KeystrokeFeatures: ...
def consume_nonce_rs(nonce: str) -> bool: ...
def is_ip_banned_rs(ip: str) -> bool: ...
def ban_ip_rs(ip: str, duration_sec: SupportsIndex) -> None: ...
def unban_ip_rs(ip: str) -> None: ...

# (address, absolute end time in seconds since the Unix epoch); only tuples,
# never lists, are accepted as pairs.
def hydrate_bans_rs(bans: Sequence[tuple[str, SupportsIndex]]) -> None: ...
def clear_state_engine_rs() -> None: ...
def get_state_engine_stats_rs() -> StateEngineStats: ...
