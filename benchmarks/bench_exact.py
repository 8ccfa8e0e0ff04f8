"""Fit time and test log-loss of exact_sums training beside the default axis-aligned builder
and LightGBM, at the settings of bench_train.py (60 trees of depth 4, 64 bins, learning rate
0.12, L2 term 1, at least 10 rows per split, 2 threads, no early stopping), on

  (a) the synthetic 1,000,000 x 28 set of bench_train.py (--rows to change), 80% trained;
  (b) the flights table of examples/flights.py (the real table), --flights-rows to cut it.

The ratios are exact_sums over split_mode 1 (goal: at most 0.9) and exact_sums over LightGBM
(goal: at most 1.0); LightGBM is skipped when it is not installed. With --oblique, the capped
oblique search (split_mode 0) too: exact_sums over the default builder, in fit time and in
test log-loss (--max-pair-columns N: pairing only each node's N best columns, the estimators'
default 4). With --lineage N the contenders are the lineage builder (max_lineage N) and its
exact_sums version instead.

    OMP_WAIT_POLICY=PASSIVE python benchmarks/bench_exact.py [--repeat 3] [--quick] [--oblique]
    OMP_WAIT_POLICY=PASSIVE python benchmarks/bench_exact.py --lineage 1 --rows 50000 \
        --flights-rows 20000
"""

from __future__ import annotations

import argparse
import os

os.environ.setdefault("OMP_NUM_THREADS", "2")
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import bench_train as bt
import metrics
import vorlent_core as vc


def fit_axis(
    data: bt.Dataset, exact: bool, split_mode: int = 1, pair_columns: int = 0, lineage: int = 0
):
    model = vc.Booster(
        n_estimators=bt.N_TREES,
        learning_rate=bt.LEARNING_RATE,
        max_depth=bt.DEPTH,
        max_bins=bt.BINS,
        reg_lambda=bt.LAMBDA,
        min_samples=bt.MIN_SAMPLES,
        categorical=data.categorical,
        split_mode=split_mode,
        max_pair_columns=pair_columns,
        max_lineage=lineage,
        exact_sums=exact,
    )
    seconds = bt.timed(lambda: model.fit(data.X_train, data.y_train))
    return seconds, model.predict_proba(data.X_test)[:, 1]


def run(
    data: bt.Dataset, repeat: int, oblique: bool, pair_columns: int = 0, lineage: int = 0
) -> None:
    print(f"\n== {data.name}: train {len(data.y_train):,} rows", flush=True)
    rows = {}
    if lineage >= 1:
        run_lineage(data, repeat, lineage)
        return
    contenders = {
        "split_mode 1": lambda: fit_axis(data, False),
        "split_mode 1 exact_sums": lambda: fit_axis(data, True),
    }
    if oblique:
        contenders["split_mode 0"] = lambda: fit_axis(data, False, 0, pair_columns)
        contenders["split_mode 0 exact_sums"] = lambda: fit_axis(data, True, 0, pair_columns)
    try:
        import lightgbm  # noqa: F401

        contenders["LightGBM"] = lambda: bt.fit_lightgbm(data)[:2]
    except ImportError:
        print("   (LightGBM not installed: skipped)")
    for label, fit in contenders.items():
        runs = [fit() for _ in range(repeat)]
        seconds = min(r[0] for r in runs)
        loss = metrics.log_loss(data.y_test, runs[0][1])
        rows[label] = (seconds, loss)
        print(f"   {label:<26} {seconds:8.2f} s   log-loss {loss:.4f}", flush=True)
    exact = rows["split_mode 1 exact_sums"][0]
    print(f"   exact_sums / split_mode 1: {exact / rows['split_mode 1'][0]:.2f}")
    if "LightGBM" in rows:
        print(f"   exact_sums / LightGBM:     {exact / rows['LightGBM'][0]:.2f}")
    if oblique:
        (t_exact, l_exact), (t_plain, l_plain) = (
            rows["split_mode 0 exact_sums"],
            rows["split_mode 0"],
        )
        print(
            f"   split_mode 0 exact_sums / default: time {t_exact / t_plain:.2f}, "
            f"log-loss {l_exact / l_plain:.3f}"
        )


def run_lineage(data: bt.Dataset, repeat: int, lineage: int) -> None:
    rows = {}
    for exact in (False, True):
        label = f"max_lineage {lineage}" + (" exact_sums" if exact else "")
        runs = [fit_axis(data, exact, lineage=lineage) for _ in range(repeat)]
        seconds = min(r[0] for r in runs)
        rows[exact] = seconds
        loss = metrics.log_loss(data.y_test, runs[0][1])
        print(f"   {label:<26} {seconds:8.2f} s   log-loss {loss:.4f}", flush=True)
    print(f"   exact_sums / default lineage: {rows[True] / rows[False]:.2f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=None)
    parser.add_argument("--flights-rows", type=int, default=None)
    parser.add_argument("--quick", action="store_true", help="200,000 synthetic, 60,000 flights")
    parser.add_argument("--repeat", type=int, default=1, help="fits per model; fastest counts")
    parser.add_argument("--only", choices=["synthetic", "flights"], default=None)
    parser.add_argument("--oblique", action="store_true", help="also split_mode 0, both ways")
    parser.add_argument(
        "--max-pair-columns", type=int, default=0, help="split_mode 0 pairs only that many columns"
    )
    parser.add_argument("--lineage", type=int, default=0, help="compare the lineage builders")
    args = parser.parse_args()
    rows = args.rows or (200_000 if args.quick else 1_000_000)
    print(
        f"{bt.N_TREES} trees, depth {bt.DEPTH}, {bt.BINS} bins, {os.environ['OMP_NUM_THREADS']} "
        f"threads, OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']}, load {os.getloadavg()[0]:.1f}"
    )
    if args.only in (None, "synthetic"):
        run(bt.synthetic(rows), args.repeat, args.oblique, args.max_pair_columns, args.lineage)
    if args.only in (None, "flights"):
        flights = bt.flights_data(args.flights_rows or (60_000 if args.quick else None))
        run(flights, args.repeat, args.oblique, args.max_pair_columns, args.lineage)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
