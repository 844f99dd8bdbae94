"""Benchmarks of velkora_core_rs, run with pyperf, reported side by side.

Each bench/bench_*.py module defines cases() returning a list of Case. Cases
are grouped; within a group the case marked floor=True is the reference and
every other case is shown as a ratio to it, measured in the same run. Modules
may also define reports(), returning extra lines (memory figures, counts) that
are printed after the timing table, in the parent process only, and derived(times),
which gets every case's median ({"group: name": seconds}) and returns lines of
figures computed from several cases of this run.
"""

from __future__ import annotations

import dataclasses
import importlib
import pathlib
import sys
from collections.abc import Callable
from typing import Any

import pyperf

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


@dataclasses.dataclass
class Case:
    group: str
    name: str
    func: Callable[..., Any]
    args: tuple = ()
    floor: bool = False


def load_modules(only: list[str]) -> list[Any]:
    """The bench_*.py modules, or those whose name (without bench_) is in `only`."""
    paths = sorted(HERE.glob("bench_*.py"))
    if only:
        paths = [p for p in paths if p.stem.removeprefix("bench_") in only]
    return [importlib.import_module(p.stem) for p in paths]


def forward_only(cmd: list[str], args: Any) -> None:
    # Workers must build the same cases in the same order as the parent.
    for name in args.only:
        cmd.extend(("--only", name))


def format_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def main() -> None:
    runner = pyperf.Runner(processes=3, values=3, warmups=1, add_cmdline_args=forward_only)
    runner.argparser.add_argument(
        "--only", action="append", default=[],
        help="run only this module's cases (state, features, ...); repeatable")
    args = runner.parse_args()
    modules = load_modules(args.only)
    measured: list[tuple[Case, float]] = []
    for module in modules:
        for case in module.cases():
            bench = runner.bench_func(f"{case.group}: {case.name}", case.func, *case.args)
            # Workers (calibration runs included) may hold no values yet; only the
            # parent, which has them all, reads the median.
            if bench is not None and not runner.args.worker:
                measured.append((case, bench.median()))
    if runner.args.worker:
        return

    print()
    print(f"{'case':<58} {'time/call':>12} {'x floor':>9}")
    groups: dict[str, list[tuple[Case, float]]] = {}
    for case, seconds in measured:
        groups.setdefault(case.group, []).append((case, seconds))
    for group, rows in groups.items():
        floor = next((s for c, s in rows if c.floor), None)
        print(f"-- {group}")
        for case, seconds in sorted(rows, key=lambda r: not r[0].floor):
            ratio = f"{seconds / floor:9.2f}" if floor else " " * 9
            mark = " (floor)" if case.floor else ""
            print(f"   {case.name + mark:<55} {format_time(seconds):>12} {ratio}")
    times = {f"{case.group}: {case.name}": seconds for case, seconds in measured}
    for module in modules:
        if hasattr(module, "derived"):
            for line in module.derived(times):
                print(line)
    for module in modules:
        if hasattr(module, "reports"):
            for line in module.reports():
                print(line)


if __name__ == "__main__":
    main()
