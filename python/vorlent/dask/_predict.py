"""Prediction and explanation of a fitted estimator on Dask arrays and DataFrames.

Every function here runs the estimator's own method of the same name on each row block, so
each block's numbers are those the method gives on those rows, and the concatenated result
equals, bit for bit, the method on the concatenated rows (predictions and explanations of
one row never depend on the other rows of a call). The result is lazy:

- a 2-D Dask array in gives a Dask array with the same row chunks (the other axes whole)
  and the dtype of the method's result;
- a Dask DataFrame in gives a Dask Series (one value per row: ``predict``, ``predict_raw``
  of two classes or a regression) or DataFrame (``predict_proba`` and multiclass
  ``predict_raw``, columns ``classes_``; ``explain``, columns the features;
  ``shap_values``, the features then ``"expected_value"``) with the input's index and
  divisions; three-dimensional results (``shap_values`` of three or more classes,
  ``interaction_values``) are Dask arrays with one chunk per partition.

Before any graph is built the method is tried on an empty block of the input's columns and
dtypes: a wrong type, an unfitted estimator, missing or extra columns, a wrong column count
or a bad ``iteration_range`` raise there, as the method would raise them.
"""

from __future__ import annotations

from . import _blocks, _model, _results


def predict(estimator, X, iteration_range=None, *, client=None):
    """Predicted labels (classifier) or values (regressor) of every row, lazily.

    Parameters
    ----------
    estimator : VorlentClassifier or VorlentRegressor
        A fitted estimator; its pickle is shipped to each worker once.
    X : dask.array.Array of shape (n_samples, n_features) or dask DataFrame
        Rows to predict. An array's columns must be one chunk.
    iteration_range : tuple (begin, end), default=None
        As for the estimator's ``predict``.
    client : distributed.Client, default=None
        The client whose workers get the model; None takes the default client when one
        exists, else the graph carries the model for the local schedulers.

    Returns
    -------
    dask.array.Array of shape (n_samples,) or dask Series named ``"prediction"``

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import vorlent
    >>> import vorlent.dask
    >>> X = np.random.default_rng(0).normal(size=(300, 3))
    >>> model = vorlent.VorlentRegressor(n_estimators=5).fit(X, X[:, 0])
    >>> lazy = vorlent.dask.predict(model, da.from_array(X, chunks=(100, 3)))
    >>> bool((lazy.compute() == model.predict(X)).all())
    True
    """
    return _map_rows("predict", estimator, X, {"iteration_range": iteration_range}, client)


def predict_proba(estimator, X, iteration_range=None, *, client=None):
    """Class probabilities of every row (classifiers), lazily.

    Parameters are those of :func:`predict`.

    Returns
    -------
    dask.array.Array of shape (n_samples, n_classes) or dask DataFrame
        Column k is the probability of ``classes_[k]`` (a frame's columns are the classes).
    """
    return _map_rows("predict_proba", estimator, X, {"iteration_range": iteration_range}, client)


def predict_raw(estimator, X, iteration_range=None, *, client=None):
    """Raw scores before the link (log-odds, one score per class, or the regression value).

    Parameters are those of :func:`predict`.

    Returns
    -------
    dask.array.Array of shape (n_samples,) or (n_samples, n_classes), or a dask Series named
    ``"raw_score"`` or DataFrame with the classes as columns
    """
    return _map_rows("predict_raw", estimator, X, {"iteration_range": iteration_range}, client)


def explain(estimator, X, iteration_range=None, *, client=None):
    """Per-row contribution of every feature to the raw score (the estimator's
    ``explain``), lazily.

    Parameters are those of :func:`predict`.

    Returns
    -------
    dask.array.Array of shape (n_samples, n_features) or dask DataFrame
        A frame's columns are the feature names, as the estimator's ``explain`` gives them.
    """
    return _map_rows("explain", estimator, X, {"iteration_range": iteration_range}, client)


def shap_values(estimator, X, background=None, iteration_range=None, *, client=None):
    """Exact Shapley values of the raw score per row (the estimator's ``shap_values``).

    Parameters
    ----------
    estimator, X, iteration_range, client
        As for :func:`predict`.
    background : array-like or pandas DataFrame, default=None
        In-memory rows whose counts replace the recorded node covers (needed by a model
        loaded from a file); shipped to each worker once, like the model.

    Returns
    -------
    dask.array.Array of shape (n_samples, n_features + 1) or (n_samples, n_classes,
    n_features + 1), or a dask DataFrame
        For a frame of a single-output model, the columns are the features then
        ``"expected_value"``; three or more classes give a Dask array also for frames.
    """
    kwargs = {"background": background, "iteration_range": iteration_range}
    return _map_rows("shap_values", estimator, X, kwargs, client)


def interaction_values(estimator, X, background=None, iteration_range=None, *, client=None):
    """Pairwise Shapley interaction values per row (the estimator's
    ``interaction_values``), lazily.

    Parameters are those of :func:`shap_values`.

    Returns
    -------
    dask.array.Array of shape (n_samples, n_features + 1, n_features + 1)
        Or (n_samples, n_classes, n_features + 1, n_features + 1) for three or more
        classes; an array also for frames.
    """
    kwargs = {"background": background, "iteration_range": iteration_range}
    return _map_rows("interaction_values", estimator, X, kwargs, client)


def _map_rows(method: str, estimator, X, kwargs: dict, client):
    """``estimator.method(block, **kwargs)`` on every row block of ``X``, checked first."""
    _check_estimator(estimator, method)
    _blocks.check_matrix(X, "X")
    background = kwargs.get("background")
    if background is not None:
        _blocks.check_in_memory(background, "background")
    empty = _blocks.empty_rows(X)
    # The method itself checks the columns, the fit and the keywords, and its result on no
    # rows is the empty result every block's result looks like.
    meta = _results.label(getattr(estimator, method)(empty, **kwargs), empty, estimator, method)

    client = _model.resolve_client(client)
    shipped = _model.ship(estimator, client)
    if background is not None:
        background = _model.ship_data(background, client, "vorlent-background")
    name = f"vorlent-{method.replace('_', '-')}"
    run = _blocks.task(_run_block, name)
    parts = [
        run(block, shipped.ref, shipped.digest, method, background, kwargs["iteration_range"])
        for block in _blocks.blocks(X)
    ]
    return _blocks.assemble(X, parts, meta, name)


def _run_block(block, blob: bytes, digest: str, method: str, background, iteration_range):
    """What a worker runs on one block: the cached estimator's method, labelled for frames."""
    estimator = _model.load(digest, blob)
    kwargs = {"iteration_range": iteration_range}
    if method in ("shap_values", "interaction_values"):
        kwargs["background"] = background
    result = getattr(estimator, method)(block, **kwargs)
    return _results.label(result, block, estimator, method)


def _check_estimator(estimator, method: str) -> None:
    """TypeError unless ``estimator`` is a vorlent estimator that has ``method``."""
    from .._base import VorlentEstimator

    if not isinstance(estimator, VorlentEstimator):
        raise TypeError(
            "estimator must be a VorlentClassifier or VorlentRegressor, got "
            f"{type(estimator).__module__}.{type(estimator).__qualname__}"
        )
    if not callable(getattr(type(estimator), method, None)):
        raise TypeError(f"{type(estimator).__name__} has no {method} (a regressor has no classes)")
