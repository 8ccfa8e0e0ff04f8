"""What the estimators do after every boosting round: evaluate the metrics on the training
and validation rows, record them, log them, call the user's callbacks and, when early
stopping watches a metric that the core does not compute itself, decide when to stop.

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
        validation with a validation set, under the names of ``fit``'s ``eval_set``); the
        names are those of ``evals_result_``.
    """

    iteration: int
    evals: dict


@dataclass
class EvalRows:
    """The targets (as the core sees them) and weights of one evaluated set, and where its
    rows' scores lie among the scores the core hands over (the validation sets of a fit
    are one block of rows for the core)."""

    y: np.ndarray
    weight: np.ndarray | None = None
    # A factory: a slice default is refused before CPython 3.12 (slices were not hashable).
    rows: slice = field(default_factory=lambda: slice(None))


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


class Watch(NamedTuple):
    """How one fit watches its validation rows (see ``VorlentEstimator._watch``)."""

    metrics: list  # recorded every round: eval_metric's, or the own loss the core cannot record
    own: _metrics.Metric  # the estimator's own loss: validation_score_
    core_records: bool  # the core records ``own`` on the validation rows itself
    stopping: MetricStopping | None  # early stopping decided in Python, or None
    patience: int  # the core's es_patience
    tol: float  # the core's es_tol
    first: str | None  # the name of the validation set that early stopping watches


class RoundMonitor:
    """The core's round callback for one fit: ``monitor(round, train_scores, val_scores)``.

    ``validation`` maps each validation set's name to its rows; the first set is the one
    that early stopping watches and whose ``score`` (the estimator's own loss, when the core
    does not record it) is kept in ``scores``.
    """

    def __init__(
        self,
        metrics: list[_metrics.Metric],
        *,
        quantile: float = 0.5,
        training: EvalRows | None = None,
        validation: dict[str, EvalRows] | None = None,
        score: _metrics.Metric | None = None,
        callbacks=(),
        log_every: int = 0,
        stopping: MetricStopping | None = None,
        first_iteration: int = 0,
        exact: bool = False,
    ):
        self.metrics = metrics
        self.quantile = quantile
        self.exact = exact  # built-in metrics free of the rows' order (exact_sums fits)
        self.training = training
        self.validation = dict(validation or {})
        self.watched = next(iter(self.validation), None)
        self.score = score if self.watched is not None else None
        self.scores = None if self.score is None else []
        self.callbacks = list(callbacks)
        self.log_every = int(log_every)
        self.stopping = stopping
        self.first_iteration = first_iteration
        names = (["training"] if training is not None else []) + list(self.validation)
        self.history = {name: {m.name: [] for m in metrics} for name in names}

    def __call__(self, round_: int, train_scores, val_scores) -> bool:
        iteration = self.first_iteration + round_
        evals = {}
        if self.training is not None and train_scores is not None:
            evals["training"] = self._evaluate(self.metrics, self.training, train_scores)
        if val_scores is not None:
            for name, rows in self.validation.items():
                evals[name] = self._evaluate(self.metrics, rows, val_scores[rows.rows])
        for name, values in evals.items():
            for metric, value in values.items():
                self.history[name][metric].append(value)
        if self.score is not None and self.watched in evals:
            rows = self.validation[self.watched]
            self.scores.append(
                evals[self.watched][self.score.name]
                if self.score in self.metrics
                else self._evaluate([self.score], rows, val_scores[rows.rows])[self.score.name]
            )
        stop = False
        if self.stopping is not None and self.watched in evals:
            watched = evals[self.watched][self.stopping.metric.name]
            stop = self.stopping.update(iteration, watched)
        if self.log_every and (iteration + 1) % self.log_every == 0 and evals:
            logger.info("round %d: %s", iteration, _describe(evals))
        info = RoundInfo(iteration, evals)
        # Every callback sees every round, also when an earlier one asked to stop.
        asked = [bool(callback(info)) for callback in self.callbacks]
        return stop or any(asked)

    def _evaluate(self, metrics, rows: EvalRows, scores) -> dict:
        return {
            m.name: m.compute(rows.y, scores, rows.weight, self.quantile, self.exact)
            for m in metrics
        }


def _describe(evals: dict) -> str:
    return ", ".join(
        f"{name} {metric} {value:.6g}"
        for name, values in evals.items()
        for metric, value in values.items()
    )
