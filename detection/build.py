"""Write the labelled data sets of the detection benchmark.

    python -m detection.build --out DIR --scale ci|full [--seed N] [--families a,b] [--data DIR]

``DIR/matched.jsonl`` holds the scored people and every bot through the matched capture,
``DIR/collector.jsonl`` the same people and the same bot scripts through the browser
collector's capture, ``DIR/manifest.json`` the seeds, counts, overlap and package
versions. The same seed and scale give the same bytes: every draw comes from a seed
derived from the root seed and the session's name, output keys are sorted, and no set
order, clock or ``hash()`` enters the files.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import logging
import multiprocessing
import os
import random
import sys
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import Any

from detection import humans
from detection.families import FAMILIES, derive_seed, load, session_script
from detection.families._base import Family
from detection.humans import HumanData
from detection.keyshape import keyshape, records_of
from detection.sensor import (
    COLLECTOR_MAX_POINTS,
    FRAME_MS,
    TICK_MS,
    MatchedParams,
    collector_telemetry,
    matched_telemetry,
)

log = logging.getLogger("detection.build")

ADVERSARY_PACKAGES = ("pytweening", "HumanCursor", "humantyping", "windmouse", "numpy", "PyAutoGUI")


@dataclass(frozen=True)
class Scale:
    operators: int
    sessions: int


SCALES = {"ci": Scale(operators=8, sessions=4), "full": Scale(operators=40, sessions=5)}


def person_record(session: humans.Session) -> dict[str, Any]:
    """A scored person with the key data the collector would have sent."""
    return humans.human_record(session, keyshape(session.get("keystrokes") or [], session["_id"]))


def bot_records(
    family: Family, op: object, op_index: int, session_index: int, root_seed: int, data: HumanData,
    relative_starts: Sequence[int],
) -> tuple[dict[str, Any], dict[str, Any]]:  # fmt: skip
    """One bot session, through the matched capture and through the collector."""
    name = family.name
    seed = derive_seed(root_seed, name, op_index, session_index)
    plan_rng = random.Random(derive_seed(seed, "plan"))
    scored = data.scored
    plan = humans.make_plan(scored[plan_rng.randrange(len(scored))], plan_rng, relative_starts)
    blocks = data.content.blocks_for(plan.capture_pace)
    params = MatchedParams(derive_seed(seed, "capture"), float(plan.start_ms), blocks)
    session = session_script(family, op, plan, seed, params)
    script = session.script
    session_id = f"{name}-op{op_index:02d}-s{session_index}"
    head = {
        "_id": session_id,
        "label": "bot",
        "family": name,
        "groups": {**session.groups, "operator": f"{name}/op{op_index:02d}"},
        "browser": plan.browser_for(script.webdriver),
    }
    matched = {**head, **matched_telemetry(script, params, plan.n_points)}
    records = records_of(script.keys, plan.key_format or "down_up", offset=plan.start_ms)
    matched["keystrokes"] = keyshape(records, session_id)
    frame_phase = random.Random(derive_seed(seed, "frame")).uniform(0.0, FRAME_MS)
    collector = {**head, **collector_telemetry(script, float(plan.page_start_ms), frame_phase, session_id)}
    _check(matched, plan)
    return matched, collector


def _check(record: dict[str, Any], plan: Any) -> None:
    """The matched bot has its plan's counts, clicks and wheel inside its window."""
    mm = record["mouse_movements"]
    if len(mm) != plan.n_points or len(record["clicks"]) != plan.n_clicks or len(record["scrolls"]) != plan.n_scrolls:
        raise AssertionError(f"{record['_id']}: counts differ from the plan of {plan.person}")
    if mm and any(not mm[0]["t"] <= e["t"] <= mm[-1]["t"] for e in record["clicks"] + record["scrolls"]):
        raise AssertionError(f"{record['_id']}: a click or notch outside the pointer window")


def dumps(record: dict[str, Any]) -> str:
    return json.dumps(record, sort_keys=True, separators=(",", ":"))


def package_versions() -> dict[str, str | None]:
    versions: dict[str, str | None] = {}
    for name in ADVERSARY_PACKAGES:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    return versions


def _sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


# -- one worker's share: all sessions of one operator -----------------------------------

_WORKER: dict[str, Any] = {}


def _init_worker(data_dir: Path | None) -> None:
    data = humans.load(data_dir)
    _WORKER.update(data=data, relative_starts=data.relative_starts(), families={})


