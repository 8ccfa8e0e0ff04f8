"""Where the boxes of a drawn tree go: a tidy layout of boxes of any size.

The breadth axis runs across siblings (x when the tree hangs down, y when it grows to the
right), the depth axis from the root to the leaves. Subtrees are packed as close as their
contours allow (the boxes of one depth level never come nearer than ``gap``), a parent sits
centred between its two children, and every depth level gets the room of its deepest box.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass
class _Subtree:
    offsets: dict  # node -> breadth position relative to the subtree's root
    low: list  # per depth below the root: the lowest breadth edge of its boxes
    high: list  # per depth below the root: the highest breadth edge


def breadth_positions(children: dict, breadth: dict, gap: float) -> dict:
    """Breadth centre of every node, the root at 0.

    Parameters
    ----------
    children : dict
        node -> (left, right) for internal nodes; nodes absent from it are leaves. Node 0 is
        the root.
    breadth : dict
        node -> size of its box along the breadth axis.
    gap : float
        The least distance between two boxes of one depth level.
    """
    return _place(0, children, breadth, gap).offsets


def _place(node: int, children: dict, breadth: dict, gap: float) -> _Subtree:
    half = breadth[node] / 2
    if node not in children:
        return _Subtree({node: 0.0}, [-half], [half])
    left = _place(children[node][0], children, breadth, gap)
    right = _place(children[node][1], children, breadth, gap)
    # Shift the right subtree until it clears the left one at every depth both reach.
    shift = max(lh - rl + gap for lh, rl in zip(left.high, right.low))
    centre = shift / 2  # the parent, midway between its children
    offsets = {node: 0.0}
    offsets.update({n: p - centre for n, p in left.offsets.items()})
    offsets.update({n: p + shift - centre for n, p in right.offsets.items()})
    low, high = [-half], [half]
    for depth in range(max(len(left.low), len(right.low))):
        edges_low, edges_high = [], []
        if depth < len(left.low):
            edges_low.append(left.low[depth] - centre)
            edges_high.append(left.high[depth] - centre)
        if depth < len(right.low):
            edges_low.append(right.low[depth] + shift - centre)
            edges_high.append(right.high[depth] + shift - centre)
        low.append(min(edges_low))
        high.append(max(edges_high))
    return _Subtree(offsets, low, high)


def depth_positions(depths: dict, size: dict, gap: float) -> dict:
    """Depth-axis centre of every node: level ``d`` starts after the deepest box of every
    level above it plus ``gap``, and its boxes are centred in its band."""
    levels = max(depths.values()) + 1
    band = [0.0] * levels
    for node, depth in depths.items():
        band[depth] = max(band[depth], size[node])
    starts = [0.0] * levels
    for depth in range(1, levels):
        starts[depth] = starts[depth - 1] + band[depth - 1] + gap
    return {node: starts[depth] + band[depth] / 2 for node, depth in depths.items()}
