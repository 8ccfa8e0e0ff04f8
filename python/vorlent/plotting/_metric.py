"""The loss recorded after every boosting round, with the best round marked."""

from __future__ import annotations

import numpy as np

from .. import _params
from ._common import label_axes, model_parts, new_axes, pyplot


def recorded_losses(model) -> dict:
    """``{dataset: {metric: [loss after every round]}}`` of a fitted model: the estimator's
    ``evals_result_`` when it has one, else its ``validation_score_`` or the booster's
    ``validation_losses()`` as the series ``"validation"``.

    Raises
    ------
    ValueError
        When no loss was recorded (the model was fitted without a validation set).
    """
    if isinstance(model, dict):
        found = model
    else:
        found = _model_losses(model_parts(model))
    series = {}
    for dataset, metrics in found.items():
        kept = {name: list(values) for name, values in metrics.items() if len(values)}
        if kept:
            series[dataset] = kept
    if not series:
        raise ValueError(
            "the model has no recorded losses: fit it with an eval_set or with "
            "early_stopping=True (a core Booster: fit with X_val and y_val) to plot them"
        )
    return series


def _model_losses(parts) -> dict:
    estimator = parts.estimator
    results = getattr(estimator, "evals_result_", None) if estimator is not None else None
    if results:  # an estimator with validation_score_ records it here too
        return results
    losses = parts.booster.validation_losses()
    return {"validation": {_core_loss_name(parts.keywords): losses}}


def _core_loss_name(keywords: dict) -> str:
    """The name of the loss the core records on validation rows: squared error for every
    regression loss, else the log-loss."""
    return "squared_error" if keywords.get("objective") == _params.REGRESSION else "log_loss"


def best_round(model):
    """The 0-based index of the best round, or None when training did not stop early (or
    ``model`` is a plain dict of losses)."""
    if isinstance(model, dict):
        return None
    parts = model_parts(model)
    if parts.estimator is not None:
        return parts.estimator.best_iteration_
    best = parts.booster.best_iteration()
    return best if best >= 0 else None


def plot_metric(
    model,
    metric=None,
    dataset_names=None,
    ax=None,
    xlim=None,
    ylim=None,
    title="Metric during training",
    xlabel="Iterations",
    ylabel="@metric@",
    figsize=None,
    dpi=None,
    grid=True,
    show_best=True,
):
    """Plot the loss recorded after every boosting round, one line per data set and metric.

    Parameters
    ----------
    model : VorlentClassifier, VorlentRegressor, vorlent_core.Booster or dict
        A fitted model that recorded losses: every series of its ``evals_result_`` (shaped
        ``{"training": {name: [...]}, "validation": {name: [...]}}``, either key may be
        missing), else ``validation_score_``, else the booster's ``validation_losses()``;
        or such a dict itself.
    metric : str, default=None
        Plot only this metric; None plots every one recorded.
    dataset_names : list of str, default=None
        Plot only these data sets (``"training"``, ``"validation"``); None plots all.
    ax : matplotlib Axes, default=None
        Axes to draw on; None draws on a new figure.
    xlim, ylim : tuple of 2 floats, default=None
        Axis limits.
    title, xlabel, ylabel : str or None
        Labels; None leaves one out. ``"@metric@"`` in ``ylabel`` stands for the metric's
        name (``"loss"`` when several are drawn).
    figsize : tuple of 2 floats, default=None
        Figure size in inches when ``ax`` is None.
    dpi : int, default=None
        Resolution of a new figure.
    grid : bool, default=True
        Draw a grid.
    show_best : bool, default=True
        Mark the best round (``best_iteration_``, 0-based like the x axis) with a vertical
        line and a dot on every line; models fitted without early stopping have none.

    Returns
    -------
    ax : matplotlib Axes

    Raises
    ------
    ValueError
        When the model recorded no losses (fitted without a validation set) or none of the
        asked metric or data sets.

    Examples
    --------
    >>> import numpy as np
    >>> import vorlent
    >>> from vorlent.plotting import plot_metric
    >>> X = np.random.default_rng(0).normal(size=(400, 3))
    >>> model = vorlent.VorlentRegressor(n_estimators=30, early_stopping=True).fit(X, X[:, 0])
    >>> ax = plot_metric(model)
    >>> len(ax.lines[0].get_ydata()) == len(model.validation_score_)
    True
    """
    pyplot()
    from matplotlib.ticker import MaxNLocator

    series = _chosen(recorded_losses(model), metric, dataset_names)
    ax = new_axes(ax, figsize, dpi)
    best = best_round(model) if show_best else None
    metrics = sorted({name for _, name, _ in series})
    for dataset, name, values in series:
        label = dataset if len(metrics) == 1 else f"{dataset} {name}"
        (line,) = ax.plot(np.arange(len(values)), values, label=label)
        if best is not None and best < len(values):
            ax.plot([best], [values[best]], "o", color=line.get_color(), zorder=3)
    if best is not None:
        ax.axvline(best, color="grey", linestyle="--", linewidth=1, label=f"best iteration {best}")
    ax.legend(loc="best")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    if xlim is not None:
        ax.set_xlim(xlim)
    if ylim is not None:
        ax.set_ylim(ylim)
    ax.grid(grid)
    if ylabel is not None:
        ylabel = ylabel.replace("@metric@", metrics[0] if len(metrics) == 1 else "loss")
    label_axes(ax, title, xlabel, ylabel)
    return ax


def _chosen(results: dict, metric, dataset_names) -> list:
    """(dataset, metric, values) of every recorded series that was asked for."""
    chosen = [
        (dataset, name, values)
        for dataset, metrics in results.items()
        for name, values in metrics.items()
        if (metric is None or name == metric)
        and (dataset_names is None or dataset in dataset_names)
    ]
    if not chosen:
        available = sorted({f"{d}/{m}" for d, metrics in results.items() for m in metrics})
        raise ValueError(
            f"no recorded loss matches metric={metric!r} and dataset_names={dataset_names!r}; "
            f"the model recorded {', '.join(available)}"
        )
    return chosen
