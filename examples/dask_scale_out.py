"""Predict, explain and target-encode a table that Dask holds in partitions, with a model
fitted in memory on a sample of it, on a LocalCluster of worker processes.

    python examples/dask_scale_out.py [ROWS] [PARTITIONS]

Needs ``pip install "vorlent[dask]"``. Every lazy result is checked against the estimator's
own method (or vorlent_core's function) on the whole table: the numbers are the same, bit
for bit. On a real cluster, replace the LocalCluster by ``Client("scheduler-address")`` and
``dd.from_pandas`` by ``dd.read_parquet``.
"""

from __future__ import annotations

import sys
import time

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import vorlent
import vorlent.dask
import vorlent_core as vc
from distributed import Client, LocalCluster


def make_table(n: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    table = pd.DataFrame(
        {
            "distance": rng.uniform(100, 2500, n),
            "hour": rng.integers(5, 23, n).astype(float),
            "carrier": rng.choice(["AA", "B6", "UA", "DL", "WN"], n),
            "origin": pd.Categorical(rng.choice(["EWR", "JFK", "LGA"], n)),
        }
    )
    table.loc[rng.random(n) < 0.05, "hour"] = np.nan
    score = (table["hour"].fillna(12) - 14) / 3 + (table["carrier"] == "B6") - 0.5
    table["delay"] = 10 * score + rng.normal(size=n)
    return table


def main(rows: int, partitions: int) -> None:
    table = make_table(rows)
    features = table.drop(columns="delay")
    sample = table.sample(min(rows, 20_000), random_state=0)
    model = vorlent.VorlentRegressor(n_estimators=100, random_state=0)
    model.fit(sample.drop(columns="delay"), sample["delay"])

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        frame = dd.from_pandas(table, npartitions=partitions)
        X = frame.drop(columns="delay")
        started = time.perf_counter()
        prediction = vorlent.dask.predict(model, X)
        contributions = vorlent.dask.explain(model, X)
        folds = vorlent.dask.make_folds(frame["delay"], 5, 42, False)
        codes = frame["origin"].cat.codes
        enc, full_map, gmean = vorlent.dask.te_fit_transform(codes, frame["delay"], folds, 3, 5)
        prediction, contributions, folds, enc, full_map, gmean = dask.compute(
            prediction, contributions, folds, enc, full_map, gmean
        )
        elapsed = time.perf_counter() - started
        loads = client.run(vorlent.dask.load_counts)

    assert (prediction.to_numpy() == model.predict(features)).all()
    assert (contributions.to_numpy() == model.explain(features).to_numpy()).all()
    local_folds = vc.make_folds(np.zeros(rows), 5, 42, False)
    assert (folds.to_numpy() == local_folds).all()
    local = vc.te_fit_transform(
        table["origin"].cat.codes.to_numpy(), table["delay"].to_numpy(), local_folds, 3, 5
    )
    assert (enc.to_numpy() == local[0]).all() and (full_map == local[1]).all()
    assert gmean == local[2]
    print(
        f"{rows} rows in {partitions} partitions: predicted, explained and encoded in "
        f"{elapsed:.2f} s, equal to the local results"
    )
    print("model unpickled per worker:", {w: sum(c.values()) for w, c in loads.items()})


if __name__ == "__main__":  # the workers are processes that re-import this module
    main(
        int(sys.argv[1]) if len(sys.argv) > 1 else 200_000,
        int(sys.argv[2]) if len(sys.argv) > 2 else 8,
    )
