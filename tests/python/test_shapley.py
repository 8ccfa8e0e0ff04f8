"""Shapley values through the module surface: additivity on every kind of trained model, the
covers recorded at training, the classic TreeSHAP values on axis-only models, and errors."""

import copy
import pickle
import struct

import numpy as np
import pytest
from helpers import mixed_data
from model_craft import NODE_FORMAT
from vorlent_core import Booster

# Every kind of model training makes: axis-only, oblique pairs, categorical pairs,
# projection (lineage) splits, and the multiclass objective.
KINDS = {
    "axis": {"split_mode": 1},
    "oblique": {},
    "categorical": {"categorical": [0] * 6 + [1]},
    "lineage": {"max_lineage": 2},
    "multiclass": {"objective": 2, "categorical": [0] * 6 + [1]},
}


def trained(kind, subsample=0.8, n=3000, **extra):
    X, signal, _ = mixed_data(n=n + 500)
    y = (signal > 0).astype(float)
    if kind == "multiclass":
        y = np.digitize(signal, [-0.5, 0.5]).astype(float)
    params = {"n_estimators": 15, "max_depth": 5, "subsample": subsample, "seed": 3} | KINDS[kind]
    b = Booster(**(params | extra))
    b.fit(X[:n], y[:n])
    return b, X[:n], X[n:]


@pytest.mark.parametrize("kind", KINDS)
def test_rows_sum_to_their_raw_scores(kind):
    b, _, X = trained(kind)
    phi = b.shap_values(X)
    raw = b.predict_raw(X)
    if kind == "multiclass":
        assert phi.shape == (len(X), 3, X.shape[1] + 1)
    else:
        assert phi.shape == (len(X), X.shape[1] + 1)
    np.testing.assert_allclose(phi.sum(axis=-1), raw, rtol=1e-9, atol=1e-12)
    # The last column is the expected value, the same for every row.
    assert np.all(phi[..., -1] == phi[:1, ..., -1])
    # Missing values and every column take part: contributions are not all zero.
    assert np.count_nonzero(phi[..., :-1]) > phi[..., :-1].size // 4


@pytest.mark.parametrize("kind", ["oblique", "lineage", "multiclass"])
def test_recorded_covers_are_the_training_rows_at_each_node(kind):
    # Without subsampling every tree's bag is the whole training set, so the covers recorded
    # while growing equal the counts of the training rows routed through the finished trees.
    b, X_train, X = trained(kind, subsample=1.0)
    np.testing.assert_array_equal(b.shap_values(X), b.shap_values(X, background=X_train))
    # Another background gives other covers, hence other values with the same sums.
    other = b.shap_values(X, background=X[:50])
    assert not np.array_equal(other, b.shap_values(X))
    np.testing.assert_allclose(other.sum(axis=-1), b.predict_raw(X), rtol=1e-9, atol=1e-12)


def test_clipped_models_explain_their_unclipped_raw_score():
    X, signal, _ = mixed_data(n=2000)
    clipped = Booster(n_estimators=10, objective=1, clip=1, learning_rate=0.9)
    free = Booster(n_estimators=10, objective=1, clip=0, learning_rate=0.9)
    for b in (clipped, free):
        b.fit(X, signal)
    X_far = X * 3.0
    assert not np.array_equal(clipped.predict_raw(X_far), free.predict_raw(X_far))
    np.testing.assert_array_equal(clipped.shap_values(X_far), free.shap_values(X_far))
    np.testing.assert_allclose(
        clipped.shap_values(X_far).sum(axis=1), free.predict_raw(X_far), rtol=1e-9, atol=1e-12
    )


def read_trees(blob):
    """(learning_rate, base_score, trees) of a single-output model's bytes; a tree is a list of
    (is_leaf, value, feature, threshold, left, right, missing_right)."""
    base_score, learning_rate = struct.unpack_from("<dd", blob, 0)
    at = struct.calcsize("<ddiiddi")
    (count,) = struct.unpack_from("<i", blob, at)
    at += 4 + 8 * count
    (n_features,) = struct.unpack_from("<i", blob, at)
    at += 4 + 8 * n_features
    (count,) = struct.unpack_from("<i", blob, at)
    at += 4 + 8 * count
    (n_trees,) = struct.unpack_from("<i", blob, at)
    at += 4
    trees = []
    for _ in range(n_trees):
        (n_nodes,) = struct.unpack_from("<i", blob, at)
        at += 4
        nodes = []
        for _ in range(n_nodes):
            f = struct.unpack_from(NODE_FORMAT, blob, at)
            at += struct.calcsize(NODE_FORMAT) + 8 * f[14]
            nodes.append((f[0], f[1], f[3], f[5], f[9], f[10], f[11]))
        trees.append(nodes)
    return learning_rate, base_score, trees


