"""Sessions per second of `velkora features` over 100,000 generated sessions, at --jobs 1 and
--jobs $(nproc), against the floor: a bare loop that only parses the same JSON lines.

Each figure is one run of a fresh process over the same file (written once by
examples/telemetry_generator.py), start-up included, writing CSV to /dev/null; wall-clock
time gives the rate, and the processor time of the floor and of --jobs 1 is shown beside it:
on a shared machine the wall-clock rate follows the load, the processor time much less.
VELKORA_BENCH_CLI_SESSIONS changes the number of sessions.
"""

from __future__ import annotations

import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
GENERATOR = HERE.parent / "examples" / "telemetry_generator.py"
SESSIONS = int(os.environ.get("VELKORA_BENCH_CLI_SESSIONS", "100000"))
FLOOR = "import json, sys\nfor line in open(sys.argv[1], 'rb'):\n    json.loads(line)\n"


def cases():
    return []


def _run(argv: list[str]) -> tuple[float, float]:
    """Wall-clock and processor seconds of one run of argv."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def reports():
    script = pathlib.Path(sys.executable).parent / "velkora"
    jobs = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as scratch:
        sessions = pathlib.Path(scratch) / "sessions.jsonl"
        half = SESSIONS // 2
        subprocess.run([sys.executable, str(GENERATOR), "--human", str(SESSIONS - half), "--scripted", str(half),
                        "--seed", "17", "-o", str(sessions)], check=True)
        size_mb = sessions.stat().st_size / 1e6
        runs = [("floor: json.loads of every line", [sys.executable, "-c", FLOOR, str(sessions)])]
        for n in sorted({1, jobs}):
            runs.append((f"velkora features --jobs {n}",
                         [str(script), "features", str(sessions), "-o", os.devnull, "--format", "csv", "-q",
                          "--jobs", str(n)]))
        lines = [f"velkora features over {SESSIONS:,} generated sessions ({size_mb:,.0f} MB of JSON lines), "
                 f"{jobs} processors:"]
        floor_wall = None
        for label, argv in runs:
            wall, cpu = _run(argv)
            floor_wall = floor_wall or wall
            line = (f"   {label:<34} {SESSIONS / wall:8,.0f} sessions/s  {wall:6.1f} s wall "
                    f"({wall / floor_wall:4.2f}x floor)")
            if "--jobs" not in label or label.endswith("--jobs 1"):
                # Worker processes are children of multiprocessing's fork server, which this
                # process does not wait for: their time would be missing from the count.
                line += f"  {cpu:6.1f} s processor ({SESSIONS / cpu:,.0f} sessions per processor-second)"
            lines.append(line)
    return lines
