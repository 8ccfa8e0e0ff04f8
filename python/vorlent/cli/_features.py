"""Which columns of a training table are features, and which of them are categorical.

Text and category columns are categorical unless the user says otherwise. A text column
with a distinct value in most rows (an id, a name, an e-mail address) is an identifier, not
a category: as a feature it would only let the trees memorise single rows, so it is refused
with a pointer to ``--ignore``, unless ``--categorical`` names it.
"""

from __future__ import annotations

from ._errors import USAGE, CommandError

# An identifier has distinct values in more than this share of the rows, and more than
# MIN_IDENTIFIER_VALUES of them (a small table's short category lists are not identifiers).
IDENTIFIER_SHARE = 0.5
MIN_IDENTIFIER_VALUES = 50


def check_choices(categorical: list[str], ignored: list[str]) -> None:
    """A usage CommandError for a column both ``--categorical`` and ``--ignore`` name."""
    both = [name for name in categorical if name in ignored]
    if both:
        raise CommandError(f"column {both[0]!r} is named by both --categorical and --ignore", USAGE)


def features(frame, target: str, ignored: list[str], path):
    """``frame`` without the target and the ignored columns; a CommandError when none is
    left."""
    X = frame.drop(columns=list(dict.fromkeys([target, *ignored])))
    if X.shape[1] == 0:
        besides = "the target and the --ignore columns" if ignored else "the target"
        raise CommandError(f"{str(path)!r} has no columns besides {besides}")
    return X


def categorical_columns(X, named: list[str]) -> list[str]:
    """The named columns and, as without ``--categorical``, the text and category columns."""
    return [c for c in X.columns if c in named or _categorical_by_type(X[c])]


def refuse_identifiers(X, named: list[str]) -> None:
    """A CommandError naming every text column that looks like an identifier and would be
    categorical by its type (``named`` are kept as the user asked)."""
    found = [
        (c, X[c].nunique())
        for c in X.columns
        if c not in named and _categorical_by_type(X[c]) and _identifier(X[c])
    ]
    if found:
        counts = ", ".join(f"{c!r} has {n} distinct values in {len(X)} rows" for c, n in found)
        raise CommandError(
            f"text columns with a distinct value in most rows are identifiers, not categories "
            f"({counts}): leave them out with --ignore {','.join(str(c) for c, _ in found)} "
            "(or name them in --categorical to keep them)"
        )


def _categorical_by_type(column) -> bool:
    return column.dtype.kind == "O" or column.dtype == "category"


def _identifier(column) -> bool:
    distinct = column.nunique()
    return distinct > MIN_IDENTIFIER_VALUES and distinct > IDENTIFIER_SHARE * len(column)
