"""The core's per-round callback of Booster.fit and fit_more, and Booster.truncate: the scores
handed over are those predict_raw gives for the model so far, stopping from the callback
equals a shorter fit, a no-op callback changes nothing, and a raising one acts like Ctrl-C."""

import json

import numpy as np
import pytest
from vorlent_core import Booster

from helpers import TRAINED_KINDS, kind_id, mixed_data, run_capped, target_for

SETTINGS = {"max_depth": 3, "min_samples": 5, "subsample": 0.8, "colsample": 0.9, "seed": 3}


def kind_data(kind, n=400):
    X, signal, rng = mixed_data(n=n, seed=2)
    return X, target_for(kind[0], signal, rng)


def booster(kind, rounds, **extra):
    objective, loss, lineage = kind
    return Booster(
        n_estimators=rounds,
        objective=objective,
        loss=loss,
        max_lineage=lineage,
        categorical=[0] * 6 + [1],
        **SETTINGS,
        **extra,
    )


class Recorder:
    """Copies every round's scores; returns True at round ``stop_at``."""

    def __init__(self, stop_at=None):
        self.stop_at, self.rounds, self.train, self.val = stop_at, [], [], []

    def __call__(self, round_, train, val):
        assert not train.flags.writeable and (val is None or not val.flags.writeable)
        self.rounds.append(round_)
        self.train.append(np.array(train))
        self.val.append(None if val is None else np.array(val))
        return round_ == self.stop_at


@pytest.mark.parametrize("kind", TRAINED_KINDS, ids=kind_id)
def test_scores_are_the_predictions_of_the_model_so_far(kind):
    X, y = kind_data(kind)
    X_train, y_train, X_val, y_val = X[100:], y[100:], X[:100], y[:100]
    b = booster(kind, 5)
    seen = Recorder()
    b.fit(X_train, y_train, X_val=X_val, y_val=y_val, callback=seen)  # no early stopping
    assert seen.rounds == [0, 1, 2, 3, 4]
    assert b.best_iteration() == -1 and len(b.validation_losses()) == 0
    for k in range(5):
        cut = Booster()
        cut.deserialize(b.serialize())
        cut.truncate(k + 1)
        assert np.array_equal(seen.train[k], cut.predict_raw(X_train))
        assert np.array_equal(seen.val[k], cut.predict_raw(X_val))
    assert seen.train[0].shape == ((len(y_train), 3) if kind[0] == 2 else (len(y_train),))


@pytest.mark.parametrize("kind", [(0, 0, 0), (1, 2, 2), (2, 0, 0)], ids=kind_id)
def test_stopping_equals_a_shorter_fit_and_a_noop_changes_nothing(kind):
    X, y = kind_data(kind, n=9000)  # above the sizes where row loops go parallel
    for threads in (1, 2):
        plain = booster(kind, 6, n_threads=threads)
        plain.fit(X, y)
        quiet = booster(kind, 6, n_threads=threads)
        quiet.fit(X, y, callback=lambda *args: None)
        assert quiet.serialize() == plain.serialize()

        stopped = booster(kind, 6, n_threads=threads)
        seen = Recorder(stop_at=2)
        stopped.fit(X, y, callback=seen)
        shorter = booster(kind, 3, n_threads=threads)
        shorter.fit(X, y)
        assert seen.rounds == [0, 1, 2] and seen.val == [None] * 3
        assert stopped.serialize() == shorter.serialize()

    # fit_more counts its own rounds and stops the same way.
    more = booster(kind, 3)
    more.fit(X, y)
    seen = Recorder(stop_at=1)
    more.fit_more(X, y, 10, callback=seen)
    assert seen.rounds == [0, 1] and more.n_trees() == 5
    assert np.array_equal(seen.train[-1], more.predict_raw(X))


