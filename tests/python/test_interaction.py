"""Shapley interaction values through the module and the estimators: consistency with the
Shapley values and raw scores, the shap package's values on axis models, refusals."""

import numpy as np
import pytest
from test_shapley import shap_explainer, trained
from vorlent import VorlentClassifier, load_model


@pytest.mark.parametrize("kind", ["axis", "multiclass"])
def test_rows_sum_to_shapley_values_and_matrices_to_raw_scores(kind):
    extra = {"split_mode": 1} if kind == "multiclass" else {}
    b, _, X = trained(kind, n=1500, **extra)
    X = X[:300]
    got = b.interaction_values(X)
    phi = b.shap_values(X)
    width = X.shape[1] + 1
    assert got.shape == phi.shape + (width,)
    np.testing.assert_array_equal(got, np.swapaxes(got, -1, -2))
    np.testing.assert_allclose(got.sum(axis=-1), phi, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(got.sum(axis=(-2, -1)), b.predict_raw(X), rtol=1e-9, atol=1e-12)
    # Only the corner of the last row and column is set: the expected value.
    np.testing.assert_array_equal(got[..., -1, :-1], 0.0)
    np.testing.assert_array_equal(got[..., -1, -1], phi[..., -1])
    # The leading trees explain the truncated score.
    some = b.interaction_values(X, n_trees=4)
    np.testing.assert_allclose(some.sum(axis=(-2, -1)), b.predict_raw(X, n_trees=4), rtol=1e-9)


def test_axis_models_give_the_shap_packages_interaction_values():
    shap = pytest.importorskip("shap")
    b, X_train, X = trained("axis", n=1500, max_depth=5)
    X = X[:60]
    theirs = shap_explainer(shap, b, X_train).shap_interaction_values(X)
    ours = b.interaction_values(X, background=X_train)
    assert np.isnan(X).any()
    assert np.abs(ours[:, :-1, :-1] - np.diagonal(ours, axis1=1, axis2=2)[:, :-1, None]).max() > 0
    np.testing.assert_allclose(ours[:, :-1, :-1], theirs, rtol=1e-7, atol=1e-10)


def test_models_with_pair_or_projection_splits_are_refused():
    for kind in ("oblique", "lineage"):
        b, _, X = trained(kind, n=1500)
        with pytest.raises(ValueError, match="interaction_values supports single-feature splits"):
            b.interaction_values(X[:5])


def test_bad_arguments_raise_value_errors_naming_them():
    b, X_train, X = trained("axis", n=1500)
    with pytest.raises(ValueError, match="background"):
        b.interaction_values(X, background=X_train[:0])
    with pytest.raises(ValueError, match="X"):
        b.interaction_values(X[:, :3])
    with pytest.raises(ValueError, match="n_trees"):
        b.interaction_values(X, n_trees=-1)


def test_estimators_take_frames_and_explain_loaded_models_with_background(tmp_path):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(4)
    X = rng.normal(size=(800, 4))
    X[rng.random(X.shape) < 0.05] = np.nan
    y = np.digitize(np.nan_to_num(X[:, 0] * X[:, 1] + X[:, 2]), [-0.5, 0.5])
    frame = pd.DataFrame(X, columns=["a", "b", "c", "d"])
    model = VorlentClassifier(n_estimators=8, split_mode="axis", random_state=0).fit(frame, y)
    got = model.interaction_values(frame[:50])
    assert got.shape == (50, 3, 5, 5)
    np.testing.assert_array_equal(got, model.interaction_values(X[:50]))
    np.testing.assert_allclose(got.sum(axis=(-2, -1)), model.predict_raw(X[:50]), rtol=1e-9)
    first = model.interaction_values(X[:50], iteration_range=(0, 3))
    np.testing.assert_allclose(
        first.sum(axis=-1), model.shap_values(X[:50], iteration_range=(0, 3)), rtol=1e-9
    )
    model.save_model(tmp_path / "m.vrl")
    loaded = load_model(tmp_path / "m.vrl")
    with pytest.raises(ValueError, match=r"interaction_values\(X, background=X_train\)"):
        loaded.interaction_values(X[:5])
    np.testing.assert_allclose(
        loaded.interaction_values(X[:20], background=X).sum(axis=-1),
        loaded.shap_values(X[:20], background=X),
        rtol=1e-9,
    )
