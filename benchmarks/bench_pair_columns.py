"""What a cap on the pair columns buys: time per tree and test loss of the capped oblique
search (split_mode 0) against LightGBM at matched settings, on the flights table (22
columns) and a wide one (ISLP's Caravan, 5,822 x 85).

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_pair_columns.py \
        [--full] [--caps 0 4 8 12] [--trees 200] [--threads 2] [--repeat 2]

Both libraries train with the same thread count, depth 4, 64 bins, learning rate 0.12 and
L2 1.0, for a fixed number of trees, on the training part; the test part is scored after
every tree. Per cap it prints seconds per tree (the best of --repeat fits without scoring),
the final and the best test log-loss, the ratio of its time per tree to LightGBM's, its
final loss against the uncapped search's, and the ratio of the time each takes to first
reach LightGBM's best test loss ("-" when the capped search never does within --trees).
Flights comes from benchmarks/suite_data.py (60,000 training rows unless --full); Caravan
needs ``pip install --no-deps ISLP``, whose wheel carries the table.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np
import suite_data
from timing import best_seconds
from vorlent_core import Booster

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE.parent / "examples"))

DEPTH, BINS, RATE, L2 = 4, 64, 0.12, 1.0


def caravan():
    import pandas as pd

    table = pd.read_csv(suite_data.package_file("ISLP", "data", "Caravan.csv"))
    y = (table.pop("Purchase") == "Yes").to_numpy(dtype=np.float64)
    X = table.to_numpy(dtype=np.float64)
    split = suite_data.split_three(len(y), seed=1, val_share=0.01, test_share=0.3, y=y)
    parts = suite_data.parts_from_split(X, y, split)
    return parts, [0] * X.shape[1]


def flights(full: bool):
    cache = HERE / ".cache"
    meta, parts = suite_data.load(suite_data.prepare("flights", not full, cache))
    return parts, meta.categorical


def log_loss(y, raw):
    return float(np.mean(np.logaddexp(0.0, raw) - y * raw))


def vorlent_run(parts, categorical, cap, args):
    def make():
        return Booster(
            n_estimators=args.trees,
            learning_rate=RATE,
            max_depth=DEPTH,
            max_bins=BINS,
            reg_lambda=L2,
            categorical=categorical,
            split_mode=0,
            n_threads=args.threads,
            max_pair_columns=cap,
        )

    seconds = best_seconds(lambda: make().fit(parts["X_train"], parts["y_train"]), args.repeat)
    b = make()
    # Early stopping that never stops records the test loss after every tree.
    b.fit(
        parts["X_train"],
        parts["y_train"],
        X_val=parts["X_test"],
        y_val=parts["y_test"],
        es_patience=args.trees + 1,
        es_tol=-1e300,
    )
    return seconds / args.trees, np.asarray(b.validation_losses)


def lightgbm_run(parts, categorical, args):
    import lightgbm as lgb

    params = {
        "objective": "binary",
        "n_estimators": args.trees,
        "learning_rate": RATE,
        "max_depth": DEPTH,
        "num_leaves": 2**DEPTH,
        "max_bin": BINS,
        "reg_lambda": L2,
        "min_child_samples": 5,
        "n_jobs": args.threads,
        "verbose": -1,
    }
    cats = [j for j, c in enumerate(categorical) if c] or "auto"

    def fit():
        return lgb.LGBMClassifier(**params).fit(
            parts["X_train"], parts["y_train"], categorical_feature=cats
        )

    seconds = best_seconds(fit, args.repeat)
    model = fit()
    losses = [
        log_loss(parts["y_test"], model.predict(parts["X_test"], raw_score=True, num_iteration=i))
        for i in range(1, args.trees + 1)
    ]
    return seconds / args.trees, np.asarray(losses)


def first_reach(losses, target):
    """Trees until the loss is at most target, or None."""
    hit = np.nonzero(losses <= target)[0]
    return int(hit[0]) + 1 if len(hit) else None


def report(name, parts, categorical, args):
    rows, cols = parts["X_train"].shape
    print(f"\n{name}: {rows:,} training rows x {cols}, {len(parts['y_test']):,} test rows")
    lgb_tree, lgb_losses = lightgbm_run(parts, categorical, args)
    best = float(lgb_losses.min())
    lgb_reach = first_reach(lgb_losses, best) * lgb_tree
    print(
        f"{'system':<16} {'ms/tree':>8} {'final loss':>10} {'best loss':>10} "
        f"{'x LightGBM':>10} {'loss/all':>8} {'time to LGB best':>16}"
    )
    print(
        f"{'LightGBM':<16} {1e3 * lgb_tree:>8.2f} {lgb_losses[-1]:>10.5f} {best:>10.5f} "
        f"{1.0:>10.2f} {'':>8} {1.0:>16.2f}"
    )
    plain = None
    for cap in args.caps:
        per_tree, losses = vorlent_run(parts, categorical, cap, args)
        plain = losses[-1] if cap == 0 else plain
        reach = first_reach(losses, best)
        reach_ratio = "-" if reach is None else f"{reach * per_tree / lgb_reach:.2f}"
        versus = "" if plain is None else f"{losses[-1] / plain:.4f}"
        print(
            f"{f'cap {cap}':<16} {1e3 * per_tree:>8.2f} {losses[-1]:>10.5f} "
            f"{losses.min():>10.5f} {per_tree / lgb_tree:>10.2f} {versus:>8} {reach_ratio:>16}"
        )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", action="store_true", help="every flights training row")
    parser.add_argument("--caps", type=int, nargs="+", default=[0, 4, 8, 12])
    parser.add_argument("--trees", type=int, default=200)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--datasets", nargs="+", default=["flights", "caravan"])
    args = parser.parse_args()
    if "flights" in args.datasets:
        report("flights", *flights(args.full), args)
    if "caravan" in args.datasets:
        report("Caravan", *caravan(), args)


if __name__ == "__main__":
    main()
