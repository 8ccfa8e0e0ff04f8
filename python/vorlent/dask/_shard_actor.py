"""The worker side of training on Dask: one actor per worker holds that worker's row blocks
as core shards and answers the coordinator's messages for all of them."""

from __future__ import annotations

import numpy as np
import vorlent_core as _core

from .._data import predict_matrix
from ._sockets import ShardServer


class ShardActor:
    """Holds the blocks given to it (each ``(X, y, w)``, starting at the matching global row
    of ``first_rows``) as one ``_core.Shard``.

    Built on the worker that already holds the blocks, so that the rows never travel. The
    blocks are one shard, so every message gets one answer, merged over all of them.
    """

    def __init__(self, settings, first_rows, *blocks):
        parts = [(X, y, w, int(first)) for first, (X, y, w) in zip(first_rows, blocks, strict=True)]
        self.shard = _core.Shard.from_blocks(parts, settings)

    def call(self, method: str, *args) -> list:
        return [getattr(self.shard, method)(*args)]

    def rows(self) -> int:
        return self.shard.n_rows

    def listen(self, host: str, idle_timeout: float) -> tuple:
        """Opens a port on ``host`` that answers ``call``'s messages for one coordinator (the
        socket transport); returns its address and the token the coordinator must present."""
        self.server = ShardServer(self.call, host, idle_timeout)
        return self.server.address, self.server.token


def block_arrays(X, y, w, classes, schema=None):
    """One block as the core reads it: float64 rows (converted as ``schema`` says when it
    is given: category codes, columns by name), targets (class codes when ``classes`` is
    given) and weights or None."""
    if schema is not None:
        X = predict_matrix(X, schema)
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
