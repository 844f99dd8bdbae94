"""How the service's trace memory fares on the benchmark: every session of a labelled data
set (people and bots) sketched and put through one in-process memory, in a seeded random
order, as if all arrived within one retention window from distinct addresses.

    python -m detection.reuse build/detection/full/matched.jsonl -o reuse.json

For the replay family, a session's source is the recording its pointer path replays and
the typist its keys replay; a session whose source came before it is a reuse, and the
question is whether the memory catches it. For people, every pair of sessions that would
match (a shared band and the memory's threshold, in one modality) is counted apart: pairs
of windows cut from overlapping rows of one recording (true reuse, which the data has),
pairs of different people's windows (false matches) and people with bots. Needs the
project's build (velkora._signals) and the shared data (for the people's source rows).
"""

from __future__ import annotations

import argparse
import json
import logging
import random
import sys
from collections import Counter
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

log = logging.getLogger("detection.reuse")

SOURCE_GROUPS = {"pointer": "recording", "keys": "key_participant"}


@dataclass(frozen=True)
class Seen:
    """One session as the memory saw it."""

    family: str
    sketched: bool  # a modality had enough shingles to be remembered or matched
    matched: bool
    modalities: tuple[str, ...]
    reuse_of: tuple[str, ...]  # modalities whose replayed source an earlier session used too
    sources: dict[str, str]  # modality -> the source it replays (replay family only)


def address(index: int) -> str:
    """A distinct documentation-range-free IPv4 address per session (10.0.0.0/8)."""
    return f"10.{index >> 16 & 255}.{index >> 8 & 255}.{index & 255}"


def _telemetry(record: dict[str, Any]) -> Any:
    """A labelled record as the sketch takes it (a telemetry dict with extra keys it ignores)."""
    return record


def replay_sources(record: dict[str, Any]) -> dict[str, str]:
    groups = record.get("groups") or {}
    out = {}
    if record.get("family") == "replay":
        for modality, key in SOURCE_GROUPS.items():
            has = bool(record.get("mouse_movements")) if modality == "pointer" else bool(record.get("keystrokes"))
            if has and key in groups:
                out[modality] = str(groups[key])
    return out


def run(records: Sequence[dict[str, Any]], seed: int, indexed_bands: int | None = None) -> list[Seen]:
    """Every record through one memory in a seeded order, filed under INDEXED_BANDS bands
    per modality (None: the memory's default)."""
    from velkora._signals import trace_sketch
    from velkora.trace_memory import TraceConfig, TraceMemory, prepare

    order = list(range(len(records)))
    random.Random(seed).shuffle(order)
    config = TraceConfig(max_sessions=len(records) + 1)
    if indexed_bands is not None:
        config = replace(config, indexed_bands=indexed_bands)
    memory = TraceMemory(config)
    uses: Counter[str] = Counter()
    seen: list[Seen] = []
    for position, index in enumerate(order):
        record = records[index]
        sources = replay_sources(record)
        reuse_of = tuple(m for m, s in sources.items() if uses[s] > 0)
        for s in sources.values():
            uses[s] += 1
        call = prepare(config, str(record["_id"]), address(position), trace_sketch(_telemetry(record)))
        outcome = memory.remember(call) if call is not None else None
        seen.append(Seen(str(record["family"]), call is not None, bool(outcome and outcome.reused),
                         outcome.modalities if outcome else (), reuse_of, sources))
    return seen


def matching_pairs(records: Sequence[dict[str, Any]], sources: dict[str, list[Any]]) -> dict[str, Any]:
    """Pairs of sessions the memory would match, in either modality, by kind: people whose
    windows share source rows, people who share none, a person and a bot. SOURCES: a
    person's _id -> its source rows (detection.humans.source_rows)."""
    from velkora._signals import trace_sketch
    from velkora.trace_memory import MATCH_THRESHOLD, MIN_SHINGLES

    buckets: dict[tuple[str, int, int], list[int]] = {}
    signatures: dict[tuple[int, str], list[int]] = {}
    for i, record in enumerate(records):
        sketch: dict[str, Any] = dict(trace_sketch(_telemetry(record)))
        for modality in ("pointer", "key"):
            if sketch[f"{modality}_shingles"] < MIN_SHINGLES:
                continue
            signatures[(i, modality)] = list(sketch[f"{modality}_signature"])
            for index, band in enumerate(sketch[f"{modality}_bands"]):
                buckets.setdefault((modality, index, band), []).append(i)
    pairs: set[tuple[int, int, str]] = set()
    for (modality, _, _), members in buckets.items():
        for a_pos, a in enumerate(members):
            for b in members[a_pos + 1:]:
                pairs.add((a, b, modality))
    kinds: Counter[str] = Counter()
    examples: list[list[str]] = []
    for a, b, modality in sorted(pairs):
        sa, sb = signatures[(a, modality)], signatures[(b, modality)]
        if sum(x == y for x, y in zip(sa, sb)) / len(sa) < MATCH_THRESHOLD:
            continue
        ra, rb = records[a], records[b]
        people = (ra["family"] == "human") + (rb["family"] == "human")
        if people == 2:
            rows_a, rows_b = sources.get(ra["_id"], []), sources.get(rb["_id"], [])
            shared = any(x.intersects(y) for x in rows_a for y in rows_b)
            kind = "people_sharing_rows" if shared else "people_distinct"
            if not shared:
                examples.append([ra["_id"], rb["_id"], modality])
        else:
            kind = "person_bot" if people == 1 else "bot_bot"
        kinds[f"{kind}_{modality}"] += 1
    return {"pairs": dict(sorted(kinds.items())), "distinct_people_examples": examples[:20]}


