"""What the estimators do after every boosting round: evaluate the metrics on the training
and validation rows, record them, log them, call the user's callbacks and, when early
stopping watches a metric of ``eval_metric``, decide when to stop.

The core calls a :class:`RoundMonitor` with the raw scores of the round; returning True stops
training after that round with the trees grown so far.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from . import _metrics

logger = logging.getLogger("vorlent")


class RoundInfo(NamedTuple):
    """What a callback of ``fit(..., callbacks=[...])`` receives after every round.

    Attributes
    ----------
    iteration : int
        Index of the round (of the tree just added), from 0.
    evals : dict
        The metrics after this round: ``{"training": {name: value}, "validation": {name:
        value}}``, each set only when it is evaluated (training with ``eval_train=True``,
        validation with a validation set); the names are those of ``evals_result_``.
    """

    iteration: int
    evals: dict


@dataclass
class EvalRows:
    """The targets (as the core sees them) and weights of one evaluated set."""

    y: np.ndarray
    weight: np.ndarray | None = None


@dataclass
class MetricStopping:
    """Early stopping on a metric: ``patience`` rounds without an improvement of more than
    ``tol`` stop training."""

    metric: _metrics.Metric
    patience: int
    tol: float
    best: float = field(init=False)
    best_round: int = -1
    stall: int = 0

    def __post_init__(self):
        self.best = -np.inf if self.metric.higher_is_better else np.inf

    def update(self, round_: int, value: float) -> bool:
        """Records the round's value; True when training should stop."""
        if _metrics.improved(self.metric, value, self.best, self.tol):
            self.best, self.best_round, self.stall = value, round_, 0
            return False
        self.stall += 1
        return self.stall >= self.patience


class RoundMonitor:
    """The core's round callback for one fit: ``monitor(round, train_scores, val_scores)``."""

    def __init__(
        self,
        metrics: list[_metrics.Metric],
        *,
        quantile: float = 0.5,
        training: EvalRows | None = None,
        validation: EvalRows | None = None,
        callbacks=(),
        log_every: int = 0,
        stopping: MetricStopping | None = None,
        first_iteration: int = 0,
        exact: bool = False,
    ):
        self.metrics = metrics
        self.quantile = quantile
        self.exact = exact  # built-in metrics free of the rows' order (exact_sums fits)
        self.sets = {"training": training, "validation": validation}
        self.callbacks = list(callbacks)
        self.log_every = int(log_every)
        self.stopping = stopping
        self.first_iteration = first_iteration
        self.history = {
            name: {m.name: [] for m in metrics} for name, rows in self.sets.items() if rows
        }

    def __call__(self, round_: int, train_scores, val_scores) -> bool:
        iteration = self.first_iteration + round_
        evals = {}
        for name, scores in (("training", train_scores), ("validation", val_scores)):
            rows = self.sets[name]
            if rows is None or scores is None:
                continue
            evals[name] = {
                m.name: m.compute(rows.y, scores, rows.weight, self.quantile, self.exact)
                for m in self.metrics
            }
            for metric, value in evals[name].items():
                self.history[name][metric].append(value)
        stop = False
        if self.stopping is not None and "validation" in evals:
            watched = evals["validation"][self.stopping.metric.name]
            stop = self.stopping.update(iteration, watched)
        if self.log_every and (iteration + 1) % self.log_every == 0 and evals:
            logger.info("round %d: %s", iteration, _describe(evals))
        info = RoundInfo(iteration, evals)
        # Every callback sees every round, also when an earlier one asked to stop.
        asked = [bool(callback(info)) for callback in self.callbacks]
        return stop or any(asked)


def _describe(evals: dict) -> str:
    return ", ".join(
        f"{name} {metric} {value:.6g}"
        for name, values in evals.items()
        for metric, value in values.items()
    )
