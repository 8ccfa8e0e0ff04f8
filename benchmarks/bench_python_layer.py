"""What the estimator layer costs over calling the core Booster directly: fit and predict of
VorlentClassifier against vorlent_core.Booster with the same parameters, on the same data,
in one process. The goal: at most 5% more time for fit and 10% for predict.

    .venv/bin/python benchmarks/bench_python_layer.py [--rows 100000] [--features 20]
        [--trees 60] [--repeat 1]

Both sides run the same number of times, interleaved (core, estimator, core, ...), and the
fastest of each is compared, so that a burst of load from other processes on a shared
machine hits both alike. Early stopping is off on both sides (the layer's own part of it, the
split of a validation set, is reported separately). The models are checked to be identical. Last, the estimator's own time is measured directly:
its whole call minus the time inside the core's call (immune to load changing between runs).
"""

import argparse
import os
import time

import numpy as np


def interleaved_best(first, second, repeat: int) -> tuple[float, float]:
    """Fastest time of each of two calls, run alternately `repeat` times."""
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for k, fn in enumerate((first, second)):
            start = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - start)
    return best[0], best[1]


class TimedBooster:
    """A core Booster that adds the seconds spent in its fit and predict_proba to `spent`,
    so that the estimator's own time (the rest of its call) is measured without noise from
    the machine's load swinging between two separate runs."""

    def __init__(self, core, spent: dict, **keywords):
        self._booster = core.Booster(**keywords)
        self._spent = spent

    def _timed(self, name, *args, **kwargs):
        start = time.perf_counter()
        result = getattr(self._booster, name)(*args, **kwargs)
        self._spent[name] = self._spent.get(name, 0.0) + time.perf_counter() - start
        return result

    def fit(self, *args, **kwargs):
        return self._timed("fit", *args, **kwargs)

    def predict_proba(self, *args):
        return self._timed("predict_proba", *args)

    def __getattr__(self, name):
        return getattr(self._booster, name)


def layer_share(vorlent, core, X, y, trees: int) -> dict:
    """Per call, the estimator's time outside the core's call as a share of the core's."""
    import vorlent._base as base

    spent: dict = {}
    base._core = type("TimedCore", (), {"Booster": lambda **kw: TimedBooster(core, spent, **kw)})
    try:
        model = vorlent.VorlentClassifier(n_estimators=trees, random_state=42, early_stopping=False)
        shares = {}
        for name, call in (
            ("fit", lambda: model.fit(X, y)),
            ("predict_proba", lambda: model.predict_proba(X)),
        ):
            start = time.perf_counter()
            call()
            total = time.perf_counter() - start
            shares[name] = (total - spent[name]) / spent[name]
        return shares
    finally:
        base._core = core


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=60)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    import vorlent
    import vorlent_core as vc
    from vorlent._split import validation_split

    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, args.features))
    X[rng.random(X.shape) < 0.02] = np.nan
    y = (np.nan_to_num(X[:, 0] - X[:, 1] + X[:, 2] * X[:, 3]) > 0).astype(float)

    model = vorlent.VorlentClassifier(
        n_estimators=args.trees, random_state=42, early_stopping=False
    )
    booster = vc.Booster(n_estimators=args.trees, seed=42)
    fit_core, fit_layer = interleaved_best(
        lambda: booster.fit(X, y), lambda: model.fit(X, y), args.repeat
    )
    if model.booster_.serialize() != booster.serialize():
        raise SystemExit("the estimator and the core trained different models")
    predict_core, predict_layer = interleaved_best(
        lambda: booster.predict_proba(X), lambda: model.predict_proba(X), args.repeat
    )
    # The estimator's own share of early stopping: drawing and copying the validation split.
    split_seconds = min(
        _timed(lambda: validation_split(y, 0.1, 42, stratify=True))
        for _ in range(max(args.repeat, 3))
    )

    print(
        f"{args.rows:,} rows x {args.features} features, {args.trees} trees, best of "
        f"{args.repeat} interleaved run(s), load average {os.getloadavg()[0]:.1f}"
    )
    print(f"{'call':10s} {'core s':>9s} {'estimator s':>12s} {'ratio':>7s} {'goal':>6s}")
    for name, core_s, layer_s, goal in (
        ("fit", fit_core, fit_layer, 1.05),
        ("predict", predict_core, predict_layer, 1.10),
    ):
        ratio = layer_s / core_s
        mark = "ok" if ratio <= goal else "OVER"
        print(f"{name:10s} {core_s:9.3f} {layer_s:12.3f} {ratio:7.3f} {goal:6.2f} {mark}")
    print(f"stratified validation split (early stopping only): {split_seconds * 1e3:.1f} ms")
    shares = layer_share(vorlent, vc, X, y, args.trees)
    print(
        "the estimator's own time, outside the core's calls in the same call: "
        f"fit +{shares['fit']:.3%}, predict +{shares['predict_proba']:.3%}"
    )


def _timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
