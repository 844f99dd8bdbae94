"""What ``velkora evaluate`` shows, without I/O: the text table on standard output and the
self-contained HTML page (no scripts, no external resources; ROC curves as inline SVG),
both drawn from the JSON-ready result of ``velkora.evaluation.evaluate``."""

from __future__ import annotations

import html
from collections.abc import Mapping, Sequence
from typing import Any

from velkora.report import PALETTE

ROW_ORDER = (("policy", "fixed"), ("baseline", "lofo"), ("baseline", "in-family"), ("trained", "lofo"),
             ("trained", "in-family"), ("verdict", "lofo"))


def number(value: float | None, digits: int = 3) -> str:
    return "—" if value is None else f"{value:.{digits}f}"


def share(value: float | None) -> str:
    return "—" if value is None else f"{100 * value:.1f}%"


def with_interval(value: float | None, interval: Sequence[float] | None, percent: bool = False) -> str:
    show = share if percent else number
    if interval is None:
        return show(value)
    return f"{show(value)} [{show(interval[0])}, {show(interval[1])}]"


def _insufficient(row: Mapping[str, Any], verdicts: Mapping[str, Any] | None) -> str:
    """The policy's share at insufficient-data of the row's bots and of the people."""
    if row["model"] != "policy" or verdicts is None:
        return "—"
    people = verdicts.get("human", {}).get("insufficient-data")
    if row["family"] == "all":
        return f"people {share(people)}"
    bots = verdicts.get(row["family"], {}).get("insufficient-data")
    return f"{share(bots)} / people {share(people)}"


def table_rows(modality: Mapping[str, Any]) -> list[list[str]]:
    """model, protocol, family, people, bots, AUC [CI], TPR [CI], people judged bot [CI],
    insufficient-data share (policy only)."""
    verdicts = modality.get("verdicts")
    return [[r["model"], r["protocol"], r["family"], str(r["people"]), str(r["bots"]),
             with_interval(r["auc"], r["auc_ci"]), with_interval(r["tpr"], r["tpr_ci"], percent=True),
             with_interval(r["people_judged_bot"], r["people_judged_bot_ci"], percent=True),
             _insufficient(r, verdicts)] for r in modality["results"]]


def table_header(target_fpr: float) -> list[str]:
    return ["model", "protocol", "family", "people", "bots", "AUC [95% CI]",
            f"TPR at {share(target_fpr)} FPR [CI]", "people judged bot [CI]", "insufficient-data (bots / people)"]


