"""velkora._signals.Forest and velkora.forest: trees trained by scikit-learn, scored
natively to the last bit, explained, and refused when malformed."""

import gc
import json
import math
import pathlib
import subprocess
import sys
import tracemalloc

import needs
import pytest
from velkora import _signals as signals
from velkora.forest import export_hgb, load_forest

np = needs.package("numpy")
needs.package("sklearn")
from scipy.special import expit  # noqa: E402  (scikit-learn's own dependency)
from sklearn.ensemble import HistGradientBoostingClassifier  # noqa: E402

Forest = signals.Forest
LEAF = (-1, 0.0, False, -1, -1, 1.0)


def leaf(value):
    return (-1, 0.0, False, -1, -1, value)


def stump(feature=0, threshold=1.0, missing_left=True, low=-1.0, high=3.0):
    return [(feature, threshold, missing_left, 1, 2, 0.0), leaf(low), leaf(high)]


# --- trained models ------------------------------------------------------------------------

def synthetic(seed, rows, features, nan_rate):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features)) * rng.uniform(0.1, 100, size=features)
    x[rng.random(x.shape) < nan_rate] = np.nan
    z = np.nan_to_num(x[:, 0] / x[:, 0].std()) - np.nan_to_num(x[:, 1] / x[:, 1].std()) ** 2
    z += np.isnan(x[:, 2]) * 1.5 + rng.normal(size=rows)
    return x, (z > np.median(z)).astype(int)


# (seed, NaN share in training, boosting rounds, depth): NaN-free training still gives
# NaN a side at every split, which prediction must honour.
MODELS = [(0, 0.15, 300, 6), (1, 0.3, 200, None), (2, 0.0, 150, 4), (3, 0.05, 400, 8)]


@pytest.fixture(scope="module", params=MODELS, ids=lambda m: f"seed{m[0]}")
def trained(request):
    seed, nan_rate, rounds, depth = request.param
    x, y = synthetic(seed, 3000, 12, nan_rate)
    model = HistGradientBoostingClassifier(max_iter=rounds, max_depth=depth, max_leaf_nodes=31,
                                           learning_rate=0.1, early_stopping=False, random_state=seed)
    model.fit(x, y)
    data = export_hgb(model)
    text = json.dumps(data)
    assert json.loads(text) == data  # every float, inf thresholds included, comes back
    return model, data, load_forest(json.loads(text))


def probe_rows(data, seed, rows=4000):
    """Ordinary rows, plus values sitting exactly on thresholds, NaN, ±inf, huge, ±0."""
    features = data["feature_count"]
    rng = np.random.default_rng(seed + 100)
    x = rng.normal(size=(rows, features)) * 60
    thresholds = [n["threshold"] for t in data["trees"] for n in t if n["left"] != -1]
    on_edge = rng.random(x.shape) < 0.2
    x[on_edge] = rng.choice(thresholds, size=int(on_edge.sum()))
    for value, share in [(np.nan, 0.15), (np.inf, 0.02), (-np.inf, 0.02), (1e308, 0.01), (-1e308, 0.01),
                         (0.0, 0.01), (-0.0, 0.01), (5e-324, 0.01)]:
        x[rng.random(x.shape) < share] = value
    return x


def test_raw_and_probability_equal_scikit_learn(trained):
    model, data, forest = trained
    x = probe_rows(data, len(data["trees"]))
    expected = model.decision_function(x)
    got = np.array([forest.raw(row) for row in x.tolist()])
    difference = float(np.max(np.abs(got - expected)))
    # The same comparisons and the same additions in the same order: bit for bit.
    assert np.array_equal(got, expected), f"max difference {difference!r}"
    assert np.max(np.abs(expit(got) - model.predict_proba(x)[:, 1])) <= 1e-12
    assert forest.tree_count == len(data["trees"]) == model.n_iter_
    assert forest.feature_count == 12 and forest.baseline == data["baseline"]


def test_both_missing_directions_are_exported():
    sides, thresholds = set(), set()
    for seed, nan_rate, _, _ in MODELS[:3]:
        x, y = synthetic(seed, 2000, 12, nan_rate)
        data = export_hgb(HistGradientBoostingClassifier(max_iter=100, random_state=seed).fit(x, y))
        splits = [n for t in data["trees"] for n in t if n["left"] != -1]
        sides |= {n["missing_left"] for n in splits}
        thresholds |= {n["threshold"] for n in splits}
    # Both sides for NaN, and the +inf threshold of a split that parts NaN from the rest.
    assert sides == {True, False} and math.inf in thresholds


