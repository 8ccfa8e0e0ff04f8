"""Training behaviour: rounds, early stopping, continued training, constraints, switches."""

import numpy as np
import pytest
from vorlent_core import Booster

from helpers import mixed_data, planted_binary


def logloss(p, y):
    p = np.clip(p, 1e-12, 1 - 1e-12)
    return float(-np.mean(y * np.log(p) + (1 - y) * np.log(1 - p)))


def test_binary_model_learns_the_planted_signal():
    X, y = planted_binary()
    b = Booster()
    b.fit(X[:2000], y[:2000])
    assert b.n_trees() == 60
    assert b.best_iteration() == -1
    p = b.predict_proba(X[2000:])
    np.testing.assert_allclose(p.sum(axis=1), 1.0)
    base = logloss(np.full(1000, y[:2000].mean()), y[2000:])
    assert logloss(p[:, 1], y[2000:]) < 0.75 * base


def test_oblique_search_beats_axis_only_on_a_linear_boundary():
    X, y = planted_binary(n=6000, seed=3)
    losses = {}
    for mode in (0, 1):
        b = Booster(split_mode=mode, n_estimators=30)
        b.fit(X[:4000], y[:4000])
        losses[mode] = logloss(b.predict_proba(X[4000:])[:, 1], y[4000:])
    assert losses[0] < losses[1]


def test_early_stopping_cuts_back_to_the_best_round():
    X, y = planted_binary(n=2000, seed=4)
    # Validation labels that disagree with training: only the first round can improve.
    b = Booster(n_estimators=30)
    b.fit(X, y, X_val=X[:500], y_val=1.0 - y[:500], es_patience=3)
    assert b.n_trees() == 1
    assert b.best_iteration() == 0
    # Patience 0 leaves early stopping off even with validation data.
    b.fit(X, y, X_val=X[:500], y_val=1.0 - y[:500], es_patience=0)
    assert b.n_trees() == 30
    assert b.best_iteration() == -1
    # Every round improving: nothing dropped.
    b = Booster(n_estimators=5, learning_rate=0.05)
    b.fit(X, y, X_val=X[:500], y_val=y[:500], es_patience=2, es_tol=0.0)
    assert b.n_trees() == 5
    assert b.best_iteration() == 4
    b = Booster(n_estimators=0)
    b.fit(X, y, X_val=X[:500], y_val=y[:500], es_patience=2)
    assert b.n_trees() == 0
    assert b.best_iteration() == -1


@pytest.mark.parametrize("objective", [0, 1, 2])
def test_validation_losses_are_the_loss_after_every_round(objective):
    X, y = planted_binary(n=1500, seed=6)
    if objective == 1:
        y = X[:, 0] + 0.1 * X[:, 1]
    elif objective == 2:
        y = (X[:, 0] > 0) + (X[:, 1] > 0.5) * 1.0
    Xv, yv = X[:400], y[:400]
    b = Booster(n_estimators=12, objective=objective)
    b.fit(X[400:], y[400:], X_val=Xv, y_val=yv, es_patience=3)
    losses = b.validation_losses()
    # Every round run is recorded, also those cut back afterwards.
    assert len(losses) >= b.n_trees() and np.argmin(losses) <= b.best_iteration()
    if objective == 1:
        expected = np.mean((b.predict_raw(Xv).ravel() - yv) ** 2)
    else:
        p = b.predict_proba(Xv)[np.arange(len(yv)), yv.astype(int)]
        expected = -np.mean(np.log(p))
    assert losses[b.n_trees() - 1] == pytest.approx(expected, rel=1e-12)
    b.fit(X, y)
    assert len(b.validation_losses()) == 0


@pytest.mark.parametrize("k", [2, 4, 8])
def test_equally_frequent_classes_are_learned(k):
    # With 1/k exact the per-class gradient sums of the first round are exactly equal.
    rng = np.random.default_rng(k)
    y = np.repeat(np.arange(k), 100).astype(float)
    X = rng.normal(size=(y.size, 3))
    X[:, 0] += 3 * y
    b = Booster(objective=2, n_estimators=20)
    b.fit(X, y)
    assert np.mean(b.predict_proba(X).argmax(axis=1) == y) > 0.9


