"""Dask training of vorlent beside LightGBM's and XGBoost's Dask estimators, on the same
LocalCluster and the same rows, and beside one process fitting the same rows in memory.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_dask_peers.py \\
        --data synthetic --rows 10000000 --trees 20 [--repeat 2] [--setups 2x1,1x2,local]

Data: ``synthetic`` is bench_train.py's generator (28 columns, binary) run per chunk of
--chunk rows with the seed (7, chunk index), on the workers, so the client never holds the
training rows (10,000,000 x 28 float64 is 2.2 GB); the test rows (--test-rows) are further
chunks of the same generator. ``flights`` is the flights task of examples/flights.py
(scattered from the client, block i to worker i modulo the workers; it is small). Categorical columns are read as numbers by every
system (vorlent's Dask training takes no categorical features yet).

Every system trains --trees rounds of depth --depth (LightGBM: 2^depth leaves), 64 bins,
learning rate 0.12, L2 term 1, at least 10 rows per split (LightGBM min_child_samples;
XGBoost has no such knob), no early stopping; vorlent axis-aligned with exact_sums, through
Dask's actor calls (``vorlent``) and through its socket transport (``vorlent-socket``).

Setups: ``AxB`` is a LocalCluster of A worker processes with B threads each (OpenMP threads
too: OMP_NUM_THREADS=B in every worker, OMP_WAIT_POLICY as in this process, PASSIVE unless
set); ``local`` is one worker process fitting vorlent in memory on the concatenated rows
with the threads of that worker (2), whose model bytes must equal the Dask fits'. Every run
starts a fresh cluster, generates the rows, persists them, resets every worker's peak
resident set, fits, then reads it. Systems alternate (reversed every other repeat).

Reported per run: fit seconds, test log-loss, peak resident set per worker (and the resident
set before the fit, the rows included); for vorlent also round trips and bytes per tree, the
set-up's round trips, and where the time goes (the coordinator's waits per message kind,
the workers' time inside the shards).
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import pathlib
import sys
import time

os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "benchmarks"))

DEPTH, BINS, RATE, LAMBDA, MIN_ROWS = 4, 64, 0.12, 1.0, 10
FEATURES, SEED = 28, 7
# Messages of the rounds; the others (bins, start score) are paid once per fit.
ROUND_MESSAGES = {"begin_tree", "fix_gradients", "stats", "route", "add_tree"}


def synthetic_chunk(index: int, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Rows of bench_train.py's synthetic recipe from the generator seeded (SEED, index)."""
    import bench_train

    return bench_train.synthetic_rows(np.random.default_rng([SEED, index]), rows)


def chunk_lengths(rows: int, chunk: int) -> list[int]:
    return [min(chunk, rows - start) for start in range(0, rows, chunk)]


