"""The estimators against the core Booster they wrap, their labels, parameters, early
stopping and fitted attributes."""

import itertools
import logging
import os
import sys
import threading
import time

import numpy as np
import pytest
import vorlent
import vorlent_core as vc
from vorlent import VorlentClassifier, VorlentRegressor
from vorlent._split import validation_split

pd = pytest.importorskip("pandas")


def data(n=600, d=5, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, d))
    signal = X[:, 0] - X[:, 1] + 0.5 * X[:, 2] * X[:, 3]
    X[rng.random(X.shape) < 0.03] = np.nan
    return X, signal, rng


def core_keywords(**changes):
    """The core keywords of an estimator left at its defaults, with changes."""
    keywords = {
        "n_estimators": 1000,
        "learning_rate": 0.1,
        "max_depth": 5,
        "max_bins": 64,
        "reg_lambda": 1.0,
        "min_samples": 10,
        "subsample": 1.0,
        "colsample": 1.0,
        "seed": 0,
        "objective": 0,
        "loss": 0,
        "alpha": 0.9,
        "clip": 0,
        "monotone": [],
        "categorical": [],
        "max_lineage": 0,
        "split_mode": 0,
        "max_pair_columns": 4,
    }
    keywords.update(changes)
    return keywords


# --- the reference: the estimator is the core with the mapped parameters ----------------------

SHARED = {
    "n_estimators": 25,
    "learning_rate": 0.2,
    "max_depth": 3,
    "max_bins": 32,
    "reg_lambda": 2.0,
    "min_samples_split": 12,
    "subsample": 0.8,
    "colsample": 0.7,
    "random_state": 7,
    "split_mode": "oblique_full",
    "early_stopping": False,
}
CORE_SHARED = {
    "n_estimators": 25,
    "learning_rate": 0.2,
    "max_depth": 3,
    "max_bins": 32,
    "reg_lambda": 2.0,
    "min_samples": 12,
    "subsample": 0.8,
    "colsample": 0.7,
    "seed": 7,
    "split_mode": 2,
}


@pytest.mark.parametrize(
    "make, y_of, core, method",
    [
        (lambda: VorlentClassifier(**SHARED), lambda s: s > 0, {"objective": 0}, "predict_proba"),
        (
            lambda: VorlentClassifier(**SHARED, monotonic_cst={0: 1, 1: -1}),
            lambda s: s > 0,
            {"objective": 0, "monotone": [1, -1, 0, 0, 0]},
            "predict_proba",
        ),
        (
            lambda: VorlentClassifier(**SHARED),
            lambda s: np.digitize(s, [-1, 0, 1]),
            {"objective": 2},
            "predict_proba",
        ),
        (
            lambda: VorlentRegressor(
                **{**SHARED, "split_mode": "axis"}, loss="huber", quantile=0.8
            ),
            lambda s: s,
            {"objective": 1, "loss": 1, "alpha": 0.8, "split_mode": 1},
            "predict",
        ),
        (
            lambda: VorlentRegressor(
                **SHARED, loss="quantile", quantile=0.3, clip_to_target_range=True
            ),
            lambda s: s,
            {"objective": 1, "loss": 2, "alpha": 0.3, "clip": 1},
            "predict",
        ),
        (
            lambda: VorlentRegressor(**{**SHARED, "subsample": 1.0}, max_lineage=2),
            lambda s: s,
            {"objective": 1, "max_lineage": 2, "subsample": 1.0},
            "predict",
        ),
    ],
)
def test_the_estimator_predicts_as_the_core_with_the_mapped_parameters(make, y_of, core, method):
    X, signal, _ = data()
    y = y_of(signal)
    model = make().fit(X, y)
    booster = vc.Booster(**core_keywords(**{**CORE_SHARED, **core}))
    booster.fit(
        X, np.unique(y, return_inverse=True)[1].astype(float) if core["objective"] != 1 else y
    )
    expected = booster.predict_proba(X) if method == "predict_proba" else booster.predict_raw(X)
    np.testing.assert_array_equal(getattr(model, method)(X), expected)
    np.testing.assert_array_equal(model.booster_.serialize(), booster.serialize())
    assert model.n_estimators_ == booster.n_trees() == 25


