"""Gradient-boosted decision trees whose splits go beyond one feature at a time.

The estimators :class:`VorlentClassifier` and :class:`VorlentRegressor` follow scikit-learn's
conventions (and are scikit-learn estimators when scikit-learn is installed); they take NumPy
arrays, lists and pandas or polars frames, save to model files read back by
:func:`load_model`, and pickle. The compiled core ``vorlent_core`` (also reachable as
``vorlent._core``: one module object under two names) stays available for direct use.

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

import vorlent_core as _core

__version__ = "0.2.0"

# `import vorlent._core` finds the compiled module itself rather than a second copy.
_sys.modules[__name__ + "._core"] = _core

from ._classifier import VorlentClassifier
from ._io import load_model
from ._regressor import VorlentRegressor

__all__ = ["VorlentClassifier", "VorlentRegressor", "__version__", "load_model"]
