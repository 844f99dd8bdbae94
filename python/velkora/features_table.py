"""Turning JSON lines of telemetry sessions into rows of features, without I/O.

The command-line shell (``velkora.cli``) reads lines, hands them here in batches
(possibly in worker processes) and writes what comes back; everything that decides
something — what a bad line is, what a row holds, how a value is spelled in each
output format, what the progress line says — lives in this module.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, cast

import velkora_core_rs as core

if TYPE_CHECKING:
    from velkora_core_rs import Telemetry

Format = Literal["csv", "jsonl", "parquet"]
FORMATS: tuple[Format, ...] = ("csv", "jsonl", "parquet")

_EXTENSIONS: dict[str, Format] = {
    ".csv": "csv",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
    ".parquet": "parquet",
    ".pq": "parquet",
}


def feature_names() -> tuple[str, ...]:
    """The feature columns, in the order in which the module returns them."""
    return tuple(core.extract_features_rs({}))


def format_for(path: str, requested: str | None) -> Format:
    """The output format: the one asked for, else the one the file name's extension names;
    CSV for standard output (``-``).

    Raises ValueError when neither decides (an unknown extension without --format).
    """
    if requested is not None:
        if requested not in FORMATS:
            raise ValueError(f"unknown format {requested!r}; choose one of {', '.join(FORMATS)}")
        return requested
    if path == "-":
        return "csv"
    dot = path.rfind(".")
    extension = path[dot:].lower() if dot > path.rfind("/") else ""
    found = _EXTENSIONS.get(extension)
    if found is None:
        raise ValueError(f"cannot tell the format of {path!r}; pass --format {{{','.join(FORMATS)}}}")
    return found


def parse_keep(text: str | None, features: Sequence[str]) -> tuple[str, ...]:
    """The session fields to carry into each row, from ``--keep id,label``.

    Raises ValueError for an empty name, a repeated one, or one that is also a feature
    column (the row would hold two columns of that name).
    """
    if not text:
        return ()
    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        if not name:
            raise ValueError(f"--keep {text!r} has an empty field name")
        if name in features:
            raise ValueError(f"--keep field {name!r} is also a feature column")
    if len(set(names)) != len(names):
        raise ValueError(f"--keep {text!r} names a field twice")
    return names


@dataclass(frozen=True, slots=True)
class Row:
    """One session's output: the kept fields (None where the session lacks one), then the features."""

    line: int
    kept: tuple[Any, ...]
    features: tuple[Any, ...]


@dataclass(frozen=True, slots=True)
class BadLine:
    """A line that is skipped, with the reason shown to the user."""

    line: int
    reason: str


Outcome = Row | BadLine


def process_line(line_number: int, raw: bytes, keep: Sequence[str]) -> Outcome | None:
    """Features of one JSON line, a BadLine, or None for a blank line (which is not counted)."""
    if not raw.strip():
        return None
    try:
        session = json.loads(raw)
    except RecursionError:
        return BadLine(line_number, "not valid JSON (nested too deeply)")
    except UnicodeDecodeError as error:
        return BadLine(line_number, f"not valid UTF-8 ({error.reason} at byte {error.start})")
    except ValueError as error:
        return BadLine(line_number, f"not valid JSON ({error})")
    if not isinstance(session, dict):
        return BadLine(line_number, f"not a JSON object but {json_kind(session)}")
    features = core.extract_features_rs(cast("Telemetry", session))  # never raises on any dict
    return Row(line_number, tuple(session.get(name) for name in keep), tuple(features.values()))


def process_batch(batch: Sequence[tuple[int, bytes]], keep: Sequence[str]) -> list[Outcome]:
    """process_line over a batch, blank lines left out; what a worker process runs."""
    outcomes: list[Outcome] = []
    for line_number, raw in batch:
        outcome = process_line(line_number, raw, keep)
        if outcome is not None:
            outcomes.append(outcome)
    return outcomes


def json_kind(value: object) -> str:
    """How a JSON value that is not an object is named in a report of a bad line."""
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    return "a number"


# --- spelling values -------------------------------------------------------------------
#
# Floats are written with repr(), the shortest text that reads back to the same double.
# Standard JSON has no NaN or infinities, so JSON lines carry them as the strings "NaN",
# "Infinity" and "-Infinity" (float() reads those back); CSV has nan, inf and -inf, which
# float() and pandas read; Parquet stores the doubles themselves.

_NON_FINITE_JSON = {math.inf: "Infinity", -math.inf: "-Infinity"}


def json_value(value: Any) -> Any:
    """A feature or kept value as it goes into a JSON line (non-finite floats as strings)."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else _NON_FINITE_JSON[value]
    return value


def csv_cell(value: Any) -> str:
    """A feature or kept value as a CSV cell: empty for a missing kept field, true/false
    for booleans, repr for floats, the text itself for strings, JSON for anything else."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, int | str):
        return str(value)
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def kept_text(value: Any) -> str | None:
    """A kept value as a Parquet string column holds it: strings as they are, other values as
    JSON, a missing field as null (a column needs one type whatever the sessions hold)."""
    if value is None or isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def csv_header(keep: Sequence[str], features: Sequence[str]) -> list[str]:
    return [*keep, *features]


def csv_record(row: Row) -> list[str]:
    return [csv_cell(v) for v in row.kept] + [csv_cell(v) for v in row.features]


def json_line(row: Row, keep: Sequence[str], features: Sequence[str]) -> str:
    record = {name: json_value(v) for name, v in zip(keep, row.kept)}
    record.update((name, json_value(v)) for name, v in zip(features, row.features))
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"), allow_nan=False) + "\n"


# --- batching, counting, progress ----------------------------------------------------


def batches(lines: Iterable[bytes], size: int, first_line: int = 1) -> Iterable[list[tuple[int, bytes]]]:
    """Numbered lines in lists of at most `size`."""
    batch: list[tuple[int, bytes]] = []
    for number, raw in enumerate(lines, start=first_line):
        batch.append((number, raw))
        if len(batch) >= size:
            yield batch
            batch = []
    if batch:
        yield batch


@dataclass(slots=True)
class Counts:
    """What the summary reports: sessions read (blank lines aside), rows written, lines skipped."""

    read: int = 0
    written: int = 0
    skipped: int = 0

    def summary(self, stopped_at: int | None = None) -> str:
        text = f"read {self.read}, written {self.written}, skipped {self.skipped}"
        if stopped_at is not None:
            text += f"; stopped at line {stopped_at} (--strict)"
        return text


def bad_line_message(bad: BadLine) -> str:
    return f"line {bad.line}: {bad.reason}"


def _duration(seconds: float) -> str:
    seconds = max(0, round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes:02d}:{secs:02d}"


def progress_line(sessions: int, elapsed_s: float, done_bytes: int, total_bytes: int | None,
                  width: int = 24) -> str:
    """The progress bar: sessions so far, their rate and, when the input's size is known, a bar
    and the time left at the rate so far (by bytes, since sessions vary in size)."""
    rate = sessions / elapsed_s if elapsed_s > 0 else 0.0
    text = f"{sessions:,} sessions  {rate:,.0f}/s  {_duration(elapsed_s)}"
    if total_bytes:
        fraction = min(done_bytes / total_bytes, 1.0)
        filled = int(fraction * width)
        bar = "#" * filled + "-" * (width - filled)
        eta = elapsed_s * (1 - fraction) / fraction if fraction > 0 else math.inf
        left = _duration(eta) if math.isfinite(eta) else "--:--"
        text = f"[{bar}] {fraction:4.0%}  {text}  ETA {left}"
    return text
