"""What the classifier and the regressor share: the hyper-parameters, ``fit`` with early
stopping and warm starts, raw prediction, explanation, saving and pickling.

The subclasses differ only in how they turn targets into the core's numbers (labels to class
codes, or real values), in the core objective and loss, and in ``predict``.
"""

from __future__ import annotations

import copy
import dataclasses
import logging
import numbers
import time
import warnings
from typing import ClassVar

import numpy as np
import vorlent_core as _core

from . import _metrics, _params, _rounds, _save, _trees
from ._compat import (
    HAVE_SKLEARN,
    BaseEstimator,
    NotFittedError,
    sklearn_tags,
)
from ._data import feature_names, fit_matrix, predict_matrix, target_vector, weight_vector
from ._eval_sets import named_eval_sets
from ._fitted import FittedState, StateAttribute
from ._split import validation_split

logger = logging.getLogger("vorlent")

# Rows above which early_stopping="auto" holds back a validation split.
AUTO_EARLY_STOPPING_ROWS = 10_000
# Parameters that may change between a fit and a warm-started continuation of it.
WARM_START_FREE = frozenset(
    {
        "n_estimators",
        "warm_start",
        "verbose",
        "n_jobs",
        "early_stopping",
        "validation_fraction",
        "n_iter_no_change",
        "tol",
        "eval_metric",
    }
)


