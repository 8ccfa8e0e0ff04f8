"""NumPy arrays and array-likes: the checks every input goes through, and columns of
arrays that are not plain numbers."""

from __future__ import annotations

import numpy as np

from ._categories import column_label
from ._columns import Column, ComplexDataError


def refuse_sparse(X, argument: str) -> None:
    """TypeError for scipy sparse input: densifying is the caller's choice (memory)."""
    if type(X).__module__.startswith("scipy.sparse"):
        raise TypeError(
            f"{argument} is a scipy sparse matrix ({type(X).__name__}); vorlent reads dense "
            f"data only: pass {argument}.toarray() when it fits in memory"
        )


def as_array(X, argument: str) -> np.ndarray:
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


def as_2d(X, argument: str) -> np.ndarray:
    """as_array, refusing anything but a matrix (rows x columns)."""
    array = as_array(X, argument)
    if array.ndim != 2:
        hint = " (one feature: reshape(-1, 1); one row: reshape(1, -1))" if array.ndim == 1 else ""
        raise ValueError(
            f"{argument} must be 2-D (rows x columns), got {array.ndim}-D of shape "
            f"{array.shape}{hint}"
        )
    return array


def check_not_empty(shape: tuple, argument: str) -> None:
    """ValueError for training data without rows or without columns."""
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


def array_columns(array: np.ndarray) -> list[Column]:
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
