"""Dask collections as lists of row blocks, and per-block results put back together.

Everything in :mod:`vorlent.dask` works block by block: a Dask array's chunks along its rows
(its columns must be one chunk) or a Dask DataFrame's or Series' partitions. The input is
checked here, before any graph is built, and the results are assembled here into a
collection aligned with the input: the same row chunks for an array, the same partitions
and divisions for a frame.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
from dask._task_spec import Alias
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph

#: What a checked input is: a Dask array, DataFrame or Series.
ARRAY, FRAME, SERIES = "array", "frame", "series"


def kind_of(collection, argument: str, allowed: Sequence[str]) -> str:
    """The kind of a Dask collection among ``allowed``; TypeError for anything else."""
    if isinstance(collection, da.Array):
        found = ARRAY
    elif isinstance(collection, dd.DataFrame):
        found = FRAME
    elif isinstance(collection, dd.Series):
        found = SERIES
    else:
        found = None
    if found not in allowed:
        names = {ARRAY: "a dask.array.Array", FRAME: "a dask DataFrame", SERIES: "a dask Series"}
        wanted = " or ".join(names[k] for k in allowed)
        raise TypeError(
            f"{argument} must be {wanted}, got {type(collection).__module__}."
            f"{type(collection).__qualname__} (data in memory goes to the local method or "
            "function itself)"
        )
    return found


def check_matrix(X, argument: str = "X") -> str:
    """Checks a table of rows x features: a 2-D Dask array whose columns are one chunk, or a
    Dask DataFrame. Returns its kind."""
    kind = kind_of(X, argument, (ARRAY, FRAME))
    if kind == ARRAY:
        if X.ndim != 2:
            raise ValueError(
                f"{argument} must be 2-D (rows x columns), got {X.ndim}-D of shape {X.shape}"
            )
        if math.isnan(X.shape[1]):
            raise ValueError(f"{argument} has an unknown number of columns")
        if len(X.chunks[1]) != 1:
            # Rechunking would move every block between workers: the caller decides that.
            raise ValueError(
                f"{argument} is chunked along its columns (column chunks {X.chunks[1]}); every "
                f"block must hold whole rows: use {argument}.rechunk({{1: -1}})"
            )
    return kind


def check_vector(v, argument: str) -> str:
    """Checks one value per row: a 1-D Dask array or a Dask Series. Returns its kind."""
    kind = kind_of(v, argument, (ARRAY, SERIES))
    if kind == ARRAY and v.ndim != 1:
        raise ValueError(f"{argument} must be a one-dimensional array, got {v.ndim} dimension(s)")
    return kind


def check_in_memory(value, argument: str) -> None:
    """TypeError for a Dask collection where in-memory data is wanted."""
    if dask.is_dask_collection(value):
        raise TypeError(
            f"{argument} must be in memory (a NumPy array or a pandas DataFrame), got a "
            f"{type(value).__name__}: compute it first ({argument}.compute())"
        )


def check_aligned(named: dict) -> None:
    """ValueError unless every collection has the same number of blocks and, where both are
    known, the same block lengths."""
    items = list(named.items())
    first_name, first = items[0]
    first_lengths = lengths(first)
    for name, other in items[1:]:
        other_lengths = lengths(other)
        if len(other_lengths) != len(first_lengths):
            raise ValueError(
                f"{name} has {len(other_lengths)} blocks but {first_name} has "
                f"{len(first_lengths)}: they must be split into the same row blocks"
            )
        for i, (a, b) in enumerate(zip(first_lengths, other_lengths)):
            if not (math.isnan(a) or math.isnan(b)) and a != b:
                raise ValueError(
                    f"block {i} of {name} has {b:g} rows but that of {first_name} has {a:g}: "
                    "they must be split into the same row blocks"
                )


def blocks(collection) -> list[Delayed]:
    """The row blocks (array chunks or partitions) as Delayed objects, in row order."""
    if isinstance(collection, da.Array):
        return list(collection.to_delayed().ravel())
    return list(collection.to_delayed())


def lengths(collection) -> tuple:
    """Rows per block (int), NaN where Dask does not know it (partitions of a frame)."""
    if isinstance(collection, da.Array):
        return tuple(collection.chunks[0])
    return (math.nan,) * collection.npartitions


def empty_rows(X):
    """A block without rows of the same columns and dtypes: what a method is tried on
    before any graph is built, to check the input and learn the output's shape."""
    if isinstance(X, da.Array):
        return np.empty((0, *X.shape[1:]), dtype=X.dtype)
    return X._meta


def assemble(like, parts: Sequence[Delayed], meta, name: str):
    """One collection from per-block results aligned with ``like``.

    Parameters
    ----------
    like : dask.array.Array, dask DataFrame or Series
        The input whose row blocks the parts follow.
    parts : sequence of Delayed
        One result per block of ``like``, in order.
    meta : numpy.ndarray or pandas object
        An empty result: an array gives a Dask array (row chunks of ``like``, the other
        axes whole), a pandas DataFrame or Series gives a Dask one with the divisions of
        ``like``.
    name : str
        Prefix of the keys of the new collection.
    """
    if isinstance(meta, np.ndarray):
        return _array(parts, lengths(like), meta, name)
    known = not isinstance(like, da.Array) and like.known_divisions
    divisions = like.divisions if known else None
    # verify_meta stays on: a partition of the wrong dtypes fails loudly, and dask's
    # unverified path aliases a partition's key to itself.
    return dd.from_delayed(list(parts), meta=meta, divisions=divisions, prefix=name)


def _array(parts: Sequence[Delayed], rows: tuple, meta: np.ndarray, name: str) -> da.Array:
    """A Dask array whose i-th row chunk is ``parts[i]`` (empty chunks included, which
    ``da.concatenate`` would drop), as ``da.from_delayed`` builds one chunk."""
    name = f"{name}-{dask.base.tokenize(*parts)}"
    trailing = (0,) * (meta.ndim - 1)
    layer = {}
    for i, part in enumerate(parts):
        alias = Alias(key=(name, i, *trailing), target=part.key)
        layer[alias.key] = alias
    graph = HighLevelGraph.from_collections(name, layer, dependencies=list(parts))
    chunks = (tuple(rows), *((n,) for n in meta.shape[1:]))
    return da.Array(graph, name, chunks, dtype=meta.dtype, meta=meta)


def task(function, name: str):
    """``function`` as a Delayed callable: each call is one task whose key is ``name`` and a
    token of the arguments (Delayed blocks and Futures are tokenized by their keys)."""

    def call(*args) -> Delayed:
        key = f"{name}-{dask.base.tokenize(function, *args)}"
        return dask.delayed(function, pure=True)(*args, dask_key_name=key)

    return call
