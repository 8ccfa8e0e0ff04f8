"""serialize / deserialize: the byte layout, hand-crafted models, and refusal of bad bytes."""

import math
import re
import struct

import numpy as np
import pytest
from helpers import TRAINED_KINDS, kind_id, trained_model
from model_craft import (
    Model,
    axis,
    every_kind_model,
    leaf,
    lineage_model,
    multiclass_model,
    unpack,
)
from vorlent_core import Booster

EMPTY_MODEL = bytes.fromhex("00" * 8 + "b81e85eb51b8be3f" + "00" * 24 + "01000000" + "00" * 24)

NAN = math.nan

# Rows of three columns (x0, category code x1, x2) and the score each must get from
# every_kind_model, worked out by hand: start 1.0 plus 0.5 times the three leaves.
EVERY_KIND_ROWS = np.array(
    [
        [0.0, 0.0, 0.0],  # left 1.0; code 0: 0.5 + 0 - 1 < 0, left -2; -0.5 < 0, left -10
        [1.0, 1.0, 0.6],  # right 3.0; code 1: -4 + 1.2 - 1 < 0, left -2; 0.58, right 10
        [NAN, 2.9, 0.0],  # NaN right 3.0; code 2: 10 - 1, right 4; NaN x0, right 10
        [0.2, 5.0, 0.75],  # left 1.0; code 5 has no offset: 1.5 - 1, right 4; 0.22, right 10
        [0.2, -1.0, 0.4],  # left 1.0; code -1 has no offset: 0.8 - 1, left -2; -0.06, left -10
        [0.4, 1.0, NAN],  # left 1.0; NaN x2 right 4; NaN x2 right 10
    ]
)
EVERY_KIND_SCORES = [-4.5, 6.5, 9.5, 8.5, -4.5, 8.5]
# The same rows when the offsets are lost: every code contributes 0.
WITHOUT_OFFSETS_SCORES = [-4.5, 9.5, 6.5, 8.5, -4.5, 8.5]


def loaded(data: bytes, **kwargs) -> Booster:
    b = Booster(**kwargs)
    b.deserialize(data)
    return b


def test_never_fitted_booster_is_the_68_known_bytes():
    data = Booster().serialize()
    assert isinstance(data, bytes)
    assert data == EMPTY_MODEL
    assert Model().pack() == EMPTY_MODEL


def test_crafted_model_of_every_split_kind_predicts_by_hand():
    data = every_kind_model().pack()
    b = loaded(data)
    assert b.n_trees() == 3
    assert b.best_iteration() == -1
    np.testing.assert_array_equal(b.predict_raw(EVERY_KIND_ROWS), EVERY_KIND_SCORES)
    p = b.predict_proba(EVERY_KIND_ROWS)
    np.testing.assert_allclose(p[:, 1], 1 / (1 + np.exp(-np.array(EVERY_KIND_SCORES))))
    # The writer reproduces the crafted bytes exactly, category block included.
    assert b.serialize() == data


def test_category_offsets_are_what_the_trailing_block_adds():
    model = every_kind_model()
    model.categories = []
    data = model.pack()
    b = loaded(data)
    np.testing.assert_array_equal(b.predict_raw(EVERY_KIND_ROWS), WITHOUT_OFFSETS_SCORES)
    assert b.serialize() == data
    assert b"VCAT" not in data


def test_multiclass_scores_and_missing_start_scores():
    x = np.array([[1.0, 0.0], [-1.0, -2.0], [NAN, 3.0]])
    # Row 0: x0 - x1 = 1 goes right, x1 = 0 goes right; row 1: -1 + 2 = 1 right, x1 < 0
    # left; row 2: NaN goes right, x1 = 3 right.
    leaves = [
        ([-1.0, 2.0, 0.0], [0.25, 0.0, 0.0]),
        ([-1.0, 2.0, 0.0], [0.0, 0.0, 0.5]),
        ([-1.0, 2.0, 0.0], [0.25, 0.0, 0.0]),
    ]
    for start in ([0.1, 0.2, 0.3], None):
        b = loaded(multiclass_model(with_start_scores=start is not None).pack())
        expected = []
        for first, second in leaves:
            row = list(start or [0.0, 0.0, 0.0])
            row = [v * 1.0 + s for v, s in zip(first, row)]
            expected.append([v * 1.0 + s for v, s in zip(second, row)])
        np.testing.assert_array_equal(b.predict_raw(x), expected)
        proba = b.predict_proba(x)
        assert proba.shape == (3, 3)
        np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    # A buffer that ends after the projections loads with n_outputs zeros as start scores:
    # written back, it gains an explicit block of three zeros.
    cut = loaded(multiclass_model(with_start_scores=False).pack())
    assert cut.serialize().endswith(struct.pack("<i3d", 3, 0.0, 0.0, 0.0))


