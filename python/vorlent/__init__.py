"""Gradient-boosted decision trees whose splits go beyond one feature at a time.

The package wraps the compiled core ``vorlent_core`` (also reachable as
``vorlent._core``: one module object under two names).
"""

import sys as _sys

import vorlent_core as _core

__version__ = "0.2.0"

# `import vorlent._core` finds the compiled module itself rather than a second copy.
_sys.modules[__name__ + "._core"] = _core

__all__ = ["__version__"]
