"""Writes the golden models: small models made by Booster.fit, with the answers they give.

For every model NAME this writes two files into tests/data/golden/:
- NAME.model: the bytes that Booster.serialize returned;
- NAME.npz: the input matrix X and what the model answered for it (predict_raw,
  predict_proba, explain, the three importances) plus the tree count n_trees.

tests/python/test_golden_models.py loads every one of them on every test run and demands
the same answers bit for bit. They pin the byte format and what a stored model means: any
later change to the reader, the writer, routing, prediction, explanation or importances
must keep the committed files loading and answering identically.

Run this only on purpose, when a model must be added:
    .venv/bin/python tests/data/make_golden.py --overwrite
Changing a committed file is a break of compatibility with every model saved before, not a
way to make a failing golden test pass. Training changes alter what this script would write,
but never what the committed files must do: when training or the byte format changes on
purpose, move the committed files to a new generation golden/legacy/vN/ (described in
LEGACY_GENERATIONS; every generation keeps being checked) and then regenerate.
"""

import argparse
import pathlib
import sys

import numpy as np
from vorlent_core import Booster

HERE = pathlib.Path(__file__).resolve().parent
GOLDEN = HERE / "golden"
# Golden files written by earlier versions, kept when the models that training makes or
# the bytes that store them changed on purpose: they prove that the bytes saved back then
# still load and answer as they did. One folder per generation, oldest first; this script
# never writes there.
LEGACY = GOLDEN / "legacy"
LEGACY_GENERATIONS = {
    "v1": "trained before thresholds were placed between the bin values on either side",
    "v2": "stored with the dense n_features x n_features interaction table, before the "
    "interaction gains moved to the sparse trailing block",
}
sys.path.insert(0, str(HERE.parent / "python"))

from model_craft import unpack

N_TRAIN = 400
N_COLUMNS = 5


def training_data(seed: int, nan_share: float):
    """Five numeric columns with missing values and a signal with a pair interaction."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(N_TRAIN, N_COLUMNS))
    signal = 1.5 * X[:, 0] - X[:, 1] + X[:, 2] * X[:, 3] + 0.5 * (X[:, 4] > 0.3)
    X[rng.random(X.shape) < nan_share] = np.nan
    return X, signal, rng


def categorical_data(seed: int):
    """Column 0 holds category codes 0..5 whose effect on the target depends on column 1."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(N_TRAIN, 4))
    X[:, 0] = rng.integers(0, 6, size=N_TRAIN)
    offsets = np.array([-1.5, 0.5, 1.0, -0.5, 2.0, 0.0])
    signal = offsets[X[:, 0].astype(int)] + X[:, 1] + 0.5 * X[:, 2]
    X[rng.random(X.shape) < 0.05] = np.nan
    return X, signal, rng


def probe_rows(X_train: np.ndarray, rng, categorical_column: int | None = None) -> np.ndarray:
    """The fixed input: training-like rows, rows with missing values, far-out values and,
    for the categorical model, codes that are negative, fractional or never seen."""
    width = X_train.shape[1]
    rows = rng.normal(size=(16, width))
    rows[0, :] = np.nan
    rows[1, 0] = np.nan
    rows[2, -1] = np.nan
    rows[3, :] = 1e6
    rows[4, :] = -1e6
    rows[5, :] = 0.0
    rows[6, 1] = np.inf
    rows[7, 2] = -np.inf
    if categorical_column is not None:
        codes = [0, 1, 2, 3, 4, 5, -1, 6, 7, 2.9, -0.5, 5.5, 1e12, 0, 3, 4]
        rows[:, categorical_column] = codes
        rows[0, categorical_column] = np.nan
    return rows


def fit(params: dict, X, y) -> Booster:
    b = Booster(n_estimators=8, max_depth=3, min_samples=5, **params)
    b.fit(X, y)
    return b


