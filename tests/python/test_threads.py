"""Several Python threads calling into the module at once get what sequential calls get.

Every call holds the interpreter lock from start to end, so calls from different threads
run one after another; these tests hold the module to that.
"""

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import vorlent_core as vc
from vorlent_core import Booster

from helpers import mixed_data

X, SIGNAL, _ = mixed_data(n=3000, seed=4)
TARGETS = {0: (SIGNAL > 0).astype(float), 1: SIGNAL, 2: np.digitize(SIGNAL, [-0.5, 0.5]) * 1.0}
SETTINGS = [
    {"objective": o, "max_lineage": lineage, "seed": seed, "subsample": 0.8, "colsample": 0.7}
    for o in (0, 1, 2)
    for lineage in ((0, 2) if o != 2 else (0,))
    for seed in (1, 2)
]


def train(params):
    b = Booster(n_estimators=4, categorical=[0] * 6 + [1], **params)
    b.fit(X, TARGETS[params["objective"]])
    return b.serialize()


def run_together(calls, threads=4):
    # A barrier lines the workers up so that their calls really overlap in time.
    barrier = threading.Barrier(threads)

    def start(call):
        barrier.wait()
        return call()

    chunks = [calls[i::threads] for i in range(threads)]
    with ThreadPoolExecutor(threads) as pool:
        futures = [pool.submit(lambda c=c: [start(c[0])] + [f() for f in c[1:]]) for c in chunks]
        results = [f.result() for f in futures]
    out = [None] * len(calls)
    for i, chunk in enumerate(results):
        out[i::threads] = chunk
    return out


def test_boosters_trained_in_threads_equal_sequential_ones():
    sequential = [train(p) for p in SETTINGS]
    together = run_together([lambda p=p: train(p) for p in SETTINGS])
    assert together == sequential


def test_one_booster_shared_by_threads_answers_as_it_does_alone():
    b = Booster(n_estimators=8, objective=2, categorical=[0] * 6 + [1])
    b.fit(X, TARGETS[2])
    blocks = [X[i : i + 700] for i in range(0, 2800, 350)]
    calls = []
    for block in blocks:
        calls += [
            lambda x=block: b.predict_raw(x),
            lambda x=block: b.predict_proba(x),
            lambda x=block: b.explain(x),
        ]
    calls += [b.serialize, b.feature_importances, b.interaction_importances]
    sequential = [c() for c in calls]
    for got, want in zip(run_together(calls), sequential):
        np.testing.assert_array_equal(got, want)


def test_preparation_and_training_interleave_safely():
    y = TARGETS[0]
    calls = [
        lambda: vc.make_folds(y, 5, 7, True).tobytes(),
        lambda: vc.te_fit_transform(
            X[:, 6].astype(np.int64), y, vc.make_folds(y, 4, 1, False), 5, 4
        )[0].tobytes(),
        lambda: train(SETTINGS[0]),
        lambda: vc.te_transform(X[:, 6].astype(np.int64), np.arange(5.0), -1.0).tobytes(),
    ] * 3
    sequential = [c() for c in calls]
    assert run_together(calls) == sequential


def test_a_booster_refitted_from_two_threads_ends_as_one_fit_leaves_it():
    b = Booster(n_estimators=4)
    run_together([lambda: b.fit(X, TARGETS[0])] * 2, threads=2)
    once = Booster(n_estimators=4)
    once.fit(X, TARGETS[0])
    assert b.serialize() == once.serialize()
