"""The summary of Shapley values over many rows, without the ``shap`` package: a beeswarm
(one row of points per feature, coloured by the feature's value) or bars of the mean
absolute value."""

from __future__ import annotations

import math

import numpy as np

from ._common import label_axes, new_axes, pyplot, top_indices

KINDS = ("beeswarm", "bar")
ROW_HALF_HEIGHT = 0.4  # the beeswarm spreads a feature's points this far above and below


def shap_matrix(values, n_columns: int, class_index=None) -> np.ndarray:
    """The Shapley values as (rows, columns) or, for several outputs without
    ``class_index``, (rows, outputs, columns): the expected-value column dropped when the
    width is ``n_columns + 1``."""
    values = np.asarray(values, dtype=np.float64)
    if values.ndim not in (2, 3):
        raise ValueError(
            "values must be (rows, columns [+ 1]) or (rows, outputs, columns [+ 1]) as "
            f"shap_values returns, got shape {values.shape}"
        )
    if values.shape[-1] == n_columns + 1:
        values = values[..., :n_columns]
    if values.shape[-1] != n_columns:
        raise ValueError(
            f"values have {values.shape[-1]} columns but X has {n_columns}: expected "
            f"{n_columns} or {n_columns + 1} (with the expected value)"
        )
    if values.ndim == 3 and class_index is not None:
        if not -values.shape[1] <= class_index < values.shape[1]:
            raise ValueError(
                f"class_index={class_index} is out of range for {values.shape[1]} outputs"
            )
        values = values[:, class_index, :]
    return values


def feature_matrix(X, feature_names=None):
    """(float matrix, names) of ``X``: numbers as they are, other columns (strings,
    categories) as the positions of their sorted values, missing values NaN."""
    names = feature_names
    if names is None and hasattr(X, "columns"):
        names = [str(c) for c in X.columns]
    if hasattr(X, "columns"):
        columns = [_numbers(np.asarray(X[c])) for c in X.columns]
        matrix = np.column_stack(columns) if columns else np.empty((len(X), 0))
    else:
        matrix = np.asarray(X)
        if matrix.ndim != 2:
            raise ValueError(f"X must be 2-D (rows x columns), got shape {matrix.shape}")
        matrix = np.column_stack([_numbers(matrix[:, j]) for j in range(matrix.shape[1])])
    if names is None:
        names = [f"x{j}" for j in range(matrix.shape[1])]
    if len(names) != matrix.shape[1]:
        raise ValueError(
            f"feature_names has {len(names)} names but X has {matrix.shape[1]} columns"
        )
    return matrix, list(names)


def _numbers(column: np.ndarray) -> np.ndarray:
    try:
        return column.astype(np.float64)
    except (TypeError, ValueError):
        present = np.array([not _missing(v) for v in column], dtype=bool)
        out = np.full(len(column), np.nan)
        if present.any():
            _, codes = np.unique(column[present].astype(str), return_inverse=True)
            out[present] = codes
        return out


def _missing(value) -> bool:
    """None, NaN and the frames' own missing markers (pandas' NA and NaT)."""
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return True
    return isinstance(value, float) and math.isnan(value)


def plot_shap_summary(
    values,
    X,
    kind="beeswarm",
    feature_names=None,
    max_display=20,
    class_index=None,
    ax=None,
    figsize=None,
    dpi=None,
    title=None,
    xlabel="@kind@",
    cmap="coolwarm",
    alpha=0.8,
    s=10,
    seed=0,
):
    """Summarise Shapley values over many rows (as the ``shap`` package's summary plot does).

    Parameters
    ----------
    values : ndarray of shape (n_samples, n_features [+ 1]) or (n_samples, n_outputs, n_features [+ 1])
        Shapley values, as ``shap_values`` returns them (the last, expected-value column is
        dropped when present).
    X : array-like or DataFrame of shape (n_samples, n_features)
        The explained rows: their values colour the beeswarm, a frame's columns name the
        features. Non-numeric columns colour by the order of their sorted values.
    kind : {"beeswarm", "bar"}, default="beeswarm"
        "beeswarm": one row of points per feature, jittered vertically where they crowd,
        coloured from low to high feature value (scaled between the column's 5th and 95th
        percentiles). "bar": the mean absolute value per feature; for several outputs
        without ``class_index``, stacked by output.
    feature_names : list of str, default=None
        Names of the features; None takes a frame's columns or ``x0, x1, ...``.
    max_display : int, default=20
        Features shown, those of the largest mean absolute value, largest at the top.
    class_index : int, default=None
        The output to show of multiclass values (n_samples, n_outputs, n_features + 1).
        Needed for the beeswarm of such values.
    ax : matplotlib Axes, default=None
        Axes to draw on; None draws on a new figure.
    figsize : tuple of 2 floats, default=None
        Figure size in inches when ``ax`` is None; None grows with the features shown.
    dpi : int, default=None
        Resolution of a new figure.
    title : str, default=None
        Axes title.
    xlabel : str or None, default="@kind@"
        ``"@kind@"`` stands for the right label of the kind.
    cmap : str, default="coolwarm"
        Colour map of the feature values (blue low, red high).
    alpha, s : float
        Opacity and size of the points.
    seed : int, default=0
        Seed of the jitter (the points of one value bin are spread in a random order).

    Returns
    -------
    ax : matplotlib Axes

    Examples
    --------
    >>> import numpy as np
    >>> import vorlent
    >>> from vorlent.plotting import plot_shap_summary
    >>> X = np.random.default_rng(0).normal(size=(300, 3))
    >>> model = vorlent.VorlentRegressor(n_estimators=10).fit(X, X[:, 0] - 2 * X[:, 1])
    >>> ax = plot_shap_summary(model.shap_values(X), X)
    >>> len(ax.get_yticklabels())  # one row per feature, the largest mean |value| on top
    3
    """
    pyplot()
    if kind not in KINDS:
        raise ValueError(f"kind must be 'beeswarm' or 'bar', got {kind!r}")
    features, names = feature_matrix(X, feature_names)
    phi = shap_matrix(values, features.shape[1], class_index)
    if phi.shape[0] != features.shape[0]:
        raise ValueError(f"values have {phi.shape[0]} rows but X has {features.shape[0]}")
    if phi.ndim == 3 and kind == "beeswarm":
        raise ValueError(
            f"values hold {phi.shape[1]} outputs: pass class_index to draw the beeswarm of "
            "one, or kind='bar' for all of them stacked"
        )
    mean_abs = np.abs(phi).mean(axis=0)  # (columns,) or (outputs, columns)
    order = top_indices(mean_abs if mean_abs.ndim == 1 else mean_abs.sum(axis=0), max_display)
    if ax is None and figsize is None:
        figsize = (8.0, 1.2 + 0.4 * len(order))
    ax = new_axes(ax, figsize, dpi)
    order = order[::-1]  # drawn from the bottom up: the largest at the top
    rows = np.arange(len(order))
    if kind == "bar":
        _bars(ax, mean_abs, order, rows)
        default_label = "mean(|Shapley value|)"
    else:
        _beeswarm(ax, phi, features, order, rows, cmap, alpha, s, seed)
        default_label = "Shapley value (impact on the raw score)"
    ax.set_yticks(rows, [names[j] for j in order])
    ax.set_ylim(-0.7, len(order) - 0.3)
    ax.spines[["top", "right"]].set_visible(False)
    xlabel = default_label if xlabel == "@kind@" else xlabel
    label_axes(ax, title, xlabel)
    return ax


