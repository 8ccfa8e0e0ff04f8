"""Data-preparation speed next to scikit-learn and LightGBM, measured in one run.

    .venv/bin/python benchmarks/bench_prep.py            # 10M rows, 1M x 28 for binning
    .venv/bin/python benchmarks/bench_prep.py --quick    # a tenth of that, for a smoke test

Needs requirements/bench.txt installed into the virtual environment. Binning is internal
to the module, so its timing comes from the C++ program benchmarks/bench_binning.cpp, which
this script builds with CMake into build/bench (-DVORLENT_BUILD_BENCHMARKS=ON) and runs on
the very matrix that LightGBM bins. Every figure is the best of --repeats runs; rows per
second and the ratio (peer time / vorlent time) are printed side by side, for the wall
clock and for the processor time of all threads (the latter hardly moves when other
programs compete for the cores).
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np
import vorlent_core as vc

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"


def best_time(fn, repeats):
    """The best wall-clock and the best processor time (all threads) of a few runs."""
    wall = cpu = float("inf")
    for _ in range(repeats):
        start, cpu_start = time.perf_counter(), time.process_time()
        fn()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - cpu_start)
    return wall, cpu


def materialise(cv, n, X, y):
    """The fold number of every row, from the test indices that split() yields."""
    folds = np.empty(n, dtype=np.int32)
    for k, (_, test) in enumerate(cv.split(X, y)):
        folds[test] = k
    return folds


def build_binning_program():
    tools = pathlib.Path(sys.executable).parent
    cmake = tools / "cmake" if (tools / "cmake").exists() else "cmake"
    configure = [
        str(cmake),
        "-S",
        str(ROOT),
        "-B",
        str(BENCH_BUILD),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DVORLENT_BUILD_MODULE=OFF",
        "-DVORLENT_BUILD_BENCHMARKS=ON",
    ]
    if (tools / "ninja").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}"]
    if not (BENCH_BUILD / "CMakeCache.txt").exists():
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(
        [str(cmake), "--build", str(BENCH_BUILD), "--target", "bench_binning", "-j2"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return BENCH_BUILD / "bench_binning"


def run_binning_program(program, X, max_bins, repeats):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "X.f64")
        np.ascontiguousarray(X, dtype=np.float64).tofile(path)
        out = subprocess.run(
            [str(program), str(X.shape[0]), str(X.shape[1]), path, str(max_bins), str(repeats)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    _, wall, cpu = out.strip().splitlines()[-1].split()
    return float(wall), float(cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--bin-rows", type=int, default=1_000_000)
    parser.add_argument("--bin-cols", type=int, default=28)
    parser.add_argument("--categories", type=int, default=1000)
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="a tenth of the sizes")
    args = parser.parse_args()
    if args.quick:
        args.rows //= 10
        args.bin_rows //= 10

    import lightgbm as lgb
    from sklearn.model_selection import KFold, StratifiedKFold
    from sklearn.preprocessing import TargetEncoder

    n, K, nf, R = args.rows, args.categories, args.folds, args.repeats
    rng = np.random.default_rng(0)
    codes = rng.integers(0, K, size=n)
    effect = rng.normal(0.0, 1.0, size=K)
    y = effect[codes] + rng.normal(0.0, 2.0, size=n)
    # Five classes of unequal size for the stratified split.
    labels = rng.choice(5, size=n, p=[0.4, 0.25, 0.15, 0.12, 0.08]).astype(np.float64)
    rows_only = np.empty((n, 0))
    results = []

    folds = vc.make_folds(y, nf, 0, False)
    ours = best_time(lambda: vc.te_fit_transform(codes, y, folds, K, nf), R)
    ours_with_folds = best_time(
        lambda: vc.te_fit_transform(codes, y, vc.make_folds(y, nf, 0, False), K, nf), R
    )
    encoder = TargetEncoder(
        target_type="continuous", smooth="auto", cv=KFold(nf, shuffle=True, random_state=0)
    )
    peer = best_time(lambda: encoder.fit_transform(codes[:, None], y), R)
    results.append((f"te_fit_transform, K={K}, {nf} folds", n, ours, "TargetEncoder", peer))
    results.append(("make_folds + te_fit_transform", n, ours_with_folds, "TargetEncoder", peer))

    ours = best_time(lambda: vc.make_folds(y, nf, 0, False), R)
    kfold = KFold(nf, shuffle=True, random_state=0)
    peer = best_time(lambda: materialise(kfold, n, rows_only, None), R)
    results.append((f"make_folds plain, {nf} folds", n, ours, "KFold", peer))

    ours = best_time(lambda: vc.make_folds(labels, nf, 0, True), R)
    skfold = StratifiedKFold(nf, shuffle=True, random_state=0)
    peer = best_time(lambda: materialise(skfold, n, rows_only, labels), R)
    results.append((f"make_folds stratified, {nf} folds", n, ours, "StratifiedKFold", peer))

    X = rng.normal(size=(args.bin_rows, args.bin_cols)) * np.arange(1, args.bin_cols + 1)
    X[:, 6::7] = np.floor(rng.uniform(0, 20, size=X[:, 6::7].shape))
    X[rng.uniform(size=X.shape) < 0.02] = np.nan
    program = build_binning_program()
    ours = run_binning_program(program, X, 64, R)
    params = {"max_bin": 64, "verbose": -1}
    peer = best_time(lambda: lgb.Dataset(X, params=params).construct(), R)
    results.append(
        (
            f"build_bins {args.bin_cols} cols, max_bins 64",
            args.bin_rows,
            ours,
            "lgb.Dataset.construct",
            peer,
        )
    )

    threads = os.environ.get("OMP_NUM_THREADS", str(os.cpu_count()))
    print(f"best of {R} runs; OMP_NUM_THREADS={threads}; Mrows/s = million rows per second;")
    print("ratio = peer time / vorlent time, by the wall clock and by processor time\n")
    header = (
        "task",
        "rows",
        "vorlent s",
        "vorlent Mrows/s",
        "peer",
        "peer s",
        "peer Mrows/s",
        "ratio",
        "vorlent cpu s",
        "peer cpu s",
        "cpu ratio",
    )
    lines = [header]
    for task, rows, (t_ours, c_ours), peer_name, (t_peer, c_peer) in results:
        lines.append(
            (
                task,
                f"{rows:,}",
                f"{t_ours:.3f}",
                f"{rows / t_ours / 1e6:.1f}",
                peer_name,
                f"{t_peer:.3f}",
                f"{rows / t_peer / 1e6:.1f}",
                f"{t_peer / t_ours:.1f}x",
                f"{c_ours:.3f}",
                f"{c_peer:.3f}",
                f"{c_peer / c_ours:.1f}x",
            )
        )
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    for i, line in enumerate(lines):
        print("| " + " | ".join(cell.ljust(w) for cell, w in zip(line, widths)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


if __name__ == "__main__":
    main()