def test_early_stopping_on_an_eval_set_is_the_core_with_that_validation_set():
    X, signal, _ = data(800)
    y = signal > 0
    model = VorlentClassifier(
        n_estimators=80,
        learning_rate=0.5,
        random_state=0,
        n_iter_no_change=3,
        tol=1e-3,
        early_stopping=True,
    )
    model.fit(X[:600], y[:600], eval_set=(X[600:], y[600:]))
    booster = vc.Booster(**core_keywords(n_estimators=80, learning_rate=0.5))
    booster.fit(
        X[:600],
        y[:600].astype(float),
        X_val=X[600:],
        y_val=y[600:].astype(float),
        es_patience=3,
        es_tol=1e-3,
    )
    np.testing.assert_array_equal(model.predict_proba(X), booster.predict_proba(X))
    assert model.best_iteration_ == booster.best_iteration() < 79
    assert model.n_estimators_ == model.best_iteration_ + 1
    np.testing.assert_array_equal(model.validation_score_, booster.validation_losses())
    assert model.evals_result_ == {"validation": {"log_loss": list(model.validation_score_)}}
    # The recorded losses are log-losses of the kept model's rounds on the eval set.
    p = model.predict_proba(X[600:])[:, 1]
    yv = y[600:]
    loss = -np.mean(yv * np.log(p) + (1 - yv) * np.log(1 - p))
    assert model.validation_score_[model.best_iteration_] == pytest.approx(loss, rel=1e-9)


def test_an_eval_set_without_early_stopping_records_every_round_and_cuts_nothing():
    X, signal, _ = data(500)
    model = VorlentRegressor(n_estimators=30, early_stopping=False, random_state=0)
    model.fit(X[:400], signal[:400], eval_set=(X[400:], signal[400:]))
    assert model.n_estimators_ == 30 and model.best_iteration_ is None
    assert len(model.validation_score_) == 30
    reference = VorlentRegressor(n_estimators=30, early_stopping=False, random_state=0)
    np.testing.assert_array_equal(model.predict(X), reference.fit(X[:400], signal[:400]).predict(X))
    assert model.validation_score_[-1] == pytest.approx(
        np.mean((model.predict(X[400:]) - signal[400:]) ** 2), rel=1e-9
    )


def test_a_list_of_eval_sets_records_each_under_its_name_and_stops_on_the_first():
    X, signal, _ = data(900)
    y = signal > 0
    A, a, B, b = X[500:700], y[500:700], X[700:], y[700:]
    quick = dict(split_mode="axis", max_depth=3)
    scored = dict(n_estimators=12, eval_metric=["logloss", "error"], early_stopping=False, **quick)
    both = VorlentClassifier(**scored).fit(X[:500], y[:500], eval_set=[(A, a), (B, b)])
    alone = [
        VorlentClassifier(**scored).fit(X[:500], y[:500], eval_set=s) for s in ((A, a), (B, b))
    ]
    assert both.evals_result_ == {
        "validation_0": alone[0].evals_result_["validation"],
        "validation_1": alone[1].evals_result_["validation"],
    }
    assert both.booster_.serialize() == alone[0].booster_.serialize()
    np.testing.assert_allclose(both.validation_score_, alone[0].validation_score_, rtol=1e-12)

    # Early stopping watches the first set, whatever its name.
    early = dict(n_estimators=200, learning_rate=0.5, n_iter_no_change=3, tol=1e-3, **quick)
    named = VorlentClassifier(**early).fit(
        X[:500], y[:500], eval_set=[(B, b), (A, a)], eval_names=["b", "a"]
    )
    first = VorlentClassifier(eval_metric="logloss", **early).fit(X[:500], y[:500], eval_set=(B, b))
    assert list(named.evals_result_) == ["b", "a"]
    assert named.best_iteration_ == first.best_iteration_ < 199
    assert named.booster_.serialize() == first.booster_.serialize()

    for eval_set, names, error, message in [
        ([A, a], None, TypeError, r"eval_set\[0\] must be a pair"),
        ([], None, ValueError, "empty list"),
        ({"a": (A, a)}, None, TypeError, "eval_set must be a pair"),
        ([(A, a)], ["x", "y"], ValueError, "eval_names has 2 names"),
        ([(A, a), (B, b)], ["x", "x"], ValueError, "twice"),
        ([(A, a)], ["training"], ValueError, "'training'"),
        ([(A, a)], [3], TypeError, r"eval_names\[0\] must be a str"),
        (None, ["x"], ValueError, "eval_set is None"),
        ([(A, a), (B, b[:5])], None, ValueError, r"eval_set\[1\]\[1\] has 5 entries"),
    ]:
        with pytest.raises(error, match=message):
            VorlentClassifier(n_estimators=2).fit(X, y, eval_set=eval_set, eval_names=names)