def _operator_lines(task: tuple[str, int, int, int]) -> list[tuple[str, str]]:
    """(matched, collector) lines of every session of one operator."""
    name, op_index, sessions, seed = task
    data: HumanData = _WORKER["data"]
    families: dict[str, Family] = _WORKER["families"]
    if name not in families:
        families[name] = load(name, data.content)
    family = families[name]
    op = family.operator(random.Random(derive_seed(seed, name, "operator", op_index)))
    lines = []
    for session_index in range(sessions):
        matched, collector = bot_records(family, op, op_index, session_index, seed, data, _WORKER["relative_starts"])
        lines.append((dumps(matched), dumps(collector)))
    return lines


def _bot_lines(
    tasks: list[tuple[str, int, int, int]], data_dir: Path | None, jobs: int
) -> Iterator[tuple[tuple[str, int, int, int], list[tuple[str, str]]]]:
    """Every operator's lines, in task order whatever the number of worker processes."""
    if jobs <= 1:
        _init_worker(data_dir)
        for task in tasks:
            yield task, _operator_lines(task)
        return
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(jobs, mp_context=context, initializer=_init_worker, initargs=(data_dir,)) as pool:
        yield from zip(tasks, pool.map(_operator_lines, tasks))


def build(
    out: Path, scale_name: str, seed: int, families: Sequence[str], data_dir: Path | None, jobs: int = 1
) -> dict[str, Any]:
    scale = SCALES[scale_name]
    data = humans.load(data_dir)
    overlap = data.overlap.summary()
    log.info("people: %d train sessions, %d scored; overlap: %s", len(data.train), len(data.scored), overlap)
    out.mkdir(parents=True, exist_ok=True)
    people = [dumps(person_record(s)) for s in data.scored]
    tasks = [(name, op_index, scale.sessions, seed) for name in families for op_index in range(scale.operators)]
    counts = {name: {"operators": scale.operators, "sessions": scale.operators * scale.sessions} for name in families}
    started = time.monotonic()
    matched_path, collector_path = out / "matched.jsonl", out / "collector.jsonl"
    with matched_path.open("w", encoding="utf-8") as fm, collector_path.open("w", encoding="utf-8") as fc:
        for line in people:
            fm.write(line + "\n")
            fc.write(line + "\n")
        for (name, op_index, _, _), lines in _bot_lines(tasks, data_dir, jobs):
            for matched, collector in lines:
                fm.write(matched + "\n")
                fc.write(collector + "\n")
            if op_index == scale.operators - 1:
                elapsed = time.monotonic() - started
                log.info("%s: %d sessions (%.1f s into the bots)", name, counts[name]["sessions"], elapsed)
    root = data_dir or humans.default_data_dir()
    manifest = {
        "seed": seed,
        "scale": scale_name,
        "operators_per_family": scale.operators,
        "sessions_per_operator": scale.sessions,
        "people": len(people),
        "families": counts,
        "overlap_with_sample": overlap,
        "packages": package_versions(),
        "sensor": {
            "matched_tick_ms": TICK_MS,
            "in_motion_max_ms": humans.IN_MOTION_MAX_MS,
            "sample_zero_interval_share": round(data.content.zero_interval_share(), 6),
            "collector_frame_ms": round(FRAME_MS, 6),
            "collector_max_points": COLLECTOR_MAX_POINTS,
        },
        "data": {name: _sha256(root / name) for name in (humans.TRAIN_FILE, humans.SAMPLE_FILE)},
        "files": {name: _sha256(out / name) for name in ("matched.jsonl", "collector.jsonl")},
    }
    (out / "manifest.json").write_text(json.dumps(manifest, sort_keys=True, indent=2) + "\n", encoding="utf-8")
    return manifest


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m detection.build", description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="folder for the .jsonl files and manifest.json")
    parser.add_argument("--scale", choices=sorted(SCALES), default="ci", help="ci: 8 operators x 4; full: 40 x 5")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--families", default=",".join(FAMILIES), help=f"comma-separated, of {','.join(FAMILIES)}")
    parser.add_argument("--data", type=Path, default=None, help="the shared data folder (default ../shared/data)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="worker processes (same output)")
    args = parser.parse_args(argv)
    names = [n.strip() for n in args.families.split(",") if n.strip()]
    unknown = [n for n in names if n not in FAMILIES]
    if unknown or not names:
        parser.error(f"unknown families {unknown}; known: {', '.join(FAMILIES)}")
    args.families = names
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(message)s", stream=sys.stderr)
    started = time.monotonic()
    manifest = build(args.out, args.scale, args.seed, args.families, args.data, args.jobs)
    total = sum(f["sessions"] for f in manifest["families"].values())
    elapsed = time.monotonic() - started
    log.info("wrote %d people and %d bot sessions to %s in %.1f s", manifest["people"], total, args.out, elapsed)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
