"""Data-parallel exact_sums training on a Dask cluster.

The client process coordinates (``_core.fit_shards``: bins, start score, and per tree level
the merged statistics and the split decisions); every worker holding row blocks runs one
actor with those blocks as core shards. Only summaries cross the network: counts, integer
sums and the decisions, never the rows. Everything that is merged is an integer sum,
minimum or maximum, so the model's bytes equal those of an in-process exact_sums fit on the
concatenated rows, whatever the number of workers, the chunking or the placement.
"""

from __future__ import annotations

import threading

import numpy as np
import vorlent_core as _core

from ._shard_actor import ShardActor, block_arrays
from ._transport import DaskShards, SocketShards, WorkerLostError, worker_host

# One fit at a time per client: a second one waits for the first to finish.
_FIT_LOCKS: dict[int, threading.Lock] = {}
_FIT_LOCKS_GUARD = threading.Lock()


def _client_lock(client) -> threading.Lock:
    with _FIT_LOCKS_GUARD:
        return _FIT_LOCKS.setdefault(id(client.scheduler), threading.Lock())


def row_blocks(client, X, y, sample_weight):
    """Delayed blocks (X, y, w) in row order, their row counts and the column count. X's
    blocks are array chunks or frame partitions, as they are."""
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(X, dd.DataFrame):
        lengths = [int(n) for n in client.compute(X.map_partitions(len)).result()]
        xs, width = X.to_delayed(), len(X.columns)
    elif isinstance(X, da.Array) and X.ndim == 2:
        if any(np.isnan(c) for c in X.chunks[0]):
            raise ValueError("X and y need known block lengths (to_dask_array(lengths=True))")
        X = X.rechunk({1: -1})
        lengths, width = [int(c) for c in X.chunks[0]], int(X.shape[1])
        xs = X.to_delayed().ravel()
    else:
        raise TypeError("X must be a two-dimensional dask.array.Array or a dask DataFrame")
    if isinstance(y, (dd.Series, dd.DataFrame)):
        y = y.to_dask_array(lengths=True)
    if isinstance(sample_weight, (dd.Series, dd.DataFrame)):
        sample_weight = sample_weight.to_dask_array(lengths=True)
    if not isinstance(y, da.Array):
        raise TypeError("y must be a dask.array.Array or a dask Series")
    if y.ndim == 2 and y.shape[1] == 1:
        y = y[:, 0]
    if y.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got {y.ndim} dimensions")
    if any(np.isnan(c) for c in y.chunks[0]):
        raise ValueError("X and y need known block lengths (to_dask_array(lengths=True))")
    if sum(lengths) != y.shape[0]:
        raise ValueError(f"X has {sum(lengths)} rows but y has {y.shape[0]}")
    y = y.rechunk((tuple(lengths),))
    w = None
    if sample_weight is not None:
        if not isinstance(sample_weight, da.Array) or sample_weight.ndim != 1:
            raise TypeError("sample_weight must be a one-dimensional dask array or Series")
        if sample_weight.shape[0] != sum(lengths):
            raise ValueError(
                f"sample_weight has {sample_weight.shape[0]} entries but X has {sum(lengths)} rows"
            )
        w = sample_weight.rechunk((tuple(lengths),)).to_delayed().ravel()
    ys = y.to_delayed().ravel()
    return xs, ys, w, lengths, width


