"""What the two accuracy levers buy: test loss with best_of_kinds, learn_missing and both,
against neither, on flights (its weather and plane columns miss values) and on diamonds
with 10% of its cells set missing at random.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_split_levers.py \
        [--full] [--trees 100] [--threads 2] [--max-pair-columns 0]

Every model trains --trees trees (depth 4, 64 bins, learning rate 0.12) on the training
part; the test part is scored after every tree. Prints per lever the final and the best test
loss (log-loss for flights, squared error for diamonds), their ratio to neither lever's,
and the seconds per tree.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np
import suite_data
from bench_pair_columns import test_losses
from vorlent_core import Booster

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE.parent / "examples"))

LEVERS = {
    "neither": {},
    "best_of_kinds": {"best_of_kinds": True},
    "learn_missing": {"learn_missing": True},
    "both": {"best_of_kinds": True, "learn_missing": True},
}


def dataset(key: str, full: bool):
    meta, parts = suite_data.load(suite_data.prepare(key, not full, HERE / "out" / "data"))
    if key == "diamonds":
        rng = np.random.default_rng(0)
        for part in ("X_train", "X_val", "X_test"):
            parts[part] = parts[part].copy()
            parts[part][rng.random(parts[part].shape) < 0.1] = np.nan
    return meta, parts


def run(meta, parts, params, args):
    b = Booster(
        n_estimators=args.trees,
        learning_rate=0.12,
        max_depth=4,
        max_bins=64,
        objective=meta.objective,
        categorical=meta.categorical,
        n_threads=args.threads,
        max_pair_columns=args.max_pair_columns,
        **params,
    )
    start = time.perf_counter()
    losses = test_losses(b, parts, args.trees)
    return losses, (time.perf_counter() - start) / args.trees


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", action="store_true", help="every flights training row")
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--max-pair-columns", type=int, default=0)
    parser.add_argument("--datasets", nargs="+", default=["flights", "diamonds"])
    args = parser.parse_args()
    for key in args.datasets:
        meta, parts = dataset(key, args.full)
        missing = np.isnan(parts["X_train"]).mean()
        print(f"\n{meta.name}, {100 * missing:.1f}% of the training cells missing")
        print(
            f"{'lever':<14} {'final':>12} {'best':>12} {'final/neither':>13} "
            f"{'best/neither':>12} {'s/tree':>7}"
        )
        plain = None
        for name, params in LEVERS.items():
            losses, per_tree = run(meta, parts, params, args)
            plain = losses if plain is None else plain
            print(
                f"{name:<14} {losses[-1]:>12.6g} {losses.min():>12.6g} "
                f"{losses[-1] / plain[-1]:>13.4f} {losses.min() / plain.min():>12.4f} "
                f"{per_tree:>7.3f}"
            )


if __name__ == "__main__":
    main()
