"""Category lists of categorical columns, and mapping category values to the core's codes.

A category list is a tuple of Python values of one kind (str, int, float or bool); code
``i`` stands for its ``i``-th value. Mapping is by value, never by a frame's own codes, so
a frame whose categorical dtype lists its categories in another order (or holds other ones)
gets the same codes as the frame the model was fitted on. Unseen values and missing values
become NaN. Every mapping is vectorised: numbers through a sorted lookup array, strings
through one dictionary lookup per value inside a NumPy ufunc loop.
"""

from __future__ import annotations

import numpy as np

from ._schema import category_kind

# Distinct values a categorical feature may have: the core bins every category on its own
# up to this many and falls back to percentile bins beyond, which would merge categories.
MAX_CATEGORIES = 8192


def column_label(names, index: int) -> str:
    """How error messages name a column: its name when it has one, else its index."""
    if names is not None and isinstance(names[index], str):
        return f"column {names[index]!r}"
    return f"column {index}"


def check_count(categories: tuple, argument: str, label: str) -> tuple:
    """Refuse a category list longer than the core can keep apart.

    Raises
    ------
    ValueError
        With the column and the count, when there are more than MAX_CATEGORIES.
    """
    if len(categories) > MAX_CATEGORIES:
        raise ValueError(
            f"{argument}: {label} has {len(categories)} distinct categories, more than the "
            f"{MAX_CATEGORIES} a categorical feature may have; treat it as numeric or group "
            "rare categories"
        )
    return categories


def numeric_categories(values: np.ndarray, kind: str, argument: str, label: str) -> tuple:
    """Sorted distinct non-missing values of a numeric column (float64, NaN missing).

    Parameters
    ----------
    values : ndarray of float64
        The column; NaN is missing.
    kind : {"int", "float", "bool"}
        The kind the categories are stored as (the column's own dtype family).
    argument, label : str
        For error messages.

    Raises
    ------
    ValueError
        For an infinite value (not a category) or too many categories.
    """
    present = values[~np.isnan(values)]
    if not np.isfinite(present).all():
        raise ValueError(f"{argument}: {label} is categorical but holds an infinite value")
    distinct = np.unique(present)
    check_count(distinct, argument, label)
    convert = {"int": int, "float": float, "bool": bool}[kind]
    return tuple(convert(v) for v in distinct.tolist())


def text_categories(values: np.ndarray, missing: np.ndarray, argument: str, label: str) -> tuple:
    """Sorted distinct non-missing values of a column of Python strings (an object array).

    Raises
    ------
    TypeError
        When the present values are not all strings.
    ValueError
        For too many categories.
    """
    distinct = set(values[~missing].tolist())
    check_count(distinct, argument, label)
    try:
        category_kind(tuple(distinct))
        return tuple(sorted(distinct))
    except TypeError as e:
        raise TypeError(f"{argument}: {label}: {e}") from None


def dtype_categories(values, argument: str, label: str) -> tuple:
    """A categorical dtype's own category list, in the dtype's order, as Python values.

    Raises
    ------
    TypeError
        When the categories are not all strings, all integers, all floats or all booleans.
    ValueError
        For too many categories, or a non-finite float category.
    """
    categories = tuple(np.asarray(values).tolist())
    check_count(categories, argument, label)
    try:
        kind = category_kind(categories)
    except TypeError as e:
        raise TypeError(f"{argument}: {label}: {e}") from None
    if kind == "float" and not np.isfinite(np.asarray(categories, dtype=np.float64)).all():
        raise ValueError(f"{argument}: {label} is categorical but has a non-finite category")
    return categories


def encode(values: np.ndarray, missing: np.ndarray | None, categories: tuple) -> np.ndarray:
    """Codes of values under a category list; unseen and missing values become NaN.

    Parameters
    ----------
    values : ndarray
        float64 (NaN missing) for numeric categories; any array of Python objects for
        string categories (non-strings never match).
    missing : ndarray of bool or None
        Rows to treat as missing whatever their value.
    categories : tuple
        The fitted category list.

    Returns
    -------
    ndarray of float64
        ``i`` where the value equals ``categories[i]``, NaN elsewhere.
    """
    if categories and category_kind(categories) == "str":
        codes = _encode_text(values, categories)
    else:
        codes = _encode_numbers(values, categories)
    if missing is not None:
        codes[missing] = np.nan
    return codes


def _encode_numbers(values: np.ndarray, categories: tuple) -> np.ndarray:
    codes = np.full(len(values), np.nan)
    if not categories:
        return codes
    numbers = np.asarray(values, dtype=np.float64)
    cats = np.asarray(categories, dtype=np.float64)
    order = np.argsort(cats, kind="stable")
    ordered = cats[order]
    pos = np.minimum(np.searchsorted(ordered, numbers), len(ordered) - 1)
    hit = ordered[pos] == numbers  # NaN never equals anything
    codes[hit] = order[pos[hit]]
    return codes


def _encode_text(values: np.ndarray, categories: tuple) -> np.ndarray:
    # Only str keys: a number, a boolean or None never equals one, so 1, True and "1" stay
    # apart. dict.get runs in a ufunc loop, without Python code per value.
    lookup = {value: float(code) for code, value in enumerate(categories)}
    objects = np.asarray(values, dtype=object)
    try:
        found = np.frompyfunc(lookup.get, 2, 1)(objects, np.nan)
    except TypeError:  # an unhashable value (a list, a dict) matches no category either
        found = _SAFE_LOOKUP(lookup, objects, np.nan)
    return np.asarray(found, dtype=np.float64).reshape(len(values))


def _safe_get(lookup: dict, value, default):
    return lookup.get(value, default) if isinstance(value, str) else default


_SAFE_LOOKUP = np.frompyfunc(_safe_get, 3, 1)