def test_an_improvement_within_tolerance_is_a_stall():
    X, y = planted_binary(n=2000, seed=5)
    b = Booster(n_estimators=20)
    b.fit(X, y, X_val=X[:500], y_val=y[:500], es_patience=2, es_tol=1e9)
    assert b.n_trees() == 1 and b.best_iteration() == 0


def test_continued_training_equals_training_longer():
    X, y = planted_binary(n=3000, seed=6, nan_share=0.05)
    long = Booster(n_estimators=15)
    long.fit(X, y)
    short = Booster(n_estimators=10)
    short.fit(X, y)
    short.fit_more(X, y, 5)
    assert short.n_trees() == 15
    np.testing.assert_array_equal(short.predict_raw(X), long.predict_raw(X))


def test_continued_training_keeps_early_stopping_results_and_ignores_no_ops():
    X, y = planted_binary(n=2000, seed=7)
    b = Booster(n_estimators=30)
    b.fit(X, y, X_val=X[:500], y_val=1.0 - y[:500], es_patience=3)
    before = b.predict_raw(X)
    b.fit_more(X, y, 0)
    b.fit_more(X, y, -3)
    np.testing.assert_array_equal(b.predict_raw(X), before)
    b.fit_more(X[:1000], y[:1000], 5)
    assert b.n_trees() == 6
    assert b.best_iteration() == 0
    fresh = Booster()
    fresh.fit_more(X, y, 5)
    assert fresh.n_trees() == 0


def test_sampling_is_reproducible_by_seed():
    X, y = planted_binary(n=2000, seed=8)
    models = []
    for seed in (9, 9, 10):
        b = Booster(n_estimators=4, subsample=0.5, colsample=0.5, seed=seed)
        b.fit(X, y)
        b.fit_more(X, y, 4)
        models.append(b.predict_raw(X))
    np.testing.assert_array_equal(models[0], models[1])
    assert not np.array_equal(models[0], models[2])


@pytest.mark.parametrize("objective,loss", [(0, 0), (1, 0), (1, 1), (1, 2), (2, 0)])
def test_every_objective_trains_and_predicts(objective, loss):
    X, signal, rng = mixed_data(n=3000)
    if objective == 0:
        y = (signal > 0).astype(float)
    elif objective == 1:
        y = signal + 0.1 * rng.normal(size=len(signal))
    else:
        y = np.digitize(signal, [-0.5, 0.5]).astype(float)
    b = Booster(objective=objective, loss=loss, categorical=[0] * 6 + [1], n_estimators=20)
    b.fit(X, y)
    raw = b.predict_raw(X)
    proba = b.predict_proba(X)
    if objective == 2:
        assert raw.shape == (3000, 3) and proba.shape == (3000, 3)
        np.testing.assert_allclose(proba.sum(axis=1), 1.0)
        assert np.mean(proba.argmax(axis=1) == y) > 0.6
    else:
        assert raw.shape == (3000,) and proba.shape == (3000, 2)
        assert np.corrcoef(raw, signal)[0, 1] > (0.7 if objective == 0 else 0.8)


def test_quantile_loss_tracks_its_level():
    rng = np.random.default_rng(11)
    X = rng.normal(size=(4000, 3))
    y = X[:, 0] + rng.normal(size=4000)
    b = Booster(objective=1, loss=2, alpha=0.9, n_estimators=40)
    b.fit(X, y)
    share_below = np.mean(y <= b.predict_raw(X))
    assert 0.85 < share_below < 0.95


def test_clip_keeps_raw_scores_in_the_training_range():
    rng = np.random.default_rng(12)
    X = rng.normal(size=(500, 2))
    y = np.clip(X[:, 0], -1, 1) + 2.0
    b = Booster(objective=1, clip=1, learning_rate=1.0)
    b.fit(X, y)
    raw = b.predict_raw(np.array([[100.0, 0.0], [-100.0, 0.0], [np.nan, np.nan]]))
    assert np.all(raw >= y.min()) and np.all(raw <= y.max())


