"""User data in, the core's matrix out: one place for arrays, lists and frames.

:func:`fit_matrix` turns training data into a C-contiguous float64 matrix (NaN missing,
categorical columns as codes 0..K-1) and a :class:`~vorlent._schema.FeatureSchema` of what
it did; :func:`predict_matrix` replays the schema on new data. NumPy arrays that are already
C-contiguous float64 pass through without a copy.

Rules at predict time:

- a frame's columns are matched to the fitted feature names by name, so reordered columns
  are put back in the fitted order; missing or unexpected columns are a ValueError naming
  them;
- a frame given to a model fitted on an array (or on a frame without string column names),
  and an array given to a model fitted on a frame, are read by position: the number of
  columns must match;
- a category is mapped by its value, so the frame's own category order does not matter; an
  unseen category or a missing value becomes NaN (missing).

scipy sparse matrices are refused with a TypeError: densify them with ``.toarray()`` when
they fit in memory (the core reads dense rows).
"""

from __future__ import annotations

import warnings

import numpy as np

from . import _columns
from ._categories import column_label
from ._columns import Column, ComplexDataError
from ._frames import frame_columns, looks_like_frame, series_values
from ._schema import FeatureSchema

__all__ = ["FeatureSchema", "fit_matrix", "predict_matrix", "target_vector", "weight_vector"]


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
        For sparse input, complex numbers, strings in a non-categorical column, or values
        that are not numbers; the message names the column (and row).
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
    _refuse_sparse(X, argument)
    got = frame_columns(X, argument) if looks_like_frame(X) else None
    if got is not None:
        names, columns = got
        _check_not_empty((len(X), len(columns)), argument)
        wanted = _requested(categorical_features, names, len(columns), argument)
        fitted = [_columns.fit_column(c, w, argument) for c, w in zip(columns, wanted)]
        str_names = all(isinstance(n, str) for n in names)
        return _finish(fitted, len(X), tuple(names) if str_names else None)

    array = _as_2d(X, argument)
    _check_not_empty(array.shape, argument)
    wanted = _requested(categorical_features, None, array.shape[1], argument)
    if array.dtype.kind in "biuf" and not any(wanted):
        matrix = np.ascontiguousarray(array, dtype=np.float64)
        return matrix, FeatureSchema(array.shape[1], None, (False,) * array.shape[1], {})
    fitted = [_columns.fit_column(c, w, argument) for c, w in zip(_array_columns(array), wanted)]
    return _finish(fitted, array.shape[0], None)


def predict_matrix(X, schema: FeatureSchema, *, argument="X") -> np.ndarray:
    """New data as the core's matrix, converted as the schema says.

    Parameters
    ----------
    X : array-like or DataFrame / Arrow Table
        As for :func:`fit_matrix`. Frame columns are matched by name when the model was
        fitted on named columns (reordered columns are put back in order), else by
        position.
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
        For missing or unexpected columns (named), or the wrong number of columns.
    TypeError
        As for :func:`fit_matrix`.
    """
    _refuse_sparse(X, argument)
    got = frame_columns(X, argument) if looks_like_frame(X) else None
    if got is not None:
        columns = _match_columns(*got, schema, argument)
        values = [
            _columns.predict_column(c, schema.categories.get(j), argument)
            for j, c in enumerate(columns)
        ]
        return _stack(values, len(X))

    array = _as_2d(X, argument)
    if array.shape[1] != schema.n_features:
        raise ValueError(
            f"{argument} has {array.shape[1]} columns but the model was fitted on "
            f"{schema.n_features}"
        )
    if array.dtype.kind in "biuf" and not any(schema.categorical):
        return np.ascontiguousarray(array, dtype=np.float64)
    values = [
        _columns.predict_column(c, schema.categories.get(j), argument)
        for j, c in enumerate(_array_columns(array))
    ]
    return _stack(values, array.shape[0])


