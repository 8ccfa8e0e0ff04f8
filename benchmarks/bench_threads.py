"""What releasing the interpreter lock buys: boosters trained in Python threads at once, and
how late other Python threads run during a fit.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_threads.py [--rows N] [--repeat R]

Prints, for 1, 2 and (when there are that many cores) 4 threads each training its own
booster with n_threads=1, the best wall time of the batch against one fit alone (ideal: 1.0
up to the core count), next to the same ratio for hashing a large buffer in the same number
of threads (hashlib also releases the lock, so it shows what the machine allows right now);
then the delay of a 50 ms threading.Timer started during a fit on the main thread.
"""

import argparse
import hashlib
import os
import threading
import time

import numpy as np
from timing import best_seconds
from vorlent_core import Booster


def in_threads(calls):
    threads = [threading.Thread(target=c) for c in calls]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=50_000)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, 10))
    y = (X[:, 0] * X[:, 1] + X[:, 2] > 0).astype(float)
    data = bytes(200_000_000)

    def fit(seed):
        Booster(n_estimators=args.rounds, max_depth=5, seed=seed, n_threads=1).fit(X, y)

    counts = [1, 2] + ([4] if (os.cpu_count() or 1) >= 4 else [])
    one_fit = one_hash = None
    print(f"{'threads':>8} {'fits s':>8} {'ratio':>6} {'hash ratio':>10}")
    for n in counts:
        fits = best_seconds(
            lambda n=n: in_threads([lambda s=s: fit(s) for s in range(n)]), args.repeat
        )
        hashes = best_seconds(
            lambda n=n: in_threads([lambda: hashlib.sha256(data).digest()] * n), args.repeat
        )
        one_fit, one_hash = one_fit or fits, one_hash or hashes
        print(f"{n:>8} {fits:>8.3f} {fits / one_fit:>6.2f} {hashes / one_hash:>10.2f}")

    fired = []
    start = time.perf_counter()
    timer = threading.Timer(0.05, lambda: fired.append(time.perf_counter() - start))
    timer.start()
    fit(0)
    fit_seconds = time.perf_counter() - start
    timer.join()
    print(f"timer due after 0.050 s ran after {fired[0]:.3f} s of a {fit_seconds:.3f} s fit")


if __name__ == "__main__":
    main()
