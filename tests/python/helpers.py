"""Data builders shared by the Python tests."""

import numpy as np


def planted_binary(n=3000, d=6, seed=0, nan_share=0.0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, d))
    logit = 2.0 * (X[:, 0] - X[:, 1]) + X[:, 2] * X[:, 3]
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-logit))).astype(float)
    if nan_share:
        X[rng.random(X.shape) < nan_share] = np.nan
    return X, y


def mixed_data(n=9000, seed=1):
    """Numeric columns with missing values plus a categorical column of 5 codes."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 7))
    X[:, 6] = rng.integers(0, 5, size=n)
    offsets = np.array([-1.0, 0.5, 1.0, -0.5, 0.0])
    signal = X[:, 0] * X[:, 1] + offsets[X[:, 6].astype(int)] + 0.5 * X[:, 2]
    numeric = X[:, :6]  # a view: the mask writes into X
    numeric[rng.random((n, 6)) < 0.05] = np.nan
    return X, signal, rng


# (objective, loss, max_lineage) of every model kind that training can make: each
# objective and loss with the histogram builder and, for single-output objectives, with the
# lineage builder (which cannot train the multiclass objective).
TRAINED_KINDS = [
    (0, 0, 0),
    (0, 0, 2),
    (1, 0, 0),
    (1, 0, 2),
    (1, 1, 0),
    (1, 1, 2),
    (1, 2, 0),
    (1, 2, 2),
    (2, 0, 0),
]


def kind_id(kind) -> str:
    objective, loss, lineage = kind
    name = ["binary", "regression", "multiclass"][objective]
    if objective == 1:
        name += "_" + ["squared", "huber", "quantile"][loss]
    return name + ("_lineage" if lineage else "")


def target_for(objective, signal, rng):
    if objective == 0:
        return (signal > 0).astype(float)
    if objective == 1:
        return signal + 0.1 * rng.normal(size=len(signal))
    return np.digitize(signal, [-0.5, 0.5]).astype(float)


def trained_model(kind, n=500, seed=1, **params):
    """A small model of `kind` trained on mixed_data, whose last column is categorical, so
    the histogram builder makes categorical-pair splits. Returns (booster, X)."""
    from vorlent_core import Booster

    objective, loss, lineage = kind
    X, signal, rng = mixed_data(n=n, seed=seed)
    settings = {"n_estimators": 6, "max_depth": 3, "min_samples": 5}
    settings.update(params)
    b = Booster(
        objective=objective,
        loss=loss,
        max_lineage=lineage,
        categorical=[0] * 6 + [1],
        **settings,
    )
    b.fit(X, target_for(objective, signal, rng))
    return b, X


def run_capped(code, *args, memory_gb=4.0, timeout=300, env=None):
    """Runs `code` in a child interpreter with its address space capped and a timeout, so
    that a crash, a runaway allocation or a hang fails the calling test, not the run.
    Returns the CompletedProcess (text output)."""
    import os
    import pathlib
    import resource
    import subprocess
    import sys

    limit = int(memory_gb * 2**30)

    def cap():
        # AddressSanitizer reserves terabytes of shadow address space and cannot start
        # under a cap; the sanitizer run relies on its own checks instead.
        if not sanitized():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        check=False,
        capture_output=True,
        text=True,
        cwd=pathlib.Path(__file__).parent,
        env=dict(os.environ, **(env or {})),
        timeout=timeout,
        preexec_fn=cap,
    )


def sanitized():
    """True when the module under test runs under AddressSanitizer (GCC's or LLVM's runtime)."""
    import os

    return "asan" in os.environ.get("LD_PRELOAD", "")
