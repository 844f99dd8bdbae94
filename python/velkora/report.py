"""The ``velkora report`` page, without I/O: rows of features grouped by a label, each feature's
distribution per label as an inline SVG histogram, and the features that separate the labels
most, measured by the two-sample Kolmogorov-Smirnov statistic (the largest gap between two
labels' cumulative distributions: 0 for the same distribution, 1 for no overlap)."""

from __future__ import annotations

import html
import itertools
import math
from array import array
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

NO_LABEL = "(none)"
PALETTE = ("#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf")
TOP_FEATURES = 12


def to_number(value: Any) -> float | None:
    """A feature value as read back from CSV (text), JSON lines or Parquet: booleans count
    as 1.0/0.0, "NaN"/"Infinity"/"nan"/"inf" as the non-finite floats; None when the value
    is missing or is not a number."""
    if value is None:
        return None
    if isinstance(value, bool):
        return 1.0 if value else 0.0
    if isinstance(value, int | float):
        return float(value)
    if isinstance(value, str):
        text = value.strip().lower()
        if text in ("true", "false"):
            return 1.0 if text == "true" else 0.0
        try:
            return float(text) if text else None
        except ValueError:
            return None
    return None


def label_of(value: Any) -> str:
    if value is None or value == "":
        return NO_LABEL
    return value if isinstance(value, str) else str(value)


@dataclass
class ReportData:
    """Finite values of each feature per label, with what was left out."""

    by: str
    features: tuple[str, ...]
    rows: int = 0
    values: dict[str, dict[str, array[float]]] = field(default_factory=dict)
    non_finite: dict[str, int] = field(default_factory=dict)  # per feature, all labels
    missing: dict[str, int] = field(default_factory=dict)
    label_rows: dict[str, int] = field(default_factory=dict)

    def counts(self) -> dict[str, int]:
        """Rows per label, largest first (then by name)."""
        sizes = {label: self.label_rows[label] for label in self.values}
        return dict(sorted(sizes.items(), key=lambda item: (-item[1], item[0])))


def collect(records: Iterable[Mapping[str, Any]], by: str, known_features: Sequence[str]) -> ReportData:
    """Groups the rows by the `by` column. The feature columns are those of `known_features`
    present in the first row, in the file's order. Raises ValueError when `by` or every
    feature column is absent."""
    data: ReportData | None = None
    for record in records:
        if data is None:
            features = tuple(name for name in record if name in known_features)
            if by not in record:
                raise ValueError(f"no column {by!r} to group by; the columns are {', '.join(record)}")
            if not features:
                raise ValueError("no feature columns (is this the output of velkora features?)")
            data = ReportData(by, features, non_finite=dict.fromkeys(features, 0),
                              missing=dict.fromkeys(features, 0))
        label = label_of(record.get(by))
        per_feature = data.values.get(label)
        if per_feature is None:
            per_feature = data.values[label] = {name: array("d") for name in data.features}
            data.label_rows[label] = 0
        data.label_rows[label] += 1
        data.rows += 1
        for name in data.features:
            number = to_number(record.get(name))
            if number is None:
                data.missing[name] += 1
            elif math.isfinite(number):
                per_feature[name].append(number)
            else:
                data.non_finite[name] += 1
    if data is None:
        raise ValueError("the features file has no rows")
    return data


def ks_statistic(a: Sequence[float], b: Sequence[float]) -> float:
    """The two-sample Kolmogorov-Smirnov statistic of two sorted samples; 0.0 when one is empty."""
    if not a or not b:
        return 0.0
    i = j = 0
    gap = 0.0
    while i < len(a) and j < len(b):
        x = min(a[i], b[j])
        while i < len(a) and a[i] == x:
            i += 1
        while j < len(b) and b[j] == x:
            j += 1
        gap = max(gap, abs(i / len(a) - j / len(b)))
    return gap


@dataclass(frozen=True)
class Separation:
    feature: str
    statistic: float
    labels: tuple[str, str]
    medians: tuple[float, float]


def _median(values: Sequence[float]) -> float:
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def separations(data: ReportData) -> list[Separation]:
    """Each feature's largest KS statistic over every pair of labels, largest first; empty with
    fewer than two labels."""
    result: list[Separation] = []
    labels = list(data.counts())
    for name in data.features:
        ordered = {label: sorted(data.values[label][name]) for label in labels}
        best: Separation | None = None
        for first, second in itertools.combinations(labels, 2):
            a, b = ordered[first], ordered[second]
            if not a or not b:
                continue
            statistic = ks_statistic(a, b)
            if best is None or statistic > best.statistic:
                best = Separation(name, statistic, (first, second), (_median(a), _median(b)))
        if best is not None:
            result.append(best)
    result.sort(key=lambda s: (-s.statistic, s.feature))
    return result


