"""The coordinator's messages to training shards: how many round trips a fit takes (every one
costs a network round trip on a cluster) and that the answers fetched ahead of their turn
give the bytes of the in-memory exact fit."""

from itertools import pairwise

import numpy as np
import pytest
import vorlent_core as vc

BASE = {"n_estimators": 5, "max_depth": 3, "max_bins": 16, "split_mode": 1, "exact_sums": True}


def table(n=500, width=30, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, width))
    X[rng.random(n) < 0.1, 2] = np.nan
    score = X[:, 0] - 0.5 * X[:, 1] + np.nan_to_num(X[:, 2])
    return X, score


def fit_counting(settings, X, y, blocks=(0, 170, 171, 400)):
    """A fit on in-process shards of the row blocks starting at `blocks`, through a call that
    records every message sent (a batch as its messages); returns the model bytes and the
    messages of each round trip."""
    edges = [*blocks, len(y)]
    shards = [vc.Shard(X[a:b], y[a:b], None, a, vc.Booster(**settings)) for a, b in pairwise(edges)]
    trips = []

    def call(method, *args):
        trips.append([m[0] for m in args[0]] if method == "batch" else [method])
        return [getattr(shard, method)(*args) for shard in shards]

    booster = vc.Booster(**settings)
    vc.fit_shards(booster, X.shape[1], False, call)
    return booster.serialize(), trips


def local_bytes(settings, X, y):
    booster = vc.Booster(**settings)
    booster.fit(X, y)
    return booster.serialize()


CASES = {
    "binary": ({"objective": 0}, lambda s: (s > 0.2).astype(float)),
    "regression": ({"objective": 1, "subsample": 0.7, "colsample": 0.5}, lambda s: s),
    "multiclass": ({"objective": 2}, lambda s: np.digitize(s, [-1.0, 0.0, 1.0]).astype(float)),
    # The root never splits: the histograms fetched with its sums go unused.
    "root alone": ({"objective": 0, "min_samples": 10_000}, lambda s: (s > 0).astype(float)),
}


@pytest.mark.parametrize("name", CASES)
def test_round_trips_and_bytes(name):
    extra, target = CASES[name]
    settings = {**BASE, **extra}
    X, score = table()
    y = target(score)
    model, trips = fit_counting(settings, X, y)
    assert model == local_bytes(settings, X, y)

    first_tree = next(i for i, t in enumerate(trips) if "begin_tree" in t)
    setup, rounds = trips[:first_tree], trips[first_tree:]
    # Set-up: the columns' facts with the targets' range, the selection rounds of all 30
    # columns side by side (64-bit keys, 8-bit digits: at most 8), the bins' extremes, the
    # start score's bounds and exact sums.
    assert setup[0] == ["column_facts", "target_range"]
    counts = [t for t in setup if t[-1] == "count_columns"]
    assert 1 <= len(counts) <= 8
    assert len(setup) == 1 + len(counts) + 3, setup
    # Rounds: begin_tree (with the last tree's score update), then one statistics message
    # per level, the root's sums and histograms together when one output makes the
    # histograms' request known in advance; several outputs read every level's sums first
    # (their histograms' pair of outputs follows from them) and the last level's too.
    per_tree = len(rounds) / BASE["n_estimators"]
    if name == "root alone":
        assert per_tree == 2
    elif name == "multiclass":
        assert per_tree == 2 * BASE["max_depth"] + 2
    else:
        assert per_tree == BASE["max_depth"] + 1
        root = [t for t in rounds if t[:2] == ["fix_gradients", "stats"]]
        assert len(root) == BASE["n_estimators"] and all(t[-2:] == ["stats", "stats"] for t in root)


def test_a_batch_answers_its_last_messages():
    X, score = table(40, 3)
    shard = vc.Shard(X, score, None, 0, vc.Booster(**BASE))
    facts = shard.column_facts()
    both = shard.batch([("column_facts", ()), ("target_range", ())], 2)
    assert both == [facts, shard.target_range()]
    assert shard.batch([("column_facts", ()), ("target_range", ())]) == shard.target_range()
    assert shard.batch([]) is None
    for answered in (0, -1, 3):
        with pytest.raises(ValueError, match="answered"):
            shard.batch([("column_facts", ()), ("target_range", ())], answered)
