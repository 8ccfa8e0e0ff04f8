"""Out-of-fold target encoding of Dask collections, equal bit for bit to the local one.

``vorlent_core.te_fit_transform`` adds up, in row order and in double precision, the count,
sum and sum of squares of the targets of every (fold, code) cell and of every fold; the
rest (per-code and overall sums in fold order, the out-of-fold means and variances, the
shrunk encodings) is a small computation on those tables. Floating-point addition is not
associative, so partial sums of the blocks added afterwards would change the last bits.
Here the cells' running sums are carried through the blocks in row order instead: the
first block starts from zeros, each block adds its rows to the state the previous block
left (``numpy.add.at``, which adds its entries one after another in index order, exactly
the sequence of additions of the core's loop) and passes the state on. Every cell thus
receives the same additions in the same order as in the core, so the tables are the same
doubles. The small computation on the tables then repeats the core's expressions operation
by operation (the core is built without fused multiply-adds, ``-ffp-contract=off``), and
each block's encodings are looked up in the finished table, in parallel.

Only the accumulation runs block after block, moving a state of ``24 * K * nf`` bytes from
one block's worker to the next; reading the data and encoding the rows run in parallel.
"""

from __future__ import annotations

import numbers

import dask
import numpy as np
import vorlent_core as _core

from . import _blocks
from ._arguments import integer


def te_fit_transform(codes, y, folds, K, nf):
    """Out-of-fold target encoding of the category codes of a Dask collection, lazily, with
    the numbers of ``vorlent_core.te_fit_transform`` on the concatenated rows.

    Parameters
    ----------
    codes : dask.array.Array of shape (n_rows,) or dask Series
        Category codes (converted to int64 block by block, as the core converts them);
        codes outside 0 .. K-1 take no part in the statistics.
    y : dask.array.Array or dask Series
        Targets (float64), split into the same row blocks as ``codes``.
    folds : dask.array.Array or dask Series
        Fold of every row, whole numbers in 0 .. nf-1, split like ``codes``: for example
        :func:`vorlent.dask.make_folds` of ``y``.
    K : int
        Number of categories.
    nf : int
        Number of folds.

    Returns
    -------
    encodings : dask.array.Array of float64 with the chunks of ``codes``, or a dask Series
        named ``"encoding"`` with its index and divisions
    full_map : dask.array.Array of float64, shape (K,)
        The encoding of every code learned from all rows, for :func:`te_transform`.
    gmean : dask.array.Array of float64, shape ()
        The mean target of the rows with a valid code (0 if none).

        Compute the three in one ``dask.compute`` call to read the data once. With Series
        inputs Dask then warns that it computes frames and arrays together (a Dask
        limitation of the moment); the numbers are unaffected.

    Raises
    ------
    TypeError
        An input that is not a Dask array or Series, K or nf not an integer.
    ValueError
        Before anything runs: K < 0, nf < 1, inputs split into different blocks. When
        computed: a fold that is not a whole number in 0 .. nf-1 (naming its row), or
        blocks of different lengths.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import vorlent_core as vc
    >>> from vorlent.dask import te_fit_transform
    >>> rng = np.random.default_rng(0)
    >>> codes, y = rng.integers(0, 4, 50), rng.normal(size=50)
    >>> folds = vc.make_folds(y, 3, 1, False)
    >>> enc, full_map, gmean = te_fit_transform(
    ...     *(da.from_array(v, chunks=20) for v in (codes, y, folds)), 4, 3)
    >>> local = vc.te_fit_transform(codes, y, folds, 4, 3)
    >>> bool((enc.compute() == local[0]).all() and gmean.compute() == local[2])
    True
    """
    kind = _blocks.check_vector(codes, "codes")
    _blocks.check_vector(y, "y")
    _blocks.check_vector(folds, "folds")
    K = integer(K, "K", 0, 2**31 - 1)
    nf = integer(nf, "nf", 1, 2**31 - 1)
    _blocks.check_aligned({"codes": codes, "y": y, "folds": folds})

    state = _empty_state(K, nf)
    step = _blocks.task(_accumulate, "vorlent-te-accumulate")
    code_blocks, fold_blocks = _blocks.blocks(codes), _blocks.blocks(folds)
    for c, v, f in zip(code_blocks, _blocks.blocks(y), fold_blocks):
        state = step(state, c, v, f, K, nf)
    tables = _blocks.task(_tables, "vorlent-te-tables")(state, K, nf)

    encode = _blocks.task(_encode, "vorlent-te-encode")
    parts = [encode(c, f, tables) for c, f in zip(code_blocks, fold_blocks)]
    encodings = _blocks.assemble(codes, parts, _meta(codes, kind, "encoding"), "vorlent-te")

    import dask.array as da

    pick = _blocks.task(_pick, "vorlent-te-result")
    full_map = da.from_delayed(pick(tables, "full_map"), shape=(K,), dtype=np.float64)
    gmean = da.from_delayed(pick(tables, "gmean"), shape=(), dtype=np.float64)
    return encodings, full_map, gmean


