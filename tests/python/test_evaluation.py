"""velkora evaluate on small synthetic labelled sets built here: that training never sees a
group of its test fold, that thresholds come from other people than those they judge, that
the AUC is the exact pairwise one, and that the command writes what it says it writes."""

import json
import math
import random
import subprocess
import sys

import needs
import pytest

np = needs.package("numpy")
needs.package("sklearn")

from velkora import evaluation as ev  # noqa: E402 - after the skips for numpy and scikit-learn
from velkora.service.policy import Policy  # noqa: E402

# --- synthetic sessions -------------------------------------------------------------------


def pointer(rng: random.Random, points: int, straight: bool = False) -> list[dict[str, float]]:
    t, x, y = rng.uniform(0, 5000), rng.uniform(100, 900), rng.uniform(100, 600)
    moves = []
    for _ in range(points):
        if straight:
            t, x, y = t + 16, x + 7, y + 3
        else:
            t += rng.choice([0, 16, 16, 31, 47, 109])
            x, y = x + rng.gauss(0, 12), y + rng.gauss(0, 12)
        moves.append({"x": x, "y": y, "t": t})
    return moves


def keys(rng: random.Random, count: int, machine: bool = False) -> list[dict[str, float]]:
    t, out = 1000.0, []
    for _ in range(count):
        dwell = 4.0 if machine else max(20.0, rng.gauss(95, 25))
        out.append({"key": "a", "down": round(t), "up": round(t + dwell)})
        t += 100.0 if machine else max(30.0, rng.gauss(180, 60))
    return out


def session(sid: str, family: str, groups: dict[str, str], rng: random.Random, *, moves: bool = True,
            typed: bool = True, machine: bool = False) -> dict[str, object]:
    return {"_id": sid, "label": "human" if family == "human" else "bot", "family": family, "groups": groups,
            "browser": {"webdriver": machine, "screen_width": 1280, "screen_height": 800, "plugins_length": 5},
            "mouse_movements": pointer(rng, rng.randint(12, 60), straight=machine) if moves else [],
            "clicks": [], "scrolls": [], "keystrokes": keys(rng, rng.randint(8, 30), machine) if typed else []}


