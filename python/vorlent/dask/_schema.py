"""The feature schema of a Dask collection: which columns are categorical and their category
lists, agreed over all blocks before training.

A local fit reads the category list of a column from the whole column; on Dask no process
sees the whole column, so the lists are agreed first and every block then maps its values
to codes under the agreed lists (as a local fit maps the concatenated rows), which makes
every code the local one:

- a column of a categorical dtype whose categories Dask knows takes that list as it is (in
  its order, unused categories included), without reading any row;
- a categorical dtype whose categories Dask does not know takes, as the concatenated frame
  does, the union of the partitions' own lists in order of first appearance (partitions
  without rows left out);
- any other categorical column (strings, or numbers declared by ``categorical_features``)
  takes the sorted union of the blocks' distinct values.

Only the categorical columns are read, one small task per block; the lists come back to the
client, never the rows.
"""

from __future__ import annotations

import numpy as np

from .._categories import check_count, column_label
from .._data import fit_matrix
from .._schema import FeatureSchema, category_kind
from . import _blocks


def agreed_schema(client, X, categorical_features, timeout: float) -> FeatureSchema:
    """The schema a local fit on the concatenated rows of ``X`` (a Dask array or DataFrame)
    would record, with ``categorical_features`` as the local estimators take it."""
    frame = _blocks.kind_of(X, "X", (_blocks.ARRAY, _blocks.FRAME)) == _blocks.FRAME
    if not frame:
        X = X.rechunk({1: -1})
    if frame:
        head = X.head(1, npartitions=-1)
    elif X.dtype.kind in "biuf" and X.shape[0] > 0:  # (no rows: let fit_matrix refuse them)
        # A numeric array's schema follows from its dtype and width: no round trip for a row.
        head = np.zeros((1, X.shape[1]), dtype=X.dtype)
    else:
        head = X[:1].compute()
    _, schema = fit_matrix(head, categorical_features)
    wanted = [j for j, flag in enumerate(schema.categorical) if flag]
    if not wanted:
        return schema
    categories = dict(schema.categories)
    in_order, read = set(), []  # columns whose lists merge in order, columns to read
    for j in wanted:
        if frame and getattr(X.dtypes.iloc[j], "name", None) == "category":
            if X.iloc[:, j].cat.known:
                continue  # the head's list is the dtype's own, the same in every partition
            in_order.add(j)
        read.append(j)
    if read:
        columns = X.iloc[:, read] if frame else X[:, read]
        lists = _block_lists(client, columns, timeout)
        for position, j in enumerate(read):
            parts = [block[position] for block in lists if block is not None]
            label = column_label(schema.feature_names, j)
            categories[j] = _merged(parts, j in in_order, label)
    return FeatureSchema(schema.n_features, schema.feature_names, schema.categorical, categories)


def _block_lists(client, columns, timeout: float) -> list:
    """Per block: the category list of every column of ``columns`` as a local fit on that
    block alone would make it, or None for a block without rows."""
    from distributed import wait

    run = _blocks.task(_lists_of_block, "vorlent-categories")
    n_columns = len(columns.columns) if hasattr(columns, "columns") else columns.shape[1]
    futures = client.compute([run(block, n_columns) for block in _blocks.blocks(columns)])
    wait(futures, timeout=timeout)
    return client.gather(futures)


def _lists_of_block(block, n_columns: int):
    if len(block) == 0:
        return None
    _, schema = fit_matrix(block, [True] * n_columns)
    return [schema.categories[j] for j in range(n_columns)]


def _merged(parts: list, in_order: bool, label: str) -> tuple:
    """One column's category list from the blocks' lists: the union in order of first
    appearance, or sorted."""
    if in_order:
        seen: dict = {}
        for part in parts:
            for value in part:
                seen.setdefault((type(value), value), value)
        merged = tuple(seen.values())
    else:
        union = {(type(v), v): v for part in parts for v in part}
        try:
            category_kind(tuple(union.values()))
        except TypeError as e:
            raise TypeError(f"X: {label}: {e}") from None
        merged = tuple(sorted(union.values()))
    return check_count(merged, "X", label)
