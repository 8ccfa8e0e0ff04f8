"""Where the time of a Dask fit goes, message by message: the coordinator's wait for each
round trip against the slower worker's time inside its shard for the same message, and the
latency of an empty round trip on the same cluster.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/profile_dask_rounds.py \\
        [--data flights] [--trees 20] [--depth 4] [--repeat 2] [--transport socket]

Two workers with one thread each (a LocalCluster), four blocks, 64 bins, the settings of
bench_dask_peers.py. Reported per fit: the fit's seconds; the set-up's and the rounds' round
trips with the coordinator's wait, the slower worker's time in its shard and the rest (the
round trip's own latency: Dask's actor call, serialisation, thread hops, and the wait for a
worker that the machine's other load holds back); the coordinator's own time between
messages; and the in-memory fit of the same rows in this process (one thread and two).
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import os
import pathlib
import sys
import time

os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "benchmarks"))

BINS, RATE, LAMBDA, MIN_ROWS = 64, 0.12, 1.0, 10
ROUND_MESSAGES = {"begin_tree", "fix_gradients", "stats", "route", "add_tree"}


class Ping:
    """An actor that answers at once: an empty round trip (its method runs in the worker's
    actor thread)."""

    def call(self, method, *args):
        return [None]

    def listen(self, host, idle_timeout):
        """The socket transport's port, answered by ``call`` (as a shard actor's is)."""
        from vorlent.dask._sockets import ShardServer

        self.server = ShardServer(self.call, host, idle_timeout)
        return self.server.address, self.server.token


class AsyncPing:
    """The same answered on the worker's event loop (no hop to the actor thread)."""

    async def call(self, method, *args):
        return [None]


def pool_path(actors, pool):
    """A message as the coordinator sent it before: every actor's future waited for by a
    thread of a pool."""

    def send(method, *args):
        futures = [actor.call(method, *args) for actor in actors]
        return [a for f in futures for a in pool.submit(f.result).result(timeout=60)]

    return send


def actor_calls():
    """The class that sends the coordinator's messages as actor calls, in this build or an
    older one."""
    try:
        from vorlent.dask._transport import DaskShards
    except ImportError:
        from vorlent.dask._train import _Shards as DaskShards
    return DaskShards


def coordinator(client, actors):
    """The coordinator's handle on the actors (builds before the coroutine one took a pool
    of threads)."""
    import inspect

    shards = actor_calls()
    if "client" in inspect.signature(shards).parameters:
        return shards(client, actors, 60.0)
    from concurrent.futures import ThreadPoolExecutor

    return shards(actors, 60.0, ThreadPoolExecutor(max_workers=4))


def socket_latency(actors, workers, n: int) -> float | None:
    """An empty round trip over the socket transport (None in builds without it)."""
    try:
        from vorlent.dask._transport import SocketShards, worker_host
    except ImportError:
        return None
    shards = SocketShards(actors, [worker_host(w) for w in workers], 60.0)
    try:
        return latency(shards, n)
    finally:
        shards.close()


def latency(send, n: int) -> float:
    for _ in range(10):
        send("ping")
    started = time.perf_counter()
    for _ in range(n):
        send("ping")
    return (time.perf_counter() - started) / n