def labelled(seed: int = 0, people_users: int = 6, typists: int = 24, per_family: int = 45) -> list[dict[str, object]]:
    """People whose groups connect (mixed sessions join a pointer user to a typist who also has
    sessions of their own), a family made like the people ("twin"), one a script gives away
    ("scripted"), and replaying bots that carry the groups of the person they replay."""
    rng = random.Random(seed)
    records: list[dict[str, object]] = []
    for n in range(people_users * 8):
        user = f"mouse/u{n % people_users}"
        kind = n % 3  # mixed, pointer only, keys only
        groups = {"pointer_user": user, "recording": f"{user}/r{n % 4}"} if kind != 2 else {}
        if kind != 1:
            groups["key_participant"] = f"keys/p{rng.randrange(typists)}"
        records.append(session(f"h{n}", "human", groups, rng, moves=kind != 2, typed=kind != 1))
    for n in range(per_family):
        records.append(session(f"t{n}", "twin", {"operator": f"twin/op{n % 7}"}, rng, moves=n % 3 != 2,
                               typed=n % 3 != 1))
        records.append(session(f"s{n}", "scripted", {"operator": f"scripted/op{n % 7}"}, rng, machine=True))
    people = [r for r in records if r["family"] == "human"]
    for n in range(per_family // 3):
        person = people[n % len(people)]
        groups = dict(person["groups"])  # type: ignore[call-overload]
        groups["operator"] = f"replay/op{n % 3}"
        records.append({**person, "_id": f"r{n}", "label": "bot", "family": "replay", "groups": groups,
                        "browser": {"webdriver": True}})
    return records


def sessions_of(records: list[dict[str, object]]) -> list[ev.Session]:
    return [ev.parse_session(r) for r in records]


# --- folds and purging ----------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(4))
def test_no_training_session_shares_a_group_with_its_test_fold(seed):
    sessions = sessions_of(labelled(seed))
    fold = ev.assign_folds(sessions, 4, seed)
    groups = ev.group_ids(sessions)
    family = np.asarray([s.family for s in sessions])
    everyone = np.ones(len(sessions), dtype=bool)
    # A mixed session and its typist's own sessions can land in different folds: the purge
    # must then keep the typist's sessions out of training, not only the mixed one.
    typists_across_folds = {}
    for s, k in zip(sessions, fold):
        if s.group("key_participant"):
            typists_across_folds.setdefault(s.group("key_participant"), set()).add(int(k))
    assert any(len(folds) > 1 for folds in typists_across_folds.values())
    for key in {s.fold_key() for s in sessions}:
        assert len({int(k) for s, k in zip(sessions, fold) if s.fold_key() == key}) == 1
    protocols = [("in-family", everyone, everyone)]
    protocols += [(f, (family == "human") | (family == f), family != f) for f in ("twin", "scripted", "replay")]
    purged_total = 0
    for name, scored, trainable in protocols:
        splits = ev.purged_splits(fold, groups, scored, trainable, 4)
        assert sorted(np.concatenate([s.test for s in splits]).tolist()) == np.flatnonzero(scored).tolist(), name
        for split in splits:
            test_values = set().union(*(sessions[i].groups for i in split.test))
            for i in split.train:
                assert fold[i] != split.fold and trainable[i]
                assert not test_values & set(sessions[i].groups), (name, split.fold, sessions[i].id)
            if name != "in-family":
                assert name not in {sessions[i].family for i in split.train}
            # Every other-fold session left out of training was left out for a shared group.
            left_out = [i for i in np.flatnonzero(trainable & (fold != split.fold)) if i not in set(split.train)]
            assert len(left_out) == split.purged
            assert all(test_values & set(sessions[i].groups) for i in left_out)
            purged_total += split.purged
    assert purged_total > 0


def test_folds_need_enough_fold_keys():
    sessions = sessions_of(labelled(0))[:3]
    with pytest.raises(ValueError, match="cannot fill 5 folds"):
        ev.assign_folds(sessions, 5, 0)


# --- thresholds --------------------------------------------------------------------------------------


def test_threshold_never_lets_more_people_through_than_the_target_even_with_ties():
    rng = np.random.default_rng(3)
    for n in (1, 7, 99, 100, 101, 1000):
        reference = rng.integers(0, 5, n).astype(float)  # heavy ties
        for target in (0.001, 0.01, 0.05, 0.3):
            t = ev.threshold_at(reference, target)
            assert np.mean(reference > t) <= target
            assert t == -math.inf or np.mean(reference >= t) > target  # and no stricter than needed
    assert ev.threshold_at(np.asarray([]), 0.01) == math.inf


def test_threshold_is_never_set_on_the_people_it_judges():
    sessions = sessions_of(labelled(1))
    fold = ev.assign_folds(sessions, 3, 1)
    groups = ev.group_ids(sessions)
    human = np.asarray([not s.is_bot for s in sessions])
    everyone = np.ones(len(sessions), dtype=bool)
    splits = ev.purged_splits(fold, groups, everyone, everyone, 3)
    test_values = set().union(*(sessions[i].groups for i in splits[0].test))
    linked = [i for i in np.flatnonzero(human & (fold != 0)) if test_values & set(sessions[i].groups)]
    assert linked, "the synthetic set should link a person outside fold 0 to one inside it"
    # People of fold 0 score 10, people elsewhere below 1, except those who share a group
    # with fold 0, who score 50. Fold 0's threshold must come from the people below 1 only.
    scores = np.where(fold == 0, 10.0, np.linspace(0, 0.9, len(sessions)))
    scores[linked] = 50.0
    judged, report = ev.judge(scores, human, fold, groups, splits, target_fpr=0.001)
    assert judged[human & (fold == 0)].all()
    expected_reference = human & (fold != 0)
    expected_reference[linked] = False
    assert report[0]["reference_people"] == int(expected_reference.sum())
    assert report[0]["threshold"] == scores[expected_reference].max()


# --- metrics -------------------------------------------------------------------------------------------


def brute_force_auc(bots, people):
    wins = sum((b > p) + 0.5 * (b == p) for b in bots for p in people)
    return wins / (len(bots) * len(people))


def test_auc_is_the_pairwise_count_with_ties_counting_half():
    rng = np.random.default_rng(0)
    for _ in range(30):
        bots = rng.integers(0, 6, rng.integers(1, 25)).astype(float)
        people = rng.integers(0, 6, rng.integers(1, 25)).astype(float)
        assert ev.roc_auc(bots, people) == pytest.approx(brute_force_auc(bots, people), abs=1e-12)
        # A bootstrap replicate's weights count as that many copies of a session.
        w_bots = rng.integers(0, 3, (2, len(bots))).astype(float) + np.eye(2, len(bots))
        w_people = rng.integers(0, 3, (2, len(people))).astype(float) + np.eye(2, len(people))
        for row in range(2):
            expanded = brute_force_auc(np.repeat(bots, w_bots[row].astype(int)),
                                       np.repeat(people, w_people[row].astype(int)))
            assert ev._weighted_auc(people, bots, w_people, w_bots)[row] == pytest.approx(expanded, abs=1e-12)
    assert ev.roc_auc([1.0, 2.0], [0.0]) == 1.0 and ev.roc_auc([0.0], [1.0, 2.0]) == 0.0
    assert math.isnan(ev.roc_auc([], [1.0]))


def test_roc_points_run_from_nothing_to_everything():
    points = ev.roc_points(np.asarray([0.9, 0.8, 0.8, 0.1]), np.asarray([0.8, 0.2, 0.1]))
    assert points[0] == [0.0, 0.0] and points[-1] == [1.0, 1.0]
    assert points == sorted(points)


def test_timing_features_read_only_the_time_stamps():
    on_clock = {"mouse_movements": [{"x": i, "y": 2 * i, "t": 1000 + round(15.625 * i * 3)} for i in range(40)]}
    moved = {"mouse_movements": [{"x": 500 - m["x"], "y": 7, "t": m["t"]} for m in on_clock["mouse_movements"]],
             "keystrokes": keys(random.Random(0), 20)}
    features = dict(zip(ev.TIMING_FEATURES, ev.timing_features(on_clock)))
    assert ev.timing_features(moved) == list(features.values())
    assert features["clock_tick_share"] == 1.0 and features["fractional_stamp_share"] == 0.0
    assert features["zero_interval_share"] == 0.0 and features["interval_q50"] in (46.0, 47.0)
    off_clock = {"mouse_movements": [{"x": 0, "y": 0, "t": 0.25 + 10.5 * i} for i in range(40)]}
    off = dict(zip(ev.TIMING_FEATURES, ev.timing_features(off_clock)))
    assert off["clock_tick_share"] < 0.5 and off["fractional_stamp_share"] == 1.0
    assert all(math.isnan(v) for v in ev.timing_features({"mouse_movements": on_clock["mouse_movements"][:2]}))
    # A real timer drifts against its nominal tick: its intervals still count as ticks.
    drifting = {"mouse_movements": [{"x": 0, "y": 0, "t": round(15.6 * 3 * i)} for i in range(400)]}
    assert dict(zip(ev.TIMING_FEATURES, ev.timing_features(drifting)))["clock_tick_share"] == 1.0
    every_ms = {"mouse_movements": [{"x": 0, "y": 0, "t": i} for i in range(40)]}
    assert dict(zip(ev.TIMING_FEATURES, ev.timing_features(every_ms)))["clock_tick_share"] == 0.0


# --- the protocol end to end ------------------------------------------------------------------------


SETTINGS = ev.Settings(folds=3, bootstrap=50, seed=0, target_fpr=0.05)


@pytest.fixture(scope="module")
def mode_result():
    return ev.evaluate([("synthetic", sessions_of(labelled(0)))], SETTINGS, Policy.load())


@pytest.fixture(scope="module")
def two_modes():
    """One family a script gives away, and, as a second mode, one made exactly like the people."""
    separable = [r for r in labelled(0) if r["family"] in ("human", "scripted")]
    identical = [r for r in labelled(1, people_users=10, per_family=90) if r["family"] in ("human", "twin")]
    return ev.evaluate([("separable", sessions_of(separable)), ("identical", sessions_of(identical))],
                       SETTINGS, Policy.load())


def _row(modality, model, protocol, family):
    return next(r for r in modality["results"] if (r["model"], r["protocol"], r["family"]) == (model, protocol, family))


def test_a_separable_family_scores_one_and_an_identical_one_about_a_half(two_modes):
    separable, identical = two_modes["modes"]
    assert two_modes["headline"] == "separable"
    both = separable["modalities"]["both"]
    scripted = _row(both, "baseline", "in-family", "scripted")
    assert scripted["auc"] == 1.0 and scripted["tpr"] == 1.0 and scripted["auc_ci"] == [1.0, 1.0]
    assert _row(both, "policy", "fixed", "scripted")["auc"] == 1.0  # the automation flag alone
    twin = _row(identical["modalities"]["both"], "baseline", "in-family", "twin")
    assert abs(twin["auc"] - 0.5) < 0.1
    assert twin["auc_ci"][0] <= twin["auc"] <= twin["auc_ci"][1]
    assert twin["people_judged_bot"] <= 0.15  # thresholds from other people land near the target


def test_the_result_reports_purges_controls_and_the_sensor_check(mode_result):
    mode = mode_result["modes"][0]
    both = mode["modalities"]["both"]
    assert {p["family"] for p in both["purges"] if p["protocol"] == "lofo"} == {"replay", "scripted", "twin"}
    assert sum(f["purged"] for p in both["purges"] for f in p["folds"]) > 0
    assert sum(f["sessions"] for f in mode["folds"]) == mode["sessions"]
    assert abs(mode["shuffled_control"]["auc"] - 0.5) <= 0.15
    # Keyboard-only people have no pointer: the pointer view leaves them out, the keys view keeps them.
    assert mode["modalities"]["pointer"]["people"] < both["people"]
    assert mode["modalities"]["keys"]["people"] < both["people"]
    verdicts = both["verdicts"]
    assert verdicts["human"]["bot"] + verdicts["human"]["human"] + verdicts["human"]["insufficient-data"] == 1.0
    sensor = mode["sensor_check"]
    twin = next(r for r in sensor["results"] if (r["protocol"], r["family"]) == ("in-family", "twin"))
    assert abs(twin["auc"] - 0.5) < 0.2  # same capture, nothing to learn
    assert sensor["verdict"]["worst"]["family"] == "scripted"  # its stamps come every 16 ms exactly
    json.dumps(mode_result, allow_nan=False)


def test_same_seed_same_result_and_a_single_family_cannot_be_left_out(mode_result, two_modes):
    assert ev.evaluate([("synthetic", sessions_of(labelled(0)))], SETTINGS, Policy.load()) == mode_result
    both = two_modes["modes"][0]["modalities"]["both"]
    assert {r["protocol"] for r in both["results"]} == {"fixed", "in-family"}
    assert any("only people" in s["reason"] for s in both["skipped"])


# --- the command --------------------------------------------------------------------------------------


def velkora(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "velkora", *map(str, args)], capture_output=True, text=True,
                          timeout=300, **kwargs)