class VorlentEstimator(BaseEstimator):
    """Base class of :class:`VorlentClassifier` and :class:`VorlentRegressor`; not meant to
    be used directly."""

    _parameter_constraints: ClassVar[dict] = _params.SHARED_CONSTRAINTS

    def __init__(
        self,
        *,
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
        self.n_estimators = n_estimators
        self.learning_rate = learning_rate
        self.max_depth = max_depth
        self.max_bins = max_bins
        self.reg_lambda = reg_lambda
        self.min_samples_split = min_samples_split
        self.subsample = subsample
        self.colsample = colsample
        self.random_state = random_state
        self.split_mode = split_mode
        self.max_lineage = max_lineage
        self.max_pair_columns = max_pair_columns
        self.best_of_kinds = best_of_kinds
        self.learn_missing = learn_missing
        self.exact_sums = exact_sums
        self.monotonic_cst = monotonic_cst
        self.categorical_features = categorical_features
        self.early_stopping = early_stopping
        self.validation_fraction = validation_fraction
        self.n_iter_no_change = n_iter_no_change
        self.tol = tol
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.warm_start = warm_start
        self.eval_metric = eval_metric

    # --- what the subclasses provide -----------------------------------------------------

    def _encode_target(self, y, classes):
        """(float64 targets for the core, classes or None); ``classes`` given: reuse them."""
        raise NotImplementedError

    def _objective(self, classes) -> dict:
        """The core keywords objective, loss, alpha and clip."""
        raise NotImplementedError

    def _target_weights(self, codes, classes):
        """Per-row weight factors from the targets (class weights), or None."""
        return

    def _stratify(self) -> bool:
        return False

    def _task(self, classes) -> str:
        """Which metrics apply: "binary", "multiclass" or "regression"."""
        raise NotImplementedError

    def _link(self, raw: np.ndarray) -> np.ndarray:
        """Raw scores as a user's metric receives them (probabilities for classifiers)."""
        return raw

    # --- fitting -------------------------------------------------------------------------

    def fit(
        self,
        X,
        y,
        sample_weight=None,
        eval_set=None,
        *,
        eval_names=None,
        callbacks=None,
        eval_train=False,
    ):
        """Train the model on ``X`` and ``y``.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Training data: a NumPy array, a list of rows, or a pandas or polars DataFrame or
            a pyarrow Table. Missing values are NaN (or the frame's nulls).
        y : array-like of shape (n_samples,)
            Targets: class labels for the classifier, real values for the regressor.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of every row; None weighs every row 1.
        eval_set : tuple (X_val, y_val) or list of such tuples, default=None
            Explicit validation sets. They replace the split of ``validation_fraction``;
            with early stopping on, the first set decides when to stop, otherwise the sets
            are only scored. A tuple is one set, recorded in ``evals_result_`` under
            ``"validation"``; a list (as LightGBM and XGBoost take it) records its sets
            under ``eval_names``, else ``"validation_0"``, ``"validation_1"``, ...
        eval_names : list of str, default=None
            Names of the sets of ``eval_set`` in ``evals_result_`` and in the callbacks'
            ``info.evals``, one per set, distinct and other than ``"training"``.
        callbacks : list of callable, default=None
            Each is called after every round as ``callback(info)`` with a
            :class:`vorlent.RoundInfo`: ``info.iteration`` (the round, from 0) and
            ``info.evals``, that round's metrics as ``{"training": {name: value},
            "validation": {name: value}}`` (the sets that are evaluated, under the names of
            ``evals_result_``). A callback returning True stops training after that round,
            keeping the trees grown so far (cut back to the best round when early stopping
            is on). What a callback raises (and Ctrl-C) propagates out of ``fit`` and leaves
            the estimator as it was before the call, a warm start included: the rounds it
            had added are dropped. Training reads the hyper-parameters as they were when
            ``fit`` was called, and this estimator keeps its previous model until ``fit``
            returns: a callback that calls ``set_params`` changes the next fit, and one that
            predicts uses the previous model. Callbacks are a ``fit`` argument, not a
            hyper-parameter, so that the estimator stays picklable and cloneable whatever
            they hold.
        eval_train : bool, default=False
            Also evaluate the metrics on the training rows (the rows trained on, without
            the held-back split) after every round: ``evals_result_["training"]``.

        Returns
        -------
        self : object
            The fitted estimator.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentRegressor(n_estimators=10).fit(X, X[:, 0])
        >>> model.n_estimators_
        10
        >>> sets = [(X[:50], X[:50, 0]), (X[50:100], X[50:100, 0])]
        >>> model = VorlentRegressor(n_estimators=10).fit(X, X[:, 0], eval_set=sets)
        >>> sorted(model.evals_result_)
        ['validation_0', 'validation_1']
        """
        started = time.perf_counter()
        # The parameters of this call, copied before anything else reads them: set_params
        # from a callback or another thread then changes neither this fit nor its record.
        snapshot = type(self)(**self.get_params(deep=False))
        _params.validate_parameters(snapshot, snapshot._parameter_constraints)
        snapshot._check_parameters()
        callbacks = _callback_list(callbacks)
        sets = named_eval_sets(eval_set, eval_names)
        if snapshot.verbose:
            _ensure_log_handler()
        previous = self.__dict__.get("_fitted")
        if snapshot.warm_start and previous is not None:
            state = snapshot._continued(
                previous, X, y, sample_weight, callbacks, bool(eval_train), started
            )
        else:
            state = snapshot._trained(
                X, y, sample_weight, sets, callbacks, bool(eval_train), started
            )
        self._set_fitted(state)
        return self

    def _trained(self, X, y, sample_weight, sets, callbacks, eval_train, started) -> FittedState:
        """A new model trained on (X, y) with this estimator's parameters; ``sets``: the
        named validation sets of ``eval_set``."""
        matrix, schema = fit_matrix(X, self.categorical_features)
        n_rows = matrix.shape[0]
        target, classes = self._encode_target(self._target_column(y, n_rows), None)
        weights = self._weights(sample_weight, target, n_rows, classes)
        task = self._task(classes)
        seed = _params.core_seed(self.random_state)
        keywords = _params.core_keywords(self, schema, seed=seed, **self._objective(classes))

        early = self._early_stopping_on(n_rows)
        if sets:
            X_val, y_val, validation = self._validation_sets(sets, schema, classes)
            val_weights = None
        elif early:
            train_rows, val_rows = validation_split(
                target, self.validation_fraction, seed, self._stratify()
            )
            X_val, y_val = matrix[val_rows], target[val_rows]
            matrix, target = matrix[train_rows], target[train_rows]
            val_weights = None if weights is None else weights[val_rows]
            weights = None if weights is None else weights[train_rows]
            validation = {"validation": _rounds.EvalRows(y_val, val_weights)}
        else:
            X_val = y_val = val_weights = None
            validation = {}
        watch = self._watch(task, early, list(validation))
        training = _rounds.EvalRows(target, weights) if eval_train else None
        monitor = self._monitor(watch, callbacks, training, validation)

        booster = _core.Booster(**keywords)
        booster.fit(
            matrix,
            target,
            sample_weight=weights,
            X_val=X_val,
            y_val=y_val,
            es_patience=watch.patience,
            es_tol=watch.tol,
            callback=monitor,
        )
        state = self._fitted_state(booster, keywords, schema, classes, early, watch, monitor)
        self._log_fit(state, matrix.shape[0], 0 if y_val is None else len(y_val), started)
        return state

    def _validation_sets(self, sets, schema, classes):
        """The rows of every set of ``eval_set`` one after the other, as the core's single
        validation set (X_val, y_val), and each set's rows in it by name."""
        matrices, targets, validation, start = [], [], {}, 0
        for name, X_set, y_set, argument in sets:
            X_part, y_part = self._eval_set(X_set, y_set, schema, classes, argument)
            matrices.append(X_part)
            targets.append(y_part)
            validation[name] = _rounds.EvalRows(y_part, None, slice(start, start + len(y_part)))
            start += len(y_part)
        if len(matrices) == 1:
            return matrices[0], targets[0], validation
        return np.vstack(matrices), np.concatenate(targets), validation

    def _watch(self, task: str, early: bool, names: list) -> _rounds.Watch:
        """Who watches the validation rows of a fit, and what is recorded of them.

        The estimator's own loss (``validation_score_``) is the one early stopping watches
        by default. The core records it itself on a single validation set when it is the
        core's loss (log-loss, squared error) and stops on it when no metric is named;
        otherwise Python evaluates it (or the first metric of ``eval_metric``) every round
        and decides when to stop, and the core never stalls.
        """
        own = _metrics.built_in(task, self._loss_name())
        metrics = _metrics.resolve(self.eval_metric, task, self._link)
        if not metrics and not own.by_core:
            metrics = [own]
        core_records = own.by_core and len(names) == 1
        # With tol -inf every finite loss improves: the core records every round's loss and
        # never stalls, and it evaluates nothing when its patience is 0.
        quiet = (_params.INT32_MAX if core_records else 0), float("-inf")
        stopping = None
        if not names:
            patience, tol = 0, 0.0
        elif early and (metrics or not core_records):
            stopping = _rounds.MetricStopping(
                (metrics or [own])[0], int(self.n_iter_no_change), float(self.tol)
            )
            patience, tol = quiet
        elif early:
            patience, tol = int(self.n_iter_no_change), float(self.tol)
        else:
            patience, tol = quiet
        first = names[0] if names else None
        return _rounds.Watch(metrics, own, core_records, stopping, patience, tol, first)

    def _monitor(self, watch, callbacks, training, validation, first_iteration=0):
        """The round callback of a fit, or None when there is nothing to watch (training
        then runs without one): it evaluates the metrics (or the estimator's own loss) on
        the ``training`` rows (or None) and the named ``validation`` sets, logs every
        ``verbose`` rounds, calls ``callbacks`` and stops on a metric."""
        recorded = validation and (watch.metrics or self.verbose or not watch.core_records)
        if not (callbacks or training is not None or recorded):
            return None
        return _rounds.RoundMonitor(
            watch.metrics or [watch.own],
            quantile=float(getattr(self, "quantile", 0.5)),
            training=training,
            validation=validation,
            score=None if watch.core_records else watch.own,
            callbacks=callbacks,
            log_every=int(self.verbose),
            exact=bool(self.exact_sums),
            stopping=watch.stopping,
            first_iteration=first_iteration,
        )

    def _fitted_state(self, booster, keywords, schema, classes, early, watch, monitor):
        """The record of a trained booster (cut back to the best round of a metric that
        Python watched) with what its fit evaluated."""
        if watch.stopping is not None and watch.stopping.best_round >= 0:
            booster.truncate(watch.stopping.best_round + 1)
        best = booster.best_iteration()
        evals = {} if monitor is None else monitor.history
        validation = None
        if watch.core_records:
            validation = np.asarray(booster.validation_losses(), dtype=np.float64)
            if not watch.metrics:  # the core's record, which early stopping used
                evals[watch.first] = {watch.own.name: validation.tolist()}
        elif monitor is not None and monitor.scores is not None:
            validation = np.asarray(monitor.scores, dtype=np.float64)
        return FittedState(
            booster,
            keywords,
            schema,
            classes,
            _params.params_to_json(self._local_params()),
            best_iteration=best if early and best >= 0 else None,
            validation_score=validation,
            evals_result=evals or None,
        )

    def _continued(self, previous, X, y, sample_weight, callbacks, eval_train, started):
        """Warm start: more rounds on the trained ensemble of ``previous``, up to
        ``n_estimators`` trees. A copy of its booster grows, so that the model held stays
        whole (for predictions in other threads, and when training fails) until the new
        record replaces it."""
        trained = _params.params_to_json(self._local_params())
        changed = sorted(
            name
            for name, value in trained.items()
            if name not in WARM_START_FREE and previous.trained_params.get(name) != value
        )
        if changed:
            raise ValueError(
                "warm_start continues the trained ensemble with its own hyper-parameters; "
                f"these changed since it was trained: {', '.join(changed)}. Set "
                "warm_start=False to train a new model with them."
            )
        extra = int(self.n_estimators) - previous.n_estimators
        if extra < 0:
            raise ValueError(
                f"n_estimators={self.n_estimators} must be at least n_estimators_="
                f"{previous.n_estimators} (the trees already trained) when warm_start is True"
            )
        matrix = self._predict_input(X, previous)
        n_rows = matrix.shape[0]
        target, _ = self._encode_target(self._target_column(y, n_rows), previous.classes)
        weights = self._weights(sample_weight, target, n_rows, previous.classes)
        booster = previous.booster
        if extra > 0:
            # The added rounds are evaluated only for someone who sees them.
            watched = eval_train and (callbacks or self.verbose)
            monitor = self._monitor(
                self._watch(self._task(previous.classes), False, []),
                callbacks,
                _rounds.EvalRows(target, weights) if watched else None,
                {},
                first_iteration=previous.n_estimators,
            )
            booster = copy.deepcopy(previous.booster)
            booster.fit_more(matrix, target, extra, sample_weight=weights, callback=monitor)
        state = dataclasses.replace(previous, booster=booster, trained_params=trained)
        self._log_fit(state, n_rows, 0, started)
        return state

    def _check_parameters(self) -> None:
        """Checks that involve more than one parameter (subclasses add their own)."""

    def _early_stopping_on(self, n_rows: int) -> bool:
        if self.early_stopping == "auto":
            return n_rows > AUTO_EARLY_STOPPING_ROWS
        return bool(self.early_stopping)

    def _target_column(self, y, n_rows: int) -> np.ndarray:
        return target_vector(y, n_rows=n_rows)

    def _weights(self, sample_weight, target, n_rows, classes):
        weights = weight_vector(sample_weight, n_rows)
        factors = self._target_weights(target, classes)
        if factors is not None:
            weights = factors if weights is None else weights * factors
        if weights is not None and not np.any(weights > 0):
            raise ValueError("sample_weight must contain at least one non-zero weight")
        return weights

    def _eval_set(self, X_set, y_set, schema, classes, argument: str):
        """One validation set as the core's (X_val, y_val); ``argument`` names it in errors."""
        X_val = predict_matrix(X_set, schema, argument=f"{argument}[0]")
        y_val = target_vector(y_set, argument=f"{argument}[1]")
        if len(y_val) != X_val.shape[0]:
            raise ValueError(
                f"{argument}[1] has {len(y_val)} entries but {argument}[0] has "
                f"{X_val.shape[0]} rows"
            )
        y_val, _ = self._encode_target(y_val, classes)
        return X_val, y_val

    def _log_fit(self, state: FittedState, n_rows: int, n_val: int, started: float) -> None:
        if not self.verbose:
            return
        best = state.best_iteration
        logger.info(
            "%s: %d rows x %d features%s, %d trees%s, %.2f s",
            type(self).__name__,
            n_rows,
            state.schema.n_features,
            f" ({n_val} validation rows)" if n_val else "",
            state.n_estimators,
            "" if best is None else f", best iteration {best}",
            time.perf_counter() - started,
        )

    # --- fitted state --------------------------------------------------------------------

    # What fit leaves, read from the one record that fit replaces whole (see _fitted).
    booster_ = StateAttribute()
    n_estimators_ = StateAttribute()
    best_iteration_ = StateAttribute(absent_when_none=False)
    validation_score_ = StateAttribute()
    evals_result_ = StateAttribute()
    n_features_in_ = StateAttribute("n_features")
    feature_names_in_ = StateAttribute("feature_names")
    _schema = StateAttribute("schema")
    _core_keywords = StateAttribute("core_keywords")
    _trained_params = StateAttribute("trained_params")

    def _set_fitted(self, state: FittedState) -> None:
        """Replaces everything fit leaves in one store: a reader that took the previous
        record keeps a whole model."""
        self._fitted = state

    def _state(self) -> FittedState:
        """The current record, for a method to read once and take every part from."""
        state = self.__dict__.get("_fitted")
        if state is None:
            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                "appropriate arguments before using this estimator."
            )
        return state

    def _classes(self):
        state = self.__dict__.get("_fitted")
        return None if state is None else state.classes

    def _local_params(self) -> dict:
        """The hyper-parameters that the fitted record keeps as trained."""
        return self.get_params(deep=False)

    def _loss_name(self) -> str:
        """The name of the estimator's own loss (``validation_score_``)."""
        raise NotImplementedError

    def _is_fitted(self) -> bool:
        return "_fitted" in self.__dict__

    def __sklearn_is_fitted__(self) -> bool:
        return self._is_fitted()

    def _check_fitted(self) -> None:
        self._state()

    def _predict_input(self, X, state: FittedState | None = None) -> np.ndarray:
        """X as the core's matrix, with the columns of the fit of ``state`` (by default the
        current one)."""
        state = self._state() if state is None else state
        if len(getattr(X, "shape", (0, 0))) == 1:
            raise ValueError(
                f"Expected a 2-D X (rows x columns), got a 1-D array of shape {X.shape}. "
                "Reshape your data either using array.reshape(-1, 1) if your data has a "
                "single feature or array.reshape(1, -1) if it contains a single sample."
            )
        given, fitted = feature_names(X), state.schema.feature_names
        # One side without names: the columns are read by position, which scikit-learn
        # warns about in the same words.
        if given is None and fitted is not None:
            warnings.warn(
                "X does not have valid feature names, but "
                f"{type(self).__name__} was fitted with feature names",
                UserWarning,
                stacklevel=3,
            )
        elif given is not None and fitted is None:
            warnings.warn(
                f"X has feature names, but {type(self).__name__} was fitted without feature names",
                UserWarning,
                stacklevel=3,
            )
        if given is None or fitted is None:
            n_columns = _column_count(X)
            if n_columns is not None and n_columns != state.schema.n_features:
                raise ValueError(
                    f"X has {n_columns} features, but {type(self).__name__} is expecting "
                    f"{state.schema.n_features} features as input."
                )
        return predict_matrix(X, state.schema)

    @property
    def feature_importances_(self) -> np.ndarray:
        """Share of the total split gain earned by each feature (sums to 1, or all zeros when
        no tree splits)."""
        gain = np.asarray(self._state().booster.feature_importances(), dtype=np.float64)
        total = gain.sum()
        return gain / total if total > 0 else np.zeros_like(gain)

    # --- prediction ----------------------------------------------------------------------

    def predict_raw(self, X, iteration_range=None) -> np.ndarray:
        """Raw scores before the link: log-odds (binary), one score per class (multiclass)
        or the prediction itself (regression).

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
        iteration_range : tuple (begin, end), default=None
            Use only the trees of rounds ``begin`` to ``end - 1``: ``begin`` must be 0, and
            ``end`` runs from 1 to ``n_estimators_``. None or ``(0, 0)`` use every kept tree,
            as in XGBoost.

        Returns
        -------
        scores : ndarray of shape (n_samples,) or (n_samples, n_classes)

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentClassifier
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentClassifier(n_estimators=5).fit(X, X[:, 0] > 0)
        >>> model.predict_raw(X[:4]).shape
        (4,)
        """
        state = self._state()
        n_trees = _tree_count(iteration_range, state.n_estimators)
        return state.booster.predict_raw(self._predict_input(X, state), n_trees=n_trees)

    def explain(self, X, iteration_range=None):
        """Per-row contribution of every feature to the raw score.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
        iteration_range : tuple (begin, end), default=None
            Use only the trees of rounds ``begin`` to ``end - 1``: ``begin`` must be 0, and
            ``end`` runs from 1 to ``n_estimators_``. None or ``(0, 0)`` use every kept tree,
            as in XGBoost.

        Returns
        -------
        contributions : ndarray or DataFrame of shape (n_samples, n_features)
            A pandas (or polars) DataFrame with the feature names as columns when ``X`` is
            one, else an array.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentRegressor(n_estimators=5).fit(X, X[:, 0])
        >>> model.explain(X[:2]).shape
        (2, 3)
        """
        state = self._state()
        n_trees = _tree_count(iteration_range, state.n_estimators)
        contributions = state.booster.explain(self._predict_input(X, state), n_trees=n_trees)
        names = state.schema.feature_names
        n_features = state.schema.n_features
        columns = list(names) if names is not None else [str(j) for j in range(n_features)]
        module = type(X).__module__.split(".")[0]
        if module == "pandas" and hasattr(X, "columns"):
            import pandas as pd

            return pd.DataFrame(contributions, columns=columns, index=X.index)
        if module == "polars" and hasattr(X, "columns"):
            import polars as pl

            return pl.DataFrame(contributions, schema=columns)
        return contributions

    def shap_values(self, X, background=None, iteration_range=None) -> np.ndarray:
        """Exact Shapley values of the raw score (see :meth:`predict_raw`), per row.

        Path-dependent (tree-structure) Shapley values: a split whose features are all in
        the coalition routes the row its own way, any other split sends it down both sides
        weighted by the training rows that reached each side. A pair split counts as
        decided only when both of its features are in the coalition, a projection split
        only when all of its columns are. ``explain`` is a different, gain-weighted
        attribution and stays as it is.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to explain, converted like :meth:`predict` does.
        background : array-like or DataFrame of shape (n_background, n_features), default=None
            Rows whose counts at every node replace the covers recorded at training. A model
            loaded with :func:`vorlent.load_model` has no recorded covers (model files keep
            the trees only; pickles keep the covers) and needs it; the training rows (or a
            sample of them) are the usual choice.
        iteration_range : tuple (begin, end), default=None
            Use only the trees of rounds ``begin`` to ``end - 1``: ``begin`` must be 0, and
            ``end`` runs from 1 to ``n_estimators_``. None or ``(0, 0)`` use every kept tree,
            as in XGBoost. The values then sum to
            ``predict_raw(X, iteration_range=iteration_range)``.

        Returns
        -------
        values : ndarray of shape (n_samples, n_features + 1) or (n_samples, n_classes, n_features + 1)
            The second shape for three or more classes. The last column is the expected
            value; every row (and class) sums to its raw score up to rounding. Always a NumPy
            array, also for DataFrame input: the columns follow ``feature_names_in_``.

        Raises
        ------
        ValueError
            When the model has no recorded covers and ``background`` is not given.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentRegressor(n_estimators=5).fit(X, X[:, 0])
        >>> phi = model.shap_values(X[:4])
        >>> phi.shape
        (4, 4)
        >>> bool(np.allclose(phi.sum(axis=1), model.predict_raw(X[:4])))
        True
        """
        return self._explained("shap_values", X, background, iteration_range)

    def interaction_values(self, X, background=None, iteration_range=None) -> np.ndarray:
        """Pairwise Shapley interaction values of the raw score, per row.

        The same path-dependent expectation as :meth:`shap_values`, laid out as XGBoost's
        ``pred_interactions=True`` and shap's ``shap_interaction_values``: entry ``[i, j]``
        (``i != j``) is half the Shapley interaction index of features i and j, the same in
        ``[j, i]``; the diagonal ``[i, i]`` is the Shapley value of i less the rest of row i,
        so row i sums to ``shap_values(X)[:, i]``; the last row and column are zero but for
        the corner, the expected value. Models with pair or projection splits (anything but
        ``split_mode="axis"``, unless every tree happens to use axis splits only) are refused.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to explain, converted like :meth:`predict` does.
        background : array-like or DataFrame of shape (n_background, n_features), default=None
            As for :meth:`shap_values`: rows whose counts replace the recorded covers.
        iteration_range : tuple (begin, end), default=None
            As for :meth:`shap_values`.

        Returns
        -------
        values : ndarray of shape (n_samples, n_features + 1, n_features + 1)
            Or (n_samples, n_classes, n_features + 1, n_features + 1) for three or more
            classes. Every matrix sums to its raw score up to rounding.

        Raises
        ------
        ValueError
            When the model has no recorded covers and ``background`` is not given, or when
            a split reads more than one feature.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentRegressor(n_estimators=5, split_mode="axis").fit(X, X[:, 0] * X[:, 1])
        >>> phi = model.interaction_values(X[:4])
        >>> phi.shape
        (4, 4, 4)
        >>> bool(np.allclose(phi.sum(axis=(1, 2)), model.predict_raw(X[:4])))
        True
        """
        return self._explained("interaction_values", X, background, iteration_range)

    def _explained(self, method, X, background, iteration_range) -> np.ndarray:
        """Calls the booster's ``method`` (shap_values or interaction_values) on converted
        input, turning the missing covers of a loaded model into an actionable message."""
        state = self._state()
        n_trees = _tree_count(iteration_range, state.n_estimators)
        matrix = self._predict_input(X, state)
        if background is not None:
            background = predict_matrix(background, state.schema, argument="background")
        try:
            return getattr(state.booster, method)(matrix, background=background, n_trees=n_trees)
        except ValueError as error:
            if background is not None or "no node covers" not in str(error):
                raise
        raise ValueError(
            "this model has no recorded node covers (a model loaded from a file keeps only its "
            "trees): pass rows to count them, for example "
            f"model.{method}(X, background=X_train) with the training rows or a sample of "
            "a few hundred of them"
        )

    def dump_model(self) -> dict:
        """Every node of every tree as a JSON-ready dict.

        Returns
        -------
        dump : dict
            ``{"feature_names": [...], "categories": {feature: [values]}, "start_score": s,
            "start_scores": None, "raw_score_range": None, "trees": [{"tree": t, "nodes":
            [record, ...]}, ...]}``. A row's raw score (:meth:`predict_raw`) is
            ``start_score`` plus the ``contribution`` of the leaf it reaches in every tree,
            added in tree order, and clamped to ``raw_score_range`` (``[low, high]``) when
            that is not None (a regressor with ``clip_to_target_range``). Multiclass models
            have ``start_scores``, one per class, and ``start_score`` None. A node's record
            holds ``tree``, ``node``,
            ``parent`` (-1 for the root), ``depth``, ``kind`` (``"axis"``, ``"oblique"``,
            ``"category_pair"``, ``"projection"`` or ``"leaf"``), ``left`` and ``right``
            (children, -1 for a leaf), ``split`` (the test as text), ``features`` and
            ``columns`` (names and indices of the columns the test reads),
            ``coefficients`` (per column; None for the category column of a pair),
            ``category_offsets`` (category value -> offset), ``threshold`` (a row goes left
            when the weighted sum is below it), ``bias`` (the core's constant term,
            ``-threshold``), ``missing`` (``"left"`` or ``"right"``), ``gain``, ``cover``
            (training rows that reached the node, None for a model without recorded
            covers), ``value`` (the stored leaf value, BEFORE the learning rate; an
            internal node keeps the value it had as a leaf) and
            ``contribution`` (``learning_rate * value``: what the leaf adds to the raw
            score); multiclass leaves hold ``values`` and ``contributions`` per class
            instead. Fields that do not apply are None.

        Examples
        --------
        >>> import json
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 2))
        >>> model = VorlentRegressor(n_estimators=2, split_mode="axis").fit(X, X[:, 0])
        >>> root = model.dump_model()["trees"][0]["nodes"][0]
        >>> root["kind"], root["features"]
        ('axis', ['x0'])
        >>> text = json.dumps(model.dump_model())
        """
        state = self._state()
        return _trees.dump(state.booster, state.schema, state.schema.n_features)

    def trees_to_dataframe(self):
        """Every node of every tree as a row of a pandas DataFrame (needs the
        ``vorlent[pandas]`` extra).

        Returns
        -------
        table : pandas.DataFrame
            One row per node with the columns of a :meth:`dump_model` record. What is not a
            node's is in ``table.attrs``, under the names of :meth:`dump_model`:
            ``"start_score"``, ``"start_scores"`` (multiclass) and ``"raw_score_range"``
            (``attrs`` survive row selections such as ``table[table.kind == "leaf"]``).

        Raises
        ------
        ImportError
            When pandas is not installed.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentRegressor
        >>> X = np.random.default_rng(0).normal(size=(200, 2))
        >>> model = VorlentRegressor(n_estimators=2, split_mode="axis").fit(X, X[:, 0])
        >>> leaves = model.trees_to_dataframe().query("kind == 'leaf'")
        >>> sorted(leaves.attrs)
        ['raw_score_range', 'start_score', 'start_scores']
        """
        state = self._state()
        return _trees.to_dataframe(state.booster, state.schema)

    # --- persistence ---------------------------------------------------------------------

    def save_model(self, path) -> None:
        """Write the fitted model to ``path``: a fixed magic and format version, a JSON
        header (library version, estimator class, every hyper-parameter, the feature
        schema, classes, objective and loss) and the core's model bytes.

        Parameters
        ----------
        path : str or os.PathLike

        Examples
        --------
        >>> import os, tempfile
        >>> import numpy as np
        >>> import vorlent
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = vorlent.VorlentRegressor(n_estimators=5).fit(X, X[:, 0])
        >>> path = os.path.join(tempfile.mkdtemp(), "model.vrl")
        >>> model.save_model(path)
        >>> bool((vorlent.load_model(path).predict(X) == model.predict(X)).all())
        True
        """
        _save.save_model(self, self._state(), path)

    def __sklearn_tags__(self):
        return sklearn_tags(self, super().__sklearn_tags__())


