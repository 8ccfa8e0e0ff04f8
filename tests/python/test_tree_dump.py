"""Tree dumps and Shapley values on the estimators: the text of every split, evaluated in
numpy, routes rows exactly as the model does; leaf values, names, covers and the table."""

import json
import re
import sys

import numpy as np
import pytest
from vorlent import VorlentClassifier, VorlentRegressor, load_model
from vorlent._trees import COLUMNS, split_text

pd = pytest.importorskip("pandas")

NAMES = ["humid", "pressure", "wind", "temp", "city"]
CITIES = np.array(["oslo", "rome", "lima", "pune", "kyiv"], dtype=object)

# Every split kind and the multiclass leaves; the values are (estimator, its parameters).
KINDS = {
    "axis": (VorlentRegressor, {"split_mode": "axis"}),
    "oblique": (VorlentRegressor, {}),
    "category_pair": (VorlentRegressor, {}),
    "projection": (VorlentClassifier, {"max_lineage": 1}),
    "multiclass": (VorlentClassifier, {}),
}


def weather(n=3000, seed=0):
    """A frame with missing values in every numeric column and a text category column, and a
    signal that pair, categorical and axis splits all find useful."""
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(n, 4))
    codes = rng.integers(0, len(CITIES), size=n)
    signal = values[:, 0] - values[:, 1] + np.array([-1, 0.5, 1, -0.5, 0])[codes] * values[:, 3]
    values[rng.random(values.shape) < 0.08] = np.nan
    frame = pd.DataFrame(values, columns=NAMES[:4])
    frame["city"] = CITIES[codes]
    return frame, signal


def fitted(kind, n_estimators=12):
    X, signal = weather()
    cls, params = KINDS[kind]
    y = signal
    if kind == "projection":
        y = signal > 0
    elif kind == "multiclass":
        y = np.digitize(signal, [-0.7, 0.7])
    # Every row trains (no early-stopping split), so that covers count all of X.
    model = cls(
        n_estimators=n_estimators, max_depth=4, random_state=0, early_stopping=False, **params
    )
    return model.fit(X, y), X


def split_as_code(split: str, cities: list):
    """The left test and the missing side of a split's text, as numpy code over a frame."""
    test, missing = re.fullmatch(r"(.*) \(missing: (left|right)\)", split).groups()

    def offsets(column, table):
        return column.map(table).astype(float).fillna(0.0).to_numpy()

    def category_code(column):
        return column.map({city: code for code, city in enumerate(cities)}).to_numpy()

    # A categorical term name{offsets} becomes the offset of each row's category, and
    # code(name) the row's category code.
    code = re.sub(r"(\w+)(\{[^}]*\})", r"offsets(X['\1'], \2)", test)
    code = re.sub(r"code\((\w+)\)", r"category_code(X['\1'])", code)
    code = re.sub(r"\b(" + "|".join(NAMES[:4]) + r")\b(?!')", r"X['\1'].to_numpy()", code)
    used = sorted({name for name in NAMES if f"'{name}'" in code})
    return code, used, missing == "right", {"offsets": offsets, "category_code": category_code}


def route(records, X, cities):
    """The leaf of every row, found by evaluating the text of each split in numpy."""
    by_node = {r["node"]: r for r in records}
    tests = {}
    for r in records:
        if r["kind"] != "leaf":
            code, used, missing_right, helpers = split_as_code(r["split"], cities)
            goes_left = eval(code, {"X": X, "inf": np.inf} | helpers)
            missing = X[used].isna().any(axis=1).to_numpy()
            tests[r["node"]] = np.where(missing, not missing_right, goes_left)
    node = np.zeros(len(X), dtype=int)
    for _ in range(1 + max(r["depth"] for r in records)):
        for i in np.unique(node):
            r = by_node[i]
            if r["kind"] != "leaf":
                rows = node == i
                node[rows] = np.where(tests[i][rows], r["left"], r["right"])
    return node


@pytest.mark.parametrize("kind", KINDS)
def test_split_texts_route_rows_as_the_model_does(kind):
    model, X = fitted(kind)
    dump = model.dump_model()
    kinds = {r["kind"] for tree in dump["trees"] for r in tree["nodes"]}
    if kind != "multiclass":
        assert kind in kinds
    multi = kind == "multiclass"
    total = np.zeros((len(X), 3) if multi else len(X))
    for tree in dump["trees"]:
        records = [r | {"split": r["split"] and _exact_split(r)} for r in tree["nodes"]]
        leaves = route(records, X, dump["categories"]["city"])
        field = "contributions" if multi else "contribution"
        table = {r["node"]: r[field] for r in records if r["kind"] == "leaf"}
        total += np.array([table[i] for i in leaves])
    # What the trees add differs from the raw score by the start score alone: one leaf
    # routed wrongly would move its rows by a whole leaf value.
    start = model.predict_raw(X) - total
    np.testing.assert_allclose(start, np.broadcast_to(start[0], start.shape), rtol=0, atol=1e-9)


def _exact_split(record):
    return split_text(record, digits=17, categorical={"city"})


def test_records_describe_the_stored_leaves_and_covers():
    model, X = fitted("multiclass", n_estimators=3)
    for tree in model.dump_model()["trees"]:
        nodes = {r["node"]: r for r in tree["nodes"]}
        root = nodes[0]
        assert (root["parent"], root["depth"], root["cover"]) == (-1, 0, len(X))
        for r in nodes.values():
            if r["kind"] == "leaf":
                assert r["value"] is None and len(r["values"]) == 3
                np.testing.assert_allclose(
                    r["contributions"], np.array(r["values"]) * model.learning_rate, rtol=1e-15
                )
            else:
                children = nodes[r["left"]], nodes[r["right"]]
                assert all(
                    c["parent"] == r["node"] and c["depth"] == r["depth"] + 1 for c in children
                )
                assert children[0]["cover"] + children[1]["cover"] == r["cover"]
                assert r["gain"] > 0 and r["value"] is None and r["values"] is None


