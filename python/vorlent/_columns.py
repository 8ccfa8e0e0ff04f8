"""One input column on its way to the core: numbers as float64, or category codes.

Arrays and frames are both broken into :class:`Column` records (frames by ``_frames``,
object and string arrays by ``_data``); this module decides, column by column, whether the
values are numbers or categories, and turns them into the float64 column the core reads.
"""

from __future__ import annotations

import math
import numbers as _numbers
from dataclasses import dataclass

import numpy as np

from . import _categories as cats


class ComplexDataError(TypeError, ValueError):
    """Complex numbers given as features or targets.

    A TypeError (the values have the wrong type) that is also a ValueError, which is what
    scikit-learn's estimator checks expect for complex data.
    """


@dataclass
class Column:
    """One column of user data, before conversion.

    Attributes
    ----------
    label : str
        How messages name the column ("column 'price'" or "column 3").
    family : {"number", "bool", "text", "category", "object"}
        What the column's dtype says it holds.
    values : ndarray
        float64 with NaN for missing ("number", "bool"); Python objects otherwise, or the
        integer codes into ``dictionary`` (-1 missing) when ``codes`` is set.
    missing : ndarray of bool or None
        Missing rows, for the object families (None: work it out from the values).
    dtype : str
        The column's dtype as its library names it, for messages.
    integer : bool
        A "number" column of an integer dtype: its categories are stored as integers.
    dictionary : ndarray or None
        Distinct values the column's codes point into (or, when ``ordered``, a categorical
        dtype's own category list).
    codes : bool
        ``values`` are codes into ``dictionary`` rather than the values themselves.
    ordered : bool
        ``dictionary`` is the dtype's category list in the dtype's order, which fitting
        keeps; other dictionaries are sorted.
    """

    label: str
    family: str
    values: np.ndarray
    missing: np.ndarray | None = None
    dtype: str = ""
    integer: bool = False
    dictionary: np.ndarray | None = None
    codes: bool = False
    ordered: bool = False

    def missing_mask(self) -> np.ndarray:
        """Rows without a value."""
        if self.codes:
            return self.values < 0
        if self.missing is None:
            self.missing = _IS_MISSING(self.values).astype(bool)
        return self.missing

    def all_text(self) -> bool:
        """Whether every present value is a string (and at least one is present)."""
        if self.family == "text":
            return True
        if self.family == "category":
            dictionary = self.dictionary
            if dictionary is None:
                dictionary = self.values[~self.missing_mask()]
            return len(dictionary) > 0 and bool(_IS_TEXT(dictionary).astype(bool).all())
        if self.family != "object":
            return False
        present = self.values[~self.missing_mask()]
        return len(present) > 0 and bool(_IS_TEXT(present).astype(bool).all())


def fit_column(col: Column, categorical: bool | None, argument: str):
    """Convert a column at fit time.

    Parameters
    ----------
    col : Column
    categorical : bool or None
        True or False as the user said; None for "auto" (categorical dtypes and strings).
    argument : str
        The argument name for messages.

    Returns
    -------
    values : ndarray of float64
    categories : tuple or None
        The category list when the column is categorical.
    """
    if categorical is None:
        categorical = col.family in ("text", "category") or (
            col.family == "object" and col.all_text()
        )
    if not categorical:
        return numbers(col, argument), None
    categories = _categories_of(col, argument)
    return predict_column(col, categories, argument), categories


def predict_column(col: Column, categories: tuple | None, argument: str) -> np.ndarray:
    """Convert a column at predict time: numbers, or codes under the fitted category list.

    Raises
    ------
    TypeError
        For strings where the categories are numbers.
    ValueError
        For numbers where the categories are strings: no number equals a string category,
        so they would all become missing without a word.
    """
    if categories is None:
        return numbers(col, argument)
    text = bool(categories) and cats.category_kind(categories) == "str"
    if col.family in ("number", "bool"):
        present = ~np.isnan(col.values)
        if text and present.any():
            row = int(np.argmax(present))
            _refuse_number(col, row, col.values[row], argument)
        return cats.encode(col.values, None, categories)
    numeric = bool(categories) and not text
    if numeric and col.all_text():
        raise TypeError(
            f"{argument}: {col.label} holds strings (dtype {col.dtype}) but the model's "
            "categories of this column are numbers"
        )
    if col.codes:
        dictionary = _dictionary_values(col, categories)
        remap = cats.encode(dictionary, None, categories)
        if text:  # only the dictionary's unmatched entries can be numbers
            bad = np.flatnonzero(np.isnan(remap) & _IS_NUMBER(dictionary).astype(bool))
            hit = np.isin(col.values, bad)
            if hit.any():
                row = int(np.argmax(hit))
                _refuse_number(col, row, dictionary[col.values[row]], argument)
        codes = np.append(remap, np.nan)[col.values]  # code -1 (missing) picks the NaN
        return codes.astype(np.float64, copy=False)
    missing = col.missing_mask()
    if numeric:
        return cats.encode(_object_numbers(col, missing, argument), None, categories)
    codes = cats.encode(col.values, missing, categories)
    if text:
        unmatched = np.flatnonzero(np.isnan(codes) & ~missing)  # only these can be numbers
        number = _IS_NUMBER(col.values[unmatched]).astype(bool)
        if number.any():
            row = int(unmatched[np.argmax(number)])
            _refuse_number(col, row, col.values[row], argument)
    return codes