def _aligned(rows: Sequence[Sequence[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows)


def _modality_rows(mode: Mapping[str, Any]) -> list[list[str]]:
    """AUC of each family with only one modality captured."""
    rows = []
    for name in ("pointer", "keys"):
        modality = mode["modalities"][name]
        for family in [*modality["bots"], "all"]:
            aucs = [_result(modality, model, protocol, family) for model, protocol in ROW_ORDER]
            bots = next((r["bots"] for r in aucs if r is not None), 0)
            rows.append([name, family, f"{modality['people']} + {bots}",
                         *(number(r["auc"]) if r is not None else "—" for r in aucs)])
    return rows


def text_summary(result: Mapping[str, Any]) -> str:
    """The table printed on standard output: per mode, the per-family results with every
    modality present, then the sensor check and the shuffled-label control."""
    target = result["settings"]["target_fpr"]
    out: list[str] = []
    for mode in result["modes"]:
        headline = " (headline)" if mode["mode"] == result["headline"] else ""
        counts = ", ".join(f"{family} {n}" for family, n in mode["counts"].items())
        out.append(f"== {mode['mode']}{headline}: {mode['sessions']} sessions ({counts})")
        modality = mode["modalities"]["both"]
        out.append(_aligned([table_header(target), *table_rows(modality)]))
        for skipped in modality.get("skipped", []):
            out.append(f"not evaluated: {skipped['reason']}")
        out.append(_aligned([["modality", "family", "sessions", "AUC policy", "baseline lofo", "baseline in-family",
                              "trained lofo", "trained in-family", "verdict lofo"],
                             *_modality_rows(mode)]))
        sensor = mode["sensor_check"]
        verdict = sensor["verdict"]
        met = {True: "met", False: "NOT met", None: "not measured"}[verdict["met"]]
        worst = verdict["worst"]
        worst_text = f", highest {worst['family']} ({worst['protocol']}) {number(worst['auc'])}" if worst else ""
        out.append(f"sensor check: timing-only model on {sensor['sessions']} sessions with pointer samples; "
                   f"goal AUC <= {verdict['goal_auc']}: {met}{worst_text}")
        by_family: dict[str, dict[str, str]] = {}
        for r in sensor["results"]:
            by_family.setdefault(r["family"], {})[r["protocol"]] = with_interval(r["auc"], r["auc_ci"])
        out.append(_aligned([["family", "lofo AUC [CI]", "in-family AUC [CI]"],
                             *([f, v.get("lofo", "—"), v.get("in-family", "—")] for f, v in by_family.items())]))
        control = mode["shuffled_control"]
        if "auc" in control:
            auc = with_interval(control["auc"], control["auc_ci"])
            out.append(f"shuffled-label control (in-family baseline): AUC {auc}"
                       f" (expected 0.5 ± {control['expected'][1] - 0.5:.1f}: "
                       f"{'yes' if control['within'] else 'NO'})")
        else:
            out.append(f"shuffled-label control: not evaluated ({control.get('skipped')})")
        out.append("")
    return "\n".join(out)


# --- the page ----------------------------------------------------------------------------------------

_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 2em; color: #222; max-width: 90em; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; }
th, td { padding: 0.2em 0.8em; border-bottom: 1px solid #ddd; text-align: left; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.grid { display: flex; flex-wrap: wrap; gap: 1.5em; }
figure { margin: 0; } figcaption { font-weight: 600; } .note { color: #777; font-size: 12px; }
.bad { color: #b00; font-weight: 600; } .good { color: #070; font-weight: 600; }
.swatch { display: inline-block; width: 0.9em; height: 0.9em; margin-right: 0.3em; vertical-align: -0.1em; }
"""

_CURVES = (("policy", "fixed", PALETTE[0]), ("baseline", "lofo", PALETTE[1]), ("trained", "lofo", PALETTE[2]),
           ("verdict", "lofo", PALETTE[3]))


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], numeric_from: int = 3) -> str:
    esc = html.escape
    out = ["<table><tr>", *(f"<th>{esc(h)}</th>" for h in header), "</tr>"]
    for row in rows:
        out.append("<tr>")
        out.extend(f'<td class="n">{esc(c)}</td>' if i >= numeric_from else f"<td>{esc(c)}</td>"
                   for i, c in enumerate(row))
        out.append("</tr>")
    out.append("</table>")
    return "".join(out)


def roc_svg(curves: Sequence[tuple[str, str, Sequence[Sequence[float]]]], target_fpr: float, label: str) -> str:
    """ROC curves (label, colour, points) on one chart, with the chance diagonal and the
    target false-positive rate."""
    size, pad = 240, 30
    x0, y0 = pad, size + 8

    def at(fpr: float, tpr: float) -> str:
        return f"{x0 + fpr * size:.1f},{y0 - tpr * size:.1f}"

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size + pad + 10}" height="{size + 48}" role="img" '
             f'aria-label="{html.escape(label)}">',
             f'<rect x="{x0}" y="{y0 - size}" width="{size}" height="{size}" fill="none" stroke="#888"/>',
             f'<line x1="{x0}" y1="{y0}" x2="{x0 + size}" y2="{y0 - size}" stroke="#ccc" stroke-dasharray="4 3"/>',
             f'<line x1="{x0 + target_fpr * size:.1f}" y1="{y0}" x2="{x0 + target_fpr * size:.1f}" '
             f'y2="{y0 - size}" stroke="#999" stroke-dasharray="2 2"><title>target FPR</title></line>']
    for name, colour, points in curves:
        if points:
            parts.append(f'<polyline fill="none" stroke="{colour}" stroke-width="1.6" '
                         f'points="{" ".join(at(x, y) for x, y in points)}"><title>{html.escape(name)}</title>'
                         f"</polyline>")
    for value in (0.0, 0.5, 1.0):
        parts.append(f'<text x="{x0 + value * size:.1f}" y="{y0 + 14}" font-size="10" text-anchor="middle">'
                     f"{value:g}</text>")
        parts.append(f'<text x="{x0 - 4}" y="{y0 - value * size + 3:.1f}" font-size="10" text-anchor="end">'
                     f"{value:g}</text>")
    parts.append(f'<text x="{x0 + size / 2}" y="{y0 + 28}" font-size="11" text-anchor="middle">'
                 "people judged bot (FPR)</text>")
    parts.append(f'<text x="10" y="{y0 - size / 2}" font-size="11" text-anchor="middle" '
                 f'transform="rotate(-90 10 {y0 - size / 2})">bots caught (TPR)</text>')
    parts.append("</svg>")
    return "".join(parts)


def _result(modality: Mapping[str, Any], model: str, protocol: str, family: str) -> Mapping[str, Any] | None:
    return next((r for r in modality["results"]
                 if r["model"] == model and r["protocol"] == protocol and r["family"] == family), None)


def _roc_section(mode: Mapping[str, Any], target_fpr: float) -> str:
    esc = html.escape
    modality = mode["modalities"]["both"]
    out = ['<p class="note">', *(f'<span class="swatch" style="background:{c}"></span>{esc(m)} ({esc(p)}) '
                                 for m, p, c in _CURVES),
           "; the dotted line is the target false-positive rate, the dashed one chance.</p>",
           '<div class="grid">']
    for family in mode["families"]:
        curves = []
        captions = []
        for model, protocol, colour in _CURVES:
            row = _result(modality, model, protocol, family)
            if row is not None:
                curves.append((f"{model} ({protocol})", colour, row["roc"]))
                captions.append(f"{model} {number(row['auc'])}")
        out.append(f"<figure><figcaption>{esc(family)}</figcaption>"
                   f"{roc_svg(curves, target_fpr, f'ROC of {family}')}"
                   f'<div class="note">AUC {esc(", ".join(captions))}</div></figure>')
    out.append("</div>")
    return "".join(out)


def _sensor_section(result: Mapping[str, Any]) -> str:
    esc = html.escape
    out = ['<p>A model given only the pointer time stamps (intervals, their clock, their resolution; no '
           "positions, no keys). If it tells people from bots, the sessions differ in how they were captured, "
           "and any model may be learning the capture rather than the person.</p>"]
    for mode in result["modes"]:
        sensor = mode["sensor_check"]
        verdict = sensor["verdict"]
        met = verdict["met"]
        status = ('<span class="good">met</span>' if met else '<span class="bad">not met</span>' if met is False
                  else "not measured")
        worst = verdict["worst"]
        worst_text = (f"; highest AUC {number(worst['auc'])} ({esc(worst['family'])}, {esc(worst['protocol'])})"
                      if worst else "")
        out.append(f"<h3>{esc(mode['mode'])}</h3><p>Goal AUC ≤ {verdict['goal_auc']}: {status}{worst_text}. "
                   f"{sensor['sessions']} sessions with pointer samples.</p>")
        rows = [[r["protocol"], r["family"], str(r["people"]), str(r["bots"]), with_interval(r["auc"], r["auc_ci"])]
                for r in sensor["results"]]
        out.append(_table(["protocol", "family", "people", "bots", "AUC [95% CI]"], rows, numeric_from=2))
        single = sensor.get("feature_auc")
        if single:
            families = list(next(iter(single.values())))
            out.append('<p class="note">Each timing feature on its own: AUC per family against the people '
                       "(0.5 tells nothing; far from it in either direction, the feature gives the bots away).</p>")
            out.append(_table(["feature", *families],
                              [[name, *(number(aucs[f], 2) for f in families)] for name, aucs in single.items()],
                              numeric_from=1))
        for skipped in sensor.get("skipped", []):
            out.append(f'<p class="note">not evaluated: {esc(skipped["reason"])}</p>')
    return "".join(out)


def _purge_rows(modality: Mapping[str, Any]) -> list[list[str]]:
    rows = []
    for purge in modality["purges"]:
        folds = purge["folds"]
        rows.append([purge["protocol"], purge["family"] or "all",
                     " / ".join(str(f["test"]) for f in folds), " / ".join(str(f["train"]) for f in folds),
                     " / ".join(str(f["purged"]) for f in folds)])
    return rows


def render_html(result: Mapping[str, Any], title: str = "velkora evaluate") -> str:
    """The whole page; every text that comes from the data is escaped."""
    esc = html.escape
    settings = result["settings"]
    target = settings["target_fpr"]
    modes = result["modes"]
    out = [f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{esc(title)}</title>'
           f"<style>{_STYLE}</style></head><body><h1>{esc(title)}</h1>"]
    versions = ", ".join(f"{k} {v}" for k, v in result["versions"].items())
    out.append(f'<p class="note">{settings["folds"]} purged grouped folds, {settings["bootstrap"]} cluster-bootstrap '
               f"replicates, seed {settings['seed']}, target false-positive rate {share(target)}; "
               f"{esc(versions)}.</p>")
    if not modes:
        out.append("<p>No sensor modes.</p></body></html>\n")
        return "".join(out)
    rows = [[m["mode"], str(m["sessions"]), ", ".join(f"{f} {n}" for f, n in m["counts"].items()),
             str(m.get("skipped_lines", 0))] for m in modes]
    out.append(_table(["sensor mode", "sessions", "per family", "bad lines skipped"], rows, numeric_from=1))
    headline = modes[0]
    out.append(f"<h2>Headline: {esc(headline['mode'])}, all modalities</h2>"
               '<p class="note">policy (fixed): the verdict policy, untrained. baseline (lofo): for each family, '
               "a model on the 39 native features that never saw it; baseline (in-family): every family in "
               "training. trained: the same protocols for the model velkora train writes (native features "
               "and signals); verdict: the service's decision, its hard rules (automation flag, machine-speed "
               "key holds) first, then that model. Thresholds are set "
               "on people of other folds; “people judged bot” is the share of held-out people above them.</p>")
    out.append(_table(table_header(target), table_rows(headline["modalities"]["both"])))
    out.append(f"<h2>ROC curves: {esc(headline['mode'])}</h2>")
    out.append(_roc_section(headline, target))
    out.append("<h2>Sensor check</h2>")
    out.append(_sensor_section(result))

    out.append("<h2>Shuffled-label control</h2><p>The in-family baseline refitted on labels permuted across the "
               "data set: its AUC should be 0.5 ± 0.1; more means something besides the features carries the "
               "label.</p>")
    rows = []
    for mode in modes:
        control = mode["shuffled_control"]
        if "auc" in control:
            rows.append([mode["mode"], with_interval(control["auc"], control["auc_ci"]),
                         "yes" if control["within"] else "NO"])
        else:
            rows.append([mode["mode"], "—", f"not evaluated: {control.get('skipped')}"])
    out.append(_table(["mode", "AUC [95% CI]", "within 0.5 ± 0.1"], rows, numeric_from=1))

    out.append("<h2>Policy verdicts</h2>")
    for mode in modes:
        for name, modality in mode["modalities"].items():
            verdicts = modality.get("verdicts")
            if not verdicts:
                continue
            rows = [[family, str(v["sessions"]), *(share(v[k]) for k in ("bot", "human", "insufficient-data"))]
                    for family, v in verdicts.items()]
            out.append(f"<h3>{esc(mode['mode'])}, {esc(name)}</h3>")
            out.append(_table(["family", "sessions", "bot", "human", "insufficient-data"], rows, numeric_from=1))

    out.append("<h2>Every mode and modality</h2><p class=\"note\">pointer: keystrokes removed, sessions with "
               "pointer samples; keys: pointer, clicks and scrolls removed, sessions with keys.</p>")
    for mode in modes:
        for name, modality in mode["modalities"].items():
            if mode is headline and name == "both":
                continue  # the headline table
            out.append(f"<h3>{esc(mode['mode'])}, {esc(name)} ({modality['sessions']} sessions)</h3>")
            if modality["results"]:
                out.append(_table(table_header(target), table_rows(modality)))
            for skipped in modality.get("skipped", []):
                out.append(f'<p class="note">not evaluated: {esc(skipped["reason"])}</p>')

    out.append("<h2>Folds and purges</h2><p class=\"note\">Sessions are assigned to folds by pointer user, else "
               "keystroke participant, else operator; every session sharing a group value with a test session "
               "is left out of that fold's training. Counts per fold, fold 0 first.</p>")
    for mode in modes:
        rows = [[str(f["fold"]), str(f["sessions"]), str(f["people"]), str(f["bots"]), str(f["fold_keys"])]
                for f in mode["folds"]]
        out.append(f"<h3>{esc(mode['mode'])}</h3>")
        out.append(_table(["fold", "sessions", "people", "bots", "fold keys"], rows, numeric_from=1))
        out.append(_table(["protocol", "held-out family", "tested", "trained", "purged"],
                          _purge_rows(mode["modalities"]["both"]), numeric_from=2))

    out.append("<h2>What this cannot tell</h2><ul>")
    out.extend(f"<li>{esc(note)}</li>" for note in result.get("notes", []))
    out.append("</ul></body></html>\n")
    return "".join(out)
