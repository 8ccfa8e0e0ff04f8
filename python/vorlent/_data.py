"""User data in, the core's matrix out: one place for arrays, lists and frames.

:func:`fit_matrix` turns training data into a C-contiguous float64 matrix (NaN missing,
categorical columns as codes 0..K-1) and a :class:`~vorlent._schema.FeatureSchema` of what
it did; :func:`predict_matrix` replays the schema on new data. NumPy arrays that are already
C-contiguous float64 pass through without a copy.

Rules at predict time:

- a frame's column names are its feature names when all of them are strings; when none is
  a string (pandas' default integer names) the frame has no names and is read by position,
  and a mix of strings and other names is a TypeError, at fit and at predict time (as in
  scikit-learn);
- a frame with feature names is matched to the fitted feature names by name, so reordered
  columns are put back in the fitted order; missing or unexpected columns are a ValueError
  naming them;
- a frame given to a model fitted without feature names, and an array (or a frame without
  feature names) given to a model fitted with them, are read by position: the number of
  columns must match;
- a category is mapped by its value, so the frame's own category order does not matter; an
  unseen category or a missing value becomes NaN (missing), but numbers in a column whose
  categories are strings are a ValueError naming the column.

scipy sparse matrices are refused with a TypeError: densify them with ``.toarray()`` when
they fit in memory (the core reads dense rows).
"""

from __future__ import annotations

import numpy as np

from . import _columns
from ._arrays import array_columns, check_not_empty
from ._columns import Column
from ._schema import FeatureSchema
from ._user_data import UserData
from ._vectors import target_vector, weight_vector

__all__ = [
    "FeatureSchema",
    "feature_names",
    "fit_matrix",
    "predict_matrix",
    "target_vector",
    "weight_vector",
]


def fit_matrix(X, categorical_features="auto", *, argument="X"):
    """Training data as the core's matrix, with the schema that predict replays.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features), or a DataFrame / Arrow Table
        NumPy arrays of any real dtype and layout, nested lists, object arrays of numbers
        and strings, pandas and polars DataFrames, pyarrow Tables. Missing values (NaN,
        None, pd.NA, null) become NaN; infinities are kept.
    categorical_features : "auto", None, sequence of str or int, or boolean mask
        "auto": categorical dtypes (pandas ``category``, polars ``Categorical``/``Enum``,
        Arrow dictionaries) and string columns are categorical. None: no column is. Names,
        indices or a mask: exactly those columns are, whatever their dtype.
    argument : str
        The argument name used in error messages.

    Returns
    -------
    matrix : ndarray of float64, C-contiguous, shape (n_samples, n_features)
    schema : FeatureSchema

    Raises
    ------
    TypeError
        For sparse input, complex numbers, strings in a non-categorical column, values
        that are not numbers (the message names the column and row), or column names of
        which some are strings and others not.
    ValueError
        For a shape that is not 2-D, no rows or no columns, an unknown categorical feature,
        or more categories than a feature may have.

    Examples
    --------
    >>> import numpy as np
    >>> m, s = fit_matrix([["a", 1.0], ["b", None], ["a", 3.0]])
    >>> m
    array([[ 0.,  1.],
           [ 1., nan],
           [ 0.,  3.]])
    >>> s.categories
    {0: ('a', 'b')}
    """
    data = UserData(X, argument)
    got = data.frame_columns()
    if got is not None:
        names, columns = got
        names = _string_names(names, argument)
        check_not_empty((len(X), len(columns)), argument)
        wanted = _requested(categorical_features, names, len(columns), argument)
        fitted = [_columns.fit_column(c, w, argument) for c, w in zip(columns, wanted)]
        return _finish(fitted, len(X), names)

    array = data.matrix()
    check_not_empty(array.shape, argument)
    wanted = _requested(categorical_features, None, array.shape[1], argument)
    if array.dtype.kind in "biuf" and not any(wanted):
        matrix = np.ascontiguousarray(array, dtype=np.float64)
        return matrix, FeatureSchema(array.shape[1], None, (False,) * array.shape[1], {})
    fitted = [_columns.fit_column(c, w, argument) for c, w in zip(array_columns(array), wanted)]
    return _finish(fitted, array.shape[0], None)


def predict_matrix(X, schema: FeatureSchema, *, argument="X") -> np.ndarray:
    """New data as the core's matrix, converted as the schema says.

    Parameters
    ----------
    X : array-like or DataFrame / Arrow Table
        As for :func:`fit_matrix`. Frame columns are matched by name when the frame and
        the model both have feature names (reordered columns are put back in order), else
        by position.
    schema : FeatureSchema
        From :func:`fit_matrix`.
    argument : str
        The argument name used in error messages.

    Returns
    -------
    ndarray of float64, C-contiguous, shape (n_samples, schema.n_features)
        Unseen categories and missing values are NaN.

    Raises
    ------
    ValueError
        For missing or unexpected columns (named), the wrong number of columns, or numbers
        in a column whose categories are strings.
    TypeError
        As for :func:`fit_matrix`.
    """
    data = UserData(X, argument)
    got = data.frame_columns()
    if got is not None:
        columns = _match_columns(*got, schema, argument)
        values = [
            _columns.predict_column(c, schema.categories.get(j), argument)
            for j, c in enumerate(columns)
        ]
        return _stack(values, len(X))

    array = data.matrix()
    if array.shape[1] != schema.n_features:
        raise ValueError(
            f"{argument} has {array.shape[1]} columns but the model was fitted on "
            f"{schema.n_features}"
        )
    if array.dtype.kind in "biuf" and not any(schema.categorical):
        return np.ascontiguousarray(array, dtype=np.float64)
    values = [
        _columns.predict_column(c, schema.categories.get(j), argument)
        for j, c in enumerate(array_columns(array))
    ]
    return _stack(values, array.shape[0])


