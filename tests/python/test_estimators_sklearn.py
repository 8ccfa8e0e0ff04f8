"""The estimators inside scikit-learn's machinery (clone, pipelines, column transformers,
cross-validation, searches in parallel worker processes), and without scikit-learn."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from vorlent import VorlentClassifier, VorlentRegressor

sklearn = pytest.importorskip("sklearn")
pd = pytest.importorskip("pandas")

from sklearn.base import clone
from sklearn.compose import ColumnTransformer
from sklearn.model_selection import GridSearchCV, StratifiedKFold, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler


def task(n=400, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    y = np.where(X[:, 0] - X[:, 1] + 0.3 * rng.normal(size=n) > 0, "up", "down")
    return X, y


def test_clone_keeps_parameters_and_drops_the_fit():
    X, y = task()
    model = VorlentClassifier(
        n_estimators=7, class_weight={"up": 2.0}, split_mode="axis", early_stopping=False
    )
    model.fit(X, y)
    twin = clone(model)
    assert twin.get_params() == model.get_params()
    assert not hasattr(twin, "booster_") and not hasattr(twin, "classes_")
    twin.fit(X, y)
    np.testing.assert_array_equal(twin.predict_proba(X), model.predict_proba(X))


def test_pipeline_and_column_transformer_on_a_frame():
    X, y = task()
    frame = pd.DataFrame(X, columns=["a", "b", "c", "d"])
    frame["shop"] = np.random.default_rng(1).choice(["x", "y", "z"], size=len(frame))
    pipeline = make_pipeline(
        ColumnTransformer(
            [
                ("scale", StandardScaler(), ["a", "b", "c", "d"]),
                ("onehot", OneHotEncoder(sparse_output=False), ["shop"]),
            ]
        ),
        VorlentClassifier(n_estimators=10, random_state=0),
    )
    pipeline.fit(frame, y)
    assert pipeline.score(frame, y) > 0.85
    direct = VorlentClassifier(n_estimators=10, random_state=0).fit(pipeline[0].transform(frame), y)
    np.testing.assert_array_equal(
        pipeline.predict_proba(frame), direct.predict_proba(pipeline[0].transform(frame))
    )


def test_cross_val_score_matches_fitting_each_fold_by_hand():
    X, y = task()
    model = VorlentClassifier(n_estimators=10, random_state=0)
    folds = StratifiedKFold(3, shuffle=True, random_state=0)
    scores = cross_val_score(model, X, y, cv=folds)
    by_hand = [
        clone(model).fit(X[train], y[train]).score(X[test], y[test])
        for train, test in folds.split(X, y)
    ]
    np.testing.assert_allclose(scores, by_hand)
    assert scores.min() > 0.8
    regression = cross_val_score(VorlentRegressor(n_estimators=20), X, X[:, 0] * 2, cv=3)
    assert regression.min() > 0.8  # R², scikit-learn's default score for a regressor


def test_grid_search_in_parallel_worker_processes_matches_the_serial_search():
    joblib = pytest.importorskip("joblib")
    X, y = task()
    grid = {"max_depth": [2, 3], "learning_rate": [0.1, 0.3]}
    model = VorlentClassifier(n_estimators=8, random_state=0, n_jobs=1)
    serial = GridSearchCV(model, grid, cv=3, n_jobs=1).fit(X, y)
    with joblib.parallel_backend("loky", n_jobs=2):
        parallel = GridSearchCV(model, grid, cv=3).fit(X, y)
    np.testing.assert_array_equal(
        serial.cv_results_["mean_test_score"], parallel.cv_results_["mean_test_score"]
    )
    assert parallel.best_params_ == serial.best_params_
    np.testing.assert_array_equal(
        parallel.best_estimator_.predict_proba(X), serial.best_estimator_.predict_proba(X)
    )


def test_importing_and_using_vorlent_without_scikit_learn():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["sklearn"] = None  # any import of scikit-learn now fails
        import numpy as np
        import vorlent
        from vorlent._compat import HAVE_SKLEARN, NotFittedError
        assert not HAVE_SKLEARN
        rng = np.random.default_rng(0)
        X = rng.normal(size=(300, 3))
        model = vorlent.VorlentClassifier(n_estimators=5)
        try:
            model.predict(X)
        except NotFittedError as error:
            assert isinstance(error, ValueError) and isinstance(error, AttributeError)
        else:
            raise AssertionError("predict before fit did not raise")
        model.set_params(n_estimators=12, random_state=0)
        assert model.get_params()["n_estimators"] == 12
        assert repr(model) == "VorlentClassifier(n_estimators=12, random_state=0)"
        y = np.where(X[:, 0] > 0, "a", "b")
        model.fit(X, y)
        accuracy = model.score(X, y)
        assert accuracy == np.mean(model.predict(X) == y) > 0.9
        import pickle
        twin = pickle.loads(pickle.dumps(model))
        assert (twin.predict_proba(X) == model.predict_proba(X)).all()
        try:
            model.fit(X, X[:, 0])
        except ValueError as error:
            assert "continuous" in str(error)
        regressor = vorlent.VorlentRegressor(n_estimators=30).fit(X, X[:, 1])
        residual = X[:, 1] - regressor.predict(X)
        r2 = 1 - np.sum(residual**2) / np.sum((X[:, 1] - X[:, 1].mean()) ** 2)
        assert abs(regressor.score(X, X[:, 1]) - r2) < 1e-12
        print("ok")
        """
    )
    env = dict(os.environ)
    result = subprocess.run(
        [sys.executable, "-c", script],
        check=False,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_get_params_lists_every_documented_keyword():
    shared = {
        "n_estimators",
        "learning_rate",
        "max_depth",
        "max_bins",
        "reg_lambda",
        "min_samples_split",
        "subsample",
        "colsample",
        "random_state",
        "split_mode",
        "max_lineage",
        "max_pair_columns",
        "best_of_kinds",
        "learn_missing",
        "exact_sums",
        "monotonic_cst",
        "categorical_features",
        "early_stopping",
        "validation_fraction",
        "n_iter_no_change",
        "tol",
        "n_jobs",
        "verbose",
        "warm_start",
        "eval_metric",
    }
    assert set(VorlentClassifier().get_params()) == shared | {"class_weight"}
    assert set(VorlentRegressor().get_params()) == shared | {
        "loss",
        "quantile",
        "clip_to_target_range",
    }
    for name in shared | {"class_weight"}:
        assert f"{name} :" in VorlentClassifier.__doc__
    from sklearn.utils import get_tags

    for model in (VorlentClassifier(), VorlentRegressor()):
        tags = get_tags(model).input_tags
        assert tags.allow_nan and tags.categorical and not tags.sparse