def walk(tree, row):
    """The reference path: node positions from the root to the leaf."""
    path = [0]
    while tree[path[-1]]["left"] != -1:
        n = tree[path[-1]]
        x = row[n["feature"]]
        path.append(n["left"] if (x <= n["threshold"] or (math.isnan(x) and n["missing_left"])) else n["right"])
    return path


def test_explain_adds_up_and_follows_the_paths(trained):
    model, data, forest = trained
    x = probe_rows(data, 7, rows=60).tolist()
    bias = data["baseline"] + math.fsum(t[0]["value"] for t in data["trees"])
    for row in x:
        raw, got_bias, contributions = forest.explain(row)
        assert raw == forest.raw(row) and len(contributions) == 12
        assert got_bias == pytest.approx(bias, abs=1e-12)
        assert got_bias + math.fsum(contributions) == pytest.approx(raw, abs=1e-9)
        expected = [0.0] * 12
        for tree in data["trees"]:
            path = walk(tree, row)
            for parent, child in zip(path, path[1:]):
                expected[tree[parent]["feature"]] += tree[child]["value"] - tree[parent]["value"]
        assert contributions == pytest.approx(expected, abs=1e-12)


def test_split_values_are_count_weighted_leaf_means(trained):
    model, data, _ = trained
    predictor = model._predictors[0][0].nodes
    leaves = predictor["is_leaf"].astype(bool)
    root = np.sum(predictor["count"][leaves] * predictor["value"][leaves]) / np.sum(predictor["count"][leaves])
    assert data["trees"][0][0]["value"] == pytest.approx(float(root), rel=1e-12, abs=1e-15)
    exported_leaves = [n["value"] for n in data["trees"][0] if n["left"] == -1]
    assert exported_leaves == predictor["value"][leaves].tolist()


def test_export_refuses_what_the_format_cannot_hold():
    from sklearn.ensemble import HistGradientBoostingRegressor

    x, y = synthetic(5, 600, 4, 0.1)
    with pytest.raises(ValueError, match="fitted"):
        export_hgb(HistGradientBoostingClassifier())
    with pytest.raises(TypeError, match="HistGradientBoostingRegressor"):
        export_hgb(HistGradientBoostingRegressor(max_iter=5).fit(x, y))
    with pytest.raises(ValueError, match="binary classification only, not 3 classes"):
        export_hgb(HistGradientBoostingClassifier(max_iter=5).fit(x, y + (x[:, 3] > 0)))
    x[:, 3] = np.abs(np.round(np.nan_to_num(x[:, 3]))) % 5
    with pytest.raises(ValueError, match="categorical"):
        export_hgb(HistGradientBoostingClassifier(max_iter=5, categorical_features=[3]).fit(x, y))


def test_loading_needs_no_scikit_learn():
    code = ("import sys; sys.modules['sklearn'] = None\n"
            "from velkora.forest import load_forest\n"
            "f = load_forest({'baseline': 0.5, 'feature_count': 1, 'trees': [[{'feature': -1, 'threshold': 0.0,"
            " 'missing_left': False, 'left': -1, 'right': -1, 'value': 1.0}]]})\n"
            "print(f.raw([2.0]), 'numpy' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1.5", "False"]


# --- the native type -----------------------------------------------------------------------

def test_split_rule_and_the_stub_example():
    import ast
    import doctest

    f = Forest(2, 0.25, [stump(1, 1.0, True), stump(1, math.inf, False, low=10.0, high=100.0)])
    # x <= threshold goes left; NaN goes by the flag; inf <= inf.
    assert [f.raw([0.0, x]) for x in (1.0, 1.0000000000000002, math.nan, math.inf, -math.inf)] == [
        9.25, 13.25, 99.25, 13.25, 9.25]
    assert f.raw((7, 1)) == f.raw([7.0, 1.0]) == f.raw(np.array([7.0, 1.0]))  # ints, tuples, arrays
    assert repr(f) == "<velkora._signals.Forest: 2 trees, 2 features>"
    assert Forest(3, -0.0, []).raw([1.0, 2.0, 3.0]) == 0.0  # no trees: the baseline
    assert Forest(feature_count=1, baseline=1, trees=[[LEAF]]).explain([math.nan]) == (2.0, 2.0, [0.0])

    stub = pathlib.Path(signals.__file__).with_name("_signals.pyi")
    cls = next(n for n in ast.parse(stub.read_text()).body if isinstance(n, ast.ClassDef) and n.name == "Forest")
    test = doctest.DocTestParser().get_doctest(ast.get_docstring(cls), {"Forest": Forest}, "Forest", str(stub), 0)
    assert test.examples and doctest.DocTestRunner().run(test).failed == 0


