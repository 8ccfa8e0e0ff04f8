"""Committed models (tests/data/golden, written by tests/data/make_golden.py) must keep
loading and answering exactly as they did when they were trained."""

import pathlib
import sys

import numpy as np
import pytest
from model_craft import unpack
from vorlent_core import Booster

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
sys.path.insert(0, str(DATA))

from make_golden import GOLDEN, LEGACY, LEGACY_GENERATIONS, MODELS, REQUIRED_KINDS, split_kinds

IMPORTANCES = ("feature_importances", "coefficient_importances", "interaction_importances")


# Every committed model: the current ones and those of every earlier generation.
COMMITTED = [(GOLDEN, name) for name in sorted(MODELS)] + [
    (LEGACY / generation, p.stem)
    for generation in LEGACY_GENERATIONS
    for p in sorted((LEGACY / generation).glob("*.model"))
]


def golden(name, folder=GOLDEN):
    data = (folder / f"{name}.model").read_bytes()
    with np.load(folder / f"{name}.npz") as stored:
        return data, {key: stored[key] for key in stored.files}


def receivers(stored_objective):
    """Boosters that share nothing with the stored model: defaults, every hyper-parameter
    changed, and one that already holds a model of another width with a best iteration."""
    yield "default", Booster()
    other = Booster(
        n_estimators=3,
        learning_rate=0.9,
        max_depth=1,
        max_bins=8,
        reg_lambda=5.0,
        min_samples=2,
        subsample=0.5,
        colsample=0.5,
        seed=7,
        objective=(stored_objective + 1) % 3,
        loss=2,
        alpha=0.1,
        clip=1,
        monotone=[1],
        categorical=[1, 1],
        max_lineage=3,
        split_mode=2,
    )
    yield "other settings", other
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 2))
    y = (X[:, 0] > 0).astype(float)
    fitted = Booster(n_estimators=20, max_depth=2)
    fitted.fit(X, y, X_val=X[:100], y_val=1.0 - y[:100], es_patience=2)
    assert fitted.best_iteration() >= 0
    yield "fitted", fitted


def assert_same_bits(got, want, what):
    assert got.dtype == want.dtype, what
    assert got.shape == want.shape, what
    assert got.tobytes() == want.tobytes(), what


def test_every_golden_model_is_committed():
    on_disk = {p.stem for p in GOLDEN.glob("*.model")}
    assert on_disk == set(MODELS)
    assert {p.stem for p in GOLDEN.glob("*.npz")} == set(MODELS)
    # Every generation is described, its files come in pairs too, and it holds every model.
    assert {p.name for p in LEGACY.iterdir()} == set(LEGACY_GENERATIONS)
    for generation in LEGACY_GENERATIONS:
        legacy = {p.stem for p in (LEGACY / generation).glob("*.model")}
        assert legacy == {p.stem for p in (LEGACY / generation).glob("*.npz")}
        assert legacy >= set(MODELS)
    # The current files store their interaction gains in the sparse block, not the table.
    for name in MODELS:
        assert unpack((GOLDEN / f"{name}.model").read_bytes()).interaction_gain == []


@pytest.mark.parametrize("folder,name", COMMITTED, ids=lambda v: getattr(v, "name", v))
def test_golden_model_loads_and_answers_bit_for_bit(folder, name):
    data, stored = golden(name, folder)
    model = unpack(data)
    # Bytes are written back as the writer stores them now: a dense interaction table of
    # an earlier generation becomes the interaction block, everything else is unchanged.
    written = model.sparse().pack()
    assert len(model.trees) == stored["n_trees"]
    assert REQUIRED_KINDS.get(name, set()) <= split_kinds(data)
    X = stored["X"]
    for label, b in receivers(model.objective):
        best_before = b.best_iteration()
        b.deserialize(data)
        what = f"{name} loaded into the {label} booster"
        assert b.serialize() == written, what
        assert b.n_trees() == stored["n_trees"], what
        assert b.best_iteration() == best_before, what
        assert_same_bits(b.predict_raw(X), stored["raw"], what + ": predict_raw")
        assert_same_bits(b.predict_proba(X), stored["proba"], what + ": predict_proba")
        assert_same_bits(b.explain(X), stored["explain"], what + ": explain")
        for method in IMPORTANCES:
            assert_same_bits(getattr(b, method)(), stored[method], f"{what}: {method}")


def test_golden_answers_are_not_trivial():
    # Guards against regenerating files whose answers would pass for any model.
    for folder, name in COMMITTED:
        _, stored = golden(name, folder)
        assert len(np.unique(stored["raw"])) > 3, name
        if name != "multiclass" and name != "lineage":
            assert np.any(stored["explain"] != 0.0), name
        assert np.isnan(stored["X"]).any(), name
    _, clipped = golden("regression_clip")
    assert np.any(np.abs(clipped["raw"]) == 1.0)
