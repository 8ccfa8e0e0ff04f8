"""vorlent on Dask: training data-parallel on a cluster, and a fitted model's predictions
and explanations, target encoding and fold assignment on Dask arrays and DataFrames, lazily
and block by block (``pip install "vorlent[dask]"``).

Every function gives, once computed, exactly the numbers (bit for bit) of its local
counterpart on the concatenated rows, and a result aligned with its input: a Dask array
with the input's row chunks, or a Dask Series or DataFrame with the input's index and
divisions.

- :func:`predict`, :func:`predict_proba`, :func:`predict_raw`, :func:`explain`,
  :func:`shap_values` and :func:`interaction_values` take a fitted
  :class:`~vorlent.VorlentClassifier` or :class:`~vorlent.VorlentRegressor` and run its
  method of the same name on every row block (the module-level style of
  ``lightgbm.dask`` and ``xgboost.dask.predict``, for a model fitted in memory). The model
  is pickled once, sent to each worker once and unpickled once per worker process.
- :func:`make_folds`, :func:`te_fit_transform` and :func:`te_transform` are the data
  preparation functions of ``vorlent_core`` for Dask arrays and Series.

- :class:`DaskVorlentClassifier` and :class:`DaskVorlentRegressor` train on Dask arrays and
  DataFrames where their blocks lie: one actor per worker holds that worker's blocks, the
  client merges the workers' summaries and decides the splits. Training uses exact_sums, so
  ``model.to_local()`` is the local estimator with the very model bytes of an in-process
  exact_sums fit on the concatenated rows. The messages travel as Dask actor calls, or with
  ``transport="socket"`` over one TCP connection per worker (faster round trips; the same
  bytes).

Functions take a ``client=`` where a model travels; without one they use the default
distributed client if there is one, else the graph carries the model and any Dask
scheduler runs it. A collection built with a client's model must be computed on that
client. A 2-D Dask array must hold whole rows in every block: one chunk along the columns
(``X.rechunk({1: -1})``), else ``ValueError``.

Examples
--------
>>> import dask.array as da
>>> import numpy as np
>>> import vorlent
>>> import vorlent.dask
>>> X = np.random.default_rng(0).normal(size=(400, 3))
>>> model = vorlent.VorlentClassifier(n_estimators=5).fit(X, X[:, 0] > 0)
>>> proba = vorlent.dask.predict_proba(model, da.from_array(X, chunks=(150, 3)))
>>> proba.chunks
((150, 150, 100), (2,))
>>> bool((proba.compute() == model.predict_proba(X)).all())
True
"""

try:
    import dask.array
    import dask.dataframe  # noqa: F401
except ImportError as error:
    raise ImportError(
        "vorlent.dask needs dask with its array and dataframe parts (and distributed to run "
        "on a cluster): pip install 'vorlent[dask]'"
    ) from error

from ._estimators import DaskVorlentClassifier, DaskVorlentRegressor
from ._folds import make_folds
from ._model import load_counts
from ._predict import (
    explain,
    interaction_values,
    predict,
    predict_proba,
    predict_raw,
    shap_values,
)
from ._target_encoding import te_fit_transform, te_transform
from ._transport import WorkerLostError

__all__ = [
    "DaskVorlentClassifier",
    "DaskVorlentRegressor",
    "WorkerLostError",
    "explain",
    "interaction_values",
    "load_counts",
    "make_folds",
    "predict",
    "predict_proba",
    "predict_raw",
    "shap_values",
    "te_fit_transform",
    "te_transform",
]
