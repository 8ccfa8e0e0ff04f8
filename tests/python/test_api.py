"""The module surface: names, constructor conversions, prediction shapes and conversions."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest
import vorlent_core as vc
from vorlent_core import Booster


def test_module_has_only_the_public_names():
    public = {n for n in dir(vc) if not n.startswith("_")}
    assert public <= {
        "make_folds",
        "te_fit_transform",
        "te_transform",
        "Booster",
        "Shard",
        "fit_shards",
    }
    assert "Booster" in public


def test_new_booster_is_untrained():
    b = Booster()
    assert b.n_trees() == 0
    assert b.best_iteration() == -1
    X = np.zeros((3, 2))
    np.testing.assert_array_equal(b.predict_raw(X), np.zeros(3))
    np.testing.assert_array_equal(b.predict_proba(X), np.full((3, 2), 0.5))


def test_constructor_positional_and_keyword_agree():
    Booster(100, 0.05)
    Booster(monotone=[1, 0], categorical=[0, 1])
    Booster(60, 0.12, 4, 64, 1.0, 10, 1.0, 1.0, 42, 0, 0, 0.9, 0, [1, 0], [0, 1], 0, 0)
    Booster(seed=2**32 - 1)
    Booster(max_depth=np.int64(3))  # an integer index is accepted
    Booster(learning_rate=1)  # an int is a valid float


@pytest.mark.parametrize(
    "kwargs",
    [
        {"seed": -1},
        {"seed": 2**32},
        {"max_depth": 4.0},
        {"n_estimators": 2**31},
        {"monotone": "10"},
        {"categorical": "1"},
        {"monotone": [1.5]},
        {"split_mode": None},
    ],
)
def test_constructor_rejects_unconvertible_arguments(kwargs):
    with pytest.raises(TypeError):
        Booster(**kwargs)


def test_prediction_methods_are_positional_only():
    b = Booster()
    with pytest.raises(TypeError):
        b.predict_raw(X=np.zeros((1, 1)))
    with pytest.raises(TypeError):
        b.predict_proba(X=np.zeros((1, 1)))


@pytest.mark.parametrize(
    "X",
    [
        np.zeros((4, 3), dtype=np.float32),
        np.zeros((4, 3), dtype=np.int64),
        [[0.0, 0.0, 0.0]] * 4,
        np.asfortranarray(np.zeros((4, 3))),
        np.zeros((4, 6))[:, ::2],
    ],
)
def test_prediction_converts_inputs(X):
    assert Booster().predict_raw(X).shape == (4,)
    assert Booster().predict_proba(X).shape == (4, 2)


def test_prediction_shapes_of_empty_inputs():
    b = Booster()
    assert b.predict_raw(np.zeros((0, 3))).shape == (0,)
    assert b.predict_proba(np.zeros((0, 3))).shape == (0, 2)
    assert b.predict_raw(np.zeros((5, 0))).shape == (5,)


@pytest.mark.parametrize("X", [np.zeros(3), np.zeros((2, 2, 2)), 1.0, None])
def test_prediction_needs_a_matrix(X):
    with pytest.raises(ValueError, match="X must be a two-dimensional array"):
        Booster().predict_raw(X)
    with pytest.raises(ValueError, match="X"):
        Booster().predict_proba(X)


def test_import_under_another_python_fails_with_the_version_message():
    module_path = pathlib.Path(vc.__file__)
    candidates = sorted(pathlib.Path.home().glob(".pyenv/versions/3.13*/bin/python3.13"))
    if not candidates:
        pytest.skip("CPython 3.13 is not installed")
    code = (
        "import importlib.machinery, importlib.util, os, sys\n"
        # Lazy binding: symbols that 3.13 no longer exports are never called, because the
        # version check runs first.
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"loader = importlib.machinery.ExtensionFileLoader('vorlent_core', {str(module_path)!r})\n"
        "module_def = importlib.util.spec_from_loader('vorlent_core', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(module_def)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    sys.exit(0)\n"
        "sys.exit(1)\n"
    )
    done = subprocess.run([str(candidates[-1]), "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    version = subprocess.run(
        [str(candidates[-1]), "-c", "import sys; print(sys.version)"],
        capture_output=True,
        text=True,
    ).stdout.strip()
    assert done.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_running_interpreter_is_312():
    assert sys.version_info[:2] == (3, 12)


def _reference_gradients(objective, loss, alpha, y, raw):
    """The derivatives of each loss by the raw score, written out from their definitions."""
    if objective == 0:
        p = 1 / (1 + np.exp(-raw))
        return p - y, p * (1 - p)
    if objective == 2:
        p = np.exp(raw - raw.max(axis=1, keepdims=True))
        p /= p.sum(axis=1, keepdims=True)
        return p - np.eye(raw.shape[1])[y.astype(int)], p * (1 - p)
    residual = raw - y
    if loss == 1:  # Huber: the threshold is the alpha-quantile (lower) of |residual|
        delta = np.sort(np.abs(residual))[int(np.floor((len(y) - 1) * alpha))]
        return np.clip(residual, -delta, delta), np.ones_like(y)
    if loss == 2:  # quantile (pinball) loss
        return np.where(y > raw, -alpha, 1 - alpha), np.ones_like(y)
    return residual, np.ones_like(y)


@pytest.mark.parametrize(
    ("objective", "loss", "trained"),
    [(0, 0, False), (2, 0, False), (2, 0, True), (1, 0, False), (1, 1, False), (1, 2, True)],
)
def test_gradients_are_the_derivatives_of_the_objective(objective, loss, trained):
    rng = np.random.default_rng(objective * 3 + loss)
    n, k = 9001, 3  # above the row counts from which the core computes in parallel
    booster = Booster(objective=objective, loss=loss, alpha=0.7, n_estimators=2)
    y = {0: rng.integers(0, 2, n), 2: rng.integers(0, k, n)}.get(objective, rng.normal(size=n))
    y = y.astype(np.float64)
    if trained:
        booster.fit(rng.normal(size=(200, 2)), y[:200])
    raw = rng.normal(size=(n, k) if objective == 2 else n) * 3
    want_grad, want_hess = _reference_gradients(objective, loss, 0.7, y, raw)
    weight = rng.uniform(0, 2, n)
    for w, factor in ((None, 1.0), (weight, weight[:, None] if objective == 2 else weight)):
        grad, hess = booster.gradients(y, raw, weight=w)
        assert grad.shape == hess.shape == raw.shape
        np.testing.assert_allclose(grad, want_grad * factor, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(hess, want_hess * factor, rtol=1e-12, atol=1e-14)


def test_gradients_refuse_shapes_that_do_not_fit_the_objective():
    binary, multi = Booster(), Booster(objective=2)
    y, raw = np.zeros(4), np.zeros(4)
    refused = [
        (binary, y, np.zeros((4, 2)), None, "raw must be one-dimensional"),
        (binary, y, np.zeros(5), None, "raw has 5 rows but y has 4"),
        (binary, np.zeros((4, 1)), raw, None, "y must be a one-dimensional array"),
        (binary, y, raw, np.ones(3), "weight has 3 entries but y has 4"),
        (binary, y, raw, np.ones((4, 1)), "weight must be a one-dimensional array"),
        (multi, y, raw, None, "raw must be two-dimensional"),
        (multi, y, np.zeros((4, 1)), None, "raw has 1 columns, but a multiclass"),
        (multi, np.array([0, 1, 3, 0.0]), np.zeros((4, 3)), None, "class codes from 0 to 2"),
        (multi, np.array([0, 1, 0.5, 0]), np.zeros((4, 3)), None, "row 2 is 0.5"),
    ]
    for booster, y_, raw_, w, message in refused:
        with pytest.raises(ValueError, match=message):
            booster.gradients(y_, raw_, weight=w)
    trained = Booster(objective=2, n_estimators=1)
    trained.fit(np.random.default_rng(0).normal(size=(60, 2)), np.arange(60.0) % 3)
    with pytest.raises(ValueError, match="the model scores 3 classes"):
        trained.gradients(np.zeros(4), np.zeros((4, 4)))
