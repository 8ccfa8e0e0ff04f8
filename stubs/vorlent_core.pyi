from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]
_ArrayLike = npt.ArrayLike
# callback(round, train_scores, val_scores): read-only copies of the raw scores after the
# round (val_scores None without a validation set); a true result stops training.
_RoundCallback = Callable[[int, _F64, _F64 | None], object]

def make_folds(y: _ArrayLike, nf: int, seed: int, stratified: bool) -> npt.NDArray[np.int32]: ...
def te_fit_transform(
    codes: _ArrayLike, y: _ArrayLike, folds: _ArrayLike, K: int, nf: int
) -> tuple[_F64, _F64, float]: ...
def te_transform(codes: _ArrayLike, full_map: _ArrayLike, gmean: float) -> _F64: ...

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
        n_threads: int = 0,
        max_pair_columns: int = 0,
        best_of_kinds: bool = False,
        learn_missing: bool = False,
        exact_sums: bool = False,
    ) -> None: ...
    def fit(
        self,
        X: _ArrayLike,
        y: _ArrayLike,
        sample_weight: _ArrayLike | None = ...,
        X_val: _ArrayLike | None = ...,
        y_val: _ArrayLike | None = ...,
        es_patience: int = 0,
        es_tol: float = 1e-4,
        callback: _RoundCallback | None = None,
    ) -> None: ...
    def fit_more(
        self,
        X: _ArrayLike,
        y: _ArrayLike,
        extra: int,
        sample_weight: _ArrayLike | None = ...,
        callback: _RoundCallback | None = None,
    ) -> None: ...
    def truncate(self, n_trees: int) -> None:
        """Keep the first n_trees trees (1 to n_trees()); best_iteration() becomes n_trees - 1
        and the importances keep the gain of the dropped trees."""
    def gradients(
        self, y: _ArrayLike, raw: _ArrayLike, weight: _ArrayLike | None = None
    ) -> tuple[_F64, _F64]:
        """(grad, hess) of the booster's objective at the raw scores ``raw`` for targets
        ``y``, each shaped as ``raw``; ValueError for bad shapes."""
    def n_trees(self) -> int: ...
    def best_iteration(self) -> int: ...
    def predict_raw(self, X: _ArrayLike, /, n_trees: int | None = None) -> _F64: ...
    def predict_proba(self, X: _ArrayLike, /, n_trees: int | None = None) -> _F64: ...
    def feature_importances(self) -> _F64: ...
    def coefficient_importances(self) -> _F64: ...
    def interaction_importances(self) -> _F64:
        """Normalised gain of pair splits per ordered feature pair, as an
        (n_features, n_features) matrix built on request; see interaction_pairs."""
    def interaction_pairs(self) -> tuple[npt.NDArray[np.int64], _F64]:
        """The same shares for the pairs that have any: (pairs, importances), pairs of shape
        (n_pairs, 2) holding (feature_a, feature_b) in increasing order."""
    def validation_losses(self) -> _F64: ...
    def explain(self, X: _ArrayLike, /, n_trees: int | None = None) -> _F64: ...
    def serialize(self) -> bytes: ...
    def deserialize(self, data: bytes, /) -> None: ...
    def shap_values(
        self, X: _ArrayLike, background: _ArrayLike | None = None, n_trees: int | None = None
    ) -> _F64:
        """Exact Shapley values of the unclipped raw score, per row.

        A split decides by the row only when all of its features are in the coalition;
        otherwise it follows both sides weighted by their covers (recorded at training, or
        counted from ``background`` rows, which a loaded model needs). Returns shape
        (n_rows, n_cols + 1), or (n_rows, n_outputs, n_cols + 1) for multiclass; the last
        column is the expected value and each row sums to its raw score.
        """
    def interaction_values(
        self, X: _ArrayLike, background: _ArrayLike | None = None, n_trees: int | None = None
    ) -> _F64:
        """Pairwise Shapley interaction values of the unclipped raw score, per row, under the
        expectation of shap_values; single-feature splits only. Returns shape
        (n_rows, n_cols + 1, n_cols + 1), or (n_rows, n_outputs, n_cols + 1, n_cols + 1) for
        multiclass: entry (i, j), i != j, is half the interaction index of i and j, the
        diagonal the Shapley value less the rest of the row, the corner the expected value.
        """
    def tree_nodes(self) -> list[dict[str, Any]]:
        """Every node of every tree as stored, one dict per node (tree, node, is_leaf, left,
        right, kind, feature_a, feature_b, threshold, coef_a, coef_b, bias, missing_right,
        gain, value, contribution, leaf_values, contributions, category_values, projection,
        cover)."""
    def model_facts(self) -> dict[str, Any]:
        """What the model bytes say about the model's shape: objective, n_outputs,
        n_features, n_trees, learning_rate, start_scores (one per output), clip ((low, high)
        or None) and category_counts (column -> the most category codes a categorical-pair
        split on it gives an offset)."""
    def __getstate__(self) -> tuple[dict[str, Any], bytes, dict[str, Any]]: ...
    def __setstate__(self, state: tuple[dict[str, Any], bytes, dict[str, Any]], /) -> None: ...

class Shard:
    """One worker's rows for training on shards (see fit_shards); its methods answer the
    coordinator's messages. X is read in place (a float64 C-contiguous array is not
    copied): leave it unchanged while the shard lives."""

    def __init__(
        self,
        X: _ArrayLike,
        y: _ArrayLike,
        sample_weight: _ArrayLike | None,
        first_row: int,
        settings: Booster,
    ) -> None: ...
    @staticmethod
    def from_blocks(
        blocks: list[tuple[_ArrayLike, _ArrayLike, _ArrayLike | None, int]], settings: Booster
    ) -> Shard: ...
    @property
    def n_rows(self) -> int: ...
    def batch(self, messages: list[tuple[str, tuple[Any, ...]]]) -> Any: ...

def fit_shards(
    booster: Booster,
    n_features: int,
    weighted: bool,
    call: Callable[..., list[Any]],
    val_call: Callable[..., list[Any]] | None = None,
    n_val: int = 0,
    es_patience: int = 0,
    es_tol: float = 0.0,
    callback: Callable[[int, Any, Any], bool | None] | None = None,
) -> None: ...
