"""What a fit leaves in an estimator: one immutable record, replaced whole.

``fit``, a warm start and :func:`vorlent.load_model` each build a new :class:`FittedState` and
store it with one attribute assignment; prediction reads the attribute once and takes the
booster, the schema and the classes from that one record. A thread that predicts while
another refits therefore sees either the old model or the new one, never the classes of one
with the trees of the other, and a fit that fails leaves the old record in place.

The booster of a stored record is never trained further: a warm start trains a copy.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ._schema import FeatureSchema


@dataclass(frozen=True)
class FittedState:
    """The trained model of an estimator and every fitted attribute that describes it.

    Parameters
    ----------
    booster : vorlent_core.Booster
        The trained core booster (``booster_``).
    core_keywords : dict
        The keywords it was built with (objective, loss, alpha, ...), for continued training
        and model files.
    schema : FeatureSchema
        The columns fitted on.
    classes : ndarray or None
        The class labels, sorted (classifiers); None for a regressor.
    trained_params : dict
        The hyper-parameters the trees were trained with, as JSON.
    best_iteration : int or None
        ``best_iteration_``.
    validation_score : ndarray or None
        ``validation_score_``; None without a validation set.
    evals_result : dict or None
        ``evals_result_``; None when nothing was evaluated.
    """

    booster: object
    core_keywords: dict
    schema: FeatureSchema
    classes: np.ndarray | None
    trained_params: dict
    best_iteration: int | None = None
    validation_score: np.ndarray | None = None
    evals_result: dict | None = None
    # Derived when the record is made: the tree count, the column count and the names.
    n_estimators: int = field(init=False)
    n_features: int = field(init=False)
    feature_names: np.ndarray | None = field(init=False)

    def __post_init__(self):
        object.__setattr__(self, "n_estimators", int(self.booster.n_trees()))
        object.__setattr__(self, "n_features", self.schema.n_features)
        names = self.schema.feature_names
        object.__setattr__(
            self, "feature_names", None if names is None else np.asarray(names, dtype=object)
        )


class StateAttribute:
    """A fitted attribute of an estimator, read from its current record (the field of the
    same name less the trailing underscore, unless ``source`` names another).

    Before the first fit, and when the record holds None for an attribute that is
    ``absent_when_none``, reading it raises AttributeError as for any missing attribute
    (``hasattr`` is False). Assigning it raises AttributeError: a fitted attribute changes
    only with the record it belongs to.
    """

    def __init__(self, source: str | None = None, *, absent_when_none: bool = True):
        self.field = source
        self.absent_when_none = absent_when_none

    def __set_name__(self, owner, name: str) -> None:
        self.name = name
        self.field = self.field or name.rstrip("_")

    def __get__(self, estimator, owner=None):
        if estimator is None:
            return self
        state = estimator.__dict__.get("_fitted")
        value = None if state is None else getattr(state, self.field)
        if state is None or (value is None and self.absent_when_none):
            raise AttributeError(
                f"{type(estimator).__name__!r} object has no attribute {self.name!r}"
            )
        return value

    def __set__(self, estimator, value) -> None:
        raise AttributeError(
            f"{self.name} is a fitted attribute of {type(estimator).__name__}: fit or "
            "vorlent.load_model sets it"
        )