@pytest.mark.parametrize("feature_count, baseline, trees, message", [
    (1, 0.0, [[]], "tree 0 has no nodes"),
    (1, 0.0, [stump(), [(0, 1.0, True, 1, 3, 0.0), LEAF, LEAF]], "tree 1, node 0: child 3 is out of range [0, 3)"),
    (1, 0.0, [[(0, 1.0, True, -2, 1, 0.0), LEAF]], "child -2 is out of range"),
    (1, 0.0, [[(0, 1.0, True, 0, 1, 0.0), LEAF]], "node 0: child 0 is not after its parent"),
    (1, 0.0, [[(0, 1.0, True, 1, 2, 0.0), (0, 1.0, True, 3, 0, 0.0), LEAF, LEAF]], "node 1: child 0 is not after"),
    (1, 0.0, [[(0, 1.0, True, 1, 1, 0.0), LEAF]], "node 0: node 1 is reachable twice"),
    (1, 0.0, [[(0, 1.0, True, 1, 2, 0.0), (0, 1.0, True, 2, 3, 0.0), LEAF, LEAF]], "node 1: node 2 is reachable"),
    (1, 0.0, [[(0, 1.0, True, 1, -1, 0.0), LEAF]], "node 0: a split needs two children"),
    (1, 0.0, [stump() + [LEAF]], "tree 0, node 3: node is not reachable from the root"),
    (2, 0.0, [stump(feature=2)], "node 0: feature 2 is out of range [0, 2)"),
    (2, 0.0, [stump(feature=-1)], "feature -1 is out of range"),
    (1, 0.0, [stump(threshold=math.nan)], "node 0: threshold is NaN"),
    (1, 0.0, [[leaf(math.inf)]], "node 0: value is not finite"),
    (1, math.nan, [], "baseline is not finite"),
    (-1, 0.0, [], "feature_count -1 is out of range"),
    (2**21, 0.0, [], "feature_count 2097152 is out of range"),
    (1, 0.0, [[(0, 1.0, True, 2**40, 1, 0.0), LEAF]], "child 1099511627776 is out of range"),
    (1, 0.0, [[(0, 1.0, True, 2**70, 1, 0.0)]], "left is out of range"),
])
def test_malformed_trees_are_refused(feature_count, baseline, trees, message):
    with pytest.raises(ValueError) as raised:
        Forest(feature_count, baseline, trees)
    assert message in str(raised.value)


@pytest.mark.parametrize("args, error, message", [
    ((1, 0.0, [[[0, 1.0, True, 1, 2, 0.0]]]), TypeError, "tree 0, node 0: a node is a tuple (feature, "),
    ((1, 0.0, [[(0, 1.0, True, 1, 2)]]), ValueError, "tree 0, node 0: a node is a tuple of 6 items, not 5"),
    ((1, 0.0, [stump(), [(0.0, 1.0, True, 1, 2, 0.0)]]), TypeError, "tree 1, node 0: feature must be an int, not"),
    ((1, 0.0, [[(0, "1", True, 1, 2, 0.0)]]), TypeError, "threshold must be a float, not 'str'"),
    ((1, 0.0, [[(0, 1.0, 1, 1, 2, 0.0)]]), TypeError, "missing_left must be a bool, not 'int'"),
    ((1, 0.0, [[(0, 1.0, True, True, 2, 0.0)]]), TypeError, "left must be an int, not 'bool'"),
    ((1, 0.0, [[leaf(None)]]), TypeError, "value must be a float, not 'NoneType'"),
    ((True, 0.0, []), TypeError, "feature_count must be an int, not 'bool'"),
    ((1, "0", []), TypeError, "baseline must be a float, not 'str'"),
    ((1, 0.0, "trees"), TypeError, "trees: Can't extract `str` to `Vec`"),
    ((1, 0.0, [5]), TypeError, "tree 0: 'int' object cannot be converted to 'Sequence'"),
    ((1, 0.0), TypeError, "Forest() missing 1 required positional argument: 'trees'"),
])
def test_wrong_types_are_refused(args, error, message):
    with pytest.raises(error) as raised:
        Forest(*args)
    assert message in str(raised.value)


class Clears:
    """Empties the row it sits in when converted."""

    def __init__(self, holder):
        self.holder = holder

    def __float__(self):
        self.holder.clear()
        return 1.0