def share(part: int, whole: int) -> float | None:
    return part / whole if whole else None


def summary(seen: Iterable[Seen]) -> dict[str, Any]:
    by_family: dict[str, list[Seen]] = {}
    for s in seen:
        by_family.setdefault(s.family, []).append(s)
    families = {}
    for family, items in sorted(by_family.items()):
        row: dict[str, Any] = {
            "sessions": len(items),
            "sketched": sum(s.sketched for s in items),
            "matched": sum(s.matched for s in items),
        }
        row["matched_share"] = share(row["matched"], row["sessions"])
        if family == "replay":
            reused = [s for s in items if s.reuse_of]
            first = [s for s in items if not s.reuse_of]
            row["reuses"] = len(reused)
            row["caught_from_second_use"] = share(sum(s.matched for s in reused), len(reused))
            row["reuses_sketched"] = sum(s.sketched for s in reused)
            row["caught_of_sketched_reuses"] = share(sum(s.matched for s in reused if s.sketched),
                                                     row["reuses_sketched"])
            row["first_uses_matched"] = sum(s.matched for s in first)
            for modality in SOURCE_GROUPS:
                mine = [s for s in reused if modality in s.reuse_of]
                row[f"{modality}_reuses"] = len(mine)
                row[f"{modality}_caught"] = share(sum(modality in s.modalities for s in mine), len(mine))
            row["uses_per_source"] = uses_per_source(items)
        families[family] = row
    return families


def uses_per_source(items: Sequence[Seen]) -> dict[str, list[int]]:
    """[min, median, max] sessions that replay one source, per modality."""
    out: dict[str, list[int]] = {}
    for modality in SOURCE_GROUPS:
        counts = sorted(Counter(s.sources[modality] for s in items if modality in s.sources).values())
        if counts:
            out[modality] = [counts[0], counts[len(counts) // 2], counts[-1]]
    return out


def table(result: dict[str, Any]) -> str:
    lines = ["family      sessions  sketched  matched   share"]
    for family, row in result.items():
        rate = row["matched_share"]
        lines.append(f"{family:<10} {row['sessions']:>9} {row['sketched']:>9} {row['matched']:>8}  "
                     f"{'—' if rate is None else f'{100 * rate:.1f} %'}")
    replay = result.get("replay")
    if replay:
        def pct(x: float | None) -> str:
            return "—" if x is None else f"{100 * x:.1f} %"
        lines.append(f"replay: {replay['reuses']} sessions reuse a source used before; caught "
                     f"{pct(replay['caught_from_second_use'])} ({pct(replay['caught_of_sketched_reuses'])} of those "
                     f"with a sketch); pointer {pct(replay['pointer_caught'])}, keys {pct(replay['keys_caught'])}; "
                     f"uses per source [min, median, max]: {replay['uses_per_source']}")
    return "\n".join(lines)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m detection.reuse", description=__doc__.splitlines()[0])
    parser.add_argument("dataset", type=Path, help="a labelled JSON-lines file (detection.build's matched.jsonl)")
    parser.add_argument("-o", "--output", type=Path, help="write the summary as JSON here")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--bands", type=int, help="bands per modality a session is filed under (the memory's "
                        "VELKORA_TRACE_BANDS; default: its default)")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(message)s")
    with args.dataset.open(encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.strip()]
    log.info("%d sessions from %s", len(records), args.dataset)
    result = summary(run(records, args.seed, args.bands))
    from detection import humans

    data = humans.load()
    pairs = matching_pairs(records, {s["_id"]: humans.source_rows(s) for s in data.train})
    sys.stdout.write(table(result) + "\n")
    sys.stdout.write(f"pairs that would match: {pairs['pairs']}\n")
    if args.output:
        document = {"seed": args.seed, "bands": args.bands, "families": result, **pairs}
        args.output.write_text(json.dumps(document, indent=1, sort_keys=True) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
