"""Data-parallel training on a real two-process LocalCluster: the model's bytes equal those of
a local exact_sums fit on the concatenated rows, whatever the chunking and placement; a worker
lost during the fit fails it within the timeout and leaves the estimator as it was."""

import numpy as np
import pytest

pytest.importorskip("dask.array")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import dask.array as da
import vorlent
from vorlent.dask import DaskVorlentClassifier, DaskVorlentRegressor, WorkerLostError

COMMON = {
    "random_state": 0,
    "n_estimators": 6,
    "max_depth": 3,
    "learning_rate": 0.3,
    "max_bins": 16,
    "min_samples_split": 4,
}


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def data(n=300, seed=0, cols=4):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, cols))
    X[rng.random(n) < 0.1, 2] = np.nan
    X[:, 3] = np.round(X[:, 3]) + 0.0  # heavy ties (no -0.0: bins order zeros by sign)
    score = X[:, 0] - 0.5 * X[:, 1] + np.nan_to_num(X[:, 2])
    w = rng.uniform(0.2, 3.0, n)
    return X, score + rng.normal(scale=0.5, size=n), score, w


# Chunkings: one block (one worker holds it all), uneven blocks with an empty one.
CHUNKINGS = [(300,), (17, 0, 120, 90, 73)]
CASES = [
    ("binary", {}),
    ("binary", {"subsample": 0.7, "colsample": 0.5, "random_state": 3}),
    ("multiclass", {"subsample": 0.8, "random_state": 1}),
    ("regression", {}),
    ("regression", {"colsample": 0.6, "random_state": 5}),
    ("regression", {"loss": "huber", "quantile": 0.8}),
    ("regression", {"loss": "quantile", "quantile": 0.3, "subsample": 0.7}),
]


def targets(kind, y, score):
    if kind == "binary":
        return np.where(score > 0.2, "yes", "no")
    if kind == "multiclass":
        return np.digitize(score, [-1.0, 0.0, 1.0])
    return y


@pytest.mark.parametrize("kind,extra", CASES)
@pytest.mark.parametrize("weighted", [False, True])
def test_model_bytes_equal_a_local_exact_fit(client, kind, extra, weighted):
    X, y, score, w = data()
    target = targets(kind, y, score)
    weights = w if weighted else None
    params = dict(COMMON, **extra)
    Local = vorlent.VorlentRegressor if kind == "regression" else vorlent.VorlentClassifier
    Dask = DaskVorlentRegressor if kind == "regression" else DaskVorlentClassifier
    local = Local(split_mode="axis", exact_sums=True, early_stopping=False, **params)
    local.fit(X, target, sample_weight=weights)
    expected = local.booster_.serialize()
    for chunks in CHUNKINGS:
        model = Dask(client=client, fit_timeout=60, **params)
        model.fit(
            da.from_array(X, chunks=(chunks, 4)),
            da.from_array(target, chunks=(chunks,)),
            None if weights is None else da.from_array(weights, chunks=(chunks,)),
        )
        assert model.booster_.serialize() == expected, chunks
        twin = model.to_local()
        assert type(twin) is Local
        assert twin.booster_.serialize() == expected
        np.testing.assert_array_equal(twin.predict(X), local.predict(X))
        if kind != "regression":
            np.testing.assert_array_equal(twin.classes_, local.classes_)


@pytest.mark.parametrize(
    "kind,cols,extra",
    [
        ("binary", 4, {"split_mode": "oblique", "subsample": 0.8, "learn_missing": True}),
        ("multiclass", 4, {"split_mode": "oblique", "max_pair_columns": 3, "colsample": 0.8}),
        ("regression", 4, {"split_mode": "oblique_full", "best_of_kinds": True}),
        # 66 pairs, more than the 48 candidates kept: screened on the first two levels.
        ("binary", 12, {"split_mode": "oblique", "max_pair_columns": 0}),
    ],
)
def test_oblique_model_bytes_equal_a_local_exact_fit(client, kind, cols, extra):
    """The oblique searches on the cluster: pair moments (with their screening sums),
    projected histograms and pair tests travel as messages, and the bytes are the local exact
    fit's."""
    X, y, score, _ = data(seed=9, cols=cols)
    target = targets(kind, y, score)
    params = dict(COMMON, **extra)
    Local = vorlent.VorlentRegressor if kind == "regression" else vorlent.VorlentClassifier
    Dask = DaskVorlentRegressor if kind == "regression" else DaskVorlentClassifier
    local = Local(exact_sums=True, early_stopping=False, **params).fit(X, target)
    kinds = {node["kind"] for tree in local.dump_model()["trees"] for node in tree["nodes"]}
    assert "oblique" in kinds
    for chunks in CHUNKINGS:
        model = Dask(client=client, fit_timeout=60, **params)
        model.fit(da.from_array(X, chunks=(chunks, cols)), da.from_array(target, chunks=(chunks,)))
        assert model.booster_.serialize() == local.booster_.serialize(), chunks


