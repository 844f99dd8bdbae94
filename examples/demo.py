"""Score telemetry sessions with velkora_core_rs and show what tells them apart.

usage: demo.py [FILE]

Without FILE, scores sessions from the seeded generator beside this script:
human-like ones (curved, accelerating and decelerating pointer paths with
jitter and uneven sampling; irregular typing) and scripted ones (straight
constant-speed moves sampled at even intervals, metronomic typing, webdriver
set), then prints a table and the average of each feature per kind.

With FILE, scores every line of a JSON-lines file of telemetry dicts. A line
that is not JSON, or not a JSON object, is reported with its line number and
skipped; the others are still scored. The exit status is 1 when any line was
skipped, 2 when the file cannot be read, 0 otherwise.
"""

from __future__ import annotations

import json
import pathlib
import statistics
import sys
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, cast

import velkora_core_rs as core
from velkora.features_table import json_kind

if TYPE_CHECKING:
    from velkora_core_rs import Features, Telemetry

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import telemetry_generator  # noqa: E402

# (header, feature key, format)
COLUMNS = [
    ("mouse pts", "mouse_points", "{:d}"),
    ("keys", "key_count", "{:d}"),
    ("avg vel", "avg_velocity", "{:.3f}"),
    ("straight", "straightness", "{:.3f}"),
    ("purity", "spectral_purity", "{:.3f}"),
    ("curvature", "curvature_score", "{:.2f}"),
    ("keystroke", "keystroke_score", "{:.2f}"),
    ("webdriver", "webdriver", "{}"),
]

LEGEND = """\
How to read it (per session):
  straight     1.0 = the pointer went in a straight line; curved human reaches score lower
  purity       share of the speed variation held by its strongest rhythm: 0 when the
               speed never varies (constant-speed scripts), high for one smooth
               accelerate-then-brake reach
  curvature    0.95 straight path, 0.9 uniformly curved, 0.85 erratic,
               0.75 fast-changing, 0.1 anything else
  keystroke    0 to 1; rises with metronomic flight times, uniform short dwell
               and flight times that all fall into one timing bin
  avg vel      pixels per millisecond; 0 when the session has under 3 pointer samples"""


def format_row(label: str, features: Features, label_width: int) -> str:
    cells = []
    for header, key, fmt in COLUMNS:
        value = features[key]  # type: ignore[literal-required]
        if isinstance(value, bool):
            text = "yes" if value else "no"
        else:
            text = fmt.format(value)
        cells.append(f"{text:>{max(len(header), 6)}}")
    return f"{label:<{label_width}}  " + "  ".join(cells)


def print_table(rows: list[tuple[str, Features]]) -> None:
    """rows: (label, features) pairs."""
    width = max([len("session")] + [len(label) for label, _ in rows])
    header = f"{'session':<{width}}  " + "  ".join(
        f"{h:>{max(len(h), 6)}}" for h, _, _ in COLUMNS)
    print(header)
    print("-" * len(header))
    for label, features in rows:
        print(format_row(label, features, width))


def score(sessions: list[tuple[str, Mapping[str, Any]]]) -> tuple[list[tuple[str, Features]], float]:
    """(label, features) per session, and the time spent in extract_features_rs."""
    rows: list[tuple[str, Features]] = []
    spent = 0.0
    for label, telemetry in sessions:
        start = time.perf_counter()
        # Any mapping is read; keys the module does not know are ignored.
        features = core.extract_features_rs(cast("Telemetry", telemetry))
        spent += time.perf_counter() - start
        rows.append((label, features))
    return rows, spent


def print_timing(rows: list[tuple[str, Features]], spent: float) -> None:
    if rows:
        print(f"Scored {len(rows)} sessions in {spent * 1e3:.2f} ms "
              f"({spent / len(rows) * 1e6:.1f} us per session).")


