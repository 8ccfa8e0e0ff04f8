"""One split of one tree over the rows that reach it: for a pair split the scatter of its
two features with the dividing line, for an axis or projection split the histogram of the
tested value with the threshold. It shows what an oblique split buys over an axis one."""

from __future__ import annotations

import textwrap

import numpy as np

from .. import _trees
from ._common import check_index, label_axes, legend_beside, model_parts, new_axes, pyplot
from ._gradient import gradients, targets
from ._halfplane import clip_half_plane
from ._routing import category_offsets, is_axis, missing_rows, rows_reaching, tree_of

COLOR_BY = ("target", "gradient")
LEFT_COLOUR = "#2e8b57"  # the side where the test holds ("yes")
MAX_DISCRETE = 10  # targets with at most this many distinct values are drawn as classes


def plot_split(
    model,
    X,
    tree_index=0,
    node=0,
    y=None,
    color_by="target",
    class_index=0,
    ax=None,
    figsize=None,
    dpi=None,
    title="@split@",
    precision=3,
    bins=40,
    cmap=None,
    alpha=0.7,
    s=12,
):
    """Show one split of one tree over the rows of ``X`` that reach it.

    An oblique split is a scatter of its two features with the dividing line; a
    categorical-pair split a scatter of the numeric feature over the categories (jittered
    sideways) with the threshold of every category. The side where the test holds (rows
    that go left, "yes") is shaded. An axis split is the histogram of its feature, a
    projection split that of the projected value, with the threshold as a vertical line.
    Rows missing a value the test reads cannot be placed; the title counts them and says
    where they go.

    Parameters
    ----------
    model : VorlentClassifier, VorlentRegressor or vorlent_core.Booster
        A fitted model.
    X : array-like or DataFrame of shape (n_samples, n_features)
        Rows to route, converted as ``predict`` converts them (a float matrix for a bare
        booster).
    tree_index : int, default=0
        The tree, counted from 0.
    node : int, default=0
        The internal node, as numbered in ``dump_model()`` (0 is the root).
    y : array-like of shape (n_samples,), default=None
        Targets of the rows (labels for a classifier): the colours, or what the gradient
        is computed from.
    color_by : {"target", "gradient"}, default="target"
        "target": colour by ``y`` (a class per colour when it has at most 10 values, else
        a colour scale; one colour without ``y``). "gradient": colour by the derivative of
        the training loss at the raw score of the trees before ``tree_index``, the
        quantity this tree was grown to fit (needs ``y``; unweighted; for a multiclass
        model the output ``class_index``). Histograms stack classes of a discrete ``y``
        and ignore gradients.
    class_index : int, default=0
        The output whose gradient colours a multiclass model's rows.
    ax : matplotlib Axes, default=None
        Axes to draw on; None draws on a new figure.
    figsize : tuple of 2 floats, default=None
        Figure size in inches when ``ax`` is None.
    dpi : int, default=None
        Resolution of a new figure.
    title : str or None, default="@split@"
        ``"@split@"`` stands for the node's test and its row counts; None leaves it out.
    precision : int, default=3
        Significant digits of the numbers in the title.
    bins : int, default=40
        Histogram bins.
    cmap : str, default=None
        Colour map of a continuous colouring ("viridis" for targets, "coolwarm" for
        gradients).
    alpha, s : float
        Opacity and size of the scattered points.

    Returns
    -------
    ax : matplotlib Axes

    Examples
    --------
    >>> import numpy as np
    >>> import vorlent
    >>> from vorlent.plotting import plot_split
    >>> X = np.random.default_rng(0).normal(size=(500, 2))
    >>> y = X[:, 0] + X[:, 1] > 0
    >>> model = vorlent.VorlentClassifier(n_estimators=5, max_depth=2).fit(X, y)
    >>> ax = plot_split(model, X, tree_index=0, node=0, y=y)
    """
    pyplot()
    if color_by not in COLOR_BY:
        raise ValueError(f"color_by must be 'target' or 'gradient', got {color_by!r}")
    parts = model_parts(model)
    matrix = parts.matrix(X)
    raw, record = _node(parts, tree_index, node)
    colours = _colours(parts, matrix, y, color_by, tree_index, class_index)
    reach = rows_reaching(tree_of(parts.booster.tree_nodes(), tree_index), node, matrix)
    missing = reach & missing_rows(raw, matrix)
    placed = reach & ~missing
    ax = new_axes(ax, figsize, dpi)
    view = {"ax": ax, "cmap": cmap, "alpha": alpha, "s": s}
    names = record["features"]
    if raw["projection"] is not None or is_axis(raw):
        _histogram(raw, matrix[placed], colours.subset(placed), bins, ax)
        xlabel = names[0] if is_axis(raw) else "projected value"
        label_axes(ax, xlabel=xlabel, ylabel="rows")
    elif raw["kind"] == 3:
        categories = parts.schema.categories.get(raw["feature_a"])
        _category_pair(raw, matrix[placed], colours.subset(placed), categories, view)
        label_axes(ax, xlabel=names[0], ylabel=names[1])
    else:
        _oblique(raw, matrix[placed], colours.subset(placed), view)
        label_axes(ax, xlabel=names[0], ylabel=names[1])
    if title == "@split@":
        title = _title(parts, record, tree_index, int(placed.sum()), int(missing.sum()), precision)
    label_axes(ax, title=title)
    return ax


