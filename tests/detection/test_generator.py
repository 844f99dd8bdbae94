"""The bot-family generator of the detection benchmark (detection/): the people it may
score, the captures, the key representation, and the families' reproducibility.

Runs in the detection venv (.venv-detection), which holds the adversaries' packages."""

from __future__ import annotations

import json
import math
import random
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest

from detection import humans
from detection.actions import Move, Plan, Script
from detection.families import FAMILIES, derive_seed, load, script_for_browser, session_script
from detection.keyshape import key_code, keyshape, records_of
from detection.sensor import (
    COLLECTOR_MAX_POINTS,
    FRAME_MS,
    TICK_MS,
    MatchedParams,
    collector_telemetry,
    matched_points,
    matched_telemetry,
)

pytestmark = pytest.mark.detection

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def data() -> humans.HumanData:
    root = humans.default_data_dir()
    if not (root / humans.TRAIN_FILE).exists():
        pytest.skip(f"missing: the shared data in {root}")
    return humans.load(root)


# -- people --------------------------------------------------------------------------


def test_overlap_with_the_sample(data: humans.HumanData) -> None:
    """14 train/sample pairs share pointer rows, from 13 train windows (train-100 meets
    two sample windows); 10 key runs share rows. The rest, 377, are scored."""
    summary = data.overlap.summary()
    assert summary["pointer"] == {"train_sessions": 13, "pairs": 14}
    assert summary["keystrokes"] == {"train_sessions": 10, "pairs": 10}
    assert len(data.scored) == 400 - 23
    scored = {s["_id"] for s in data.scored}
    assert "train-100" not in scored and "train-043" not in scored


def test_groups_of_a_person(data: humans.HumanData) -> None:
    by_id = {s["_id"]: s for s in data.train}
    groups = humans.groups_of(by_id["train-001"])
    assert groups["pointer_user"].startswith("balabit/user")
    assert groups["recording"].startswith(groups["pointer_user"] + "/session_")
    assert groups["key_participant"].startswith("136m/") and groups["key_participant"][5:].isdigit()


def test_plan_copies_shape_not_content(data: humans.HumanData) -> None:
    person = next(s for s in data.scored if s["clicks"] and s["keystrokes"])
    plan = humans.make_plan(person, random.Random(1), data.relative_starts())
    assert (plan.n_points, plan.n_keys, plan.n_clicks) == (
        len(person["mouse_movements"]), len(person["keystrokes"]), len(person["clicks"])
    )  # fmt: skip
    assert plan.key_format == person["_source"]["conversion"]["key_format"]
    assert plan.browser == person["browser"] and plan.browser is not person["browser"]
    assert plan.browser_for(True)["webdriver"] is True and person["browser"]["webdriver"] is False


# -- the matched capture -------------------------------------------------------------


def _on_tick(stamps: list[int], phase: float) -> bool:
    return all(abs(t - (phase + round((t - phase) / TICK_MS) * TICK_MS)) <= 0.5 + 1e-6 for t in stamps)


def test_sample_stamps_fall_on_the_recorder_clock(data: humans.HumanData) -> None:
    """The constant the matched capture uses: every long sample window's stamps lie in
    a 1 ms band of phase + k * TICK_MS for one phase."""
    for s in data.sample:
        stamps = [p["t"] for p in s["mouse_movements"]]
        if len(stamps) < 200:
            continue
        residues = sorted(t % TICK_MS for t in stamps)
        gaps = [b - a for a, b in zip(residues, residues[1:])] + [residues[0] + TICK_MS - residues[-1]]
        assert TICK_MS - max(gaps) <= 1.01, s["_id"]  # the clock drifts by < 0.01 ms over a window


def _sweeping_moves(n: int = 4000, step_ms: float = 8.0) -> list[Move]:
    """A cursor that never stops: every dispatched position differs from the last."""
    return [Move(i * step_ms, 200 + 150 * math.sin(i / 40), 300 + 0.9 * i % 500) for i in range(n)]


