from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]
_ArrayLike = npt.ArrayLike

class Booster:
    def __init__(
        self,
        n_estimators: int = 60,
        learning_rate: float = 0.12,
        max_depth: int = 4,
        max_bins: int = 64,
        reg_lambda: float = 1.0,
        min_samples: int = 10,
        subsample: float = 1.0,
        colsample: float = 1.0,
        seed: int = 42,
        objective: int = 0,
        loss: int = 0,
        alpha: float = 0.9,
        clip: int = 0,
        monotone: Sequence[int] = [],
        categorical: Sequence[int] = [],
        max_lineage: int = 0,
        split_mode: int = 0,
    ) -> None: ...
    def n_trees(self) -> int: ...
    def best_iteration(self) -> int: ...
    def predict_raw(self, X: _ArrayLike, /) -> _F64: ...
    def predict_proba(self, X: _ArrayLike, /) -> _F64: ...
    def serialize(self) -> bytes: ...
    def deserialize(self, data: bytes, /) -> None: ...