def test_unit_weights_equal_no_weights():
    X, y = planted_binary(n=1500, seed=13)
    a, b = Booster(n_estimators=10), Booster(n_estimators=10)
    a.fit(X, y)
    b.fit(X, y, sample_weight=np.ones(len(y)))
    np.testing.assert_array_equal(a.predict_raw(X), b.predict_raw(X))
    c = Booster(n_estimators=10)
    c.fit(X, y, sample_weight=np.where(y > 0, 5.0, 1.0))
    assert np.mean(c.predict_proba(X)[:, 1]) > np.mean(a.predict_proba(X)[:, 1])


@pytest.mark.parametrize("mode", [0, 1])
def test_monotone_constraint_holds_on_a_grid(mode):
    rng = np.random.default_rng(14)
    X = rng.normal(size=(4000, 3))
    y = -X[:, 0] + np.sin(3 * X[:, 0]) + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=4000)
    b = Booster(objective=1, monotone=[1, 0, -1], split_mode=mode, max_depth=5)
    b.fit(X, y)
    grid = np.linspace(-3, 3, 301)
    for other in rng.normal(size=(20, 2)):
        rising = np.column_stack([grid, np.full(301, other[0]), np.full(301, other[1])])
        assert np.all(np.diff(b.predict_raw(rising)) >= -1e-12)
        falling = np.column_stack([np.full(301, other[0]), np.full(301, other[1]), grid])
        assert np.all(np.diff(b.predict_raw(falling)) <= 1e-12)


@pytest.mark.parametrize("mode", [0, 1, 2])
def test_monotone_constraint_holds_beside_a_categorical_column(mode):
    # y = slope[code] * x0 with the codes in a categorical column: the constraint on x0 holds
    # for every code, through category-pair splits too. A constraint on the categorical
    # column itself is refused: a code has no order.
    rng = np.random.default_rng(3)
    x0 = rng.uniform(-1, 1, size=3000)
    codes = rng.integers(0, 4, size=3000).astype(float)
    X = np.column_stack([x0, codes])
    y = np.array([0.5, 1.0, 2.0, 3.0])[codes.astype(int)] * x0 + 0.05 * rng.normal(size=3000)
    b = Booster(objective=1, n_estimators=40, monotone=[1, 0], categorical=[0, 1], split_mode=mode)
    b.fit(X, y)
    grid = np.linspace(-1.2, 1.2, 121)
    for code in range(4):
        assert np.all(np.diff(b.predict_raw(np.column_stack([grid, np.full(121, code)]))) >= 0)
    with pytest.raises(ValueError, match=r"monotone\[1\] is 1 but column 1 is categorical"):
        Booster(objective=1, monotone=[1, 1], categorical=[0, 1]).fit(X, y)


@pytest.mark.parametrize("lineage", [1, 2, 3])
def test_lineage_builder_keeps_monotone_constraints(lineage):
    # Projection splits whose direction reads constrained columns against their constraints
    # are not made, and the others bound their children as axis splits do.
    rng = np.random.default_rng(lineage)
    X = rng.uniform(-1, 1, size=(3000, 3))
    y = np.sin(3 * X[:, 0]) + X[:, 1] - 0.5 * X[:, 2] * X[:, 1] + 0.05 * rng.normal(size=3000)
    b = Booster(objective=1, n_estimators=40, monotone=[1, 0, -1], max_lineage=lineage)
    b.fit(X, y)
    free = Booster(objective=1, n_estimators=40, max_lineage=lineage)
    free.fit(X, y)
    grid = np.linspace(-1.2, 1.2, 121)
    broken = 0
    for other in rng.uniform(-1, 1, size=(12, 2)):
        rising = np.column_stack([grid, np.full(121, other[0]), np.full(121, other[1])])
        assert np.all(np.diff(b.predict_raw(rising)) >= 0)
        falling = np.column_stack([np.full(121, other[0]), np.full(121, other[1]), grid])
        assert np.all(np.diff(b.predict_raw(falling)) <= 0)
        broken += np.any(np.diff(free.predict_raw(rising)) < 0)
    # The grid is one that catches unconstrained models, and the constrained one still fits.
    assert broken > 0
    assert np.mean((b.predict_raw(X) - y) ** 2) < 0.5 * np.var(y)


