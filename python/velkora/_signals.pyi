# Type information for the velkora._signals extension module.
#
# TraceSketch and Signals exist only for the type checker: the module itself carries
# the functions trace_sketch and signals and the type Forest, and nothing else. Import
# them under `if typing.TYPE_CHECKING:` (or quote the annotations that use them).

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

from velkora_core_rs import Telemetry

__all__ = ["trace_sketch", "signals", "Forest"]

@type_check_only
class TraceSketch(TypedDict):
    version: int  # 1; a sketch of another version is not comparable with this one
    # Per stream (pointer path, key timing): band hashes, MinHash signature (both lists of
    # unsigned 64-bit ints) and the number of distinct shingles they summarise. With no
    # shingles both lists are empty: there is nothing to match on.
    pointer_bands: list[int]  # 32 values
    pointer_signature: list[int]  # 32 values
    pointer_shingles: int
    key_bands: list[int]
    key_signature: list[int]
    key_shingles: int

def trace_sketch(telemetry: Telemetry) -> TraceSketch:
    """A fingerprint of a session's pointer path and key timing, which a replay of the same
    recorded trace keeps sharing and the traces of other movements do not.

    Reads the telemetry as extract_features_rs does and never raises on it: anything but a
    dict, and every unusable entry, is left out. Two sketches match when a band hash is
    equal; the share of equal signature values estimates the Jaccard similarity of their
    shingle sets. Deterministic: the same telemetry gives the same sketch in every process.

    >>> trace_sketch({"mouse_movements": [{"x": 0, "y": 0, "t": 0}]})["pointer_shingles"]
    0
    """

@type_check_only
class Signals(TypedDict):
    """Behavioural signals, every one a float, NaN when the session does not allow
    measuring it; the keys come in this order. Definitions in docs/signals.md."""

    # Pointer movements (split at pauses of 300 ms or a stay of 300 ms in one place).
    pointer_movement_count: float  # movements long enough to measure
    pointer_movement_duration_median_ms: float
    pointer_straightness_median: float  # chord / path length, per movement
    pointer_straightness_min: float
    pointer_peak_time_median: float  # time of peak speed / duration
    pointer_peak_time_iqr: float
    pointer_submovements_mean: float  # speed maxima of >= 0.3 of the peak, per movement
    pointer_submovements_multi_share: float  # movements with more than one
    pointer_backtrack_mean: float  # share of the path on steps against the chord
    pointer_endpoint_phase_median: float  # share of the path after 90 % of the chord
    pointer_overshoot_share: float  # movements past their end point by > 2 % of the chord
    pointer_overshoot_mean: float  # distance past the end point / chord
    pointer_fitts_slope_ms: float  # duration ~ a + b log2(chord / 20 + 1): b, ms per bit
    pointer_fitts_intercept_ms: float  # a
    pointer_fitts_residual_ms: float  # root mean square residual
    # Steps between consecutive samples and the turns between moving steps.
    pointer_zero_step_share: float
    pointer_unit_step_share: float
    pointer_axis_step_share: float
    pointer_collinear_share: float
    pointer_turn_mean_abs: float  # radians
    pointer_turn_p90_abs: float  # radians
    pointer_turn_zero_share: float
    pointer_turn_sign_change_share: float
    # Keystrokes (in press order; holds and flights of keys that are not modifiers).
    key_press_count: float
    key_shift_share: float
    key_modifier_share: float  # Control, Alt, AltGraph, Meta, OS
    key_shift_chord_share: float  # typing keys pressed while a Shift is down
    key_rollover_share: float  # presses before the previous key's release
    key_correction_share: float  # Backspace and Delete
    key_hold_p10_ms: float
    key_hold_p50_ms: float
    key_hold_p90_ms: float
    key_hold_iqr_ratio: float
    key_hold_cv: float
    key_flight_rp_p10_ms: float  # release to next press
    key_flight_rp_p50_ms: float
    key_flight_rp_p90_ms: float
    key_flight_rp_iqr_ms: float
    key_flight_pp_p10_ms: float  # press to next press
    key_flight_pp_p50_ms: float
    key_flight_pp_p90_ms: float
    key_flight_pp_iqr_ratio: float
    key_negative_flight_share: float
    key_digraph_cv_median: float  # over key pairs that repeat

def signals(telemetry: Telemetry) -> Signals:
    """Behavioural signals of a session's pointer movements, pixel steps and keystrokes:
    44 floats in a fixed order, NaN where one cannot be measured (no movements, too few
    keys), for a model that treats NaN as missing.

    Reads the telemetry as extract_features_rs does and never raises on it: anything but a
    dict, and every unusable entry, is left out. Deterministic: the same telemetry gives the
    same bits in every process.

    >>> line = [{"x": 10 * i, "y": 0, "t": 10 * i} for i in range(21)]
    >>> s = signals({"mouse_movements": line})
    >>> s["pointer_movement_count"], s["pointer_straightness_median"], s["pointer_backtrack_mean"]
    (1.0, 1.0, 0.0)
    >>> s["key_hold_p50_ms"]
    nan
    """
# One node: (feature, threshold, missing_left, left, right, value); see Forest.
type _ForestNode = tuple[SupportsIndex, SupportsFloat, bool, SupportsIndex, SupportsIndex, SupportsFloat]

@final
class Forest:
    """A gradient-boosted tree ensemble over `feature_count` numeric features, checked and
    flattened once, then scored natively: immutable, safe to share between threads.

    `trees` is a sequence of trees, each a sequence of nodes, the root first; a node is a
    tuple (feature, threshold, missing_left, left, right, value). `left` and `right` are
    positions in the tree's own node list, greater than the node's; a leaf has
    left == right == -1 and only its value is read. At a split a row goes left when
    row[feature] <= threshold, and a NaN goes left exactly when missing_left is true.
    Thresholds may be infinite, not NaN; values and the baseline must be finite.

    Ints (and objects with __index__) are taken for the int fields; floats, ints (converted
    as float() converts them) and objects with __float__ for the float fields; bools for
    neither. A malformed tree raises ValueError naming the tree, the node and the fault;
    a value of the wrong type raises TypeError.

    >>> f = Forest(1, 0.5, [[(0, 1.0, True, 1, 2, 0.0), (-1, 0.0, False, -1, -1, -1.0),
    ...                      (-1, 0.0, False, -1, -1, 3.0)]])
    >>> f.raw([0.5]), f.raw([2.0]), f.raw([float("nan")])
    (-0.5, 3.5, -0.5)
    >>> f.explain([2.0])
    (3.5, 0.5, [3.0])
    """

    def __new__(cls, feature_count: SupportsIndex, baseline: SupportsFloat,
                trees: Sequence[Sequence[_ForestNode]]) -> Forest: ...
    @property
    def feature_count(self) -> int: ...
    @property
    def tree_count(self) -> int: ...
    @property
    def baseline(self) -> float: ...
    def raw(self, row: Sequence[SupportsFloat]) -> float:
        """The raw score (log-odds) of `row`, which holds feature_count values (NaN for a
        missing one): the baseline plus each tree's leaf, added in tree order. A row of
        another length raises ValueError, an item that is not a number TypeError."""
    def explain(self, row: Sequence[SupportsFloat]) -> tuple[float, float, list[float]]:
        """(raw, bias, contributions): raw as raw() gives it; bias, the baseline plus each
        tree's root value; contributions, one per feature, the sum over the row's paths of
        value(child) - value(split) at each split on that feature. bias + sum(contributions)
        equals raw up to rounding."""