def load(kind: str, rows: int):
    if kind == "flights":
        import flights

        task = flights.prepare()
        return task.train.X, task.train.y
    rng = np.random.default_rng(0)
    X = rng.normal(size=(rows, 28))
    return X, (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(np.float64)


def main() -> int:
    import bench_dask_peers
    import dask.array as da
    import distributed
    import vorlent
    from vorlent.dask import DaskVorlentClassifier

    parser = argparse.ArgumentParser()
    parser.add_argument("--data", choices=["flights", "synthetic"], default="flights")
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--depth", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--pings", type=int, default=200)
    parser.add_argument("--transport", choices=["dask", "socket"], default="dask")
    args = parser.parse_args()
    X, y = load(args.data, args.rows)
    params = {
        "n_estimators": args.trees,
        "max_depth": args.depth,
        "max_bins": BINS,
        "learning_rate": RATE,
        "reg_lambda": LAMBDA,
        "min_samples_split": MIN_ROWS,
        "random_state": 0,
    }
    print(f"{args.data} {X.shape[0]} x {X.shape[1]}, {args.trees} trees of depth {args.depth}")

    environ = {"OMP_NUM_THREADS": "1", "OMP_WAIT_POLICY": os.environ["OMP_WAIT_POLICY"]}
    import dask

    dask.config.set({"distributed.nanny.pre-spawn-environ": environ})
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        n = len(y)
        chunks = (-(-n // 4),)
        Xd, yd = client.persist(
            [da.from_array(X, chunks=(chunks[0], X.shape[1])), da.from_array(y, chunks=chunks)]
        )
        distributed.wait([Xd, yd])
        workers = sorted(client.scheduler_info()["workers"])
        pings = {
            kind: [
                client.submit(kind, workers=[w], actor=True, pure=False).result() for w in workers
            ]
            for kind in (Ping, AsyncPing)
        }
        from concurrent.futures import ThreadPoolExecutor

        pool = ThreadPoolExecutor(max_workers=4)
        for repeat in range(args.repeat):
            # The in-memory fit in this process, one thread and two.
            local = {}
            for threads in (1, 2):
                model = vorlent.VorlentClassifier(
                    split_mode="axis",
                    exact_sums=True,
                    early_stopping=False,
                    n_jobs=threads,
                    **params,
                )
                started = time.perf_counter()
                model.fit(X, y)
                local[threads] = time.perf_counter() - started

            # An empty round trip to both workers: as the coordinator sends its messages,
            # as it sent them before, and to an actor that answers on the event loop.
            pings_ms = {
                "coordinator": latency(coordinator(client, pings[Ping]), args.pings),
                "pool of threads": latency(pool_path(pings[Ping], pool), args.pings),
                "coordinator, async actor": latency(
                    coordinator(client, pings[AsyncPing]), args.pings
                ),
                "socket transport": socket_latency(pings[Ping], workers, args.pings),
            }

            client.run(bench_dask_peers.install_shard_timer)
            waits = []
            if args.transport == "socket":
                from vorlent.dask._transport import SocketShards as shards
            else:
                shards = actor_calls()
            plain_call = shards.__call__

            def timed_call(self, method, *a, _plain=plain_call, _waits=waits):
                started = time.perf_counter()
                try:
                    return _plain(self, method, *a)
                finally:
                    name = a[0][-1][0] if method == "batch" else method
                    _waits.append((name, time.perf_counter() - started))

            transport = {} if args.transport == "dask" else {"transport": "socket"}
            model = DaskVorlentClassifier(client=client, **params, **transport)
            shards.__call__ = timed_call
            try:
                started = time.perf_counter()
                model.fit(Xd, yd)
                fit_s = time.perf_counter() - started
            finally:
                shards.__call__ = plain_call
            calls = client.run(bench_dask_peers.shard_calls)
            per_worker = [calls[w] for w in sorted(calls)]
            assert all(len(c) == len(waits) for c in per_worker), "calls do not line up"
            parts = collections.defaultdict(lambda: [0, 0.0, 0.0])
            for i, (name, wait) in enumerate(waits):
                kind = "rounds" if name in ROUND_MESSAGES else "set-up"
                slowest = max(c[i][1] for c in per_worker)
                parts[kind][0] += 1
                parts[kind][1] += wait
                parts[kind][2] += slowest
            print(f"-- repeat {repeat + 1}, load {os.getloadavg()[0]:.1f}")
            print(
                f"in memory: {local[1]:.3f} s (1 thread), {local[2]:.3f} s (2 threads); "
                "empty round trip to both workers: "
                + ", ".join(f"{k} {v * 1e3:.2f} ms" for k, v in pings_ms.items() if v is not None)
            )
            print(f"Dask fit {fit_s:.3f} s = {fit_s / local[2]:.2f} x in memory (2 threads)")
            waited = 0.0
            for kind in ("set-up", "rounds"):
                count, wait, inside = parts[kind]
                waited += wait
                print(
                    f"  {kind}: {count} round trips, waited {wait:.3f} s, slower shard "
                    f"{inside:.3f} s, latency {wait - inside:.3f} s "
                    f"({(wait - inside) / max(count, 1) * 1e3:.2f} ms per round trip)"
                )
            print(
                f"  outside the waits (placing blocks and actors, the coordinator's "
                f"decisions): {fit_s - waited:.3f} s"
            )
            digest = hashlib.sha256(model.booster_.serialize()).hexdigest()[:16]
            print(f"  model bytes: sha256 {digest}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