def test_the_axis_cut_applied_is_the_cut_scored():
    # x = 0 and x = 1 share a bin below the cut to 1.1: the stored threshold lies between 1
    # and 1.1, so the rows at 1 go left as scored and all three values are fitted. A
    # threshold between the bins' mean values (0.595) would send them right in every round.
    x = np.r_[np.zeros(100), np.ones(10), np.full(100, 1.1)]
    y = np.where(x <= 1.0, 1.0, -1.0)
    for max_bins in (3, 4):
        b = Booster(n_estimators=100, learning_rate=0.3, max_depth=1, max_bins=max_bins,
                    objective=1, split_mode=1, min_samples=2)
        b.fit(x[:, None], y)
        np.testing.assert_allclose(b.predict_raw(np.array([[0.0], [1.0], [1.1]])).ravel(),
                                   [1.0, 1.0, -1.0], atol=1e-3)
    # With two bins the only cut parts 0 from 1 and 1.1 (the cut point is their median, 1):
    # no axis tree can part 1 from 1.1, and the two share their mean target.
    b = Booster(n_estimators=100, learning_rate=0.3, max_depth=1, max_bins=2, objective=1,
                split_mode=1, min_samples=2)
    b.fit(x[:, None], y)
    np.testing.assert_allclose(b.predict_raw(np.array([[0.0], [1.0], [1.1]])).ravel(),
                               [1.0, -90 / 110, -90 / 110], atol=1e-3)


def test_lineage_builder_trains_single_output_models():
    X, y = planted_binary(n=2000, seed=15)
    b = Booster(max_lineage=2, n_estimators=10)
    b.fit(X, y)
    assert b.n_trees() == 10
    assert logloss(b.predict_proba(X)[:, 1], y) < logloss(np.full(len(y), y.mean()), y)
    np.testing.assert_array_equal(b.interaction_importances(), 0.0)


@pytest.mark.parametrize("mode", [0, 1])
def test_leaves_hold_the_rows_that_prediction_routes_to_them(mode):
    # One regression tree with unit step and no shrinkage: each leaf's value is the mean
    # target of the training rows the builder placed in it, and prediction must route
    # exactly those rows there. Infinities, NaN, ties and values equal to cut points
    # make the partition's shortcuts through the bin codes earn their keep.
    rng = np.random.default_rng(11)
    n = 30000
    X = rng.normal(size=(n, 6))
    X[:, 1] = np.round(X[:, 1], 1)  # many ties
    X[rng.random(n) < 0.03, 2] = np.inf
    X[rng.random(n) < 0.03, 2] = -np.inf
    X[rng.random(n) < 0.05, 3] = np.nan
    X[:, 4] = rng.integers(0, 9, n)
    y = X[:, 0] + np.where(np.isfinite(X[:, 2]), X[:, 2], np.sign(X[:, 2]) * 3) + X[:, 1] * 2
    y = y + np.nan_to_num(X[:, 3], nan=-2.0) + X[:, 4] * 0.3 + rng.normal(size=n) * 0.1
    b = Booster(
        objective=1, n_estimators=1, learning_rate=1.0, reg_lambda=0.0, max_depth=7,
        min_samples=2, split_mode=mode, categorical=[0, 0, 0, 0, 1, 0],
    )
    b.fit(X, y)
    pred = b.predict_raw(X).ravel()
    leaves, leaf_of_row = np.unique(pred, return_inverse=True)
    assert len(leaves) > 40
    means = np.bincount(leaf_of_row, weights=y) / np.bincount(leaf_of_row)
    np.testing.assert_allclose(leaves, means, rtol=0, atol=1e-9)
