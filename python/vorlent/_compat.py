"""scikit-learn when it is installed, a small stand-in when it is not.

The estimators inherit from scikit-learn's ``BaseEstimator`` and mixins when scikit-learn can
be imported, so that ``clone``, pipelines, searches and the estimator checks see ordinary
scikit-learn estimators. Without scikit-learn, the stand-ins below give the same public
surface that the estimators rely on: ``get_params``/``set_params``, ``score``, a readable
``repr``, ``NotFittedError`` and the check of classification targets.
"""

from __future__ import annotations

import inspect

import numpy as np

try:
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
    from sklearn.exceptions import DataConversionWarning, NotFittedError
    from sklearn.utils.multiclass import check_classification_targets

    HAVE_SKLEARN = True
except ImportError:  # pragma: no cover - exercised by the test that hides scikit-learn
    HAVE_SKLEARN = False

    class NotFittedError(ValueError, AttributeError):
        """Raised when a method that needs a fitted estimator is called before ``fit``."""

    class DataConversionWarning(UserWarning):
        """Warns that the input was converted to the shape or type the estimator needs."""

    class BaseEstimator:
        """Parameters taken from the keywords of ``__init__``, as scikit-learn does."""

        @classmethod
        def _get_param_names(cls) -> list[str]:
            signature = inspect.signature(cls.__init__)
            return sorted(
                name
                for name, p in signature.parameters.items()
                if name != "self" and p.kind != p.VAR_KEYWORD
            )

        def get_params(self, deep: bool = True) -> dict:
            return {name: getattr(self, name) for name in self._get_param_names()}

        def set_params(self, **params):
            valid = self._get_param_names()
            for key, value in params.items():
                if key not in valid:
                    raise ValueError(
                        f"Invalid parameter {key!r} for estimator {type(self).__name__}. "
                        f"Valid parameters are: {valid!r}."
                    )
                setattr(self, key, value)
            return self

        def __repr__(self) -> str:
            defaults = inspect.signature(type(self).__init__).parameters
            changed = [
                f"{name}={value!r}"
                for name, value in self.get_params().items()
                if not _same_value(value, defaults[name].default)
            ]
            return f"{type(self).__name__}({', '.join(changed)})"

    class ClassifierMixin:
        """``score`` as the (weighted) share of correct predictions."""

        _estimator_type = "classifier"

        def score(self, X, y, sample_weight=None) -> float:
            correct = np.asarray(self.predict(X)) == np.asarray(y)
            return float(np.average(correct, weights=sample_weight))

    class RegressorMixin:
        """``score`` as the (weighted) coefficient of determination R²."""

        _estimator_type = "regressor"

        def score(self, X, y, sample_weight=None) -> float:
            y = np.asarray(y, dtype=np.float64)
            residual = y - np.asarray(self.predict(X), dtype=np.float64)
            w = np.ones_like(y) if sample_weight is None else np.asarray(sample_weight, float)
            total = np.sum(w * (y - np.average(y, weights=w)) ** 2)
            error = np.sum(w * residual**2)
            if total == 0.0:
                return 1.0 if error == 0.0 else 0.0
            return float(1.0 - error / total)

    def check_classification_targets(y) -> None:
        """Refuses a continuous target: a classifier needs discrete class labels."""
        y = np.asarray(y)
        if y.dtype.kind == "f" and not np.all(np.mod(y[np.isfinite(y)], 1) == 0):
            raise ValueError(
                "Unknown label type: continuous. Maybe you are trying to fit a "
                "classifier, which expects discrete classes on a regression target "
                "with continuous values."
            )


def _same_value(a, b) -> bool:
    try:
        return bool(a is b or a == b)
    except (TypeError, ValueError):
        return False


def sklearn_tags(estimator, base_tags):
    """The scikit-learn tags of a vorlent estimator: missing values and categorical columns
    are accepted, sparse input is not (it is refused with a message saying so)."""
    base_tags.input_tags.allow_nan = True
    base_tags.input_tags.categorical = True
    base_tags.input_tags.sparse = False
    return base_tags


__all__ = [
    "HAVE_SKLEARN",
    "BaseEstimator",
    "ClassifierMixin",
    "DataConversionWarning",
    "NotFittedError",
    "RegressorMixin",
    "check_classification_targets",
    "sklearn_tags",
]
