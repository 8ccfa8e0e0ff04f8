"""Per-round evaluation in the estimators: eval_metric, evals_result_, fit callbacks, verbose
logging and early stopping on a metric. Every built-in metric is checked against
scikit-learn on the model cut back to each recorded round."""

import logging
import pickle

import numpy as np
import pytest

import vorlent
from vorlent import VorlentClassifier, VorlentRegressor

metrics = pytest.importorskip("sklearn.metrics")
special = pytest.importorskip("scipy.special")


def data(n=600, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    signal = X[:, 0] - 0.7 * X[:, 1] + 0.5 * X[:, 2] * X[:, 3]
    return X, signal + rng.normal(scale=0.7, size=n), rng


def raw_after(model, round_, X):
    """The raw scores of ``model`` cut back to its first round_ + 1 trees."""
    from vorlent_core import Booster

    cut = Booster()
    cut.deserialize(model.booster_.serialize())
    cut.truncate(round_ + 1)
    return cut.predict_raw(X)


def sigmoid(raw):
    return special.expit(raw)


def softmax(raw):
    return special.softmax(raw, axis=1)


def pinball(q):
    return lambda y, raw, w: metrics.mean_pinball_loss(y, raw, alpha=q, sample_weight=w)


# Per task: the estimator, its targets from the signal, and each metric's reference.
CASES = {
    "binary": (
        VorlentClassifier,
        lambda s: (s > 0).astype(int),
        {
            "logloss": lambda y, raw, w: metrics.log_loss(y, sigmoid(raw), sample_weight=w),
            "error": lambda y, raw, w: 1 - metrics.accuracy_score(y, raw > 0, sample_weight=w),
            "auc": lambda y, raw, w: metrics.roc_auc_score(y, raw, sample_weight=w),
        },
    ),
    "multiclass": (
        VorlentClassifier,
        lambda s: np.digitize(s, [-0.7, 0.7]),
        {
            "mlogloss": lambda y, raw, w: metrics.log_loss(y, softmax(raw), sample_weight=w),
            "merror": lambda y, raw, w: (
                1 - metrics.accuracy_score(y, raw.argmax(axis=1), sample_weight=w)
            ),
        },
    ),
    "regression": (
        VorlentRegressor,
        lambda s: s,
        {
            "rmse": lambda y, raw, w: np.sqrt(metrics.mean_squared_error(y, raw, sample_weight=w)),
            "mae": lambda y, raw, w: metrics.mean_absolute_error(y, raw, sample_weight=w),
            "quantile": pinball(0.8),
        },
    ),
}


@pytest.mark.parametrize("task", CASES)
def test_recorded_metrics_match_scikit_learn(task):
    estimator, target, references = CASES[task]
    X, signal, rng = data()
    y = target(signal)
    weight = rng.uniform(0.5, 2.0, size=len(y))
    extra = {"quantile": 0.8, "loss": "quantile"} if task == "regression" else {}
    model = estimator(
        n_estimators=6, eval_metric=list(references), random_state=0, early_stopping=False, **extra
    ).fit(
        X[200:], y[200:], sample_weight=weight[200:], eval_set=(X[:200], y[:200]), eval_train=True
    )
    result = model.evals_result_
    assert list(result) == ["training", "validation"]
    for name, reference in references.items():
        for round_ in (0, 3, 5):
            val = reference(y[:200], raw_after(model, round_, X[:200]), None)
            train = reference(y[200:], raw_after(model, round_, X[200:]), weight[200:])
            assert result["validation"][name][round_] == pytest.approx(val, rel=1e-9, abs=1e-12)
            assert result["training"][name][round_] == pytest.approx(train, rel=1e-9, abs=1e-12)
        assert len(result["validation"][name]) == 6


def test_auc_counts_ties_like_scikit_learn():
    from vorlent._metrics import BINARY

    rng = np.random.default_rng(1)
    y = rng.integers(0, 2, size=300).astype(float)
    raw = np.round(rng.normal(size=300) + y, 1)  # many tied scores
    w = rng.uniform(0.1, 3, size=300)
    assert BINARY["auc"](y, raw, w, 0.5) == pytest.approx(
        metrics.roc_auc_score(y, raw, sample_weight=w), rel=1e-12
    )
    assert np.isnan(BINARY["auc"](np.ones(5), raw[:5], None, 0.5))


@pytest.mark.parametrize(
    ("estimator", "eval_metric", "extra"),
    [
        (VorlentRegressor, "quantile", {"loss": "quantile", "quantile": 0.3}),
        (VorlentRegressor, ["huber", "rmse"], {"loss": "huber", "quantile": 0.7}),
        (VorlentClassifier, "auc", {}),
        (VorlentClassifier, "merror", {}),
    ],
)
def test_early_stopping_on_a_metric_keeps_the_trees_up_to_its_best_round(
    estimator, eval_metric, extra
):
    X, signal, _ = data(n=900, seed=3)
    y = signal if estimator is VorlentRegressor else np.digitize(signal, [0.0])
    if eval_metric == "merror":
        y = np.digitize(signal, [-0.7, 0.7])
    params = dict(learning_rate=0.5, max_depth=5, random_state=0, **extra)
    model = estimator(
        n_estimators=200,
        early_stopping=True,
        n_iter_no_change=4,
        eval_metric=eval_metric,
        tol=1e-4,
        **params,
    ).fit(X[300:], y[300:], eval_set=(X[:300], y[:300]))
    first = eval_metric if isinstance(eval_metric, str) else eval_metric[0]
    values = np.array(model.evals_result_["validation"][first])
    sign = -1.0 if first == "auc" else 1.0
    # The best round by the stopping rule: strictly better by more than tol.
    best, best_round = np.inf, -1
    for i, v in enumerate(sign * values):
        if v < best - 1e-4:
            best, best_round = v, i
    assert len(values) == best_round + 5 < 200  # stopped after 4 rounds without improvement
    assert model.best_iteration_ == best_round and model.n_estimators_ == best_round + 1
    fresh = estimator(n_estimators=best_round + 1, early_stopping=False, **params).fit(
        X[300:], y[300:]
    )
    assert np.array_equal(model.predict_raw(X), fresh.predict_raw(X))
    assert len(model.validation_score_) == len(values)  # the core's own loss, every round


def test_callbacks_see_every_round_and_can_stop():
    X, signal, _ = data()
    seen = []

    def stop_after_4(info):
        seen.append(info)
        return info.iteration == 4

    model = VorlentRegressor(n_estimators=30, random_state=0, early_stopping=False).fit(
        X[100:],
        signal[100:],
        eval_set=(X[:100], signal[:100]),
        callbacks=[stop_after_4],
        eval_train=True,
    )
    assert [info.iteration for info in seen] == [0, 1, 2, 3, 4]
    assert isinstance(seen[0], vorlent.RoundInfo)
    assert model.n_estimators_ == 5 and model.best_iteration_ is None
    last = seen[-1].evals
    assert last["validation"]["squared_error"] == pytest.approx(
        model.evals_result_["validation"]["squared_error"][4], rel=1e-12
    )
    assert last["training"]["squared_error"] == model.evals_result_["training"]["squared_error"][4]
    fresh = VorlentRegressor(n_estimators=5, random_state=0, early_stopping=False).fit(
        X[100:], signal[100:]
    )
    assert fresh.booster_.serialize() == model.booster_.serialize()

    # A raising callback propagates and leaves the estimator as it was.
    def boom(info):
        raise ArithmeticError("from the callback")

    with pytest.raises(ArithmeticError):
        model.fit(X, signal, callbacks=[boom])
    assert model.n_estimators_ == 5
    for bad, error in (("abc", TypeError), ([1], TypeError), (boom, TypeError)):
        with pytest.raises(error, match="callbacks"):
            VorlentRegressor(n_estimators=2).fit(X, signal, callbacks=bad)


def test_default_models_are_unchanged_by_monitoring(caplog):
    X, signal, _ = data(n=800)
    y = signal > 0
    kwargs = {"n_estimators": 25, "random_state": 0, "early_stopping": True, "n_iter_no_change": 3}
    plain = VorlentClassifier(**kwargs).fit(X, y)
    with caplog.at_level(logging.INFO, logger="vorlent"):
        watched = VorlentClassifier(verbose=5, **kwargs).fit(X, y, callbacks=[lambda i: None])
    assert watched.booster_.serialize() == plain.booster_.serialize()
    assert (
        watched.evals_result_
        == plain.evals_result_
        == {"validation": {"log_loss": plain.validation_score_.tolist()}}
    )
    rounds = [r.getMessage() for r in caplog.records if r.getMessage().startswith("round")]
    expected = [i for i in range(len(plain.validation_score_)) if (i + 1) % 5 == 0]
    assert [int(m.split(":")[0].split()[1]) for m in rounds] == expected
    assert all("validation log_loss" in m for m in rounds)
    assert caplog.records[-1].getMessage().startswith("VorlentClassifier:")


def test_a_callable_metric_receives_probabilities():
    X, signal, _ = data()
    y = np.digitize(signal, [-0.7, 0.7])
    labels = np.array(["low", "mid", "high"])[y]

    def sk_log_loss(y_true, proba, sample_weight):
        assert proba.shape == (len(y_true), 3) and y_true.dtype.kind == "i"
        return metrics.log_loss(y_true, proba, labels=[0, 1, 2], sample_weight=sample_weight)

    model = VorlentClassifier(
        n_estimators=4, eval_metric=[sk_log_loss, "mlogloss"], early_stopping=False
    ).fit(X[100:], labels[100:], eval_set=(X[:100], labels[:100]))
    result = model.evals_result_["validation"]
    np.testing.assert_allclose(result["sk_log_loss"], result["mlogloss"], rtol=1e-9)
    # Saved and pickled: a callable is recorded by name only in the model file.
    assert model.get_params()["eval_metric"][0] is sk_log_loss
    clone = pickle.loads(pickle.dumps(VorlentClassifier(eval_metric="auc")))
    assert clone.eval_metric == "auc"


def test_bad_metrics_are_refused(tmp_path):
    X, signal, _ = data(n=200)
    cases = [
        (VorlentRegressor(eval_metric="auc"), ValueError, "not a regression metric"),
        (VorlentClassifier(eval_metric="rmse"), ValueError, "not a binary metric"),
        (VorlentClassifier(eval_metric=["auc", "auc"]), ValueError, "twice"),
        (VorlentRegressor(eval_metric=[]), ValueError, "at least one"),
        (VorlentRegressor(eval_metric=3), TypeError, "eval_metric"),
        (VorlentRegressor(eval_metric=["mae", 2.0]), TypeError, "eval_metric"),
    ]
    for model, error, message in cases:
        target = signal if isinstance(model, VorlentRegressor) else signal > 0
        with pytest.raises(error, match=message):
            model.fit(X, target)

    def worst(y_true, y_pred, sample_weight):
        return float(np.max(np.abs(y_true - y_pred)))

    model = VorlentRegressor(n_estimators=3, eval_metric=["mae", worst]).fit(
        X, signal, eval_set=(X, signal)
    )
    assert model.evals_result_["validation"]["worst"][-1] == worst(signal, model.predict(X), None)
    model.save_model(tmp_path / "m.vrl")
    assert vorlent.load_model(tmp_path / "m.vrl").eval_metric == ["mae"]


def test_warm_start_callbacks_count_on_from_the_trees_so_far():
    X, signal, _ = data()
    model = VorlentRegressor(n_estimators=3, warm_start=True, early_stopping=False).fit(X, signal)
    seen = []

    def stop_at_5(info):
        seen.append(info)
        return info.iteration == 5

    model.set_params(n_estimators=9)
    model.fit(X, signal, callbacks=[stop_at_5], eval_train=True)
    assert [info.iteration for info in seen] == [3, 4, 5] and model.n_estimators_ == 6
    mse = np.mean((model.predict(X) - signal) ** 2)
    assert seen[-1].evals["training"]["squared_error"] == pytest.approx(mse, rel=1e-12)


@pytest.mark.parametrize("task", CASES)
def test_exact_sums_metrics_do_not_depend_on_the_validation_rows_order(task):
    """With exact_sums, permuting the validation rows changes neither the recorded metrics
    nor the early-stopping round nor the model bytes; each metric is a mean of per-row
    values, exactly rounded (auc: the rows read in an order fixed by their values)."""
    from vorlent import _metrics

    Estimator, target, references = CASES[task]
    X, signal, rng = data(n=900, seed=21)
    y = target(signal)
    # Long fractions make float sums of these values depend on their order.
    X_val, y_val = X[600:] * (1 + 1e-9 * np.pi), y[600:]
    names = list(references) + (["huber"] if task == "regression" else [])
    params = {
        "n_estimators": 40,
        "learning_rate": 0.4,
        "max_depth": 3,
        "split_mode": "axis",
        "exact_sums": True,
        "early_stopping": True,
        "n_iter_no_change": 4,
        "tol": 0.0,
        "eval_metric": names,
    }
    fits = []
    for order in (np.arange(300), rng.permutation(300), rng.permutation(300)[::-1]):
        model = Estimator(**params).fit(X[:600], y[:600], eval_set=(X_val[order], y_val[order]))
        fits.append((model.booster_.serialize(), model.evals_result_, model.best_iteration_))
    assert fits[1] == fits[0] and fits[2] == fits[0]
    # The same rows in another order score the same, weighted too, in every metric.
    metric_set = {m.name: m for m in _metrics.resolve(names, task, lambda raw: raw)}
    raw = model.booster_.predict_raw(X_val)
    raw = raw if raw.ndim == 1 or raw.shape[1] > 1 else raw[:, 0]
    w = rng.uniform(0.1, 3.0, 300) / 3
    codes = np.asarray(model._encode_target(y_val, getattr(model, "classes_", None))[0])
    for name, metric in metric_set.items():
        values = {
            metric.compute(codes[o], raw[o], w[o], 0.8, True)
            for o in (np.arange(300), rng.permutation(300), rng.permutation(300))
        }
        assert len(values) == 1, name


@pytest.mark.parametrize("loss", ["quantile", "huber"])
def test_early_stopping_watches_the_loss_trained_by_default(loss, tmp_path):
    """A quantile or Huber model stops where its own loss stalls, not the squared error:
    by default it is the model that names its loss in eval_metric, and validation_score_
    and evals_result_ hold that loss."""
    rng = np.random.default_rng(7)
    X = rng.normal(size=(1500, 3))
    # Noise that grows with |x1|: the squared error stops long before the upper quantile.
    y = X[:, 0] + rng.normal(size=1500) * (0.2 + 2 * np.abs(X[:, 1]))
    params = dict(loss=loss, quantile=0.9, n_estimators=300, random_state=0, learning_rate=0.3)
    default = VorlentRegressor(**params).fit(X, y)
    named = VorlentRegressor(eval_metric=loss, **params).fit(X, y)
    assert default.booster_.serialize() == named.booster_.serialize()
    assert default.best_iteration_ == named.best_iteration_
    values = named.evals_result_["validation"][loss]
    assert default.evals_result_ == {"validation": {loss: values}}
    np.testing.assert_array_equal(default.validation_score_, values)
    default.save_model(tmp_path / "m.vrl")
    assert vorlent.load_model(tmp_path / "m.vrl").evals_result_ == default.evals_result_
    if loss == "quantile":
        # The upper quantile keeps improving long after the squared error has stalled.
        squared = VorlentRegressor(eval_metric="rmse", **params).fit(X, y)
        assert squared.n_estimators_ < default.n_estimators_