def test_the_early_stopping_split_is_stratified_and_reproducible():
    rng = np.random.default_rng(3)
    n = 12_000  # above the "auto" threshold
    X = rng.normal(size=(n, 3))
    y = np.where(rng.random(n) < 0.05, "rare", "common")  # 5% minority
    auto = {"n_estimators": 5, "early_stopping": "auto"}
    first = VorlentClassifier(**auto, random_state=11).fit(X, y)
    again = VorlentClassifier(**auto, random_state=11).fit(X, y)
    other = VorlentClassifier(**auto, random_state=12).fit(X, y)
    assert first.best_iteration_ is not None  # "auto" turned early stopping on
    np.testing.assert_array_equal(first.validation_score_, again.validation_score_)
    assert not np.array_equal(first.validation_score_, other.validation_score_)
    # Rebuild the split from the validation losses: train the core on the stratified split
    # the estimator documents (10% of each class, drawn from the seed) and compare.
    train_rows, val_rows = validation_split(
        np.unique(y, return_inverse=True)[1].astype(float), 0.1, 11, stratify=True
    )
    codes = (y == "rare").astype(float)
    assert abs(codes[val_rows].mean() - codes.mean()) < 0.002
    assert len(val_rows) == pytest.approx(0.1 * n, abs=2)
    assert len(np.intersect1d(train_rows, val_rows)) == 0
    assert len(train_rows) + len(val_rows) == n
    booster = vc.Booster(**core_keywords(n_estimators=5, seed=11))
    booster.fit(
        X[train_rows],
        codes[train_rows],
        X_val=X[val_rows],
        y_val=codes[val_rows],
        es_patience=20,
        es_tol=1e-7,
    )
    np.testing.assert_array_equal(first.validation_score_, booster.validation_losses())


def test_the_validation_split_takes_each_class_share_and_leaves_every_class_a_training_row(rng):
    for _ in range(200):
        k = int(rng.integers(1, 6))
        sizes = rng.integers(1, 40, size=k)
        target = rng.permutation(np.repeat(np.arange(k), sizes)).astype(float)
        n = len(target)
        fraction = (
            float(rng.uniform(0.01, 0.6)) if rng.random() < 0.7 else int(rng.integers(1, n + 1))
        )
        asked = int(np.ceil(fraction * n)) if isinstance(fraction, float) else fraction
        wanted = min(asked, n - k)
        if wanted < 1 or n - asked < 2:  # no validation rows, or a constant model
            with pytest.raises(ValueError, match=f"n_samples={n}"):
                validation_split(target, fraction, 0, stratify=True)
            continue
        train, val = validation_split(target, fraction, 3, stratify=True)
        assert len(val) == wanted and len(train) + len(val) == n
        assert len(np.union1d(train, val)) == n
        kept = np.bincount(target[train].astype(int), minlength=k)
        held = np.bincount(target[val].astype(int), minlength=k)
        assert kept.min() >= 1
        # Each class gives its share, up to the rounding (and the row it must keep).
        share = wanted * sizes / n
        assert np.all((held >= np.minimum(np.floor(share), sizes - 1)) & (held <= np.ceil(share)))
        again = validation_split(target, fraction, 3, stratify=True)
        np.testing.assert_array_equal(again[1], val)
    train, val = validation_split(np.arange(10.0) % 2, 0.1, 0, stratify=True)
    assert len(val) == 1  # rounded up, as scikit-learn's train_test_split does


def test_auto_early_stopping_stays_off_on_small_data_and_false_keeps_it_off():
    X, signal, _ = data(300)
    auto = {"n_estimators": 5, "early_stopping": "auto"}
    small = VorlentRegressor(**auto).fit(X, signal)
    assert small.best_iteration_ is None and not hasattr(small, "validation_score_")
    scored = VorlentRegressor(**auto).fit(X, signal, eval_set=(X[:50], signal[:50]))
    assert scored.best_iteration_ is None and len(scored.validation_score_) == 5
    forced = VorlentRegressor(n_estimators=5, early_stopping=True, random_state=0).fit(X, signal)
    assert len(forced.validation_score_) == 5
    # Early stopping is on by default, whatever the number of rows.
    default = VorlentRegressor(n_estimators=5, random_state=0).fit(X, signal)
    np.testing.assert_array_equal(default.validation_score_, forced.validation_score_)
    with pytest.raises(ValueError, match="no validation rows out of n_samples=1"):
        VorlentRegressor(early_stopping=True).fit(X[:1], signal[:1])


