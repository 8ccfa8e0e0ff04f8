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
