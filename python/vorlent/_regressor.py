"""The regressor: squared-error, Huber or quantile loss on real targets."""

from __future__ import annotations

from typing import ClassVar

import numpy as np

from . import _params
from ._base import VorlentEstimator
from ._compat import RegressorMixin


class VorlentRegressor(RegressorMixin, VorlentEstimator):
    """Gradient-boosted trees with oblique pair splits for regression.

    Parameters
    ----------
    loss : {"squared_error", "huber", "quantile"}, default="squared_error"
        "huber" limits every round's residuals to the ``quantile``-quantile of their
        absolute values; "quantile" fits the ``quantile``-quantile of the target (pinball
        loss). Early stopping watches the loss trained (the mean squared error, the Huber
        loss or the pinball loss on the validation rows), unless ``eval_metric`` names
        another metric.
    quantile : float, default=0.9
        In [0, 1]: the level of the quantile loss, and for the Huber loss the quantile of
        the absolute residuals that sets its threshold. Other libraries call this ``alpha``
        (scikit-learn's ``GradientBoostingRegressor``); the name follows scikit-learn's
        ``HistGradientBoostingRegressor``. Unused by "squared_error".
    clip_to_target_range : bool, default=False
        Clamp predictions to the range of the training targets.
    eval_metric : str, callable, list of them or None, default=None
        Metrics evaluated after every round on the validation rows (and the training rows
        with ``fit(..., eval_train=True)``) and recorded in ``evals_result_``: "rmse",
        "mae", "quantile" (the pinball loss at level ``quantile``), "huber" (the Huber loss
        with the threshold training uses: the ``quantile``-quantile of the rows' absolute
        residuals), or a callable ``metric(y_true, y_pred, sample_weight) -> float``
        recorded under its ``__name__``. With early stopping on, the first metric decides
        when to stop (lower is better) with ``n_iter_no_change`` and ``tol``. None records
        the loss that early stopping watches by default, the loss trained: "squared_error",
        "quantile" or "huber".
    n_estimators, learning_rate, max_depth, max_bins, reg_lambda, min_samples_split, \
subsample, colsample, random_state, split_mode, max_lineage, max_pair_columns, best_of_kinds, \
learn_missing, exact_sums, monotonic_cst, \
categorical_features, early_stopping, validation_fraction, n_iter_no_change, tol, n_jobs, \
verbose, warm_start
        As for :class:`VorlentClassifier` (the early-stopping split is a plain random one).

    Attributes
    ----------
    n_features_in_ : int
        Number of features seen in ``fit``.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when ``fit`` was given a frame.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Share of the total split gain earned by each feature.
    n_estimators_ : int
        Trees in the ensemble (after early stopping, those up to the best round).
    best_iteration_ : int or None
        Index of the best round when early stopping ran, else None.
    validation_score_ : ndarray
        The loss trained, on the validation rows (the first ``eval_set``), after every
        round (lower is better), when there was a validation set: the mean squared error,
        the pinball loss at level ``quantile`` or the Huber loss, whatever
        ``eval_metric`` says. Rounds cut back by early stopping are included.
    evals_result_ : dict
        One value per round for every metric, ``{"training": {name: [...]}, "validation":
        {name: [...]}}`` (training only with ``fit(..., eval_train=True)``; the validation
        sets under their names in ``fit``): the metrics of ``eval_metric``, or without it
        the loss trained, e.g. ``{"validation": {"quantile": [...]}}``, the values of
        ``validation_score_``.
    booster_ : vorlent_core.Booster
        The core booster.

    Examples
    --------
    >>> import numpy as np
    >>> from vorlent import VorlentRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(500, 4))
    >>> y = X[:, 0] * X[:, 1] + rng.normal(scale=0.1, size=500)
    >>> model = VorlentRegressor(n_estimators=50, random_state=0).fit(X, y)
    >>> model.score(X, y) > 0.8
    True
    >>> upper = VorlentRegressor(loss="quantile", quantile=0.9, n_estimators=50).fit(X, y)
    >>> 0.8 < float(np.mean(y <= upper.predict(X))) < 1.0
    True
    """

    _parameter_constraints: ClassVar[dict] = {
        **VorlentEstimator._parameter_constraints,
        "loss": [_params.Options(tuple(_params.LOSSES))],
        "quantile": [_params.Interval(False, 0, 1)],
        "clip_to_target_range": [_params.Kind("boolean")],
    }

    def __init__(
        self,
        *,
        loss="squared_error",
        quantile=0.9,
        clip_to_target_range=False,
        n_estimators=1000,
        learning_rate=0.1,
        max_depth=5,
        max_bins=64,
        reg_lambda=1.0,
        min_samples_split=10,
        subsample=1.0,
        colsample=1.0,
        random_state=None,
        split_mode="oblique",
        max_lineage=0,
        max_pair_columns=4,
        best_of_kinds=False,
        learn_missing=False,
        exact_sums=False,
        monotonic_cst=None,
        categorical_features="auto",
        early_stopping=True,
        validation_fraction=0.1,
        n_iter_no_change=20,
        tol=1e-7,
        n_jobs=None,
        verbose=0,
        warm_start=False,
        eval_metric=None,
    ):
        super().__init__(
            n_estimators=n_estimators,
            learning_rate=learning_rate,
            max_depth=max_depth,
            max_bins=max_bins,
            reg_lambda=reg_lambda,
            min_samples_split=min_samples_split,
            subsample=subsample,
            colsample=colsample,
            random_state=random_state,
            split_mode=split_mode,
            max_lineage=max_lineage,
            max_pair_columns=max_pair_columns,
            best_of_kinds=best_of_kinds,
            learn_missing=learn_missing,
            exact_sums=exact_sums,
            monotonic_cst=monotonic_cst,
            categorical_features=categorical_features,
            early_stopping=early_stopping,
            validation_fraction=validation_fraction,
            n_iter_no_change=n_iter_no_change,
            tol=tol,
            n_jobs=n_jobs,
            verbose=verbose,
            warm_start=warm_start,
            eval_metric=eval_metric,
        )
        self.loss = loss
        self.quantile = quantile
        self.clip_to_target_range = clip_to_target_range

    def _encode_target(self, y, classes):
        return regression_targets(y), None

    def _objective(self, classes) -> dict:
        return {
            "objective": _params.REGRESSION,
            "loss": _params.LOSSES[self.loss],
            "alpha": float(self.quantile),
            "clip": bool(self.clip_to_target_range),
        }

    def _task(self, classes) -> str:
        return "regression"

    def _loss_name(self) -> str:
        return self.loss

    def predict(self, X, iteration_range=None) -> np.ndarray:
        """Predicted values (the raw scores of the model).

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
        iteration_range : tuple (begin, end), default=None
            Use only the trees of rounds ``begin`` to ``end - 1``: ``begin`` must be 0, and
            ``end`` runs from 1 to ``n_estimators_``. None or ``(0, 0)`` use every kept tree,
            as in XGBoost.

        Returns
        -------
        y : ndarray of shape (n_samples,)

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> VorlentRegressor(n_estimators=5).fit(X, X[:, 0]).predict(X[:3]).shape
        (3,)
        """
        return self.predict_raw(X, iteration_range=iteration_range)


def regression_targets(y) -> np.ndarray:
    """The target values ``y`` as the core's targets: C-contiguous float64; ValueError for
    values that are not numbers or not finite."""
    y = np.asarray(y)
    if y.dtype.kind not in "biuf":
        try:
            y = y.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(
                f"y must hold numbers for a regressor, got values of dtype {y.dtype}"
            ) from None
    y = np.ascontiguousarray(y, dtype=np.float64)
    bad = np.flatnonzero(~np.isfinite(y))
    if len(bad):
        raise ValueError(f"y must be finite, but row {bad[0]} holds {y[bad[0]]}")
    return y
