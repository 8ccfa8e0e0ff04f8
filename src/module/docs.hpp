#pragma once
// The docstrings of the module, NumPy style. Kept apart so that the registration files
// read as a list of bindings.

namespace vorlent::binding::docs {

inline constexpr const char* kModule =
    R"(Gradient-boosted decision trees with oblique and categorical-pair splits.

The native core of vorlent: the :class:`Booster` learner and the data-preparation
functions :func:`make_folds`, :func:`te_fit_transform` and :func:`te_transform`.

Every call releases the interpreter lock while it computes, so other Python threads run
meanwhile. Arrays passed in must not be changed by another thread during a call.

Examples
--------
>>> import numpy as np, vorlent_core as vc
>>> X = np.random.default_rng(0).normal(size=(500, 3)); y = (X[:, 0] > 0) * 1.0
>>> b = vc.Booster(n_estimators=10); b.fit(X, y); b.n_trees()
10
)";

inline constexpr const char* kMakeFolds = R"(Assign every row to one of nf folds.

Parameters
----------
y : array_like of float, shape (n_rows,)
    Targets; with ``stratified``, each label (y rounded to the nearest integer) is dealt
    into the folds on its own.
nf : int
    Number of folds, at least 1.
seed : int
    Seed of the shuffle (unsigned 32-bit).
stratified : bool
    Balance every label across the folds.

Returns
-------
numpy.ndarray of int32, shape (n_rows,)
    The fold of every row, in 0 .. nf-1.

Raises
------
ValueError
    nf < 1, or a stratified y that is NaN, infinite or too large to round.

Examples
--------
>>> vc.make_folds(np.array([0., 1., 0., 1.]), 2, 42, True).tolist()  # doctest: +SKIP
[1, 0, 0, 1]
)";

inline constexpr const char* kTeFitTransform = R"(Out-of-fold target encoding of category codes.

Each code's mean target is shrunk toward the overall mean; a row's encoding is learned from
the rows of the other folds only.

Parameters
----------
codes : array_like of int64, shape (n_rows,)
    Category codes; codes outside 0 .. K-1 take no part in the statistics.
y : array_like of float, shape (n_rows,)
    Targets.
folds : array_like of whole numbers, shape (n_rows,)
    Fold of every row, in 0 .. nf-1 (for example from :func:`make_folds`).
K : int
    Number of categories.
nf : int
    Number of folds.

Returns
-------
encodings : numpy.ndarray of float64, shape (n_rows,)
    The out-of-fold encoding of every row.
full_map : numpy.ndarray of float64, shape (K,)
    The encoding of every code learned from all rows, for :func:`te_transform`.
gmean : float
    The mean target of the rows with a valid code.

Raises
------
ValueError
    A bad K, nf, length or fold, or statistics that cannot fit in memory.
)";

inline constexpr const char* kTeTransform = R"(Encode category codes with a fitted map.

Parameters
----------
codes : array_like of int64, shape (n_rows,)
    Category codes.
full_map : array_like of float, shape (K,)
    The map returned by :func:`te_fit_transform`.
gmean : float
    The value of every code outside the map.

Returns
-------
numpy.ndarray of float64, shape (n_rows,)
    ``full_map[code]`` for codes inside the map, ``gmean`` for the others.
)";

inline constexpr const char* kBooster = R"(A gradient-boosted ensemble of decision trees.

Besides threshold splits, nodes consider oblique splits on pairs of features and
category-offset-plus-slope splits; ``max_lineage`` selects a builder that splits on
directions inherited from ancestor splits.

Parameters
----------
n_estimators : int, default 60
    Boosting rounds of :meth:`fit`.
learning_rate : float, default 0.12
    Factor on every leaf value.
max_depth : int, default 4
    Depth bound of every tree (0 gives one-leaf trees).
max_bins : int, default 64
    Histogram bins per feature, at most 65536.
reg_lambda : float, default 1.0
    L2 term added to every hessian sum.
min_samples : int, default 10
    Rows a node needs to be split.
subsample : float, default 1.0
    Fraction of rows per tree.
colsample : float, default 1.0
    Fraction of columns offered per node (at least 2).
