"""The classifier: labels of any kind encoded to class codes, binary or multiclass by the
number of classes, probabilities and decoded predictions."""

from __future__ import annotations

from typing import ClassVar

import numpy as np

from . import _metrics, _params
from ._base import VorlentEstimator, _tree_count
from ._compat import ClassifierMixin, check_classification_targets
from ._fitted import StateAttribute


class VorlentClassifier(ClassifierMixin, VorlentEstimator):
    """Gradient-boosted trees with oblique pair splits for classification.

    Two classes train a logistic model, three or more a softmax model. Labels may be of
    any kind scikit-learn accepts (strings, booleans, integers of any values, a pandas
    categorical): ``classes_`` holds them sorted and ``predict`` returns them.

    Parameters
    ----------
    n_estimators : int, default=1000
        Boosting rounds (trees; with early stopping, the most that are grown), at most
        2**31 - 1.
    learning_rate : float, default=0.1
        Factor on every leaf value.
    max_depth : int, default=5
        Depth bound of every tree (1 to 64).
    max_bins : int, default=64
        Histogram bins per numeric feature (2 to 65536).
    reg_lambda : float, default=1.0
        L2 regularisation added to every hessian sum.
    min_samples_split : int, default=10
        Rows a node needs to be split.
    subsample : float, default=1.0
        Share of the rows drawn for each tree, in (0, 1].
    colsample : float, default=1.0
        Share of the features offered to each node's split search, in (0, 1].
    random_state : int, RandomState instance or None, default=None
        Seeds the row and feature draws and the early-stopping split. An int is the core's
        seed itself; None draws a seed from numpy's global generator at every ``fit``.
    split_mode : {"oblique", "oblique_full", "axis"}, default="oblique"
        "oblique" searches pair splits among the most promising feature pairs, "oblique_full"
        among all pairs (slower), "axis" only single-feature thresholds.
    max_lineage : int, default=0
        0 uses the histogram tree builder; 1 or more uses the builder that splits on
        directions inherited from ancestor splits, keeping that many (two classes only).
    max_pair_columns : int, default=4
        0 pairs every feature with every other at each node. 2 or more pairs only the node's
        that many most promising features (by their best single-feature split), which makes
        wide tables much faster; at least the number of features changes nothing.
    best_of_kinds : bool, default=False
        Take the better of each node's best pair split and best single-feature split
        (otherwise a single-feature split is used only when no pair split gains).
    learn_missing : bool, default=False
        Send missing values to the side of each split that gains more (otherwise they always
        go right, ``"missing: right"`` in the split texts).
    exact_sums : bool, default=False
        Make the model independent of the order of the training rows and of how they would
        be split among workers: every sum over rows is taken exactly on a fixed-point grid,
        trees grow level by level, and the row and feature draws are keyed by row and node.
        Every ``split_mode`` is supported (the oblique searches evaluate their pairs on
        exact sums too), and so is ``max_lineage >= 1`` (projection trees).
    monotonic_cst : array-like of int, dict or None, default=None
        Per feature -1 (falling), 0 (free) or +1 (rising); a dict maps feature names or
        column indices to constraints and leaves the others free.
    categorical_features : "auto", None, array-like of str, int or bool, default="auto"
        Which columns are categorical. "auto": the frame's categorical, enum, dictionary and
        string columns. Names, column indices or a boolean mask select them explicitly;
        None treats every column as numeric.
    early_stopping : "auto" or bool, default=True
        Stop when the validation loss has not improved by more than ``tol`` for
        ``n_iter_no_change`` rounds, keeping the trees up to the best round; the validation
        rows are the (first) ``eval_set``, else ``validation_fraction`` of the training rows. "auto"
        turns it on when the training data has more than 10,000 rows (as scikit-learn's
        histogram gradient boosting does); without it an ``eval_set`` is only scored.
    validation_fraction : float or int, default=0.1
        Share (float) or number (int) of the rows held back for early stopping when no
        ``eval_set`` is given; the split is stratified by class and drawn from
        ``random_state``. It must leave at least 2 training rows (ValueError otherwise).
    n_iter_no_change : int, default=20
        Rounds without improvement that stop training.
    tol : float, default=1e-7
        Improvement of the validation loss that a round must exceed to count.
    n_jobs : int or None, default=None
        Threads of this model's calls: None or 0 the runtime's default, -1 every core, -2 all
        but one, n > 0 exactly n. Results do not depend on it.
    verbose : int, default=0
        N >= 1 logs the evaluated metrics every N rounds (rounds N - 1, 2N - 1, ...) and,
        at the end, rows, trees, best iteration and time of the fit, to the logger
        "vorlent" (given a stderr handler if logging is not configured); 0 is silent.
    warm_start : bool, default=False
        When fitted already, ``fit`` adds trees to the ensemble until it holds
        ``n_estimators`` (without early stopping), instead of starting over. The other
        hyper-parameters must be those of the first fit, except the early-stopping ones,
        ``verbose`` and ``n_jobs`` (the added trees use the first fit's thread count).
    class_weight : dict, "balanced" or None, default=None
        Weight of each class (multiplied into ``sample_weight``); "balanced" weighs class c
        by n_samples / (n_classes * count of c).
    eval_metric : str, callable, list of them or None, default=None
        Metrics evaluated after every round on the validation rows (and the training rows
        with ``fit(..., eval_train=True)``) and recorded in ``evals_result_``: "logloss",
        "error" (share misclassified) or "auc" for two classes, "mlogloss" or "merror" for
        more, or a callable ``metric(y_true, proba, sample_weight) -> float`` that receives
        the class numbers (indices into ``classes_``), the probabilities (of the second
        class for two classes, else one column per class) and the rows' weights or None,
        and is recorded under its ``__name__``. With early stopping on, the first metric
        decides when to stop (lower is better, except "auc"; callables: lower is better),
        with ``n_iter_no_change`` and ``tol``. None records the log-loss that early stopping
        watches by default. Validation rows held back from the training set keep their
        weights; an ``eval_set`` is unweighted.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted.
    n_classes_ : int
        Number of classes.
    n_features_in_ : int
        Number of features seen in ``fit``.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when ``fit`` was given a frame.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Share of the total split gain earned by each feature.
    n_estimators_ : int
        Trees in the ensemble (after early stopping, those up to the best round).
    best_iteration_ : int or None
        Index of the best round when early stopping ran, else None.
    validation_score_ : ndarray
        The validation log-loss (on the first ``eval_set``) after every round (lower is
        better), when there was a validation set; rounds cut back by early stopping are
        included.
    evals_result_ : dict
        One value per round for every metric, ``{"training": {name: [...]}, "validation":
        {name: [...]}}`` (training only with ``fit(..., eval_train=True)``; the validation
        sets under their names in ``fit``): the metrics of ``eval_metric``, or without it
        ``{"validation": {"log_loss": [...]}}``, the same losses as ``validation_score_``.
    booster_ : vorlent_core.Booster
        The core booster.

    Examples
    --------
    >>> import numpy as np
    >>> from vorlent import VorlentClassifier
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(500, 4))
    >>> y = np.where(X[:, 0] + X[:, 1] > 0, "yes", "no")
    >>> model = VorlentClassifier(n_estimators=20, random_state=0).fit(X, y)
    >>> model.classes_
    array(['no', 'yes'], dtype='<U3')
    >>> model.predict(X[4:6]).tolist()
    ['no', 'yes']
    >>> model.score(X, y) > 0.9
    True
    """

    _parameter_constraints: ClassVar[dict] = {
        **VorlentEstimator._parameter_constraints,
        "class_weight": [_params.Options(("balanced", None)), _params.Kind("dict")],
    }

    def __init__(
        self,
        *,
        n_estimators=1000,
        learning_rate=0.1,
        max_depth=5,
        max_bins=64,
        reg_lambda=1.0,
        min_samples_split=10,
        subsample=1.0,
        colsample=1.0,
        random_state=None,
        split_mode="oblique",
        max_lineage=0,
        max_pair_columns=4,
        best_of_kinds=False,
        learn_missing=False,
        exact_sums=False,
        monotonic_cst=None,
        categorical_features="auto",
        early_stopping=True,
        validation_fraction=0.1,
        n_iter_no_change=20,
        tol=1e-7,
        n_jobs=None,
        verbose=0,
        warm_start=False,
        class_weight=None,
        eval_metric=None,
    ):
        super().__init__(
            n_estimators=n_estimators,
            learning_rate=learning_rate,
            max_depth=max_depth,
            max_bins=max_bins,
            reg_lambda=reg_lambda,
            min_samples_split=min_samples_split,
            subsample=subsample,
            colsample=colsample,
            random_state=random_state,
            split_mode=split_mode,
            max_lineage=max_lineage,
            max_pair_columns=max_pair_columns,
            best_of_kinds=best_of_kinds,
            learn_missing=learn_missing,
            exact_sums=exact_sums,
            monotonic_cst=monotonic_cst,
            categorical_features=categorical_features,
            early_stopping=early_stopping,
            validation_fraction=validation_fraction,
            n_iter_no_change=n_iter_no_change,
            tol=tol,
            n_jobs=n_jobs,
            verbose=verbose,
            warm_start=warm_start,
            eval_metric=eval_metric,
        )
        self.class_weight = class_weight

    # --- targets -------------------------------------------------------------------------

    def _encode_target(self, y, classes):
        y = _labels(y)
        if classes is None:
            check_classification_targets(y)
            classes, codes = np.unique(y, return_inverse=True)
            if len(classes) < 2:
                raise ValueError(
                    f"y holds only one class ({classes[0]!r} if any): a classifier needs at "
                    "least 2 classes"
                    if len(classes)
                    else "y holds no class"
                )
            return codes.astype(np.float64), classes
        return class_codes(y, classes), classes

    def _objective(self, classes) -> dict:
        if self.max_lineage >= 1 and len(classes) > 2:
            raise ValueError(
                "max_lineage >= 1 trains two classes only; this target has "
                f"{len(classes)} classes (use max_lineage=0)"
            )
        objective = _params.BINARY if len(classes) == 2 else _params.MULTICLASS
        return {"objective": objective}

    def _target_weights(self, codes, classes):
        if self.class_weight is None:
            return None
        codes = codes.astype(np.intp)
        counts = np.bincount(codes, minlength=len(classes)).astype(np.float64)
        if self.class_weight == "balanced":
            per_class = len(codes) / (len(classes) * np.maximum(counts, 1.0))
        else:
            per_class = np.ones(len(classes))
            for label, weight in self.class_weight.items():
                where = np.flatnonzero(classes == label)
                if len(where) == 0:
                    raise ValueError(
                        f"class_weight names the label {label!r}, which is not a class of y "
                        f"({classes.tolist()})"
                    )
                per_class[where[0]] = weight
        return per_class[codes]

    def _stratify(self) -> bool:
        return True

    def _task(self, classes) -> str:
        return "binary" if len(classes) == 2 else "multiclass"

    def _link(self, raw: np.ndarray) -> np.ndarray:
        return _metrics.probabilities(raw)

    classes_ = StateAttribute()

    @property
    def n_classes_(self) -> int:
        """Number of classes."""
        return len(self.classes_)

    def _loss_name(self) -> str:
        return "log_loss"

    # --- prediction ----------------------------------------------------------------------

    def predict_proba(self, X, iteration_range=None) -> np.ndarray:
        """Class probabilities.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
        iteration_range : tuple (begin, end), default=None
            Use only the trees of rounds ``begin`` to ``end - 1``: ``begin`` must be 0, and
            ``end`` runs from 1 to ``n_estimators_``. None or ``(0, 0)`` use every kept tree,
            as in XGBoost.

        Returns
        -------
        proba : ndarray of shape (n_samples, n_classes)
            Column k is the probability of ``classes_[k]``.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentClassifier
        >>> X = np.random.default_rng(0).normal(size=(300, 3))
        >>> model = VorlentClassifier(n_estimators=5).fit(X, np.digitize(X[:, 0], [-1, 1]))
        >>> model.predict_proba(X[:2]).sum(axis=1).round(6).tolist()
        [1.0, 1.0]
        """
        return self._probabilities(self._state(), X, iteration_range)

    def _probabilities(self, state, X, iteration_range) -> np.ndarray:
        n_trees = _tree_count(iteration_range, state.n_estimators)
        return state.booster.predict_proba(self._predict_input(X, state), n_trees=n_trees)

    def decision_function(self, X, iteration_range=None) -> np.ndarray:
        """Raw scores: the log-odds of ``classes_[1]`` for two classes (shape (n_samples,)),
        else one score per class (shape (n_samples, n_classes)).

        Same as :meth:`predict_raw`.

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentClassifier
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentClassifier(n_estimators=5).fit(X, X[:, 0] > 0)
        >>> bool(((model.decision_function(X) > 0) == model.predict(X)).all())
        True
        """
        return self.predict_raw(X, iteration_range=iteration_range)

    def predict(self, X, iteration_range=None) -> np.ndarray:
        """The most probable class of every row, as a label of ``classes_``
        (``iteration_range``: see :meth:`predict_proba`).

        Examples
        --------
        >>> import numpy as np
        >>> from vorlent import VorlentClassifier
        >>> X = np.random.default_rng(0).normal(size=(200, 3))
        >>> model = VorlentClassifier(n_estimators=5).fit(X, np.where(X[:, 0] > 0, 2, 1))
        >>> sorted(set(model.predict(X).tolist()))
        [1, 2]
        """
        # One record for both: the classes of the model that gave the probabilities.
        state = self._state()
        proba = self._probabilities(state, X, iteration_range)
        return state.classes[np.argmax(proba, axis=1)]


def class_codes(y, classes: np.ndarray) -> np.ndarray:
    """The labels ``y`` as the core's targets: their positions among the fitted ``classes``
    (sorted), as float64; ValueError for a missing label or one not among the classes."""
    y = _labels(y)
    codes = np.searchsorted(classes, y)
    codes = np.minimum(codes, len(classes) - 1)
    unseen = classes[codes] != y
    if np.any(unseen):
        raise ValueError(
            f"y holds labels that were not seen in fit: {np.unique(y[unseen])[:10].tolist()}"
            f"; the classes are {classes.tolist()}"
        )
    return codes.astype(np.float64)


def _labels(y) -> np.ndarray:
    """Labels as a 1-D array that np.unique can sort; missing labels are refused."""
    y = np.asarray(y)
    if y.dtype.kind == "f" and not np.isfinite(y).all():
        row = int(np.flatnonzero(~np.isfinite(y))[0])
        raise ValueError(f"y holds {y[row]} at row {row}: every row needs a class label")
    if y.dtype.kind == "O":
        missing = [
            i for i, v in enumerate(y) if v is None or (isinstance(v, float) and np.isnan(v))
        ]
        if missing:
            raise ValueError(f"y holds a missing label at row {missing[0]}: every row needs one")
    return y
