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


def inferred_task(target) -> tuple[str, str]:
    """The task for the pandas Series ``target`` (without missing values), and why, as a
    clause for messages."""
    name, kind, n_classes = target.name, target.dtype.kind, target.nunique()
    if kind == "f":
        return "regression", f"{name!r} holds floating-point numbers"
    if kind in "iu" and n_classes > MAX_INTEGER_CLASSES:
        return "regression", (
            f"{name!r} holds integers with {n_classes} distinct values, more than "
            f"{MAX_INTEGER_CLASSES}"
        )
    if kind in "iu":
        why = f"{name!r} holds integers with at most {MAX_INTEGER_CLASSES} distinct values"
    else:
        why = f"{name!r} holds {_values(target)} values"
    return ("binary" if n_classes <= 2 else "multiclass"), why + ", which are class labels"


def _values(target) -> str:
    if target.dtype == "category":
        return "categorical"
    return {"O": "text", "b": "boolean"}.get(target.dtype.kind, str(target.dtype))


def check_task(task: str, target, inferred_because: str | None = None) -> None:
    """A CommandError when the target cannot be trained for ``task``; ``inferred_because``
    says why the task was inferred (None: ``--task`` gave it)."""
    problem = _problem(task, target)
    if problem is None:
        return
    if inferred_because is None:
        raise CommandError(f"--task {task} {problem}")
    raise CommandError(f"the task was inferred as {task} ({inferred_because}), which {problem}")


def _problem(task: str, target) -> str | None:
    """What keeps ``target`` from being trained for ``task``, or None."""
    n_classes = target.nunique()
    if task == "regression" and target.dtype.kind not in "biuf":
        return f"needs a numeric target, but {target.name!r} holds {target.dtype} values"
    if task == "binary" and n_classes != 2:
        return f"needs 2 classes, but {target.name!r} has {n_classes}"
    if task == "multiclass" and n_classes < 2:
        return f"needs classes, but {target.name!r} has 1"
    return None
