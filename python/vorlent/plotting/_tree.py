"""One tree drawn with matplotlib alone: a box per node (the split's test, or the leaf's
value), edges labelled by the way a row goes."""

from __future__ import annotations

import textwrap

import numpy as np

from .. import _trees
from ._common import check_index, model_parts, new_axes, pyplot
from ._tree_layout import breadth_positions, depth_positions

ORIENTATIONS = ("vertical", "horizontal")
INFO = ("gain", "cover")
SPLIT_COLOUR = "#eaf1fb"
LEAF_COLOUR = "#eaf6ea"
PAD = 0.35  # box padding around the text, in font sizes


def node_texts(parts, records, precision=3, show_info=(), wrap=32) -> dict:
    """node -> the text of its box: the split's test (wrapped to ``wrap`` characters; joining
    the lines with spaces gives the record's ``split`` text at ``precision`` digits) or
    ``"leaf N"`` and its value, then the ``show_info`` lines."""
    classes = getattr(parts.estimator, "classes_", None)
    categorical = {
        name for name, flag in zip(parts.feature_names, parts.schema.categorical) if flag
    }
    texts = {}
    for record in records:
        if record["kind"] == "leaf":
            lines = [f"leaf {record['node']}", *_leaf_values(record, precision, classes)]
        else:
            split = _trees.split_text(record, digits=precision, categorical=categorical)
            test, missing = split.rsplit(" (missing:", 1)
            lines = textwrap.wrap(test, wrap, break_long_words=False, break_on_hyphens=False)
            lines.append("(missing:" + missing)
        for key in show_info:
            if record[key] is not None:
                lines.append(f"{key} {record[key]:.{int(precision)}g}")
        texts[record["node"]] = "\n".join(lines)
    return texts


def _tree_records(parts, tree_index) -> list[dict]:
    n_trees = parts.booster.n_trees()
    check_index("tree_index", tree_index, n_trees, f"the model has {n_trees} trees")
    return [r for r in _trees.tree_records(parts.booster, parts.schema) if r["tree"] == tree_index]


def _leaf_values(record, precision, classes) -> list[str]:
    """What a leaf adds to the raw score (learning rate applied), one line per class for a
    multiclass model."""
    number = f"{{:.{int(precision)}g}}"
    if record["contributions"] is None:
        return ["value " + number.format(record["contribution"])]
    labels = classes if classes is not None else range(len(record["contributions"]))
    return [f"{label}: {number.format(v)}" for label, v in zip(labels, record["contributions"])]


def plot_tree(
    model,
    tree_index=0,
    ax=None,
    figsize=None,
    dpi=None,
    precision=3,
    orientation="vertical",
    show_info=None,
    fontsize=8.0,
    wrap=32,
    title="@tree@",
):
    """Draw one tree of a model with matplotlib (no graphviz needed).

    Every internal node shows its test, the condition that sends a row LEFT (the edge
    labelled "yes"; "no" is the right child), with the side that rows missing a value take;
    oblique, categorical-pair and projection tests are written out in full. Every leaf
    shows what it adds to the raw score (the learning rate applied; one line per class for
    multiclass models). Leaves pack as closely as their text allows and parents sit centred
    between their children.

    Parameters
    ----------
    model : VorlentClassifier, VorlentRegressor or vorlent_core.Booster
        A fitted model.
    tree_index : int, default=0
        The tree to draw, counted from 0.
    ax : matplotlib Axes, default=None
        Axes to draw on; None makes a new figure sized to the tree so that the text stays
        at ``fontsize``. On a given (smaller) axes the whole drawing shrinks to fit.
    figsize : tuple of 2 floats, default=None
        Size in inches of a new figure (the tree is scaled to fit it); None sizes it to the
        tree.
    dpi : int, default=None
        Resolution of a new figure.
    precision : int, default=3
        Significant digits of every number shown.
    orientation : {"vertical", "horizontal"}, default="vertical"
        "vertical" hangs the tree down from the root; "horizontal" grows it to the right,
        which is more compact for deep trees with many leaves.
    show_info : list of {"gain", "cover"}, default=None
        Extra lines in the boxes: the split gain (internal nodes) and the training rows that
        reached the node (when the model recorded them).
    fontsize : float, default=8.0
        Font size in points of the box text on a figure sized to the tree.
    wrap : int, default=32
        Longest line, in characters, of a split's text before it wraps.
    title : str or None, default="@tree@"
        Axes title; ``"@tree@"`` stands for "Tree <tree_index>", None leaves it out.

    Returns
    -------
    ax : matplotlib Axes

    Examples
    --------
    >>> import numpy as np
    >>> import vorlent
    >>> from vorlent.plotting import plot_tree
    >>> X = np.random.default_rng(0).normal(size=(300, 3))
    >>> model = vorlent.VorlentRegressor(n_estimators=5, max_depth=3).fit(X, X[:, 0] * X[:, 1])
    >>> ax = plot_tree(model, tree_index=0, show_info=["gain"])
    """
    pyplot()
    if orientation not in ORIENTATIONS:
        raise ValueError(f"orientation must be 'vertical' or 'horizontal', got {orientation!r}")
    show_info = list(show_info or ())
    unknown = [key for key in show_info if key not in INFO]
    if unknown:
        raise ValueError(f"show_info may hold 'gain' and 'cover', got {unknown}")
    parts = model_parts(model)
    records = _tree_records(parts, tree_index)
    texts = node_texts(parts, records, precision, show_info, wrap)
    children = {r["node"]: (r["left"], r["right"]) for r in records if r["kind"] != "leaf"}
    depths = {r["node"]: r["depth"] for r in records}
    sizes = {node: _text_size(text, fontsize) for node, text in texts.items()}
    centres = _centres(children, depths, sizes, fontsize, orientation)
    width, height = _extent(centres, sizes)
    margin = fontsize  # round box corners and line widths reach a little past the layout

    if title == "@tree@":
        title = f"Tree {tree_index}"
    if ax is None:
        top = 0.4 if title else 0.1  # inches of room for the title
        if figsize is None:
            figsize = ((width + 2 * margin) / 72 + 0.2, (height + 2 * margin) / 72 + 0.1 + top)
        ax = new_axes(None, figsize, dpi, layout=None)  # placed by hand below
        fig_w, fig_h = ax.figure.get_size_inches()
        ax.set_position([0.1 / fig_w, 0.05 / fig_h, 1 - 0.2 / fig_w, 1 - (0.1 + top) / fig_h])
    scale = min(1.0, *_axes_points(ax) / (width + 2 * margin, height + 2 * margin))
    _draw(ax, records, texts, centres, sizes, fontsize * scale, orientation, scale)
    # The drawing's extent as data limits (not fixed limits, which the equal aspect would
    # have to override on axes of another shape).
    ax.update_datalim([(-margin, -margin), (width + margin, height + margin)])
    ax.margins(0)
    ax.autoscale_view()
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_axis_off()
    if title:
        ax.set_title(title)
    return ax


