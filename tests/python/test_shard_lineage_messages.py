"""The lineage builder's messages through the binding, without a cluster: its requests,
projection rules and trees cross as tuples and arrays and make the local exact fit's model,
and a shard (or the coordinator, for the shards' answers) refuses a message that does not
fit with a ValueError, before anything changes."""

import numpy as np
import pytest
import vorlent_core as vc

SETTINGS = {"n_estimators": 3, "max_depth": 3, "max_bins": 16, "exact_sums": True}


def table(n=240, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    X[rng.random(n) < 0.1, 2] = np.nan
    X[::29, 0] = -np.inf
    y = (X[:, 0] - X[:, 1] + 0.3 * rng.normal(size=n) > 0).astype(np.float64)
    return X, y


def shards_of(X, y, sizes, settings):
    out, first = [], 0
    for n in sizes:
        out.append(vc.Shard(X[first : first + n], y[first : first + n], None, first, settings))
        first += n
    return out


def spoiled_copies(name, args, n_features):
    """Copies of one real message that a shard must refuse, each with the words its error
    names."""
    if name == "stats" and int(args[0][0]) == 10 and len(args[0][9][7]):
        request = args[0]
        candidates = request[9]
        column = candidates[5].copy()
        column[0] = n_features
        exponent = candidates[7].copy()
        exponent[0] = -1000
        yield (request[:9],), "wrong size"
        yield (request[:9] + (None,),), "without its candidates"
        yield (request[:9] + (candidates[:7],),), "wrong size"
        yield (request[:9] + (candidates[:5] + (column,) + candidates[6:],),), "do not fit"
        yield (request[:9] + (candidates[:7] + (exponent,),),), "do not fit"
        yield ((11,) + request[1:],), "unknown stats kind"
    elif name == "route" and any(len(rule[8]) for rule in args[0]):
        rules, rule_of = args
        at = next(i for i, rule in enumerate(rules) if len(rule[8]))
        narrow = list(rules)
        narrow[at] = rules[at][:8] + (rules[at][8][:-1],)
        yield (narrow, rule_of), "does not fit"
        cut = list(rules)
        cut[at] = rules[at][:8]
        yield (cut, rule_of), "wrong size"
    elif name == "fix_gradients":
        grad_exponent, hess_exponent = args
        yield (grad_exponent - 40, hess_exponent), "finer than"
        yield (grad_exponent, hess_exponent - 40), "finer than"
    elif name == "add_tree" and args[2]:
        tree, leaf_of, directions = args
        yield (tree, leaf_of, None), "lacks"
        yield (tree, leaf_of, [d[:-1] for d in directions]), "lacks"
        yield ([node[:9] for node in tree], leaf_of, directions), "wrong size"


def test_lineage_messages_make_the_local_model_and_spoiled_ones_are_refused():
    X, y = table()
    settings = {**SETTINGS, "max_lineage": 1}
    local = vc.Booster(**settings)
    local.fit(X, y)
    shards = shards_of(X, y, (100, 0, 140), vc.Booster(**settings))
    refused = {}

    def deliver(name, args):
        for args_bad, words in spoiled_copies(name, args, X.shape[1]):
            with pytest.raises(ValueError, match=words):
                getattr(shards[0], name)(*args_bad)
            refused[name] = refused.get(name, 0) + 1
        return [getattr(shard, name)(*args) for shard in shards]

    def call(method, *args):
        if method != "batch":
            return deliver(method, args)
        messages, answered = args[0], (args[1] if len(args) > 1 else 1)
        answers = [deliver(name, message) for name, message in messages]
        if answered == 1:
            return answers[-1]
        # per shard, the answers of the last `answered` messages
        return [list(per_shard) for per_shard in zip(*answers[-answered:])]

    booster = vc.Booster(**settings)
    vc.fit_shards(booster, X.shape[1], False, call)
    assert set(refused) == {"stats", "route", "add_tree", "fix_gradients"}
    assert booster.serialize() == local.serialize()


@pytest.mark.parametrize(
    "answer,words",
    [
        (np.full(4, np.nan), "out of range"),
        (np.full(4, -1.0), "out of range"),
        (np.ones(3), "other"),
    ],
)
def test_the_coordinator_refuses_column_bounds_that_do_not_fit(answer, words):
    X, y = table(n=60)
    settings = {**SETTINGS, "max_lineage": 1}
    shards = shards_of(X, y, (60,), vc.Booster(**settings))

    def call(method, *args):
        answers = [getattr(shard, method)(*args) for shard in shards]
        last = args[0][-1][0] if method == "batch" else method
        return [answer] if last == "column_bounds" else answers

    with pytest.raises(ValueError, match=words):
        vc.fit_shards(vc.Booster(**settings), X.shape[1], False, call)
