"""vorlent on Dask: estimators trained data-parallel on a cluster
(``pip install "vorlent[dask]"``).

:class:`DaskVorlentClassifier` and :class:`DaskVorlentRegressor` train on Dask arrays and
DataFrames where their blocks lie: one actor per worker holds that worker's blocks, the
client merges the workers' summaries and decides the splits. Training uses exact_sums, so
``model.to_local()`` is the local estimator with the very model bytes of an in-process
exact_sums fit on the concatenated rows.
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
from ._train import WorkerLostError

__all__ = ["DaskVorlentClassifier", "DaskVorlentRegressor", "WorkerLostError"]
