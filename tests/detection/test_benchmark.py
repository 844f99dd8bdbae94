"""The benchmark's reduced run end to end: the generator (in its own venv) writes the ci set,
`velkora evaluate` measures it. Asserts only what must hold whatever the detector's
quality: the automation flag catches the naive family, labels shuffled within the set carry
no signal, every family is there. The scores themselves are figures, not asserts."""

import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
FAMILIES = ("naive", "eased", "bezier", "windmouse", "replay", "mimic")


@pytest.fixture(scope="module")
def results(ci_set: Path) -> dict[str, Any]:
    out = ci_set
    evaluate = [sys.executable, "-m", "velkora", "evaluate", str(out / "matched.jsonl"),
                "-o", str(out / "results.json"), "--html", str(out / "results.html"), "--bootstrap", "200", "-q",
                "-j", "2", "--model", str(out / "model.json")]
    done = subprocess.run(evaluate, cwd=ROOT, timeout=600, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "sensor check" in done.stdout  # reported, whatever its figure
    data: dict[str, Any] = json.loads((out / "results.json").read_text())
    data["_html"] = (out / "results.html").read_text()
    reuse = [sys.executable, "-m", "detection.reuse", str(out / "matched.jsonl"), "-o", str(out / "reuse.json")]
    subprocess.run(reuse, cwd=ROOT, check=True, timeout=300, capture_output=True)
    data["_reuse"] = json.loads((out / "reuse.json").read_text())
    data["_model"] = json.loads((out / "model.json").read_text())
    return data


def result(mode: dict[str, Any], model: str, protocol: str, family: str) -> dict[str, Any]:
    rows = [r for r in mode["modalities"]["both"]["results"]
            if (r["model"], r["protocol"], r["family"]) == (model, protocol, family)]
    assert len(rows) == 1, (model, protocol, family)
    return rows[0]


def test_every_family_is_measured(results: dict[str, Any]) -> None:
    (mode,) = results["modes"]
    assert mode["counts"]["human"] == 377
    for family in FAMILIES:
        assert mode["counts"][family] > 0
        for model, protocol in (("policy", "fixed"), ("baseline", "lofo"), ("baseline", "in-family")):
            row = result(mode, model, protocol, family)
            assert 0.0 <= row["auc_ci"][0] <= row["auc"] <= row["auc_ci"][1] <= 1.0


def test_naive_bots_are_caught(results: dict[str, Any]) -> None:
    """The naive family sends the automation flag: the shipped policy and a model that saw
    the family in training both catch it."""
    (mode,) = results["modes"]
    assert result(mode, "policy", "fixed", "naive")["auc"] >= 0.99
    assert result(mode, "baseline", "in-family", "naive")["auc"] >= 0.99


def test_train_then_evaluate_agree_and_the_model_holds_naive_bots(results: dict[str, Any]) -> None:
    """evaluate reproduces the held-out figures velkora train wrote into the model file, and
    the trained model catches the naive family without having seen it."""
    assert results["model_check"]["reproduced"], results["model_check"]["differences"]
    assert results["model_check"]["model"] == results["_model"]["id"]
    (mode,) = results["modes"]
    assert result(mode, "trained", "lofo", "naive")["auc"] >= 0.95
    for modality in ("both", "pointer", "keys"):
        assert results["_model"]["modalities"][modality]["fit"]["export_max_difference"] <= 1e-12


def test_shuffled_labels_carry_no_signal(results: dict[str, Any]) -> None:
    (mode,) = results["modes"]
    assert abs(mode["shuffled_control"]["auc"] - 0.5) <= 0.1


def test_the_page_shows_every_family(results: dict[str, Any]) -> None:
    html = results["_html"]
    assert "<script" not in html and "<svg" in html
    assert all(family in html for family in FAMILIES)


def test_the_trace_memory_never_joins_different_people(results: dict[str, Any]) -> None:
    """Through the service's trace memory, no two people whose windows share no source rows
    match, and no person matches a bot; replays of one recording do match (a figure, with
    windows of one recording that overlap, which the data has)."""
    reuse = results["_reuse"]
    pairs = reuse["pairs"]
    assert not any(kind.startswith(("people_distinct", "person_bot")) for kind in pairs), pairs
    assert reuse["families"]["replay"]["reuses"] > 0
    assert reuse["families"]["replay"]["caught_from_second_use"] is not None
