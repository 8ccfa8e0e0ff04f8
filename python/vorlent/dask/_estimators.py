"""DaskVorlentClassifier and DaskVorlentRegressor: the estimators trained data-parallel on a
Dask cluster, with exact_sums so that the model is the one a local fit on the concatenated
rows makes."""

from __future__ import annotations

import numbers

import numpy as np

from .. import _params
from .._classifier import VorlentClassifier
from .._data import fit_matrix
from .._regressor import VorlentRegressor
from ._train import fit_booster

# The Dask estimators' own parameters, beside the local ones.
_DASK_PARAMS = ("client", "fit_timeout")


class _DaskTraining:
    """What both Dask estimators add to their local class."""

    _local_class: type

    def __init__(
        self,
        *,
        client=None,
        fit_timeout=300.0,
        split_mode="axis",
        exact_sums=True,
        early_stopping=False,
        **params,
    ):
        super().__init__(
            split_mode=split_mode, exact_sums=exact_sums, early_stopping=early_stopping, **params
        )
        self.client = client
        self.fit_timeout = fit_timeout

    @classmethod
    def _get_param_names(cls) -> list[str]:
        return sorted([*cls._local_class._get_param_names(), *_DASK_PARAMS])

    def _local_params(self) -> dict:
        return {k: v for k, v in self.get_params(deep=False).items() if k not in _DASK_PARAMS}

    def _client(self):
        if self.client is not None:
            return self.client
        from distributed import get_client

        return get_client()

    def _check_dask_parameters(self) -> None:
        if self.max_lineage != 0:
            raise ValueError(
                "Dask training supports max_lineage=0 only (it trains with exact_sums); got "
                f"max_lineage={self.max_lineage!r}"
            )
        if not self.exact_sums:
            raise ValueError("Dask training always uses exact_sums; exact_sums=False is refused")
        if self.warm_start:
            raise ValueError("warm_start is not supported by Dask training")
        timeout = self.fit_timeout
        if not isinstance(timeout, numbers.Real) or isinstance(timeout, bool) or not timeout > 0:
            raise ValueError(f"fit_timeout must be a positive number of seconds, got {timeout!r}")

    def fit(self, X, y, sample_weight=None, eval_set=None):
        """Train on Dask collections without moving their rows.

        Parameters
        ----------
        X : dask.array.Array of shape (n_samples, n_features) or dask DataFrame
            Numeric features, NaN for missing values.
        y : dask.array.Array or dask Series of shape (n_samples,)
        sample_weight : dask.array.Array or dask Series, default=None
        eval_set : tuple (X_val, y_val) of Dask collections, default=None
            Validation rows, held where their blocks lie. With ``early_stopping=True`` the
            fit stops once their loss stalls for ``n_iter_no_change`` rounds and keeps the
            best round's trees; without it their loss is only recorded
            (``validation_score_``). ``early_stopping=True`` needs it (no rows are held
            back from X).

        Returns
        -------
        self : object
            The fitted estimator. When the fit fails (a worker dies, a block is lost, a
            worker does not answer within ``fit_timeout`` seconds) the estimator is left as
            it was.
        """
        _params.validate_parameters(self, self._local_class._parameter_constraints)
        self._check_parameters()
        self._check_dask_parameters()
        client = self._client()
        head = X.head(1, npartitions=-1) if hasattr(X, "head") else X[:1].compute()
        _, schema = fit_matrix(head, self.categorical_features)
        if any(schema.categorical):
            raise ValueError("Dask training does not take categorical features yet")
        if self.early_stopping == "auto":
            raise ValueError(
                "early_stopping='auto' is not supported by Dask training: pass True or False"
            )
        early = bool(self.early_stopping)
        if early and eval_set is None:
            raise ValueError(
                "early_stopping=True needs eval_set=(X_val, y_val) in Dask training (it holds "
                "back no rows of X)"
            )
        if eval_set is not None and self.eval_metric is not None:
            raise ValueError("eval_metric is not supported by Dask training; leave it None")
        if early:
            patience, tol = int(self.n_iter_no_change), float(self.tol)
        elif eval_set is not None:
            # Record the loss of every round, but never stall and never cut back.
            patience, tol = int(self.n_estimators) + 1, float("-inf")
        else:
            patience, tol = 0, 0.0
        classes = self._dask_classes(y)
        seed = _params.core_seed(self.random_state)
        keywords = _params.core_keywords(self, schema, seed=seed, **self._objective(classes))
        booster = fit_booster(
            client,
            keywords,
            X,
            y,
            sample_weight,
            classes,
            float(self.fit_timeout),
            eval_set=None if eval_set is None else tuple(eval_set),
            es_patience=patience,
            es_tol=tol,
        )
        self.booster_ = booster
        self._core_keywords = keywords
        self._schema = schema
        self._trained_params = _params.params_to_json(self._local_params())
        self.n_features_in_ = schema.n_features
        self.__dict__.pop("feature_names_in_", None)
        if schema.feature_names is not None:
            self.feature_names_in_ = np.asarray(schema.feature_names, dtype=object)
        self._set_classes(classes)
        self.n_estimators_ = booster.n_trees()
        best = booster.best_iteration()
        self.best_iteration_ = best if early and best >= 0 else None
        if eval_set is not None:
            self.validation_score_ = np.asarray(booster.validation_losses(), dtype=np.float64)
        else:
            self.__dict__.pop("validation_score_", None)
        return self

    def _on_blocks(self, method: str, X, width: int | None):
        """The local estimator's method on every row block of a Dask collection, lazily
        (a NumPy or other local input is answered at once, as the local estimator does)."""
        import dask.array as da
        import dask.dataframe as dd

        local = self.to_local()
        if isinstance(X, dd.DataFrame):
            X = X.to_dask_array(lengths=True)
        if not isinstance(X, da.Array):
            return getattr(local, method)(X)
        X = X.rechunk({1: -1})
        call = getattr(local, method)
        if width is None:
            return X.map_blocks(call, drop_axis=1, dtype=None, meta=np.empty(0))
        return X.map_blocks(
            call, chunks=(X.chunks[0], (width,)), dtype=np.float64, meta=np.empty((0, 0))
        )

    def predict(self, X):
        """Predictions for the rows of X: lazily per block for a Dask collection."""
        return self._on_blocks("predict", X, None)

    def to_local(self):
        """The fitted local estimator (same parameters, same model bytes)."""
        self._check_fitted()
        local = self._local_class(**self._local_params())
        for name, value in self.__dict__.items():
            if name.endswith("_") or name in ("_core_keywords", "_schema", "_trained_params"):
                setattr(local, name, value)
        return local


