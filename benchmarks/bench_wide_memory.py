"""Peak memory of fitting on a wide matrix, vorlent against LightGBM.

Each library fits in a fresh interpreter: it builds the same random float64 matrix (and a
binary target with a pair interaction), fits a classifier of few shallow trees, saves the
model and reports its peak resident memory (the kernel's maximum RSS of the process, the
input matrix included), the resident memory just before the fit, the fit's wall time and
the size of the saved model. The ratio of the peaks is vorlent's over LightGBM's; the goal
is at most 1.

The width is what matters: a model that kept a table of every pair of columns needed
8 * cols^2 bytes (3.2 GB at 20,000 columns, 80 GB at 100,000).

    python benchmarks/bench_wide_memory.py [--rows 2000] [--cols 20000] [--trees 3] [--depth 2]
    python benchmarks/bench_wide_memory.py --depth 0   # each estimator's defaults, 3 trees
    python benchmarks/bench_wide_memory.py --cols 100000 --libraries vorlent

LightGBM is measured when it is importable (it is not a dependency of vorlent).
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, os, resource, sys, tempfile, time
import numpy as np

library, rows, cols, trees, depth = sys.argv[1], *map(int, sys.argv[2:6])
# depth 0: each estimator's own defaults but for the number of trees.
shape = dict(max_depth=depth) if depth > 0 else {}
if library == "vorlent":
    from vorlent import VorlentClassifier
    model = VorlentClassifier(n_estimators=trees, **shape)
else:
    from lightgbm import LGBMClassifier
    leaves = dict(num_leaves=2**depth) if depth > 0 else {}
    model = LGBMClassifier(n_estimators=trees, verbose=-1, **shape, **leaves)

def resident():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024

rng = np.random.default_rng(0)
X = rng.standard_normal((rows, cols))
y = (X[:, 0] * X[:, 1] + X[:, 2] - X[:, 3] > 0).astype(np.float64)
before = resident()
start = time.perf_counter()
model.fit(X, y)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
path = os.path.join(tempfile.mkdtemp(), "model")
if library == "vorlent":
    model.save_model(path)
else:
    model.booster_.save_model(path)
size = os.path.getsize(path)
os.remove(path)
print(json.dumps(dict(before=before, peak=peak, seconds=seconds, size=size, x=X.nbytes)))
"""

GB = 1e9
MB = 1e6


def measure(library: str, args) -> dict | None:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, library]
        + [str(v) for v in (args.rows, args.cols, args.trees, args.depth)],
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        last = done.stderr.strip().splitlines()[-1:] or ["(no message)"]
        print(f"{library:9s} failed: {last[0]}")
        return None
    return json.loads(done.stdout)


def importable(library: str) -> bool:
    found = subprocess.run([sys.executable, "-c", f"import {library}"], check=False)
    return found.returncode == 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--cols", type=int, default=20000)
    parser.add_argument("--trees", type=int, default=3)
    parser.add_argument("--depth", type=int, default=2, help="0: the estimators' defaults")
    parser.add_argument("--libraries", nargs="+", default=["vorlent", "lightgbm"])
    args = parser.parse_args()
    shape = f"of depth {args.depth}" if args.depth > 0 else "with default parameters"
    print(
        f"{args.rows} x {args.cols} float64 ({8 * args.rows * args.cols / GB:.2f} GB), "
        f"{args.trees} trees {shape}"
    )
    peaks = {}
    for library in args.libraries:
        if not importable(library):
            print(f"{library:9s} not installed: skipped")
            continue
        m = measure(library, args)
        if m is None:
            continue
        peaks[library] = m["peak"]
        print(
            f"{library:9s} peak {m['peak'] / GB:6.2f} GB  (before fit {m['before'] / GB:5.2f} GB,"
            f" fit adds {(m['peak'] - m['before']) / GB:5.2f} GB)  fit {m['seconds']:6.1f} s"
            f"  saved model {m['size'] / MB:8.2f} MB"
        )
    if "vorlent" in peaks and "lightgbm" in peaks:
        ratio = peaks["vorlent"] / peaks["lightgbm"]
        print(f"peak fit memory, vorlent / LightGBM: {ratio:.2f} (goal: at most 1)")


if __name__ == "__main__":
    main()
