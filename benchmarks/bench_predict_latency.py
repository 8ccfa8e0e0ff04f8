"""One-row predict_proba latency and predict_raw / predict_proba rows per second through
the core on 200,000 x 20 rows and 100 trees, two threads, in one run: the figures that
polling for Ctrl-C between blocks of rows must leave as they are.

    PYTHONPATH=build/dev .venv/bin/python benchmarks/bench_predict_latency.py
"""

import os
import time

import numpy as np
from timing import best_seconds

ROWS, COLS, TREES, THREADS = 200_000, 20, 100, 2


def seconds_per_call(fn, calls: int) -> float:
    """The fastest mean over 20 batches of `calls` calls of fn."""
    best = float("inf")
    for _ in range(20):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def main():
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    os.environ["OMP_NUM_THREADS"] = str(THREADS)
    import vorlent_core as vc

    rng = np.random.default_rng(0)
    X = rng.normal(size=(ROWS, COLS))
    y = (X[:, 0] + X[:, 1] * X[:, 2] + rng.normal(size=ROWS) > 0).astype(float)
    b = vc.Booster(n_estimators=TREES)
    b.fit(X[:20_000], y[:20_000])
    one = np.ascontiguousarray(X[:1])
    latency = seconds_per_call(lambda: b.predict_proba(one), 2000)
    raw_s = best_seconds(lambda: b.predict_raw(X), 5)
    proba_s = best_seconds(lambda: b.predict_proba(X), 5)
    print(f"{ROWS:,} x {COLS}, {TREES} trees, {THREADS} threads, load {os.getloadavg()[0]:.1f}")
    print(f"one-row predict_proba   {latency * 1e6:10.2f} us")
    print(f"predict_raw             {ROWS / raw_s:12,.0f} rows/s")
    print(f"predict_proba           {ROWS / proba_s:12,.0f} rows/s")


if __name__ == "__main__":
    main()