@pytest.mark.parametrize(
    "kind,extra,weighted",
    [
        ("binary", {"subsample": 0.8, "max_depth": 2}, False),
        ("regression", {"learn_missing": True, "max_pair_columns": 3}, True),
    ],
)
def test_lineage_model_bytes_equal_a_local_exact_fit(client, kind, extra, weighted):
    """The lineage builder on the cluster: lineage moments, projection ranges and histograms,
    projection rules and trees of projection tests travel as messages, and the bytes are the
    local exact fit's."""
    X, y, score, w = data(n=200, seed=11)
    X[::37, 1] = np.inf  # bounded by the column's finite values
    target = targets(kind, y, score)
    weights = w if weighted else None
    params = dict(COMMON, n_estimators=4, max_lineage=1, **extra)
    Local = vorlent.VorlentRegressor if kind == "regression" else vorlent.VorlentClassifier
    Dask = DaskVorlentRegressor if kind == "regression" else DaskVorlentClassifier
    local = Local(exact_sums=True, early_stopping=False, **params)
    local.fit(X, target, sample_weight=weights)
    kinds = {node["kind"] for tree in local.dump_model()["trees"] for node in tree["nodes"]}
    assert "projection" in kinds
    for chunks in [(200,), (17, 0, 120, 63)]:
        model = Dask(client=client, fit_timeout=60, **params)
        model.fit(
            da.from_array(X, chunks=(chunks, 4)),
            da.from_array(target, chunks=(chunks,)),
            None if weights is None else da.from_array(weights, chunks=(chunks,)),
        )
        assert model.booster_.serialize() == local.booster_.serialize(), chunks


def placed(client, parts, chunks, owner):
    """The Dask arrays ``parts`` cut into ``chunks`` rows per block, block i computed on
    worker ``owner(i)`` of the sorted workers."""
    workers = sorted(client.scheduler_info()["workers"])
    out = []
    for part in parts:
        blocks = part.rechunk((chunks, *part.shape[1:])).to_delayed().ravel()
        futures = [client.compute(b, workers=[workers[owner(i)]]) for i, b in enumerate(blocks)]
        distributed.wait(futures)
        shapes = [(c, *part.shape[1:]) for c in chunks]
        out.append(
            da.concatenate([da.from_delayed(f, s, part.dtype) for f, s in zip(futures, shapes)])
        )
    return out