def target_vector(y, *, argument="y", n_rows=None) -> np.ndarray:
    """The target as a 1-D NumPy array, labels kept as they are.

    Parameters
    ----------
    y : array-like of shape (n_samples,), Series or Arrow array
        A column vector (n_samples, 1) is accepted with a DataConversionWarning.
        Nullable numeric series give NaN for missing entries.
    argument : str
        The argument name used in error messages.
    n_rows : int, optional
        When given, the number of entries y must have.

    Returns
    -------
    ndarray of shape (n_samples,)
        Any dtype (numbers, booleans, strings or objects).

    Raises
    ------
    ValueError
        For None, a scalar, more than one column, or the wrong length.
    TypeError
        For sparse input or complex numbers.
    """
    if y is None:
        raise ValueError(
            f"{argument}: this estimator requires y to be passed, but the target y is None"
        )
    _refuse_sparse(y, argument)
    values = series_values(y, argument) if looks_like_frame(y) else None
    if values is None and looks_like_frame(y):
        got = frame_columns(y, argument)
        if got is not None:
            if len(got[1]) != 1:
                raise ValueError(f"{argument} must be one column, got a frame of {len(got[1])}")
            values = series_values(y[got[0][0]], argument)[:, None]
    if values is None:
        values = _as_array(y, argument)
    if values.ndim == 2 and values.shape[1] == 1:
        warnings.warn(
            f"A column-vector {argument} was passed when a 1d array was expected; "
            "it is read as 1-D (use .ravel())",
            _data_conversion_warning(),
            stacklevel=2,
        )
        values = values[:, 0]
    if values.ndim != 1:
        raise ValueError(f"{argument} must be 1-D, got an array of shape {values.shape}")
    if values.dtype.kind == "c":
        raise ComplexDataError(f"{argument}: Complex data not supported")
    if n_rows is not None and len(values) != n_rows:
        raise ValueError(f"{argument} has {len(values)} entries but X has {n_rows} rows")
    return np.ascontiguousarray(values)


def weight_vector(w, n_rows, *, argument="sample_weight") -> np.ndarray | None:
    """Sample weights as a C-contiguous float64 vector, or None when none were given.

    Parameters
    ----------
    w : None, a number, or array-like of shape (n_rows,)
        A number gives every row that weight.
    n_rows : int
        Rows of X.
    argument : str
        The argument name used in error messages.

    Returns
    -------
    ndarray of float64 or None

    Raises
    ------
    ValueError
        For the wrong shape, or a negative, NaN or infinite weight (the row is named).
    TypeError
        For weights that are not numbers.
    """
    if w is None:
        return None
    if isinstance(w, (int, float, np.number)) and not isinstance(w, (bool, np.bool_)):
        w = np.full(n_rows, w, dtype=np.float64)
    _refuse_sparse(w, argument)
    values = series_values(w, argument) if looks_like_frame(w) else None
    if values is None:
        values = _as_array(w, argument)
    if values.ndim != 1 or len(values) != n_rows:
        raise ValueError(
            f"{argument} must be 1-D with one weight per row of X ({n_rows}), "
            f"got shape {values.shape}"
        )
    if values.dtype.kind not in "biuf":
        values = _columns.numbers(Column("entries", "object", values.astype(object)), argument)
    values = np.ascontiguousarray(values, dtype=np.float64)
    bad = ~(np.isfinite(values) & (values >= 0))
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(
            f"{argument} must be finite and not negative, but row {row} is {float(values[row])!r}"
        )
    return values


def _refuse_sparse(X, argument: str) -> None:
    if type(X).__module__.startswith("scipy.sparse"):
        raise TypeError(
            f"{argument} is a scipy sparse matrix ({type(X).__name__}); vorlent reads dense "
            f"data only: pass {argument}.toarray() when it fits in memory"
        )


