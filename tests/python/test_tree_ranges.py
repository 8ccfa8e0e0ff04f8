"""Predictions, explanations and Shapley values of the leading trees: ``n_trees`` on the core,
``iteration_range`` on the estimators. A model asked for its first k trees must answer exactly
as a model trained for k rounds with the same seed does."""

import numpy as np
import pytest
import vorlent
from helpers import mixed_data
from vorlent_core import Booster

ROUNDS = 9
# Every objective and loss, with both tree builders where the builder applies.
MODELS = {
    "binary": {},
    "binary-axis": {"split_mode": 1},
    "binary-lineage": {"max_lineage": 2},
    "squared": {"objective": 1},
    "squared-lineage": {"objective": 1, "max_lineage": 2},
    "huber": {"objective": 1, "loss": 1},
    "quantile": {"objective": 1, "loss": 2, "alpha": 0.7},
    "clipped": {"objective": 1, "clip": 1},
    "multiclass": {"objective": 2, "categorical": [0] * 6 + [1]},
}


def data_for(params, n=1500):
    X, signal, _ = mixed_data(n=n + 300, seed=4)
    objective = params.get("objective", 0)
    if objective == 0:
        y = (signal > 0).astype(float)
    elif objective == 2:
        y = np.digitize(signal, [-0.5, 0.5]).astype(float)
    else:
        y = signal + 0.1 * np.sin(7 * np.nan_to_num(X[:, 0]))
    return X[:n], y[:n], X[n:]


def fitted(params, rounds, X, y):
    b = Booster(n_estimators=rounds, max_depth=4, subsample=0.8, seed=5, **params)
    b.fit(X, y)
    return b


@pytest.mark.parametrize("name", MODELS)
def test_leading_trees_equal_a_model_trained_for_that_many_rounds(name):
    params = MODELS[name]
    X, y, X_new = data_for(params)
    full = fitted(params, ROUNDS, X, y)
    assert full.n_trees() == ROUNDS
    np.testing.assert_array_equal(full.predict_raw(X_new, n_trees=None), full.predict_raw(X_new))
    np.testing.assert_array_equal(full.predict_raw(X_new, n_trees=ROUNDS), full.predict_raw(X_new))
    for k in (1, 4, ROUNDS - 1):
        short = fitted(params, k, X, y)
        # Bit for bit: the same trees summed in the same order.
        np.testing.assert_array_equal(full.predict_raw(X_new, n_trees=k), short.predict_raw(X_new))
        np.testing.assert_array_equal(
            full.predict_proba(X_new, n_trees=k), short.predict_proba(X_new)
        )
        np.testing.assert_array_equal(full.explain(X_new, n_trees=k), short.explain(X_new))
        np.testing.assert_array_equal(full.shap_values(X_new, n_trees=k), short.shap_values(X_new))
        assert not np.array_equal(full.predict_raw(X_new, n_trees=k), full.predict_raw(X_new))


@pytest.mark.parametrize("name", ["binary", "binary-lineage", "huber", "multiclass"])
def test_shapley_values_of_leading_trees_sum_to_their_raw_score(name):
    params = MODELS[name]
    X, y, X_new = data_for(params)
    b = fitted(params, ROUNDS, X, y)
    for k in (0, 2, 5, ROUNDS):
        phi = b.shap_values(X_new, n_trees=k)
        raw = b.predict_raw(X_new, n_trees=k)
        np.testing.assert_allclose(phi.sum(axis=-1), raw, rtol=1e-9, atol=1e-12)
    # No tree: every row scores the start score, which is the expected value, and no
    # feature earns anything.
    phi = b.shap_values(X_new, n_trees=0)
    assert not np.any(phi[..., :-1])
    np.testing.assert_array_equal(phi[..., -1], b.predict_raw(X_new, n_trees=0))
    assert not np.any(b.explain(X_new, n_trees=0))


def test_bad_tree_counts_raise_before_anything_else():
    X, y, X_new = data_for({})
    b = fitted({}, 3, X, y)
    before = b.serialize()
    for method in ("predict_raw", "predict_proba", "explain", "shap_values"):
        call = getattr(b, method)
        for bad in (-1, 4, 2**40):
            with pytest.raises(ValueError, match=r"n_trees .*0 to 3.*got"):
                call(X_new, n_trees=bad)
            # The count is checked before X: a bad X does not hide it.
            with pytest.raises(ValueError, match="n_trees"):
                call(np.zeros(3), n_trees=bad)
        for wrong in (1.5, "2"):
            with pytest.raises(TypeError):
                call(X_new, n_trees=wrong)
    assert b.serialize() == before
    np.testing.assert_array_equal(
        Booster().predict_raw(X_new[:, :0], n_trees=0), np.zeros(len(X_new))
    )


@pytest.mark.parametrize("estimator", ["classifier", "regressor"])
def test_estimators_take_an_iteration_range(estimator):
    X, y, X_new = data_for({"objective": 2 if estimator == "classifier" else 1})
    if estimator == "classifier":
        model = vorlent.VorlentClassifier(n_estimators=6, random_state=2).fit(X, y)
        short = vorlent.VorlentClassifier(n_estimators=4, random_state=2).fit(X, y)
        methods = ["predict", "predict_proba", "predict_raw", "decision_function", "explain"]
    else:
        model = vorlent.VorlentRegressor(n_estimators=6, random_state=2).fit(X, y)
        short = vorlent.VorlentRegressor(n_estimators=4, random_state=2).fit(X, y)
        methods = ["predict", "predict_raw", "explain"]
    for method in [*methods, "shap_values"]:
        call = getattr(model, method)
        np.testing.assert_array_equal(
            call(X_new, iteration_range=(0, 4)), getattr(short, method)(X_new)
        )
        # (0, 0) and None mean every kept tree, as in XGBoost.
        np.testing.assert_array_equal(call(X_new, iteration_range=(0, 0)), call(X_new))
        np.testing.assert_array_equal(call(X_new, iteration_range=[0, 6]), call(X_new))
        with pytest.raises(ValueError, match="begin at 0"):
            call(X_new, iteration_range=(1, 3))
        with pytest.raises(ValueError, match="n_estimators_=6"):
            call(X_new, iteration_range=(0, 7))
        with pytest.raises(ValueError, match="n_estimators_=6"):
            call(X_new, iteration_range=(0, -1))
        with pytest.raises(TypeError, match="pair"):
            call(X_new, iteration_range=3)
        with pytest.raises(TypeError, match="integer"):
            call(X_new, iteration_range=(0, 2.0))
    phi = model.shap_values(X_new, iteration_range=(0, 2))
    np.testing.assert_allclose(
        phi.sum(axis=-1), model.predict_raw(X_new, iteration_range=(0, 2)), rtol=1e-9, atol=1e-12
    )


def test_iteration_range_counts_the_trees_kept_by_early_stopping():
    X, y, X_new = data_for({})
    model = vorlent.VorlentClassifier(
        n_estimators=200, early_stopping=True, n_iter_no_change=3, random_state=0
    ).fit(X, y)
    kept = model.n_estimators_
    assert kept < 200
    np.testing.assert_array_equal(
        model.predict_proba(X_new, iteration_range=(0, kept)), model.predict_proba(X_new)
    )
    with pytest.raises(ValueError, match=f"n_estimators_={kept}"):
        model.predict_proba(X_new, iteration_range=(0, kept + 1))