def kind_summary(rows: list[tuple[str, Features]]) -> None:
    """Averages of the table's features for each kind of generated session."""
    kinds: dict[str, list[Features]] = {}
    for label, features in rows:
        kinds.setdefault(label.rsplit("-", 1)[0], []).append(features)
    print("Average per kind:")
    width = max(len(k) for k in kinds)
    header = f"  {'kind':<{width}}  " + "  ".join(f"{h:>11}" for h, _, _ in COLUMNS)
    print(header)
    for kind, feats in kinds.items():
        cells = []
        for _, key, _ in COLUMNS:
            mean = statistics.fmean(float(f[key]) for f in feats)  # type: ignore[literal-required]
            cells.append(f"{mean:>11.3f}")
        print(f"  {kind:<{width}}  " + "  ".join(cells))


def run_generated() -> int:
    sessions = telemetry_generator.generate_sessions()
    rows, spent = score([(s["_id"], s) for s in sessions])
    print(f"{len(sessions)} generated sessions (seed 2024): human-like first, then scripted.\n")
    print_table(rows)
    print()
    kind_summary(rows)
    print()
    print(LEGEND)
    print()
    print_timing(rows, spent)
    return 0


def read_sessions(path: str) -> tuple[list[tuple[str, Mapping[str, Any]]], list[tuple[int, str]]]:
    """(label, telemetry) pairs and (line number, reason) problems."""
    sessions: list[tuple[str, Mapping[str, Any]]] = []
    problems: list[tuple[int, str]] = []
    with open(path, "rb") as f:
        for number, raw in enumerate(f, start=1):
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as e:
                problems.append((number, f"not valid UTF-8 ({e.reason} at byte {e.start})"))
                continue
            if not line.strip():
                continue  # blank lines separate nothing and hold nothing
            try:
                value = json.loads(line.rstrip("\r\n"))
            except json.JSONDecodeError as e:
                problems.append((number, f"not JSON: {e.msg} at column {e.colno}"))
                continue
            except RecursionError:
                problems.append((number, "not JSON this program can read: nested too deeply"))
                continue
            if not isinstance(value, dict):
                problems.append((number, f"not a JSON object but {json_kind(value)}"))
                continue
            label = value.get("_id")
            if not isinstance(label, str) or not label:
                label = f"line {number}"
            sessions.append((label, value))
    return sessions, problems


def run_file(path: str) -> int:
    try:
        sessions, problems = read_sessions(path)
    except OSError as e:
        print(f"demo: cannot read {path}: {e.strerror or e}", file=sys.stderr)
        return 2
    for number, reason in problems:
        print(f"{path}:{number}: skipped: {reason}", file=sys.stderr)
    rows, spent = score(sessions)
    print(f"{path}: {len(rows)} sessions scored, {len(problems)} lines skipped.\n")
    if rows:
        print_table(rows)
        print()
        feats = [f for _, f in rows]
        with_mouse = [f for f in feats if f["mouse_points"] >= 3]
        with_keys = [f for f in feats if f["key_count"] > 0]
        print("Summary:")
        print(f"  sessions with 3+ pointer samples: {len(with_mouse)}, with keystrokes: "
              f"{len(with_keys)}, webdriver set: {sum(f['webdriver'] for f in feats)}")
        if with_mouse:
            print(f"  median straightness {statistics.median(f['straightness'] for f in with_mouse):.3f}"
                  f", median spectral purity "
                  f"{statistics.median(f['spectral_purity'] for f in with_mouse):.3f}")
        if with_keys:
            print(f"  median keystroke score "
                  f"{statistics.median(f['keystroke_score'] for f in with_keys):.2f}")
        print()
        print_timing(rows, spent)
    return 1 if problems else 0


def main(argv: list[str]) -> int:
    if argv and argv[0] in ("-h", "--help"):
        print(__doc__)
        return 0
    if len(argv) > 1:
        print("usage: demo.py [FILE]   (one JSON-lines file at most; --help for more)",
              file=sys.stderr)
        return 2
    if argv:
        return run_file(argv[0])
    return run_generated()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
