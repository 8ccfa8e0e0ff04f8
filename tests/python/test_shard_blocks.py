"""A shard of several row blocks (a worker's blocks in one shard) reads every block in place:
it keeps the block arrays alive instead of copying them, trains the local model's bytes from
blocks in any order, and refuses node ids beyond its tree before sizing anything by them."""

import gc
import itertools
import weakref

import numpy as np
import pytest
import vorlent_core as vc
from helpers import run_capped

SETTINGS = {"n_estimators": 4, "max_depth": 3, "max_bins": 16, "exact_sums": True}


def awkward_rows(n=500, seed=0):
    rng = np.random.default_rng(seed)
    # Values that float32 holds exactly, so that a float32 block converts to the same rows.
    X = rng.normal(size=(n, 5)).astype(np.float32).astype(np.float64)
    X[rng.random(n) < 0.1, 2] = np.nan
    X[::31, 0] = np.inf
    X[::37, 1] = -np.inf
    y = X[:, 0].clip(-3, 3) - X[:, 1].clip(-3, 3) * X[:, 3] + 0.3 * rng.normal(size=n)
    return X, y, rng.uniform(0.2, 2.0, n)


def fit_on(shards, n_features, weighted, settings):
    def call(method, *args):
        return [getattr(shard, method)(*args) for shard in shards]

    booster = vc.Booster(**settings)
    vc.fit_shards(booster, n_features, weighted, call)
    return booster.serialize()


@pytest.mark.parametrize("split_mode,lineage", [(1, 0), (2, 0), (0, 1)])
def test_blocks_in_any_order_are_held_in_place_and_train_the_local_model(split_mode, lineage):
    settings = dict(SETTINGS, split_mode=split_mode, max_lineage=lineage, objective=1)
    X, y, w = awkward_rows()
    local = vc.Booster(**settings)
    local.fit(X, y, w)
    cuts = [0, 37, 37, 248, 249, 400, 500]  # uneven, one empty, one of a single row
    blocks = [(X[a:b].copy(), y[a:b], w[a:b], a) for a, b in itertools.pairwise(cuts)]
    blocks[3] = (X[248:249].astype(np.float32), *blocks[3][1:])  # converted once
    blocks[5] = (np.asfortranarray(blocks[5][0]), *blocks[5][1:])
    held = [weakref.ref(blocks[i][0]) for i in (0, 2, 4)]  # float64, C order: not copied
    shards = [
        vc.Shard.from_blocks([blocks[i] for i in (2, 0, 5)], vc.Booster(**settings)),
        vc.Shard.from_blocks([blocks[i] for i in (1, 4, 3)], vc.Booster(**settings)),
        vc.Shard.from_blocks([blocks[1], blocks[1]], vc.Booster(**settings)),  # no rows
    ]
    del blocks
    gc.collect()
    assert all(ref() is not None for ref in held), "a shard copied a block it can read in place"
    assert fit_on(shards, X.shape[1], True, settings) == local.serialize()
    del shards
    gc.collect()
    assert all(ref() is None for ref in held), "the shards keep their blocks after they go"


HUGE_NODE_IDS = r"""
import numpy as np
import vorlent_core as vc

settings = vc.Booster(n_estimators=2, split_mode=1, exact_sums=True)
X = np.arange(24, dtype=float).reshape(6, 4)
shard = vc.Shard.from_blocks(
    [(X[3:], np.array([1.0, 1, 0]), None, 3), (X[:3], np.array([0.0, 1, 0]), None, 0)], settings
)
edges = [np.array([2.5 + 4 * k]) for k in range(4)]
lows = [np.array([4.0 * k, 4.0 * k + 4]) for k in range(4)]
shard.set_bins((edges, lows, lows, [False] * 4, True))
shard.start(1, 0.0, [])
shard.begin_tree(1, 1.0)
shard.fix_gradients(10, 10)
none = np.zeros(0, np.int32)
items = (none, [], none, 0, None)
axis = (1, -1, 0.0, 0.0, 0.0, np.zeros(0))
huge = 2**31 - 2
rounds = [(0, np.zeros(1, np.uint64))]
bad = [
    ("stats", (1, np.array([2**30], np.int32), 1, none, none, *items)),
    ("stats", (2, np.array([0], np.int32), huge, none, none, *items)),
    ("count_leaf_residuals", np.array([huge], np.int32), rounds),
    ("route", [(0, 1, huge, 0, 1.0, 0, np.zeros(2, np.uint8), axis, np.zeros(0))],
     np.array([0], np.int32)),
    ("route", [], np.full(2**24, -1, np.int32)),
]
for name, *args in bad:
    try:
        getattr(shard, name)(*args)
    except ValueError as e:
        assert "node" in str(e), e
        continue
    raise SystemExit(f"{name} accepted node ids beyond the tree")
# The shard goes on: the root splits, and its children are asked for.
shard.route([(0, 1, 2, 0, 1.0, 0, np.zeros(2, np.uint8), axis, np.zeros(0))],
            np.array([0], np.int32))
shard.stats((1, np.array([1, 2], np.int32), 3, none, none, *items))
shard.count_leaf_residuals(np.array([1, 2], np.int32), rounds * 2)
print("ok")
"""


def test_node_ids_beyond_the_tree_are_refused_before_anything_is_sized_by_them():
    """Each message would have a shard size a buffer by its node id (gigabytes): it raises
    ValueError instead, in a child whose address space is capped below that buffer."""
    done = run_capped(HUGE_NODE_IDS, memory_gb=2.0, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-2000:]
