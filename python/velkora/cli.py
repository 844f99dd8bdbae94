"""The ``velkora`` command: features of recorded sessions in bulk, and a report on them.

    velkora features SESSIONS.jsonl -o features.csv --keep _id,label --jobs 4
    velkora report features.csv -o report.html --by label
    velkora evaluate matched.jsonl collector.jsonl -o results.json --html results.html

This module only reads, writes and starts worker processes; what a row holds, how a
value is written and what the report says are decided in ``velkora.features_table``
and ``velkora.report``, how an evaluation is run and shown in ``velkora.evaluation``
and ``velkora.evaluation_report`` (imported only by ``evaluate``: they need numpy and
scikit-learn, which the other commands do without).
"""

from __future__ import annotations

import argparse
import csv
import importlib
import io
import json
import multiprocessing
import os
import sys
import time
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from typing import IO, Any, Protocol

import velkora_core_rs as core

from velkora import __version__
from velkora import features_table as ft
from velkora import report as rp

PROG = "velkora"
BATCH_LINES = 64  # lines per unit of work: small enough that memory stays flat
MAX_REPORTED_BAD_LINES = 100
PROGRESS_PERIOD_S = 0.2


class UsageError(Exception):
    """A problem with the command line or its files, reported without a traceback (exit 2)."""


# --- output writers ---------------------------------------------------------------------


class RowWriter(Protocol):
    def write(self, row: ft.Row) -> None: ...
    def close(self) -> None: ...


class _TextOutput:
    """A text stream over a file or standard output; closing it leaves standard output open."""

    def __init__(self, path: str, stdout: IO[bytes]) -> None:
        self.stream: io.TextIOWrapper[Any]
        if path == "-":
            self.stream = io.TextIOWrapper(stdout, encoding="utf-8", newline="")
            self._owned = False
        else:
            self.stream = open(path, "w", encoding="utf-8", newline="")  # noqa: SIM115 - closed in close()
            self._owned = True

    def close(self) -> None:
        self.stream.flush()
        if self._owned:
            self.stream.close()
        else:
            self.stream.detach()


class CsvWriter:
    def __init__(self, path: str, stdout: IO[bytes], keep: Sequence[str], features: Sequence[str]) -> None:
        self._out = _TextOutput(path, stdout)
        self._csv = csv.writer(self._out.stream, lineterminator="\n")
        self._csv.writerow(ft.csv_header(keep, features))

    def write(self, row: ft.Row) -> None:
        self._csv.writerow(ft.csv_record(row))

    def close(self) -> None:
        self._out.close()


class JsonLinesWriter:
    def __init__(self, path: str, stdout: IO[bytes], keep: Sequence[str], features: Sequence[str]) -> None:
        self._out = _TextOutput(path, stdout)
        self._keep, self._features = keep, features

    def write(self, row: ft.Row) -> None:
        self._out.stream.write(ft.json_line(row, self._keep, self._features))

    def close(self) -> None:
        self._out.close()


def _import_pyarrow() -> Any:
    """pyarrow with its parquet module loaded (an optional dependency, without type information)."""
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.parquet")
    except ImportError as error:
        raise UsageError(
            f"Parquet needs the pyarrow package ({error}); install it with "
            "pip install 'velkora_core_rs[parquet]', or write CSV or JSON lines instead"
        ) from None
    return pyarrow


class ParquetWriter:
    """Rows in row groups of ROWS_PER_GROUP, so memory stays flat; kept fields as strings."""

    ROWS_PER_GROUP = 8192

    def __init__(self, path: str, stdout: IO[bytes], keep: Sequence[str], features: Sequence[str]) -> None:
        self._pa = pa = _import_pyarrow()
        kinds = {bool: pa.bool_(), int: pa.int64(), float: pa.float64()}
        defaults = core.extract_features_rs({})
        fields = [pa.field(name, pa.string()) for name in keep]
        fields += [pa.field(name, kinds[type(defaults[name])]) for name in features]  # type: ignore[literal-required]
        self._schema = pa.schema(fields)
        self._columns: list[list[Any]] = [[] for _ in fields]
        sink = stdout if path == "-" else path
        self._writer = pa.parquet.ParquetWriter(sink, self._schema)

    def write(self, row: ft.Row) -> None:
        values = [ft.kept_text(v) for v in row.kept] + list(row.features)
        for column, value in zip(self._columns, values):
            column.append(value)
        if len(self._columns[0]) >= self.ROWS_PER_GROUP:
            self._flush()

    def _flush(self) -> None:
        if self._columns[0]:
            table = self._pa.Table.from_arrays(
                [self._pa.array(c, type=f.type) for c, f in zip(self._columns, self._schema)], schema=self._schema)
            self._writer.write_table(table)
            self._columns = [[] for _ in self._columns]

    def close(self) -> None:
        self._flush()
        self._writer.close()