def _text_size(text: str, fontsize: float):
    """(width, height) in points of a box holding ``text`` at ``fontsize``, padding included."""
    from matplotlib.font_manager import FontProperties
    from matplotlib.textpath import TextToPath

    measure = TextToPath()
    prop = FontProperties(size=fontsize)
    lines = text.split("\n")
    width = max(
        measure.get_text_width_height_descent(line, prop, ismath=False)[0] for line in lines
    )
    height = len(lines) * 1.2 * fontsize
    return width + 2 * PAD * fontsize, height + 2 * PAD * fontsize


def _centres(children, depths, sizes, fontsize, orientation) -> dict:
    """node -> (x, y) in points, the root at the top (vertical) or the left (horizontal)."""
    across = 0 if orientation == "vertical" else 1
    breadth = {node: size[across] for node, size in sizes.items()}
    along = {node: size[1 - across] for node, size in sizes.items()}
    wide = breadth_positions(children, breadth, gap=1.2 * fontsize)
    deep = depth_positions(depths, along, gap=3.5 * fontsize)
    low = min(wide[n] - breadth[n] / 2 for n in wide)
    if orientation == "vertical":
        bottom = max(deep[n] + along[n] / 2 for n in deep)
        return {n: (wide[n] - low, bottom - deep[n]) for n in wide}
    top = max(wide[n] + breadth[n] / 2 for n in wide)
    return {n: (deep[n], top - wide[n]) for n in wide}


def _extent(centres, sizes):
    width = max(centres[n][0] + sizes[n][0] / 2 for n in centres)
    height = max(centres[n][1] + sizes[n][1] / 2 for n in centres)
    return width, height


def _axes_points(ax):
    """The axes' width and height in points."""
    box = ax.get_position()
    fig_w, fig_h = ax.figure.get_size_inches()
    return np.array([box.width * fig_w * 72, box.height * fig_h * 72])


def _draw(ax, records, texts, centres, sizes, fontsize, orientation, scale):
    from matplotlib.collections import LineCollection

    edges = []
    for record in records:
        node = record["node"]
        leaf = record["kind"] == "leaf"
        ax.text(
            *centres[node],
            texts[node],
            ha="center",
            va="center",
            fontsize=fontsize,
            gid=f"{'leaf' if leaf else 'split'}-{node}",
            bbox={
                "boxstyle": f"round,pad={PAD}",
                "facecolor": LEAF_COLOUR if leaf else SPLIT_COLOUR,
                "edgecolor": "#4a6f8a",
                "linewidth": 0.8,
            },
        )
        if not leaf:
            for child, answer in ((record["left"], "yes"), (record["right"], "no")):
                ends = _edge_ends(centres, sizes, node, child, orientation)
                edges.append(ends)
                _edge_label(ax, ends, answer, fontsize)
    ax.add_collection(
        LineCollection(edges, colors="#6b7f8f", linewidths=0.9 * scale, zorder=1, gid="edges")
    )


def _edge_ends(centres, sizes, parent, child, orientation):
    """The edge runs from the parent's box border to the child's."""
    (px, py), (cx, cy) = centres[parent], centres[child]
    if orientation == "vertical":
        return (px, py - sizes[parent][1] / 2), (cx, cy + sizes[child][1] / 2)
    return (px + sizes[parent][0] / 2, py), (cx - sizes[child][0] / 2, cy)


def _edge_label(ax, ends, answer, fontsize):
    """ "yes" or "no" halfway along the visible part of the edge."""
    (x0, y0), (x1, y1) = ends
    ax.text(
        (x0 + x1) / 2,
        (y0 + y1) / 2,
        answer,
        ha="center",
        va="center",
        fontsize=fontsize * 0.9,
        color="#1f6f3f" if answer == "yes" else "#9a2f2f",
        bbox={"boxstyle": "square,pad=0.1", "facecolor": "white", "edgecolor": "none"},
        gid=f"edge-{answer}",
    )