def _refuse_number(col: Column, row: int, value, argument: str):
    if col.family == "bool":
        value = bool(value)
    elif col.integer:
        value = int(value)
    elif isinstance(value, np.generic):
        value = value.item()
    raise ValueError(
        f"{argument}: {col.label} row {row} holds {_short(value)} (dtype {col.dtype}), not a "
        "string, but the model's categories of this column are strings; pass its values as "
        "strings, as in fit"
    )


def numbers(col: Column, argument: str) -> np.ndarray:
    """The column as float64 numbers (NaN missing), refusing strings and other objects."""
    if col.family in ("number", "bool"):
        return col.values
    if col.all_text():
        raise TypeError(
            f"{argument}: {col.label} holds strings (dtype {col.dtype}) but is not a "
            "categorical feature; list it in categorical_features or encode it as numbers"
        )
    if col.family == "category" and col.codes:
        dictionary = np.append(np.asarray(col.dictionary, dtype=np.float64), np.nan)
        return dictionary[col.values]
    return _object_numbers(col, col.missing_mask(), argument)


def _categories_of(col: Column, argument: str) -> tuple:
    if col.ordered:
        return cats.dtype_categories(col.dictionary, argument, col.label)
    if col.family in ("number", "bool"):
        kind = "bool" if col.family == "bool" else "int" if col.integer else "float"
        return cats.numeric_categories(col.values, kind, argument, col.label)
    if col.codes:  # only the values the codes point at: a dictionary may hold more
        col = Column(col.label, "object", col.dictionary[np.unique(col.values[col.values >= 0])])
    missing = col.missing_mask()
    if col.all_text() or not (~missing).any():
        return cats.text_categories(col.values, missing, argument, col.label)
    values = _object_numbers(col, missing, argument)
    return cats.numeric_categories(values, "float", argument, col.label)


def _dictionary_values(col: Column, categories: tuple) -> np.ndarray:
    dictionary = np.asarray(col.dictionary)
    if categories and cats.category_kind(categories) != "str" and dictionary.dtype.kind in "biuf":
        return dictionary.astype(np.float64)
    return dictionary.astype(object)


def _object_numbers(col: Column, missing: np.ndarray, argument: str) -> np.ndarray:
    """Object values as float64; a string or anything float() refuses is a TypeError naming
    the first such row."""
    values = np.where(missing, np.nan, col.values)
    text = _IS_TEXT(values).astype(bool)
    if text.any():
        row = int(np.argmax(text))
        raise TypeError(
            f"{argument}: {col.label} row {row} holds the string {_short(values[row])} among "
            "numbers; list the column in categorical_features or pass numbers only"
        )
    try:
        return values.astype(np.float64)
    except (TypeError, ValueError) as e:
        bad = ~_CONVERTS(values).astype(bool)
        row = int(np.argmax(bad))
        error = ComplexDataError if isinstance(values[row], complex) else TypeError
        raise error(f"{argument}: {col.label} row {row} holds {_short(values[row])}: {e}") from None


def _short(value) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _is_missing(value) -> bool:
    # None, NaN (float or NumPy float), and pandas' NA / NaT without importing pandas.
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return True
    return type(value).__name__ in ("NAType", "NaTType")


def _converts(value) -> bool:
    try:
        float(value)
    except (TypeError, ValueError):
        return False
    return True


# ufunc loops over object arrays: one small call per value, no Python-level loop.
_IS_MISSING = np.frompyfunc(_is_missing, 1, 1)
_IS_TEXT = np.frompyfunc(lambda v: isinstance(v, str), 1, 1)
_CONVERTS = np.frompyfunc(_converts, 1, 1)
_IS_NUMBER = np.frompyfunc(lambda v: isinstance(v, (_numbers.Number, np.bool_)), 1, 1)