def test_matched_capture_looks_like_the_recording(data: humans.HumanData) -> None:
    blocks = data.content.capture_blocks
    params = MatchedParams(seed=7, base_ms=1_471_983_335_347.0, blocks=blocks)
    points = matched_points(_sweeping_moves(), params)
    stamps = [p.t for p in points]
    assert _on_tick(stamps, params.clock().phase)
    assert all(isinstance(p.x, int) and isinstance(p.y, int) for p in points)
    assert all((a.x, a.y) != (b.x, b.y) for a, b in zip(points, points[1:]))
    intervals = [b - a for a, b in zip(stamps, stamps[1:])]
    assert min(intervals) == 0
    zero = sum(d == 0 for d in intervals) / len(intervals)
    assert abs(zero - data.content.zero_interval_share()) < 0.03
    human = sorted(d for block in blocks for d in block)
    assert sorted(intervals)[len(intervals) // 2] == pytest.approx(human[len(human) // 2], abs=16)


def test_matched_capture_follows_the_recorders_pace(data: humans.HumanData) -> None:
    """The recorder ran at one tick or at about seven per reading, set per recording: a bot
    copying a person recorded at either pace is captured at that pace (intervals still
    drawn from the sample), so that the pace tells neither the person nor the label."""
    by_pace: dict[str | None, list[dict[str, Any]]] = {}
    for person in data.scored:
        by_pace.setdefault(humans.capture_pace(person), []).append(person)
    assert len(by_pace["fast"]) > 30 and len(by_pace["slow"]) > 30
    for pace, person in (("fast", by_pace["fast"][0]), ("slow", by_pace["slow"][0])):
        plan = humans.make_plan(person, random.Random(5), data.relative_starts())
        assert plan.capture_pace == pace
        blocks = data.content.blocks_for(plan.capture_pace)
        assert 0 < len(blocks) < len(data.content.capture_blocks)
        points = matched_points(_sweeping_moves(), MatchedParams(7, float(plan.start_ms), blocks))
        intervals = sorted(b.t - a.t for a, b in zip(points, points[1:]))
        median = intervals[len(intervals) // 2]
        assert (median < humans.FAST_CAPTURE_MAX_MS) is (pace == "fast"), (pace, median)
    assert data.content.blocks_for(None) == data.content.capture_blocks


def test_matched_capture_cut_yields_the_plan_points(data: humans.HumanData) -> None:
    family = load("naive", data.content)
    op = family.operator(random.Random(3))
    for person in data.scored[:12]:
        plan = humans.make_plan(person, random.Random(5), data.relative_starts())
        params = MatchedParams(11, float(plan.start_ms), data.content.capture_blocks)
        session = session_script(family, op, plan, 13, params)
        telemetry = matched_telemetry(session.script, params, plan.n_points)
        assert len(telemetry["mouse_movements"]) == plan.n_points
        mm = telemetry["mouse_movements"]
        for event in telemetry["clicks"] + telemetry["scrolls"]:
            assert mm[0]["t"] <= event["t"] <= mm[-1]["t"]
        assert all(s["x"] == 0 and s["y"] == 0 for s in telemetry["scrolls"])


def test_collector_capture() -> None:
    moves = _sweeping_moves(2000, 4.0)
    script = Script(tuple(moves), (), (), (), False)
    out = collector_telemetry(script, page_start=1234.5, frame_phase=3.0, session_id="x")
    mm = out["mouse_movements"]
    assert len(mm) == COLLECTOR_MAX_POINTS
    assert mm[-1]["t"] == round((1234.5 + moves[-1].t) * 100) / 100
    frames = [math.ceil((p["t"] - 3.0) / FRAME_MS - 1e-9) for p in mm]
    assert len(set(frames)) == len(frames)  # one sample per animation frame
    assert all(round(p["t"], 2) == p["t"] for p in mm)


# -- keys ----------------------------------------------------------------------------


def _shape(records: list[dict[str, Any]]) -> list[tuple[str, float, float | None]]:
    out = keyshape(records, "session-1")
    return [(k["key"], k["down"], k.get("up")) for k in out]


def test_keyshape_formats_agree() -> None:
    base = [("H", 100, 180), ("e", 200, 260), ("l", 300, 350), ("l", 400, 470)]
    formats = {
        "down_up": [{"key": k, "down": d, "up": u} for k, d, u in base],
        "t_duration": [{"key": k, "t": d, "duration_ms": u - d} for k, d, u in base],
        "time_up": [{"key": k, "time": d, "up": u} for k, d, u in base],
    }
    shaped = {name: _shape(recs) for name, recs in formats.items()}
    assert shaped["down_up"] == shaped["t_duration"] == shaped["time_up"]
    keys = [k for k, _, _ in shaped["down_up"]]
    assert [d for _, d, _ in shaped["down_up"]] == [100, 200, 300, 400]
    assert keys[2] == keys[3] and len(set(keys)) == 3  # equal keys, equal pseudonyms
    digits = "0123456789abcdefghijklmnopqrstuv"  # (byte & 31).toString(32)
    assert all(k.startswith("~") and len(k) == 5 and all(c in digits for c in k[1:]) for k in keys)
    assert keyshape(formats["down_up"], "session-1") == keyshape(formats["down_up"], "session-1")


def test_keyshape_keeps_the_names_of_non_character_keys_only() -> None:
    records = [{"key": "Shift", "down": 100, "up": 260}, {"key": "H", "down": 150, "up": 200},
               {"key": "Backspace", "down": 300, "up": 350}, {"key": "ArrowLeft", "down": 400, "up": 450},
               {"key": "ContextMenu", "down": 500, "up": 550}, {"key": "i", "down": 600, "up": 650}]
    keys = [k for k, _, _ in _shape(records)]
    assert keys[0] == "Shift" and keys[2] == "Backspace" and keys[3] == "ArrowLeft"
    assert all(k.startswith("~") for k in (keys[1], keys[4], keys[5]))  # characters and other keys: pseudonyms


def test_keyshape_overlapping_presses_of_one_key() -> None:
    records = [
        {"key": "a", "down": 100, "up": 300},
        {"key": "a", "down": 150, "up": 250},  # pressed again while down: dropped; its release ends the press
        {"key": "A", "down": 200, "up": 400},  # the same physical key as 'a', still down: dropped
        {"key": "b", "down": 260, "up": 320},
        {"key": "a", "down": 300, "up": 300},  # the first record's release (300) finds nothing open
        {"key": "b", "down": 330},  # never released
    ]
    shaped = _shape(records)
    assert [(d, u) for _, d, u in shaped] == [(100, 250), (260, 320), (300, 300), (330, None)]
    assert key_code("A") == key_code("a") == "KeyA" and key_code("?") == key_code("/")


def test_keyshape_down_only_and_the_limit() -> None:
    down_only = [{"key": c, "down": 100 * i} for i, c in enumerate("hello")]
    shaped = _shape(down_only)
    # A keydown-only record's release was not recorded: the second l is a press of its own.
    assert [(d, u) for _, d, u in shaped] == [(0, None), (100, None), (200, None), (300, None), (400, None)]
    assert all("up" not in k for k in keyshape(down_only, "s"))
    many = [{"key": "x", "down": 10 * i, "up": 10 * i + 5} for i in range(400)]
    assert len(keyshape(many, "s")) == 150


def test_bot_keys_in_each_format() -> None:
    from detection.actions import Key

    keys = [Key("a", 10.4, 60.6), Key("b", 70.0, 120.0)]
    assert records_of(keys, "down_up", 1000) == [
        {"key": "a", "down": 1010, "up": 1061},
        {"key": "b", "down": 1070, "up": 1120},
    ]
    assert records_of(keys, "t_duration", 0)[0] == {"key": "a", "t": 10, "duration_ms": 51}
    assert records_of(keys, "time_up", 0)[1] == {"key": "b", "time": 70, "up": 120}
    assert records_of(keys, "down_only", 0) == [{"key": "a", "down": 10}, {"key": "b", "down": 70}]


# -- families ------------------------------------------------------------------------


def _plans(data: humans.HumanData) -> list[Plan]:
    """A few plans of every size: tiny windows with clicks, long ones, keys only."""
    rng = random.Random(2)
    starts = data.relative_starts()
    people = sorted(data.scored, key=lambda s: (len(s["mouse_movements"]), len(s["keystrokes"])))
    picks = [people[0], people[-1], people[len(people) // 2]]
    picks += [next(s for s in people if 0 < len(s["mouse_movements"]) <= 6 and s["clicks"])]
    picks += [next(s for s in people if len(s["scrolls"]) > 20)]
    return [humans.make_plan(p, rng, starts) for p in picks]


@pytest.mark.parametrize("name", FAMILIES)
def test_family_sessions_copy_their_plan(data: humans.HumanData, name: str) -> None:
    family = load(name, data.content)
    for i, plan in enumerate(_plans(data)):
        op = family.operator(random.Random(derive_seed(name, i)))
        params = MatchedParams(derive_seed(name, i, "capture"), float(plan.start_ms), data.content.capture_blocks)
        session = session_script(family, op, plan, derive_seed(name, i, "session"), params)
        telemetry = matched_telemetry(session.script, params, plan.n_points)
        assert len(telemetry["mouse_movements"]) == plan.n_points
        assert [c["button"] for c in telemetry["clicks"]] == list(plan.click_buttons)
        assert [s["direction"] for s in telemetry["scrolls"]] == list(plan.scroll_directions)
        assert len(session.script.keys) == plan.n_keys
        assert session.script.webdriver is (name == "naive")
        width, height = plan.screen
        assert all(0 <= p["x"] < width and 0 <= p["y"] < height for p in telemetry["mouse_movements"])


def test_stdlib_families_need_no_adversary_package() -> None:
    """naive, replay and mimic (and script_for_browser with them) run where numpy and the
    adversaries' packages cannot be imported."""
    code = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split('.')[0] in {'numpy', 'pytweening', 'humancursor', 'humantyping', 'windmouse', 'pyautogui'}:
            raise ImportError('blocked ' + name)
sys.meta_path.insert(0, Block())
from detection.families import script_for_browser, STDLIB_FAMILIES
for name in STDLIB_FAMILIES:
    s = script_for_browser(name, 1, 800, 600, 3000, 20)
    assert s.moves and len(s.keys) == 20, name
    assert all(0 <= m.x < 800 and 0 <= m.y < 600 and m.t <= 3000 for m in s.moves), name
print('ok')
"""
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("name", FAMILIES)
def test_script_for_browser(name: str) -> None:
    a = script_for_browser(name, 5, 1024, 700, 4000, 30)
    assert a == script_for_browser(name, 5, 1024, 700, 4000, 30)
    assert a.moves and len(a.keys) == 30 and a.webdriver is (name == "naive")
    assert all(0 <= m.x < 1024 and 0 <= m.y < 700 and 0 <= m.t <= 4000 for m in a.moves)
    assert min(k.down for k in a.keys) > a.moves[-1].t


def _build(out: Path) -> subprocess.CompletedProcess[str]:
    cmd = [sys.executable, "-m", "detection.build", "--out", str(out), "--scale", "ci", "--seed", "3"]
    return subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=300)


def test_ci_build_is_reproducible_and_complete(tmp_path: Path, data: humans.HumanData) -> None:
    outs = [tmp_path / "a", tmp_path / "b"]
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(_build, outs))
    for r in results:
        assert r.returncode == 0, r.stderr
    for name in ("matched.jsonl", "collector.jsonl", "manifest.json"):
        assert (outs[0] / name).read_bytes() == (outs[1] / name).read_bytes(), name
    manifest = json.loads((outs[0] / "manifest.json").read_text())
    assert manifest["people"] == 377
    assert manifest["overlap_with_sample"]["pointer"] == {"train_sessions": 13, "pairs": 14}
    files = {m: [json.loads(line) for line in (outs[0] / f"{m}.jsonl").open()] for m in ("matched", "collector")}
    for records in files.values():
        ids = [r["_id"] for r in records]
        assert len(ids) == len(set(ids))
        by_family: dict[str, list[dict[str, Any]]] = {}
        for r in records:
            by_family.setdefault(r["family"], []).append(r)
        assert sorted(by_family) == sorted(("human", *FAMILIES))
        assert len(by_family["human"]) == 377
        for family in FAMILIES:
            rs = by_family[family]
            assert len(rs) == 32 and all(r["label"] == "bot" and r["groups"]["operator"] for r in rs)
            assert any(r["mouse_movements"] for r in rs) and any(r["keystrokes"] for r in rs), family
        replays = by_family["replay"]
        assert all("pointer_user" in r["groups"] or "key_participant" in r["groups"] for r in replays)
    people = [[r for r in records if r["label"] == "human"] for records in files.values()]
    assert people[0] == people[1]  # people identical in both files
    assert all(len(r["mouse_movements"]) <= 300 for r in files["collector"] if r["label"] == "bot")


def test_keyshape_names_the_keys_the_collector_names() -> None:
    """The capture's key shape mirrors collector.js: the same keys keep their names."""
    import re

    from detection.keyshape import NAMED_KEYS

    source = (ROOT / "python" / "velkora" / "service" / "static" / "collector.js").read_text()
    listed = re.search(r"NAMED_KEYS = Object\.create\(null\);\s*\[([^\]]*)\]", source)
    assert listed is not None
    assert set(re.findall(r'"([^"]+)"', listed.group(1))) == NAMED_KEYS