def _node(parts, tree_index, node):
    """The raw node and the record of an internal node, after checking both indices."""
    n_trees = parts.booster.n_trees()
    check_index("tree_index", tree_index, n_trees, f"the model has {n_trees} trees")
    tree = tree_of(parts.booster.tree_nodes(), tree_index)
    check_index("node", node, len(tree), f"tree {tree_index} has {len(tree)} nodes")
    if tree[node]["is_leaf"]:
        raise ValueError(f"node={node} of tree {tree_index} is a leaf: pick an internal node")
    records = _trees.tree_records(parts.booster, parts.schema)
    record = next(r for r in records if r["tree"] == tree_index and r["node"] == node)
    return tree[node], record


def _title(parts, record, tree_index, placed, missing, precision) -> str:
    categorical = {n for n, f in zip(parts.feature_names, parts.schema.categorical) if f}
    text = _trees.split_text(record, digits=precision, categorical=categorical)
    test, _, _ = text.rpartition(" (missing:")
    counts = f"tree {tree_index}, node {record['node']}: {placed} rows"
    if missing:
        counts += f", {missing} missing a value (sent {record['missing']})"
    rule = textwrap.wrap(f"left (yes) when {test}", 72, break_long_words=False)
    return "\n".join([counts, *rule])


class _Colours:
    """How the placed rows are coloured: classes, a scale, or one colour."""

    def __init__(self, values=None, classes=None, label=None, cmap=None):
        self.values, self.classes, self.label, self.cmap = values, classes, label, cmap

    def subset(self, mask):
        values = None if self.values is None else self.values[mask]
        return _Colours(values, self.classes, self.label, self.cmap)


def _colours(parts, matrix, y, color_by, tree_index, class_index) -> _Colours:
    if y is None:
        if color_by == "gradient":
            raise ValueError("color_by='gradient' needs y: the loss gradient depends on it")
        return _Colours()
    if color_by == "gradient":
        values = gradients(parts, matrix, y, tree_index, class_index)
        return _Colours(values, None, "loss gradient", "coolwarm")
    codes = targets(parts, y, matrix.shape[0])
    classes = getattr(parts.estimator, "classes_", None)
    if classes is None and len(np.unique(codes)) <= MAX_DISCRETE:
        classes = np.unique(codes)
        codes = np.searchsorted(classes, codes).astype(np.float64)
    if classes is not None:
        return _Colours(codes.astype(np.int64), list(classes), "target", None)
    return _Colours(codes, None, "target", "viridis")


