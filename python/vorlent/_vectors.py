"""Targets and sample weights as 1-D NumPy arrays, from arrays, lists and series."""

from __future__ import annotations

import warnings

import numpy as np

from ._columns import Column, ComplexDataError, numbers
from ._user_data import UserData


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
    data = UserData(y, argument)
    values = data.series_values()
    if values is None:
        got = data.frame_columns()
        if got is not None:
            if len(got[1]) != 1:
                raise ValueError(f"{argument} must be one column, got a frame of {len(got[1])}")
            values = data.column_values(got[0][0])[:, None]
    if values is None:
        values = data.array()
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
    data = UserData(w, argument)
    values = data.series_values()
    if values is None:
        values = data.array()
    if values.ndim != 1 or len(values) != n_rows:
        raise ValueError(
            f"{argument} must be 1-D with one weight per row of X ({n_rows}), "
            f"got shape {values.shape}"
        )
    if values.dtype.kind not in "biuf":
        values = numbers(Column("entries", "object", values.astype(object)), argument)
    values = np.ascontiguousarray(values, dtype=np.float64)
    bad = ~(np.isfinite(values) & (values >= 0))
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(
            f"{argument} must be finite and not negative, but row {row} is {float(values[row])!r}"
        )
    return values


def _data_conversion_warning():
    try:
        from sklearn.exceptions import DataConversionWarning
    except ImportError:
        return UserWarning
    return DataConversionWarning
