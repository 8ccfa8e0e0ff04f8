"""Arguments that training cannot use are refused before the booster changes."""

import numpy as np
import pytest
from vorlent_core import Booster

from helpers import planted_binary

X, Y = planted_binary(n=300, d=4, seed=21)


@pytest.fixture
def fitted():
    b = Booster(n_estimators=5)
    b.fit(X, Y)
    return b


def snapshot(b):
    return (b.n_trees(), b.best_iteration(), b.predict_raw(X).tobytes(),
            b.feature_importances().tobytes())


BAD_FITS = [
    ({"X": X[0]}, "X must be a two-dimensional"),
    ({"X": X[:0], "y": Y[:0]}, "X has no rows"),
    ({"y": Y[:-1]}, "y has 299 entries"),
    ({"y": Y.reshape(-1, 1)}, "y must be a one-dimensional"),
    ({"y": np.where(np.arange(300) == 7, np.nan, Y)}, "y must be finite"),
    ({"y": np.where(np.arange(300) == 7, 2.0, Y)}, r"y must lie in \[0, 1\]"),
    ({"sample_weight": np.ones(299)}, "sample_weight has 299 entries"),
    ({"sample_weight": -np.ones(300)}, "sample_weight must be finite and not negative"),
    ({"sample_weight": np.full(300, np.inf)}, "sample_weight must be finite"),
    ({"X_val": X[:10, :3], "y_val": Y[:10]}, "X_val has 3 columns"),
    ({"X_val": X[:10], "y_val": Y[:9]}, "X_val has 10 rows but y_val has 9"),
    ({"X_val": X[:10, 0], "y_val": Y[:10]}, "X_val must be a two-dimensional"),
    ({"X_val": X[:2], "y_val": np.array([0.0, np.nan])}, "y_val must be finite"),
]


@pytest.mark.parametrize("change,message", BAD_FITS)
def test_bad_training_data(fitted, change, message):
    before = snapshot(fitted)
    args = {"X": X, "y": Y, **change}
    with pytest.raises(ValueError, match=message):
        fitted.fit(**args)
    assert snapshot(fitted) == before


@pytest.mark.parametrize(
    "params,message",
    [
        ({"objective": 3}, "objective must be"),
        ({"objective": 1, "loss": -1}, "loss must be"),
        ({"alpha": 1.5}, r"alpha must lie in \[0, 1\]"),
        ({"alpha": float("nan")}, "alpha"),
        ({"n_estimators": -1}, "n_estimators must not be negative"),
        ({"max_bins": 65537}, "max_bins must be at most 65536"),
        ({"monotone": [1, 0]}, "monotone has 2 entries but X has 4 columns"),
        ({"categorical": [1]}, "categorical has 1 entries"),
        ({"objective": 2, "max_lineage": 1}, "max_lineage"),
        ({"reg_lambda": -1.0}, "reg_lambda"),
        ({"subsample": float("nan")}, "subsample"),
    ],
)
def test_bad_hyper_parameters(params, message):
    b = Booster(**params)
    with pytest.raises(ValueError, match=message):
        b.fit(X, Y)
    assert b.n_trees() == 0


def test_multiclass_validation_targets_must_be_known_classes():
    y = np.arange(300) % 3.0
    b = Booster(objective=2, n_estimators=3)
    with pytest.raises(ValueError, match="outside the classes 0 to 2"):
        b.fit(X, y, X_val=X[:5], y_val=np.array([0.0, 1.0, 2.0, 3.0, 1.0]), es_patience=1)
    b.fit(X, y, X_val=X[:3], y_val=np.array([0.0, 2.0, 1.0]), es_patience=1)


def test_bad_continued_training(fitted):
    before = snapshot(fitted)
    with pytest.raises(ValueError, match="trained on 4"):
        fitted.fit_more(X[:, :3], Y, 2)
    with pytest.raises(ValueError, match="y has 299 entries"):
        fitted.fit_more(X, Y[:-1], 2)
    with pytest.raises(ValueError, match="sample_weight"):
        fitted.fit_more(X, Y, 2, sample_weight=np.ones(3))
    assert snapshot(fitted) == before


def test_optional_arrays_accept_none_and_reject_keywords_they_do_not_have(fitted):
    fitted.fit(X, Y, sample_weight=None, X_val=None, y_val=None)
    with pytest.raises(TypeError):
        fitted.fit(X, Y, weights=np.ones(300))
    with pytest.raises(TypeError):
        fitted.fit(X, Y, es_patience=1.5)