seed : int, default 42
    Seed of the random engine (unsigned 32-bit).
objective : int, default 0
    0 binary (logistic), 1 regression, 2 multiclass (softmax).
loss : int, default 0
    Regression loss: 0 squared, 1 Huber, 2 quantile.
alpha : float, default 0.9
    Quantile level of the Huber threshold and of the quantile loss.
clip : int, default 0
    Nonzero: clamp single-output raw scores to the training target range.
monotone : list of int, default []
    Per column: +1 rising, -1 falling, 0 free.
categorical : list of int, default []
    Per column: nonzero for integer category codes.
max_lineage : int, default 0
    1 or more: the lineage builder, keeping that many ancestor directions.
split_mode : int, default 0
    0 oblique search with a candidate cap, 2 without cap, other values axis-aligned only.
n_threads : int, default 0
    Threads of this booster's calls: 0 for OpenMP's default (``OMP_NUM_THREADS``), n >= 1
    for n threads (at most 1024), leaving other boosters and threads alone. Results are
    bit-identical for every thread count.
max_pair_columns : int, default 0
    0: every pair of a node's columns is proposed. n >= 2: only pairs among the node's n
    columns with the best axis-aligned gain (the lineage builder: the n that alone fit the
    gradients best), screened at every depth, so that a node's time grows with n squared
    rather than the column count squared. n at least the column count changes nothing.
best_of_kinds : bool, default False
    False: an axis-aligned split is searched only when no pair split gains. True: a node
    takes the better of its best pair split and its best axis-aligned split (the lineage
    builder also scores each candidate direction on its own).
learn_missing : bool, default False
    False: rows missing a value a split reads go right. True: every cut is also scored with
    them on the left, and they go to the side that gains more.
exact_sums : bool, default False
    True: the model does not depend on the order of the training rows nor on how they are
    split into shards. Every sum over rows (node and histogram statistics, leaf values,
    start scores, the validation loss) is taken exactly on a fixed-point grid, the quantile
    steps select exactly, trees grow level by level, and the row bag and column samples are
    drawn per row and per node from the seed. Every split_mode and max_lineage: the oblique
    searches fit their pair directions from exact moments and cut exact projected
    histograms, and so does the lineage builder. Not stored in the model bytes.

Notes
-----
Arguments are checked before anything changes: a bad shape, length, code or value raises
ValueError naming the argument (TypeError for a wrong type), and the booster is left as it
was.

Calls release the interpreter lock while they compute. Calls on one booster from several
threads run one after another: a call waits while another thread's call on the same
booster runs (a predict during a fit gets the finished model). A call made from inside a
running call on the same thread, such as from a signal handler during :meth:`fit`, raises
RuntimeError and changes nothing; the running call goes on.

Boosters pickle, copy and deep-copy: the state is the constructor parameters, the model
bytes of :meth:`serialize`, the random engine and the best iteration.

Examples
--------
>>> import numpy as np, vorlent_core as vc
>>> rng = np.random.default_rng(0)
>>> X = rng.normal(size=(1000, 4)); y = (X[:, 0] - X[:, 1] > 0) * 1.0
>>> b = vc.Booster(n_estimators=20, max_depth=3)
>>> b.fit(X, y)
>>> b.predict_proba(X[:2]).shape
(2, 2)
)";

inline constexpr const char* kFit = R"(Train a new ensemble, replacing the current one.

Parameters
----------
X : array_like of float, shape (n_rows, n_features)
    Training features; NaN marks a missing value.
y : array_like of float, shape (n_rows,)
    Targets: 0/1 for binary, class numbers 0 .. K-1 for multiclass.
sample_weight : array_like of float, shape (n_rows,), optional
    Row weights; None or empty trains unweighted.
X_val, y_val : array_like, optional
    Validation rows for early stopping (X_val is read only when y_val is not empty).
es_patience : int, default 0
    Rounds without improvement of the validation loss that stop training (0: no early
    stopping).
es_tol : float, default 1e-4
    Improvement that counts.