def binary_nan():
    X, signal, rng = training_data(1, 0.1)
    return fit({}, X, (signal > 0).astype(float)), probe_rows(X, rng)


def multiclass():
    X, signal, rng = training_data(2, 0.05)
    y = np.digitize(signal, [-1.0, 1.0]).astype(float)
    return fit({"objective": 2}, X, y), probe_rows(X, rng)


def regression_huber():
    X, signal, rng = training_data(3, 0.1)
    y = signal + rng.standard_t(2, size=N_TRAIN)
    return fit({"objective": 1, "loss": 1, "alpha": 0.8}, X, y), probe_rows(X, rng)


def regression_clip():
    """Full steps on a bounded target overshoot its range, so some scores are clipped."""
    X, signal, rng = training_data(7, 0.1)
    b = fit({"objective": 1, "clip": 1, "learning_rate": 1.0}, X, np.clip(signal, -1.0, 1.0))
    rows = probe_rows(X, rng)
    if not np.any(np.abs(b.predict_raw(rows)) == 1.0):
        sys.exit("regression_clip: no probe row reaches the clip bounds")
    return b, rows


def regression_quantile():
    X, signal, rng = training_data(4, 0.1)
    y = signal + rng.normal(size=N_TRAIN)
    return fit({"objective": 1, "loss": 2, "alpha": 0.7}, X, y), probe_rows(X, rng)


def lineage():
    X, signal, rng = training_data(5, 0.05)
    return fit({"objective": 1, "max_lineage": 2}, X, signal), probe_rows(X, rng)


def categorical_pairs():
    X, signal, rng = categorical_data(6)
    b = fit({"objective": 1, "categorical": [1, 0, 0, 0]}, X, signal)
    return b, probe_rows(X, rng, categorical_column=0)


MODELS = {
    "binary_nan": binary_nan,
    "multiclass": multiclass,
    "regression_huber": regression_huber,
    "regression_clip": regression_clip,
    "regression_quantile": regression_quantile,
    "lineage": lineage,
    "categorical_pairs": categorical_pairs,
}


def split_kinds(data: bytes) -> set[int]:
    """The kinds of the histogram builder's splits (projection splits count as -1)."""
    return {
        (-1 if node.projection >= 0 else node.kind)
        for tree in unpack(data).trees
        for node in tree
        if not node.is_leaf
    }


# What each model must contain to be worth keeping.
REQUIRED_KINDS = {
    "categorical_pairs": {3},
    "lineage": {-1},
    "binary_nan": {2},
}


def answers(b: Booster, X: np.ndarray) -> dict[str, np.ndarray]:
    return {
        "X": X,
        "raw": b.predict_raw(X),
        "proba": b.predict_proba(X),
        "explain": b.explain(X),
        "feature_importances": b.feature_importances(),
        "coefficient_importances": b.coefficient_importances(),
        "interaction_importances": b.interaction_importances(),
        "n_trees": np.array(b.n_trees(), dtype=np.int64),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--overwrite", action="store_true", help="replace existing files")
    parser.add_argument("names", nargs="*", help="models to write (default: all)")
    args = parser.parse_args()
    GOLDEN.mkdir(exist_ok=True)
    for name in args.names or MODELS:
        model_path, answers_path = GOLDEN / f"{name}.model", GOLDEN / f"{name}.npz"
        if not args.overwrite and (model_path.exists() or answers_path.exists()):
            sys.exit(f"{model_path} exists; golden files are replaced only with --overwrite")
        booster, X = MODELS[name]()
        data = booster.serialize()
        missing = REQUIRED_KINDS.get(name, set()) - split_kinds(data)
        if missing:
            sys.exit(f"{name}: the trained model has no split of kind {sorted(missing)}")
        model_path.write_bytes(data)
        np.savez(answers_path, **answers(booster, X))
        print(f"{name}: {booster.n_trees()} trees, {len(data)} bytes")


if __name__ == "__main__":
    main()
