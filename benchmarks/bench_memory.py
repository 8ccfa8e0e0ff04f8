"""Peak resident memory of training, against the size of its input.

Each measurement runs in a fresh interpreter: it builds the data, resets the kernel's
high-water mark of resident memory (/proc/self/clear_refs), trains, and reads the mark
(VmHWM). The interpreter's own baseline (resident memory before training, less the input
arrays) is subtracted, so the figure is the input plus everything training adds.

The goal it is held against: the input matrix plus its 16-bit bin codes, plus 25%.
A second run with colsample = 0.5 shows how much of the peak scales with the number of
candidate columns a node materialises.

    python benchmarks/bench_memory.py [--rows 1000000] [--cols 28] [--trees 10]
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
    args = parser.parse_args()

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