def _bars(ax, mean_abs, order, rows):
    if mean_abs.ndim == 1:
        ax.barh(rows, mean_abs[order], color="#1e88e5")
        return
    left = np.zeros(len(order))
    for output, shares in enumerate(mean_abs):
        ax.barh(rows, shares[order], left=left, label=f"output {output}")
        left += shares[order]
    ax.legend(loc="lower right", fontsize="small")


def _beeswarm(ax, phi, features, order, rows, cmap, alpha, s, seed):
    rng = np.random.default_rng(seed)
    ax.axvline(0, color="#999999", linewidth=0.8, zorder=0)
    points = None
    for row, j in zip(rows, order):
        offsets = swarm_offsets(phi[:, j], rng)
        colour = _scaled(features[:, j])
        present = ~np.isnan(colour)
        ax.scatter(
            phi[~present, j],
            row + offsets[~present],
            color="#888888",
            s=s,
            alpha=alpha,
            linewidths=0,
            gid=f"feature-{j}-missing",
        )
        points = ax.scatter(
            phi[present, j],
            row + offsets[present],
            c=colour[present],
            cmap=cmap,
            vmin=0,
            vmax=1,
            s=s,
            alpha=alpha,
            linewidths=0,
            gid=f"feature-{j}",
            rasterized=len(phi) > 2000,
        )
    if points is not None:
        bar = ax.figure.colorbar(points, ax=ax, ticks=[0, 1], aspect=40, pad=0.02)
        bar.set_ticklabels(["low", "high"])
        bar.set_label("feature value")
        bar.outline.set_visible(False)


def swarm_offsets(values: np.ndarray, rng, n_bins: int = 100) -> np.ndarray:
    """Vertical offsets in [-0.4, 0.4] that spread points of close values apart: values fall
    into ``n_bins`` bins along their range and the k-th point of a bin goes k/2 steps up or
    down, the step set by the most crowded bin."""
    n = len(values)
    if n == 0:
        return np.zeros(0)
    low, high = values.min(), values.max()
    span = high - low if high > low else 1.0
    bins = np.minimum(((values - low) / span * n_bins).astype(np.int64), n_bins - 1)
    order = np.lexsort((rng.random(n), bins))
    counts = np.bincount(bins, minlength=n_bins)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    rank = np.empty(n, dtype=np.int64)
    rank[order] = np.arange(n) - starts[bins[order]]
    step = ROW_HALF_HEIGHT / max(counts.max() // 2, 1)
    level = (rank + 1) // 2
    sign = np.where(rank % 2 == 1, 1.0, -1.0)
    return np.clip(sign * level * step, -ROW_HALF_HEIGHT, ROW_HALF_HEIGHT)


def _scaled(column: np.ndarray) -> np.ndarray:
    """The column scaled to [0, 1] between its 5th and 95th percentiles (NaN stays NaN)."""
    present = column[~np.isnan(column)]
    if len(present) == 0:
        return column
    low, high = np.percentile(present, [5, 95])
    if high <= low:
        low, high = present.min(), present.max()
    if high <= low:
        return np.where(np.isnan(column), np.nan, 0.5)
    return np.clip((column - low) / (high - low), 0, 1)