def test_stop_with_early_stopping_cuts_back_like_ctrl_c():
    kind = (0, 0, 0)
    X, y = kind_data(kind, n=600)
    X_val, y_val = X[:150], 1.0 - y[:150]  # only the first rounds can improve
    reference = booster(kind, 40)
    reference.fit(X[150:], y[150:], X_val=X_val, y_val=y_val, es_patience=10**6)
    losses = reference.validation_losses()
    best = int(np.argmin(losses[:8]))  # the best of the first 8 rounds
    b = booster(kind, 40)
    b.fit(
        X[150:],
        y[150:],
        X_val=X_val,
        y_val=y_val,
        es_patience=10**6,
        callback=lambda r, t, v: r == 7,
    )
    assert b.n_trees() == best + 1 < 8 and b.best_iteration() == best
    assert np.array_equal(b.validation_losses(), losses[:8])


def test_a_raising_callback_propagates_and_keeps_the_complete_trees():
    kind = (1, 0, 0)
    X, y = kind_data(kind)

    def fail_at_3(round_, train, val):
        if round_ == 3:
            raise LookupError("stop here")

    b = booster(kind, 8)
    with pytest.raises(LookupError, match="stop here"):
        b.fit(X, y, callback=fail_at_3)
    shorter = booster(kind, 4)
    shorter.fit(X, y)
    assert b.serialize() == shorter.serialize()

    # The callback may not use the booster it watches: RuntimeError, same outcome.
    busy = booster(kind, 8)
    with pytest.raises(RuntimeError, match="busy"):
        busy.fit(X, y, callback=lambda r, t, v: busy.n_trees())
    assert busy.n_trees() == 1

    with pytest.raises(TypeError, match="callback must be callable"):
        booster(kind, 8).fit(X, y, callback=3)


def test_truncate_keeps_the_first_trees_and_refuses_bad_counts():
    kind = (0, 0, 0)
    X, y = kind_data(kind)
    full, short = booster(kind, 7), booster(kind, 3)
    full.fit(X, y)
    short.fit(X, y)
    gain = full.feature_importances()
    full.truncate(3)
    assert full.n_trees() == 3 and full.best_iteration() == 2
    assert np.array_equal(full.predict_raw(X), short.predict_raw(X))
    assert np.array_equal(full.shap_values(X[:20]), short.shap_values(X[:20]))
    assert np.array_equal(full.feature_importances(), gain)  # the dropped trees' gain stays
    before = full.serialize()
    for bad in (0, -2, 4):
        with pytest.raises(ValueError, match="n_trees must be between 1 and the tree count 3"):
            full.truncate(bad)
    assert full.serialize() == before
    with pytest.raises(ValueError, match="no trees"):
        Booster().truncate(1)


KEEP_THE_ARRAYS = r"""
import json, sys
import numpy as np
from vorlent_core import Booster

rng = np.random.default_rng(0)
X = rng.normal(size=(3000, 4))
y = X[:, 0] + rng.normal(size=3000)
kept = []
b = Booster(n_estimators=4, objective=1)
b.fit(X, y, X_val=X[:500], y_val=y[:500], callback=lambda r, t, v: kept.append((t, v)))
other = Booster(n_estimators=30, objective=1)
other.fit(X, y)  # reuses the memory that views would have pointed to
cut = Booster(); cut.deserialize(b.serialize()); cut.truncate(2)
t, v = kept[1]
print(json.dumps([bool(np.array_equal(t, cut.predict_raw(X))),
                  bool(np.array_equal(v, cut.predict_raw(X[:500])))]))
"""


def test_arrays_kept_past_the_call_stay_valid():
    done = run_capped(KEEP_THE_ARRAYS, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [True, True]


def test_the_callback_runs_on_the_training_thread_with_the_lock_released_around_it():
    import threading

    kind = (1, 0, 0)
    X, y = kind_data(kind, n=3000)
    calls, ticks = [], []
    done = threading.Event()

    def ticker():  # runs only while training has released the interpreter lock
        while not done.is_set():
            ticks.append(len(calls))
            done.wait(0.001)

    def train():
        b = booster(kind, 30)
        b.fit(X, y, callback=lambda r, t, v: calls.append(threading.get_ident()))

    threading.Thread(target=ticker).start()
    worker = threading.Thread(target=train)
    worker.start()
    worker.join()
    done.set()
    assert calls == [worker.ident] * 30
    assert len(set(ticks)) > 2  # the other thread ran between rounds
