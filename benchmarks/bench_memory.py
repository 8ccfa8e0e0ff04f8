"""Peak resident memory of training, against the size of its input.

Each measurement runs in a fresh interpreter: it builds the data, resets the kernel's
high-water mark of resident memory (/proc/self/clear_refs), trains, and reads the mark
(VmHWM). The interpreter's own baseline (resident memory before training, less the input
arrays) is subtracted, so the figure is the input plus everything training adds.

The goal it is held against: the input matrix plus its 16-bit bin codes, plus 25%.
A second run with colsample = 0.5 shows how much of the peak scales with the number of
candidate columns a node materialises.

With --cases it measures instead the cases whose memory grows with the column count or the
parameters rather than the data: each prints the peak resident memory of its child
(VmHWM), the wall time, and the model's size, or the refusal and how fast it came.

    python benchmarks/bench_memory.py [--rows 1000000] [--cols 28] [--trees 10]
    python benchmarks/bench_memory.py --cases
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, sys
import numpy as np
from vorlent_core import Booster

rows, cols, trees, colsample = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)

rng = np.random.default_rng(0)
X = rng.standard_normal((rows, cols))
X[rng.random((rows, cols)) < 0.02] = np.nan
signal = np.nan_to_num(X[:, 0]) * np.nan_to_num(X[:, 1]) + np.nan_to_num(X[:, 2])
y = (signal > 0).astype(np.float64)
del signal
b = Booster(n_estimators=trees, colsample=colsample)
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets VmHWM to the current resident size
b.fit(X, y)
peak = status("VmHWM")
print(json.dumps(dict(before=before, peak=peak, x=X.nbytes, y=y.nbytes, trees=b.n_trees())))
"""

MB = 1e6

# name, rows, columns, Booster keywords, label of the one large class (or None).
CASES = [
    ("20 x 2000, default, 1 round", 20, 2000, {"n_estimators": 1}, None),
    ("20 x 6000, default, 1 round", 20, 6000, {"n_estimators": 1}, None),
    (
        "50 x 100, max_lineage=1, max_bins=65536",
        50,
        100,
        {"max_lineage": 1, "max_bins": 65536, "objective": 1},
        None,
    ),
    ("2 x 100000, 1 round", 2, 100_000, {"n_estimators": 1}, None),
    ("100 x 3, class 999999, 60 trees", 100, 3, {"objective": 2}, 999_999.0),
]

CASE_CHILD = r"""
import json, sys, time
import numpy as np
from vorlent_core import Booster

rows, cols, params, top = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3]), sys.argv[4]
rng = np.random.default_rng(0)
X = rng.normal(size=(rows, cols))
y = (X[:, 0] > 0) * 1.0
if top != "None":
    y = np.r_[float(top), np.zeros(rows - 1)]
b = Booster(**params)


def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024


start = time.perf_counter()
try:
    b.fit(X, y)
    outcome = dict(seconds=time.perf_counter() - start, peak=peak())
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM: serialize's peak on its own
    outcome["model"] = len(b.serialize())
    outcome["serialize_peak"] = peak()
except ValueError as e:
    outcome = dict(refused=str(e)[:70], seconds=time.perf_counter() - start, peak=peak())
print(json.dumps(outcome))
"""


def measure_cases():
    for name, rows, cols, params, top in CASES:
        done = subprocess.run(
            [sys.executable, "-c", CASE_CHILD, str(rows), str(cols), json.dumps(params), str(top)],
            check=False,
            capture_output=True,
            text=True,
        )
        if done.returncode != 0:
            print(f"{name:42s} failed: {done.stderr.strip().splitlines()[-1:]}")
            continue
        m = json.loads(done.stdout)
        if "model" in m:
            what = f"model {m['model'] / MB:7.1f} MB, serialize peak {m['serialize_peak'] / MB:7.1f} MB"
        else:
            what = f"refused: {m['refused']}"
        print(f"{name:42s} fit peak {m['peak'] / MB:7.1f} MB {m['seconds']:7.2f} s  {what}")


def measure(rows, cols, trees, colsample):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(rows), str(cols), str(trees), str(colsample)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--cols", type=int, default=28)
    parser.add_argument("--trees", type=int, default=10)
    parser.add_argument(
        "--cases", action="store_true", help="the column- and parameter-bound cases"
    )
    args = parser.parse_args()
    if args.cases:
        measure_cases()
        return

    x_bytes = args.rows * args.cols * 8
    codes = args.rows * args.cols * 2
    goal = 1.25 * (x_bytes + codes)
    print(f"{args.rows} x {args.cols}, {args.trees} trees, default parameters")
    print(f"  input matrix                      {x_bytes / MB:9.1f} MB")
    print(f"  its 16-bit bin codes              {codes / MB:9.1f} MB")
    print(f"  goal: (matrix + codes) x 1.25     {goal / MB:9.1f} MB")

    peaks = {}
    for colsample in (1.0, 0.5):
        m = measure(args.rows, args.cols, args.trees, colsample)
        baseline = m["before"] - m["x"] - m["y"]  # interpreter, libraries, scratch
        peaks[colsample] = m["peak"] - baseline
        added = m["peak"] - m["before"]
        print(f"colsample {colsample}:")
        print(f"  resident before fit               {m['before'] / MB:9.1f} MB")
        print(f"  peak resident during fit          {m['peak'] / MB:9.1f} MB")
        print(f"  added by training                 {added / MB:9.1f} MB")
        print(
            f"  input + training (peak - base)    {peaks[colsample] / MB:9.1f} MB"
            f" = {peaks[colsample] / goal:.2f} x goal"
        )
    per_column = (peaks[1.0] - peaks[0.5]) / (args.cols - (args.cols + 1) // 2)
    print(
        f"each candidate column a node materialises costs {per_column / MB:.1f} MB"
        f" ({per_column / args.rows:.1f} bytes per row; single precision is 4)"
    )


if __name__ == "__main__":
    main()
