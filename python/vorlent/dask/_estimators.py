"""DaskVorlentClassifier and DaskVorlentRegressor: the estimators trained data-parallel on a
Dask cluster, with exact_sums so that the model is the one a local fit on the concatenated
rows makes."""

from __future__ import annotations

import numbers

import numpy as np

from .. import _params, _rounds
from .._base import _callback_list, _ensure_log_handler
from .._classifier import VorlentClassifier
from .._data import target_vector
from .._eval_sets import named_eval_sets
from .._regressor import VorlentRegressor
from . import _predict
from ._schema import agreed_schema
from ._train import fit_booster
from ._transport import worker_host

# The Dask estimators' own parameters, beside the local ones.
_DASK_PARAMS = ("client", "fit_timeout", "transport")
_TRANSPORTS = ("dask", "socket")


class _DaskTraining:
    """What both Dask estimators add to their local class."""

    _local_class: type

    def __init__(
        self,
        *,
        client=None,
        fit_timeout=300.0,
        transport="dask",
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
        self.transport = transport

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
        if not self.exact_sums:
            raise ValueError("Dask training always uses exact_sums; exact_sums=False is refused")
        if self.warm_start:
            raise ValueError("warm_start is not supported by Dask training")
        timeout = self.fit_timeout
        if not isinstance(timeout, numbers.Real) or isinstance(timeout, bool) or not timeout > 0:
            raise ValueError(f"fit_timeout must be a positive number of seconds, got {timeout!r}")
        if not isinstance(self.transport, str):
            raise TypeError(f"transport must be a str, got {type(self.transport).__name__}")
        if self.transport not in _TRANSPORTS:
            raise ValueError(f"transport must be one of {_TRANSPORTS}, got {self.transport!r}")

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
        """Train on Dask collections without moving their rows.

        Parameters
        ----------
        X : dask.array.Array of shape (n_samples, n_features) or dask DataFrame
            Features, NaN for missing values. Categorical columns as the local estimator
            takes them (``categorical_features``; category dtypes and strings of a frame):
            their category lists are agreed over all blocks first, so the codes are those
            of a local fit on the concatenated rows.
        y : dask.array.Array or dask Series of shape (n_samples,)
        sample_weight : dask.array.Array or dask Series, default=None
        eval_set : tuple (X_val, y_val) of Dask collections, or a list of one, default=None
            Validation rows, held where their blocks lie. With ``early_stopping=True`` the
            fit stops once their loss (or the first metric of ``eval_metric``) stalls for
            ``n_iter_no_change`` rounds and keeps the best round's trees; without it their
            loss is only recorded (``validation_score_``, ``evals_result_``).
            ``early_stopping=True`` needs it (no rows are held back from X). With
            ``eval_metric``, a verbose fit or callbacks, the validation rows' scores and
            targets come to the client every round (their features stay). One set only: a
            list of several is refused (ValueError). A tuple is recorded under
            ``"validation"``, a list's set under ``eval_names[0]`` or ``"validation_0"``.
        eval_names : list of str, default=None
            As for the local estimator: the name of the set of ``eval_set``.
        callbacks : list of callable, default=None
            As for the local estimator: ``callback(info)`` after every round with the
            validation metrics; True stops training.
        eval_train : bool, default=False
            Not supported (the training rows' scores stay on the workers): True raises
            ValueError.

        Returns
        -------
        self : object
            The fitted estimator. When the fit fails (a worker dies, a block is lost, a
            worker does not answer within ``fit_timeout`` seconds) the estimator is left as
            it was.
        """
        # As locally: the parameters of this call, copied before anything reads them.
        snapshot = type(self)(**self.get_params(deep=False))
        _params.validate_parameters(snapshot, self._local_class._parameter_constraints)
        snapshot._check_parameters()
        snapshot._check_dask_parameters()
        callbacks = _callback_list(callbacks)
        sets = named_eval_sets(eval_set, eval_names)
        if eval_train:
            raise ValueError(
                "eval_train is not supported by Dask training: the training rows' scores stay "
                "on the workers"
            )
        if len(sets) > 1:
            raise ValueError(
                f"Dask training takes one validation set; eval_set holds {len(sets)}: pass "
                "one (X_val, y_val) pair"
            )
        self._set_fitted(snapshot._trained_on_cluster(X, y, sample_weight, sets, callbacks))
        return self

    def _trained_on_cluster(self, X, y, sample_weight, sets, callbacks):
        """The fitted record of a model trained on the cluster with this estimator's
        parameters; ``sets``: at most one named validation set."""
        if self.early_stopping == "auto":
            raise ValueError(
                "early_stopping='auto' is not supported by Dask training: pass True or False"
            )
        early = bool(self.early_stopping)
        if early and not sets:
            raise ValueError(
                "early_stopping=True needs eval_set=(X_val, y_val) in Dask training (it holds "
                "back no rows of X)"
            )
        if self.verbose:
            _ensure_log_handler()
        client = self._client()
        if self.transport == "socket":
            for address in client.scheduler_info()["workers"]:
                worker_host(address)
        classes = self._dask_classes(y)
        task = self._task(classes)
        schema = agreed_schema(client, X, self.categorical_features, float(self.fit_timeout))
        seed = _params.core_seed(self.random_state)
        keywords = _params.core_keywords(self, schema, seed=seed, **self._objective(classes))
        watch = self._watch(task, early, [name for name, *_ in sets])
        validation = {}
        if sets and (callbacks or watch.metrics or self.verbose or not watch.core_records):
            name, _X_val, y_val, argument = sets[0]
            labels = target_vector(
                np.asarray(client.compute(y_val).result()), argument=f"{argument}[1]"
            )
            validation[name] = _rounds.EvalRows(self._encode_target(labels, classes)[0], None)
        monitor = self._monitor(watch, callbacks, None, validation)
        booster = fit_booster(
            client,
            keywords,
            X,
            y,
            sample_weight,
            classes,
            float(self.fit_timeout),
            eval_set=tuple(sets[0][1:3]) if sets else None,
            es_patience=watch.patience,
            es_tol=watch.tol,
            schema=schema,
            callback=monitor,
            transport=self.transport,
        )
        return self._fitted_state(booster, keywords, schema, classes, early, watch, monitor)

    def _on_blocks(self, method: str, X):
        """The local estimator's method on every row block of a Dask collection, lazily, as
        :mod:`vorlent.dask`'s functions run it (a NumPy or other local input is answered at
        once, as the local estimator does)."""
        import dask

        local = self.to_local()
        if not dask.is_dask_collection(X):
            return getattr(local, method)(X)
        return getattr(_predict, method)(local, X, client=self.client)

    def predict(self, X):
        """Predictions for the rows of X: lazily per block for a Dask collection (a Dask
        Series named ``"prediction"`` for a DataFrame)."""
        return self._on_blocks("predict", X)

    def __getstate__(self):
        # A client holds its connections and event loop: a pickled estimator drops it and
        # uses the default client when it next needs one (as the peers' Dask estimators do).
        state = dict(super().__getstate__())
        state["client"] = None
        return state

    def save_model(self, path) -> None:
        """Write the fitted model as the local estimator writes it (see
        :meth:`~vorlent.VorlentClassifier.save_model`): :func:`vorlent.load_model` gives back
        a :class:`~vorlent.VorlentClassifier` or :class:`~vorlent.VorlentRegressor` with the
        same model bytes, which needs no cluster."""
        self.to_local().save_model(path)

    def to_local(self):
        """The fitted local estimator (same parameters, same model bytes)."""
        state = self._state()
        local = self._local_class(**self._local_params())
        local._set_fitted(state)
        return local


class DaskVorlentClassifier(_DaskTraining, VorlentClassifier):
    """:class:`~vorlent.VorlentClassifier` trained on a Dask cluster (see :meth:`fit`).

    Takes the classifier's parameters (``exact_sums=True`` is the default and the only
    choice; ``split_mode='axis'`` is the default, the oblique modes and the lineage builder,
    ``max_lineage >= 1``, train too) plus ``client`` (None: the default client) and
    ``fit_timeout``, the seconds any one step may wait for the workers before the fit fails,
    and ``transport``, how the client reaches the workers' shards: ``"dask"`` (Dask's actor
    calls) or ``"socket"`` (one TCP connection to each worker, opened for the fit on the
    worker's host with a secret token; faster round trips where they dominate, as on small
    tables; needs workers reached over plain ``tcp://``). Both give the same model bytes.
    """

    _local_class = VorlentClassifier

    def predict_proba(self, X):
        """Class probabilities of the rows of X: lazily per block for a Dask collection."""
        return self._on_blocks("predict_proba", X)

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
    choice; ``split_mode='axis'`` is the default, the oblique modes and the lineage builder,
    ``max_lineage >= 1``, train too) plus ``client``, ``fit_timeout`` and ``transport``
    (see :class:`DaskVorlentClassifier`).
    """

    _local_class = VorlentRegressor

    def _dask_classes(self, y):
        return None