def test_rows_are_checked():
    f = Forest(2, 0.0, [stump()])
    for row, error, message in [
        ([1.0], ValueError, "row has 1 values, the forest 2 features"),
        ((1.0, 2.0, 3.0), ValueError, "row has 3 values"),
        (iter([1.0]), TypeError, "cannot be converted to 'Sequence'"),
        ({0: 1.0, 1: 2.0}, TypeError, "cannot be converted to 'Sequence'"),
        ([1.0, "2"], TypeError, "argument 'row': must be real number, not str"),
        ([1.0, 10**400], OverflowError, "too large"),
    ]:
        for method in (f.raw, f.explain):
            with pytest.raises(error, match=message.replace("(", r"\(")):
                method(row)
    row = [1.0, None]
    row[1] = Clears(row)
    with pytest.raises(ValueError, match="row has 0 values"):
        f.raw(row)
    with pytest.raises(TypeError, match=r"Forest.raw\(\) missing 1 required positional argument: 'row'"):
        f.raw()
    assert f.explain(row=[2.0, 0.0]) == (3.0, 0.0, [3.0, 0.0])


def test_the_type_is_final_and_immutable():
    f = Forest(1, 0.0, [stump()])
    with pytest.raises(TypeError):
        type("Sub", (Forest,), {})
    with pytest.raises(TypeError):
        Forest.raw = None
    with pytest.raises(AttributeError):
        f.feature_count = 3
    assert signals.__all__ == ["trace_sketch", "signals", "Forest"] and Forest.__module__ == "velkora._signals"


def test_no_leaks_on_success_or_refusal():
    f = Forest(3, 0.5, [stump(0), stump(1), stump(2, missing_left=False)])

    def rounds(n):
        for i in range(n):
            row = [float(i), math.nan, i + 0.5]
            f.raw(row)
            f.explain(row)
            Forest(3, 0.5, [stump(0), [(0, 1.0, True, 1, 2, float(i))] + stump()[1:]])
            for bad in ([[(0, 1.0, True, 1, 1, 0.0), LEAF]], [[(0, str(i), True, 1, 2, 0.0)]]):
                try:
                    Forest(3, 0.5, bad)
                except (TypeError, ValueError):
                    pass

    rounds(50)
    tracemalloc.start()
    try:
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        rounds(500)
        gc.collect()
        first = tracemalloc.get_traced_memory()[0] - start
        rounds(500)
        gc.collect()
        second = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert second - first < 500 * 4
    row = [1.0, 2.0, 3.0]
    before = [sys.getrefcount(x) for x in (row, *row)]
    f.explain(row)
    assert [sys.getrefcount(x) for x in (row, *row)] == before


# --- the JSON form -------------------------------------------------------------------------

def node(**changes):
    base = {"feature": 0, "threshold": 1.0, "missing_left": True, "left": 1, "right": 2, "value": 0.0}
    return base | changes


def forest_data(**changes):
    leafs = [{"feature": -1, "threshold": 0.0, "missing_left": False, "left": -1, "right": -1, "value": v}
             for v in (-1.0, 3.0)]
    return {"baseline": 0.5, "feature_count": 1, "trees": [[node(), *leafs]]} | changes


@pytest.mark.parametrize("data, error, message", [
    ([], TypeError, "forest data must be a mapping, not list"),
    ({"baseline": 0.5, "trees": []}, TypeError, "missing keys ['feature_count']"),
    (forest_data(version=2), TypeError, "unknown keys ['version']"),
    (forest_data(feature_count=1.0), TypeError, "feature_count must be an int, not float"),
    (forest_data(baseline=True), TypeError, "baseline must be a float, not bool"),
    (forest_data(trees={"0": []}), TypeError, "trees must be a list, not dict"),
    (forest_data(trees=[[node(), "leaf"]]), TypeError, "trees[0][1] must be a mapping, not str"),
    (forest_data(trees=[[node(threshold="1.0")]]), TypeError, "trees[0][0]['threshold'] must be a float, not str"),
    (forest_data(trees=[[node(missing_left=0)]]), TypeError, "trees[0][0]['missing_left'] must be a bool"),
    (forest_data(trees=[[node(left=1.0)]]), TypeError, "trees[0][0]['left'] must be an int, not float"),
    (forest_data(trees=[[node()]]), ValueError, "tree 0, node 0: child 1 is out of range [0, 1)"),
])
def test_load_forest_checks_the_shape(data, error, message):
    with pytest.raises(error) as raised:
        load_forest(data)
    assert message in str(raised.value)
    assert load_forest(forest_data()).raw([1.0]) == -0.5
