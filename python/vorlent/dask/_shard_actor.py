"""The worker side of training on Dask: one actor per worker holds that worker's row blocks
as core shards and answers the coordinator's messages for all of them."""

from __future__ import annotations

import numpy as np
import vorlent_core as _core


class ShardActor:
    """Holds the blocks given to it (each ``(first_row, X, y, w)``) as ``_core.Shard``s.

    Built on the worker that already holds the blocks, so that the rows never travel. Each
    message goes to every shard of the actor; the answers come back in block order.
    """

    def __init__(self, settings, first_rows, *blocks):
        self.shards = []
        for first_row, (X, y, w) in zip(first_rows, blocks, strict=True):
            self.shards.append(_core.Shard(X, y, w, int(first_row), settings))

    def call(self, method: str, *args) -> list:
        return [getattr(shard, method)(*args) for shard in self.shards]

    def rows(self) -> int:
        return sum(shard.n_rows for shard in self.shards)


def block_arrays(X, y, w, classes):
    """One block as the core reads it: float64 rows, targets (class codes when ``classes``
    is given) and weights or None."""
    X = np.ascontiguousarray(X, dtype=np.float64)
    if X.ndim != 2:
        raise ValueError(f"X blocks must be two-dimensional, got {X.ndim} dimension(s)")
    y = np.asarray(y).reshape(-1)
    if classes is not None:
        codes = np.searchsorted(classes, y)
        codes = np.minimum(codes, len(classes) - 1)
        if len(y) and not np.array_equal(classes[codes], y):
            raise ValueError("y holds a label that the classes do not")
        y = codes.astype(np.float64)
    else:
        y = np.ascontiguousarray(y, dtype=np.float64)
    if w is not None:
        w = np.ascontiguousarray(np.asarray(w).reshape(-1), dtype=np.float64)
    return X, y, w
