"""The validation rows that early stopping holds back when no ``eval_set`` is given."""

from __future__ import annotations

import math

import numpy as np

# Fewer training rows than this train a constant model: such a split is refused.
MIN_TRAINING_ROWS = 2


def validation_split(target: np.ndarray, fraction, seed: int, stratify: bool):
    """Training and validation row numbers (each sorted), drawn from ``seed``.

    ``fraction`` is a share of the rows (float; rounded up, as scikit-learn's
    ``train_test_split`` does) or a row count (int); one that leaves fewer than 2 training
    rows is refused. With ``stratify`` the rows are split class by class: each class gives
    its share of the validation rows (the rounding remainders going to the classes with
    the largest fractional parts) and keeps at least one training row, so that the model
    still sees every class.
    """
    n = len(target)
    groups = (
        [np.flatnonzero(target == c) for c in np.unique(target)] if stratify else [np.arange(n)]
    )
    asked = math.ceil(fraction * n) if isinstance(fraction, float) else int(fraction)
    wanted = min(asked, n - len(groups))
    if wanted < 1:
        raise ValueError(
            f"validation_fraction={fraction!r} leaves no validation rows out of n_samples={n}"
            f"{' in ' + str(len(groups)) + ' classes' if stratify else ''}; pass more rows, "
            "an eval_set, or early_stopping=False"
        )
    if n - asked < MIN_TRAINING_ROWS:
        raise ValueError(
            f"validation_fraction={fraction!r} holds back {asked} rows and leaves "
            f"{max(n - asked, 0)} training rows out of n_samples={n}; at least "
            f"{MIN_TRAINING_ROWS} are needed: lower validation_fraction, pass an eval_set, or "
            "early_stopping=False"
        )
    sizes = np.array([len(g) for g in groups])
    exact = wanted * sizes / n
    take = np.minimum(np.floor(exact).astype(np.int64), sizes - 1)
    # wanted <= sum(sizes - 1), so the remainder always finds groups with rows to spare.
    order = np.argsort(-(exact - take), kind="stable")
    while take.sum() < wanted:
        for g in order:
            if take.sum() < wanted and take[g] < sizes[g] - 1:
                take[g] += 1
    rng = np.random.RandomState(seed)
    held = np.concatenate([rng.permutation(rows)[:k] for rows, k in zip(groups, take)])
    val_rows = np.sort(held)
    mask = np.ones(n, dtype=bool)
    mask[val_rows] = False
    return np.flatnonzero(mask), val_rows
