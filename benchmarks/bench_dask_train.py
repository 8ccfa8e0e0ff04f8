"""Data-parallel training on Dask: messages (round trips) per tree, bytes per round, and the
time of a fit on a two-worker LocalCluster against one process.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_dask_train.py [--rows 100000]
        [--lineage 1] [--split-mode oblique] [--transport socket]

Goals: at most 3 * max_depth + 1 round trips per tree (one round trip is one message to
every worker and their answers); bytes per round bounded by the histograms (about 3 words
per bin per node asked for), independent of the row count. The model's bytes equal those of
the local exact_sums fit (checked).
"""

import argparse
import collections
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

# Messages of the rounds; the others (bins, start score) are paid once per fit.
ROUND_MESSAGES = {"begin_tree", "fix_gradients", "stats", "route", "add_tree"}


def main() -> None:
    import dask.array as da
    import distributed
    from vorlent import VorlentClassifier, _params
    from vorlent._data import fit_matrix
    from vorlent.dask._train import fit_booster

    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--depth", type=int, default=5)
    parser.add_argument("--classes", type=int, default=2)
    parser.add_argument(
        "--lineage", type=int, default=0, help="max_lineage: 1+ for the lineage builder"
    )
    parser.add_argument("--split-mode", default="axis", help="axis, oblique or oblique_full")
    parser.add_argument("--transport", default="dask", choices=["dask", "socket"])
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, args.features))
    y = np.digitize(X[:, 0] + X[:, 1] * X[:, 2], np.linspace(-1, 1, args.classes - 1))
    params = {
        "n_estimators": args.trees,
        "max_depth": args.depth,
        "split_mode": args.split_mode,
        "max_lineage": args.lineage,
    }
    local = VorlentClassifier(exact_sums=True, early_stopping=False, **params)
    started = time.perf_counter()
    local.fit(X, y)
    local_seconds = time.perf_counter() - started

    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        Xd = da.from_array(X, chunks=(args.rows // 4, args.features)).persist()
        yd = da.from_array(y, chunks=(args.rows // 4,)).persist()
        distributed.wait([Xd, yd])
        _, schema = fit_matrix(X[:1])
        classes = np.unique(y)
        objective = _params.BINARY if len(classes) == 2 else _params.MULTICLASS
        keywords = _params.core_keywords(
            VorlentClassifier(exact_sums=True, **params), schema, seed=0, objective=objective
        )
        log = []
        started = time.perf_counter()
        booster = fit_booster(
            client, keywords, Xd, yd, None, classes, 300.0, log, transport=args.transport
        )
        dask_seconds = time.perf_counter() - started
    assert booster.serialize() == local.booster_.serialize(), "model bytes differ"

    rounds = [m for m in log if m[0] in ROUND_MESSAGES]
    setup = [m for m in log if m[0] not in ROUND_MESSAGES]
    per_kind = collections.Counter(m[0] for m in rounds)
    print(
        f"rows {args.rows} x {args.features}, {args.trees} trees of depth {args.depth}, "
        f"{args.classes} classes, split_mode {args.split_mode}, max_lineage {args.lineage}, "
        f"2 workers (4 blocks), transport {args.transport}"
    )
    print(f"local exact fit {local_seconds:.2f} s; Dask fit {dask_seconds:.2f} s")
    print(
        f"set-up messages (bins, start score): {len(setup)}, "
        f"{sum(m[1] + m[2] for m in setup) / 1e3:.1f} kB"
    )
    print(
        f"round trips per tree: {len(rounds) / args.trees:.1f} "
        f"(goal <= {3 * args.depth + 1}); by message: "
        + ", ".join(f"{k} {v / args.trees:.1f}" for k, v in sorted(per_kind.items()))
    )
    sent = sum(m[1] for m in rounds) / args.trees
    received = sum(m[2] for m in rounds) / args.trees
    print(f"bytes per round: {sent / 1e3:.1f} kB sent, {received / 1e3:.1f} kB received")


if __name__ == "__main__":
    main()