class _Placement:
    """The row blocks of one data set computed on the workers and an actor on every worker
    that holds some, built there from its blocks."""

    def __init__(self, client, settings, X, y, sample_weight, classes, schema, timeout: float):
        from dask import delayed

        xs, ys, ws, lengths, self.n_features = row_blocks(client, X, y, sample_weight)
        self.weighted = ws is not None
        self.n_rows = int(sum(lengths))
        prepare = delayed(block_arrays, pure=True)
        blocks = [
            prepare(x, yb, None if ws is None else ws[i], classes, schema)
            for i, (x, yb) in enumerate(zip(xs, ys, strict=True))
        ]
        self.client = client
        self.settings = settings
        self.timeout = timeout
        self.first_rows = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.int64)
        self.blocks = client.compute(blocks)
        self.actors = []
        self.workers: list[str] = []  # the address of each actor's worker

    def start(self):
        """Waits for the blocks, then puts an actor beside each worker's blocks; returns the
        actors' handles."""
        from distributed import wait

        wait(self.blocks, timeout=self.timeout)
        for future in self.blocks:
            if future.status == "error":
                future.result()
        holders = self.client.who_has(self.blocks)
        by_worker: dict[str, list[int]] = {}
        for i, future in enumerate(self.blocks):
            where = holders.get(future.key) or holders.get(str(future.key)) or ()
            if not where:
                raise WorkerLostError(f"row block {i} is held by no worker")
            by_worker.setdefault(min(where), []).append(i)
        for worker, indices in sorted(by_worker.items()):
            self.workers.append(worker)
            self.actors.append(
                self.client.submit(
                    ShardActor,
                    self.settings,
                    [int(self.first_rows[i]) for i in indices],
                    *[self.blocks[i] for i in indices],
                    workers=[worker],
                    allow_other_workers=False,
                    actor=True,
                    pure=False,
                )
            )
        wait(self.actors, timeout=self.timeout)
        return [a.result(timeout=self.timeout) for a in self.actors]

    def shards(self, handles, transport: str, log):
        """The coordinator's handle on this placement's actors over ``transport``."""
        if transport == "socket":
            hosts = [worker_host(w) for w in self.workers]
            return SocketShards(handles, hosts, self.timeout, log)
        return DaskShards(self.client, handles, self.timeout, log)

    def release(self):
        self.client.cancel(self.actors + list(self.blocks))


def fit_booster(
    client,
    keywords,
    X,
    y,
    sample_weight,
    classes,
    timeout: float,
    log=None,
    eval_set=None,
    es_patience: int = 0,
    es_tol: float = 0.0,
    schema=None,
    callback=None,
    transport: str = "dask",
):
    """A booster trained with exact_sums on the Dask collections; the rows stay on the
    workers that hold their blocks. ``eval_set``: (X_val, y_val) Dask collections whose
    exact validation loss the rounds watch (early stopping with es_patience >= 1), held by
    actors of their own. ``log``: a list that receives every message to the workers as
    (method, bytes sent, bytes received), for measurements. ``schema``: the agreed
    FeatureSchema every block is converted with (None: numeric blocks as they are).
    ``callback``: the core's round callback, called with the validation rows' raw scores
    gathered in their order. ``transport``: "dask" (actor calls) or "socket" (a connection of
    its own to each actor)."""
    settings = _core.Booster(**keywords)
    placements = [_Placement(client, settings, X, y, sample_weight, classes, schema, timeout)]
    if eval_set is not None:
        placements.append(_Placement(client, settings, *eval_set, None, classes, schema, timeout))
    train = placements[0]
    links = []
    try:
        with _client_lock(client):
            handles = [p.start() for p in placements]
            if eval_set is not None and placements[1].n_features != train.n_features:
                raise ValueError(
                    f"eval_set has {placements[1].n_features} columns but X has {train.n_features}"
                )
            booster = _core.Booster(**keywords)
            links = [p.shards(h, transport, log) for p, h in zip(placements, handles)]
            shards = links[0]
            val = links[1] if eval_set is not None else None
            _core.fit_shards(
                booster,
                train.n_features,
                train.weighted,
                shards,
                val_call=val,
                n_val=0 if val is None else placements[1].n_rows,
                es_patience=es_patience,
                es_tol=es_tol,
                callback=callback,
            )
        return booster
    except TimeoutError as error:
        raise WorkerLostError(
            f"the row blocks or the shard actors were not ready within {timeout:g} s (fit_timeout)"
        ) from error
    finally:
        for link in links:
            link.close()
        for placement in placements:
            placement.release()
