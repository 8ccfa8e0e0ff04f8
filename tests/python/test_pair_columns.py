"""max_pair_columns: a node pairs only its best few columns.

Models with a cap at least as large as the column count are the models without a cap, byte
for byte; capped models are the same for every thread count; the keyword is checked, kept by
copies and passed on by the estimators.
"""

import copy
import pickle

import numpy as np
import pytest
import vorlent
from vorlent_core import Booster


def wide_data(n=9000, d=20, seed=5):
    """Numeric columns with missing values, a categorical column of 6 codes and a signal in
    high-numbered columns."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, d))
    X[:, 3] = rng.integers(0, 6, size=n)
    signal = X[:, d - 1] * X[:, d - 2] + X[:, 7] - 0.5 * X[:, d - 4] + 0.3 * X[:, 3]
    mask = rng.random((n, d)) < 0.04
    mask[:, 3] = False
    X[mask] = np.nan
    categorical = [0] * d
    categorical[3] = 1
    return X, (signal > 0.1).astype(float), categorical


def trained_bytes(X, y, categorical, **params):
    b = Booster(n_estimators=3, max_depth=4, seed=3, categorical=categorical, **params)
    b.fit(X, y)
    return b.serialize()


@pytest.mark.parametrize("lineage", [0, 2])
def test_a_cap_of_every_column_changes_nothing(lineage):
    X, y, categorical = wide_data(n=3000)
    d = X.shape[1]
    plain = trained_bytes(X, y, categorical, max_lineage=lineage)
    for cap in (d, d + 7):
        assert trained_bytes(X, y, categorical, max_lineage=lineage, max_pair_columns=cap) == plain
    # A cap below the column count trains another model.
    assert trained_bytes(X, y, categorical, max_lineage=lineage, max_pair_columns=4) != plain


@pytest.mark.parametrize("lineage", [0, 2])
@pytest.mark.parametrize("levers", [False, True])
def test_capped_models_do_not_depend_on_the_thread_count(lineage, levers):
    X, y, categorical = wide_data()
    # 12 of 20 columns: 66 pairs, more than the cap of 48 keeps, so screening runs below
    # the root's children too; colsample makes the ranked columns differ from node to node.
    # The accuracy levers (best_of_kinds, learn_missing) must keep that too.
    models = {
        threads: trained_bytes(
            X,
            y,
            categorical,
            max_lineage=lineage,
            max_pair_columns=12,
            colsample=0.9,
            n_threads=threads,
            best_of_kinds=levers,
            learn_missing=levers,
        )
        for threads in (1, 2, 3)
    }
    assert models[1] == models[2] == models[3]


def test_capped_models_keep_most_of_the_accuracy():
    X, y, categorical = wide_data()
    train, test = slice(0, 7000), slice(7000, None)

    def loss(cap):
        b = Booster(n_estimators=40, seed=3, categorical=categorical, max_pair_columns=cap)
        b.fit(X[train], y[train])
        p = np.clip(b.predict_proba(X[test])[:, 1], 1e-12, 1 - 1e-12)
        return -np.mean(y[test] * np.log(p) + (1 - y[test]) * np.log(1 - p))

    # The planted pair is among every node's best columns; the cap must not lose it.
    assert loss(4) < 1.03 * loss(0)


@pytest.mark.parametrize("bad", [-1, 1, -(2**31)])
def test_the_core_refuses_a_cap_below_two(bad):
    with pytest.raises(ValueError, match="max_pair_columns"):
        Booster(max_pair_columns=bad)


def test_the_core_refuses_a_cap_of_another_type():
    with pytest.raises(TypeError):
        Booster(max_pair_columns=2.5)


def test_copies_keep_the_cap():
    X, y, categorical = wide_data(n=2000)
    b = Booster(n_estimators=2, categorical=categorical, max_pair_columns=5)
    b.fit(X, y)
    assert "max_pair_columns=5" in repr(b)
    for other in (pickle.loads(pickle.dumps(b)), copy.deepcopy(b)):
        assert other.__getstate__()[0]["max_pair_columns"] == 5
        other.fit_more(X, y, 2)
        b_more = pickle.loads(pickle.dumps(b))
        b_more.fit_more(X, y, 2)
        assert other.serialize() == b_more.serialize()
    assert "max_pair_columns" not in repr(Booster())


@pytest.mark.parametrize("bad", [1, -2])
def test_the_estimators_refuse_a_cap_below_two(bad):
    X, y, _ = wide_data(n=200)
    for model in (vorlent.VorlentClassifier, vorlent.VorlentRegressor):
        with pytest.raises(ValueError, match="max_pair_columns"):
            model(max_pair_columns=bad, n_estimators=2).fit(X, y)


def test_the_estimators_pass_the_cap_on():
    X, y, _ = wide_data(n=2000)
    model = vorlent.VorlentClassifier(n_estimators=3, max_pair_columns=4, random_state=0)
    model.fit(X, y)
    assert model.booster_.__getstate__()[0]["max_pair_columns"] == 4
    assert vorlent.VorlentRegressor().get_params()["max_pair_columns"] == 4
