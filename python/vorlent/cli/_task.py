"""Which estimator a target column calls for, when ``--task`` does not say.

Strings, booleans and categories are class labels; integers with at most
``MAX_INTEGER_CLASSES`` distinct values are class labels too; every other number (floats, and
integers with more distinct values) is a regression target. Classification with two classes
is "binary", with more "multiclass".
"""

from __future__ import annotations

from ._errors import CommandError

TASKS = ("binary", "multiclass", "regression")
MAX_INTEGER_CLASSES = 10


def infer_task(target) -> str:
    """The task for the pandas Series ``target`` (without missing values)."""
    kind = target.dtype.kind
    n_classes = target.nunique()
    if kind == "f" or (kind in "iu" and n_classes > MAX_INTEGER_CLASSES):
        return "regression"
    return "binary" if n_classes <= 2 else "multiclass"


def check_task(task: str, target) -> None:
    """A CommandError when the target cannot be trained for ``task``."""
    n_classes = target.nunique()
    if task == "regression" and target.dtype.kind not in "biuf":
        raise CommandError(
            f"--task regression needs a numeric target, but {target.name!r} holds "
            f"{target.dtype} values"
        )
    if task == "binary" and n_classes != 2:
        raise CommandError(f"--task binary needs 2 classes, but {target.name!r} has {n_classes}")
    if task == "multiclass" and n_classes < 2:
        raise CommandError(f"--task multiclass needs classes, but {target.name!r} has 1")
