"""Evaluation metrics computed from raw scores after every boosting round.

Every metric takes the targets as the core sees them (0/1 for binary, class numbers for
multiclass, values for regression), the raw scores of the rows (log-odds, one score per class,
or the prediction), the row weights or None, the estimator's ``quantile`` and ``exact``; it
returns a float. "auc" is the one metric where higher is better.

With ``exact`` (estimators with ``exact_sums=True``) a built-in metric does not depend on the
order of the rows: a mean is the exactly rounded sum of the per-row values (weighted: of
value times weight) over the exactly rounded sum of the weights, and "auc" reads the rows in
one order fixed by their values. A validation set then scores the same in any row order and
however it is split into blocks.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

# Probabilities are clipped away from 0 and 1 before a logarithm, as scikit-learn does.
_EPS = np.finfo(np.float64).eps


@dataclass(frozen=True)
class Metric:
    name: str
    compute: Callable  # (y, raw, weight, quantile, exact) -> float
    higher_is_better: bool = False
    by_core: bool = False  # the core records this loss on its validation rows itself


def _mean(values, weight, exact: bool) -> float:
    if not exact:
        return float(np.average(values, weights=weight))
    values = np.asarray(values, dtype=np.float64)
    if len(values) == 0:
        return math.nan
    if weight is None:
        return math.fsum(values.tolist()) / len(values)
    weight = np.asarray(weight, dtype=np.float64)
    return math.fsum((values * weight).tolist()) / math.fsum(weight.tolist())


def _sigmoid(raw):
    return 1.0 / (1.0 + np.exp(-raw))


def _softmax(raw):
    shifted = np.exp(raw - raw.max(axis=1, keepdims=True))
    return shifted / shifted.sum(axis=1, keepdims=True)


def probabilities(raw):
    """Class probabilities from raw scores: of the second class for one score per row, else
    one column per class."""
    return _sigmoid(raw) if raw.ndim == 1 else _softmax(raw)


def _logloss(y, raw, weight, _q, exact=False):
    p = np.clip(_sigmoid(raw), _EPS, 1 - _EPS)
    return _mean(-(y * np.log(p) + (1 - y) * np.log(1 - p)), weight, exact)


def _error(y, raw, weight, _q, exact=False):
    return _mean((raw > 0) != (y > 0.5), weight, exact)


def _auc(y, raw, weight, _q, exact=False):
    """Area under the ROC curve; tied scores count half, as in scikit-learn."""
    w = np.ones(len(y)) if weight is None else np.asarray(weight, dtype=np.float64)
    if exact:  # one order fixed by the rows' values: the sums below no longer see theirs
        canonical = np.lexsort((w, y, raw))
        y, raw, w = np.asarray(y)[canonical], np.asarray(raw)[canonical], w[canonical]
    positive = y > 0.5
    total_pos, total_neg = w[positive].sum(), w[~positive].sum()
    if total_pos == 0 or total_neg == 0:
        return float("nan")
    order = np.argsort(raw, kind="mergesort")
    raw, pos_w, neg_w = raw[order], (w * positive)[order], (w * ~positive)[order]
    # Per group of equal scores: negatives below the group, plus half the group's own.
    starts = np.flatnonzero(np.r_[True, raw[1:] != raw[:-1]])
    group_pos = np.add.reduceat(pos_w, starts)
    group_neg = np.add.reduceat(neg_w, starts)
    below = np.cumsum(group_neg) - group_neg
    return float(np.sum(group_pos * (below + 0.5 * group_neg)) / (total_pos * total_neg))


def _mlogloss(y, raw, weight, _q, exact=False):
    p = np.clip(_softmax(raw)[np.arange(len(y)), y.astype(np.intp)], _EPS, 1 - _EPS)
    return _mean(-np.log(p), weight, exact)


def _merror(y, raw, weight, _q, exact=False):
    return _mean(np.argmax(raw, axis=1) != y.astype(np.intp), weight, exact)


def _mse(y, raw, weight, _q, exact=False):
    return _mean((raw - y) ** 2, weight, exact)


def _rmse(y, raw, weight, q, exact=False):
    return float(np.sqrt(_mse(y, raw, weight, q, exact)))


def _mae(y, raw, weight, _q, exact=False):
    return _mean(np.abs(raw - y), weight, exact)


def _pinball(y, raw, weight, q, exact=False):
    d = y - raw
    return _mean(np.where(d >= 0, q * d, (q - 1) * d), weight, exact)


def _huber(y, raw, weight, q, exact=False):
    """The Huber loss with the threshold training uses: the ``quantile``-quantile (the lower
    one) of the absolute residuals of these rows."""
    r = np.abs(raw - y)
    delta = np.partition(r, int(np.floor((len(r) - 1) * q)))[int(np.floor((len(r) - 1) * q))]
    delta = delta if delta > 0 else 1e-12
    return _mean(np.where(r <= delta, 0.5 * r * r, delta * (r - 0.5 * delta)), weight, exact)


# The metrics that eval_metric names, by task.
BINARY = {"logloss": _logloss, "error": _error, "auc": _auc}
MULTICLASS = {"mlogloss": _mlogloss, "merror": _merror}
REGRESSION = {"rmse": _rmse, "mae": _mae, "quantile": _pinball, "huber": _huber}


# The losses that early stopping watches by default, by regression loss: the loss trained.
OWN_REGRESSION = {"squared_error": _mse, "quantile": _pinball, "huber": _huber}


def built_in(task: str, loss: str = "squared_error") -> Metric:
    """The loss that early stopping watches by default, under the name the estimators record:
    the log-loss, or for regression the ``loss`` trained (the squared error, the pinball
    loss or the Huber loss). The core records the log-loss and the squared error itself;
    the others are computed here from the scores."""
    if task == "regression":
        return Metric(loss, OWN_REGRESSION[loss], by_core=loss == "squared_error")
    return Metric("log_loss", _mlogloss if task == "multiclass" else _logloss, by_core=True)


def resolve(eval_metric, task: str, link: Callable) -> list[Metric]:
    """The metrics that ``eval_metric`` asks for: None (none), a name, a callable or a list of
    names and callables. ``task`` is "binary", "multiclass" or "regression"; ``link`` turns
    raw scores into what a user's callable receives."""
    if eval_metric is None:
        return []
    wanted = eval_metric if isinstance(eval_metric, (list, tuple)) else [eval_metric]
    if not wanted:
        raise ValueError("eval_metric must name at least one metric when it is a list")
    known = {"binary": BINARY, "multiclass": MULTICLASS, "regression": REGRESSION}[task]
    metrics = []
    for item in wanted:
        if callable(item):
            metrics.append(_user_metric(item, link, task != "regression"))
        elif isinstance(item, str):
            if item not in known:
                raise ValueError(
                    f"eval_metric {item!r} is not a {task} metric; choose among "
                    f"{', '.join(repr(n) for n in known)} or pass a callable"
                )
            metrics.append(Metric(item, known[item], higher_is_better=item == "auc"))
        else:
            raise TypeError(
                f"eval_metric entries must be metric names or callables, got {type(item).__name__}"
            )
    names = [m.name for m in metrics]
    if len(set(names)) != len(names):
        raise ValueError(f"eval_metric names a metric twice: {names}")
    return metrics


def _user_metric(function, link, class_numbers: bool) -> Metric:
    def compute(y, raw, weight, _q, _exact=False):
        return float(function(y.astype(np.intp) if class_numbers else y, link(raw), weight))

    return Metric(getattr(function, "__name__", "metric"), compute)


def improved(metric: Metric, value: float, best: float, tol: float) -> bool:
    """Whether ``value`` beats ``best`` by more than ``tol`` (NaN never does)."""
    if metric.higher_is_better:
        return value > best + tol
    return value < best - tol