def test_parameters_changed_during_a_fit_change_neither_it_nor_its_record(tmp_path):
    X, signal, _ = data(400)
    params = dict(n_estimators=8, max_depth=5, random_state=0, early_stopping=False)
    model = VorlentRegressor(**params)

    def meddle(info):
        model.set_params(max_depth=2, learning_rate=0.5)

    model.fit(X, signal, callbacks=[meddle])
    reference = VorlentRegressor(**params).fit(X, signal)
    assert model.booster_.serialize() == reference.booster_.serialize()
    model.save_model(tmp_path / "m.vrl")
    loaded = vorlent.load_model(tmp_path / "m.vrl")
    assert (loaded.max_depth, loaded.learning_rate) == (5, 0.1)
    # The trees were grown with the parameters of the call: more of them may not mix others in.
    with pytest.raises(ValueError, match="learning_rate, max_depth"):
        model.set_params(warm_start=True, n_estimators=12).fit(X, signal)


def test_predictions_while_another_thread_refits_come_from_one_whole_model():
    X, signal, _ = data(300)
    labels = [signal > 0, np.digitize(signal, [-0.5, 0.5]).astype(str)]  # 2 and 3 classes
    model = VorlentClassifier(n_estimators=3, max_depth=2, random_state=0, early_stopping=False)
    expected = [model.fit(X, y).predict(X[:40]) for y in labels]
    done = threading.Event()

    def refit():
        for k in itertools.count():
            if done.is_set():
                return
            model.fit(X, labels[k % 2])

    refitter = threading.Thread(target=refit)
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # the threads take turns as often as they can
    refitter.start()
    seen = set()
    try:
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            got = model.predict(X[:40])
            seen.update(k for k in (0, 1) if np.array_equal(got, expected[k]))
            assert any(np.array_equal(got, e) for e in expected), got
    finally:
        sys.setswitchinterval(switch)
        done.set()
        refitter.join()
    assert seen == {0, 1}


# --- labels ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "labels",
    [
        np.array(["no", "yes"]),
        np.array([False, True]),
        np.array([1, 2]),
        np.array([-7, 3, 100]),
        np.array(["b", "a", "c", "d"], dtype=object),
        np.array([1.0, 3.0, 7.0]),
    ],
)
def test_labels_are_encoded_in_sorted_order_and_decoded_by_predict(labels):
    X, signal, _rng = data(500)
    k = len(labels)
    # Unequal class sizes: the core's softmax trees do not split when an even number (4 or
    # more) of classes are exactly equally frequent.
    codes = np.digitize(signal, np.quantile(signal, np.linspace(0, 1, k + 1)[1:-1] ** 1.3))
    y = labels[codes]
    model = VorlentClassifier(n_estimators=15, random_state=0).fit(X, y)
    np.testing.assert_array_equal(model.classes_, np.sort(labels))
    assert model.n_classes_ == k
    proba = model.predict_proba(X)
    assert proba.shape == (500, k)  # no phantom class for labels that do not start at 0
    predicted = model.predict(X)
    assert predicted.dtype == model.classes_.dtype
    np.testing.assert_array_equal(predicted, model.classes_[proba.argmax(axis=1)])
    assert np.mean(predicted == y) > 0.8
    # The same model as training on the codes of the sorted labels.
    coded = VorlentClassifier(n_estimators=15, random_state=0).fit(
        X, np.searchsorted(np.sort(labels), y)
    )
    np.testing.assert_array_equal(coded.predict_proba(X), proba)
    assert model.decision_function(X).shape == ((500,) if k == 2 else (500, k))


def test_pandas_categorical_labels_keep_their_values():
    X, signal, _ = data(400)
    y = pd.Series(pd.Categorical(np.where(signal > 0, "late", "on time")))
    model = VorlentClassifier(n_estimators=10).fit(X, y)
    assert model.classes_.tolist() == ["late", "on time"]
    assert set(model.predict(X)) == {"late", "on time"}
    assert model.score(X, y) > 0.8