def test_names_and_category_offsets_come_from_the_frame():
    model, _ = fitted("category_pair")
    dump = model.dump_model()
    assert dump["feature_names"] == NAMES
    assert sorted(dump["categories"]["city"]) == sorted(CITIES)
    pairs = [r for t in dump["trees"] for r in t["nodes"] if r["kind"] == "category_pair"]
    assert pairs
    for r in pairs:
        assert r["features"][0] == "city" and r["coefficients"][0] is None
        assert set(r["category_offsets"]) <= set(CITIES)
        assert r["split"].startswith("city{")
    json.loads(json.dumps(dump))  # JSON-ready


def test_split_text_reads_as_written():
    record = {
        "kind": "oblique",
        "features": ["humid", "pressure"],
        "coefficients": [0.7071, -0.7049],
        "category_offsets": None,
        "threshold": 1.2345,
        "missing": "right",
    }
    assert split_text(record, digits=2) == "0.71 * humid - 0.7 * pressure < 1.2 (missing: right)"
    record["coefficients"] = [-0.5, 0.25]
    assert split_text(record) == "-0.5 * humid + 0.25 * pressure < 1.234 (missing: right)"


def test_trees_to_dataframe_has_one_row_per_node(monkeypatch):
    model, _ = fitted("oblique", n_estimators=3)
    table = model.trees_to_dataframe()
    assert list(table.columns) == list(COLUMNS)
    dump = model.dump_model()
    assert len(table) == sum(len(t["nodes"]) for t in dump["trees"])
    assert set(table["kind"]) <= {"axis", "oblique", "category_pair", "leaf"}
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"vorlent\[pandas\]"):
        model.trees_to_dataframe()


def test_shap_values_on_frames_binary_and_multiclass(tmp_path):
    for kind, width in (("projection", None), ("multiclass", 3)):
        model, X = fitted(kind)
        phi = model.shap_values(X[:200])
        assert isinstance(phi, np.ndarray)
        assert phi.shape == ((200, 6) if width is None else (200, 3, 6))
        np.testing.assert_allclose(phi.sum(axis=-1), model.predict_raw(X[:200]), rtol=1e-9)
    # A loaded model has no covers: the error says how to pass them; the training rows as
    # background give back the values of the fitted model (no subsampling).
    model.save_model(tmp_path / "m.vrl")
    loaded = load_model(tmp_path / "m.vrl")
    with pytest.raises(ValueError, match=r"background=X_train"):
        loaded.shap_values(X[:5])
    assert loaded.dump_model()["trees"][0]["nodes"][0]["cover"] is None
    np.testing.assert_array_equal(loaded.shap_values(X[:50], background=X), phi[:50])
    with pytest.raises(ValueError, match="background"):
        loaded.shap_values(X[:5], background=X.drop(columns="city"))


def raw_from_nodes(trees, terms, X):
    """Raw scores rebuilt from node records and score terms alone: every row walks each
    axis tree by the records' columns, thresholds and missing sides, and collects the
    contribution of its leaf on top of the start score."""
    multi = terms["start_scores"] is not None
    raw = (
        np.tile(terms["start_scores"], (len(X), 1))
        if multi
        else np.full(len(X), terms["start_score"])
    )
    for nodes in trees:
        by_node = {r["node"]: r for r in nodes}
        at = np.zeros(len(X), dtype=int)
        while internal := [i for i in np.unique(at) if by_node[i]["kind"] != "leaf"]:
            for i in internal:
                r, rows = by_node[i], at == i
                assert r["kind"] == "axis"
                x = X[rows, r["columns"][0]]
                left = np.where(np.isnan(x), r["missing"] == "left", x < r["threshold"])
                at[rows] = np.where(left, r["left"], r["right"])
        raw += np.array([by_node[i]["contributions" if multi else "contribution"] for i in at])
    if terms["raw_score_range"] is not None:
        raw = np.clip(raw, *terms["raw_score_range"])
    return raw


@pytest.mark.parametrize("task", ["regression", "binary", "multiclass"])
def test_dump_and_table_rebuild_the_raw_scores(task):
    rng = np.random.default_rng(5)
    X = rng.normal(size=(600, 4))
    signal = X[:, 0] + X[:, 1] * X[:, 2]
    X[rng.random(X.shape) < 0.1] = np.nan
    if task == "regression":
        # Steps this long overshoot the target range, to which the raw scores are clamped.
        model = VorlentRegressor(clip_to_target_range=True, learning_rate=1.9)
        y = 3 * signal + 150
    else:
        model = VorlentClassifier()
        y = signal > 0 if task == "binary" else np.digitize(signal, [-0.5, 0.5])
    model.set_params(n_estimators=8, split_mode="axis", early_stopping=False, random_state=0)
    expected = model.fit(X, y).predict_raw(X)
    dump = json.loads(json.dumps(model.dump_model()))
    trees = [tree["nodes"] for tree in dump["trees"]]
    np.testing.assert_allclose(raw_from_nodes(trees, dump, X), expected, rtol=0, atol=1e-12)
    table = model.trees_to_dataframe()
    trees = [group.to_dict("records") for _, group in table.groupby("tree")]
    np.testing.assert_allclose(raw_from_nodes(trees, table.attrs, X), expected, rtol=0, atol=1e-12)
