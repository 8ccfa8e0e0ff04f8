"""Shapley contributions: vorlent's shap_values against the peers' exact tree SHAP.

Trains vorlent (axis-only, the default oblique search, and the lineage builder), LightGBM
and XGBoost on one synthetic binary task with the same number of trees and depth, then
times vorlent's Booster.shap_values, LightGBM's predict(pred_contrib=True) and XGBoost's
predict(pred_contribs=True) on the same rows with the same number of threads, and prints
rows per second and the ratios against both peers (above 1: vorlent is faster). Set
OMP_WAIT_POLICY=PASSIVE on a shared machine.

    python benchmarks/bench_shap.py [--rows N] [--trees N] [--depth N] [--repeat N] [--threads N]
"""

import argparse
import os

import numpy as np
from timing import best_seconds

N_COLS = 28


def synthetic(rows, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, N_COLS))
    logit = X[:, 0] - 0.8 * X[:, 1] + X[:, 2] * X[:, 3] + 0.5 * (X[:, 4] > 0.5) + X[:, 5] * X[:, 6]
    y = (logit + rng.normal(size=rows) > 0).astype(np.float64)
    X[rng.random(X.shape) < 0.02] = np.nan
    return X, y


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--train-rows", type=int, default=50_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--depth", type=int, default=6)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    # The OpenMP runtime reads this once, when vorlent_core is first imported.
    os.environ["OMP_NUM_THREADS"] = str(args.threads)
    import vorlent_core

    X_train, y = synthetic(args.train_rows)
    X, _ = synthetic(args.rows, seed=1)
    print(
        f"{args.rows} rows x {N_COLS} columns, {args.trees} trees of depth {args.depth}, "
        f"{args.threads} thread(s), best of {args.repeat}"
    )
    seconds = {}
    for name, extra in [
        ("vorlent axis", {"split_mode": 1}),
        ("vorlent oblique", {}),
        ("vorlent lineage", {"max_lineage": 2}),
    ]:
        b = vorlent_core.Booster(
            n_estimators=args.trees, max_depth=args.depth, learning_rate=0.1, **extra
        )
        b.fit(X_train, y)
        seconds[name] = best_seconds(lambda b=b: b.shap_values(X), args.repeat)
        gap = np.abs(b.shap_values(X[:1000]).sum(axis=1) - b.predict_raw(X[:1000])).max()
        print(f"{name}: {b.n_trees()} trees, largest |sum - raw score| {gap:.1e}")

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
        seconds["LightGBM pred_contrib"] = best_seconds(
            lambda: model.predict(X, pred_contrib=True), args.repeat
        )
    except ImportError:
        print("LightGBM: not installed, skipped")

    try:
        import xgboost as xgb

        model = xgb.XGBClassifier(
            n_estimators=args.trees, max_depth=args.depth, tree_method="hist", n_jobs=args.threads
        )
        model.fit(X_train, y)
        matrix = xgb.DMatrix(X, nthread=args.threads)
        seconds["XGBoost pred_contribs"] = best_seconds(
            lambda: model.get_booster().predict(matrix, pred_contribs=True), args.repeat
        )
    except ImportError:
        print("XGBoost: not installed, skipped")

    print(f"{'method':<24}{'seconds':>10}{'rows/s':>14}")
    for name, s in seconds.items():
        print(f"{name:<24}{s:>10.3f}{args.rows / s:>14,.0f}")
    peers = [name for name in seconds if not name.startswith("vorlent")]
    for ours in [name for name in seconds if name.startswith("vorlent")]:
        ratios = ", ".join(f"{seconds[p] / seconds[ours]:.2f}x {p}" for p in peers)
        print(f"{ours} rows/s: {ratios}")


if __name__ == "__main__":
    main()
