"""Boosters pickle, copy and deep-copy: the copy is the same booster, whatever it was."""

import copy
import pickle

import numpy as np
import pytest
from vorlent_core import Booster

from helpers import TRAINED_KINDS, kind_id, trained_model

ROUND_TRIPS = {
    "pickle": lambda b: pickle.loads(pickle.dumps(b, protocol=pickle.HIGHEST_PROTOCOL)),
    "pickle_protocol_2": lambda b: pickle.loads(pickle.dumps(b, protocol=2)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def joblib_round_trip(b, tmp_path):
    joblib = pytest.importorskip("joblib")
    path = tmp_path / "booster.joblib"
    joblib.dump(b, path)
    return joblib.load(path)


def assert_same_booster(twin, b, X):
    assert twin is not b
    assert twin.__getstate__() == b.__getstate__()
    assert repr(twin) == repr(b)
    assert twin.n_trees() == b.n_trees() and twin.best_iteration() == b.best_iteration()
    for method in ("predict_raw", "predict_proba", "explain"):
        np.testing.assert_array_equal(getattr(twin, method)(X), getattr(b, method)(X))


@pytest.mark.parametrize("kind", TRAINED_KINDS, ids=kind_id)
def test_every_model_kind_round_trips(kind, tmp_path):
    # Non-default values of every parameter, so that none can fall back to its default.
    b, X = trained_model(
        kind,
        subsample=0.8,
        colsample=0.9,
        seed=7,
        learning_rate=0.2,
        reg_lambda=2.0,
        max_bins=32,
        alpha=0.7,
        clip=1,
        split_mode=2,
        n_threads=2,
    )
    twins = {name: trip(b) for name, trip in ROUND_TRIPS.items()}
    twins["joblib"] = joblib_round_trip(b, tmp_path)
    for twin in twins.values():
        assert_same_booster(twin, b, X)


def test_a_copy_continues_training_as_the_original_would():
    # Row sampling draws from the random engine, whose state the copy carries.
    b, X = trained_model((0, 0, 0), subsample=0.7)
    y = (X[:, 0] > 0).astype(float)
    twin = copy.deepcopy(b)
    b.fit_more(X, y, 3)
    twin.fit_more(X, y, 3)
    assert twin.serialize() == b.serialize()
    # Without the engine's state a copy would not: a booster loaded from the bytes differs.
    loaded = Booster(
        subsample=0.7, n_estimators=6, max_depth=3, min_samples=5, categorical=[0] * 6 + [1]
    )
    loaded.deserialize(copy.deepcopy(twin).serialize())
    loaded.fit_more(X, y, 3)
    twin.fit_more(X, y, 3)
    assert loaded.serialize() != twin.serialize()


def test_untrained_and_early_stopped_boosters_round_trip():
    _, X = trained_model((2, 0, 0))
    untrained = Booster(n_estimators=9, monotone=[1, -1], categorical=[0, 1], n_threads=3)
    assert_same_booster(pickle.loads(pickle.dumps(untrained)), untrained, X)
    stopped = Booster(n_estimators=50)
    y = (X[:, 0] > 0).astype(float)
    stopped.fit(X[:400], y[:400], X_val=X[400:], y_val=1.0 - y[400:], es_patience=2)
    assert stopped.best_iteration() >= 0
    assert_same_booster(copy.deepcopy(stopped), stopped, X)


def test_repr_names_the_parameters_that_differ_from_the_defaults():
    assert repr(Booster()) == "Booster()"
    b = Booster(n_estimators=5, monotone=[1, 0], n_threads=2)
    assert repr(b) == "Booster(n_estimators=5, monotone=[1, 0], n_threads=2)"
    assert eval(repr(b), {"Booster": Booster}).__getstate__() == b.__getstate__()


def test_bad_states_are_refused():
    good = Booster(n_estimators=3).__getstate__()
    params, model, engine = good
    bad_states = [
        (None, TypeError),
        ((params, model), TypeError),
        ((params, model, engine, 1), TypeError),
        ((list(params.items()), model, engine), TypeError),
        ((params, model.decode("latin-1"), engine), TypeError),
        ((dict(params, n_threads=-1), model, engine), ValueError),
        ((dict(params, unknown=1), model, engine), TypeError),
        ((dict(params, max_depth="4"), model, engine), TypeError),
        ((params, model[:-1], engine), ValueError),
        ((params, model, "x"), TypeError),
        ((params, model, dict(engine, random_engine="1 2 3")), ValueError),
        ((params, model, dict(engine, best_iteration=0)), ValueError),
        ((params, model, {"best_iteration": -1}), ValueError),
        ((params, model, dict(engine, random_engine=5)), TypeError),
        ((params, model, dict(engine, best_iteration="0")), TypeError),
        ((params, model, dict(engine, best_iteration=2**70)), ValueError),
    ]
    for state, error in bad_states:
        fresh = Booster.__new__(Booster)
        with pytest.raises(error):
            fresh.__setstate__(state)
        with pytest.raises(TypeError, match="__init__"):
            fresh.n_trees()  # nothing was half-made
