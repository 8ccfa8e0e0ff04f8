"""The geometry behind the plots, without matplotlib: the core's routing rule in NumPy against
the model's own predictions, the tidy tree layout, the half-plane cut of a pair split and the
beeswarm's spread."""

import itertools

import numpy as np
import pytest
from helpers import TRAINED_KINDS, kind_id, trained_model
from vorlent.plotting._halfplane import clip_half_plane
from vorlent.plotting._routing import leaves, rows_reaching, tree_of
from vorlent.plotting._shap import ROW_HALF_HEIGHT, swarm_offsets
from vorlent.plotting._tree_layout import breadth_positions, depth_positions


@pytest.mark.parametrize("kind", TRAINED_KINDS, ids=kind_id)
def test_numpy_routing_adds_up_to_the_models_raw_scores(kind):
    # Every split kind, missing values and categorical codes: the leaves the NumPy rule picks
    # must add up to predict_raw up to one constant (the base score) per output.
    booster, X = trained_model(kind, n=800)
    nodes = booster.tree_nodes()
    raw = booster.predict_raw(X)
    total = np.zeros_like(raw)
    for t in range(booster.n_trees()):
        tree = tree_of(nodes, t)
        at = leaves(tree, X)
        if raw.ndim == 1:
            total += np.array([r["contribution"] for r in tree])[at]
        else:
            width = raw.shape[1]
            total += np.array([r["contributions"] or [0.0] * width for r in tree])[at]
    base = raw - total
    assert np.ptp(base, axis=0).max() < 1e-9


def test_rows_reaching_a_node_are_those_whose_leaf_lies_below_it():
    booster, X = trained_model((1, 0, 0), n=800, max_depth=4)
    tree = tree_of(booster.tree_nodes(), 2)
    at = leaves(tree, X)
    below = {}
    for raw in reversed(tree):  # children before parents
        n = raw["node"]
        below[n] = {n} if raw["is_leaf"] else {n} | below[raw["left"]] | below[raw["right"]]
    for raw in tree:
        expected = np.isin(at, list(below[raw["node"]]))
        assert np.array_equal(rows_reaching(tree, raw["node"], X), expected)


def random_tree(rng, n_internal):
    """children and box sizes of a random binary tree (node 0 the root)."""
    children, frontier, next_id = {}, [0], 1
    for _ in range(n_internal):
        node = frontier.pop(rng.integers(len(frontier)))
        children[node] = (next_id, next_id + 1)
        frontier += [next_id, next_id + 1]
        next_id += 2
    sizes = {n: float(rng.uniform(5, 60)) for n in range(next_id)}
    return children, sizes


def depths_of(children):
    depths, stack = {0: 0}, [0]
    while stack:
        node = stack.pop()
        for child in children.get(node, ()):
            depths[child] = depths[node] + 1
            stack.append(child)
    return depths


def test_tidy_layout_keeps_boxes_apart_and_parents_between_their_children():
    rng = np.random.default_rng(0)
    for _ in range(40):
        children, sizes = random_tree(rng, int(rng.integers(1, 40)))
        gap = 3.0
        position = breadth_positions(children, sizes, gap)
        depths = depths_of(children)
        for depth in set(depths.values()):
            level = sorted((position[n], sizes[n]) for n in depths if depths[n] == depth)
            for (p, s), (q, t) in itertools.pairwise(level):
                assert q - t / 2 - (p + s / 2) >= gap - 1e-9
        for parent, (left, right) in children.items():
            assert position[left] < position[right]
            assert position[parent] == pytest.approx((position[left] + position[right]) / 2)
        # depth bands: every box of a deeper level lies wholly beyond those above it
        along = depth_positions(depths, sizes, gap)
        for node, child in ((p, c) for p, pair in children.items() for c in pair):
            assert along[child] - sizes[child] / 2 >= along[node] + sizes[node] / 2 + gap - 1e-9


def test_half_plane_cut_is_the_part_of_the_rectangle_where_the_test_holds():
    rng = np.random.default_rng(1)
    for _ in range(200):
        x0, y0 = rng.normal(size=2)
        rect = (x0, x0 + rng.uniform(0.5, 3), y0, y0 + rng.uniform(0.5, 3))
        ca, cb = rng.normal(size=2)
        centre = ((rect[0] + rect[1]) / 2, (rect[2] + rect[3]) / 2)
        bias = -(ca * centre[0] + cb * centre[1]) + rng.normal()
        inside, line = clip_half_plane(rect, (ca, cb, bias))
        # the area of the cut polygon against a grid count of the rectangle
        gx, gy = np.meshgrid(np.linspace(*rect[:2], 401), np.linspace(*rect[2:], 401))
        share = np.mean(ca * gx + cb * gy + bias <= 0)
        area = 0.0
        if inside:
            px, py = np.transpose(inside)
            area = 0.5 * abs(np.dot(px, np.roll(py, 1)) - np.dot(py, np.roll(px, 1)))
        full = (rect[1] - rect[0]) * (rect[3] - rect[2])
        assert area / full == pytest.approx(share, abs=0.01)
        for x, y in line:
            assert abs(ca * x + cb * y + bias) < 1e-9
        if 0.01 < share < 0.99:
            assert len(line) == 2


def test_swarm_offsets_spread_crowded_values_within_the_row():
    rng = np.random.default_rng(2)
    values = np.concatenate([rng.normal(size=500), np.zeros(300)])
    offsets = swarm_offsets(values, rng)
    assert np.all(np.abs(offsets) <= ROW_HALF_HEIGHT)
    # points of the same value never sit on top of each other
    assert len(np.unique(offsets[500:])) == 300
    assert len(swarm_offsets(np.full(7, 3.0), rng)) == 7