def _as_array(X, argument: str) -> np.ndarray:
    """np.asarray with readable errors; lists mixing strings and numbers stay objects."""
    try:
        array = np.asarray(X)
        if not isinstance(X, np.ndarray) and array.dtype.kind in "US":
            array = np.asarray(X, dtype=object)
    except ValueError as e:
        raise ValueError(f"{argument}: rows of different lengths or shapes ({e})") from None
    if array.dtype.kind == "c":
        raise ComplexDataError(f"{argument}: Complex data not supported (dtype {array.dtype})")
    if array.dtype.kind not in "biufOU":
        raise TypeError(
            f"{argument} has dtype {array.dtype}, which is not numbers, booleans or strings"
        )
    return array


def _as_2d(X, argument: str) -> np.ndarray:
    array = _as_array(X, argument)
    if array.ndim != 2:
        hint = " (one feature: reshape(-1, 1); one row: reshape(1, -1))" if array.ndim == 1 else ""
        raise ValueError(
            f"{argument} must be 2-D (rows x columns), got {array.ndim}-D of shape "
            f"{array.shape}{hint}"
        )
    return array


def _check_not_empty(shape: tuple, argument: str) -> None:
    # scikit-learn's wording, which its estimator checks look for.
    if shape[0] == 0:
        raise ValueError(
            f"{argument}: Found array with 0 sample(s) (shape={shape}) while a minimum of 1 "
            "is required."
        )
    if shape[1] == 0:
        raise ValueError(
            f"{argument}: Found array with 0 feature(s) (shape={shape}) while a minimum of 1 "
            "is required."
        )


def _array_columns(array: np.ndarray) -> list[Column]:
    """Columns of a 2-D array: numeric ones as float64, the rest as Python objects."""
    if array.dtype.kind in "biuf":
        family = "bool" if array.dtype.kind == "b" else "number"
        numbers = array.astype(np.float64)
        integer = array.dtype.kind in "iu"
        return [
            Column(
                column_label(None, j),
                family,
                numbers[:, j],
                dtype=str(array.dtype),
                integer=integer,
            )
            for j in range(array.shape[1])
        ]
    family = "text" if array.dtype.kind == "U" else "object"
    objects = array.astype(object)
    columns = []
    for j in range(array.shape[1]):
        col = Column(column_label(None, j), family, objects[:, j], dtype=str(array.dtype))
        if family == "text":
            col.missing = np.zeros(array.shape[0], dtype=bool)
        columns.append(col)
    return columns


def _requested(spec, names, n: int, argument: str) -> list:
    """Per column: True / False as categorical_features says, None to decide by dtype."""
    if isinstance(spec, str):
        if spec == "auto":
            return [None] * n
        raise ValueError(
            f'categorical_features must be "auto", None, names, indices or a boolean mask, '
            f"got the string {spec!r} (a single name goes in a list)"
        )
    if spec is None:
        return [False] * n
    items = list(np.asarray(spec, dtype=object).ravel()) if not isinstance(spec, list) else spec
    if items and all(isinstance(v, (bool, np.bool_)) for v in items):
        if len(items) != n:
            raise ValueError(
                f"categorical_features is a mask of {len(items)} but {argument} has {n} columns"
            )
        return [bool(v) for v in items]
    schema = FeatureSchema(n, _string_names(names, n), (False,) * n, {})
    try:
        chosen = {schema.feature_index(v) for v in items}
    except (TypeError, ValueError) as e:
        raise type(e)(f"categorical_features: {e}") from None
    return [j in chosen for j in range(n)]


def _string_names(names, n: int):
    if names is None or not all(isinstance(s, str) for s in names):
        return None
    return tuple(names)


def _match_columns(names: list, columns: list[Column], schema: FeatureSchema, argument: str):
    """Frame columns in the fitted order: by name when both sides have names, else by position."""
    given = _string_names(names, len(names))
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


def _data_conversion_warning():
    try:
        from sklearn.exceptions import DataConversionWarning
    except ImportError:
        return UserWarning
    return DataConversionWarning
