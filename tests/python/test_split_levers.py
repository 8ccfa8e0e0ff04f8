"""best_of_kinds and learn_missing: off by default (the golden models prove the bytes), kept by
copies, checked, passed on by the estimators, and doing what they are for on planted data:
axis-aligned splits on an axis-aligned target, missing values sent left where they belong."""

import pickle

import numpy as np
import pytest
import vorlent
from vorlent_core import Booster


def axis_xor(n=6000, seed=2):
    """An axis-aligned XOR of two columns among six, with 10% missing values that behave
    like low values."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1, 1, size=(n, 6))
    y = ((X[:, 0] > 0.2) != (X[:, 1] > -0.3)).astype(float)
    X[rng.random(X.shape) < 0.1] = np.nan
    y[np.isnan(X[:, 0]) & (rng.random(n) < 0.8)] = 1.0
    return X, y


def nodes(b):
    return [node for node in b.tree_nodes() if not node["is_leaf"]]


def test_best_of_kinds_takes_axis_splits_where_they_gain_more():
    X, y = axis_xor()
    kinds = {}
    for lever in (False, True):
        b = Booster(n_estimators=15, max_depth=3, seed=1, best_of_kinds=lever)
        b.fit(X, y)
        kinds[lever] = [node["kind"] for node in nodes(b)]
    assert kinds[False].count(1) < kinds[True].count(1)
    assert kinds[True].count(1) > len(kinds[True]) // 2


@pytest.mark.parametrize("lineage", [0, 1])
def test_learn_missing_sends_missing_values_left_where_they_belong(lineage):
    X, y = axis_xor()
    sides = {}
    for lever in (False, True):
        b = Booster(n_estimators=10, max_depth=3, seed=1, learn_missing=lever, max_lineage=lineage)
        b.fit(X, y)
        sides[lever] = [node["missing_right"] for node in nodes(b)]
    assert set(sides[False]) == {1}
    assert 0 in sides[True]


def test_the_levers_are_kept_by_copies():
    X, y = axis_xor(n=1500)
    b = Booster(n_estimators=3, best_of_kinds=True, learn_missing=True)
    b.fit(X, y)
    assert "best_of_kinds=True" in repr(b) and "learn_missing=True" in repr(b)
    copy = pickle.loads(pickle.dumps(b))
    params = copy.__getstate__()[0]
    assert params["best_of_kinds"] is True and params["learn_missing"] is True
    copy.fit(X, y)
    assert copy.serialize() == b.serialize()


@pytest.mark.parametrize("name", ["best_of_kinds", "learn_missing"])
def test_the_estimators_check_and_pass_the_levers(name):
    X, y = axis_xor(n=600)
    with pytest.raises(TypeError, match=name):
        vorlent.VorlentClassifier(**{name: "yes"}, n_estimators=2).fit(X, y)
    model = vorlent.VorlentRegressor(**{name: True}, n_estimators=2).fit(X, y)
    assert model.booster_.__getstate__()[0][name] is True
    assert vorlent.VorlentClassifier().get_params()[name] is False
