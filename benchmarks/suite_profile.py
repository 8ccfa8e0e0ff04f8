"""Where the C++ fit spends its time: perf samples of benchmarks/bench_fit.cpp, grouped by
phase of the split search.

Builds build/bench/bench_fit (unstripped, -g) when it is missing, runs

    OMP_NUM_THREADS=1 perf record -o FILE build/bench/bench_fit ROWS SPLIT_MODE TREES

and sums the self time of every function into the phase its name belongs to. Functions
inlined into a caller count for the caller.

    python benchmarks/suite_profile.py [--rows N] [--mode M] [--trees T]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"

# The first phase one of whose names occurs in a symbol takes its samples; the order
# matters where a symbol names more than one function (an OpenMP body names the helper,
# the lambda and the function that holds it).
PHASES = [
    (
        "moments / column fill",
        ["fill_columns", "neighbour_moments", "gathered_moments", "pass_moments", "gather_group"],
    ),
    (
        "proposals",
        [
            "pair_direction",
            "solve_pair_ridge",
            "solve_category_slope",
            "solve_",
            "cross_moment_lanes",
            "cross_moment_total",
            "pair_sums_block",
            "category_sums_block",
            "lane_sums",
            "largest_code",
            "pair_choice",
            "pair_config",
            "constraint_direction",
        ],
    ),
    (
        "screening",
        [
            "screen_block",
            "fill_screen_block",
            "column_block",
            "screen_pair",
            "screen_score",
            "screen_result",
            "keep_screened",
            "keep_top",
            "for_pairs_by_blocks",
        ],
    ),
    (
        "evaluation",
        [
            "fast_bins",
            "fast_scatter",
            "exact_scatter",
            "exact_projection",
            "linear_projection",
            "category_projection",
            "projected_cells",
            "evaluate_",
            "projected_histogram_split",
            "scan_projected_cells",
            "search_oblique_split",
        ],
    ),
    (
        "bin histograms (axis search)",
        [
            "build_bin_histograms",
            "histogram_lanes",
            "best_bin_cut",
            "search_axis_split",
            "categorical_cuts",
            "ordinary_cuts",
        ],
    ),
    (
        "partition / node bookkeeping",
        ["partition_rows", "bin_sides", "grow_node", "make_leaf", "copy_split", "midpoint"],
    ),
    ("gradients", ["compute_gradients"]),
    ("score updates", ["add_tree_scores", "add_leaf", "find_leaf"]),
    (
        "binning",
        [
            "build_bins",
            "bin_all",
            "bin_feature",
            "plan_binning",
            "bin_of",
            "sort_unique",
            "percentile",
            "compute_feature_scale",
        ],
    ),
]
LINE = re.compile(r"^\s*([0-9.]+)%\s+(\S+)\s+\[(.)\]\s+(.*)$")


def ensure_binary(cmake: str) -> pathlib.Path:
    binary = BUILD / "bench_fit"
    if binary.exists():
        return binary
    subprocess.run(
        [
            cmake,
            "-S",
            str(ROOT),
            "-B",
            str(BUILD),
            "-DVORLENT_BUILD_MODULE=OFF",
            "-DVORLENT_BUILD_BENCHMARKS=ON",
            "-DCMAKE_CXX_FLAGS=-g",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        [cmake, "--build", str(BUILD), "-j2", "--target", "bench_fit"],
        check=True,
        capture_output=True,
    )
    return binary


def phase_of(symbol: str, dso: str) -> str:
    for phase, names in PHASES:
        if any(name in symbol for name in names):
            return phase
    if "gomp" in dso or "omp" in dso:
        return "other: OpenMP runtime"
    if dso.startswith("[kernel"):
        return "other: kernel"
    if "libc" in dso or "libm" in dso or "libstdc++" in dso:
        return "other: C/C++ libraries (allocation, copies, math)"
    if "bench_fit" in dso and ("main" in symbol or "mersenne" in symbol or "normal_dist" in symbol):
        return "other: data generation (outside the fit)"
    return "other: rest of vorlent"


def profile(rows: int, mode: int, trees: int, cmake: str) -> dict:
    perf = shutil.which("perf")
    if perf is None:
        return {"error": "perf is not installed (apt-get install linux-perf)"}
    binary = ensure_binary(cmake)
    env = dict(os.environ, OMP_NUM_THREADS="1", OMP_WAIT_POLICY="PASSIVE")
    with tempfile.TemporaryDirectory() as tmp:
        data = pathlib.Path(tmp) / "p.data"
        record = subprocess.run(
            [perf, "record", "-q", "-o", str(data), str(binary), str(rows), str(mode), str(trees)],
            env=env,
            check=True,
            capture_output=True,
            text=True,
        )
        report = subprocess.run(
            [
                perf,
                "report",
                "-i",
                str(data),
                "--stdio",
                "--no-children",
                "--sort",
                "dso,sym",
                "--percent-limit",
                "0",
                "-q",
            ],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    fit_line = next((line for line in record.stdout.splitlines() if line.startswith("rows")), "")
    functions = []
    for line in report.splitlines():
        match = LINE.match(line)
        if match:
            share, dso, _kind, symbol = match.groups()
            functions.append((float(share), dso, symbol.strip()))
    phases: dict[str, float] = {}
    by_function: dict[str, list] = {}
    for share, dso, symbol in functions:
        phase = phase_of(symbol, dso)
        phases[phase] = phases.get(phase, 0.0) + share
        by_function.setdefault(phase, []).append((share, short_name(symbol)))
    top = {
        phase: [(round(share, 2), name) for share, name in sorted(items, reverse=True)[:4]]
        for phase, items in by_function.items()
    }
    return {
        "command": f"OMP_NUM_THREADS=1 perf record -o /tmp/p.data build/bench/bench_fit "
        f"{rows} {mode} {trees}",
        "bench_fit_output": fit_line,
        "phases": dict(sorted(phases.items(), key=lambda item: -item[1])),
        "top_functions": top,
    }


def short_name(symbol: str) -> str:
    """A demangled symbol without argument lists or template arguments."""
    depth = 0
    out = []
    for ch in symbol:
        if ch in "(<":
            depth += 1
        elif ch in ")>":
            depth = max(0, depth - 1)
        elif depth == 0:
            out.append(ch)
    return "".join(out).replace("vorlent::", "").strip()[:80]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--mode", type=int, default=0)
    parser.add_argument("--trees", type=int, default=10)
    parser.add_argument("--cmake", default=shutil.which("cmake") or "cmake")
    args = parser.parse_args()
    print(json.dumps(profile(args.rows, args.mode, args.trees, args.cmake), indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
