"""exact_sums: the keyword, its refusals, and that such a model depends on the multiset of
training rows alone (not on their order), while fitting about as well as the default."""

import pickle

import numpy as np
import pytest
import vorlent
from vorlent_core import Booster


def table(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 6))
    X[rng.random((n, 6)) < 0.05] = np.nan
    X[:, 5] = rng.integers(0, 5, n)
    score = np.nan_to_num(X[:, 0]) - np.nan_to_num(X[:, 1]) * 0.7 + (X[:, 5] == 2)
    return X, score + rng.normal(scale=0.5, size=n)


def test_the_core_keyword_round_trips_and_is_off_by_default():
    assert Booster().__getstate__()[0]["exact_sums"] is False
    b = Booster(n_estimators=3, split_mode=1, exact_sums=True)
    assert "exact_sums=True" in repr(b)
    X, y = table(n=500)
    b.fit(X, (y > 0).astype(float))
    twin = pickle.loads(pickle.dumps(b))
    assert twin.__getstate__()[0]["exact_sums"] is True
    twin.fit(X, (y > 0).astype(float))
    assert twin.serialize() == b.serialize()


def test_the_estimators_check_and_pass_exact_sums():
    X, y = table(n=600)
    with pytest.raises(TypeError, match="exact_sums"):
        vorlent.VorlentRegressor(exact_sums="yes", n_estimators=2).fit(X, y)
    for builder in ({"split_mode": "oblique"}, {"max_lineage": 1}):
        model = vorlent.VorlentRegressor(exact_sums=True, n_estimators=2, **builder).fit(X, y)
        assert model.booster_.__getstate__()[0]["exact_sums"] is True
    assert vorlent.VorlentClassifier().get_params()["exact_sums"] is False


@pytest.mark.parametrize(
    "keywords",
    [
        {"objective": 0},
        {"objective": 1, "loss": 1},
        {"objective": 1, "loss": 2, "colsample": 0.5},
        {"objective": 2},
        {"objective": 0, "split_mode": 0, "max_pair_columns": 3},
        {"objective": 1, "split_mode": 2, "colsample": 0.7, "best_of_kinds": True},
        {"objective": 2, "split_mode": 0, "categorical": [0, 0, 0, 0, 0, 1]},
    ],
)
def test_a_permutation_of_the_rows_gives_the_same_model_bytes(keywords):
    X, y = table(seed=1)
    if keywords["objective"] == 0:
        y = (y > 0).astype(float)
    elif keywords["objective"] == 2:
        y = np.digitize(y, [-0.5, 0.8]).astype(float)
    order = np.random.default_rng(2).permutation(len(y))

    keywords = {"split_mode": 1, **keywords}

    def train(X, y, threads=2):
        b = Booster(n_estimators=15, exact_sums=True, n_threads=threads, **keywords)
        b.fit(X, y)
        return b.serialize()

    assert train(X[order], y[order]) == train(X, y)
    if keywords["split_mode"] != 1:
        assert train(X[order], y[order], threads=1) == train(X, y)
        return
    plain = Booster(n_estimators=15, **{**keywords, "colsample": 1.0})
    plain.fit(X, y)
    plain_shuffled = Booster(n_estimators=15, **{**keywords, "colsample": 1.0})
    plain_shuffled.fit(X[order], y[order])
    # The default builder's float sums depend on the order (which is what exact_sums is for).
    if keywords["objective"] != 1 or keywords.get("loss") != 2:
        assert plain.serialize() != plain_shuffled.serialize()


def test_exact_models_fit_a_real_table_about_as_well_as_the_default():
    datasets = pytest.importorskip("sklearn.datasets")
    model_selection = pytest.importorskip("sklearn.model_selection")
    X, y = datasets.load_breast_cancer(return_X_y=True)
    X_train, X_test, y_train, y_test = model_selection.train_test_split(
        X, y, test_size=0.3, random_state=0, stratify=y
    )
    scores = {}
    for exact in (False, True):
        model = vorlent.VorlentClassifier(
            split_mode="axis",
            exact_sums=exact,
            n_estimators=150,
            early_stopping=False,
            subsample=0.8,
            random_state=0,
        )
        scores[exact] = model.fit(X_train, y_train).score(X_test, y_test)
    assert scores[True] > 0.93
    assert abs(scores[True] - scores[False]) <= 0.03