class Data:
    """The training rows as a recipe (chunks made where they are computed) and the test rows
    in the client."""

    def __init__(self, args):
        self.kind = args.data
        if self.kind == "synthetic":
            self.lengths = chunk_lengths(args.rows, args.chunk)
            first_test = len(self.lengths)
            parts = [
                synthetic_chunk(first_test + i, n)
                for i, n in enumerate(chunk_lengths(args.test_rows, args.chunk))
            ]
            self.X_test = np.concatenate([p[0] for p in parts])
            self.y_test = np.concatenate([p[1] for p in parts])
            self.name = f"synthetic {args.rows:,} x {FEATURES}"
        else:
            import flights

            task = flights.prepare()
            self.X, self.y = task.train.X, task.train.y
            self.X_test, self.y_test = task.test.X, task.test.y
            self.lengths = chunk_lengths(len(self.y), -(-len(self.y) // args.blocks))
            self.name = f"flights {len(self.y):,} x {self.X.shape[1]}"
        self.n_features = self.X_test.shape[1]

    def collections(self, client):
        """X and y as Dask arrays persisted on the workers."""
        import dask.array as da
        from dask import delayed
        from distributed import wait

        if self.kind == "synthetic":
            make = delayed(synthetic_chunk, pure=True, nout=2)
            parts = [make(i, n) for i, n in enumerate(self.lengths)]
            X = da.concatenate(
                [
                    da.from_delayed(p[0], shape=(n, self.n_features), dtype=np.float64)
                    for p, n in zip(parts, self.lengths, strict=True)
                ]
            )
            y = da.concatenate(
                [
                    da.from_delayed(p[1], shape=(n,), dtype=np.float64)
                    for p, n in zip(parts, self.lengths, strict=True)
                ]
            )
        else:
            # Block i goes to worker i modulo the workers, so that each does its share (the
            # scheduler may put three of four small blocks on one worker).
            workers = sorted(client.scheduler_info()["workers"])
            starts = np.cumsum([0, *self.lengths])
            xs, ys = [], []
            for i, n in enumerate(self.lengths):
                rows = slice(starts[i], starts[i + 1])
                where = [workers[i % len(workers)]]
                x_part, y_part = client.scatter([self.X[rows], self.y[rows]], workers=where)
                xs.append(da.from_delayed(x_part, shape=(n, self.n_features), dtype=np.float64))
                ys.append(da.from_delayed(y_part, shape=(n,), dtype=self.y.dtype))
            X, y = da.concatenate(xs), da.concatenate(ys)
        X, y = client.persist([X, y])
        wait([X, y])
        return X, y

    def all_rows(self):
        """The training rows in one process (for the in-memory fit)."""
        if self.kind != "synthetic":
            return self.X, self.y
        X = np.empty((sum(self.lengths), self.n_features))
        y = np.empty(sum(self.lengths))
        at = 0
        for i, n in enumerate(self.lengths):
            X[at : at + n], y[at : at + n] = synthetic_chunk(i, n)
            at += n
        return X, y


# Resident sets of a worker process: the peak since the last reset, and the present one.
def reset_peak() -> None:
    try:
        pathlib.Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass


def memory_kb() -> dict:
    status = pathlib.Path("/proc/self/status").read_text().splitlines()
    fields = dict(line.split(":", 1) for line in status if ":" in line)
    return {k: int(fields[k].split()[0]) for k in ("VmHWM", "VmRSS")}


# The workers' time inside the shards, per message, gathered by a wrapper on the actor: per
# message kind, and call by call.
def install_shard_timer() -> None:
    from vorlent.dask import _shard_actor

    actor = _shard_actor.ShardActor
    if hasattr(actor, "_timed"):
        actor._timed.clear()
        actor._calls.clear()
        return
    actor._timed = collections.Counter()
    actor._calls = []
    plain = actor.call

    def call(self, method, *args):
        started = time.perf_counter()
        try:
            return plain(self, method, *args)
        finally:
            name = args[0][-1][0] if method == "batch" else method
            seconds = time.perf_counter() - started
            actor._timed[name] += seconds
            actor._calls.append((name, seconds))

    actor.call = call


def shard_times() -> dict:
    from vorlent.dask import _shard_actor

    return dict(getattr(_shard_actor.ShardActor, "_timed", {}))


def shard_calls() -> list:
    from vorlent.dask import _shard_actor

    return list(getattr(_shard_actor.ShardActor, "_calls", []))


def log_loss(y: np.ndarray, p: np.ndarray) -> float:
    p = np.clip(p, 1e-15, 1 - 1e-15)
    return float(-np.mean(y * np.log(p) + (1 - y) * np.log(1 - p)))


def fit_vorlent(client, X, y, threads: int, transport: str = "dask"):
    """The Dask estimator's fit, with the coordinator's messages logged and timed."""
    from vorlent.dask import DaskVorlentClassifier, _estimators, _transport

    log, waits = [], collections.Counter()
    links = {"dask": _transport.DaskShards, "socket": _transport.SocketShards}
    link = links[transport]
    plain_fit, plain_call = _estimators.fit_booster, link.__call__

    def logged_fit(*a, **k):
        return plain_fit(*a, **k, log=log)

    def timed_call(self, method, *args):
        started = time.perf_counter()
        try:
            return plain_call(self, method, *args)
        finally:
            name = args[0][-1][0] if method == "batch" else method
            waits[name] += time.perf_counter() - started

    model = DaskVorlentClassifier(
        client=client,
        n_estimators=ARGS.trees,
        max_depth=ARGS.depth,
        max_bins=BINS,
        learning_rate=RATE,
        reg_lambda=LAMBDA,
        min_samples_split=MIN_ROWS,
        random_state=0,
        fit_timeout=3600.0,
        transport=transport,
    )
    client.run(install_shard_timer)
    _estimators.fit_booster, link.__call__ = logged_fit, timed_call
    try:
        seconds = timed(lambda: model.fit(X, y))
    finally:
        _estimators.fit_booster, link.__call__ = plain_fit, plain_call
    rounds = [m for m in log if m[0] in ROUND_MESSAGES]
    setup = [m for m in log if m[0] not in ROUND_MESSAGES]
    trees = max(model.n_estimators_, 1)
    workers = client.run(shard_times)

    def split(times: dict) -> tuple[float, float]:
        rounds = sum(v for k, v in times.items() if k in ROUND_MESSAGES)
        return round(sum(times.values()) - rounds, 2), round(rounds, 2)

    extra = {
        # Seconds: the coordinator waiting on the workers (set-up, rounds), everything else
        # of the fit (placing the blocks and actors, its own decisions), and per worker the
        # time inside its shards (set-up, rounds).
        "wait_setup_rounds_s": split(waits),
        "other_s": round(seconds - sum(waits.values()), 2),
        "shards_setup_rounds_s": [split(workers[w]) for w in sorted(workers)],
        "round_trips_per_tree": len(rounds) / trees,
        "kB_received_per_tree": sum(m[2] for m in rounds) / trees / 1e3,
        "kB_sent_per_tree": sum(m[1] for m in rounds) / trees / 1e3,
        "setup_round_trips": len(setup),
        "setup_MB": sum(m[1] + m[2] for m in setup) / 1e6,
        "coordinator_waits_s": {k: round(v, 2) for k, v in waits.items()},
        "shard_seconds": [{k: round(v, 2) for k, v in workers[w].items()} for w in sorted(workers)],
        "model": model.booster_.serialize(),
    }
    return seconds, model.to_local().predict_proba, extra


def fit_lightgbm(client, X, y, threads: int):
    import lightgbm as lgb

    model = lgb.DaskLGBMClassifier(
        client=client,
        n_estimators=ARGS.trees,
        learning_rate=RATE,
        num_leaves=2**ARGS.depth,
        max_depth=ARGS.depth,
        max_bin=BINS,
        reg_lambda=LAMBDA,
        min_child_samples=MIN_ROWS,
        n_jobs=threads,
        verbose=-1,
    )
    seconds = timed(lambda: model.fit(X, y))
    return seconds, model.to_local().predict_proba, {"version": lgb.__version__}


def fit_xgboost(client, X, y, threads: int):
    import xgboost as xgb
    import xgboost.dask  # noqa: F401

    model = xgb.dask.DaskXGBClassifier(
        n_estimators=ARGS.trees,
        learning_rate=RATE,
        max_depth=ARGS.depth,
        max_bin=BINS,
        reg_lambda=LAMBDA,
        tree_method="hist",
        n_jobs=threads,
    )
    model.client = client
    seconds = timed(lambda: model.fit(X, y))
    booster = model.get_booster()

    def proba(X_test):
        p = booster.inplace_predict(X_test)
        return np.column_stack([1 - p, p])

    return seconds, proba, {"version": xgb.__version__}


FITS = {
    "vorlent": fit_vorlent,
    "vorlent-socket": lambda *a: fit_vorlent(*a, transport="socket"),
    "lightgbm": fit_lightgbm,
    "xgboost": fit_xgboost,
}


def local_fit(X, y, trees: int, depth: int, threads: int):
    """vorlent's in-memory exact_sums fit in this (worker) process."""
    import vorlent

    model = vorlent.VorlentClassifier(
        n_estimators=trees,
        max_depth=depth,
        max_bins=BINS,
        learning_rate=RATE,
        reg_lambda=LAMBDA,
        min_samples_split=MIN_ROWS,
        random_state=0,
        split_mode="axis",
        exact_sums=True,
        early_stopping=False,
        n_jobs=threads,
    )
    seconds = timed(lambda: model.fit(X, y))
    return seconds, model


def local_rows_and_fit(data: Data, trees: int, depth: int, threads: int):
    X, y = data.all_rows()
    reset_peak()
    seconds, model = local_fit(X, y, trees, depth, threads)
    return seconds, model


def timed(fit) -> float:
    started = time.perf_counter()
    fit()
    return time.perf_counter() - started


def cluster(workers: int, threads: int):
    import dask
    from distributed import Client, LocalCluster

    environ = {
        "OMP_NUM_THREADS": str(threads),
        "OMP_WAIT_POLICY": os.environ["OMP_WAIT_POLICY"],
        "MKL_NUM_THREADS": "1",
        "OPENBLAS_NUM_THREADS": "1",
    }
    dask.config.set({"distributed.nanny.pre-spawn-environ": environ})
    local = LocalCluster(
        n_workers=workers,
        threads_per_worker=threads,
        processes=True,
        dashboard_address=None,
        memory_limit=0,
    )
    return local, Client(local)


def run_once(data: Data, setup: str, system: str) -> dict:
    workers, threads = (1, 2) if setup == "local" else map(int, setup.split("x"))
    local_cluster, client = cluster(workers, threads)
    try:
        if setup == "local":
            # The rows are made inside the worker, as the Dask workers make theirs.
            client.run(reset_peak)
            future = client.submit(local_rows_and_fit, data, ARGS.trees, ARGS.depth, threads)
            seconds, model = future.result()
            proba, extra = model.predict_proba, {"model": model.booster_.serialize()}
            before = {}
        else:
            X, y = data.collections(client)
            before = client.run(memory_kb)
            client.run(reset_peak)
            seconds, proba, extra = FITS[system](client, X, y, threads)
        after = client.run(memory_kb)
    finally:
        client.close()
        local_cluster.close()
    peak = [after[w]["VmHWM"] / 1e6 for w in sorted(after)]
    rss = [before[w]["VmRSS"] / 1e6 for w in sorted(before)]
    result = {
        "load": round(os.getloadavg()[0], 1),
        "data": data.name,
        "setup": setup,
        "system": system,
        "trees": ARGS.trees,
        "fit_s": seconds,
        "test_logloss": log_loss(data.y_test, proba(data.X_test)[:, 1]),
        "peak_GB_per_worker": peak,
        "rss_before_fit_GB_per_worker": rss,
        **extra,
    }
    shown = {k: v for k, v in result.items() if k != "model"}
    print(json.dumps(shown, default=str), flush=True)
    return result


ARGS = None


def main() -> int:
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=["synthetic", "flights"], default="synthetic")
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--chunk", type=int, default=1_000_000, help="rows per block")
    parser.add_argument("--blocks", type=int, default=4, help="flights: blocks of the table")
    parser.add_argument("--test-rows", type=int, default=500_000)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--depth", type=int, default=DEPTH)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--setups", default="2x1,1x2,local")
    parser.add_argument("--systems", default="vorlent,vorlent-socket,lightgbm,xgboost")
    parser.add_argument("--json", type=pathlib.Path, default=None, help="append results here")
    ARGS = parser.parse_args()
    data = Data(ARGS)
    print(
        f"{data.name}; {ARGS.trees} trees of depth {ARGS.depth}; "
        f"OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']}; load {os.getloadavg()[0]:.1f}",
        flush=True,
    )
    runs = []
    for setup in ARGS.setups.split(","):
        systems = ["vorlent"] if setup == "local" else ARGS.systems.split(",")
        runs += [(setup, s) for s in systems]
    results = []
    for repeat in range(ARGS.repeat):
        for setup, system in runs if repeat % 2 == 0 else runs[::-1]:
            results.append(run_once(data, setup, system))
    models = {r["model"] for r in results if r["system"].startswith("vorlent")}
    print(f"vorlent model bytes equal across setups: {len(models) == 1}")
    if ARGS.json is not None:
        with ARGS.json.open("a") as out:
            for r in results:
                out.write(json.dumps({k: v for k, v in r.items() if k != "model"}, default=str))
                out.write("\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