callback : callable, optional
    Called after every round (also the last one, after that round's early-stopping
    update) as ``callback(round, train_scores, val_scores)``: ``round`` counts the rounds
    of this call from 0; ``train_scores`` are the current raw scores of the training rows,
    shape (n_rows,) or (n_rows, n_classes) for multiclass, before any clipping to the
    target range; ``val_scores`` are those of the validation rows, or None without a
    validation set. Both are read-only copies taken for the call. The interpreter lock is
    held only while the callback runs. A true result stops training after that round, as
    Ctrl-C does: the complete trees are kept (cut back to the best round when early
    stopping is on). The callback must not use this booster (RuntimeError).

Raises
------
ValueError
    Bad shapes, lengths, values or hyper-parameters; nothing changes.
TypeError
    callback is neither callable nor None; nothing changes.
RuntimeError
    The booster is busy with a call on this thread (from a signal handler or callback).
KeyboardInterrupt
    Ctrl-C on the main thread: training stops at the end of the current round and the
    booster keeps the complete trees.
Exception
    Whatever the callback raises propagates with the booster left as after Ctrl-C: the
    complete trees are kept (none: the previous model stays, as for a failed fit).
)";

inline constexpr const char* kFitMore =
    R"(Append rounds trained on (X, y), starting from the current scores.

Parameters
----------
X : array_like of float, shape (n_rows, n_features)
    Features with the model's column count.
y : array_like of float, shape (n_rows,)
    Targets.
extra : int
    Rounds to add; nothing happens when extra <= 0 or the booster has no trees.
sample_weight : array_like of float, shape (n_rows,), optional
    Row weights.
callback : callable, optional
    Called after every round (also the last one, after that round's early-stopping
    update) as ``callback(round, train_scores, val_scores)``: ``round`` counts the rounds
    of this call from 0; ``train_scores`` are the current raw scores of the training rows,
    shape (n_rows,) or (n_rows, n_classes) for multiclass, before any clipping to the
    target range; ``val_scores`` is always None here (fit_more has no validation set).
    The array is a read-only copy taken for the call. The interpreter lock is held only
    while the callback runs. A true result stops training after that round, as Ctrl-C
    does: the complete trees are kept. The callback must not use this booster
    (RuntimeError).

Raises
------
ValueError
    Bad shapes, lengths or values; nothing changes.
TypeError
    callback is neither callable nor None; nothing changes.
RuntimeError
    The booster is busy with a call on this thread.
Exception
    Whatever the callback raises propagates; the trees added so far are kept.
)";

inline constexpr const char* kTruncate =
    R"(Keep the first n_trees trees and drop the rest, as early stopping does at its best
round: best_iteration() becomes n_trees - 1, the importances keep the gain of the dropped
trees, and the node covers of the dropped trees go with them.

Parameters
----------
n_trees : int
    Trees to keep, from 1 to n_trees().

Raises
------
ValueError
    n_trees out of range (or a booster without trees); nothing changes.
)";

inline constexpr const char* kGradients =
    R"(The gradients and hessians of this booster's objective (and loss) at raw scores, as
training computes them for its rows in every round.

Parameters
----------
y : array_like of float, shape (n_rows,)
    Targets: 0 or 1 for the binary objective, class codes 0 .. k-1 for the multiclass one.
raw : array_like of float, shape (n_rows,), or (n_rows, k) for the multiclass objective
    Raw scores (log-odds, per-class scores or regression values), as predict_raw gives
    them; k is the model's class count once it has trees.
weight : array_like of float, shape (n_rows,), optional
    Row weights that multiply both; None weighs every row 1.

Returns
-------
grad, hess : numpy.ndarray of float, each shaped as raw
    The loss's first and second derivatives by the raw score, per row (and class). The
    Huber loss's threshold is the alpha-quantile of these rows' absolute residuals.

Raises
------
ValueError
    Bad shapes or lengths, or (multiclass) a target that is not a class code.

Examples
--------
>>> b = vc.Booster(objective=1)  # squared error: grad = raw - y, hess = 1
>>> g, h = b.gradients(np.array([1.0, 2.0]), np.array([1.5, 1.0]))
>>> g.tolist(), h.tolist()
([0.5, -1.0], [1.0, 1.0])
)";

inline constexpr const char* kNTrees = R"(Number of trees in the ensemble.

Returns
-------
int
)";

