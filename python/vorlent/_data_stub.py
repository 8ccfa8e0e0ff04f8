"""TEMPORARY stand-in for vorlent._data until the data layer lands; removed at the merge."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class FeatureSchema:
    n_features: int
    feature_names: tuple | None
    categorical: tuple
    categories: dict

    def to_json(self) -> dict:
        return {
            "n_features": self.n_features,
            "feature_names": None if self.feature_names is None else list(self.feature_names),
            "categorical": list(self.categorical),
            "categories": {str(k): list(v) for k, v in self.categories.items()},
        }

    @classmethod
    def from_json(cls, data: dict) -> FeatureSchema:
        names = data["feature_names"]
        return cls(
            int(data["n_features"]),
            None if names is None else tuple(names),
            tuple(bool(c) for c in data["categorical"]),
            {int(k): tuple(v) for k, v in data["categories"].items()},
        )

    def feature_index(self, name_or_index) -> int:
        if isinstance(name_or_index, str):
            if self.feature_names is None or name_or_index not in self.feature_names:
                raise ValueError(f"no feature named {name_or_index!r}")
            return self.feature_names.index(name_or_index)
        index = int(name_or_index)
        if not 0 <= index < self.n_features:
            raise ValueError(f"no column {index}")
        return index


def _matrix(X, argument):
    if hasattr(X, "tocsr") or type(X).__module__.startswith("scipy.sparse"):
        raise TypeError(f"{argument} is a sparse matrix; pass a dense array")
    names = None
    if hasattr(X, "columns"):
        names = tuple(str(c) for c in X.columns)
        X = X.to_numpy(dtype=np.float64, na_value=np.nan)
    M = np.asarray(X)
    if M.dtype.kind not in "biuf":
        raise ValueError(f"{argument} must hold numbers, got dtype {M.dtype}")
    M = np.ascontiguousarray(M, dtype=np.float64)
    if M.ndim != 2:
        raise ValueError(f"{argument} must be 2-D, got {M.ndim} dimensions")
    if M.shape[0] == 0 or M.shape[1] == 0:
        raise ValueError(f"{argument} has an empty shape {M.shape}")
    if np.isinf(M).any():
        raise ValueError(f"{argument} holds an infinite value")
    return M, names


def fit_matrix(X, categorical_features="auto", *, argument="X"):
    M, names = _matrix(X, argument)
    n = M.shape[1]
    return M, FeatureSchema(n, names, (False,) * n, {})


def predict_matrix(X, schema, *, argument="X"):
    M, names = _matrix(X, argument)
    if M.shape[1] != schema.n_features:
        raise ValueError(f"{argument} has {M.shape[1]} columns, expected {schema.n_features}")
    return M


def target_vector(y, *, argument="y"):
    if hasattr(y, "to_numpy"):
        y = y.to_numpy()
    y = np.asarray(y)
    if y.ndim != 1:
        raise ValueError(f"{argument} must be 1-D")
    return y


def weight_vector(w, n_rows, *, argument="sample_weight"):
    if w is None:
        return None
    if hasattr(w, "to_numpy"):
        w = w.to_numpy()
    w = np.asarray(w, dtype=np.float64)
    if w.ndim != 1 or len(w) != n_rows:
        raise ValueError(f"{argument} has shape {w.shape}, expected ({n_rows},)")
    return w
