"""The tables of docs/detection.md, drawn from what make detection writes.

    python tools/detection_tables.py build/detection/full

reads results.json (velkora evaluate), the model file it checked and browser/sessions.jsonl
(the browser drive), and prints the Markdown tables: the headline (matched capture, both
modalities) per family for the policy, the baseline, the trained model and the service's
verdict; each model per modality; and the verdicts of the browser drive.
"""

from __future__ import annotations

import collections
import json
import sys
from pathlib import Path
from typing import Any

FAMILIES = ("naive", "eased", "bezier", "windmouse", "replay", "mimic", "all")


def number(value: float | None, ci: list[float] | None = None) -> str:
    if value is None:
        return "—"
    text = f"{value:.3f}"
    return text + (f" [{ci[0]:.3f}, {ci[1]:.3f}]" if ci else "")


def share(value: float | None, ci: list[float] | None = None) -> str:
    if value is None:
        return "—"
    text = f"{100 * value:.1f} %"
    return text + (f" [{100 * ci[0]:.1f}, {100 * ci[1]:.1f}]" if ci else "")


def row(results: list[dict[str, Any]], model: str, protocol: str, family: str) -> dict[str, Any] | None:
    return next((r for r in results if (r["model"], r["protocol"], r["family"]) == (model, protocol, family)), None)


def headline(mode: dict[str, Any]) -> str:
    results = mode["modalities"]["both"]["results"]
    out = ["| family | policy AUC | baseline LOFO AUC | trained LOFO AUC | caught at 1 % | people judged bot "
           "| verdict LOFO AUC | caught at 1 % | trained in-family AUC | caught at 1 % |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for family in FAMILIES:
        policy = row(results, "policy", "fixed", family)
        cells = [family, number(policy["auc"], policy["auc_ci"]) if policy else "—"]
        protocol = "in-family" if family == "all" else "lofo"
        base = row(results, "baseline", protocol, family) if family != "all" else None
        cells.append(number(base["auc"], base["auc_ci"]) if base else "—")
        trained = row(results, "trained", "lofo", family)
        cells += [number(trained["auc"], trained["auc_ci"]), share(trained["tpr"], trained["tpr_ci"]),
                  share(trained["people_judged_bot"], trained["people_judged_bot_ci"])] if trained else ["—"] * 3
        verdict = row(results, "verdict", "lofo", family)
        cells += [number(verdict["auc"], verdict["auc_ci"]), share(verdict["tpr"], verdict["tpr_ci"])] \
            if verdict else ["—"] * 2
        inside = row(results, "trained", "in-family", family)
        cells += [number(inside["auc"], inside["auc_ci"]), share(inside["tpr"], inside["tpr_ci"])] \
            if inside else ["—"] * 2
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out)


def per_modality(mode: dict[str, Any]) -> str:
    out = ["| family | pointer: trained LOFO | caught | keys: trained LOFO | caught | pointer: baseline LOFO "
           "| keys: baseline LOFO |", "|---|---|---|---|---|---|---|"]
    for family in FAMILIES[:-1]:
        cells = [family]
        for modality in ("pointer", "keys"):
            r = row(mode["modalities"][modality]["results"], "trained", "lofo", family)
            cells += [number(r["auc"], r["auc_ci"]), share(r["tpr"])] if r else ["—", "—"]
        for modality in ("pointer", "keys"):
            r = row(mode["modalities"][modality]["results"], "baseline", "lofo", family)
            cells.append(number(r["auc"], r["auc_ci"]) if r else "—")
        out.append("| " + " | ".join(cells) + " |")
    people = {m: mode["modalities"][m]["people"] for m in ("pointer", "keys")}
    return "\n".join(out) + f"\n\n(people: pointer {people['pointer']}, keys {people['keys']})"


def browser(path: Path) -> str:
    if not path.is_file():
        return "(no browser drive)"
    verdicts: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    models = set()
    for line in path.read_text().splitlines():
        record = json.loads(line)
        verdicts[record["family"]][record.get("verdict") or "refused"] += 1
        models.add(record.get("model"))
    out = ["| source | sessions | bot | human | insufficient-data |", "|---|---|---|---|---|"]
    for family, counts in verdicts.items():
        total = sum(counts.values())
        out.append(f"| {family} | {total} | {counts['bot']} | {counts['human']} | {counts['insufficient-data']} |")
    return "\n".join(out) + f"\n\n(model {', '.join(sorted(str(m) for m in models))})"


def main(argv: list[str]) -> int:
    directory = Path(argv[1] if len(argv) > 1 else "build/detection/full")
    results = json.loads((directory / "results.json").read_text())
    matched = next(m for m in results["modes"] if m["mode"] == "matched")
    check = results.get("model_check", {})
    print(f"model {check.get('model')}: held-out figures reproduced: {check.get('reproduced')}\n")
    print("### Headline: matched capture, both modalities\n")
    print(headline(matched))
    print("\n### Per modality (matched)\n")
    print(per_modality(matched))
    print("\n### Browser drive\n")
    print(browser(directory / "browser" / "sessions.jsonl"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
