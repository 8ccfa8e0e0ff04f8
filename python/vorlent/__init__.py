"""Gradient-boosted decision trees whose splits go beyond one feature at a time.

The estimators :class:`VorlentClassifier` and :class:`VorlentRegressor` follow scikit-learn's
conventions (and are scikit-learn estimators when scikit-learn is installed); they take NumPy
arrays, lists and pandas or polars frames, save to model files read back by
:func:`load_model`, and pickle. :mod:`vorlent.plotting` draws importances, loss curves,
trees, single splits and Shapley summaries with matplotlib (``pip install "vorlent[plot]"``).
The compiled core ``vorlent_core`` (also reachable as ``vorlent._core``: one module object
under two names) stays available for direct use.

Examples
--------
>>> import numpy as np
>>> import vorlent
>>> X = np.random.default_rng(0).normal(size=(300, 3))
>>> model = vorlent.VorlentClassifier(n_estimators=10).fit(X, X[:, 0] > 0)
>>> model.predict(X[:2]).shape
(2,)
"""

import sys as _sys
from typing import TYPE_CHECKING

import vorlent_core as _core

from ._version import __version__

if TYPE_CHECKING:  # the names that __getattr__ below imports on first use
    from ._classifier import VorlentClassifier
    from ._load import load_model
    from ._regressor import VorlentRegressor
    from ._rounds import RoundInfo

# `import vorlent._core` finds the compiled module itself rather than a second copy.
_sys.modules[__name__ + "._core"] = _core

__all__ = ["RoundInfo", "VorlentClassifier", "VorlentRegressor", "__version__", "load_model"]

# The estimators are imported on first use: they bring in scikit-learn when it is installed
# (and scikit-learn brings pandas, scipy and more, seconds of import time), which neither
# the core nor the data layer (vorlent._data) needs.
_LAZY = {
    "VorlentClassifier": "._classifier",
    "VorlentRegressor": "._regressor",
    "load_model": "._load",
    "RoundInfo": "._rounds",
}


def __getattr__(name: str):
    if name == "plotting":  # a subpackage; importing it does not import matplotlib
        import importlib

        return importlib.import_module(".plotting", __name__)
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY) | {"plotting"})
