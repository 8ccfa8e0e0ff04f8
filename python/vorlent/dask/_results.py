"""What a prediction block becomes when the rows came from a DataFrame partition.

A frame's rows keep their index: one value per row becomes a pandas Series, one row of
values per row a pandas DataFrame with named columns, so that the Dask result has the
input's divisions and can be joined back to it. Arrays of three or more dimensions (the
Shapley values of three or more classes, interaction values) stay NumPy arrays. The
numbers are never touched, only labelled.
"""

from __future__ import annotations

import numpy as np

#: The name of the Series of one value per row, per method.
SERIES_NAMES = {
    "predict": "prediction",
    "predict_raw": "raw_score",
}

#: The column of the expected value that follows the features in Shapley values.
EXPECTED_VALUE = "expected_value"


def label(result, block, estimator, method: str):
    """``result`` of ``estimator.method(block)`` as a pandas object indexed like ``block``
    when ``block`` is a pandas DataFrame and ``result`` an array of one or two dimensions;
    anything else is returned as it is."""
    if not isinstance(result, np.ndarray) or result.ndim > 2 or not _is_pandas_frame(block):
        return result
    import pandas as pd

    if result.ndim == 1:
        # An explicit dtype keeps labels of dtype object as objects, partition after
        # partition, whatever pandas would infer from their values.
        dtype = object if result.dtype.kind in "OUS" else result.dtype
        return pd.Series(result, index=block.index, name=SERIES_NAMES[method], dtype=dtype)
    return pd.DataFrame(result, index=block.index, columns=columns(estimator, method))


def columns(estimator, method: str) -> list:
    """Column labels of a two-dimensional result: the classes for per-class scores, the
    features then the expected value for Shapley values."""
    if method in ("predict_proba", "predict_raw"):
        return list(estimator.classes_)
    names = getattr(estimator, "feature_names_in_", None)
    features = (
        list(names) if names is not None else [str(j) for j in range(estimator.n_features_in_)]
    )
    return [*features, EXPECTED_VALUE]


def _is_pandas_frame(block) -> bool:
    return type(block).__module__.split(".")[0] == "pandas" and hasattr(block, "columns")
