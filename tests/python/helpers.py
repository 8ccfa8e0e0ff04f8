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
