"""Shapley contributions: vorlent's shap_values against the peers' exact tree SHAP.

Trains vorlent (axis-only split_mode 1, the default oblique split_mode 0, and with --lineage
the lineage builder), LightGBM and XGBoost on one synthetic binary task with the same number of trees and
depth, then times vorlent's Booster.shap_values, LightGBM's predict(pred_contrib=True) and
XGBoost's predict(pred_contribs=True) on the same rows with the same number of threads. The
timings are paired: every round times each method once, one after the other, so that the load
of a shared machine falls on all of them alike; each method's best round gives its rows per
second, and the ratios are also given as the median of the rounds' own ratios (above 1: vorlent
is faster). OMP_WAIT_POLICY defaults to PASSIVE and the thread count to 2.

    python benchmarks/bench_shap.py [--rows N] [--trees N] [--depth N] [--repeat N] [--threads N]
                                    [--train-rows N] [--lineage]

Goals checked at the end: split_mode 1 at least as many rows per second as LightGBM's
pred_contrib, split_mode 0 at least a fifth of them.
"""

import argparse
import os
import statistics
import time

import numpy as np

N_COLS = 28
GOALS = {"vorlent split_mode 1": 1.0, "vorlent split_mode 0": 0.2}


def synthetic(rows, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, N_COLS))
    logit = X[:, 0] - 0.8 * X[:, 1] + X[:, 2] * X[:, 3] + 0.5 * (X[:, 4] > 0.5) + X[:, 5] * X[:, 6]
    y = (logit + rng.normal(size=rows) > 0).astype(np.float64)
    X[rng.random(X.shape) < 0.02] = np.nan
    return X, y


def vorlent_methods(args, X_train, y, X):
    import vorlent_core

    methods = {}
    systems = [("vorlent split_mode 1", {"split_mode": 1}), ("vorlent split_mode 0", {})]
    if args.lineage:
        systems.append(("vorlent max_lineage 2", {"max_lineage": 2}))
    for name, extra in systems:
        b = vorlent_core.Booster(
            n_estimators=args.trees, max_depth=args.depth, learning_rate=0.1, **extra
        )
        b.fit(X_train, y)
        gap = np.abs(b.shap_values(X[:1000]).sum(axis=1) - b.predict_raw(X[:1000])).max()
        print(f"{name}: {b.n_trees()} trees, largest |sum - raw score| {gap:.1e}")
        methods[name] = lambda b=b: b.shap_values(X)
    return methods


def peer_methods(args, X_train, y, X):
    methods = {}
    try:
        import lightgbm as lgb

        model = lgb.LGBMClassifier(
            n_estimators=args.trees,
            max_depth=args.depth,
            num_leaves=2**args.depth,
            n_jobs=args.threads,
            verbose=-1,
        )
        model.fit(X_train, y)
        methods["LightGBM pred_contrib"] = lambda: model.predict(X, pred_contrib=True)
    except ImportError:
        print("LightGBM: not installed, skipped")
    try:
        import xgboost as xgb

        booster = (
            xgb.XGBClassifier(
                n_estimators=args.trees,
                max_depth=args.depth,
                tree_method="hist",
                n_jobs=args.threads,
            )
            .fit(X_train, y)
            .get_booster()
        )
        matrix = xgb.DMatrix(X, nthread=args.threads)
        methods["XGBoost pred_contribs"] = lambda: booster.predict(matrix, pred_contribs=True)
    except ImportError:
        print("XGBoost: not installed, skipped")
    return methods


def paired_seconds(methods, repeat):
    """Seconds of every method in every round, the methods timed one after the other."""
    seconds = {name: [] for name in methods}
    for _ in range(repeat):
        for name, call in methods.items():
            start = time.perf_counter()
            call()
            seconds[name].append(time.perf_counter() - start)
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--train-rows", type=int, default=20_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--depth", type=int, default=6)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--lineage", action="store_true", help="also the lineage builder (slow)")
    args = parser.parse_args()
    # The OpenMP runtimes read these once, when the first of them loads.
    os.environ["OMP_NUM_THREADS"] = str(args.threads)
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

    X_train, y = synthetic(args.train_rows)
    X, _ = synthetic(args.rows, seed=1)
    print(
        f"{args.rows} rows x {N_COLS} columns, {args.trees} trees of depth {args.depth}, "
        f"{args.threads} thread(s), OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']}, "
        f"{args.repeat} paired rounds, load {os.getloadavg()[0]:.1f}"
    )
    methods = vorlent_methods(args, X_train, y, X) | peer_methods(args, X_train, y, X)
    for call in methods.values():  # warm up: first-touch pages, thread pools
        call()
    seconds = paired_seconds(methods, args.repeat)

    print(f"{'method':<26}{'best s':>9}{'rows/s':>12}")
    for name, runs in seconds.items():
        print(f"{name:<26}{min(runs):>9.3f}{args.rows / min(runs):>12,.0f}")
    peers = [name for name in seconds if not name.startswith("vorlent")]
    for ours in [name for name in seconds if name.startswith("vorlent")]:
        parts = []
        for peer in peers:
            best = min(seconds[peer]) / min(seconds[ours])
            paired = statistics.median(p / o for p, o in zip(seconds[peer], seconds[ours]))
            parts.append(f"{best:.2f}x {peer} (paired median {paired:.2f}x)")
        print(f"{ours} rows/s: " + ", ".join(parts))
    lightgbm = "LightGBM pred_contrib"
    if lightgbm in seconds:
        for ours, need in GOALS.items():
            ratio = min(seconds[lightgbm]) / min(seconds[ours])
            verdict = "met" if ratio >= need else "NOT met"
            print(f"goal: {ours} at least {need}x LightGBM's rows/s: {ratio:.2f}x, {verdict}")


if __name__ == "__main__":
    main()