def feature_names(X, argument="X") -> tuple[str, ...] | None:
    """The names by which X's columns are matched: a frame's column names when all are
    strings, None for arrays and for frames whose column names are none of them strings.

    Parameters
    ----------
    X : array-like or DataFrame / Arrow Table
    argument : str
        The argument name used in error messages.

    Raises
    ------
    TypeError
        When some column names are strings and others are not.

    Examples
    --------
    >>> import pandas as pd
    >>> feature_names(pd.DataFrame({"a": [1.0], "b": [2.0]}))
    ('a', 'b')
    >>> feature_names(pd.DataFrame([[1.0, 2.0]])) is None  # integer names: by position
    True
    """
    names = UserData(X, argument).column_names()
    return None if names is None else _string_names(names, argument)


def _requested(wanted, names, n: int, argument: str) -> list:
    """Per column: True / False as categorical_features says, None to decide by dtype."""
    if isinstance(wanted, str):
        if wanted == "auto":
            return [None] * n
        raise ValueError(
            f'categorical_features must be "auto", None, names, indices or a boolean mask, '
            f"got the string {wanted!r} (a single name goes in a list)"
        )
    if wanted is None:
        return [False] * n
    items = (
        list(np.asarray(wanted, dtype=object).ravel()) if not isinstance(wanted, list) else wanted
    )
    if items and all(isinstance(v, (bool, np.bool_)) for v in items):
        if len(items) != n:
            raise ValueError(
                f"categorical_features is a mask of {len(items)} but {argument} has {n} columns"
            )
        return [bool(v) for v in items]
    schema = FeatureSchema(n, names, (False,) * n, {})
    try:
        chosen = {schema.feature_index(v) for v in items}
    except (TypeError, ValueError) as e:
        raise type(e)(f"categorical_features: {e}") from None
    return [j in chosen for j in range(n)]


def _string_names(names: list, argument: str) -> tuple[str, ...] | None:
    """Column names as feature names: all strings, or None when none is a string."""
    text = [isinstance(name, str) for name in names]
    if names and all(text):
        return tuple(str(name) for name in names)  # NumPy strings as plain ones
    if any(text):
        # A mix cannot be matched by name, and matching it by position would drop the names
        # the caller gave without a word.
        types = sorted({type(name).__qualname__ for name in names})
        raise TypeError(
            f"{argument}: feature names are only supported if all input features have string "
            f"names, but {argument} has {types} as feature name / column name types; convert "
            f"them all to strings ({argument}.columns = {argument}.columns.astype(str), for "
            "example), or all to a non-string type to have the columns read by position"
        )
    return None


def _match_columns(names: list, columns: list[Column], schema: FeatureSchema, argument: str):
    """Frame columns in the fitted order: by name when both sides have names, else by position."""
    given = _string_names(names, argument)
    if schema.feature_names is None or given is None:
        if len(columns) != schema.n_features:
            raise ValueError(
                f"{argument} has {len(columns)} columns but the model was fitted on "
                f"{schema.n_features}"
            )
        return columns
    position = {name: j for j, name in enumerate(given)}
    missing = [n for n in schema.feature_names if n not in position]
    extra = [n for n in given if n not in set(schema.feature_names)]
    if missing or extra:
        parts = [
            f"missing {_list(missing)}" if missing else "",
            f"unexpected {_list(extra)}" if extra else "",
        ]
        raise ValueError(
            f"{argument}: columns do not match the fitted feature names: "
            + "; ".join(p for p in parts if p)
        )
    return [columns[position[n]] for n in schema.feature_names]


def _list(names: list) -> str:
    shown = ", ".join(map(repr, names[:10]))
    return shown + (f" and {len(names) - 10} more" if len(names) > 10 else "")


def _finish(fitted: list, n_rows: int, names):
    values = [v for v, _ in fitted]
    categories = {j: c for j, (_, c) in enumerate(fitted) if c is not None}
    flags = tuple(c is not None for _, c in fitted)
    return _stack(values, n_rows), FeatureSchema(len(fitted), names, flags, categories)


def _stack(values: list, n_rows: int) -> np.ndarray:
    matrix = np.empty((n_rows, len(values)), dtype=np.float64)
    for j, v in enumerate(values):
        matrix[:, j] = v
    return matrix