def test_the_command_writes_json_html_and_a_table(tmp_path):
    records = labelled(2, per_family=30)
    for r in records:
        if r["family"] == "twin":
            r["family"] = "<b>twin</b>"  # family names reach the page escaped
    path = tmp_path / "matched.jsonl"
    lines = [json.dumps(r) for r in records]
    lines[6:6] = ["[1, 2]", "{not json", json.dumps({**records[5], "label": "robot"}), json.dumps(records[4]), ""]
    path.write_text("\n".join(lines) + "\n")
    out, page = tmp_path / "r.json", tmp_path / "r.html"
    done = velkora("evaluate", path, "-o", out, "--html", page, "--folds", 3, "--bootstrap", 20,
                   "--note", "synthetic people")
    assert done.returncode == 0, done.stderr
    assert "line 7: not a JSON object but an array" in done.stderr
    assert "line 8: not valid JSON" in done.stderr
    assert "line 9: label must be" in done.stderr
    assert "line 10: _id 'h4' appears on an earlier line" in done.stderr
    result = json.loads(out.read_text(), parse_constant=lambda token: pytest.fail(f"non-standard JSON {token}"))
    mode = result["modes"][0]
    assert mode["mode"] == "matched" and mode["skipped_lines"] == 4 and mode["sessions"] == len(records)
    assert result["versions"]["scikit-learn"] != "missing" and result["notes"][0] == "synthetic people"
    assert "baseline  lofo" in done.stdout and "sensor check" in done.stdout
    html = page.read_text()
    assert "<script" not in html.lower() and "<b>twin" not in html and "&lt;b&gt;twin" in html
    for external in ("src=", "href=", "url(", "@import"):
        assert external not in html
    assert html.count("http") == html.count('xmlns="http://www.w3.org/2000/svg"')
    assert html.count("<svg") == len(mode["families"]) and "synthetic people" in html

    strict = velkora("evaluate", path, "--strict", "--bootstrap", 0)
    assert strict.returncode == 1 and "stopped at" in strict.stderr and not strict.stdout