def shap_custom_tree(nodes, X_background, learning_rate):
    """The tree in the shap package's custom format, with background counts as covers. The
    package sends x <= threshold left; here x < threshold goes left."""
    n = len(nodes)
    left = np.array([nd[4] for nd in nodes])
    right = np.array([nd[5] for nd in nodes])
    missing_right = np.array([nd[6] for nd in nodes])
    cover = np.zeros(n)
    for row in X_background:
        i = 0
        while not nodes[i][0]:
            v = row[nodes[i][2]]
            goes_right = missing_right[i] if np.isnan(v) else v >= nodes[i][3]
            cover[i] += 1
            i = right[i] if goes_right else left[i]
        cover[i] += 1
    is_leaf = np.array([nd[0] for nd in nodes], dtype=bool)
    return {
        "children_left": np.where(is_leaf, -1, left),
        "children_right": np.where(is_leaf, -1, right),
        "children_default": np.where(is_leaf, -1, np.where(missing_right == 1, right, left)),
        "features": np.where(is_leaf, -2, [nd[2] for nd in nodes]),
        "thresholds": np.array([np.nextafter(nd[3], -np.inf) for nd in nodes]),
        "values": np.array([[learning_rate * nd[1]] for nd in nodes]),
        "node_sample_weight": cover,
    }


def shap_explainer(shap, b, X_background):
    """The shap package's path-dependent TreeExplainer of a single-output axis model."""
    learning_rate, base_score, trees = read_trees(b.serialize())
    model = {
        "trees": [shap_custom_tree(t, X_background, learning_rate) for t in trees],
        "base_offset": base_score,
    }
    return shap.TreeExplainer(model, feature_perturbation="tree_path_dependent")


def test_axis_models_give_the_classic_tree_shap_values():
    shap = pytest.importorskip("shap")
    b, X_train, X = trained("axis", n=1500, max_depth=6)
    X = X[:200]
    explainer = shap_explainer(shap, b, X_train)
    theirs = explainer.shap_values(X, check_additivity=False)
    ours = b.shap_values(X, background=X_train)
    assert np.isnan(X).any()
    np.testing.assert_allclose(ours[:, :-1], theirs, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(ours[0, -1], explainer.expected_value, rtol=1e-9, atol=1e-12)


def test_loaded_models_need_background_rows():
    b, X_train, X = trained("oblique", subsample=1.0)
    loaded = Booster()
    loaded.deserialize(b.serialize())
    with pytest.raises(ValueError, match="background"):
        loaded.shap_values(X)
    np.testing.assert_array_equal(
        loaded.shap_values(X, background=X_train), b.shap_values(X, background=X_train)
    )
    # Trees grown on a loaded model do not make its covers complete.
    loaded.fit_more(X_train, (X_train[:, 2] > 0).astype(float), 2)
    with pytest.raises(ValueError, match="background"):
        loaded.shap_values(X)


def test_copies_keep_the_recorded_covers():
    b, _, X = trained("lineage")
    expected = b.shap_values(X)
    assert np.array_equal(pickle.loads(pickle.dumps(b)).shap_values(X), expected)
    assert np.array_equal(copy.deepcopy(b).shap_values(X), expected)
    parameters, model, state = b.__getstate__()
    with pytest.raises(ValueError, match="node_covers holds"):
        Booster.__new__(Booster).__setstate__(
            (parameters, model, state | {"node_covers": state["node_covers"][:-8]})
        )
    with pytest.raises(ValueError, match="bad count"):
        bad = bytearray(state["node_covers"])
        bad[-8:] = struct.pack("<d", -1.0)
        bad_state = state | {"node_covers": bytes(bad)}
        Booster.__new__(Booster).__setstate__((parameters, model, bad_state))


def test_bad_arguments_raise_value_errors_naming_them():
    b, X_train, X = trained("oblique")
    with pytest.raises(ValueError, match="background must be a two-dimensional"):
        b.shap_values(X, background=X_train[0])
    with pytest.raises(ValueError, match="background must hold at least one row"):
        b.shap_values(X, background=X_train[:0])
    with pytest.raises(ValueError, match="background has 3 columns"):
        b.shap_values(X, background=X_train[:, :3])
    with pytest.raises(ValueError, match="X has 3 columns"):
        b.shap_values(X[:, :3])
    with pytest.raises(TypeError):
        b.shap_values(X, background="rows")


def test_fresh_booster_gives_zeros_and_its_start_score():
    got = Booster().shap_values(np.ones((3, 2)))
    np.testing.assert_array_equal(got, np.zeros((3, 3)))
    assert Booster().shap_values(np.ones((0, 2))).shape == (0, 3)
