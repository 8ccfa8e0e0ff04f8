"""Estimators that outlive the process: pickling, deep copies, joblib files, model files, and
training that continues (warm_start) on a copy or a loaded model."""

import copy
import json
import os
import pickle
import re
import struct
import zlib

import numpy as np
import pytest
import vorlent
import vorlent_core as vc
from helpers import run_capped
from model_craft import unpack
from vorlent import VorlentClassifier, VorlentRegressor
from vorlent._model_file import (
    MAGIC,
    decode_model,
    encode_model,
    read_model_file,
    write_model_file,
)
from vorlent._save import model_header

pd = pytest.importorskip("pandas")


def flights_like(n=800, seed=0):
    """A frame with numeric, missing and string categorical columns, and string labels."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "distance": rng.uniform(100, 2500, n),
            "hour": rng.integers(5, 23, n).astype(float),
            "carrier": rng.choice(["AA", "B6", "UA", "DL"], n),
            "origin": pd.Categorical(rng.choice(["EWR", "JFK", "LGA"], n)),
        }
    )
    frame.loc[rng.random(n) < 0.05, "hour"] = np.nan
    score = (
        (frame["hour"].fillna(12) - 14) / 4
        + (frame["carrier"] == "B6")
        - (frame["origin"] == "LGA")
    )
    label = np.where(score + rng.normal(scale=0.5, size=n) > 0, "late", "on time")
    return frame, label, score.to_numpy()


@pytest.fixture(scope="module")
def fitted():
    frame, label, score = flights_like()
    classifier = VorlentClassifier(
        n_estimators=15, random_state=1, early_stopping=True, class_weight="balanced"
    ).fit(frame, label)
    regressor = VorlentRegressor(
        n_estimators=15, loss="huber", quantile=0.7, random_state=2, monotonic_cst={"hour": 1}
    ).fit(frame, score)
    multiclass = VorlentClassifier(n_estimators=10, random_state=3).fit(
        frame, np.digitize(score, [-1, 0.5])
    )
    return frame, [classifier, regressor, multiclass]


FITTED_ATTRIBUTES = ("n_features_in_", "n_estimators_", "best_iteration_")


def assert_same_model(a, b, frame):
    assert type(a) is type(b)
    assert repr(a.get_params()) == repr(b.get_params())
    for name in FITTED_ATTRIBUTES:
        assert getattr(a, name) == getattr(b, name)
    np.testing.assert_array_equal(a.feature_names_in_, b.feature_names_in_)
    np.testing.assert_array_equal(a.feature_importances_, b.feature_importances_)
    assert hasattr(a, "validation_score_") == hasattr(b, "validation_score_")
    if hasattr(a, "validation_score_"):
        np.testing.assert_array_equal(a.validation_score_, b.validation_score_)
        assert a.evals_result_ == b.evals_result_
    np.testing.assert_array_equal(a.predict(frame), b.predict(frame))
    np.testing.assert_array_equal(a.predict_raw(frame), b.predict_raw(frame))
    if hasattr(a, "classes_"):
        np.testing.assert_array_equal(a.classes_, b.classes_)
        assert a.classes_.dtype == b.classes_.dtype and a.n_classes_ == b.n_classes_
        np.testing.assert_array_equal(a.predict_proba(frame), b.predict_proba(frame))
    assert a.booster_.serialize() == b.booster_.serialize()


def test_pickle_deepcopy_and_joblib_round_trips(tmp_path, fitted):
    joblib = pytest.importorskip("joblib")
    frame, models = fitted
    for model in models:
        copies = [
            pickle.loads(pickle.dumps(model)),
            copy.deepcopy(model),
        ]
        joblib.dump(model, tmp_path / "model.joblib")
        copies.append(joblib.load(tmp_path / "model.joblib"))
        for other in copies:
            assert_same_model(model, other, frame)
            assert other.booster_ is not model.booster_
    # Unfitted estimators keep their parameters.
    blank = pickle.loads(pickle.dumps(VorlentRegressor(loss="quantile", n_estimators=3)))
    assert blank.get_params()["loss"] == "quantile" and not hasattr(blank, "booster_")


def test_a_copy_continues_training_as_the_original_would():
    frame, _, score = flights_like(400)
    model = VorlentRegressor(n_estimators=6, subsample=0.6, colsample=0.5, random_state=9)
    model.fit(frame, score)
    twin = pickle.loads(pickle.dumps(model))
    model.set_params(warm_start=True, n_estimators=10).fit(frame, score)
    twin.set_params(warm_start=True, n_estimators=10).fit(frame, score)
    # The core Booster pickles its random sequence too: the new trees draw the same rows.
    assert twin.booster_.serialize() == model.booster_.serialize()


def test_save_and_load_give_the_same_fitted_estimator(tmp_path, fitted):
    frame, models = fitted
    for k, model in enumerate(models):
        path = tmp_path / f"model{k}.vrl"
        model.save_model(path)
        loaded = vorlent.load_model(path)
        assert_same_model(model, loaded, frame)
        # Unseen categories and reordered columns behave as in the original.
        odd = frame.iloc[:20][frame.columns[::-1]].copy()
        odd["carrier"] = "ZZ"
        np.testing.assert_array_equal(loaded.predict_raw(odd), model.predict_raw(odd))
    with pytest.raises(ValueError):
        vorlent.load_model(tmp_path / "model0.vrl").fit(frame.iloc[:5], ["a"] * 5)


def test_files_of_format_version_1_still_load(tmp_path, fitted):
    # Version 1 files held the core bytes with the dense interaction table.
    frame, models = fitted
    for model in models:
        header, core = decode_model(
            encode_model(model_header(model, model._state()), model.booster_.serialize())
        )
        dense = unpack(core).dense().pack()
        assert dense != core
        head = json.dumps({**header, "format_version": 1}).encode()
        body = MAGIC + struct.pack("<IQ", 1, len(head)) + head + struct.pack("<Q", len(dense))
        path = tmp_path / "version1.vrl"
        path.write_bytes(body + dense + struct.pack("<I", zlib.crc32(body + dense)))
        loaded = vorlent.load_model(path)
        assert_same_model(model, loaded, frame)
        np.testing.assert_array_equal(
            loaded.booster_.interaction_importances(), model.booster_.interaction_importances()
        )


def test_a_loaded_model_keeps_the_parameters_it_was_trained_with(tmp_path):
    frame, label, _ = flights_like(300)
    model = VorlentClassifier(n_estimators=5, random_state=0).fit(frame, label)
    model.set_params(learning_rate=0.5)  # changed after training: does not describe it
    model.save_model(tmp_path / "m.vrl")
    assert vorlent.load_model(tmp_path / "m.vrl").learning_rate == 0.1


def test_damaged_model_files_raise_value_error(tmp_path, fitted):
    _frame, models = fitted
    path = tmp_path / "model.vrl"
    models[0].save_model(path)
    data = path.read_bytes()
    for damaged in (data[: len(data) // 2], data[:-7], b"not a model file at all"):
        path.write_bytes(damaged)
        with pytest.raises(ValueError):
            vorlent.load_model(path)


def test_warm_start_continues_as_the_core_does():
    frame, _, score = flights_like()
    model = VorlentRegressor(n_estimators=8, subsample=0.7, random_state=4, early_stopping=False)
    model.fit(frame, score)
    booster = vc.Booster(**model._core_keywords)
    matrix = model._predict_input(frame)
    booster.fit(matrix, score)
    model.set_params(warm_start=True, n_estimators=14)
    half = frame.iloc[::2]
    model.fit(half, score[::2])
    booster.fit_more(matrix[::2], score[::2], 6)
    assert model.n_estimators_ == 14
    np.testing.assert_array_equal(model.predict(frame), booster.predict_raw(matrix))
    # Same size again: nothing to add, nothing changes.
    before = model.booster_.serialize()
    model.fit(frame, score)
    assert model.booster_.serialize() == before
    with pytest.raises(ValueError, match="n_estimators=10 must be at least n_estimators_=14"):
        model.set_params(n_estimators=10).fit(frame, score)
    with pytest.raises(ValueError, match="max_depth"):
        model.set_params(n_estimators=20, max_depth=2).fit(frame, score)
    assert model.booster_.serialize() == before


def test_a_loaded_model_continues_with_its_stored_loss_and_alpha(tmp_path):
    frame, _, score = flights_like()
    model = VorlentRegressor(
        n_estimators=10, loss="quantile", quantile=0.2, random_state=0, early_stopping=False
    )
    model.fit(frame, score)
    model.save_model(tmp_path / "q.vrl")
    loaded = vorlent.load_model(tmp_path / "q.vrl")
    loaded.set_params(warm_start=True, n_estimators=25).fit(frame, score)
    # Reference: the core trained and continued in one go with the quantile loss at 0.2
    # (no row or column draws, so the random sequence does not matter).
    matrix = model._predict_input(frame)
    reference = vc.Booster(**model._core_keywords)
    reference.fit(matrix, score)
    reference.fit_more(matrix, score, 15)
    np.testing.assert_array_equal(loaded.predict(frame), reference.predict_raw(matrix))
    # A booster constructed with the default (squared) loss would continue differently.
    default = vc.Booster()
    default.deserialize(model.booster_.serialize())
    default.fit_more(matrix, score, 15)
    assert not np.allclose(default.predict_raw(matrix), reference.predict_raw(matrix))
    assert np.mean(score <= loaded.predict(frame)) < 0.35  # still the 0.2 quantile


def rewrite_header(path, edits):
    """Replace header fields of the model file at ``path``; ``edits`` maps a dotted field
    name (``fitted.best_iteration_``) to its new value."""
    header, core = read_model_file(path)
    del header["format_version"]
    for name, value in edits.items():
        *outer, last = name.split(".")
        target = header
        for key in outer:
            target = target[int(key) if key.isdigit() else key]
        target[last] = value
    write_model_file(path, header, core)


# (model: 0 binary, 1 regressor, 2 multiclass; edits; the field the refusal names)
CORRUPTED_HEADERS = [
    (0, {"library_version": 3}, "library_version"),
    (0, {"estimator": "VorlentRegressor"}, "estimator"),
    (1, {"estimator": "VorlentClassifier"}, "estimator"),
    # The trees give offsets to all four carriers.
    (1, {"schema.categories.0.values": ["AA", "B6", "DL"]}, "schema"),
    (1, {"schema.categories": []}, "schema"),
    (
        1,
        {
            "schema.n_features": 5,
            "schema.feature_names": None,
            "schema.categorical": [False, False, True, True, False],
        },
        "schema",
    ),
    (0, {"classes.values": ["late", "on time", "zzz"]}, "classes"),
    (2, {"classes.values": [0, 1]}, "classes"),
    (0, {"classes.values": []}, "classes"),
    (0, {"classes.values": ["late"]}, "classes"),
    (0, {"classes.values": ["late", "late"]}, "classes.values"),
    (0, {"classes.values": ["on time", "late"]}, "classes.values"),
    (0, {"classes.dtype": "<U2"}, "classes.values"),
    (0, {"classes.dtype": "datetime64[s]"}, "classes.dtype"),
    (1, {"classes": {"values": [0, 1], "dtype": "<i8"}}, "classes"),
    (0, {"params.learning_rate": -0.1}, "params.learning_rate"),
    (0, {"params.max_depth": "deep"}, "params.max_depth"),
    (0, {"params.no_such_parameter": 1}, "params"),
    (1, {"params.max_depth": 3}, "core.max_depth"),
    (1, {"params.quantile": 0.5}, "core.alpha"),
    (1, {"core.learning_rate": -0.1}, "core.learning_rate"),
    (1, {"core.max_bins": 2**40}, "core.max_bins"),
    (1, {"core.n_threads": 1025}, "core.n_threads"),
    (1, {"core.n_estimators": 16}, "core.n_estimators"),
    (1, {"core.split": 1}, "core.split"),
    (1, {"params.learning_rate": 0.5, "core.learning_rate": 0.5}, "core.learning_rate"),
    (1, {"params.clip_to_target_range": True, "core.clip": 1}, "core.clip"),
    (1, {"objective": 2}, "objective"),
    (1, {"alpha": 0.25}, "alpha"),
    (0, {"fitted.n_estimators_": 99}, "fitted.n_estimators_"),
    (0, {"fitted.best_iteration_": "abc"}, "fitted.best_iteration_"),
    (0, {"fitted.best_iteration_": 10**18}, "fitted.best_iteration_"),
    (0, {"fitted.validation_score_": [-1.0]}, "fitted.validation_score_"),
    (0, {"surplus": 1}, "surplus"),
]


@pytest.mark.parametrize("index, edits, field", CORRUPTED_HEADERS)
def test_headers_that_disagree_with_the_model_are_refused(tmp_path, fitted, index, edits, field):
    path = tmp_path / "model.vrl"
    fitted[1][index].save_model(path)
    rewrite_header(path, edits)
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: header field {field}: "):
        vorlent.load_model(path)


THREADS_OF_A_LOADED_MODEL = r"""
import json, sys
import numpy as np
import vorlent

model = vorlent.load_model(sys.argv[1])
model.predict(np.random.default_rng(0).normal(size=(50000, 2)))
print(json.dumps([model.n_jobs, model._core_keywords["n_threads"]]))
"""


def test_thread_counts_from_a_file_stay_within_the_machine(tmp_path):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(3000, 2))
    model = VorlentRegressor(n_estimators=3, n_jobs=-1).fit(X, X[:, 0])
    path = tmp_path / "model.vrl"
    model.save_model(path)
    # Every core of the machine that loads the file, not of the one that saved it.
    assert read_model_file(path)[0]["core"]["n_threads"] == -1
    rewrite_header(path, {"core.n_threads": 1024, "params.n_jobs": 1024})
    # 1024 OpenMP threads under this cap would end the process.
    done = run_capped(THREADS_OF_A_LOADED_MODEL, path, memory_gb=2)
    assert done.returncode == 0, done.stderr[-2000:]
    assert json.loads(done.stdout) == [os.cpu_count()] * 2
