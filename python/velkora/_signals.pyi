# Type information for the velkora._signals extension module.
#
# TraceSketch exists only for the type checker: the module itself carries one
# function and nothing else. Import it under `if typing.TYPE_CHECKING:` (or quote
# the annotations that use it).

from typing import TypedDict, type_check_only

from velkora_core_rs import Telemetry

__all__ = ["trace_sketch"]

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