inline constexpr const char* kBestIteration =
    R"(Index of the best round of the last early-stopped fit.

Returns
-------
int
    -1 when the last fit did not use early stopping.
)";

inline constexpr const char* kPredictRaw =
    R"(Raw scores (log-odds, regression values or per-class scores).

Parameters
----------
X : array_like of float, shape (n_rows, n_features)
    At least as many columns as the model reads.
n_trees : int, optional
    Use only the first ``n_trees`` trees (0: the start score alone); None, the default,
    uses every tree. A count above the model's trees raises ValueError.

Returns
-------
numpy.ndarray of float64
    Shape (n_rows,), or (n_rows, n_classes) for multiclass models.

Raises
------
KeyboardInterrupt
    Ctrl-C on the main thread stops the call within milliseconds; the booster is unchanged.
)";

inline constexpr const char* kPredictProba = R"(Class probabilities.

Parameters
----------
X : array_like of float, shape (n_rows, n_features)
    At least as many columns as the model reads.
n_trees : int, optional
    Use only the first ``n_trees`` trees (0: the start score alone); None, the default,
    uses every tree. A count above the model's trees raises ValueError.

Returns
-------
numpy.ndarray of float64
    Shape (n_rows, 2) for single-output models, (n_rows, n_classes) for multiclass.

Raises
------
KeyboardInterrupt
    Ctrl-C on the main thread stops the call within milliseconds; the booster is unchanged.
)";

inline constexpr const char* kFeatureImportances =
    R"(Split gain per feature, normalised to sum to 1.

Returns
-------
numpy.ndarray of float64, shape (n_features,)
)";

inline constexpr const char* kCoefficientImportances =
    R"(Gain of oblique splits weighted by each feature's coefficient, normalised.

Returns
-------
numpy.ndarray of float64, shape (n_features,)
)";

inline constexpr const char* kInteractionImportances =
    R"(Gain of pair splits per feature pair, normalised, as a dense matrix.

Entry (a, b) is the share of the pair splits' gain credited to feature_a = a and
feature_b = b (a split credits the pair in the order it reads it); the entries sum to 1,
or are all 0 without pair splits. The model keeps only the pairs that pair splits read:
on a wide model prefer :meth:`interaction_pairs`, which does not build the square.

Returns
-------
numpy.ndarray of float64, shape (n_features, n_features)

Raises
------
ValueError
    The matrix would need more than half of the available memory.

Examples
--------
>>> import numpy as np, vorlent_core as vc
>>> rng = np.random.default_rng(0)
>>> X = rng.normal(size=(500, 3)); y = (X[:, 0] + X[:, 2] > 0) * 1.0
>>> b = vc.Booster(n_estimators=5, max_depth=2)
>>> b.fit(X, y)
>>> m = b.interaction_importances()
>>> m.shape, bool(np.isclose(m.sum(), 1.0))
((3, 3), True)
)";

inline constexpr const char* kInteractionPairs =
    R"(Gain of pair splits per feature pair, normalised, for the pairs that have any.

The sparse form of :meth:`interaction_importances`: its memory grows with the pairs that
pair splits read, not with the square of the feature count.

Returns
-------
pairs : numpy.ndarray of int64, shape (n_pairs, 2)
    (feature_a, feature_b) of every pair that pair splits credited, in increasing order
    (by feature_a, then feature_b).
importances : numpy.ndarray of float64, shape (n_pairs,)
    Their shares: ``interaction_importances()[pairs[:, 0], pairs[:, 1]]``, every other
    entry of that matrix being 0.

Examples
--------
>>> import numpy as np, vorlent_core as vc
>>> X = np.random.default_rng(1).normal(size=(400, 4))
>>> b = vc.Booster(n_estimators=4, max_depth=2)
>>> b.fit(X, (X[:, 1] - X[:, 3] > 0) * 1.0)
>>> pairs, shares = b.interaction_pairs()
>>> dense = np.zeros((4, 4)); dense[pairs[:, 0], pairs[:, 1]] = shares
>>> bool(np.array_equal(dense, b.interaction_importances()))
True
)";

inline constexpr const char* kValidationLosses =
    R"(The validation loss after every round of the last training call with early stopping.

