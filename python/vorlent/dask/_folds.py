"""Fold assignment of the rows of a Dask array or Series, equal to the local one.

``vorlent_core.make_folds`` shuffles all rows with one seeded random engine and deals the
shuffled list into ``nf`` runs; with ``stratified`` it shuffles and deals the rows of each
label (y rounded to the nearest integer) on their own, the labels in ascending order and
each label's rows in row order. Which fold a row gets therefore depends only on

- plain: the number of rows n and the row's position;
- stratified: how many rows each label has, and the row's rank among its label's rows.

So the rows need not meet. Each block reports its length (plain, when Dask does not know it
already) or the count of each of its labels (stratified); one task then runs the core's
``make_folds`` on a stand-in of the same shape: n zeros, or the labels each repeated as
often as it occurs, in ascending order. The stand-in consumes the same draws as the real
rows, so its k-th row of label L gets the fold of the real k-th row of label L. That task
hands each block its slice (the folds of its labels' rows in rank order) and each block puts
them on its rows. Only the folds (4 bytes a row) and the stand-in (8 bytes a row) are ever
held in one place, never the data.
"""

from __future__ import annotations

import numpy as np
import vorlent_core as _core

from . import _blocks
from ._arguments import integer

#: The most rows the core numbers folds for.
_MAX_ROWS = 2**31 - 1


def make_folds(y, nf, seed, stratified):
    """Assign every row of a Dask array or Series to one of ``nf`` folds, lazily, with the
    same numbers as ``vorlent_core.make_folds`` on the concatenated rows.

    Parameters
    ----------
    y : dask.array.Array of shape (n_rows,) or dask Series
        Targets; with ``stratified``, each label (y rounded to the nearest integer) is
        dealt into the folds on its own. Without it only the number of rows matters, and
        an array whose chunk lengths are known is not even read.
    nf : int
        Number of folds, at least 1.
    seed : int
        Seed of the shuffle (unsigned 32-bit).
    stratified : bool
        Balance every label across the folds.

    Returns
    -------
    dask.array.Array of int32 with the chunks of ``y``, or a dask Series named ``"fold"``
    with the index and divisions of ``y``

    Raises
    ------
    TypeError
        y is not a Dask array or Series, or nf, seed or stratified of a wrong type.
    ValueError
        nf < 1 or a seed outside 0 .. 2^32 - 1, before anything runs; when computed, more
        than 2^31 - 1 rows, or a stratified y that is NaN, infinite or too large to round
        (naming its row).

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import vorlent_core as vc
    >>> from vorlent.dask import make_folds
    >>> y = np.arange(10) % 2
    >>> folds = make_folds(da.from_array(y, chunks=4), 3, 7, True)
    >>> bool((folds.compute() == vc.make_folds(y, 3, 7, True)).all())
    True
    """
    kind = _blocks.check_vector(y, "y")
    nf = integer(nf, "nf", 1, 2**31 - 1)
    seed = integer(seed, "seed", 0, 2**32 - 1)
    if not isinstance(stratified, (bool, np.bool_)):
        raise TypeError(f"stratified must be a bool, got {type(stratified).__name__}")
    stratified = bool(stratified)

    blocks = _blocks.blocks(y)
    known = _blocks.lengths(y)
    if stratified:
        summaries = [_blocks.task(_label_counts, "vorlent-fold-labels")(b) for b in blocks]
    elif not any(np.isnan(known)):
        summaries = [(int(n), None, None, None) for n in known]
    else:
        summaries = [_blocks.task(_length, "vorlent-fold-lengths")(b) for b in blocks]
    plan = _blocks.task(_deal, "vorlent-fold-plan")(summaries, nf, seed, stratified)
    # A plain split reads a block only for the index of a Series.
    read = stratified or kind == _blocks.SERIES
    place = _blocks.task(_place, "vorlent-folds")
    parts = [place(plan, i, b if read else None, stratified) for i, b in enumerate(blocks)]
    return _blocks.assemble(y, parts, _meta(y), "vorlent-folds")


def round_labels(v: np.ndarray) -> np.ndarray:
    """The core's label of every value (the nearest integer, halves away from zero), as
    float64: exact, because values of magnitude 2^52 or more are whole already."""
    whole = np.trunc(v)
    fraction = v - whole
    return whole + (fraction >= 0.5) - (fraction <= -0.5)


def _values(block) -> np.ndarray:
    return np.asarray(block, dtype=np.float64).reshape(-1)


def _length(block) -> tuple:
    return (len(block), None, None, None)


def _label_counts(block) -> tuple:
    """(rows, labels ascending, their counts, first value that has no label as (row, value)
    or None) of one block."""
    v = _values(block)
    bad = ~(np.abs(v) < 2.0**63)
    if bad.any():
        row = int(np.argmax(bad))
        return (len(v), None, None, (row, float(v[row])))
    labels, counts = np.unique(round_labels(v), return_counts=True)
    return (len(v), labels, counts, None)


def _deal(summaries: list, nf: int, seed: int, stratified: bool) -> list[np.ndarray]:
    """Per block, the folds its rows get: in row order (plain), or label by label in rank
    order (stratified)."""
    sizes = [s[0] for s in summaries]
    n = sum(sizes)
    if n > _MAX_ROWS:
        raise ValueError(f"y has {n} entries, more than the 2147483647 rows folds can number")
    offsets = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    if not stratified:
        folds = _core.make_folds(np.zeros(n), nf, seed, False)
        return [folds[offsets[i] : offsets[i + 1]] for i in range(len(sizes))]

    for i, (_, _, _, bad) in enumerate(summaries):
        if bad is not None:
            row, value = bad
            raise ValueError(
                "y must hold finite values of magnitude below 2^63 for a stratified split, "
                f"but entry {offsets[i] + row} is {value}"
            )
    labels = np.unique(np.concatenate([s[1] for s in summaries]))
    totals = np.zeros(len(labels), dtype=np.int64)
    for _, block_labels, counts, _ in summaries:
        totals[np.searchsorted(labels, block_labels)] += counts
    stand_in = np.repeat(labels, totals)
    folds = _core.make_folds(stand_in, nf, seed, True)
    # Where the next unclaimed row of each label is in the stand-in.
    cursor = np.cumsum(totals) - totals
    plans = []
    for _, block_labels, counts, _ in summaries:
        which = np.searchsorted(labels, block_labels)
        starts = np.repeat(cursor[which], counts)
        rank = np.arange(counts.sum()) - np.repeat(np.cumsum(counts) - counts, counts)
        plans.append(folds[starts + rank])
        cursor[which] += counts
    return plans


def _place(plans: list, i: int, block, stratified: bool):
    """Block ``i``'s folds on its rows: stratified, its rows sorted by label (stably, so in
    row order within a label) take the plan's folds in turn."""
    plan = plans[i]
    if stratified:
        order = np.argsort(round_labels(_values(block)), kind="stable")
        folds = np.empty(len(order), dtype=np.int32)
        folds[order] = plan
    else:
        folds = np.ascontiguousarray(plan, dtype=np.int32)
    if block is not None and hasattr(block, "index"):
        import pandas as pd

        return pd.Series(folds, index=block.index, name="fold")
    return folds


def _meta(y):
    """An empty result of the kind ``y`` gives."""
    empty = np.empty(0, dtype=np.int32)
    if hasattr(y, "index"):
        import pandas as pd

        return pd.Series(empty, index=y._meta.index, name="fold")
    return empty
