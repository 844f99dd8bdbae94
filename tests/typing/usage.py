"""Checked by mypy --strict, never run: what the stubs let through and what they refuse.

Each `# type: ignore[code]` below marks a call that must be refused; with
--strict an ignore that is no longer needed is itself an error, so a stub that
grows too lax fails the check as surely as one that grows too strict.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

import velkora_core_rs as core

if TYPE_CHECKING:
    from velkora_core_rs import (
        CurvatureFeatures,
        Features,
        KeystrokeFeatures,
        KeystrokeRecord,
        MouseSample,
        StateEngineStats,
        Telemetry,
    )


def features() -> None:
    telemetry: Telemetry = {
        "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080,
                    "plugins_length": 3},
        "mouse_movements": [{"x": 1, "y": 2.5, "t": 0}, {"x": 3, "y": 4, "t": 16, "r": 1.5}],
        "keystrokes": [{"key": "a", "t": 0, "up": 80}, {"down": 100, "duration_ms": 70}],
        "clicks": [{"t": 60}],
        "scrolls": [],
    }
    result = core.extract_features_rs(telemetry)
    assert_type(result, Features)
    assert_type(result["mouse_points"], int)
    assert_type(result["straightness"], float)
    assert_type(result["webdriver"], bool)
    assert_type(core.extract_features_rs({}), Features)
    core.extract_features_rs(telemetry=telemetry)

    samples: list[MouseSample] = [{"x": 0, "y": 0, "t": 0}]
    core.extract_features_rs({"mouse_movements": samples})
    core.extract_features_rs({"browser": {"plugins_length": 2.5}})  # type: ignore[typeddict-item]
    core.extract_features_rs({"mouse_movement": []})  # type: ignore[typeddict-unknown-key]
    core.extract_features_rs({"clicks": (1, 2)})  # type: ignore[typeddict-item]
    result["height"]  # type: ignore[typeddict-item]


def curvature() -> None:
    xs = [0.0, 10.0, 20.0, 25.0]
    assert_type(core.evaluate_curvature_naturalness_rs(xs, (0, 0, 5, 15), range(4)),
                CurvatureFeatures)
    assert_type(core.evaluate_curvature_zerocopy_rs(x_obj=xs, y_obj=xs, t_obj=b"\x00\x01"),
                CurvatureFeatures)
    score: float = core.evaluate_curvature_naturalness_rs(x=xs, y=xs, t=xs)["curvature_score"]
    del score
    core.evaluate_curvature_naturalness_rs("0123", xs, xs)  # type: ignore[arg-type]
    core.evaluate_curvature_zerocopy_rs(x=xs, y=xs, t=xs)  # type: ignore[call-arg]


def keystrokes() -> None:
    tuples: list[tuple[str, float, float | None]] = [("a", 0, 80), ("b", 120.5, None)]
    records: list[KeystrokeRecord] = [{"type": "down", "key": "a", "down": 0, "up": 80}]
    assert_type(core.evaluate_keystroke_dynamics_rs(tuples), KeystrokeFeatures)
    assert_type(core.evaluate_keystroke_dynamics_rs(records), KeystrokeFeatures)
    mixed = core.evaluate_keystroke_dynamics_rs([("a", 0, 80), {"t": 100, "duration_ms": 60}])
    assert_type(mixed["key_count"], int)
    core.evaluate_keystroke_dynamics_rs(keystrokes=[])
    core.evaluate_keystroke_dynamics_rs((("a", 0, 80),))  # type: ignore[call-overload]
    core.evaluate_keystroke_dynamics_rs([["a", 0, 80]])  # type: ignore[list-item]


def state_engine() -> None:
    fresh: bool = core.consume_nonce_rs("n-1")
    banned: bool = core.is_ip_banned_rs(ip="203.0.113.7")
    del fresh, banned
    assert_type(core.ban_ip_rs("203.0.113.7", 3600), None)
    core.ban_ip_rs(ip="203.0.113.7", duration_sec=True)
    core.unban_ip_rs("203.0.113.7")
    core.hydrate_bans_rs([("203.0.113.7", 1_900_000_000)])
    core.hydrate_bans_rs(bans=())
    core.clear_state_engine_rs()
    stats = core.get_state_engine_stats_rs()
    assert_type(stats, StateEngineStats)
    assert_type(stats["active_ip_bans"], int)

    core.consume_nonce_rs(b"n-1")  # type: ignore[arg-type]
    core.ban_ip_rs("203.0.113.7", 1.5)  # type: ignore[arg-type]
    core.ban_ip_rs("203.0.113.7")  # type: ignore[call-arg]
    core.hydrate_bans_rs([["203.0.113.7", 1]])  # type: ignore[list-item]
    core.hydrate_bans_rs("ab")  # type: ignore[arg-type]
    core.hydrate_bans_rs([("203.0.113.7", 1, 2)])  # type: ignore[list-item]
    core.clear_state_engine_rs(1)  # type: ignore[call-arg]


def module() -> None:
    assert_type(core.get_core_version(), str)
    active: bool = core.is_rust_core_active()
    del active
    names: list[str] = core.__all__
    del names
