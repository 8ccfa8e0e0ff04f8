"""Checks of the scalar arguments of the data preparation functions, before any graph is
built, with the core's wording where the core has one."""

from __future__ import annotations

import numbers

import numpy as np


def integer(value, name: str, lowest: int, highest: int) -> int:
    """``value`` as an int in ``lowest .. highest``: TypeError for anything but an integer
    (booleans included), ValueError outside the range."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if value < lowest:
        raise ValueError(f"{name} must be at least {lowest}, got {value}")
    if value > highest:
        raise ValueError(f"{name} must be at most {highest}, got {value}")
    return int(value)