def te_transform(codes, full_map, gmean):
    """Encode the category codes of a Dask collection with a fitted map, lazily:
    ``vorlent_core.te_transform`` on every block.

    Parameters
    ----------
    codes : dask.array.Array of shape (n_rows,) or dask Series
        Category codes.
    full_map : array-like or dask.array.Array of float, shape (K,)
        The map from :func:`te_fit_transform` (or ``vorlent_core.te_fit_transform``).
    gmean : float or dask.array.Array of shape ()
        The value of every code outside the map.

    Returns
    -------
    dask.array.Array of float64 with the chunks of ``codes``, or a dask Series named
    ``"encoding"`` with its index and divisions
    """
    kind = _blocks.check_vector(codes, "codes")
    in_memory = not hasattr(full_map, "dask")
    if in_memory:
        full_map = np.asarray(full_map, dtype=np.float64)
    if full_map.ndim != 1:
        raise ValueError(
            f"full_map must be a one-dimensional array, got {full_map.ndim} dimension(s)"
        )
    if in_memory:  # one key of the graph that every block's task refers to
        full_map = dask.delayed(full_map, pure=True, traverse=False)
    if hasattr(gmean, "dask"):
        if gmean.ndim != 0:
            raise ValueError(f"gmean must be a single number, got shape {gmean.shape}")
    elif isinstance(gmean, (bool, np.bool_)) or not isinstance(gmean, numbers.Real):
        raise TypeError(f"gmean must be a number, got {type(gmean).__name__}")
    transform = _blocks.task(_transform, "vorlent-te-transform")
    parts = [transform(c, full_map, gmean) for c in _blocks.blocks(codes)]
    return _blocks.assemble(codes, parts, _meta(codes, kind, "encoding"), "vorlent-te-transform")


def _empty_state(K: int, nf: int) -> dict:
    """Rows seen so far, and per (fold, code) cell (fold-major) and per fold the count, sum
    and sum of squares of the targets."""
    return {
        "rows": 0,
        "cell": np.zeros((3, nf * K)),
        "fold": np.zeros((3, nf)),
    }


def _accumulate(state: dict, codes, y, folds, K: int, nf: int) -> dict:
    """The state after one more block of rows, added in row order."""
    c = _as(codes, np.int64)
    v = _as(y, np.float64)
    f = _as(folds, np.float64)
    rows = len(c)
    if not rows == len(v) == len(f):
        raise ValueError(
            f"a block of codes, y and folds has {len(c)}, {len(v)} and {len(f)} rows: they "
            "must be split into the same row blocks"
        )
    _check_folds(f, nf, state["rows"])
    keep = (c >= 0) & (c < K)
    c, v, fold = c[keep], v[keep], f[keep].astype(np.int64)
    square = v * v
    cell = state["cell"].copy()
    per_fold = state["fold"].copy()
    where = fold * K + c
    for moments, index in ((cell, where), (per_fold, fold)):
        np.add.at(moments[0], index, 1.0)
        np.add.at(moments[1], index, v)
        np.add.at(moments[2], index, square)
    return {"rows": state["rows"] + rows, "cell": cell, "fold": per_fold}