def test_lineage_model_round_trips():
    data = lineage_model().pack()
    b = loaded(data)
    x = np.array([[1.0, 0.0, 0.0, 0.0], [-1.0, 0.0, 0.0, 1.0], [0.0, 0.0, 0.0, -1.0]])
    # Row 0: 0.6 + 0.1 >= 0 right -> 2.0; row 1: -0.6 + 0.1 < 0 left, -1 - 0.2 < 0 left
    # -> -1.0; row 2: 0.1 right -> 2.0. Then 0.25 from the single leaf.
    expected = [0.0 + 0.1 * v + 0.1 * 0.25 for v in (2.0, -1.0, 2.0)]
    np.testing.assert_allclose(b.predict_raw(x), expected, rtol=0, atol=1e-15)
    assert b.serialize() == data


def test_loading_the_empty_model_empties_a_loaded_one():
    b = loaded(every_kind_model().pack())
    b.deserialize(EMPTY_MODEL)
    assert b.n_trees() == 0
    assert b.serialize() == EMPTY_MODEL
    np.testing.assert_array_equal(b.predict_raw(np.ones((2, 3))), [0.0, 0.0])


def test_stored_learning_rate_and_objective_override_the_constructor():
    data = every_kind_model().pack()
    b = loaded(data, learning_rate=0.9, objective=2, max_depth=1)
    scores = b.predict_raw(EVERY_KIND_ROWS)
    assert scores.shape == (6,)
    np.testing.assert_array_equal(scores, EVERY_KIND_SCORES)
    assert b.serialize() == data


def test_bytes_after_the_model_are_ignored():
    data = multiclass_model().pack()
    for tail in (b"\x00", b"VCA", b"anything at all", b"\xff" * 64):
        assert loaded(data + tail).serialize() == data


def tree0_root_offset() -> int:
    # Header 44, F and 3 values, n_features and 3 values, K = 0, T, N.
    return 44 + 4 + 24 + 4 + 24 + 4 + 4 + 4


# The interaction block of every_kind_model: tag, P, one 16-byte pair, length.
INTERACTION_BLOCK = 4 + 4 + 16 + 4


def patched(data: bytes, at: int, fmt: str, value) -> bytes:
    return data[:at] + struct.pack(fmt, value) + data[at + struct.calcsize(fmt) :]


def bad_buffers():
    good = every_kind_model().pack()
    root = tree0_root_offset()
    no_block5 = multiclass_model(with_start_scores=False).pack()
    category_entry = len(good) - INTERACTION_BLOCK - 4 - 24 - 12
    pair_entry = len(good) - INTERACTION_BLOCK + 8
    twice = every_kind_model()
    twice.interactions = [(1, 2, 2.0), (1, 2, 0.5)]
    yield "empty", b"", 0
    yield "cut header", EMPTY_MODEL[:10], 8
    yield "objective 3", patched(EMPTY_MODEL, 16, "<i", 3), 16
    yield "no outputs", patched(EMPTY_MODEL, 40, "<i", 0), 40
    yield "negative F", patched(EMPTY_MODEL, 44, "<i", -1), 44
    yield "huge tree count", patched(EMPTY_MODEL, 56, "<i", 2**31 - 1), 56
    yield "cut start scores", no_block5 + b"\x01\x00", len(no_block5)
    yield "child before parent", patched(good, root + 53, "<i", 0), root + 53
    yield "leaf with a child", patched(good, root + 81 + 53, "<i", 2), root + 81 + 53
    yield "feature out of range", patched(good, root + 13, "<i", 3), root + 13
    yield "unknown kind", patched(good, root + 9, "<i", 7), root + 9
    yield "is_leaf 5", patched(good, root, "<B", 5), root
    yield "offsets on a leaf", patched(good, category_entry + 4, "<i", 1), category_entry
    yield "cut category block", good[: category_entry + 39], category_entry + 36
    yield "pair beyond the columns", patched(good, pair_entry + 4, "<i", 3), pair_entry + 4
    yield "the same pair twice", twice.pack(), pair_entry + 16
    yield (
        "dense and sparse pairs",
        twice.dense().pack() + good[-INTERACTION_BLOCK:],
        len(twice.dense().pack()),
    )
    yield "cut interaction block", good[:-1], len(good) - 4


@pytest.mark.parametrize("name,data,offset", list(bad_buffers()), ids=lambda v: str(v)[:24])
def test_bad_bytes_raise_value_error_and_change_nothing(name, data, offset):
    b = loaded(multiclass_model().pack())
    before = b.serialize()
    x = np.array([[0.5, -0.5]])
    raw_before = b.predict_raw(x)
    with pytest.raises(ValueError, match=rf"offset {offset}\b") as info:
        b.deserialize(data)
    assert re.search(r"^data: invalid model bytes at offset \d+: .+", str(info.value))
    assert b.serialize() == before
    assert b.n_trees() == 2
    np.testing.assert_array_equal(b.predict_raw(x), raw_before)


def test_every_truncation_loads_or_raises_value_error():
    data = every_kind_model().pack()
    category_end = len(data) - INTERACTION_BLOCK
    block5_end = category_end - (4 + 4 + 12 + 24 + 4)
    loads = []
    for n in range(len(data) + 1):
        b = Booster()
        try:
            b.deserialize(data[:n])
        except ValueError:
            assert b.serialize() == EMPTY_MODEL
            continue
        loads.append(n)
    assert loads == [
        block5_end - 4,
        block5_end,
        block5_end + 1,
        block5_end + 2,
        block5_end + 3,
        category_end,
        category_end + 1,
        category_end + 2,
        category_end + 3,
        len(data),
    ]


