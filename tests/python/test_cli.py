"""The velkora command as installed (the console script beside the interpreter), on the shared
sample of real sessions and on broken input: what it writes must equal what the module
returns for the same session, in the input's order, whatever the format and --jobs."""

import csv
import io
import json
import math
import os
import pathlib
import pty
import subprocess
import sys

import needs
import pytest
import velkora_core_rs as core
from velkora import features_table as ft
from velkora import report as rp

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("VELKORA_SHARED_DATA", ROOT.parent / "shared" / "data"))
SCRIPT = pathlib.Path(sys.executable).parent / "velkora"
FEATURES = tuple(core.extract_features_rs({}))


@pytest.fixture(scope="module")
def sample() -> list[bytes]:
    path = DATA / "sessions-sample.jsonl"
    if not path.exists():
        pytest.skip(f"missing: the shared sample sessions, {path}")
    return path.read_bytes().splitlines(keepends=True)


def velkora(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    assert SCRIPT.exists(), f"the console script is not installed at {SCRIPT}"
    return subprocess.run([str(SCRIPT), *map(str, args)], input=stdin, capture_output=True, timeout=120)


def same(a: object, b: object) -> bool:
    """Equal, type included (True is not 1), with NaN equal to NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def expected_rows(lines: list[bytes]) -> list[dict[str, object]]:
    return [core.extract_features_rs(json.loads(line)) for line in lines]  # type: ignore[misc]


def read_back(path: pathlib.Path, fmt: str) -> list[dict[str, object]]:
    """Rows as the documented spellings read back: float() for floats, true/false for bools."""
    types = {name: type(value) for name, value in core.extract_features_rs({}).items()}

    def typed(name: str, value: object) -> object:
        if name not in types:
            return value
        if types[name] is bool:
            return value if isinstance(value, bool) else {"true": True, "false": False}[str(value)]
        return types[name](value)  # float("NaN"), float("-inf"), int("12") ...

    if fmt == "csv":
        with path.open(newline="", encoding="utf-8") as f:
            rows: list[dict[str, object]] = list(csv.DictReader(f))
    elif fmt == "jsonl":
        # Standard JSON only: a bare NaN or Infinity token is refused.
        def refuse(token: str) -> object:
            raise AssertionError(f"non-standard JSON token {token}")
        rows = [json.loads(line, parse_constant=refuse) for line in path.read_text(encoding="utf-8").splitlines()]
    else:
        pq = needs.package("pyarrow.parquet")
        rows = pq.read_table(path).to_pylist()
    return [{k: typed(k, v) for k, v in row.items()} for row in rows]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_sample_sessions_give_the_module_features(sample, tmp_path, fmt, jobs):
    if fmt == "parquet":
        needs.package("pyarrow")
    source = tmp_path / "sessions.jsonl"
    source.write_bytes(b"".join(sample))
    out = tmp_path / f"features.{fmt}"
    result = velkora("features", source, "-o", out, "--keep", "_id,label", "--jobs", str(jobs))
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr.decode().splitlines()[-1] == "velkora features: read 30, written 30, skipped 0"
    rows = read_back(out, fmt)
    assert [list(r)[:2] for r in rows] == [["_id", "label"]] * 30
    assert list(rows[0])[2:] == list(FEATURES)
    for row, line, want in zip(rows, sample, expected_rows(sample), strict=True):
        assert row["_id"] == json.loads(line)["_id"]
        assert row["label"] in (None, "")  # the sample has no label: an empty cell
        for name in FEATURES:
            assert same(row[name], want[name]), (row["_id"], name, row[name], want[name])


def test_order_is_kept_across_batches_and_workers(sample, tmp_path):
    lines = []
    for i in range(10):  # 300 sessions: several batches for each of three workers
        for raw in sample:
            session = json.loads(raw)
            session["_id"] = f"{i}:{session['_id']}"
            lines.append(json.dumps(session).encode() + b"\n")
    result = velkora("features", "-", "-o", "-", "--format", "jsonl", "--keep", "_id", "-j", "3",
                     stdin=b"".join(lines))
    assert result.returncode == 0, result.stderr.decode()
    rows = [json.loads(r) for r in result.stdout.splitlines()]
    assert [r["_id"] for r in rows] == [json.loads(raw)["_id"] for raw in lines]
    assert [r["curvature_score"] for r in rows] == [core.extract_features_rs(json.loads(raw))["curvature_score"]
                                                    for raw in lines]


BROKEN = [
    b'{"mouse_movements": [{"x": 1, "y": 2, "t": 0}], "_id": "a"}\n',  # 1 good
    b"not json at all\n",  # 2
    b"\n",  # 3 blank: neither read nor skipped
    b"[1, 2, 3]\n",  # 4 an array
    b'"a string"\n',  # 5
    b'{"_id": "b", "keystrokes": [{"key": "a", "down": 0, "up": 90}]}\n',  # 6 good
    b'{"_id": "c", "browser": \xff}\n',  # 7 invalid UTF-8
    b"[" * 100_000 + b"]" * 100_000 + b"\n",  # 8 nested too deeply for the parser
    b'{"_id": "d"',  # 9 cut off, no newline at the end of the file
    b"",
]


def test_bad_lines_are_reported_by_number_and_skipped(tmp_path):
    source = tmp_path / "broken.jsonl"
    source.write_bytes(b"".join(BROKEN))
    result = velkora("features", source, "-o", tmp_path / "out.jsonl", "--keep", "_id")
    assert result.returncode == 0
    messages = result.stderr.decode().splitlines()
    assert [m.split(":")[1].strip() for m in messages[:-1]] == ["line 2", "line 4", "line 5", "line 7",
                                                                "line 8", "line 9"]
    assert "not a JSON object but an array" in messages[1]
    assert "not valid UTF-8" in messages[3]
    assert messages[-1] == "velkora features: read 8, written 2, skipped 6"
    rows = read_back(tmp_path / "out.jsonl", "jsonl")
    assert [r["_id"] for r in rows] == ["a", "b"]
    for row, line in zip(rows, [BROKEN[0], BROKEN[5]]):
        assert all(same(row[k], v) for k, v in core.extract_features_rs(json.loads(line)).items())


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_strict_stops_at_the_first_bad_line(tmp_path, jobs):
    good = BROKEN[0]
    result = velkora("features", "-", "-o", "-", "--format", "csv", "--strict", "-j", jobs,
                     stdin=good * 100 + b"{oops\n" + good * 100)
    assert result.returncode == 1
    assert result.stdout.decode().count("\n") == 1 + 100  # the header and the rows before the bad line
    assert result.stderr.decode().splitlines() == [
        "velkora features: line 101: not valid JSON (Expecting property name enclosed in double quotes: "
        "line 1 column 2 (char 1))",
        "velkora features: read 101, written 100, skipped 1; stopped at line 101 (--strict)"]


def test_non_finite_values_are_written_as_documented(tmp_path):
    # An infinite touch radius gives an infinite mean and a NaN variance.
    session = b'{"mouse_movements": [{"x": 0, "y": 0, "t": 0, "r": 1e999}, {"x": 1, "y": 1, "t": 5, "r": 2}]}\n'
    want = core.extract_features_rs(json.loads(session))
    assert want["avg_touch_radius"] == math.inf and math.isnan(want["touch_radius_var"])
    as_csv = velkora("features", "-", "-o", "-", "--format", "csv", stdin=session).stdout.decode().splitlines()
    cells = dict(zip(as_csv[0].split(","), as_csv[1].split(",")))
    assert (cells["avg_touch_radius"], cells["touch_radius_var"], cells["webdriver"]) == ("inf", "nan", "false")
    as_json = json.loads(velkora("features", "-", "-o", "-", "--format", "jsonl", stdin=session).stdout)
    assert (as_json["avg_touch_radius"], as_json["touch_radius_var"]) == ("Infinity", "NaN")


def test_features_of_a_file_go_to_standard_output_as_csv_by_default(tmp_path):
    sessions = tmp_path / "s.jsonl"
    sessions.write_bytes(b'{"mouse_movements": [{"x": 0, "y": 0, "t": 0}]}\n{}\n')
    result = velkora("features", sessions)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode().splitlines()
    assert lines[0].split(",") == list(FEATURES) and len(lines) == 3
    assert dict(zip(lines[0].split(","), lines[1].split(",")))["mouse_points"] == "1"


@pytest.mark.parametrize(("args", "message"), [
    (["-o", "out.txt"], "cannot tell the format of 'out.txt'"),
    (["-o", "x.csv", "--keep", "_id,_id"], "names a field twice"),
    (["-o", "x.csv", "--keep", "webdriver"], "'webdriver' is also a feature column"),
    (["-o", "x.csv", "--jobs", "0"], "--jobs must be at least 1"),
    (["-o", "missing/x.csv"], "cannot write missing/x.csv: No such file or directory"),
])
def test_usage_errors_exit_2_with_a_message(tmp_path, args, message):
    result = subprocess.run([str(SCRIPT), "features", "-", *args], input=b"{}\n", capture_output=True,
                            cwd=tmp_path)
    assert result.returncode == 2
    assert message in result.stderr.decode()
    assert not (tmp_path / "x.csv").exists()  # refused before anything is written


def test_parquet_without_pyarrow_says_what_to_install(tmp_path):
    code = "import sys; sys.modules['pyarrow'] = None; from velkora.cli import main; sys.exit(main())"
    result = subprocess.run([sys.executable, "-c", code, "features", "-", "-o", str(tmp_path / "f.parquet")],
                            input=b"{}\n", capture_output=True)
    assert result.returncode == 2
    assert "pip install 'velkora_core_rs[parquet]'" in result.stderr.decode()


def test_progress_only_on_a_terminal(tmp_path):
    source = tmp_path / "s.jsonl"
    source.write_bytes(BROKEN[0] * 20_000)
    piped = velkora("features", source, "-o", tmp_path / "a.csv")
    assert b"\r" not in piped.stderr and b"ETA" not in piped.stderr
    # The same run with standard error on a pseudo-terminal draws the bar.
    controller, terminal = pty.openpty()
    process = subprocess.Popen([str(SCRIPT), "features", str(source), "-o", str(tmp_path / "b.csv")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=terminal)
    os.close(terminal)
    seen = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # the terminal is gone once the process has exited
            break
        if not chunk:
            break
        seen += chunk
    assert process.wait(timeout=60) == 0
    os.close(controller)
    assert b"\r[########################] 100%  20,000 sessions" in seen
    assert b"/s" in seen and b"ETA 00:00" in seen
    assert seen.rstrip().endswith(b"read 20000, written 20000, skipped 0")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine keeps freed memory resident")
def test_memory_stays_flat_as_the_input_grows(tmp_path):
    session = json.dumps({"mouse_movements": [{"x": i, "y": i * i % 7, "t": 16 * i} for i in range(40)]}).encode()

    def peak_rss_kib(count: int) -> int:
        with (tmp_path / "in.jsonl").open("wb") as f:
            for _ in range(count):
                f.write(session + b"\n")
        # VmHWM, the peak resident size of this process image: unlike the rusage figures it
        # starts afresh at exec, so it does not include the forked copy of the test runner.
        code = ("import re, sys; from velkora.cli import main; assert main(sys.argv[1:]) == 0; "
                "print(re.search(r'VmHWM:\\s+(\\d+) kB', open('/proc/self/status').read())[1])")
        result = subprocess.run([sys.executable, "-c", code, "features", str(tmp_path / "in.jsonl"), "-o",
                                 str(tmp_path / "out.csv"), "-q"], capture_output=True, text=True, check=True)
        return int(result.stdout)

    small, large = peak_rss_kib(1_000), peak_rss_kib(30_000)  # about 1 MB and 30 MB of input
    assert large - small < 8 * 1024, (small, large)


# --- report --------------------------------------------------------------------------------------


def labelled_features(sample, tmp_path, fmt: str) -> pathlib.Path:
    lines = []
    for raw in sample:
        session = json.loads(raw)
        # Pointer sessions against the rest; one label needs escaping in HTML.
        session["label"] = "<pointer & co>" if len(session["mouse_movements"]) >= 50 else "other"
        lines.append(json.dumps(session).encode() + b"\n")
    out = tmp_path / f"features.{fmt}"
    result = velkora("features", "-", "-o", out, "--keep", "_id,label", stdin=b"".join(lines))
    assert result.returncode == 0, result.stderr.decode()
    return out


def test_report_is_one_self_contained_page(sample, tmp_path):
    features_csv = labelled_features(sample, tmp_path, "csv")
    result = velkora("report", features_csv, "-o", tmp_path / "r.html", "--by", "label")
    assert result.returncode == 0, result.stderr.decode()
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    rows = list(csv.DictReader(features_csv.open(encoding="utf-8")))
    pointer = sum(r["label"] == "<pointer & co>" for r in rows)
    assert 0 < pointer < 30
    counts = sorted([("<pointer & co>", pointer), ("other", 30 - pointer)], key=lambda c: (-c[1], c[0]))
    assert result.stderr.decode() == f"velkora report: 30 rows ({counts[0][0]} {counts[0][1]}, " \
                                     f"{counts[1][0]} {counts[1][1]})\n"
    assert "<pointer & co>" not in page and "&lt;pointer &amp; co&gt;" in page
    assert page.count("<figure>") == page.count("<svg") == len(FEATURES)
    for external in ("<script", "src=", "href=", "@import", "url("):
        assert external not in page
    # The labels were made from the number of pointer samples: mouse_points separates them
    # completely, so it is in the table with the largest statistic there is.
    table = page.split("Features that separate the labels most")[1].split("</table>")[0]
    assert '<td>mouse_points</td><td class="n">1.000</td>' in table
    assert table.count("<tr><td>") == rp.TOP_FEATURES
    # The same features as JSON lines or Parquet give the same page.
    for fmt in ("jsonl", "parquet"):
        features_file = labelled_features(sample, tmp_path, fmt)
        again = velkora("report", features_file, "-o", "-", "-q")
        assert again.returncode == 0, again.stderr.decode()
        assert again.stdout.decode() == page.replace(features_csv.name, features_file.name), fmt


def test_report_without_the_label_column_is_a_usage_error(sample, tmp_path):
    result = velkora("report", labelled_features(sample, tmp_path, "csv"), "--by", "cohort")
    assert result.returncode == 2
    assert "no column 'cohort' to group by" in result.stderr.decode()


# --- the decisions, without a process ------------------------------------------------------------


@pytest.mark.parametrize(("a", "b", "statistic"), [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.0),
    ([1.0, 2.0], [3.0, 4.0], 1.0),
    ([1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0], 0.5),
    ([0.0, 0.0, 1.0], [0.0, 1.0, 1.0], 1 / 3),  # ties move both distributions at once
    ([], [1.0], 0.0),
])
def test_kolmogorov_smirnov_statistic(a, b, statistic):
    assert rp.ks_statistic(a, b) == pytest.approx(statistic)
    assert rp.ks_statistic(b, a) == pytest.approx(statistic)


def test_histogram_bins_and_edges():
    assert rp.histogram([0.0, 0.5, 0.99, 1.0, 2.0, 3.0], 0.0, 3.0, 3) == [3, 1, 2]
    assert rp.histogram([5.0, 5.0], 5.0, 5.0, 4) == [2, 0, 0, 0]


def test_progress_line_rate_and_time_left():
    assert ft.progress_line(1000, 2.0, 250, 1000) == (
        "[######------------------]  25%  1,000 sessions  500/s  00:02  ETA 00:06")
    assert ft.progress_line(7, 3725.0, 0, None) == "7 sessions  0/s  1:02:05"
    assert ft.progress_line(0, 0.0, 0, 10).endswith("ETA --:--")
    assert ft.progress_line(1, 59.6, 5, 10).endswith("01:00  ETA 01:00")


@pytest.mark.parametrize(("value", "cell", "json_value"), [
    (0.1, "0.1", 0.1), (1e-320, "1e-320", 1e-320), (-0.0, "-0.0", -0.0), (True, "true", True), (7, "7", 7),
    (math.inf, "inf", "Infinity"), (-math.inf, "-inf", "-Infinity"), (None, "", None),
    ({"a": [1]}, '{"a":[1]}', {"a": [1]}), ("x,y", "x,y", "x,y"),
])
def test_value_spellings(value, cell, json_value):
    assert ft.csv_cell(value) == cell
    assert ft.json_value(value) == json_value
    if isinstance(value, float):
        assert float(cell) == value and str(float(cell)) == str(value)  # the sign of -0.0 too
    buffer = io.StringIO()
    csv.writer(buffer).writerow([cell])
    assert next(csv.reader(io.StringIO(buffer.getvalue())), [""]) == [cell]


def test_nan_is_spelled_so_that_it_reads_back():
    assert ft.csv_cell(math.nan) == "nan" and math.isnan(float(ft.csv_cell(math.nan)))
    assert ft.json_value(math.nan) == "NaN" and math.isnan(float(ft.json_value(math.nan)))

