"""Importances and explanations through the module surface."""

import numpy as np
import pytest
import vorlent_core
from vorlent_core import Booster

IMPORTANCES = ("feature_importances", "coefficient_importances", "interaction_importances")


def test_fresh_booster_has_empty_importances():
    b = Booster()
    for name, shape in zip(IMPORTANCES, [(0,), (0,), (0, 0)]):
        got = getattr(b, name)()
        assert got.dtype == np.float64
        assert got.shape == shape


@pytest.mark.parametrize("name", IMPORTANCES)
def test_importances_take_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(Booster(), name)(1)


@pytest.mark.parametrize("shape", [(5, 3), (0, 4), (3, 0), (0, 0)])
def test_fresh_booster_explains_to_zeros(shape):
    got = Booster().explain(np.ones(shape))
    assert got.dtype == np.float64
    assert got.shape == shape
    np.testing.assert_array_equal(got, np.zeros(shape))


def test_explain_converts_inputs():
    # The conversion itself is shared with prediction; one non-float64 Fortran array suffices.
    X = np.asfortranarray(np.zeros((4, 3), dtype=np.float32))
    assert Booster().explain(X).shape == (4, 3)


def test_explain_is_positional_only():
    with pytest.raises(TypeError):
        Booster().explain(X=np.zeros((2, 2)))


@pytest.mark.parametrize("X", [np.zeros(3), np.zeros((2, 2, 2)), 1.0, None])
def test_explain_needs_a_matrix(X):
    with pytest.raises(ValueError, match="X must be a two-dimensional array"):
        Booster().explain(X)


# ---------------------------------------------------------------------------------------
# Trained models. These run once Booster.fit is available.
# ---------------------------------------------------------------------------------------

needs_fit = pytest.mark.skipif(
    not hasattr(vorlent_core.Booster, "fit"), reason="Booster.fit is not available yet"
)


def planted_data(rng, rows=600, cols=5):
    X = rng.normal(size=(rows, cols))
    # A pair direction, a threshold and an interaction, with a little noise.
    y = 2.0 * X[:, 0] - X[:, 1] + (X[:, 2] > 0.3) + X[:, 3] * X[:, 0] + 0.1 * rng.normal(size=rows)
    return X, y


def fitted(rng, **params):
    X, y = planted_data(rng)
    b = Booster(n_estimators=25, max_depth=3, objective=1, **params)
    b.fit(X, y)
    return b, X, y


def assert_normalised(values):
    assert np.all(np.isfinite(values))
    total = values.sum()
    if np.any(values != 0.0):
        assert total == pytest.approx(1.0, abs=1e-12)


@needs_fit
@pytest.mark.parametrize("split_mode", [1, 0])
def test_contributions_add_up_to_the_raw_score(rng, split_mode):
    b, X, _ = fitted(rng, split_mode=split_mode)
    contrib = b.explain(X)
    assert contrib.shape == X.shape
    # Without missing values every tree that splits credits its path, so the sum misses
    # the same constant in every row: the start score and the single-leaf trees.
    gap = contrib.sum(axis=1) - b.predict_raw(X)
    np.testing.assert_allclose(gap, np.full(len(X), gap[0]), rtol=0, atol=1e-9)
    assert np.any(contrib != 0.0)


@needs_fit
@pytest.mark.parametrize("split_mode", [1, 0])
def test_importances_are_normalised(rng, split_mode):
    b, X, _ = fitted(rng, split_mode=split_mode)
    n = X.shape[1]
    feature = b.feature_importances()
    coefficient = b.coefficient_importances()
    interaction = b.interaction_importances()
    assert feature.shape == (n,)
    assert coefficient.shape == (n,)
    assert interaction.shape == (n, n)
    for values in (feature, coefficient, interaction):
        assert_normalised(values)
    assert feature.sum() == pytest.approx(1.0)
    assert np.all(feature >= 0.0)


@needs_fit
def test_axis_only_models_have_equal_importances_and_no_interaction(rng):
    b, _, _ = fitted(rng, split_mode=1)
    np.testing.assert_array_equal(b.feature_importances(), b.coefficient_importances())
    np.testing.assert_array_equal(b.interaction_importances(), np.zeros((5, 5)))


@needs_fit
def test_lineage_models_explain_to_zeros(rng):
    b, X, _ = fitted(rng, max_lineage=2)
    np.testing.assert_array_equal(b.explain(X), np.zeros(X.shape))
    np.testing.assert_array_equal(b.feature_importances(), b.coefficient_importances())
    np.testing.assert_array_equal(b.interaction_importances(), np.zeros((5, 5)))


@needs_fit
def test_multiclass_models_explain_to_zeros(rng):
    X, _ = planted_data(rng)
    y = (X[:, 0] > 0).astype(float) + (X[:, 1] > 0.5)
    b = Booster(n_estimators=5, max_depth=3, objective=2)
    b.fit(X, y)
    np.testing.assert_array_equal(b.explain(X), np.zeros(X.shape))


@needs_fit
def test_explain_rejects_a_matrix_narrower_than_the_model(rng):
    b, X, _ = fitted(rng, split_mode=1)
    with pytest.raises(ValueError, match="X has"):
        b.explain(X[:, :1])
    # Extra columns are allowed and credited nothing.
    wide = np.hstack([X, np.ones((len(X), 2))])
    contrib = b.explain(wide)
    np.testing.assert_array_equal(contrib[:, :5], b.explain(X))
    np.testing.assert_array_equal(contrib[:, 5:], 0.0)


@needs_fit
def test_missing_values_are_explained(rng):
    b, X, _ = fitted(rng, split_mode=0)
    X = X.copy()
    X[::3, 0] = np.nan
    contrib = b.explain(X)
    assert np.all(np.isfinite(contrib))
    np.testing.assert_array_equal(contrib[::3, 0], 0.0)


def test_a_wide_model_saves_its_pairs_and_answers_as_the_dense_table(tmp_path):
    from model_craft import unpack
    from vorlent import VorlentClassifier, load_model

    n = 3000
    rng = np.random.default_rng(4)
    X = rng.normal(size=(400, n))
    y = (X[:, 10] * X[:, 2500] + X[:, 7] - X[:, 1234] > 0) * 1.0
    model = VorlentClassifier(n_estimators=4, max_depth=2).fit(X, y)
    path = tmp_path / "wide.vrl"
    model.save_model(path)
    # The file grows with the columns (16 bytes of gains each) and the pairs, where the
    # square table alone took 8 * n^2 = 72 MB.
    assert path.stat().st_size < 64 * n
    booster = load_model(path).booster_
    pairs, shares = booster.interaction_pairs()
    assert len(pairs) >= 2 and shares.sum() == pytest.approx(1.0)
    # The same model stored with the dense table, as earlier versions wrote it.
    dense = Booster()
    dense.deserialize(unpack(booster.serialize()).dense().pack())
    expected = dense.interaction_importances()
    assert np.array_equal(booster.interaction_importances(), expected)
    np.testing.assert_array_equal(shares, expected[pairs[:, 0], pairs[:, 1]])
    assert np.count_nonzero(expected) == len(pairs)
