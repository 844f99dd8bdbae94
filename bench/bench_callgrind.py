"""Instructions per call, counted by valgrind's callgrind: one extract_features_rs
call on a fixed 300-point session with 60 keystrokes, one consume_nonce_rs
call with a new 36-character nonce, and one call each of the curvature,
keystroke and ban-query functions.

Run directly, it compares builds side by side: `python bench/bench_callgrind.py
--python .venv/bin/python --python OTHER/bin/python` counts every workload with
each interpreter's installed module (say, the gcc build and the wheel).

Each workload runs twice in a fresh interpreter under callgrind, with N and 2N
calls; the difference of the two totals, divided by N, is the cost of one call,
with start-up and preparation cancelled out. Instruction counts do not depend
on the machine's load, so a change in them is a change in the code. (The state
engine's hash keys are random per process, so a nonce call may differ from run
to run by a probe or two.)
"""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
WORKLOADS = (
    ("extract_features_rs, synthetic 300 points, 60 keys", "features", 100),
    ("consume_nonce_rs, new 36-char nonce", "nonce", 2_000),
    ("evaluate_curvature_naturalness_rs, 300 points", "curvature", 100),
    ("evaluate_keystroke_dynamics_rs, 150 tuple events", "keystrokes", 200),
    ("is_ip_banned_rs, banned address", "banned", 2_000),
)


def cases():
    return []


def _instructions(workload: str, n: int, out_dir: str, python: str = sys.executable) -> int:
    out_file = os.path.join(out_dir, f"{workload}-{n}-{abs(hash(python))}.out")
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(HERE))
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
         python, str(HERE / "callgrind_workload.py"), workload, str(n)],
        check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    text = pathlib.Path(out_file).read_text()
    match = re.search(r"^(?:summary|totals):\s+(\d+)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError(f"no instruction total in {out_file}")
    return int(match.group(1))


def reports():
    if shutil.which("valgrind") is None:
        return ["callgrind: valgrind not found; instruction counts left out"]
    lines = ["instructions per call (callgrind, runs of N and 2N calls):"]
    with tempfile.TemporaryDirectory() as out_dir:
        for label, workload, n in WORKLOADS:
            lines.append(f"   {label:<55} {per_call(workload, n, out_dir):12,.0f}  (N = {n})")
    return lines


def per_call(workload: str, n: int, out_dir: str, python: str = sys.executable) -> float:
    return (_instructions(workload, 2 * n, out_dir, python) - _instructions(workload, n, out_dir, python)) / n


def main() -> None:
    import argparse

    parser = argparse.ArgumentParser(description="callgrind counts of several builds side by side")
    parser.add_argument("--python", action="append", required=True, help="interpreter with a build installed")
    args = parser.parse_args()
    print(f"{'workload':<52}" + "".join(f"{p[-40:]:>42}" for p in args.python) + "  change")
    with tempfile.TemporaryDirectory() as out_dir:
        for label, workload, n in WORKLOADS:
            counts = [per_call(workload, n, out_dir, p) for p in args.python]
            change = f"  {counts[-1] / counts[0] - 1:+.1%}" if len(counts) > 1 else ""
            print(f"{label:<52}" + "".join(f"{c:>42,.0f}" for c in counts) + change, flush=True)


if __name__ == "__main__":
    main()
