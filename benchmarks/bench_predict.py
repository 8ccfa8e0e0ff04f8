"""predict_raw rows per second next to LightGBM's, on models of the same size, in one run.

    .venv/bin/python benchmarks/bench_predict.py [--rows 200000] [--trees 60] [--threads 2]
"""

import argparse
import os

import numpy as np
from timing import best_seconds




def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--trees", type=int, default=60)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    os.environ["OMP_NUM_THREADS"] = str(args.threads)
    import lightgbm as lgb
    import vorlent_core as vc

    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, 28))
    y = (X[:, 0] + X[:, 1] * X[:, 2] + rng.normal(size=args.rows) > 0).astype(float)
    train = slice(0, 50_000)
    params = dict(objective="binary", num_leaves=16, max_depth=4, max_bin=64, learning_rate=0.12,
                  verbose=-1, num_threads=args.threads)
    peer = lgb.train(params, lgb.Dataset(X[train], y[train]), args.trees)
    peer_s = best_seconds(lambda: peer.predict(X, raw_score=True, num_threads=args.threads), args.repeat)
    print(f"{args.rows:,} rows, {args.trees} trees of depth 4, {args.threads} threads, "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'system':28s} {'rows/s':>12s} {'vs LightGBM':>12s}")
    print(f"{'LightGBM':28s} {args.rows / peer_s:12,.0f} {1.0:12.2f}")
    for mode, name in ((1, "vorlent split_mode 1"), (0, "vorlent split_mode 0")):
        b = vc.Booster(n_estimators=args.trees, split_mode=mode)
        b.fit(X[train], y[train])
        s = best_seconds(lambda: b.predict_raw(X), args.repeat)
        print(f"{name:28s} {args.rows / s:12,.0f} {peer_s / s:12.2f}")


if __name__ == "__main__":
    main()