def test_blocks_on_both_workers_and_a_frame(client):
    """Blocks spread over both workers (each actor holds its worker's blocks) and a dask
    DataFrame input train the same model."""
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    X, y, _, w = data(seed=4)
    local = vorlent.VorlentRegressor(
        split_mode="axis", exact_sums=True, early_stopping=False, **COMMON
    ).fit(X, y, sample_weight=w)
    chunks = (75, 75, 75, 75)
    parts = [
        da.from_array(X, chunks=(chunks, 4)),
        da.from_array(y, chunks=(chunks,)),
        da.from_array(w, chunks=(chunks,)),
    ]
    # Pin the blocks two by two to each worker, so that both actors hold rows.
    persisted = placed(client, parts, chunks, lambda i: i // 2)
    holders = {w for ws in client.who_has().values() for w in ws}
    assert len(holders) == 2
    model = DaskVorlentRegressor(client=client, **COMMON).fit(*persisted)
    assert model.booster_.serialize() == local.booster_.serialize()

    frame = dd.from_pandas(pd.DataFrame(X, columns=list("abcd")), npartitions=3)
    series = dd.from_pandas(pd.Series(y), npartitions=3)
    weights = dd.from_pandas(pd.Series(w), npartitions=3)
    named = vorlent.VorlentRegressor(
        split_mode="axis", exact_sums=True, early_stopping=False, **COMMON
    ).fit(pd.DataFrame(X, columns=list("abcd")), y, sample_weight=w)
    model = DaskVorlentRegressor(client=client, **COMMON).fit(frame, series, weights)
    assert model.booster_.serialize() == named.booster_.serialize()
    assert list(model.feature_names_in_) == list("abcd")


@pytest.mark.slow
@pytest.mark.parametrize("n_workers", [1, 3])
def test_one_and_three_workers_train_the_local_bytes(n_workers):
    """On clusters of one and of three worker processes, with the blocks dealt to every
    worker (several per worker, one empty), over both transports."""
    X, y, score, w = data(n=260, seed=21)
    cases = [
        (
            DaskVorlentClassifier,
            vorlent.VorlentClassifier,
            np.digitize(score, [-1.0, 0.0, 1.0]),
            {"subsample": 0.8, "colsample": 0.7},
        ),
        (
            DaskVorlentRegressor,
            vorlent.VorlentRegressor,
            y,
            {"split_mode": "oblique", "max_pair_columns": 3},
        ),
        (DaskVorlentRegressor, vorlent.VorlentRegressor, y, {"max_lineage": 1}),
    ]
    chunks = (40, 0, 70, 50, 30, 70)
    with (
        distributed.LocalCluster(
            n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        for (Dask, Local, target, extra), transport in zip(cases, ["dask", "socket", "dask"]):
            params = {**COMMON, "split_mode": "axis", **extra}
            local = Local(exact_sums=True, early_stopping=False, **params)
            local.fit(X, target, sample_weight=w)
            parts = [da.from_array(a) for a in (X, target, w)]
            Xd, yd, wd = placed(c, parts, chunks, lambda i: i % n_workers)
            model = Dask(client=c, transport=transport, fit_timeout=60, **params)
            model.fit(Xd, yd, wd)
            assert model.booster_.serialize() == local.booster_.serialize(), (extra, transport)
        holders = {w for ws in c.who_has().values() for w in ws}
        assert len(holders) == n_workers


def test_refusals_leave_the_estimator_unfitted(client):
    X, y, _, _ = data(n=40)
    Xd, yd = da.from_array(X, chunks=20), da.from_array(y, chunks=20)
    for params, needle in [
        ({"exact_sums": False}, "exact_sums"),
        ({"early_stopping": True}, "early_stopping"),
        ({"fit_timeout": 0}, "fit_timeout"),
        ({"transport": "mpi"}, "transport"),
    ]:
        model = DaskVorlentRegressor(client=client, **params)
        with pytest.raises(ValueError, match=needle):
            model.fit(Xd, yd)
        assert not hasattr(model, "booster_")
    model = DaskVorlentRegressor(client=client)
    with pytest.raises(ValueError, match="one validation set; eval_set holds 2"):
        model.fit(Xd, yd, eval_set=[(Xd, yd), (Xd, yd)])
    with pytest.raises(ValueError, match="0 sample"):
        model.fit(da.zeros((0, 4), chunks=1), da.zeros((0,), chunks=1))
    assert not hasattr(model, "booster_")


@pytest.mark.parametrize("transport", ["dask", "socket"])
def test_a_worker_lost_during_fit_fails_it_within_the_timeout(transport):
    """A worker killed while the trees grow: fit raises within fit_timeout (plus set-up
    slack) instead of hanging, and the estimator keeps its previous model."""
    import os
    import signal
    import threading
    import time

    X, y, _, _ = data(n=400, seed=7)
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        Xd = da.from_array(X, chunks=(100, 4))
        yd = da.from_array(y, chunks=(100,))
        # The first fit only makes the model to keep: a busy machine may take a while to
        # place the blocks. The second must notice the lost worker within its own timeout.
        model = DaskVorlentRegressor(
            client=c, fit_timeout=120, n_estimators=2, max_depth=2, transport=transport
        )
        before = model.fit(Xd, yd).booster_.serialize()
        model.set_params(n_estimators=3000, fit_timeout=15)
        worker = min(c.scheduler_info()["workers"])
        pid = c.run(os.getpid, workers=[worker])[worker]

        def kill_one():
            time.sleep(2.0)
            os.kill(pid, signal.SIGKILL)

        killer = threading.Thread(target=kill_one)
        started = time.monotonic()
        killer.start()
        with pytest.raises(WorkerLostError, match="worker"):
            model.fit(Xd, yd)
        elapsed = time.monotonic() - started
        killer.join()
        assert elapsed < 15 + 30
        assert model.booster_.serialize() == before
        assert model.n_estimators_ == 2


def test_predictions_on_blocks_equal_the_local_ones(client):
    X, _, score, _ = data(n=120, seed=9)
    target = np.digitize(score, [-1.0, 0.5])
    model = DaskVorlentClassifier(client=client, **COMMON)
    model.fit(da.from_array(X, chunks=(50, 4)), da.from_array(target, chunks=50))
    local = model.to_local()
    Xd = da.from_array(X, chunks=(35, 4))
    proba = model.predict_proba(Xd)
    assert proba.chunks == ((35, 35, 35, 15), (3,))
    np.testing.assert_array_equal(proba.compute(), local.predict_proba(X))
    np.testing.assert_array_equal(model.predict(Xd).compute(), local.predict(X))
    np.testing.assert_array_equal(model.predict(X), local.predict(X))


def test_a_fitted_estimator_pickles_and_saves_without_its_client(client, tmp_path):
    """Pickled, the estimator drops its client (its connections cannot travel); saved, it is
    the local estimator's file, which load_model reads back without a cluster."""
    import pickle

    X, y, _, _ = data(n=120, seed=10)
    model = DaskVorlentRegressor(client=client, **COMMON)
    model.fit(da.from_array(X, chunks=(50, 4)), da.from_array(y, chunks=50))
    twin = pickle.loads(pickle.dumps(model))
    assert type(twin) is DaskVorlentRegressor and twin.client is None
    assert model.client is client  # the fitted estimator keeps its own
    assert twin.booster_.serialize() == model.booster_.serialize()
    model.save_model(tmp_path / "model.vrl")
    loaded = vorlent.load_model(tmp_path / "model.vrl")
    assert type(loaded) is vorlent.VorlentRegressor
    assert loaded.booster_.serialize() == model.booster_.serialize()
    np.testing.assert_array_equal(loaded.predict(X), model.to_local().predict(X))


HOSTILE_MESSAGES = r"""
import numpy as np
import vorlent_core as vc

settings = vc.Booster(n_estimators=2, split_mode=1, exact_sums=True)
X = np.arange(24, dtype=float).reshape(6, 4)
shard = vc.Shard(X, np.array([0.0, 1, 0, 1, 1, 0]), None, 0, settings)
edges = [np.array([2.5 + 4 * k]) for k in range(4)]
lows = [np.array([4.0 * k, 4.0 * k + 4]) for k in range(4)]
tables = (edges, lows, lows, [False] * 4, True)
none = np.zeros(0, np.int32)
items = (none, [], none, 0)  # item_begin, projections, pairs, projection_bins
axis = (1, -1, 0.0, 0.0, 0.0, np.zeros(0))  # the pair-test fields of an axis node


def request(kind, nodes, *rest):
    return (kind, np.array(nodes, np.int32), 1, none, none, *(rest or items))


def projection(form, a, b, features=()):
    features = np.array(features, np.int32)
    return (form, a, b, 1.0, 1.0, np.zeros(0), features, np.ones(len(features)), 0.0, 0.0, 1.0)


messages = [
    ("distinct", np.array([4], np.int32)), ("distinct", np.array([0, -1], np.int32)),
    ("count_columns", np.array([-1], np.int32), [(0, np.zeros(1, np.uint64))]),
    ("count_columns", np.array([0, 1], np.int32), [(0, np.zeros(1, np.uint64))]),
    ("extremes", [edges[0]]),
    ("count_columns", np.array([0], np.int32), [(64, np.zeros(1, np.uint64))]),
    ("count_targets", (12, np.zeros(1, np.uint64))),
    ("stats", request(2, [0])),
    ("stats", (2, np.array([0], np.int32), 1, none, none)),
    ("set_bins", (edges, lows[:3], lows, [False] * 4, True)),
    ("set_bins", ([np.array([3.0, 1.0])] * 4, lows, lows, [False] * 4, True)),
    ("from_blocks", [], settings),
    ("from_blocks", [(X, np.zeros(6), None, 0), (X[:, :3], np.zeros(6), None, 6)], settings),
    ("from_blocks", [(X, np.zeros(6), None, 0), (X, np.zeros(6), None, 3)], settings),
    ("from_blocks", [(X, np.zeros(6), None, -1)], settings),
    ("from_blocks", [(X, np.zeros(5), None, 0)], settings),
    ("from_blocks", [(X, np.zeros(6), np.ones(6), 0), (X, np.zeros(6), None, 6)], settings),
    ("from_blocks", [(X, np.zeros(6), None)], settings),
]
def refuse_all(messages):
    for name, *args in messages:
        try:
            getattr(shard, name)(*args)
        except ValueError:
            continue
        raise SystemExit(f"{name} accepted a bad message")


refuse_all(messages)
shard.set_bins(tables)
shard.start(1, 0.0, [])
shard.begin_tree(1, 1.0)
later = [
    ("stats", request(2, [-5])),
    ("stats", request(17, [0])),
    ("stats", request(4, [0], np.array([0, 1], np.int32), [projection(0, 0, 4)], none, 8)),
    ("stats", request(3, [0], np.array([0, 1], np.int32), [projection(2, 0, 0, [1, 9])], none, 0)),
    ("stats", request(3, [0], np.array([0, 2], np.int32), [projection(0, 0, 1)], none, 0)),
    ("stats", request(5, [0], np.array([0, 1], np.int32), [], np.array([0, 5, -1], np.int32), 0)),
    ("stats", request(5, [0], np.array([0, 1], np.int32), [], np.array([0, 1, 40], np.int32), 0)),
    ("route", [(0, 1, 2, 3, 1.0, 0, np.zeros(9, np.uint8), axis)], np.array([0], np.int32)),
    ("route", [(0, 1, 2, 7, 1.0, 0, np.zeros(2, np.uint8), axis)], np.array([0], np.int32)),
    ("route", [(0, 1, 2, 0, 1.0, 0, np.zeros(2, np.uint8), axis)], np.array([3], np.int32)),
    ("route", [(0, 1, 2, 0, 1.0, 0, none.astype(np.uint8), (2, 6, 1.0, 1.0, 0.0, np.zeros(0)))],
     np.array([0], np.int32)),
    ("route", [(0, 1, 2, 0, 1.0, 0, none.astype(np.uint8), (5, 1, 1.0, 1.0, 0.0, np.zeros(0)))],
     np.array([0], np.int32)),
    ("add_tree", [(False, 0, 1.0, 0, 0, 0, 0.0, np.zeros(0), axis)]),
    ("add_tree", [(False, 9, 1.0, 0, 1, 2, 0.0, np.zeros(0), axis)] + [(True, -1, 0, 0, -1, -1, 0.0, np.zeros(0), axis)] * 2),
    ("add_tree", [(False, 0, 1.0, 0, 1, 2, 0.0, np.zeros(0), (3, -2, 1.0, 1.0, 0.0, np.zeros(0)))] + [(True, -1, 0, 0, -1, -1, 0.0, np.zeros(0), axis)] * 2),
    ("add_tree", []),
    ("add_tree", [(True, -1, 0, 0, -1, -1, 0.0, np.zeros(0), axis)], np.array([1], np.int32)),
    ("count_leaf_residuals", np.array([0, 1], np.int32), [(0, np.zeros(1, np.uint64))]),
]
refuse_all(later)
print("ok")
"""


def test_bad_shard_messages_raise_value_errors():
    """A Shard answers messages from another process: ones that do not fit its rows, bins
    or tree raise ValueError (in a capped child, so that a crash fails only this test)."""
    from helpers import run_capped

    done = run_capped(HOSTILE_MESSAGES, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-2000:]


def test_two_fits_at_once_on_one_cluster(client):
    """Two fits started together from two threads both finish with their own models (the
    second waits for the first's shards)."""
    from concurrent.futures import ThreadPoolExecutor

    X, y, score, _ = data(n=200, seed=11)
    labels = (score > 0).astype(int)
    jobs = [
        (DaskVorlentRegressor, vorlent.VorlentRegressor, y),
        (DaskVorlentClassifier, vorlent.VorlentClassifier, labels),
    ]

    def fit(job):
        Dask, _, target = job
        chunked = da.from_array(X, chunks=(60, 4)), da.from_array(target, chunks=60)
        return Dask(client=client, fit_timeout=60, **COMMON).fit(*chunked)

    with ThreadPoolExecutor(2) as pool:
        models = list(pool.map(fit, jobs))
    for model, (_, Local, target) in zip(models, jobs, strict=True):
        local = Local(split_mode="axis", exact_sums=True, early_stopping=False, **COMMON)
        assert model.booster_.serialize() == local.fit(X, target).booster_.serialize()


@pytest.mark.parametrize("kind", ["regression", "multiclass"])
def test_early_stopping_on_a_dask_validation_set(client, kind):
    """Early stopping on Dask validation rows stops at the local fit's round with its
    trees, losses and best iteration; an eval_set without early stopping only records."""
    X, y, score, _ = data(n=300, seed=12)
    X_val, y_val, score_val, _ = data(n=90, seed=13)
    target, target_val = targets(kind, y, score), targets(kind, y_val, score_val)
    Local = vorlent.VorlentRegressor if kind == "regression" else vorlent.VorlentClassifier
    Dask = DaskVorlentRegressor if kind == "regression" else DaskVorlentClassifier
    params = dict(COMMON, n_estimators=80, learning_rate=0.6, n_iter_no_change=3, tol=1e-3)
    val = (da.from_array(X_val, chunks=(40, 4)), da.from_array(target_val, chunks=40))
    for early in (True, False):
        local = Local(split_mode="axis", exact_sums=True, early_stopping=early, **params)
        local.fit(X, target, eval_set=(X_val, target_val))
        model = Dask(client=client, early_stopping=early, **params)
        model.fit(da.from_array(X, chunks=(70, 4)), da.from_array(target, chunks=70), eval_set=val)
        assert model.booster_.serialize() == local.booster_.serialize()
        assert model.best_iteration_ == local.best_iteration_
        np.testing.assert_array_equal(model.validation_score_, local.validation_score_)
        assert (model.n_estimators_ < 80) == early


def categorical_table(n=300, seed=31):
    """A frame of a numeric column, a category column whose dtype lists its categories out
    of order (one never used), a string column and a column of sparse integer codes; the
    target leans on the categories."""
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(seed)
    kinds = np.array(["zeta", "alpha", "mid", "beta"])
    cat = kinds[rng.integers(0, 4, n)].astype(object)
    cat[rng.random(n) < 0.1] = None
    text = np.array(["r", "g", "b", "w", "k"])[rng.integers(0, 5, n)]
    codes = np.array([0.0, 5.0, 7.0, 11.0, 30.0])[rng.integers(0, 4, n)]
    codes[-5:] = 30.0  # only the last block holds code 30
    codes[rng.random(n) < 0.05] = np.nan
    x = rng.normal(size=n)
    frame = pd.DataFrame(
        {
            "x": x,
            "cat": pd.Categorical(cat, categories=["zeta", "unused", "mid", "alpha", "beta"]),
            "text": text,
            "codes": codes,
        }
    )
    effect = {"zeta": 1.0, "alpha": -1.0, "mid": 0.3, "beta": 0.0, None: 0.5}
    score = x + np.array([effect[c] for c in cat]) + (np.nan_to_num(codes) > 6) - (text == "g")
    return frame, score + rng.normal(scale=0.3, size=n)


def test_categorical_columns_are_agreed_over_the_blocks(client):
    """Category lists agreed over uneven blocks (one empty, one holding a value no other
    block has) give the model bytes and codes of the local exact fit on the concatenated
    rows: sparse integer codes of an array declared categorical, a frame's category dtype
    with known categories (the dtype's order, unused ones kept) and unknown ones (each
    partition its own list), and strings."""
    import dask
    import dask.dataframe as dd
    from dask_support import split

    frame, y = categorical_table()
    chunks = (17, 0, 120, 90, 73)
    local_params = dict(split_mode="axis", exact_sums=True, early_stopping=False, **COMMON)
    yd = da.from_array(y, chunks=(chunks,))

    X = frame[["x", "codes"]].to_numpy()
    local = vorlent.VorlentRegressor(categorical_features=[1], **local_params).fit(X, y)
    model = DaskVorlentRegressor(client=client, categorical_features=[1], **COMMON)
    model.fit(da.from_array(X, chunks=(chunks, 2)), yd)
    assert local._schema.categories == {1: (0.0, 5.0, 7.0, 11.0, 30.0)}
    assert model._schema == local._schema
    assert model.booster_.serialize() == local.booster_.serialize()

    ends = np.cumsum(chunks)
    parts = [frame.iloc[end - n : end].copy() for n, end in zip(chunks, ends)]
    for part in parts:  # each partition lists only its own categories, in its own order
        own = part["cat"].cat.remove_unused_categories()
        part["cat"] = own.cat.reorder_categories(sorted(own.cat.categories, reverse=True))
    pieces = [dask.delayed(p) for p in parts]
    unknown = dd.from_delayed(pieces, meta=frame.iloc[:0], verify_meta=False)
    unknown["cat"] = unknown["cat"].cat.as_unknown()
    for Xd, concatenated in ((split(frame, chunks), frame), (unknown, unknown.compute())):
        local = vorlent.VorlentRegressor(**local_params).fit(concatenated, y)
        model = DaskVorlentRegressor(client=client, **COMMON).fit(Xd, yd)
        assert model._schema == local._schema
        assert model.booster_.serialize() == local.booster_.serialize()
        predicted = model.predict(Xd).compute().to_numpy()
        np.testing.assert_array_equal(predicted, local.predict(concatenated))
    assert local._schema.categories[2] == ("b", "g", "k", "r", "w")
    assert split(frame, chunks)["cat"].cat.known and not unknown["cat"].cat.known


@pytest.mark.parametrize("kind", ["binary", "multiclass"])
def test_eval_metric_and_callbacks_on_a_dask_validation_set(client, kind):
    """Metrics of eval_metric and callbacks on Dask validation rows see what they see
    locally: the same history (in any order and chunking of the rows), the same early
    stop on the first metric, the same model bytes; a callback's True stops both fits."""
    X, y, score, _ = data(n=300, seed=41)
    X_val, y_val, score_val, _ = data(n=130, seed=42)
    target, target_val = targets(kind, y, score), targets(kind, y_val, score_val)
    metric = ["auc", "logloss", "error"] if kind == "binary" else ["merror", "mlogloss"]

    def balanced(y_true, proba, weight):
        return float(np.mean(np.abs(proba - 0.5)))

    params = dict(
        COMMON,
        n_estimators=60,
        learning_rate=0.5,
        n_iter_no_change=3,
        tol=0.0,
        early_stopping=True,
        eval_metric=metric + [balanced],
    )
    Local = vorlent.VorlentClassifier
    seen_local, seen_dask = [], []
    local = Local(split_mode="axis", exact_sums=True, **params)
    local.fit(X, target, eval_set=(X_val, target_val), callbacks=[seen_local.append])
    assert local.n_estimators_ < 60
    order = np.random.default_rng(0).permutation(130)
    val = (
        da.from_array(X_val[order], chunks=((50, 0, 80), 4)),
        da.from_array(target_val[order], chunks=((50, 0, 80),)),
    )
    model = DaskVorlentClassifier(client=client, **params)
    model.fit(
        da.from_array(X, chunks=(70, 4)),
        da.from_array(target, chunks=70),
        eval_set=val,
        callbacks=[seen_dask.append],
    )
    assert model.booster_.serialize() == local.booster_.serialize()
    assert model.best_iteration_ == local.best_iteration_
    built_in = {m: model.evals_result_["validation"][m] for m in metric}
    assert built_in == {m: local.evals_result_["validation"][m] for m in metric}
    assert [i.iteration for i in seen_dask] == [i.iteration for i in seen_local]

    # A list of one set, named as locally.
    stop = dict(params, early_stopping=False, eval_metric=None)
    local = Local(split_mode="axis", exact_sums=True, **stop).fit(
        X,
        target,
        eval_set=[(X_val, target_val)],
        eval_names=["holdout"],
        callbacks=[lambda info: info.iteration == 4],
    )
    model = DaskVorlentClassifier(client=client, **stop).fit(
        da.from_array(X, chunks=(70, 4)),
        da.from_array(target, chunks=70),
        eval_set=[val],
        eval_names=["holdout"],
        callbacks=[lambda info: info.iteration == 4],
    )
    assert model.n_estimators_ == local.n_estimators_ == 5
    assert model.booster_.serialize() == local.booster_.serialize()
    assert model.evals_result_ == local.evals_result_
    assert list(model.evals_result_) == ["holdout"]
    with pytest.raises(ValueError, match="eval_train"):
        DaskVorlentClassifier(client=client, **stop).fit(
            da.from_array(X, chunks=70), da.from_array(target, chunks=70), eval_train=True
        )