def test_bad_targets_for_a_classifier():
    X, signal, _ = data(100)
    with pytest.raises(ValueError, match="Unknown label type: continuous"):
        VorlentClassifier().fit(X, signal)
    with pytest.raises(ValueError, match="only one class"):
        VorlentClassifier().fit(X, np.full(100, "a"))
    y = np.where(signal > 0, 1.0, 0.0)
    y[5] = np.nan
    with pytest.raises(ValueError, match="nan at row 5"):
        VorlentClassifier().fit(X, y)
    y[5] = -np.inf
    with pytest.raises(ValueError, match="-inf at row 5"):
        VorlentClassifier().fit(X, y)
    with pytest.raises(ValueError, match="missing label at row 1"):
        VorlentClassifier().fit(X[:3], np.array(["a", None, "b"], dtype=object))
    model = VorlentClassifier(n_estimators=3).fit(X, signal > 0)
    with pytest.raises(ValueError, match="not seen in fit"):
        VorlentClassifier(n_estimators=3).fit(X, signal > 0, eval_set=(X, np.full(100, 3)))
    assert not hasattr(VorlentRegressor(), "predict_proba")
    assert hasattr(model, "predict_proba")


def test_class_weight_is_a_sample_weight_per_class():
    X, signal, rng = data(400)
    y = np.where(signal > 1, "rare", "common")
    w = rng.uniform(0.5, 2, size=400)
    counts = {c: np.sum(y == c) for c in ("common", "rare")}
    balanced = np.array([400 / (2 * counts[c]) for c in y])
    kwargs = {"n_estimators": 10, "random_state": 0}
    for class_weight, factors in (
        ("balanced", balanced),
        ({"rare": 5.0}, np.where(y == "rare", 5.0, 1.0)),
    ):
        weighted = VorlentClassifier(class_weight=class_weight, **kwargs).fit(X, y, w)
        by_rows = VorlentClassifier(**kwargs).fit(X, y, w * factors)
        np.testing.assert_array_equal(weighted.predict_proba(X), by_rows.predict_proba(X))
    with pytest.raises(ValueError, match="'other'"):
        VorlentClassifier(class_weight={"other": 2.0}).fit(X, y)


# --- parameters --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("n_estimators", 0, ValueError),
        ("n_estimators", 2.5, TypeError),
        # The core counts in 32 bits.
        ("n_estimators", 2**31, ValueError),
        ("min_samples_split", 2**31, ValueError),
        ("max_pair_columns", 2**31, ValueError),
        ("n_iter_no_change", 2**31, ValueError),
        ("learning_rate", -0.1, ValueError),
        ("max_depth", 0, ValueError),
        ("max_bins", 70_000, ValueError),
        ("subsample", 1.5, ValueError),
        ("colsample", 0.0, ValueError),
        ("random_state", -1, ValueError),
        ("random_state", "seed", TypeError),
        ("split_mode", "diagonal", ValueError),
        ("early_stopping", "sometimes", ValueError),
        ("validation_fraction", 1.0, ValueError),
        # Fewer than 2 of the 100 rows left to train on: a constant model.
        ("validation_fraction", 0.999, ValueError),
        ("validation_fraction", 100, ValueError),
        ("verbose", -1, ValueError),
        ("n_jobs", 1.5, TypeError),
        ("n_jobs", 2000, ValueError),
        ("warm_start", "yes", TypeError),
        ("monotonic_cst", [1, 0], ValueError),
        ("monotonic_cst", [2, 0, 0, 0, 0], ValueError),
        ("monotonic_cst", {"nope": 1}, ValueError),
    ],
)
def test_bad_parameters_are_refused_at_fit_and_leave_a_fitted_model_as_it_was(name, value, error):
    X, signal, _ = data(200)
    model = VorlentRegressor(n_estimators=5, random_state=0).fit(X, signal)
    before = model.predict(X)
    model.set_params(**{name: value})  # never checked here, as scikit-learn requires
    with pytest.raises(error, match=name):
        model.fit(X[:100], signal[:100])
    np.testing.assert_array_equal(model.predict(X), before)


