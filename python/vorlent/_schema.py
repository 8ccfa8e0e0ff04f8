"""The record of what fitting did to the user's columns, replayed at predict time.

A :class:`FeatureSchema` says how many columns the model reads, their names (when it was
fitted on a frame with string column names), which columns are categorical and, for each
of those, the category values in code order: code ``i`` of column ``c`` stands for
``categories[c][i]``. It is stored in model files as JSON (:meth:`FeatureSchema.to_json`).
"""

from __future__ import annotations

import math
import operator
from dataclasses import dataclass, field

# One column's categories are all of one of these kinds, so that JSON keeps them apart
# (True and 1 are equal in Python; "1" and 1 are not the same category).
_KINDS = {"str": str, "int": int, "float": float, "bool": bool}


def category_kind(values: tuple) -> str:
    """The kind name ("str", "int", "float" or "bool") shared by every value of a category list.

    Raises
    ------
    TypeError
        When the values mix kinds or hold something else.
    """
    kinds = {_kind_of(v) for v in values}
    if len(kinds) > 1 or None in kinds:
        shown = sorted({type(v).__name__ for v in values})
        raise TypeError(
            f"categories must all be strings, integers, floats or booleans, got {shown}"
        )
    return kinds.pop() if kinds else "str"


def _kind_of(value) -> str | None:
    # bool before int: bool is a subclass of int.
    for name in ("bool", "str", "int", "float"):
        if type(value) is _KINDS[name]:
            return name
    return None


@dataclass(frozen=True)
class FeatureSchema:
    """The columns a model was fitted on and how their values became the core's numbers.

    Parameters
    ----------
    n_features : int
        Number of columns.
    feature_names : tuple of str or None
        Column names when fitted on a frame whose column names are all strings, else None.
    categorical : tuple of bool
        Per column: whether it holds category codes (passed to the core's ``categorical``).
    categories : dict of int to tuple
        Categorical column index -> its category values (all str, all int, all float or all
        bool); code ``i`` stands for ``categories[col][i]``.

    Examples
    --------
    >>> s = FeatureSchema(2, ("x", "colour"), (False, True), {1: ("blue", "red")})
    >>> FeatureSchema.from_json(s.to_json()) == s
    True
    >>> s.feature_index("colour")
    1
    """

    n_features: int
    feature_names: tuple[str, ...] | None
    categorical: tuple[bool, ...]
    categories: dict[int, tuple] = field(default_factory=dict)

    def to_json(self) -> dict:
        """A JSON-ready dict (only str, int, float, bool, list, dict and None inside).

        Returns
        -------
        dict
            Read back by :meth:`from_json`.
        """
        return {
            "n_features": self.n_features,
            "feature_names": None if self.feature_names is None else list(self.feature_names),
            "categorical": [bool(c) for c in self.categorical],
            "categories": [
                {"column": col, "kind": category_kind(values), "values": list(values)}
                for col, values in sorted(self.categories.items())
            ],
        }

    @classmethod
    def from_json(cls, data: dict) -> FeatureSchema:
        """Rebuild a schema from :meth:`to_json`'s output, checking every field.

        Parameters
        ----------
        data : dict
            As written by :meth:`to_json` (possibly after a JSON round trip).

        Returns
        -------
        FeatureSchema

        Raises
        ------
        ValueError
            When anything is missing, of the wrong type or inconsistent.
        """
        try:
            return _schema_from_json(data)
        except (KeyError, TypeError, AttributeError) as e:
            raise ValueError(f"feature schema is malformed: {e!r}") from None

    def feature_index(self, name_or_index) -> int:
        """The column index of a feature given by name or by index.

        Parameters
        ----------
        name_or_index : str or int
            A fitted feature name, or an index in ``[-n_features, n_features)``.

        Returns
        -------
        int
            The index in ``[0, n_features)``.

        Raises
        ------
        ValueError
            For an unknown name or an index out of range.
        TypeError
            For anything that is neither a string nor an integer.
        """
        if isinstance(name_or_index, str):
            if self.feature_names is None or name_or_index not in self.feature_names:
                known = "none (fitted without column names)"
                if self.feature_names is not None:
                    known = ", ".join(map(repr, self.feature_names[:10]))
                raise ValueError(f"unknown feature name {name_or_index!r}; known: {known}")
            return self.feature_names.index(name_or_index)
        if isinstance(name_or_index, bool):
            raise TypeError(f"a feature is a name or an integer index, not {name_or_index!r}")
        try:
            index = operator.index(name_or_index)
        except TypeError:
            raise TypeError(
                f"a feature is a name or an integer index, not {type(name_or_index).__name__}"
            ) from None
        if not -self.n_features <= index < self.n_features:
            raise ValueError(
                f"feature index {index} is out of range for {self.n_features} features"
            )
        return index % self.n_features


def _schema_from_json(data: dict) -> FeatureSchema:
    if not isinstance(data, dict):
        # A file's content, not a caller's argument: damage is a ValueError like any other.
        raise ValueError(f"feature schema must be a JSON object, got {type(data).__name__}")  # noqa: TRY004
    n = data["n_features"]
    if type(n) is not int or n < 0:
        raise ValueError(f"feature schema: n_features must be a non-negative integer, got {n!r}")
    names = data["feature_names"]
    if names is not None:
        if not isinstance(names, list) or len(names) != n or not all(type(s) is str for s in names):
            raise ValueError(f"feature schema: feature_names must be {n} strings or null")
        if len(set(names)) != n:
            raise ValueError("feature schema: feature_names are not unique")
        names = tuple(names)
    flags = data["categorical"]
    if not isinstance(flags, list) or len(flags) != n or not all(type(c) is bool for c in flags):
        raise ValueError(f"feature schema: categorical must be {n} booleans")
    categories = {}
    for entry in data["categories"]:
        col, kind, values = entry["column"], entry["kind"], entry["values"]
        if type(col) is not int or not 0 <= col < n or not flags[col] or col in categories:
            raise ValueError(f"feature schema: bad categorical column {col!r}")
        if kind not in _KINDS or not isinstance(values, list):
            raise ValueError(f"feature schema: bad category list for column {col}")
        values = tuple(_decode_value(v, kind, col) for v in values)
        if len(set(values)) != len(values):
            raise ValueError(f"feature schema: repeated categories in column {col}")
        categories[col] = values
    if set(categories) != {i for i, c in enumerate(flags) if c}:
        raise ValueError("feature schema: every categorical column needs a category list")
    return FeatureSchema(n, names, tuple(flags), categories)


def _decode_value(value, kind: str, col: int):
    # JSON has one number type: an integral float may come back as an int and vice versa.
    if kind == "float" and type(value) in (int, float):
        value = float(value)
        if math.isfinite(value):
            return value
    elif type(value) is _KINDS[kind]:
        return value
    raise ValueError(f"feature schema: category {value!r} of column {col} is not a {kind}")