def histogram(values: Iterable[float], low: float, high: float, bins: int) -> list[int]:
    """Counts in `bins` equal bins over [low, high]; the top edge belongs to the last bin.
    With low == high every value falls in the first bin."""
    counts = [0] * bins
    width = (high - low) / bins
    for value in values:
        index = int((value - low) / width) if width > 0 else 0
        counts[min(max(index, 0), bins - 1)] += 1
    return counts


def _number(value: float) -> str:
    return f"{value:.4g}"


def histogram_svg(data: ReportData, feature: str, bins: int, colours: Mapping[str, str]) -> str:
    """One feature's histograms, one outline per label, heights as the share of that label's
    values so that labels of different sizes compare."""
    width, height, pad = 360, 120, 4
    finite = [data.values[label][feature] for label in data.values]
    present = [v for v in finite if v]
    if not present:
        return '<p class="note">no finite values</p>'
    low = min(min(v) for v in present)
    high = max(max(v) for v in present)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height + 18}" '
             f'role="img" aria-label="{html.escape(feature)} per {html.escape(data.by)}">',
             f'<line x1="{pad}" y1="{height}" x2="{width - pad}" y2="{height}" stroke="#888"/>']
    step = (width - 2 * pad) / bins
    for label in data.values:
        values = data.values[label][feature]
        if not values:
            continue
        shares = [c / len(values) for c in histogram(values, low, high, bins)]
        top = max(shares)
        points = [f"{pad:.1f},{height}"]
        for i, share in enumerate(shares):
            y = height - (height - pad) * share / top if top > 0 else height
            points.append(f"{pad + i * step:.1f},{y:.1f} {pad + (i + 1) * step:.1f},{y:.1f}")
        points.append(f"{width - pad:.1f},{height}")
        parts.append(f'<polyline fill="none" stroke="{colours[label]}" stroke-width="1.5" '
                     f'points="{" ".join(points)}"><title>{html.escape(label)}</title></polyline>')
    parts.append(f'<text x="{pad}" y="{height + 14}" font-size="11">{_number(low)}</text>')
    parts.append(f'<text x="{width - pad}" y="{height + 14}" font-size="11" text-anchor="end">'
                 f'{_number(high)}</text>')
    parts.append("</svg>")
    return "".join(parts)


_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; }
th, td { padding: 0.2em 0.8em; border-bottom: 1px solid #ddd; text-align: left; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.grid { display: flex; flex-wrap: wrap; gap: 1.5em; }
figure { margin: 0; } figcaption { font-weight: 600; } .note { color: #777; font-size: 12px; }
.swatch { display: inline-block; width: 0.9em; height: 0.9em; margin-right: 0.3em; vertical-align: -0.1em; }
"""


def render_html(data: ReportData, bins: int = 30, title: str = "velkora report") -> str:
    """The whole page: no scripts, no external resources; every text from the data is escaped."""
    esc = html.escape
    counts = data.counts()
    colours = {label: PALETTE[i % len(PALETTE)] for i, label in enumerate(counts)}
    out = [f"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>{esc(title)}</title>"
           f"<style>{_STYLE}</style></head><body>", f"<h1>{esc(title)}</h1>",
           f"<h2>Rows per {esc(data.by)}</h2><table><tr><th>{esc(data.by)}</th><th>rows</th></tr>"]
    for label, count in counts.items():
        out.append(f'<tr><td><span class="swatch" style="background:{colours[label]}"></span>{esc(label)}</td>'
                   f'<td class="n">{count}</td></tr>')
    out.append(f'<tr><td>total</td><td class="n">{data.rows}</td></tr></table>')

    out.append("<h2>Features that separate the labels most</h2>")
    ranked = separations(data)
    if ranked:
        out.append('<p class="note">Kolmogorov-Smirnov statistic of the two labels whose distributions of the '
                   "feature differ most: 0 for the same distribution, 1 for no overlap.</p>"
                   "<table><tr><th>feature</th><th>KS</th><th>labels</th><th>medians</th></tr>")
        for s in ranked[:TOP_FEATURES]:
            out.append(f'<tr><td>{esc(s.feature)}</td><td class="n">{s.statistic:.3f}</td>'
                       f"<td>{esc(s.labels[0])} / {esc(s.labels[1])}</td>"
                       f'<td class="n">{_number(s.medians[0])} / {_number(s.medians[1])}</td></tr>')
        out.append("</table>")
    else:
        out.append('<p class="note">Needs at least two labels with values.</p>')

    out.append('<h2>Distributions</h2><div class="grid">')
    for name in data.features:
        notes = []
        if data.non_finite[name]:
            notes.append(f"{data.non_finite[name]} non-finite values left out")
        if data.missing[name]:
            notes.append(f"{data.missing[name]} missing or unreadable values")
        note = f'<div class="note">{esc("; ".join(notes))}</div>' if notes else ""
        out.append(f"<figure><figcaption>{esc(name)}</figcaption>"
                   f"{histogram_svg(data, name, bins, colours)}{note}</figure>")
    out.append("</div></body></html>\n")
    return "".join(out)