def _scatter(ax, x, y, colours: _Colours, cmap, alpha, s):
    if colours.values is None:
        ax.scatter(x, y, s=s, alpha=alpha, color="#4a6f8a", linewidths=0)
        return
    if colours.classes is not None:
        for code, label in enumerate(colours.classes):
            here = colours.values == code
            ax.scatter(x[here], y[here], s=s, alpha=alpha, label=str(label), linewidths=0)
        legend_beside(ax, colours.label)
        return
    points = ax.scatter(
        x, y, c=colours.values, cmap=cmap or colours.cmap, s=s, alpha=alpha, linewidths=0
    )
    ax.figure.colorbar(points, ax=ax, label=colours.label)


def _oblique(raw, rows, colours, view):
    """Scatter of the two features, the line ``coef_a * a + coef_b * b + bias = 0`` and the
    left side shaded."""
    ax = view["ax"]
    a, b = rows[:, raw["feature_a"]], rows[:, raw["feature_b"]]
    _scatter(ax, a, b, colours, view["cmap"], view["alpha"], view["s"])
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    coefficients = (raw["coef_a"], raw["coef_b"], raw["bias"])
    inside, line = clip_half_plane((x0, x1, y0, y1), coefficients)
    if len(inside):
        ax.fill(*np.transpose(inside), color=LEFT_COLOUR, alpha=0.1, zorder=0, label="_yes")
    if len(line) == 2:
        ax.plot(*np.transpose(line), color="black", linewidth=1.5, gid="split-line")
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)


def _category_pair(raw, rows, colours, categories, view):
    """Scatter of the numeric feature over the categories, each category's threshold."""
    ax = view["ax"]
    codes, b = rows[:, raw["feature_a"]], rows[:, raw["feature_b"]]
    jitter = np.random.default_rng(0).uniform(-0.3, 0.3, len(codes))
    _scatter(ax, codes + jitter, b, colours, view["cmap"], view["alpha"], view["s"])
    shown = np.unique(np.trunc(codes)).astype(np.int64)
    y0, y1 = ax.get_ylim()
    offsets = category_offsets(raw, shown.astype(np.float64))
    coef_b, bias = raw["coef_b"], raw["bias"]
    for code, offset in zip(shown, offsets):
        if coef_b != 0:
            cut = -(offset + bias) / coef_b
            ax.plot(
                [code - 0.4, code + 0.4],
                [cut, cut],
                color="black",
                linewidth=1.5,
                gid=f"split-line-{code}",
            )
            low, high = (y0, cut) if coef_b > 0 else (cut, y1)
        else:
            low, high = (y0, y1) if offset + bias < 0 else (y0, y0)
        ax.fill_between(
            [code - 0.45, code + 0.45], low, high, color=LEFT_COLOUR, alpha=0.1, zorder=0
        )
    ax.set_ylim(y0, y1)
    labels = [
        str(categories[c]) if categories and 0 <= c < len(categories) else str(c) for c in shown
    ]
    ax.set_xticks(shown, labels, rotation=45 if len(shown) > 6 else 0)


def _histogram(raw, rows, colours, bins, ax):
    """Histogram of the tested value (stacked by class for a discrete target), threshold
    line, left side shaded."""
    if raw["projection"] is not None:
        direction = np.asarray(raw["projection"])
        used = direction != 0
        values = rows[:, used] @ direction[used]
        threshold = -raw["bias"]
    else:
        values, threshold = rows[:, raw["feature_a"]], raw["threshold"]
    if colours.classes is not None:
        groups = [values[colours.values == c] for c in range(len(colours.classes))]
        ax.hist(groups, bins=bins, stacked=True, label=[str(c) for c in colours.classes])
        legend_beside(ax, colours.label)
    else:
        ax.hist(values, bins=bins, color="#4a6f8a")
    ax.axvline(threshold, color="black", linewidth=1.5, gid="split-line")
    x0, x1 = ax.get_xlim()
    ax.axvspan(x0, threshold, color=LEFT_COLOUR, alpha=0.1, zorder=0, gid="left-side")
    ax.set_xlim(x0, x1)