def _tree_count(iteration_range, n_estimators: int):
    """The core's n_trees for ``iteration_range`` of a model of ``n_estimators`` trees: None
    for every kept tree."""
    if iteration_range is None:
        return None
    if not isinstance(iteration_range, (tuple, list)) or len(iteration_range) != 2:
        raise TypeError(
            f"iteration_range must be a pair (begin, end) of integers, got {iteration_range!r}"
        )
    begin, end = iteration_range
    for name, value in (("begin", begin), ("end", end)):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(
                f"iteration_range {name} must be an integer, got {type(value).__name__}"
            )
    if begin != 0:
        raise ValueError(
            f"iteration_range must begin at 0 (the trees of rounds 0 to end - 1), got begin={begin}"
        )
    if end == 0:
        return None
    if not 0 < end <= n_estimators:
        raise ValueError(
            f"iteration_range end must be from 1 to n_estimators_={n_estimators} "
            f"(or 0 for every tree), got {end}"
        )
    return int(end)


def _column_count(X):
    """The column count of a two-dimensional X without converting it, or None."""
    shape = getattr(X, "shape", None)
    if shape is not None and len(shape) == 2:
        return int(shape[1])
    if isinstance(X, (list, tuple)) and X and isinstance(X[0], (list, tuple, np.ndarray)):
        return len(X[0])
    return None


def _callback_list(callbacks) -> list:
    """``callbacks`` as a list of callables; TypeError for anything else."""
    if callbacks is None:
        return []
    if callable(callbacks) or not isinstance(callbacks, (list, tuple)):
        raise TypeError(
            f"callbacks must be a list of callables or None, got {type(callbacks).__name__}"
        )
    for i, callback in enumerate(callbacks):
        if not callable(callback):
            raise TypeError(f"callbacks[{i}] is not callable: {type(callback).__name__}")
    return list(callbacks)


def _ensure_log_handler() -> None:
    """verbose > 0 should print something even where logging was never configured: give the
    "vorlent" logger a stderr handler then (and only then), at INFO level."""
    if logger.level == logging.NOTSET:
        logger.setLevel(logging.INFO)
    if not logger.handlers and not logging.getLogger().handlers:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("[vorlent] %(message)s"))
        logger.addHandler(handler)


if not HAVE_SKLEARN:  # the fallback base class has no tags to extend
    del VorlentEstimator.__sklearn_tags__