def _check_folds(f: np.ndarray, nf: int, first_row: int) -> None:
    """The core's refusal of the first fold that is not a whole number in 0 .. nf-1."""
    not_whole = ~(f == np.trunc(f))
    outside = ~((f >= 0.0) & (f < float(nf)))
    bad = not_whole | outside
    if not bad.any():
        return
    r = int(np.argmax(bad))
    text = f"{f[r]:.17g}"
    if not_whole[r]:
        raise ValueError(f"folds entry {first_row + r} is {text}, not a whole fold number")
    raise ValueError(f"folds entry {first_row + r} is {text}, outside 0 .. nf-1 = 0 .. {nf - 1}")


def _shrink(prior_mean, prior_var, n, s, q) -> np.ndarray:
    """The core's shrunk mean of every code, operation by operation: the code's own mean
    weighs more with more rows and less with more spread; a code without rows or without
    spread gets prior_mean, and a NaN spread propagates."""
    with np.errstate(all="ignore"):
        between = n * prior_var
        a = between + (q - s * s / n) / n
        w = between / a
        shrunk = prior_mean * (1 - w) + (s / n) * w
    return np.where((n <= 0) | (a <= 0), prior_mean, shrunk)


def _tables(state: dict, K: int, nf: int) -> dict:
    """Per (fold, code) the out-of-fold encoding, per fold the out-of-fold mean (the value
    of codes outside the map), the full map and the overall mean, as the core derives
    them from the same sums."""
    n, s, q = (m.reshape(nf, K) for m in state["cell"])
    fold_n, fold_s, fold_q = state["fold"]
    # Per code and overall, summed in fold order.
    code_n, code_s, code_q = np.zeros(K), np.zeros(K), np.zeros(K)
    all_n = all_s = all_q = np.float64(0.0)
    for f in range(nf):
        code_n, code_s, code_q = code_n + n[f], code_s + s[f], code_q + q[f]
        all_n, all_s, all_q = all_n + fold_n[f], all_s + fold_s[f], all_q + fold_q[f]

    table = np.empty((nf, K))
    mu = np.zeros(nf)
    for f in range(nf):
        out_n, out_s, out_q = all_n - fold_n[f], all_s - fold_s[f], all_q - fold_q[f]
        var = np.float64(0.0)
        if out_n > 0:
            mu[f] = out_s / out_n
            var = out_q / out_n - mu[f] * mu[f]
        table[f] = _shrink(mu[f], var, code_n - n[f], code_s - s[f], code_q - q[f])

    gmean = overall_var = np.float64(0.0)
    if all_n > 0:
        gmean = all_s / all_n
        overall_var = all_q / all_n - gmean * gmean
    full_map = _shrink(gmean, overall_var, code_n, code_s, code_q)
    return {"table": table, "mu": mu, "full_map": full_map, "gmean": np.float64(gmean)}


def _encode(codes, folds, tables: dict):
    """One block's out-of-fold encodings, looked up in the finished table."""
    c = _as(codes, np.int64)
    f = _as(folds, np.float64).astype(np.int64)
    table, mu = tables["table"], tables["mu"]
    K = table.shape[1]
    keep = (c >= 0) & (c < K)
    encodings = mu[f]
    encodings[keep] = table[f[keep], c[keep]]
    return _labelled(encodings, codes)


def _transform(codes, full_map, gmean):
    encodings = _core.te_transform(_as(codes, np.int64), np.asarray(full_map), float(gmean))
    return _labelled(encodings, codes)


def _pick(tables: dict, name: str):
    return tables[name]


def _as(block, dtype) -> np.ndarray:
    return np.ascontiguousarray(np.asarray(block, dtype=dtype).reshape(-1))


def _labelled(values: np.ndarray, block):
    """A Series indexed like ``block`` when it is a partition of a Series."""
    if hasattr(block, "index"):
        import pandas as pd

        return pd.Series(values, index=block.index, name="encoding")
    return values


def _meta(codes, kind: str, name: str):
    empty = np.empty(0, dtype=np.float64)
    if kind == _blocks.SERIES:
        import pandas as pd

        return pd.Series(empty, index=codes._meta.index, name=name)
    return empty