class DaskVorlentClassifier(_DaskTraining, VorlentClassifier):
    """:class:`~vorlent.VorlentClassifier` trained on a Dask cluster (see :meth:`fit`).

    Takes the classifier's parameters (``exact_sums=True`` is the default and the only
    choice; ``split_mode='axis'`` is the default, the oblique modes train too) plus ``client`` (None: the default client) and
    ``fit_timeout``, the seconds any one step may wait for the workers before the fit fails.
    """

    _local_class = VorlentClassifier

    def predict_proba(self, X):
        """Class probabilities of the rows of X: lazily per block for a Dask collection."""
        self._check_fitted()
        return self._on_blocks("predict_proba", X, len(self.classes_))

    def _dask_classes(self, y):
        import dask.array as da
        import dask.dataframe as dd

        labels = y.to_dask_array(lengths=True) if isinstance(y, (dd.Series,)) else y
        classes = np.asarray(da.unique(labels).compute())
        if len(classes) < 2:
            raise ValueError("y holds fewer than 2 classes: a classifier needs at least 2")
        return classes


class DaskVorlentRegressor(_DaskTraining, VorlentRegressor):
    """:class:`~vorlent.VorlentRegressor` trained on a Dask cluster (see :meth:`fit`).

    Takes the regressor's parameters (``exact_sums=True`` is the default and the only
    choice; ``split_mode='axis'`` is the default, the oblique modes train too) plus ``client`` and ``fit_timeout``.
    """

    _local_class = VorlentRegressor

    def _dask_classes(self, y):
        return None
