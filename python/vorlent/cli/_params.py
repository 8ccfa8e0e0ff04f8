"""``--param key=value``: values read as JSON where they parse (so ``3`` is an int, ``0.1`` a
float, ``true``/``null`` a bool or None, ``[0, 2]`` a list), Python's ``True``, ``False`` and
``None`` too, and a plain string otherwise; keys checked against the estimator's parameters."""

from __future__ import annotations

import json

from ._errors import USAGE, CommandError

PYTHON_WORDS = {"True": True, "False": False, "None": None}


def parse_value(text: str):
    if text in PYTHON_WORDS:
        return PYTHON_WORDS[text]
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_params(items: list[str]) -> dict:
    """``["k=v", ...]`` as a dict; a usage CommandError for an item without ``=``."""
    params = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.strip():
            raise CommandError(f"--param {item!r}: expected KEY=VALUE", USAGE)
        params[key.strip()] = parse_value(value.strip())
    return params


def set_seed(params: dict, seed: int | None) -> None:
    """``--seed``: the estimator's ``random_state``; a usage CommandError when a ``--param``
    sets it too (which of the two was meant is not for us to guess)."""
    if seed is None:
        return
    if "random_state" in params:
        raise CommandError("--seed and --param random_state both set the seed", USAGE)
    params["random_state"] = seed


def configured(estimator_class, params: dict):
    """An estimator of ``estimator_class`` with ``params``, checked now (before any data is
    read): an unknown name or a value out of range is a usage CommandError."""
    from .. import _params

    known = estimator_class().get_params(deep=False)
    unknown = [key for key in params if key not in known]
    if unknown:
        raise CommandError(
            f"unknown parameter {unknown[0]!r} for {estimator_class.__name__} "
            f"(known: {', '.join(sorted(known))})",
            USAGE,
        )
    estimator = estimator_class(**params)
    try:
        _params.validate_parameters(estimator, estimator._parameter_constraints)
    except (TypeError, ValueError) as error:
        raise CommandError(str(error), USAGE) from None
    return estimator