def test_the_command_refuses_what_it_cannot_evaluate(tmp_path):
    missing = velkora("evaluate", tmp_path / "nowhere.jsonl")
    assert missing.returncode == 2 and "cannot read" in missing.stderr
    empty = tmp_path / "empty.jsonl"
    empty.write_text("\n[]\n")
    assert velkora("evaluate", empty).returncode == 2
    people_only = tmp_path / "people.jsonl"
    people_only.write_text("".join(json.dumps(r) + "\n" for r in labelled(0) if r["family"] == "human"))
    refused = velkora("evaluate", people_only, "--bootstrap", 0)
    assert refused.returncode == 2 and "people and bots" in refused.stderr
    assert velkora("evaluate", people_only, "--folds", 1).returncode == 2
    same_name = tmp_path / "other"
    same_name.mkdir()
    (same_name / "people.jsonl").write_text(people_only.read_text())
    assert velkora("evaluate", people_only, same_name / "people.jsonl").returncode == 2
    # Without scikit-learn the command says how to get it; the other commands never import it.
    blocked = ("import sys; sys.modules['sklearn'] = None; from velkora.cli import main; "
               f"sys.exit(main(['evaluate', {str(people_only)!r}]))")
    without = subprocess.run([sys.executable, "-c", blocked], capture_output=True, text=True, timeout=60)
    assert without.returncode == 2 and "velkora_core_rs[train]" in without.stderr
    lean = subprocess.run([sys.executable, "-c", "import sys, velkora.cli; "
                           "print(sorted({'numpy', 'sklearn'} & set(sys.modules)))"],
                          capture_output=True, text=True, timeout=60)
    assert lean.stdout.strip() == "[]"
