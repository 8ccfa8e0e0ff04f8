"""Binary-classification metrics in plain numpy, shared by the examples and benchmarks."""

from __future__ import annotations

import numpy as np


def log_loss(y: np.ndarray, p: np.ndarray) -> float:
    """Mean negative log-likelihood of labels y in {0, 1} under probabilities p; p is kept
    1e-15 away from 0 and 1 so that one confident miss costs a large but finite amount."""
    p = np.clip(p, 1e-15, 1.0 - 1e-15)
    return float(-np.mean(y * np.log(p) + (1.0 - y) * np.log1p(-p)))


def roc_auc(y: np.ndarray, score: np.ndarray) -> float:
    """Area under the ROC curve by the rank-sum formula, ties sharing their mean rank."""
    order = np.argsort(score, kind="mergesort")
    sorted_scores = score[order]
    ranks = np.empty(len(score), dtype=np.float64)
    # Tied scores form runs; each run gets the mean of the ranks it spans.
    run_start = np.flatnonzero(np.r_[True, sorted_scores[1:] != sorted_scores[:-1]])
    run_end = np.r_[run_start[1:], len(score)]
    mean_rank = (run_start + run_end + 1) / 2.0
    ranks[order] = np.repeat(mean_rank, run_end - run_start)
    n_pos = float(y.sum())
    n_neg = float(len(y) - n_pos)
    if n_pos == 0 or n_neg == 0:
        return float("nan")
    return float((ranks[y == 1].sum() - n_pos * (n_pos + 1) / 2.0) / (n_pos * n_neg))


def accuracy(y: np.ndarray, p: np.ndarray) -> float:
    """Share of rows whose label is the side of 0.5 that p falls on."""
    return float(np.mean((p > 0.5) == (y == 1)))
