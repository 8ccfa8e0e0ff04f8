"""What every plot shares: matplotlib loaded on first use, the axes to draw on, and the
parts of a model (core booster, feature schema, objective) whether it came as an estimator
or as a bare ``vorlent_core.Booster``."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import vorlent_core as _core

from .._schema import FeatureSchema

INSTALL_HINT = 'pip install "vorlent[plot]"'


def pyplot():
    """``matplotlib.pyplot``, imported only when a plot is drawn."""
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError(
            f"vorlent.plotting needs matplotlib; install it with {INSTALL_HINT}"
        ) from None
    return plt


def new_axes(ax, figsize=None, dpi=None, layout="constrained"):
    """``ax`` itself, or the axes of a new figure of ``figsize`` inches at ``dpi`` (laid out
    so that colour bars and legends beside the axes stay inside the figure)."""
    if ax is not None:
        return ax
    _, ax = pyplot().subplots(figsize=figsize, dpi=dpi, layout=layout)
    return ax


def legend_beside(ax, title=None) -> None:
    """The legend to the right of the axes, where it hides no data."""
    ax.legend(title=title, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")


def label_axes(ax, title=None, xlabel=None, ylabel=None) -> None:
    """Set whichever of the three labels is not None."""
    if title is not None:
        ax.set_title(title)
    if xlabel is not None:
        ax.set_xlabel(xlabel)
    if ylabel is not None:
        ax.set_ylabel(ylabel)


@dataclass(frozen=True)
class ModelParts:
    """A fitted model as the plots need it."""

    booster: object  # the core vorlent_core.Booster
    schema: FeatureSchema  # names and categories (a plain numeric one for a bare booster)
    estimator: object  # the VorlentClassifier / VorlentRegressor, or None for a bare booster
    keywords: dict  # the core keywords: objective, loss, alpha, learning_rate, ...

    @property
    def feature_names(self) -> list[str]:
        names = self.schema.feature_names
        return list(names) if names is not None else [f"x{j}" for j in range(self.n_features)]

    @property
    def n_features(self) -> int:
        return self.schema.n_features

    def matrix(self, X, argument: str = "X") -> np.ndarray:
        """``X`` as the core's float64 matrix, converted as prediction converts it."""
        if self.estimator is not None:
            return self.estimator._predict_input(X)
        matrix = np.asarray(X, dtype=np.float64)
        if matrix.ndim != 2 or matrix.shape[1] < self.n_features:
            raise ValueError(
                f"{argument} must be a 2-D array with at least {self.n_features} columns, got "
                f"shape {matrix.shape}"
            )
        return matrix


def model_parts(model, argument: str = "model") -> ModelParts:
    """The parts of a fitted estimator or core booster; TypeError for anything else,
    ValueError for an unfitted one."""
    if isinstance(model, _core.Booster):
        if model.n_trees() == 0:
            raise ValueError(f"{argument} is a Booster without trees: fit it first")
        keywords = dict(model.__getstate__()[0])
        n = len(model.feature_importances())
        categorical = list(keywords.get("categorical") or [])[:n]
        flags = tuple(bool(c) for c in categorical) + (False,) * (n - len(categorical))
        return ModelParts(model, FeatureSchema(n, None, flags, {}), None, keywords)
    from .._base import VorlentEstimator  # loaded already when model is one

    if isinstance(model, VorlentEstimator):
        state = model._state()
        return ModelParts(state.booster, state.schema, model, dict(state.core_keywords))
    raise TypeError(
        f"{argument} must be a fitted VorlentClassifier, VorlentRegressor or "
        f"vorlent_core.Booster, got {type(model).__name__}"
    )


def check_index(name: str, value, size: int, what: str) -> None:
    """TypeError unless ``value`` is an int, ValueError unless it is in ``[0, size)``."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if not 0 <= value < size:
        raise ValueError(f"{name}={value} is out of range: {what}")


def top_indices(scores: np.ndarray, limit) -> np.ndarray:
    """Indices of the ``limit`` largest scores, largest first (ties: lower index first); all
    of them when ``limit`` is None or below 1."""
    order = np.argsort(-np.asarray(scores, dtype=np.float64), kind="stable")
    if limit is not None and int(limit) >= 1:
        order = order[: int(limit)]
    return order