def test_deserialize_takes_bytes_by_position_only():
    b = Booster()
    with pytest.raises(TypeError):
        b.deserialize(data=EMPTY_MODEL)
    with pytest.raises(TypeError):
        b.deserialize("not bytes")
    with pytest.raises(TypeError):
        b.deserialize()
    with pytest.raises(TypeError):
        b.serialize(EMPTY_MODEL)


def test_a_split_model_without_columns_is_refused():
    model = Model(trees=[[axis(0, 0.0, 1, 2), leaf(0.0), leaf(1.0)]])
    with pytest.raises(ValueError, match="n_features 0"):
        loaded(model.pack())


# ---------------------------------------------------------------------------------------
# Models made by training
# ---------------------------------------------------------------------------------------

IMPORTANCES = ("feature_importances", "coefficient_importances", "interaction_importances")


def answers(b: Booster, X: np.ndarray) -> dict[str, bytes]:
    """Everything a loaded model answers, as bytes, so that equality is bit for bit."""
    out = {
        "raw": b.predict_raw(X),
        "proba": b.predict_proba(X),
        "explain": b.explain(X),
    }
    out.update({name: getattr(b, name)() for name in IMPORTANCES})
    return {key: (v.shape, v.dtype.str, v.tobytes()) for key, v in out.items()}


def probe(X: np.ndarray) -> np.ndarray:
    """Training rows plus rows with category codes that training never saw."""
    rows = X[:40].copy()
    rows[:8, 6] = [-1.0, 5.0, 9.0, 2.5, -0.5, 1e12, np.nan, 4.0]
    rows[8:12] = np.nan
    return rows


def other_receiver() -> Booster:
    """A booster whose every hyper-parameter differs from the trained models' and which
    holds a model of its own, with a best iteration from early stopping."""
    rng = np.random.default_rng(3)
    X = rng.normal(size=(200, 3))
    X[:, 1] = np.floor(X[:, 1] * 2.0) + 3.0  # category codes
    y = X[:, 0] + rng.normal(size=200)
    b = Booster(9, 0.7, 2, 16, 4.0, 3, 0.6, 0.8, 5, 1, 1, 0.3, 1, [1, 0, 0], [0, 1, 0], 0, 1)
    b.fit(X, y, X_val=X[:50], y_val=-y[:50], es_patience=1)
    assert b.best_iteration() >= 0
    return b


@pytest.mark.parametrize("kind", TRAINED_KINDS, ids=kind_id)
def test_trained_models_round_trip_bit_for_bit(kind):
    original, X = trained_model(kind)
    data = original.serialize()
    model = unpack(data)
    if kind[2] == 0:
        # The histogram builder's models carry categorical-pair splits with their offsets.
        assert any(n.kind == 3 for t in model.trees for n in t if not n.is_leaf)
        assert model.categories
    else:
        assert all(n.projection >= 0 for t in model.trees for n in t if not n.is_leaf)
    rows = probe(X)
    expected = answers(original, rows)
    for receiver in (Booster(), Booster(max_depth=1, max_lineage=0), other_receiver()):
        best_before = receiver.best_iteration()
        receiver.deserialize(data)
        assert receiver.serialize() == data
        assert receiver.n_trees() == original.n_trees() == len(model.trees)
        assert receiver.best_iteration() == best_before
        assert answers(receiver, rows) == expected
        # Loading into a booster that holds a model replaces all of it.
        receiver.deserialize(data)
        assert answers(receiver, rows) == expected


def test_early_stopped_model_reports_its_stored_trees_not_its_best_iteration():
    original, X = trained_model((0, 0, 0), n_estimators=30)
    rng = np.random.default_rng(9)
    y_val = rng.integers(0, 2, size=100).astype(float)
    original.fit(X, (X[:, 2] > 0).astype(float), X_val=X[:100], y_val=y_val, es_patience=2)
    assert 0 <= original.best_iteration() < 29
    assert original.n_trees() == original.best_iteration() + 1
    b = Booster()
    b.deserialize(original.serialize())
    assert b.n_trees() == original.n_trees()
    assert b.best_iteration() == -1


def test_the_empty_model_over_a_fitted_booster_leaves_nothing():
    b, X = trained_model((2, 0, 0))
    held = b.best_iteration()
    b.deserialize(EMPTY_MODEL)
    assert b.n_trees() == 0
    assert b.best_iteration() == held
    for name, shape in zip(IMPORTANCES, [(0,), (0,), (0, 0)]):
        assert getattr(b, name)().shape == shape
    assert b.serialize() == EMPTY_MODEL
    # Objective 0 again: one score per row, the start score 0.0.
    np.testing.assert_array_equal(b.predict_raw(X[:5]), np.zeros(5))
    np.testing.assert_array_equal(b.explain(X[:5]), np.zeros((5, X.shape[1])))
