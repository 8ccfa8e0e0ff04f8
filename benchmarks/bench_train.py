"""Training speed and test log-loss of vorlent beside LightGBM, XGBoost and scikit-learn.

Every library trains 60 trees of depth 4 (16 leaves) with 64 bins, learning rate 0.12,
L2 term 1 and at least 10 rows per split where the library has such a knob, on 2 threads,
without early stopping, on

  (a) synthetic data: --rows rows (default 1,000,000) of 28 features whose log-odds mix sums
      and differences of feature pairs, a product, a threshold and a per-category slope,
      split 80/20;
  (b) the demo's flights task (examples/flights.py): the whole training split, tested on
      the test split.

vorlent runs with split_mode 0 (capped oblique search), 1 (axis-aligned only) and 2
(uncapped oblique search); the lineage builder (max_lineage=2) runs on (b) only, as it is
slow. The table gives fit seconds, the ratio to LightGBM's fit time and test log-loss.

    python benchmarks/bench_train.py              # full size
    python benchmarks/bench_train.py --quick      # 200,000 synthetic rows, 60,000 flights rows
    python benchmarks/bench_train.py --threads    # vorlent on 1 vs 2 OpenMP threads

Timings on a shared machine are noisy: --repeat N keeps the fastest of N fits.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import pathlib
import subprocess
import sys
import time
from dataclasses import dataclass, field

# Each OpenMP runtime reads these when it loads, so they are fixed here, before numpy or
# any learner is imported; values given by the caller win. With the runtimes' default
# spinning, idle workers of every library steal the cores that the busy ones need as soon
# as the machine runs anything else, and the timings become meaningless (LightGBM ran 25
# times slower on a loaded 2-core machine); sleeping between parallel regions costs all
# four libraries little.
os.environ.setdefault("OMP_NUM_THREADS", "2")
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import flights
import metrics
import vorlent_core as vc

N_TREES = 60
DEPTH = 4
LEAVES = 16
BINS = 64
LEARNING_RATE = 0.12
LAMBDA = 1.0
MIN_SAMPLES = 10
THREADS = 2
SYNTHETIC_FEATURES = 28
SYNTHETIC_CATEGORIES = 8


@dataclass
class Dataset:
    name: str
    X_train: np.ndarray
    y_train: np.ndarray
    X_test: np.ndarray
    y_test: np.ndarray
    categorical: list[int]  # one flag per column

    @property
    def categorical_columns(self) -> list[int]:
        return [j for j, flag in enumerate(self.categorical) if flag]

    def first_columns(self, count: int) -> Dataset:
        """The same rows with only their first `count` columns."""
        return Dataset(
            f"{self.name.split(' x ')[0]} x {count}",
            np.ascontiguousarray(self.X_train[:, :count]),
            self.y_train,
            np.ascontiguousarray(self.X_test[:, :count]),
            self.y_test,
            self.categorical[:count],
        )


@dataclass
class Result:
    dataset: str
    model: str
    fit_seconds: float
    log_loss: float
    trees: int
    note: str = ""
    extra: dict = field(default_factory=dict)


def synthetic(n_rows: int, seed: int = 7) -> Dataset:
    """Log-odds built from structure that single-feature thresholds approximate poorly
    (sums and differences of pairs, a product, a per-category slope) next to structure
    they capture at once (a threshold), over 28 columns of which 16 are noise."""
    X, y = synthetic_rows(np.random.default_rng(seed), n_rows)
    n_train = int(n_rows * 0.8)
    categorical = [1 if j == 11 else 0 for j in range(SYNTHETIC_FEATURES)]
    return Dataset(
        f"synthetic {n_rows:,} x {SYNTHETIC_FEATURES}",
        np.ascontiguousarray(X[:n_train]),
        y[:n_train],
        np.ascontiguousarray(X[n_train:]),
        y[n_train:],
        categorical,
    )


def synthetic_rows(rng: np.random.Generator, n_rows: int) -> tuple[np.ndarray, np.ndarray]:
    """The rows and labels of synthetic(), drawn from rng."""
    X = rng.standard_normal((n_rows, SYNTHETIC_FEATURES))
    # Two correlated pairs, so that their sum and difference are not aligned with the axes.
    X[:, 1] = 0.6 * X[:, 0] + 0.8 * X[:, 1]
    X[:, 3] = -0.5 * X[:, 2] + 0.866 * X[:, 3]
    category = rng.integers(0, SYNTHETIC_CATEGORIES, n_rows)
    X[:, 11] = category
    slopes = np.linspace(-1.2, 1.2, SYNTHETIC_CATEGORIES)
    logit = (
        1.1 * (X[:, 0] + X[:, 1])
        - 0.9 * (X[:, 2] - X[:, 3])
        + 0.8 * (X[:, 4] - 0.5 * X[:, 5])
        + 0.7 * X[:, 6] * X[:, 7]
        + 1.2 * (X[:, 8] > 0.6)
        - 0.6 * (X[:, 9] + X[:, 10] > 1.0)
        + slopes[category] * X[:, 12]
        + 0.15 * X[:, 13:16].sum(axis=1)
        - 0.4
    )
    y = (rng.random(n_rows) < 1.0 / (1.0 + np.exp(-logit))).astype(np.float64)
    # A few missing values in two informative columns.
    X[rng.random(n_rows) < 0.02, 4] = np.nan
    X[rng.random(n_rows) < 0.02, 8] = np.nan
    return X, y


def flights_data(train_rows: int | None) -> Dataset:
    task = flights.prepare(train_rows=train_rows)
    name = f"flights {len(task.train.y):,} x {task.train.X.shape[1]}"
    return Dataset(name, task.train.X, task.train.y, task.test.X, task.test.y, task.categorical)


def timed(fit) -> float:
    t0 = time.perf_counter()
    fit()
    return time.perf_counter() - t0


def fit_vorlent(data: Dataset, split_mode: int = 0, max_lineage: int = 0):
    model = vc.Booster(
        n_estimators=N_TREES,
        learning_rate=LEARNING_RATE,
        max_depth=DEPTH,
        max_bins=BINS,
        reg_lambda=LAMBDA,
        min_samples=MIN_SAMPLES,
        categorical=data.categorical,
        max_lineage=max_lineage,
        split_mode=split_mode,
    )
    seconds = timed(lambda: model.fit(data.X_train, data.y_train))
    return seconds, model.predict_proba(data.X_test)[:, 1], model.n_trees(), model


def fit_lightgbm(data: Dataset):
    import lightgbm as lgb

    model = lgb.LGBMClassifier(
        n_estimators=N_TREES,
        learning_rate=LEARNING_RATE,
        num_leaves=LEAVES,
        max_depth=DEPTH,
        max_bin=BINS,
        reg_lambda=LAMBDA,
        min_child_samples=MIN_SAMPLES,
        n_jobs=THREADS,
        verbose=-1,
    )
    seconds = timed(
        lambda: model.fit(
            data.X_train, data.y_train, categorical_feature=data.categorical_columns or "auto"
        )
    )
    return seconds, model.predict_proba(data.X_test)[:, 1], model.booster_.num_trees(), model


def fit_xgboost(data: Dataset):
    import xgboost as xgb

    types = ["c" if flag else "q" for flag in data.categorical]
    model = xgb.XGBClassifier(
        n_estimators=N_TREES,
        learning_rate=LEARNING_RATE,
        max_depth=DEPTH,
        max_bin=BINS,
        reg_lambda=LAMBDA,
        tree_method="hist",
        n_jobs=THREADS,
        feature_types=types,
        enable_categorical=bool(data.categorical_columns),
    )
    seconds = timed(lambda: model.fit(data.X_train, data.y_train))
    return (
        seconds,
        model.predict_proba(data.X_test)[:, 1],
        model.get_booster().num_boosted_rounds(),
        model,
    )


def fit_sklearn(data: Dataset):
    from sklearn.ensemble import HistGradientBoostingClassifier
    from threadpoolctl import threadpool_limits

    model = HistGradientBoostingClassifier(
        max_iter=N_TREES,
        learning_rate=LEARNING_RATE,
        max_depth=DEPTH,
        max_leaf_nodes=LEAVES,
        max_bins=BINS,
        l2_regularization=LAMBDA,
        min_samples_leaf=MIN_SAMPLES,
        early_stopping=False,
        categorical_features=data.categorical_columns or None,
    )
    with threadpool_limits(limits=THREADS, user_api="openmp"):
        seconds = timed(lambda: model.fit(data.X_train, data.y_train))
    return seconds, model.predict_proba(data.X_test)[:, 1], model.n_iter_, model


def contenders(include_lineage: bool):
    yield "LightGBM", fit_lightgbm
    yield "XGBoost hist", fit_xgboost
    yield "sklearn HistGB", fit_sklearn
    for mode, label in ((0, "capped oblique"), (1, "axis only"), (2, "uncapped oblique")):
        yield f"vorlent split_mode {mode} ({label})", lambda d, m=mode: fit_vorlent(d, m)
    if include_lineage:
        yield "vorlent max_lineage 2", lambda d: fit_vorlent(d, max_lineage=2)


def run_dataset(data: Dataset, include_lineage: bool, repeat: int) -> list[Result]:
    print(
        f"\n== {data.name}: train {len(data.y_train):,} rows, test {len(data.y_test):,} rows",
        flush=True,
    )
    results = []
    for label, fit in contenders(include_lineage):
        best = None
        for _ in range(repeat):
            seconds, proba, trees, _model = fit(data)
            best = seconds if best is None else min(best, seconds)
        loss = metrics.log_loss(data.y_test, proba)
        results.append(Result(data.name, label, best, loss, int(trees)))
        print(f"   {label:<40} {best:8.2f} s   log-loss {loss:.4f}", flush=True)
    return results


def print_table(results: list[Result]) -> None:
    print()
    header = f"{'dataset':<26} {'model':<40} {'fit s':>8} {'x LightGBM':>11} {'log-loss':>9}"
    print(header)
    print("-" * len(header))
    for dataset in dict.fromkeys(r.dataset for r in results):
        rows = [r for r in results if r.dataset == dataset]
        reference = next(r.fit_seconds for r in rows if r.model == "LightGBM")
        for r in rows:
            print(
                f"{dataset:<26} {r.model:<40} {r.fit_seconds:8.2f} "
                f"{r.fit_seconds / reference:11.1f} {r.log_loss:9.4f}"
            )


def save(results: list[Result], out_dir: pathlib.Path, stem: str) -> None:
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / f"{stem}.json").write_text(json.dumps([r.__dict__ for r in results], indent=1))
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import NullFormatter

    datasets = list(dict.fromkeys(r.dataset for r in results))
    fig, axes = plt.subplots(len(datasets), 2, figsize=(12, 3.2 * len(datasets)), squeeze=False)
    for row, dataset in enumerate(datasets):
        rows = [r for r in results if r.dataset == dataset]
        labels = [r.model for r in rows]
        axes[row, 0].barh(labels, [r.fit_seconds for r in rows], color="tab:blue")
        axes[row, 0].set_xscale("log")
        axes[row, 0].xaxis.set_minor_formatter(NullFormatter())
        axes[row, 0].invert_yaxis()
        axes[row, 1].invert_yaxis()
        axes[row, 0].set_xlabel("fit seconds (log scale)")
        axes[row, 0].set_title(dataset)
        axes[row, 1].barh(labels, [r.log_loss for r in rows], color="tab:orange")
        low = min(r.log_loss for r in rows)
        axes[row, 1].set_xlim(low * 0.97, max(r.log_loss for r in rows) * 1.01)
        axes[row, 1].set_xlabel("test log-loss")
        axes[row, 1].set_yticklabels([])
    fig.tight_layout()
    fig.savefig(out_dir / f"{stem}.png", dpi=110)
    print(f"\nwrote {out_dir / (stem + '.json')} and {out_dir / (stem + '.png')}")


# --- thread scaling ----------------------------------------------------------------------


def child_fit(rows: int, split_mode: int) -> None:
    """Runs in a subprocess whose OMP_NUM_THREADS the parent chose; prints one JSON line."""
    data = synthetic(rows)
    seconds, proba, _trees, model = fit_vorlent(data, split_mode)
    digest = hashlib.sha256(model.serialize()).hexdigest()[:16]
    print(
        json.dumps(
            {
                "seconds": seconds,
                "log_loss": metrics.log_loss(data.y_test, proba),
                "model_sha256": digest,
            }
        )
    )


def thread_scaling(rows: int, modes: list[int], repeat: int) -> None:
    print(
        f"vorlent fit of {N_TREES} trees on synthetic {rows:,} x {SYNTHETIC_FEATURES} "
        f"(80% trained), OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY', 'unset')}"
    )
    header = (
        f"{'split_mode':>10} {'1 thread s':>11} {'2 threads s':>12} {'speedup':>8} "
        f"{'same model':>11}"
    )
    print(header)
    print("-" * len(header))
    for mode in modes:
        seconds = {}
        digests = {}
        for threads in (1, 2):
            env = dict(os.environ, OMP_NUM_THREADS=str(threads))
            runs = []
            for _ in range(repeat):
                out = subprocess.run(
                    [sys.executable, __file__, "--child-fit", str(rows), str(mode)],
                    env=env,
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
                runs.append(json.loads(out.strip().splitlines()[-1]))
            seconds[threads] = min(r["seconds"] for r in runs)
            digests[threads] = {r["model_sha256"] for r in runs}
        same = len(digests[1] | digests[2]) == 1
        print(
            f"{mode:>10} {seconds[1]:11.2f} {seconds[2]:12.2f} "
            f"{seconds[1] / seconds[2]:8.2f} {same!s:>11}",
            flush=True,
        )


# --- entry -------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--rows",
        type=int,
        default=None,
        help="synthetic rows (default 1,000,000; 200,000 with --quick)",
    )
    parser.add_argument(
        "--flights-rows",
        type=int,
        default=None,
        help="flights training rows (default the whole training split; 60,000 with --quick)",
    )
    parser.add_argument("--quick", action="store_true", help="smaller data for a quick look")
    parser.add_argument(
        "--only", choices=["synthetic", "flights"], default=None, help="run one of the two datasets"
    )
    parser.add_argument("--repeat", type=int, default=1, help="fits per model; the fastest counts")
    parser.add_argument(
        "--threads", action="store_true", help="time vorlent on 1 and 2 OpenMP threads instead"
    )
    parser.add_argument(
        "--modes", type=int, nargs="+", default=[0, 1, 2], help="split modes timed by --threads"
    )
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "benchmarks" / "out")
    parser.add_argument(
        "--child-fit", nargs=2, type=int, metavar=("ROWS", "MODE"), help=argparse.SUPPRESS
    )
    args = parser.parse_args()

    if args.child_fit:
        child_fit(*args.child_fit)
        return 0
    rows = args.rows or (200_000 if args.quick else 1_000_000)
    if args.threads:
        thread_scaling(rows, args.modes, args.repeat)
        return 0

    flights_rows = args.flights_rows or (60_000 if args.quick else None)
    load = os.getloadavg()
    print(
        f"{N_TREES} trees, depth {DEPTH}, {BINS} bins, learning rate {LEARNING_RATE}, "
        f"lambda {LAMBDA}, {THREADS} threads; OMP_WAIT_POLICY="
        f"{os.environ.get('OMP_WAIT_POLICY', 'unset')}; load average {load[0]:.1f} on "
        f"{os.cpu_count()} cores (timings on a shared machine are noisy)"
    )
    results = []
    if args.only in (None, "synthetic"):
        results += run_dataset(synthetic(rows), include_lineage=False, repeat=args.repeat)
    if args.only in (None, "flights"):
        results += run_dataset(flights_data(flights_rows), include_lineage=True, repeat=args.repeat)
    print_table(results)
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    save(results, args.out, "bench_train_quick" if args.quick else "bench_train")
    return 0


if __name__ == "__main__":
    sys.exit(main())
