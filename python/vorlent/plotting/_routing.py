"""The core's routing rule in NumPy, over the raw node dicts of ``Booster.tree_nodes()``: which
rows reach a node, which way they go there, and the leaf each row ends in.

The arithmetic follows the core's order of operations (pair tests add ``coef_b * b`` first,
projections start from the bias and add the columns in order), so rows land where the
model sends them, ties at the threshold included.
"""

from __future__ import annotations

import numpy as np


def tree_of(nodes: list[dict], tree_index: int) -> list[dict]:
    """The raw nodes of one tree, indexed by node number."""
    return [raw for raw in nodes if raw["tree"] == tree_index]


def missing_rows(raw: dict, X: np.ndarray) -> np.ndarray:
    """Rows missing a value the node's test reads."""
    return np.isnan(X[:, read_columns(raw)]).any(axis=1)


def read_columns(raw: dict) -> list[int]:
    """The columns an internal node's test reads."""
    if raw["projection"] is not None:
        return [j for j, d in enumerate(raw["projection"]) if d != 0.0]
    if raw["kind"] == 1:
        return [raw["feature_a"]]
    return [raw["feature_a"], raw["feature_b"]]


def test_value(raw: dict, X: np.ndarray) -> np.ndarray:
    """The number an oblique, category-pair or projection test compares with 0 (a row goes
    left when it is below 0), or the axis test's feature value (left below ``threshold``)."""
    if raw["projection"] is not None:
        s = np.full(X.shape[0], raw["bias"])
        for j, d in enumerate(raw["projection"]):
            if d != 0.0:
                s = s + X[:, j] * d
        return s
    a = X[:, raw["feature_a"]]
    if raw["kind"] == 1:
        return a
    b = X[:, raw["feature_b"]]
    if raw["kind"] == 3:
        first = raw["coef_b"] * b + category_offsets(raw, a)
    else:
        first = raw["coef_b"] * b + raw["coef_a"] * a
    return first + raw["bias"]


def category_offsets(raw: dict, codes: np.ndarray) -> np.ndarray:
    """The offset of every row's category code (0 for a code without one, NaN stays NaN)."""
    table = np.asarray(raw["category_values"], dtype=np.float64)
    with np.errstate(invalid="ignore"):
        inside = (codes > -1.0) & (codes < len(table))
    out = np.zeros(len(codes))
    out[inside] = table[codes[inside].astype(np.int64)]
    out[np.isnan(codes)] = np.nan
    return out


def goes_right(raw: dict, X: np.ndarray) -> np.ndarray:
    """Per row: whether the internal node sends it right (its left test fails)."""
    value = test_value(raw, X)
    with np.errstate(invalid="ignore"):
        right = ~(raw["threshold"] > value) if is_axis(raw) else ~(value < 0.0)
    right[missing_rows(raw, X)] = bool(raw["missing_right"])
    return right


def is_axis(raw: dict) -> bool:
    return raw["projection"] is None and raw["kind"] == 1


def rows_reaching(tree: list[dict], node: int, X: np.ndarray) -> np.ndarray:
    """Boolean mask of the rows of ``X`` that reach ``node`` of ``tree``."""
    path = [node]
    parent = {child: raw["node"] for raw in tree for child in (raw["left"], raw["right"])}
    while path[-1] != 0:
        path.append(parent[path[-1]])
    mask = np.ones(X.shape[0], dtype=bool)
    for above, below in zip(path[:0:-1], path[-2::-1]):
        raw = tree[above]
        right = goes_right(raw, X)
        mask &= right if below == raw["right"] else ~right
    return mask


def leaves(tree: list[dict], X: np.ndarray) -> np.ndarray:
    """The leaf node number every row of ``X`` ends in."""
    at = np.zeros(X.shape[0], dtype=np.int64)
    for raw in tree:  # preorder: a node is seen before its children
        if raw["is_leaf"]:
            continue
        here = at == raw["node"]
        if here.any():
            right = goes_right(raw, X[here])
            at[here] = np.where(right, raw["right"], raw["left"])
    return at