Returns
-------
numpy.ndarray of float64
    One loss per round run, in order, including rounds that early stopping cut back
    afterwards; empty when the last fit or fit_more watched no validation set. The loss
    is the mean log loss (binary, multiclass) or the mean squared error (regression).
    It is not part of the model bytes.
)";

inline constexpr const char* kExplain = R"(Per-row contributions of every feature to the raw score.

Parameters
----------
X : array_like of float, shape (n_rows, n_features)
    At least as many columns as the model reads.
n_trees : int, optional
    Use only the first ``n_trees`` trees (0: the start score alone); None, the default,
    uses every tree. A count above the model's trees raises ValueError.

Returns
-------
numpy.ndarray of float64, shape (n_rows, n_features)

Raises
------
KeyboardInterrupt
    Ctrl-C on the main thread stops the call within milliseconds; the booster is unchanged.
)";

inline constexpr const char* kSerialize = R"(The model as bytes.

Returns
-------
bytes
    Loadable with :meth:`deserialize`.

Raises
------
MemoryError
    The bytes do not fit in memory.
)";

inline constexpr const char* kDeserialize = R"(Replace the model with one read from bytes.

All bytes are checked before anything is replaced.

Parameters
----------
data : bytes
    Bytes written by :meth:`serialize` (positional only).

Raises
------
ValueError
    Malformed bytes, naming the byte offset; the booster is unchanged.
)";

inline constexpr const char* kGetState = R"(Pickle state: (parameters, model bytes, training state).

Returns
-------
tuple of (dict, bytes, dict)
    The constructor keywords, the bytes of :meth:`serialize`, and the state of the random
    engine and the best iteration, so that a copy continues training (:meth:`fit_more`) as
    the original would.
)";

inline constexpr const char* kSetState = R"(Restore a booster from :meth:`__getstate__` state.

Called by pickle and copy on a new object; on an initialised booster it does nothing, as
``__init__`` does.

Raises
------
TypeError, ValueError
    A state that is not such a tuple, bad parameters or malformed model bytes.
)";

inline constexpr const char* kRepr = R"(The constructor call with the non-default parameters.)";

inline constexpr const char* kInteractionValues =
    R"(Pairwise Shapley interaction values of the raw score, per row.

The same path-dependent (tree-structure) expectation as :meth:`shap_values`, laid out as
XGBoost's ``pred_interactions`` and shap's ``shap_interaction_values``: entry (i, j),
i != j, is half the Shapley interaction index of columns i and j (the same in (j, i)); the
diagonal (i, i) is the Shapley value of i less the rest of row i, so row i sums to the
Shapley value of column i; the last row and column are zero but for the corner, which
holds the expected value. Every matrix thus sums to the unclipped raw score up to rounding.
Only models whose splits each read one column are supported.

Parameters
----------
X : array_like of shape (n_rows, n_cols)
    Rows to explain; missing values are NaN.
background : array_like of shape (n_background, n_cols), optional
    Rows whose counts at every node give the covers, as for :meth:`shap_values`.
n_trees : int, optional
    Explain the score of the first ``n_trees`` trees only; None, the default, uses every
    tree.

Returns
-------
numpy.ndarray
    Shape (n_rows, n_cols + 1, n_cols + 1), or (n_rows, n_outputs, n_cols + 1, n_cols + 1)
    for the multiclass objective.

Raises
------
ValueError
    For the arguments :meth:`shap_values` refuses, and when a split reads more than one
    column (pair or projection splits): "interaction_values supports single-feature splits
    only".
KeyboardInterrupt
    Ctrl-C on the main thread stops the call within milliseconds; the booster is unchanged.

Examples
--------
>>> import numpy as np, vorlent_core as vc
>>> X = np.random.default_rng(0).normal(size=(200, 3))
>>> b = vc.Booster(n_estimators=5, split_mode=1)
>>> b.fit(X, (X[:, 0] > 0).astype(float))
>>> phi = b.interaction_values(X[:4])
>>> phi.shape
(4, 4, 4)
>>> bool(np.allclose(phi.sum(axis=2), b.shap_values(X[:4])))
True
)";

}  // namespace vorlent::binding::docs