@pytest.mark.parametrize("task", ["classification", "regression"])
def test_exact_oblique_models_fit_real_tables_within_the_seed_spread(task):
    """exact_sums with the capped oblique search against the default oblique search: the
    exact models' mean test loss over a few seeds lies within the default's mean plus the
    spread of the default's losses from seed to seed."""
    datasets = pytest.importorskip("sklearn.datasets")
    model_selection = pytest.importorskip("sklearn.model_selection")
    metrics = pytest.importorskip("sklearn.metrics")
    if task == "classification":
        X, y = datasets.load_breast_cancer(return_X_y=True)
        Model, loss = vorlent.VorlentClassifier, metrics.log_loss
    else:
        X, y = datasets.load_diabetes(return_X_y=True)
        Model, loss = vorlent.VorlentRegressor, metrics.mean_squared_error
    X_train, X_test, y_train, y_test = model_selection.train_test_split(
        X, y, test_size=0.3, random_state=0
    )
    losses = {}
    for exact in (False, True):
        losses[exact] = []
        for seed in range(4):
            model = Model(
                split_mode="oblique",
                exact_sums=exact,
                n_estimators=60,
                learning_rate=0.1,
                max_depth=4,
                early_stopping=False,
                subsample=0.8,
                colsample=0.8,
                random_state=seed,
            ).fit(X_train, y_train)
            if task == "classification":
                predicted = model.predict_proba(X_test)
            else:
                predicted = model.predict(X_test)
            losses[exact].append(loss(y_test, predicted))
    default, exact = np.array(losses[False]), np.array(losses[True])
    spread = default.max() - default.min()
    assert exact.mean() <= default.mean() + max(spread, 0.02 * default.mean())


@pytest.mark.parametrize(
    "keywords",
    [
        {"objective": 0, "max_lineage": 1},
        {"objective": 1, "loss": 1, "max_lineage": 2, "learn_missing": True},
        {"objective": 1, "loss": 2, "max_lineage": 1, "colsample": 0.5, "max_pair_columns": 3},
    ],
)
def test_exact_lineage_models_depend_on_the_rows_not_their_order(keywords):
    # (A row's bag draw is keyed by its index, so a permutation keeps the bag only in full.)
    X, y = table(n=1500, seed=3)
    if keywords["objective"] == 0:
        y = (y > 0).astype(float)
    order = np.random.default_rng(4).permutation(len(y))

    def train(X, y, threads):
        b = Booster(n_estimators=8, max_depth=4, exact_sums=True, n_threads=threads, **keywords)
        b.fit(X, y)
        return b.serialize()

    one = train(X, y, 1)
    assert train(X[order], y[order], 2) == one
    assert train(X[order[::-1]], y[order[::-1]], 1) == one


def test_exact_lineage_fits_a_real_table_about_as_well_as_the_default_lineage_builder():
    datasets = pytest.importorskip("sklearn.datasets")
    model_selection = pytest.importorskip("sklearn.model_selection")
    X, y = datasets.load_breast_cancer(return_X_y=True)
    losses = {False: [], True: []}
    for seed in range(4):
        X_train, X_test, y_train, y_test = model_selection.train_test_split(
            X, y, test_size=0.3, random_state=seed, stratify=y
        )
        for exact in (False, True):
            model = vorlent.VorlentClassifier(
                max_lineage=1,
                exact_sums=exact,
                n_estimators=80,
                early_stopping=False,
                subsample=0.8,
                random_state=seed,
            )
            p = model.fit(X_train, y_train).predict_proba(X_test)[:, 1]
            p = np.clip(p, 1e-12, 1 - 1e-12)
            losses[exact].append(-np.mean(y_test * np.log(p) + (1 - y_test) * np.log(1 - p)))
    plain = np.array(losses[False])
    spread = plain.max() - plain.min()
    # The exact builder's mean loss is no worse than the default builder's seed-to-seed spread.
    assert np.mean(losses[True]) <= plain.max() + spread
