"""vorlent.dask's prediction and explanation on a real two-process LocalCluster: every
function against the estimator's own method on the concatenated rows, bit for bit, on
arrays and frames split into uneven blocks with an empty one; the model unpickled once per
worker process; bad input refused before anything runs."""

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import vorlent
import vorlent.dask as vd
from dask_support import local_cluster, same_bits, split

CHUNKS = (70, 0, 113, 17)  # uneven, with an empty block
N = sum(CHUNKS)


def table(n, seed=0):
    """Numeric, missing, string and category columns, and a shuffled string index."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "distance": rng.uniform(100, 2500, n),
            "hour": rng.integers(5, 23, n).astype(float),
            "carrier": rng.choice(["AA", "B6", "UA", "DL"], n),
            "origin": pd.Categorical(rng.choice(["EWR", "JFK", "LGA"], n)),
        },
        index=[f"r{i}" for i in rng.permutation(n)],
    )
    frame.loc[rng.random(n) < 0.1, "hour"] = np.nan
    signal = (frame["hour"].fillna(12) - 14) / 3 + (frame["carrier"] == "B6") - 0.5
    return frame, signal.to_numpy() + rng.normal(size=n)


def split_frame(frame):
    return split(frame, CHUNKS)


@pytest.fixture(scope="module")
def client():
    with local_cluster() as client:
        yield client


@pytest.fixture(scope="module")
def models():
    frame, signal = table(N)
    labels = np.where(signal > 0, "late", "on time")
    three = np.digitize(signal, [-0.5, 0.5])
    X = np.random.default_rng(1).normal(size=(N, 4))
    return {
        "frame": frame,
        "X": X,
        "binary": vorlent.VorlentClassifier(
            n_estimators=15, random_state=0, early_stopping=False
        ).fit(frame, labels),
        "multiclass": vorlent.VorlentClassifier(
            n_estimators=8, random_state=0, early_stopping=False
        ).fit(X, three),
        "regressor": vorlent.VorlentRegressor(
            n_estimators=12, split_mode="axis", random_state=0, early_stopping=False
        ).fit(X, X[:, 0] * X[:, 1]),
    }


def test_the_local_scheduler_runs_without_a_client(models):
    # First in the file: the module's cluster is not started yet.
    with pytest.raises(ValueError):
        distributed.default_client()
    X = models["X"]
    model = models["multiclass"]
    lazy = vd.predict_proba(model, da.from_array(X, chunks=(CHUNKS, 4)))
    with dask.config.set(scheduler="threads"):
        same_bits(lazy.compute(), model.predict_proba(X))


ARRAY_CASES = [
    ("multiclass", "predict", {}),
    ("multiclass", "predict_proba", {"iteration_range": (0, 5)}),
    ("multiclass", "predict_raw", {}),
    ("multiclass", "explain", {}),
    ("multiclass", "shap_values", {}),
    ("regressor", "predict", {}),
    ("regressor", "shap_values", {"iteration_range": (0, 7)}),
    ("regressor", "interaction_values", {}),
]


@pytest.mark.parametrize(("which", "method", "kwargs"), ARRAY_CASES)
def test_arrays_give_the_local_numbers_in_the_input_chunks(client, models, which, method, kwargs):
    model, X = models[which], models["X"]
    want = getattr(model, method)(X, **kwargs)
    lazy = getattr(vd, method)(model, da.from_array(X, chunks=(CHUNKS, 4)), **kwargs)
    assert isinstance(lazy, da.Array)
    assert lazy.chunks == (CHUNKS, *((n,) for n in want.shape[1:]))
    assert lazy.dtype == want.dtype
    same_bits(lazy.compute(), want)


FRAME_CASES = [
    ("predict", {}, "series"),
    ("predict_proba", {}, "frame"),
    ("predict_raw", {"iteration_range": (0, 4)}, "series"),
    ("explain", {}, "frame"),
    ("shap_values", {}, "frame"),
    ("shap_values", {"background": "sample"}, "frame"),
]


@pytest.mark.parametrize(("method", "kwargs", "shape"), FRAME_CASES)
def test_frames_give_the_local_numbers_with_their_index(client, models, method, kwargs, shape):
    model, frame = models["binary"], models["frame"]
    if kwargs.get("background") == "sample":
        kwargs = {"background": frame.sample(60, random_state=0)}
    want = getattr(model, method)(frame, **kwargs)
    lazy = getattr(vd, method)(model, split_frame(frame), **kwargs)
    got = lazy.compute()
    if shape == "series":
        assert isinstance(lazy, dd.Series) and list(got.index) == list(frame.index)
        same_bits(got.to_numpy(dtype=want.dtype), want)
        return
    assert isinstance(lazy, dd.DataFrame) and list(got.index) == list(frame.index)
    expected_columns = {
        "predict_proba": list(model.classes_),
        "explain": list(model.feature_names_in_),
        "shap_values": [*model.feature_names_in_, "expected_value"],
    }[method]
    assert list(got.columns) == list(lazy.columns) == expected_columns
    same_bits(got.to_numpy(), np.asarray(want))


def test_frames_of_multiclass_shapley_values_are_arrays(client, models):
    frame, signal = table(N, seed=3)
    model = vorlent.VorlentClassifier(n_estimators=5, random_state=0, early_stopping=False)
    model.fit(frame, np.digitize(signal, [-0.5, 0.5]))
    lazy = vd.shap_values(model, split_frame(frame))
    assert isinstance(lazy, da.Array) and lazy.ndim == 3
    same_bits(lazy.compute(), model.shap_values(frame))


def test_each_worker_unpickles_a_model_once(client, models):
    model, X, frame = models["multiclass"], models["X"], models["frame"]
    dask.compute(
        vd.predict(model, da.from_array(X, chunks=10), client=client),
        vd.predict_proba(model, da.from_array(X, chunks=25)),
        vd.shap_values(model, da.from_array(X, chunks=(40, 4))),
    )
    dask.compute(
        vd.predict(models["binary"], split_frame(frame)),
        vd.explain(models["binary"], split_frame(frame)),
    )
    counts = client.run(vd.load_counts)
    assert len(counts) == 2
    per_model: dict = {}
    for worker_counts in counts.values():
        for digest, loads in worker_counts.items():
            assert loads == 1, counts  # however many blocks the worker ran
            per_model[digest] = per_model.get(digest, 0) + loads
    # Both models reached the cluster (over 20 blocks of the first on two workers).
    assert len(per_model) >= 2 and sum(per_model.values()) >= 2


def test_a_collection_keeps_the_model_it_was_built_with(client):
    X = np.random.default_rng(5).normal(size=(120, 3))
    model = vorlent.VorlentRegressor(n_estimators=4, early_stopping=False, random_state=0)
    before = model.fit(X, X[:, 0]).predict(X)
    lazy = vd.predict(model, da.from_array(X, chunks=50))
    model.fit(X, X[:, 1])  # refitting afterwards does not reach the built collection
    same_bits(lazy.compute(), before)
    assert not np.array_equal(before, model.predict(X))


def _explode(block):
    raise RuntimeError("a block was computed")


def test_bad_input_is_refused_before_anything_runs(client, models):
    model, X, frame = models["multiclass"], models["X"], models["frame"]
    # Blocks that fail if anything computes them: every refusal must come first.
    lazy_X = da.from_array(X, chunks=(50, 4)).map_blocks(_explode, dtype=float)
    with pytest.raises(TypeError, match="dask"):
        vd.predict(model, X)
    with pytest.raises(TypeError, match="VorlentClassifier or VorlentRegressor"):
        vd.predict(object(), lazy_X)
    with pytest.raises(TypeError, match="predict_proba"):
        vd.predict_proba(models["regressor"], lazy_X)
    with pytest.raises(ValueError, match="not fitted"):
        vd.predict(vorlent.VorlentClassifier(), lazy_X)
    with pytest.raises(ValueError, match="3 features, but VorlentClassifier is expecting 4"):
        vd.predict(model, lazy_X[:, :3])
    with pytest.raises(ValueError, match=r"rechunk\(\{1: -1\}\)"):
        vd.predict(model, da.from_array(X, chunks=(50, 2)).map_blocks(_explode, dtype=float))
    with pytest.raises(ValueError, match="2-D"):
        vd.predict(model, lazy_X[:, 0])
    with pytest.raises(ValueError, match="iteration_range end"):
        vd.predict(model, lazy_X, iteration_range=(0, 99))
    lazy_frame = split_frame(frame).map_partitions(_explode, meta=frame.iloc[:0])
    with pytest.raises(ValueError, match="missing 'hour'"):
        vd.predict(models["binary"], lazy_frame.drop(columns="hour"))
    with pytest.raises(TypeError, match="compute it first"):
        vd.shap_values(models["binary"], lazy_frame, background=lazy_frame)
    with pytest.raises(TypeError, match="distributed.Client"):
        vd.predict(model, lazy_X, client="tcp://127.0.0.1:8786")


def test_docstring_examples_run(client):
    import doctest
    import importlib

    for module in (
        "vorlent.dask",
        "vorlent.dask._predict",
        "vorlent.dask._folds",
        "vorlent.dask._target_encoding",
    ):
        result = doctest.testmod(importlib.import_module(module))
        assert result.attempted > 0 and result.failed == 0, module
