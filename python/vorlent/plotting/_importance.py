"""Feature importances as horizontal bars, and the gain of feature pairs as a heat map."""

from __future__ import annotations

import numpy as np

from ._common import label_axes, model_parts, new_axes, pyplot, top_indices

KINDS = ("gain", "coefficient", "interaction")


def importances(model, kind: str = "gain") -> np.ndarray:
    """The per-feature importances a bar plot of ``kind`` (``"gain"``, ``"coefficient"``)
    shows."""
    booster = model_parts(model).booster
    if kind == "gain":
        return np.asarray(booster.feature_importances(), dtype=np.float64)
    return np.asarray(booster.coefficient_importances(), dtype=np.float64)


class SymmetricPairs:
    """The pair gain a heat map shows: the share of pair splits on ``(i, j)`` plus that on
    ``(j, i)`` (the core credits a pair in the order its split reads it), kept as the pairs
    that have any, so that only the shown block of the matrix is ever built."""

    def __init__(self, booster, n_features: int):
        pairs, self.shares = booster.interaction_pairs()
        self.a, self.b = pairs[:, 0], pairs[:, 1]
        self.n_features = n_features

    def row_sums(self) -> np.ndarray:
        """Each feature's row sum of the symmetric matrix."""
        n = self.n_features
        return np.bincount(self.a, self.shares, n) + np.bincount(self.b, self.shares, n)

    def block(self, keep: np.ndarray) -> np.ndarray:
        """The symmetric matrix's rows and columns ``keep``."""
        at = np.full(self.n_features, -1)
        at[keep] = np.arange(len(keep))
        inside = (at[self.a] >= 0) & (at[self.b] >= 0)
        rows, cols, shares = at[self.a[inside]], at[self.b[inside]], self.shares[inside]
        shown = np.zeros((len(keep), len(keep)))
        # Pairs are distinct, so each cell takes its (i, j) share, then its (j, i) share.
        np.add.at(shown, (rows, cols), shares)
        np.add.at(shown, (cols, rows), shares)
        return shown


def plot_importance(
    model,
    kind="gain",
    ax=None,
    height=0.2,
    xlim=None,
    ylim=None,
    title="Feature importance",
    xlabel="@kind@",
    ylabel="Features",
    max_num_features=None,
    ignore_zero=True,
    figsize=None,
    dpi=None,
    grid=True,
    precision=3,
    show_values=True,
    cmap="viridis",
    **kwargs,
):
    """Plot a model's feature importances.

    Parameters
    ----------
    model : VorlentClassifier, VorlentRegressor or vorlent_core.Booster
        A fitted model.
    kind : {"gain", "coefficient", "interaction"}, default="gain"
        ``"gain"``: each feature's share of the split gain (``feature_importances_``);
        ``"coefficient"``: the gain of pair and projection splits weighted by each feature's
        coefficient (``Booster.coefficient_importances``); ``"interaction"``: a heat map of
        the gain of pair splits between every two features (``Booster.interaction_pairs``,
        made symmetric), features on both axes.
    ax : matplotlib Axes, default=None
        Axes to draw on; None draws on a new figure.
    height : float, default=0.2
        Bar height (passed to ``ax.barh``); unused by the heat map.
    xlim, ylim : tuple of 2 floats, default=None
        Axis limits.
    title, xlabel, ylabel : str or None
        Labels; None leaves one out. ``"@kind@"`` in ``xlabel`` stands for the kind.
    max_num_features : int, default=None
        Show only the features with the largest importances (for the heat map: the largest
        row sums); None or below 1 shows all.
    ignore_zero : bool, default=True
        Leave out features whose importance is 0 (bars only).
    figsize : tuple of 2 floats, default=None
        Figure size in inches when ``ax`` is None.
    dpi : int, default=None
        Resolution of a new figure.
    grid : bool, default=True
        Draw a grid behind the bars.
    precision : int, default=3
        Digits after the decimal point of the values written beside the bars (and in the
        cells of a heat map of at most 12 features).
    show_values : bool, default=True
        Write the values beside the bars and in the heat map's cells.
    cmap : str, default="viridis"
        Colour map of the heat map.
    **kwargs
        Passed to ``ax.barh`` (bars) or ``ax.imshow`` (heat map).

    Returns
    -------
    ax : matplotlib Axes

    Examples
    --------
    >>> import numpy as np
    >>> import vorlent
    >>> from vorlent.plotting import plot_importance
    >>> X = np.random.default_rng(0).normal(size=(300, 3))
    >>> model = vorlent.VorlentRegressor(n_estimators=10).fit(X, X[:, 0] - X[:, 1])
    >>> ax = plot_importance(model, max_num_features=2)
    >>> len(ax.patches)
    2
    """
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))}, got {kind!r}")
    pyplot()
    parts = model_parts(model)
    names = parts.feature_names
    if xlabel is not None:
        xlabel = xlabel.replace("@kind@", f"{kind} importance")
    if kind == "interaction":
        pairs = SymmetricPairs(parts.booster, len(parts.booster.feature_importances()))
        if not pairs.shares.any():
            raise ValueError("the model has no pair splits, so no pair interaction gain to plot")
        shown = precision if show_values else None
        ax = _heat_map(pairs, names, ax, max_num_features, figsize, dpi, shown, cmap, kwargs)
        label_axes(ax, "Pair interaction gain" if title == "Feature importance" else title)
        return ax

    values = importances(model, kind)
    order = top_indices(values, max_num_features)
    if ignore_zero:
        order = order[values[order] > 0]
    if len(order) == 0:
        raise ValueError(f"the model has no non-zero {kind} importance to plot")
    order = order[::-1]  # largest at the top
    ax = new_axes(ax, figsize, dpi)
    rows = np.arange(len(order))
    ax.barh(rows, values[order], align="center", height=height, **kwargs)
    for row, value in zip(rows, values[order]) if show_values else ():
        ax.text(value, row, f" {value:.{int(precision)}f}", va="center", fontsize="small")
    ax.set_yticks(rows, [names[j] for j in order])
    # Room on the right for the value written after the longest bar.
    ax.set_xlim(xlim if xlim is not None else (0, values[order].max() * 1.15))
    ax.set_ylim(ylim if ylim is not None else (-1, len(order)))
    ax.grid(grid)
    ax.set_axisbelow(True)
    label_axes(ax, title, xlabel, ylabel)
    return ax


def _heat_map(pairs, names, ax, limit, figsize, dpi, precision, cmap, kwargs):
    keep = np.sort(top_indices(pairs.row_sums(), limit))
    shown = pairs.block(keep)
    labels = [names[j] for j in keep]
    if figsize is None and ax is None:
        side = min(4.0 + 0.35 * len(keep), 16.0)
        figsize = (side + 1.5, side)
    ax = new_axes(ax, figsize, dpi)
    image = ax.imshow(shown, cmap=cmap, **kwargs)
    ax.figure.colorbar(image, ax=ax, label="share of the pair split gain")
    ticks = np.arange(len(keep))
    ax.set_xticks(ticks, labels, rotation=90)
    ax.set_yticks(ticks, labels)
    if precision is not None and len(keep) <= 12:
        middle = (shown.max() + shown.min()) / 2
        for (i, j), value in np.ndenumerate(shown):
            colour = "black" if value > middle else "white"
            text = f"{value:.{int(precision)}f}" if value else ""
            ax.text(j, i, text, ha="center", va="center", fontsize="x-small", color=colour)
    return ax