def test_regressor_only_parameters():
    X, signal, _ = data(100)
    for params, error in (
        ({"loss": "absolute"}, ValueError),
        ({"quantile": 1.5}, ValueError),
        ({"clip_to_target_range": 1}, TypeError),
    ):
        with pytest.raises(error, match=next(iter(params))):
            VorlentRegressor(**params).fit(X, signal)
    with pytest.raises(ValueError, match="class_weight"):
        VorlentClassifier(class_weight="even").fit(X, signal > 0)
    with pytest.raises(ValueError, match="max_lineage"):
        VorlentClassifier(max_lineage=1).fit(X, np.digitize(signal, [-1, 1]))


def test_monotonic_constraints_by_name_hold_on_a_grid():
    X, _signal, _rng = data(800)
    frame = pd.DataFrame(X, columns=list("abcde"))
    y = np.sin(3 * np.nan_to_num(X[:, 0])) + np.nan_to_num(X[:, 1])  # not monotone in a
    kw = {"n_estimators": 30, "random_state": 0}
    by_name = VorlentRegressor(**kw, monotonic_cst={"a": 1, "b": -1}).fit(frame, y)
    by_list = VorlentRegressor(**kw, monotonic_cst=[1, -1, 0, 0, 0]).fit(frame, y)
    np.testing.assert_array_equal(by_name.predict(frame), by_list.predict(frame))
    grid = np.repeat(np.nan_to_num(X[:50]), 41, axis=0)
    grid[:, 0] = np.tile(np.linspace(-3, 3, 41), 50)
    rising = by_name.predict(pd.DataFrame(grid, columns=list("abcde"))).reshape(50, 41)
    assert np.all(np.diff(rising, axis=1) >= -1e-12)
    with pytest.raises(ValueError, match="'c'"):
        cat = frame.assign(c=pd.Categorical(np.where(X[:, 2] > 0, "x", "y")))
        VorlentRegressor(monotonic_cst={"c": 1}).fit(cat, y)


def test_a_random_state_instance_or_none_draws_the_seed():
    X, signal, _ = data(300)
    kw = {"n_estimators": 8, "subsample": 0.5}
    a = VorlentRegressor(random_state=np.random.RandomState(3), **kw).fit(X, signal)
    b = VorlentRegressor(random_state=np.random.RandomState(3), **kw).fit(X, signal)
    np.testing.assert_array_equal(a.predict(X), b.predict(X))
    np.random.seed(5)
    c = VorlentRegressor(**kw).fit(X, signal)
    np.random.seed(5)
    d = VorlentRegressor(**kw).fit(X, signal)
    np.testing.assert_array_equal(c.predict(X), d.predict(X))


# --- fitted attributes, frames, explanation, logging ------------------------------------------


def test_frames_give_feature_names_categories_and_a_named_explanation():
    X, signal, rng = data(600)
    frame = pd.DataFrame(X[:, :3], columns=["x0", "x1", "x2"])
    frame["carrier"] = rng.choice(["AA", "B6", "UA"], size=600)
    y = signal + (frame["carrier"] == "B6") * 2
    model = VorlentRegressor(n_estimators=20, random_state=0).fit(frame, y)
    np.testing.assert_array_equal(model.feature_names_in_, ["x0", "x1", "x2", "carrier"])
    assert model.booster_ is not None and model.n_features_in_ == 4
    importances = model.feature_importances_
    assert importances.sum() == pytest.approx(1.0) and importances[3] > 0
    # Reordered columns are put back in order.
    np.testing.assert_array_equal(model.predict(frame[frame.columns[::-1]]), model.predict(frame))
    contributions = model.explain(frame.iloc[:10])
    assert list(contributions.columns) == ["x0", "x1", "x2", "carrier"]
    assert list(contributions.index) == list(range(10))
    np.testing.assert_array_equal(
        contributions.to_numpy(), model.booster_.explain(model._predict_input(frame.iloc[:10]))
    )
    with pytest.raises(ValueError, match="carrier"):
        model.predict(frame.drop(columns="carrier"))
    with (
        pytest.warns(UserWarning, match="X does not have valid feature names"),
        pytest.raises(ValueError, match="X has 3 features, but VorlentRegressor is expecting 4"),
    ):
        model.predict(X[:, :3])


