"""The gradient of the training loss that a tree was grown to fit: the loss's derivative at
the raw score of the trees before it, per row.

The score before tree ``t`` is the model's raw score minus what trees ``t, t+1, ...`` add
(rows routed by :mod:`._routing`), so the base score needs no separate record. The
derivative is the core's own (``Booster.gradients``); rows are unweighted, and Huber's
threshold is taken from the rows given, as training takes it from its rows.
"""

from __future__ import annotations

import numpy as np

from .._data import target_vector
from ._routing import leaves, tree_of


def scores_before(parts, X: np.ndarray, tree_index: int) -> np.ndarray:
    """Raw scores of the rows of ``X`` after the first ``tree_index`` trees (unclipped):
    shape (rows,) or (rows, classes)."""
    nodes = parts.booster.tree_nodes()
    scores = np.array(_unclipped(parts, X), dtype=np.float64)
    for t in range(tree_index, parts.booster.n_trees()):
        tree = tree_of(nodes, t)
        at = leaves(tree, X)
        if scores.ndim == 1:
            added = np.array([raw["contribution"] for raw in tree])
        else:
            width = scores.shape[1]
            added = np.array([raw["contributions"] or [0.0] * width for raw in tree])
        scores -= added[at]
    return scores


def _unclipped(parts, X):
    if parts.keywords.get("clip"):
        raise ValueError(
            "gradients are not available for a model that clips its predictions "
            "(clip_to_target_range=True); use color_by='target'"
        )
    return parts.booster.predict_raw(X)


def targets(parts, y, n_rows: int) -> np.ndarray:
    """``y`` as the core's numbers: class codes for a classifier, values for a regressor."""
    column = target_vector(y, argument="y")
    if len(column) != n_rows:
        raise ValueError(f"y has {len(column)} entries but X has {n_rows} rows")
    classes = getattr(parts.estimator, "classes_", None)
    if classes is not None:
        from .._classifier import class_codes

        return class_codes(column, classes)
    if parts.estimator is not None:
        from .._regressor import regression_targets

        return regression_targets(column)
    return np.asarray(column, dtype=np.float64)


def gradients(parts, X, y, tree_index: int, class_index: int = 0) -> np.ndarray:
    """Per row, the loss gradient at the score before tree ``tree_index`` (for a multiclass
    model: of the output ``class_index``), as the core's objective computes it."""
    target = targets(parts, y, X.shape[0])
    grad, _ = parts.booster.gradients(target, scores_before(parts, X, tree_index))
    return grad if grad.ndim == 1 else grad[:, class_index]
