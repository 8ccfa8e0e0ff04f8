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
exact_sums version instead. With --tables KEY ... (or --tables all) the real tables of
defaults_data.py instead (their train part fitted, their test part scored: log-loss, or RMSE
for regression), through the estimators at the same settings: split_mode 1 and 0 (pairing
the estimators' default of 4 columns, or --max-pair-columns N), each beside its exact_sums
version, and LightGBM.

    OMP_WAIT_POLICY=PASSIVE python benchmarks/bench_exact.py [--repeat 3] [--quick] [--oblique]
    OMP_WAIT_POLICY=PASSIVE python benchmarks/bench_exact.py --lineage 1 --rows 50000 \
        --flights-rows 20000
    OMP_WAIT_POLICY=PASSIVE python benchmarks/bench_exact.py --tables all

With --kinds the synthetic set cut to --columns columns (default 20; --rows, default
200,000 here) is fitted by each split kind, the axis search (split_mode 1), the capped
oblique search pairing each node's 4 best columns (split_mode 0, max_pair_columns 4) and
every pair (split_mode 2), without and with exact_sums, and each fit time is given as a
ratio to LightGBM's:

    OMP_WAIT_POLICY=PASSIVE python benchmarks/bench_exact.py --kinds
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


def fit_table(table, system: str, split_mode: int, exact: bool, pair_columns: int):
    """Seconds to fit the table's train part and the test loss (bench_defaults' measure)."""
    import bench_defaults as bd
    import defaults_data

    regression = table.task == defaults_data.REGRESSION
    parts = table.parts
    if system == "LightGBM":
        import lightgbm as lgb

        kind = lgb.LGBMRegressor if regression else lgb.LGBMClassifier
        model = kind(
            n_estimators=bt.N_TREES,
            learning_rate=bt.LEARNING_RATE,
            num_leaves=bt.LEAVES,
            max_depth=bt.DEPTH,
            max_bin=bt.BINS,
            reg_lambda=bt.LAMBDA,
            min_child_samples=bt.MIN_SAMPLES,
            n_jobs=bt.THREADS,
            verbose=-1,
        )
    else:
        import vorlent

        kind = vorlent.VorlentRegressor if regression else vorlent.VorlentClassifier
        model = kind(
            n_estimators=bt.N_TREES,
            learning_rate=bt.LEARNING_RATE,
            max_depth=bt.DEPTH,
            max_bins=bt.BINS,
            reg_lambda=bt.LAMBDA,
            min_samples_split=bt.MIN_SAMPLES,
            split_mode="axis" if split_mode == 1 else "oblique",
            max_pair_columns=pair_columns,
            exact_sums=exact,
            early_stopping=False,
            n_jobs=bt.THREADS,
            random_state=0,
        )
    seconds = bt.timed(lambda: model.fit(parts["X_train"], parts["y_train"]))
    return seconds, bd.test_loss(table, model, parts["X_test"], parts["y_test"])


def run_tables(keys: list[str], pair_columns: int) -> None:
    """Per table: fit time and test loss of the default and exact_sums fits, one run each."""
    import pathlib

    import defaults_data

    cache = pathlib.Path(__file__).resolve().parent / "out" / "defaults_data"
    contenders = [
        ("split_mode 1", "vorlent", 1, False),
        ("split_mode 1 exact_sums", "vorlent", 1, True),
        ("split_mode 0", "vorlent", 0, False),
        ("split_mode 0 exact_sums", "vorlent", 0, True),
        ("LightGBM", "LightGBM", 1, False),
    ]
    for key in keys:
        table = defaults_data.load(defaults_data.prepare(key, cache))
        rows = {}
        n = len(table.parts["y_train"])
        print(f"\n== {key} ({table.task}): train {n:,} rows", flush=True)
        for label, system, mode, exact in contenders:
            seconds, loss = fit_table(table, system, mode, exact, pair_columns)
            rows[label] = (seconds, loss)
            print(f"   {label:<26} {seconds:8.2f} s   test loss {loss:.4f}", flush=True)
        for mode in (1, 0):
            (t_exact, l_exact), (t_plain, l_plain) = (
                rows[f"split_mode {mode} exact_sums"],
                rows[f"split_mode {mode}"],
            )
            print(
                f"   split_mode {mode} exact_sums / default: time {t_exact / t_plain:.2f}, "
                f"test loss {l_exact / l_plain:.3f}"
            )
        ratio = rows["split_mode 1 exact_sums"][0] / rows["LightGBM"][0]
        print(f"   split_mode 1 exact_sums / LightGBM: time {ratio:.2f}")


def run_kinds(data: bt.Dataset, repeat: int) -> None:
    """Every split kind, both ways, as a ratio of fit time to LightGBM's."""
    import lightgbm  # noqa: F401  (the ratios mean nothing without it)

    print(f"\n== {data.name}: train {len(data.y_train):,} rows", flush=True)
    contenders = {"LightGBM": lambda: bt.fit_lightgbm(data)[:2]}
    for label, mode, pair_columns in (
        ("axis", 1, 0),
        ("capped oblique, 4 columns", 0, 4),
        ("every pair", 2, 0),
    ):
        for exact in (False, True):
            name = label + (" exact_sums" if exact else "")
            contenders[name] = lambda m=mode, p=pair_columns, e=exact: fit_axis(data, e, m, p)
    rows = {}
    for label, fit in contenders.items():
        runs = [fit() for _ in range(repeat)]
        seconds = min(r[0] for r in runs)
        rows[label] = seconds
        loss = metrics.log_loss(data.y_test, runs[0][1])
        ratio = seconds / rows["LightGBM"]
        print(
            f"   {label:<36} {seconds:8.2f} s   / LightGBM {ratio:6.2f}   log-loss {loss:.4f}",
            flush=True,
        )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=None)
    parser.add_argument("--flights-rows", type=int, default=None)
    parser.add_argument("--quick", action="store_true", help="200,000 synthetic, 60,000 flights")
    parser.add_argument("--repeat", type=int, default=1, help="fits per model; fastest counts")
    parser.add_argument("--only", choices=["synthetic", "flights"], default=None)
    parser.add_argument("--oblique", action="store_true", help="also split_mode 0, both ways")
    parser.add_argument(
        "--max-pair-columns",
        type=int,
        default=None,
        help="split_mode 0 pairs only that many columns (0: all; default all, 4 on --tables)",
    )
    parser.add_argument("--lineage", type=int, default=0, help="compare the lineage builders")
    parser.add_argument(
        "--tables", nargs="+", default=None, help="real tables of defaults_data.py (or all)"
    )
    parser.add_argument("--kinds", action="store_true", help="every split kind vs LightGBM")
    parser.add_argument("--columns", type=int, default=20, help="synthetic columns for --kinds")
    args = parser.parse_args()
    rows = args.rows or (200_000 if args.quick or args.kinds else 1_000_000)
    print(
        f"{bt.N_TREES} trees, depth {bt.DEPTH}, {bt.BINS} bins, {os.environ['OMP_NUM_THREADS']} "
        f"threads, OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']}, load {os.getloadavg()[0]:.1f}"
    )
    if args.tables:
        import defaults_data

        keys = defaults_data.KEYS if args.tables == ["all"] else args.tables
        run_tables(keys, 4 if args.max_pair_columns is None else args.max_pair_columns)
        return 0
    if args.kinds:
        run_kinds(bt.synthetic(rows).first_columns(args.columns), args.repeat)
        return 0
    if args.only in (None, "synthetic"):
        run(bt.synthetic(rows), args.repeat, args.oblique, args.max_pair_columns or 0, args.lineage)
    if args.only in (None, "flights"):
        flights = bt.flights_data(args.flights_rows or (60_000 if args.quick else None))
        run(flights, args.repeat, args.oblique, args.max_pair_columns or 0, args.lineage)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
