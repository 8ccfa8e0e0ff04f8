"""What watching training costs: the core's per-round callback and the estimators' metrics.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_round_callback.py [--rows 100000]

The goal: on ROWS x 20 with a validation set of a tenth of that, a fit with a no-op callback
(which copies the training and validation scores every round) stays within 3% of a fit without
one, and an estimator fit that records two metrics on the validation rows every round within
5% of the same fit without ``eval_metric`` (best of --repeat runs, same process).
"""

import argparse
import pathlib
import sys

import numpy as np
import vorlent_core as vc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import best_seconds
from vorlent import VorlentClassifier


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--trees", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, 20))
    y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(float)
    n_val = args.rows // 10
    X_val, y_val = X[:n_val], y[:n_val]

    booster = vc.Booster(n_estimators=args.trees)
    plain = best_seconds(lambda: booster.fit(X, y, X_val=X_val, y_val=y_val), args.repeat)
    watched = best_seconds(
        lambda: booster.fit(X, y, X_val=X_val, y_val=y_val, callback=lambda *a: None),
        args.repeat,
    )
    print(
        f"core fit: {plain:.3f} s, with a no-op callback {watched:.3f} s "
        f"({100 * (watched / plain - 1):+.1f}%, goal within 3%)"
    )

    def estimator_fit(eval_metric):
        model = VorlentClassifier(
            n_estimators=args.trees, early_stopping=False, eval_metric=eval_metric, random_state=0
        )
        return lambda: model.fit(X[n_val:], y[n_val:], eval_set=(X_val, y_val))

    base = best_seconds(estimator_fit(None), args.repeat)
    metrics = best_seconds(estimator_fit(["logloss", "auc"]), args.repeat)
    print(
        f"estimator fit: {base:.3f} s, with logloss and auc every round {metrics:.3f} s "
        f"({100 * (metrics / base - 1):+.1f}%, goal within 5%)"
    )


if __name__ == "__main__":
    main()
