"""The validation sets that ``fit`` takes: one pair, or a list of pairs with their names."""

from __future__ import annotations

# The name of the training rows' entry in evals_result_, which no validation set may take.
TRAINING = "training"


def named_eval_sets(eval_set, eval_names) -> list[tuple[str, object, object, str]]:
    """``eval_set`` as (name, X_val, y_val, argument) per set, ``argument`` naming the set
    in error messages; no conversion of the data happens here.

    A tuple ``(X_val, y_val)`` is one set named ``"validation"``; a list holds pairs named
    by ``eval_names``, else ``"validation_0"``, ``"validation_1"``, ... (as XGBoost names
    them).

    Examples
    --------
    >>> [s[0] for s in named_eval_sets(("X", "y"), None)]
    ['validation']
    >>> [s[0] for s in named_eval_sets([("X", "y"), ("X2", "y2")], None)]
    ['validation_0', 'validation_1']
    >>> [s[0] for s in named_eval_sets([("X", "y")], ["holdout"])]
    ['holdout']
    """
    if eval_set is None:
        if eval_names is not None:
            raise ValueError("eval_names names the sets of eval_set, but eval_set is None")
        return []
    if isinstance(eval_set, tuple):
        pairs, arguments, names = [eval_set], ["eval_set"], ["validation"]
    elif isinstance(eval_set, list):
        if not eval_set:
            raise ValueError("eval_set is an empty list: pass (X_val, y_val) pairs in it, or None")
        pairs = eval_set
        arguments = [f"eval_set[{i}]" for i in range(len(pairs))]
        names = [f"validation_{i}" for i in range(len(pairs))]
    else:
        raise TypeError(
            "eval_set must be a pair (X_val, y_val) or a list of such pairs, got "
            f"{type(eval_set).__name__}"
        )
    for pair, argument in zip(pairs, arguments):
        if not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise TypeError(
                f"{argument} must be a pair (X_val, y_val), got {type(pair).__name__}"
                + (
                    " (a list of sets holds pairs: [(X_val, y_val)])"
                    if argument != "eval_set"
                    else ""
                )
            )
    if eval_names is not None:
        names = _checked_names(eval_names, len(pairs))
    return [(name, X, y, argument) for name, (X, y), argument in zip(names, pairs, arguments)]


def _checked_names(eval_names, n_sets: int) -> list[str]:
    if not isinstance(eval_names, (list, tuple)):
        raise TypeError(f"eval_names must be a list of str, got {type(eval_names).__name__}")
    for i, name in enumerate(eval_names):
        if not isinstance(name, str):
            raise TypeError(f"eval_names[{i}] must be a str, got {type(name).__name__}")
    if len(eval_names) != n_sets:
        raise ValueError(
            f"eval_names has {len(eval_names)} names but eval_set holds {n_sets} "
            f"set{'s' if n_sets != 1 else ''}: give one name per set"
        )
    if len(set(eval_names)) != len(eval_names):
        raise ValueError(f"eval_names names a set twice: {list(eval_names)}")
    if TRAINING in eval_names:
        raise ValueError(
            f"eval_names may not use {TRAINING!r}: evals_result_ keeps that name for the "
            "training rows (eval_train=True)"
        )
    return list(eval_names)
