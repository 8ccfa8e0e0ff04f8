"""Per-row explanations: vorlent's explain against the peers' per-feature contributions.

Trains LightGBM and XGBoost on a synthetic binary task (100,000 rows x 28 columns, 200
trees of depth 4) and times LightGBM's predict(pred_contrib=True), XGBoost's
predict(pred_contribs=True) and vorlent's Booster.explain on the same rows, with the same
number of threads. The vorlent model is trained with Booster.fit; a build without fit
loads a model of the same size (random full depth-4 trees mixing axis and oblique
splits) from bytes through Booster.deserialize instead. The peers compute exact tree
SHAP values, vorlent shares each tree's leaf value along the row's path; the timings
compare what each library offers for explaining a row.

    python benchmarks/bench_explain.py [--rows N] [--trees N] [--repeat N] [--threads N]
"""

import argparse
import os
import struct
import time

import numpy as np

N_COLS = 28
DEPTH = 4
HEADER = struct.Struct("<ddiiddi")
NODE = struct.Struct("<Bdiiiddddiiidii")


def synthetic(rows, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, N_COLS))
    logit = X[:, 0] - 0.8 * X[:, 1] + X[:, 2] * X[:, 3] + 0.5 * (X[:, 4] > 0.5)
    y = (logit + rng.normal(size=rows) > 0).astype(np.float64)
    return X, y


def timed(fn, repeat):
    """The best of `repeat` runs, in seconds, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def random_tree_nodes(rng, depth):
    """A full tree in depth-first preorder, as tuples of node-record fields."""
    nodes = []

    def grow(level):
        index = len(nodes)
        nodes.append(None)
        value = float(rng.normal(scale=0.5))
        if level == depth:
            nodes[index] = (1, value, 0, -1, -1, 0.0, 0.0, 0.0, 0.0, -1, -1, 0, 0.0, -1, 0)
            return index
        gain = float(rng.exponential(5.0)) + 1e-3
        missing_right = int(rng.integers(2))
        if rng.random() < 0.5:
            feature = int(rng.integers(N_COLS))
            threshold = float(rng.normal(scale=0.5))
            test = (1, feature, -1, threshold, 0.0, 0.0, 0.0)
        else:
            a, b = sorted(rng.choice(N_COLS, size=2, replace=False).tolist())
            ca, cb = rng.normal(size=2)
            test = (2, a, b, 0.0, float(ca), float(cb), float(rng.normal(scale=0.5)))
        left = grow(level + 1)
        right = grow(level + 1)
        kind, fa, fb, threshold, ca, cb, bias = test
        nodes[index] = (
            0,
            value,
            kind,
            fa,
            fb,
            threshold,
            ca,
            cb,
            bias,
            left,
            right,
            missing_right,
            gain,
            -1,
            0,
        )
        return index

    grow(0)
    return nodes


def crafted_model_bytes(n_trees, learning_rate=0.1, seed=1):
    """Model bytes of a binary model with n_trees random full trees over N_COLS columns."""
    rng = np.random.default_rng(seed)
    out = bytearray(HEADER.pack(0.0, learning_rate, 0, 0, 0.0, 0.0, 1))
    gains = rng.random(N_COLS)
    out += struct.pack("<i", N_COLS) + gains.astype("<f8").tobytes()
    out += struct.pack("<i", N_COLS) + gains.astype("<f8").tobytes()
    out += struct.pack("<i", N_COLS * N_COLS) + np.zeros(N_COLS * N_COLS).astype("<f8").tobytes()
    out += struct.pack("<i", n_trees)
    for _ in range(n_trees):
        nodes = random_tree_nodes(rng, DEPTH)
        out += struct.pack("<i", len(nodes))
        for fields in nodes:
            out += NODE.pack(*fields)
    out += struct.pack("<i", 0)  # no projections
    out += struct.pack("<i", 0)  # no per-output start values
    return bytes(out)


def vorlent_model(X, y, n_trees):
    """A trained (or, without fit, loaded) vorlent Booster and how it was made."""
    import vorlent_core

    if hasattr(vorlent_core.Booster, "fit"):
        booster = vorlent_core.Booster(n_estimators=n_trees, max_depth=DEPTH, learning_rate=0.1)
        booster.fit(X, y)
        return booster, "trained with Booster.fit"
    if hasattr(vorlent_core.Booster, "deserialize"):
        booster = vorlent_core.Booster(max_depth=DEPTH)
        booster.deserialize(crafted_model_bytes(n_trees))
        return booster, "random full depth-4 trees loaded with Booster.deserialize"
    return None, "skipped: this build of vorlent_core has neither Booster.fit nor deserialize"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--trees", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    # The OpenMP runtime reads this once, when vorlent_core is first imported.
    os.environ["OMP_NUM_THREADS"] = str(args.threads)

    X, y = synthetic(args.rows)
    print(
        f"{args.rows} rows x {N_COLS} columns, {args.trees} trees of depth {DEPTH}, "
        f"{args.threads} thread(s), best of {args.repeat}"
    )
    results = {}

    booster, how = vorlent_model(X, y, args.trees)
    print(f"vorlent: {how}")
    if booster is not None:
        seconds, contrib = timed(lambda: booster.explain(X), args.repeat)
        gap = contrib.sum(axis=1) - booster.predict_raw(X)
        # Every path of these models credits some column, so the gap is one constant.
        print(
            f"  contributions sum to the raw score up to a constant: "
            f"{np.ptp(gap) < 1e-9 * max(1.0, np.abs(gap).max())}"
        )
        results["vorlent explain"] = seconds

    try:
        import lightgbm as lgb

        model = lgb.LGBMClassifier(
            n_estimators=args.trees,
            max_depth=DEPTH,
            num_leaves=2**DEPTH,
            n_jobs=args.threads,
            verbose=-1,
        )
        model.fit(X, y)
        results["LightGBM pred_contrib"], _ = timed(
            lambda: model.predict(X, pred_contrib=True), args.repeat
        )
    except ImportError:
        print("LightGBM: not installed, skipped")

    try:
        import xgboost as xgb

        model = xgb.XGBClassifier(
            n_estimators=args.trees, max_depth=DEPTH, tree_method="hist", n_jobs=args.threads
        )
        model.fit(X, y)
        matrix = xgb.DMatrix(X, nthread=args.threads)
        results["XGBoost pred_contribs"], _ = timed(
            lambda: model.get_booster().predict(matrix, pred_contribs=True), args.repeat
        )
    except ImportError:
        print("XGBoost: not installed, skipped")

    print(f"{'method':<24}{'seconds':>10}{'rows/s':>14}")
    for name, seconds in results.items():
        print(f"{name:<24}{seconds:>10.3f}{args.rows / seconds:>14,.0f}")
    ours = results.get("vorlent explain")
    if ours is not None:
        for name, seconds in results.items():
            if name != "vorlent explain":
                print(f"vorlent explain is {seconds / ours:.1f}x faster than {name}")


if __name__ == "__main__":
    main()