def test_predict_before_fit_raises_not_fitted_error():
    from vorlent._compat import NotFittedError

    X = np.zeros((3, 2))
    for model, methods in (
        (
            VorlentClassifier(),
            (
                "predict",
                "predict_proba",
                "decision_function",
                "predict_raw",
                "explain",
                "save_model",
            ),
        ),
        (VorlentRegressor(), ("predict", "predict_raw", "explain", "save_model")),
    ):
        for method in methods:
            with pytest.raises(NotFittedError):
                getattr(model, method)(X)
        assert not hasattr(model, "feature_importances_")


def test_verbose_logs_rows_trees_best_iteration_and_time(caplog):
    X, signal, _ = data(300)
    with caplog.at_level(logging.INFO, logger="vorlent"):
        VorlentRegressor(n_estimators=6, verbose=1, early_stopping=True, random_state=0).fit(
            X, signal
        )
        quiet = len(caplog.records)
        VorlentRegressor(n_estimators=6).fit(X, signal)
    # One line per round (verbose=1), then the summary.
    assert quiet == 7 and len(caplog.records) == 7
    assert caplog.records[0].getMessage().startswith("round 0: validation squared_error ")
    message = caplog.records[-1].getMessage()
    assert "270 rows x 5 features (30 validation rows)" in message
    assert "6 trees, best iteration 5" in message and message.endswith(" s")


def test_n_jobs_does_not_change_the_model():
    X, signal, _ = data(3000)
    models = [
        VorlentClassifier(n_estimators=10, n_jobs=n, random_state=0).fit(X, signal > 0)
        for n in (1, 2, -1, None)
    ]
    for other in models[1:]:
        assert other.booster_.serialize() == models[0].booster_.serialize()
    assert [m._core_keywords["n_threads"] for m in models] == [1, 2, os.cpu_count(), 0]


def test_help_and_exports():
    assert vorlent.__all__ == [
        "RoundInfo",
        "VorlentClassifier",
        "VorlentRegressor",
        "__version__",
        "load_model",
    ]
    import importlib

    assert importlib.import_module("vorlent._core") is vc
    for obj in (
        VorlentClassifier,
        VorlentRegressor,
        vorlent.load_model,
        VorlentClassifier.fit,
        VorlentClassifier.predict_proba,
        VorlentRegressor.predict,
        VorlentClassifier.explain,
        VorlentClassifier.save_model,
    ):
        assert "Examples" in obj.__doc__, obj


@pytest.mark.parametrize(
    "module",
    [
        "vorlent",
        "vorlent._base",
        "vorlent._classifier",
        "vorlent._regressor",
        "vorlent._load",
        "vorlent._replace",
        "vorlent._eval_sets",
    ],
)
def test_docstring_examples_run(module):
    import doctest
    import importlib

    result = doctest.testmod(importlib.import_module(module))
    assert result.attempted > 0 and result.failed == 0


def test_polars_and_arrow_frames_fit_predict_and_explain_by_name():
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    X, signal, rng = data(400)
    columns = {f"f{j}": X[:, j] for j in range(5)}
    carrier = rng.choice(["AA", "B6", "UA"], size=400)
    y = np.where(signal + (carrier == "B6") > 0, "late", "on time")
    frame = pd.DataFrame({**columns, "carrier": carrier})
    reference = VorlentClassifier(n_estimators=10, random_state=0).fit(frame, y)
    for other in (pl.from_pandas(frame), pa.Table.from_pandas(frame)):
        model = VorlentClassifier(n_estimators=10, random_state=0).fit(other, y)
        np.testing.assert_array_equal(model.feature_names_in_, reference.feature_names_in_)
        np.testing.assert_array_equal(model.predict_proba(other), reference.predict_proba(frame))
    polars_frame = pl.from_pandas(frame)
    contributions = model.explain(polars_frame.head(4))
    assert isinstance(contributions, pl.DataFrame)
    assert contributions.columns == list(frame.columns)
    np.testing.assert_array_equal(contributions.to_numpy(), reference.explain(frame.head(4)))


def test_the_estimators_and_scikit_learn_are_imported_on_first_use():
    import subprocess
    import sys

    code = (
        "import sys, vorlent; assert 'sklearn' not in sys.modules;"
        "from vorlent import VorlentRegressor; assert 'sklearn' in sys.modules;"
        "assert vorlent.VorlentRegressor is VorlentRegressor"
    )
    done = subprocess.run([sys.executable, "-c", code], check=False, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
