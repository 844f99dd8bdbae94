"""Instructions per call, counted by valgrind's callgrind: one extract_features_rs
call on a fixed 300-point session with 60 keystrokes, and one consume_nonce_rs
call with a new 36-character nonce.

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
)


def cases():
    return []


def _instructions(workload: str, n: int, out_dir: str) -> int:
    out_file = os.path.join(out_dir, f"{workload}-{n}.out")
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(HERE))
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
         sys.executable, str(HERE / "callgrind_workload.py"), workload, str(n)],
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
            once = _instructions(workload, n, out_dir)
            twice = _instructions(workload, 2 * n, out_dir)
            lines.append(f"   {label:<55} {(twice - once) / n:12,.0f}  (N = {n})")
    return lines