WRITERS: dict[str, Callable[[str, IO[bytes], Sequence[str], Sequence[str]], RowWriter]] = {
    "csv": CsvWriter, "jsonl": JsonLinesWriter, "parquet": ParquetWriter}


# --- features -----------------------------------------------------------------------------


class _CountingLines:
    """The input's lines as bytes, counting the bytes read for the progress bar."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream
        self.bytes_read = 0

    def __iter__(self) -> Generator[bytes]:
        for line in self._stream:
            self.bytes_read += len(line)
            yield line


def _input_size(stream: IO[bytes]) -> int | None:
    try:
        stat = os.fstat(stream.fileno())
    except (OSError, io.UnsupportedOperation):
        return None
    import stat as stat_module

    return stat.st_size if stat_module.S_ISREG(stat.st_mode) and stat.st_size > 0 else None


def _outcomes_serial(work: Iterable[list[tuple[int, bytes]]], keep: Sequence[str]) -> Generator[list[ft.Outcome]]:
    for batch in work:
        yield ft.process_batch(batch, keep)


def _outcomes_parallel(work: Iterable[list[tuple[int, bytes]]], keep: Sequence[str],
                       jobs: int) -> Generator[list[ft.Outcome]]:
    """Batches processed by `jobs` worker processes, yielded in input order. At most 2 × jobs
    batches are in flight, so a large input is never read far ahead of the output."""
    # forkserver: workers start from a clean interpreter, not a copy of this one's threads.
    pool = ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context("forkserver"))
    pending: deque[Future[list[ft.Outcome]]] = deque()
    try:
        for batch in work:
            pending.append(pool.submit(ft.process_batch, batch, tuple(keep)))
            if len(pending) >= 2 * jobs:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class _Progress:
    """Progress on a terminal, redrawn at most every PROGRESS_PERIOD_S; silent otherwise."""

    def __init__(self, stream: IO[str], enabled: bool, total_bytes: int | None) -> None:
        self._stream, self._enabled, self._total = stream, enabled, total_bytes
        self._start = self._last = time.monotonic()
        self._shown = False

    def update(self, sessions: int, done_bytes: int, final: bool = False) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        if not final and now - self._last < PROGRESS_PERIOD_S:
            return
        self._last = now
        line = ft.progress_line(sessions, now - self._start, done_bytes, self._total)
        self._stream.write("\r" + line + "\x1b[K" + ("\n" if final else ""))
        self._stream.flush()
        self._shown = True

    def clear_line(self) -> None:
        """Makes room for a message while the bar is on the screen."""
        if self._enabled and self._shown:
            self._stream.write("\r\x1b[K")


def run_features(args: argparse.Namespace, stdin: IO[bytes], stdout: IO[bytes], stderr: IO[str]) -> int:
    features = ft.feature_names()
    try:
        out_format = ft.format_for(args.output, args.format)
        keep = ft.parse_keep(args.keep, features)
    except ValueError as error:
        raise UsageError(str(error)) from None
    if args.jobs < 1:
        raise UsageError("--jobs must be at least 1")
    if args.input == "-":
        source: IO[bytes] = stdin
    else:
        try:
            source = open(args.input, "rb")  # noqa: SIM115 - closed below
        except OSError as error:
            raise UsageError(f"cannot read {args.input}: {error.strerror}") from None
    try:
        lines = _CountingLines(source)
        try:
            writer: RowWriter = WRITERS[out_format](args.output, stdout, keep, features)
        except OSError as error:
            raise UsageError(f"cannot write {args.output}: {error.strerror or error}") from None
        progress = _Progress(stderr, stderr.isatty() and not args.quiet, _input_size(source))
        work = ft.batches(lines, BATCH_LINES)
        outcomes = (_outcomes_serial(work, keep) if args.jobs == 1
                    else _outcomes_parallel(work, keep, args.jobs))
        counts = ft.Counts()
        stopped_at: int | None = None
        try:
            for batch in outcomes:
                for outcome in batch:
                    counts.read += 1
                    if isinstance(outcome, ft.Row):
                        writer.write(outcome)
                        counts.written += 1
                        continue
                    counts.skipped += 1
                    if counts.skipped <= MAX_REPORTED_BAD_LINES:
                        progress.clear_line()
                        stderr.write(f"{PROG} features: {ft.bad_line_message(outcome)}\n")
                    elif counts.skipped == MAX_REPORTED_BAD_LINES + 1:
                        stderr.write(f"{PROG} features: further bad lines are counted, not shown\n")
                    if args.strict:
                        stopped_at = outcome.line
                        break
                progress.update(counts.read, lines.bytes_read)
                if stopped_at is not None:
                    break
        finally:
            outcomes.close()  # stops the workers when --strict ended the run early
            writer.close()
        progress.update(counts.read, lines.bytes_read, final=True)
    finally:
        if source is not stdin:
            source.close()
    if not args.quiet:
        stderr.write(f"{PROG} features: {counts.summary(stopped_at)}\n")
    return 1 if stopped_at is not None else 0


# --- report -------------------------------------------------------------------------------


def _read_records(path: str, fmt: str, stdin: IO[bytes]) -> Generator[dict[str, Any]]:
    """The rows of a features file as dicts of raw values (text for CSV)."""
    if fmt == "parquet":
        pa = _import_pyarrow()
        parquet_file = pa.parquet.ParquetFile(stdin if path == "-" else path)
        for record_batch in parquet_file.iter_batches():
            yield from record_batch.to_pylist()
        return
    binary = stdin if path == "-" else open(path, "rb")  # noqa: SIM115 - closed below
    try:
        if fmt == "csv":
            yield from csv.DictReader(io.TextIOWrapper(binary, encoding="utf-8", newline=""))
        else:
            for number, line in enumerate(binary, start=1):
                if line.strip():
                    try:
                        record = json.loads(line)
                    except ValueError as error:
                        raise UsageError(f"{path}, line {number}: not valid JSON ({error})") from None
                    if not isinstance(record, dict):
                        raise UsageError(f"{path}, line {number}: not a JSON object")
                    yield record
    finally:
        if binary is not stdin:
            binary.close()


def run_report(args: argparse.Namespace, stdin: IO[bytes], stdout: IO[bytes], stderr: IO[str]) -> int:
    try:
        in_format = ft.format_for(args.input, args.format)
    except ValueError as error:
        raise UsageError(str(error)) from None
    if args.bins < 1:
        raise UsageError("--bins must be at least 1")
    try:
        data = rp.collect(_read_records(args.input, in_format, stdin), args.by, ft.feature_names())
    except OSError as error:
        raise UsageError(f"cannot read {args.input}: {error.strerror}") from None
    except ValueError as error:
        raise UsageError(str(error)) from None
    page = rp.render_html(data, bins=args.bins, title=f"velkora report: {os.path.basename(args.input)}")
    if args.output == "-":
        stdout.write(page.encode("utf-8"))
        stdout.flush()
    else:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(page)
    if not args.quiet:
        per_label = ", ".join(f"{label} {count}" for label, count in data.counts().items())
        stderr.write(f"{PROG} report: {data.rows} rows ({per_label})\n")
    return 0


# --- evaluate ------------------------------------------------------------------------------


def _import_evaluation() -> tuple[Any, Any]:
    """velkora.evaluation and velkora.evaluation_report, once numpy and scikit-learn are there."""
    try:
        importlib.import_module("numpy")
        importlib.import_module("sklearn.ensemble")
        importlib.import_module("threadpoolctl")
    except ImportError as error:
        raise UsageError(
            f"evaluate needs numpy and scikit-learn ({error}); install them with "
            "pip install 'velkora_core_rs[train]'"
        ) from None
    return importlib.import_module("velkora.evaluation"), importlib.import_module("velkora.evaluation_report")


class _StageProgress:
    """Progress of the evaluation: a line redrawn on a terminal, else one line per finished stage."""

    def __init__(self, stream: IO[str], enabled: bool, redraw: bool, command: str = "evaluate") -> None:
        self._stream, self._enabled, self._redraw = stream, enabled, redraw
        self._command = command
        self._start = time.monotonic()
        self._last = 0.0
        self._shown = False

    def __call__(self, what: str, done: int, total: int) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        finished = done >= total
        elapsed = ft._duration(now - self._start)
        if self._redraw:
            if finished or now - self._last >= PROGRESS_PERIOD_S:
                self._last = now
                self._stream.write(f"\r{PROG} {self._command}: {what} {done}/{total}  {elapsed}\x1b[K")
                self._stream.flush()
                self._shown = True
        elif finished:
            self._stream.write(f"{PROG} {self._command}: {what} {done}/{total}  {elapsed}\n")
            self._stream.flush()

    def end(self) -> None:
        """Clears the line on a terminal, to make room for a message or the end."""
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False


def _labelled_outcomes(path: str, evaluation: Any) -> Iterator[Any]:
    """Sessions and BadLines of a labelled JSON-lines or (by its extension) Parquet file."""
    if path.endswith(".parquet"):
        pa = _import_pyarrow()
        try:
            records = pa.parquet.ParquetFile(path)
        except OSError as error:
            raise UsageError(f"cannot read {path}: {error}") from None
        yield from evaluation.read_records(
            record for batch in records.iter_batches() for record in batch.to_pylist())
        return
    try:
        source = open(path, "rb")  # noqa: SIM115 - closed below
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror}") from None
    with source:
        yield from evaluation.read_sessions(source)


def _read_labelled(path: str, evaluation: Any, stderr: IO[str], strict: bool,
                   command: str = "evaluate") -> tuple[list[Any], int, int | None]:
    """The sessions of one labelled file, the number of lines skipped, and the line at which
    --strict stopped (None when it did not)."""
    sessions: list[Any] = []
    skipped = 0
    for outcome in _labelled_outcomes(path, evaluation):
        if isinstance(outcome, evaluation.BadLine):
            skipped += 1
            if skipped <= MAX_REPORTED_BAD_LINES:
                stderr.write(f"{PROG} {command}: {path}, line {outcome.line}: {outcome.reason}\n")
            elif skipped == MAX_REPORTED_BAD_LINES + 1:
                stderr.write(f"{PROG} {command}: {path}: further bad lines are counted, not shown\n")
            if strict:
                return sessions, skipped, outcome.line
        else:
            sessions.append(outcome)
    return sessions, skipped, None


def _check_writable(path: str | None, option: str) -> None:
    if path is None:
        return
    if path == "-":
        raise UsageError(f"{option} takes a file name (the table goes to standard output)")
    directory = os.path.dirname(path) or "."
    if os.path.isdir(path) or not os.path.isdir(directory) or not os.access(directory, os.W_OK):
        raise UsageError(f"cannot write {option} {path}")


def run_evaluate(args: argparse.Namespace, stdin: IO[bytes], stdout: IO[bytes], stderr: IO[str]) -> int:
    if args.folds < 2:
        raise UsageError("--folds must be at least 2")
    if args.bootstrap < 0:
        raise UsageError("--bootstrap must be 0 or more")
    if not 0 < args.target_fpr < 1:
        raise UsageError("--target-fpr must lie between 0 and 1")
    if args.jobs < 1:
        raise UsageError("--jobs must be at least 1")
    names = [os.path.splitext(os.path.basename(path))[0] for path in args.inputs]
    if "-" in args.inputs:
        raise UsageError("labelled files are named by their file names; standard input has none")
    if len(set(names)) != len(names):
        raise UsageError(f"two labelled files share a name ({', '.join(names)}); each names a sensor mode")
    _check_writable(args.output, "-o")
    _check_writable(args.html, "--html")
    evaluation, presentation = _import_evaluation()
    model_document: Any = None
    if args.model is not None:
        try:
            with open(args.model, encoding="utf-8") as f:
                model_document = json.load(f)
        except OSError as error:
            raise UsageError(f"cannot read {args.model}: {error.strerror}") from None
        except ValueError as error:
            raise UsageError(f"{args.model} is not JSON: {error}") from None
    try:
        from velkora.service.policy import Policy, PolicyError

        policy = Policy.load(args.policy)
    except ImportError as error:
        # The policy lives in the reference service's package, which imports the service's packages.
        raise UsageError(f"the verdict policy cannot be loaded ({error}); install the service's packages with "
                         "pip install 'velkora_core_rs[service]'") from None
    except (OSError, ValueError, PolicyError) as error:
        raise UsageError(f"cannot use the policy {args.policy}: {error}") from None

    for path in args.inputs:  # every file readable before the first long evaluation
        try:
            with open(path, "rb"):
                pass
        except OSError as error:
            raise UsageError(f"cannot read {path}: {error.strerror}") from None
    settings = evaluation.Settings(folds=args.folds, bootstrap=args.bootstrap, seed=args.seed,
                                   target_fpr=args.target_fpr)
    started = time.monotonic()
    progress = _StageProgress(stderr, not args.quiet, stderr.isatty())
    pool: ProcessPoolExecutor | None = None
    mapper: Callable[[Callable[[Any], Any], Iterable[Any]], Iterable[Any]] = map
    if args.jobs > 1:
        pool = ProcessPoolExecutor(args.jobs, mp_context=multiprocessing.get_context("forkserver"))
        mapper = pool.map
    results: list[dict[str, Any]] = []
    total = skipped = 0
    try:
        # One mode at a time, so that only one file's sessions are held in memory.
        for name, path in zip(names, args.inputs):
            progress.end()
            sessions, bad, stopped_at = _read_labelled(path, evaluation, stderr, args.strict)
            if stopped_at is not None:
                stderr.write(f"{PROG} evaluate: stopped at {path}, line {stopped_at} (--strict)\n")
                return 1
            if not sessions:
                raise UsageError(f"{path} holds no usable labelled session")
            try:
                result = evaluation.evaluate_mode(name, sessions, settings, policy, mapper=mapper, progress=progress)
            except ValueError as error:  # what the data cannot support, e.g. too few groups for the folds
                raise UsageError(str(error)) from None
            result.update(file=path, skipped_lines=bad)
            results.append(result)
            total += len(sessions)
            skipped += bad
            del sessions
    finally:
        progress.end()
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
    result_document = evaluation.document(results, settings, notes=args.note or ())
    if args.model is not None:
        result_document["model_check"] = evaluation.check_model(model_document, result_document)
    elapsed = time.monotonic() - started
    result_document["run"] = {"elapsed_s": round(elapsed, 1), "jobs": args.jobs,
                              "policy": args.policy or "(packaged example)"}
    try:
        if args.output is not None:
            with open(args.output, "w", encoding="utf-8") as out:
                json.dump(result_document, out, indent=1, allow_nan=False)
                out.write("\n")
        if args.html is not None:
            title = f"velkora evaluate: {', '.join(os.path.basename(p) for p in args.inputs)}"
            with open(args.html, "w", encoding="utf-8") as out:
                out.write(presentation.render_html(result_document, title=title))
    except OSError as error:
        raise UsageError(f"cannot write {error.filename}: {error.strerror}") from None
    stdout.write(presentation.text_summary(result_document).encode("utf-8"))
    if "model_check" in result_document:
        check = result_document["model_check"]
        verdict = "reproduced" if check["reproduced"] else f"NOT reproduced ({'; '.join(check['differences'][:5])})"
        stdout.write(f"model {check['model']}: held-out figures {verdict}\n".encode())
    stdout.flush()
    if not args.quiet:
        stderr.write(f"{PROG} evaluate: {len(results)} mode(s), {total} sessions, {skipped} lines skipped, "
                     f"{elapsed:.0f} s\n")
    return 0


# --- train ---------------------------------------------------------------------------------


def _sha256(path: str) -> str:
    import hashlib

    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def run_train(args: argparse.Namespace, stdin: IO[bytes], stdout: IO[bytes], stderr: IO[str]) -> int:
    if args.folds < 2:
        raise UsageError("--folds must be at least 2")
    if not 0 < args.target_fpr < 1:
        raise UsageError("--target-fpr must lie between 0 and 1")
    if args.jobs < 1:
        raise UsageError("--jobs must be at least 1")
    if args.input == "-":
        raise UsageError("the labelled file is named by its file name; standard input has none")
    _check_writable(args.output, "-o")
    evaluation, _ = _import_evaluation()
    training = importlib.import_module("velkora.training")
    from velkora.signal_catalogue import DESCRIPTIONS

    started = time.monotonic()
    sessions, bad, stopped_at = _read_labelled(args.input, evaluation, stderr, args.strict, "train")
    if stopped_at is not None:
        stderr.write(f"{PROG} train: stopped at {args.input}, line {stopped_at} (--strict)\n")
        return 1
    if not sessions:
        raise UsageError(f"{args.input} holds no usable labelled session")
    provenance = {"file": os.path.basename(args.input), "sha256": _sha256(args.input), "skipped_lines": bad,
                  "licence": args.licence, "notes": args.note or []}
    settings = evaluation.Settings(folds=args.folds, bootstrap=args.bootstrap, seed=args.seed,
                                   target_fpr=args.target_fpr)
    progress = _StageProgress(stderr, not args.quiet, stderr.isatty(), "train")
    pool: ProcessPoolExecutor | None = None
    mapper: Callable[[Callable[[Any], Any], Iterable[Any]], Iterable[Any]] = map
    if args.jobs > 1:
        pool = ProcessPoolExecutor(args.jobs, mp_context=multiprocessing.get_context("forkserver"))
        mapper = pool.map
    mode = os.path.splitext(os.path.basename(args.input))[0]
    try:
        document = training.train(sessions, settings, provenance=provenance, signal_descriptions=DESCRIPTIONS,
                                  mapper=mapper, progress=progress, mode=mode)
    except ValueError as error:  # TrainingError, ProtocolError: what the data cannot support
        raise UsageError(str(error)) from None
    finally:
        progress.end()
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
    directory = os.path.dirname(args.output) or "."
    try:
        with open(os.path.join(directory, f".{os.path.basename(args.output)}.tmp"), "w", encoding="utf-8") as out:
            json.dump(document, out, indent=1, allow_nan=False)
            out.write("\n")
        os.replace(out.name, args.output)
    except OSError as error:
        raise UsageError(f"cannot write {error.filename}: {error.strerror}") from None
    if not args.quiet:
        both = document["heldout"]["both"]["results"]
        lofo = ", ".join(f"{r['family']} {r['auc']:.3f}" for r in both
                         if r["model"] == "trained" and r["protocol"] == "lofo" and r["auc"] is not None)
        stderr.write(f"{PROG} train: {document['id']} from {len(sessions)} sessions ({bad} lines skipped) in "
                     f"{time.monotonic() - started:.0f} s; held-out AUC by family left out: {lofo}\n")
    stdout.write(f"{args.output}\n".encode())
    return 0


# --- the command line ----------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Behavioural telemetry features in bulk.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    features = commands.add_parser(
        "features", help="one row of features per session of a JSON-lines file",
        description="Writes one row of extract_features_rs features per session (one JSON object a line). "
                    "A line that is not a JSON object is reported with its number and skipped.")
    features.add_argument("input", metavar="SESSIONS", help="JSON-lines file of sessions, - for standard input")
    features.add_argument("-o", "--output", default="-", metavar="OUT",
                          help="output file (.csv, .jsonl, .parquet), - for standard output (default, as CSV "
                               "unless --format says otherwise)")
    features.add_argument("--format", choices=ft.FORMATS, help="output format where the extension does not say")
    features.add_argument("--keep", metavar="FIELDS", help="session fields carried into each row, e.g. _id,label")
    features.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                          help="worker processes (default 1); rows keep the input's order")
    features.add_argument("--strict", action="store_true", help="stop at the first bad line with exit status 1")
    features.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    features.set_defaults(run=run_features)

    report = commands.add_parser(
        "report", help="an HTML page of each feature's distribution per label",
        description="Writes one self-contained HTML page: rows per label, a histogram of each feature per label "
                    "and the features that separate the labels most.")
    report.add_argument("input", metavar="FEATURES", help="output of velkora features (.csv, .jsonl, .parquet)")
    report.add_argument("-o", "--output", default="-", metavar="HTML", help="the page, - for standard output")
    report.add_argument("--by", default="label", metavar="FIELD", help="the column to group rows by (label)")
    report.add_argument("--format", choices=ft.FORMATS, help="input format where the extension does not say")
    report.add_argument("--bins", type=int, default=30, help="histogram bins per feature (30)")
    report.add_argument("-q", "--quiet", action="store_true", help="no summary")
    report.set_defaults(run=run_report)

    evaluate = commands.add_parser(
        "evaluate", help="how well the verdict and a trained baseline tell people from bots, held out",
        description="Cross-validates the verdict policy and a gradient-boosting baseline on labelled sessions "
                    "(one JSON object a line with _id, label, family and groups), folds purged of shared people "
                    "and operators, per bot family and modality, with cluster-bootstrap intervals, a "
                    "timing-only sensor check and a shuffled-label control. Needs numpy and scikit-learn.")
    evaluate.add_argument("inputs", nargs="+", metavar="LABELLED",
                          help="labelled JSON-lines files, one per sensor mode (named by the file); the first is "
                               "the headline")
    evaluate.add_argument("-o", "--output", metavar="JSON", help="write every result as JSON")
    evaluate.add_argument("--html", metavar="HTML", help="write a self-contained HTML page")
    evaluate.add_argument("--folds", type=int, default=5, help="cross-validation folds (5)")
    evaluate.add_argument("--bootstrap", type=int, default=1000, help="bootstrap replicates, 0 for none (1000)")
    evaluate.add_argument("--seed", type=int, default=0, help="seed of folds, bootstrap and shuffles (0)")
    evaluate.add_argument("--target-fpr", type=float, default=0.01, metavar="RATE",
                          help="share of people a threshold may judge bot (0.01)")
    evaluate.add_argument("--policy", metavar="PATH", help="verdict policy file (default: the packaged example)")
    evaluate.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help="worker processes for fits (1)")
    evaluate.add_argument("--model", metavar="MODEL",
                          help="a model file of velkora train: check that its held-out figures are reproduced")
    evaluate.add_argument("--note", action="append", metavar="TEXT",
                          help="a caveat for the page's \"what this cannot tell\" list (repeatable)")
    evaluate.add_argument("--strict", action="store_true", help="stop at the first bad line with exit status 1")
    evaluate.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary")
    evaluate.set_defaults(run=run_evaluate)

    train = commands.add_parser(
        "train", help="a model file for the service's verdict, from labelled sessions",
        description="Trains gradient-boosted trees on the native features and signals of labelled sessions "
                    "(JSON lines or Parquet, with _id, label, family and groups), one model per modality (both, "
                    "pointer only, keys only). The same purged grouped folds as evaluate give held-out scores, "
                    "which set the calibration, the threshold at the target false-positive rate and the "
                    "minimum input per modality; the file also records the held-out figures and where the "
                    "data came from. Needs numpy and scikit-learn; the service reads the file without them.")
    train.add_argument("input", metavar="LABELLED", help="labelled JSON-lines (.jsonl) or Parquet (.parquet) file")
    train.add_argument("-o", "--output", required=True, metavar="MODEL", help="the model file to write (JSON)")
    train.add_argument("--folds", type=int, default=5, help="cross-validation folds (5)")
    train.add_argument("--bootstrap", type=int, default=1000,
                       help="bootstrap replicates of the held-out figures, 0 for none (1000)")
    train.add_argument("--seed", type=int, default=0, help="seed of folds and bootstrap (0)")
    train.add_argument("--target-fpr", type=float, default=0.01, metavar="RATE",
                       help="share of held-out people the threshold may judge bot (0.01)")
    train.add_argument("--licence", default="unstated", metavar="TEXT",
                       help="the training data's licence, recorded in the file (say whether it may be shared)")
    train.add_argument("--note", action="append", metavar="TEXT", help="a provenance note (repeatable)")
    train.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help="worker processes for fits (1)")
    train.add_argument("--strict", action="store_true", help="stop at the first bad line with exit status 1")
    train.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary")
    train.set_defaults(run=run_train)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    stdout = sys.stdout.buffer
    try:
        status: int = args.run(args, sys.stdin.buffer, stdout, sys.stderr)
        return status
    except UsageError as error:
        sys.stderr.write(f"{PROG} {args.command}: error: {error}\n")
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    except BrokenPipeError:
        # The reader went away (velkora features ... | head): stop quietly, and keep the
        # interpreter's final flush of standard output from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
