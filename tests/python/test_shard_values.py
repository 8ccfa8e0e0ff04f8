"""A training shard reads its rows in place: it keeps the array it was given alive (a
converted copy when the rows were not float64), and does not hold a second copy of them."""

import gc
import pathlib
import sys

import numpy as np
import pytest
import vorlent_core as vc

SETTINGS = {"n_estimators": 4, "max_depth": 3, "max_bins": 16, "split_mode": 1, "exact_sums": True}


def fit_on(shards, n_features):
    def call(method, *args):
        return [getattr(shard, method)(*args) for shard in shards]

    booster = vc.Booster(**SETTINGS)
    vc.fit_shards(booster, n_features, False, call)
    return booster.serialize()


def test_shards_outlive_the_arrays_they_were_given():
    rng = np.random.default_rng(3)
    # Values that float32 holds exactly, so that a float32 block converts to the same rows.
    X = rng.normal(size=(400, 5)).astype(np.float32).astype(np.float64)
    y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(np.float64)
    local = vc.Booster(**SETTINGS)
    local.fit(X, y)
    settings = vc.Booster(**SETTINGS)
    blocks = [X[:150].astype(np.float32), np.asfortranarray(X[150:300]), X[300:].copy()]
    shards = [
        vc.Shard(block, y[first : first + len(block)], None, first, settings)
        for block, first in zip(blocks, (0, 150, 300), strict=True)
    ]
    del blocks
    gc.collect()
    assert fit_on(shards, X.shape[1]) == local.serialize()


# A worker's actor holding one block makes its one shard of it in place too.
SHARD_OF_ONE_BLOCK = {
    "Shard": lambda X, y, settings: vc.Shard(X, y, None, 0, settings),
    "from_blocks": lambda X, y, settings: vc.Shard.from_blocks([(X, y, None, 0)], settings),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("make", SHARD_OF_ONE_BLOCK.values(), ids=SHARD_OF_ONE_BLOCK.keys())
def test_a_shard_adds_far_less_than_its_rows_to_the_process(make):
    def resident_bytes():
        pages = int(pathlib.Path("/proc/self/statm").read_text().split()[1])
        return pages * 4096

    n, width = 1_000_000, 12
    X = np.random.default_rng(0).normal(size=(n, width))  # 96 MB, touched
    y = np.zeros(n)
    before = resident_bytes()
    shard = make(X, y, vc.Booster(**SETTINGS))
    grown = resident_bytes() - before
    assert shard.n_rows == n
    # Its own per-row arrays (targets, indices) are 20 bytes a row; a copy of X adds 96.
    assert grown < X.nbytes // 2, f"the shard added {grown / 1e6:.0f} MB for {X.nbytes / 1e6:.0f}"
