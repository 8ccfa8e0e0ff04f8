"""Fold assignment and target encoding through the module surface."""

import math

import numpy as np
import pytest
import vorlent_core as vc
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp


def test_preparation_functions_are_registered_first_in_order():
    names = [n for n in vars(vc) if not n.startswith("_")]
    assert names[:4] == ["make_folds", "te_fit_transform", "te_transform", "Booster"]


# ---------------------------------------------------------------- make_folds


def test_make_folds_pinned_vectors():
    folds = vc.make_folds(np.zeros(5), 5, 42, False)
    assert folds.dtype == np.int32
    np.testing.assert_array_equal(folds, [1, 4, 2, 3, 0])
    np.testing.assert_array_equal(
        vc.make_folds(np.zeros(10), 3, 0, False), [0, 1, 0, 0, 2, 0, 1, 2, 2, 1]
    )
    by_keyword = vc.make_folds(stratified=False, seed=42, nf=5, y=np.zeros(5))
    np.testing.assert_array_equal(by_keyword, [1, 4, 2, 3, 0])


def test_make_folds_small_cases():
    empty = vc.make_folds(np.zeros(0), 4, 1, True)
    assert empty.dtype == np.int32 and empty.shape == (0,)
    np.testing.assert_array_equal(vc.make_folds(np.arange(9.0), 1, 7, False), np.zeros(9))
    assert np.bincount(vc.make_folds(np.zeros(10), 3, 11, False)).tolist() == [4, 3, 3]
    assert np.bincount(vc.make_folds(np.zeros(10), 4, 11, False)).tolist() == [3, 2, 3, 2]
    assert sorted(vc.make_folds([5.0, 5.0], 5, 3, True).tolist()) == [0, 2]


def test_make_folds_stratified_two_labels():
    y = np.array([0.0] * 7 + [1.0] * 8)
    np.random.default_rng(0).shuffle(y)
    folds = vc.make_folds(y, 3, 123, True)
    assert np.bincount(folds[y == 0], minlength=3).tolist() == [3, 2, 2]
    assert np.bincount(folds[y == 1], minlength=3).tolist() == [3, 3, 2]


def test_make_folds_labels_round_half_away_from_zero():
    # Four labels 0, 1, 3, -3 of one row each: all in fold 0.
    np.testing.assert_array_equal(vc.make_folds([0.4, 0.6, 2.5, -2.5], 2, 0, True), [0, 0, 0, 0])
    # 2.5 joins 3.4 and -2.5 joins -3.4: each pair is split over folds 0 and 1.
    folds = vc.make_folds([2.5, 3.4, -2.5, -3.4], 2, 0, True)
    assert folds[0] != folds[1] and folds[2] != folds[3]


def test_make_folds_single_label_is_the_plain_split(rng):
    y = 4.0 + rng.uniform(-0.49, 0.49, size=257)
    for nf in (2, 5, 300):
        np.testing.assert_array_equal(
            vc.make_folds(y, nf, 99, True), vc.make_folds(y, nf, 99, False)
        )


def test_make_folds_is_deterministic_and_seeded(rng):
    y = rng.integers(0, 3, size=1000).astype(float)
    a = vc.make_folds(y, 5, 2024, True)
    np.testing.assert_array_equal(a, vc.make_folds(y.copy(), 5, 2024, True))
    assert not np.array_equal(a, vc.make_folds(y, 5, 2025, True))


def test_make_folds_converts_inputs():
    expected = vc.make_folds(np.array([0.0, 1.0, 1.0, 0.0, 1.0]), 2, 5, True)
    for y in (
        [0, 1, 1, 0, 1],
        np.array([0, 1, 1, 0, 1], dtype=np.int8),
        np.array([0, 1, 1, 0, 1], dtype=np.float32),
    ):
        np.testing.assert_array_equal(vc.make_folds(y, 2, 5, True), expected)
    np.testing.assert_array_equal(vc.make_folds(y, np.int64(2), np.uint32(5), np.True_), expected)
    assert vc.make_folds(np.zeros(3), 2, 2**32 - 1, False).shape == (3,)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"seed": -1},
        {"seed": 2**32},
        {"seed": 1.0},
        {"nf": 2.0},
        {"nf": 2**31},
        {"stratified": "yes"},
    ],
)
def test_make_folds_refuses_unconvertible_arguments(kwargs):
    args = {"y": np.zeros(4), "nf": 2, "seed": 1, "stratified": False} | kwargs
    with pytest.raises(TypeError):
        vc.make_folds(**args)


def test_make_folds_has_no_defaults():
    with pytest.raises(TypeError):
        vc.make_folds(np.zeros(3), 2, 1)


@pytest.mark.parametrize("nf", [0, -1, -(2**31)])
def test_make_folds_rejects_too_few_folds(nf):
    with pytest.raises(ValueError, match="nf"):
        vc.make_folds(np.zeros(3), nf, 1, False)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 2.0**63, -(2.0**63), 1e300])
def test_make_folds_rejects_unroundable_labels(bad):
    y = np.array([0.0, 1.0, bad])
    with pytest.raises(ValueError, match="y"):
        vc.make_folds(y, 2, 1, True)
    assert vc.make_folds(y, 2, 1, False).shape == (3,)


def test_make_folds_rejects_non_vector_y():
    with pytest.raises(ValueError, match="y"):
        vc.make_folds(np.zeros((3, 2)), 2, 1, False)
    with pytest.raises(ValueError, match="y"):
        vc.make_folds(np.float64(1.0), 2, 1, False)


@settings(max_examples=60, deadline=None)
@given(
    labels=st.lists(st.integers(-3, 3), max_size=200),
    nf=st.integers(1, 9),
    seed=st.integers(0, 2**32 - 1),
)
def test_make_folds_balances_each_label(labels, nf, seed):
    y = np.array(labels, dtype=float)
    folds = vc.make_folds(y, nf, seed, True)
    assert folds.shape == y.shape
    assert ((folds >= 0) & (folds < nf)).all()
    for label in set(labels):
        sizes = np.bincount(folds[y == label], minlength=nf)
        m = int((y == label).sum())
        # Fold k takes ceil((k+1) m / nf) - ceil(k m / nf) rows of the group.
        expected = [-(-(k + 1) * m // nf) - (-(-k * m // nf)) for k in range(nf)]
        assert sizes.tolist() == expected


# ---------------------------------------------------------------- target encoding


def reference_fit(codes, y, folds, K, nf):
    """Target encoding written out in plain Python floats, in the same operation order."""
    N = [[0.0] * K for _ in range(nf)]
    S = [[0.0] * K for _ in range(nf)]
    Q = [[0.0] * K for _ in range(nf)]
    Nf, Sf, Qf = [0.0] * nf, [0.0] * nf, [0.0] * nf
    for c, v, f in zip(codes, y, folds):
        if 0 <= c < K:
            N[f][c] += 1
            S[f][c] += v
            Q[f][c] += v * v
            Nf[f] += 1
            Sf[f] += v
            Qf[f] += v * v
    Nc, Sc, Qc = [0.0] * K, [0.0] * K, [0.0] * K
    Na = Sa = Qa = 0.0
    for f in range(nf):
        for c in range(K):
            Nc[c] += N[f][c]
            Sc[c] += S[f][c]
            Qc[c] += Q[f][c]
        Na += Nf[f]
        Sa += Sf[f]
        Qa += Qf[f]
    enc = []
    for c, f in zip(codes, folds):
        n_f = Na - Nf[f]
        mu = (Sa - Sf[f]) / n_f if n_f > 0 else 0.0
        V = (Qa - Qf[f]) / n_f - mu * mu if n_f > 0 else 0.0
        e = mu
        if 0 <= c < K and Nc[c] - N[f][c] > 0:
            m = Nc[c] - N[f][c]
            s = Sc[c] - S[f][c]
            a = m * V + ((Qc[c] - Q[f][c]) - s * s / m) / m
            if not a <= 0:
                w = (m * V) / a
                e = mu * (1 - w) + (s / m) * w
        enc.append(e)
    gmean = Sa / Na if Na > 0 else 0.0
    V = Qa / Na - gmean * gmean if Na > 0 else 0.0
    full = []
    for c in range(K):
        value = gmean
        if Nc[c] > 0:
            a = Nc[c] * V + (Qc[c] - Sc[c] * Sc[c] / Nc[c]) / Nc[c]
            if not a <= 0:
                w = (Nc[c] * V) / a
                value = (1 - w) * gmean + w * (Sc[c] / Nc[c])
        full.append(value)
    return np.array(enc), np.array(full), gmean


def test_te_fit_transform_worked_example():
    result = vc.te_fit_transform(
        np.array([0, 0, 1, 1, 0, 1]),
        np.array([1.0, 2, 3, 5, 4, 7]),
        np.array([0, 1, 0, 1, 1, 0], dtype=np.int32),
        2,
        2,
    )
    assert isinstance(result, tuple) and len(result) == 3
    enc, full_map, gmean = result
    assert enc.dtype == np.float64 and full_map.dtype == np.float64
    assert type(gmean) is float
    np.testing.assert_allclose(enc, [117 / 37, 1, 5, 173 / 37, 1, 5], rtol=0, atol=1e-12)
    np.testing.assert_allclose(full_map, [127 / 51, 613 / 129], rtol=0, atol=1e-12)
    assert gmean == pytest.approx(11 / 3, abs=1e-12)
    np.testing.assert_allclose(
        vc.te_transform(np.array([1, 0, 5, -1]), full_map, gmean),
        [613 / 129, 127 / 51, 11 / 3, 11 / 3],
        rtol=0,
        atol=1e-12,
    )


def test_te_fit_transform_keywords_and_conversions():
    codes, y, folds = [0, 0, 1, 1, 0, 1], [1, 2, 3, 5, 4, 7], [0, 1, 0, 1, 1, 0]
    expected = vc.te_fit_transform(codes, y, folds, 2, 2)
    keyword = vc.te_fit_transform(nf=2, K=2, folds=folds, y=y, codes=codes)
    converted = vc.te_fit_transform(
        np.array(codes, dtype=np.int32),
        np.array(y, dtype=np.float32),
        np.array(folds, dtype=np.int64),
        np.int16(2),
        2,
    )
    for got in (keyword, converted):
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])
        assert got[2] == expected[2]
    # K comes before nf.
    enc, full_map, _ = vc.te_fit_transform(codes, y, folds, 10, 5)
    assert full_map.shape == (10,) and enc.shape == (6,)


def test_te_fit_transform_edge_cases():
    # No valid code at all.
    enc, full_map, gmean = vc.te_fit_transform([0, 1, 2], [1.0, 2.0, 3.0], [0, 1, 0], 0, 2)
    assert full_map.shape == (0,) and gmean == 0.0
    np.testing.assert_array_equal(enc, [0.0, 0.0, 0.0])
    # Constant target: everything is the overall mean.
    enc, full_map, gmean = vc.te_fit_transform([0, 1, 1, 0, 2], [1.0] * 5, [0, 1, 0, 1, 1], 4, 2)
    np.testing.assert_array_equal(enc, np.ones(5))
    np.testing.assert_array_equal(full_map, np.ones(4))
    # One NaN target spreads everywhere.
    enc, full_map, gmean = vc.te_fit_transform([0, 1, 0], [1.0, np.nan, 2.0], [0, 1, 1], 3, 2)
    assert np.isnan(enc).all() and np.isnan(full_map).all() and math.isnan(gmean)
    # Empty input.
    enc, full_map, gmean = vc.te_fit_transform(np.zeros(0, np.int64), [], [], 3, 2)
    assert enc.shape == (0,) and gmean == 0.0
    np.testing.assert_array_equal(full_map, np.zeros(3))


@pytest.mark.parametrize(
    ("args", "name"),
    [
        (([0, 1], [1.0, 2.0], [0, 1], -1, 2), "K"),
        (([0, 1], [1.0, 2.0], [0, 1], 2, 0), "nf"),
        (([0, 1], [1.0], [0, 1], 2, 2), "y"),
        (([0, 1], [1.0, 2.0], [0], 2, 2), "folds"),
        (([0, 1], [1.0, 2.0], [0, 2], 2, 2), "folds"),
        (([0, 7], [1.0, 2.0], [0, -1], 2, 2), "folds"),
        ((np.zeros((2, 1), np.int64), [1.0, 2.0], [0, 1], 2, 2), "codes"),
        (([0, 1], np.zeros((2, 1)), [0, 1], 2, 2), "y"),
        (([0, 1], [1.0, 2.0], np.zeros((2, 1)), 2, 2), "folds"),
    ],
)
def test_te_fit_transform_rejects_bad_input(args, name):
    with pytest.raises(ValueError, match=name):
        vc.te_fit_transform(*args)


def test_te_fit_transform_refuses_impossible_statistics():
    with pytest.raises((ValueError, MemoryError)):
        vc.te_fit_transform([0], [1.0], [0], 2**31 - 1, 2**31 - 1)


@pytest.mark.parametrize("kwargs", [{"K": 2.0}, {"nf": 2**31}, {"K": None}])
def test_te_fit_transform_refuses_unconvertible_arguments(kwargs):
    args = {"codes": [0], "y": [1.0], "folds": [0], "K": 2, "nf": 2} | kwargs
    with pytest.raises(TypeError):
        vc.te_fit_transform(**args)


def test_te_transform_rejects_non_vectors():
    with pytest.raises(ValueError, match="codes"):
        vc.te_transform(np.zeros((2, 2), np.int64), [1.0], 0.0)
    with pytest.raises(ValueError, match="full_map"):
        vc.te_transform([0], np.zeros((2, 2)), 0.0)
    with pytest.raises(TypeError):
        vc.te_transform([0], [1.0], "0.5")


@settings(max_examples=80, deadline=None)
@given(
    data=st.data(),
    n=st.integers(0, 60),
    K=st.integers(0, 8),
    nf=st.integers(1, 5),
)
def test_te_fit_transform_matches_reference(data, n, K, nf):
    codes = data.draw(hnp.arrays(np.int64, n, elements=st.integers(-2, K + 1)))
    y = data.draw(hnp.arrays(np.float64, n, elements=st.floats(-1e3, 1e3, allow_nan=False)))
    folds = data.draw(hnp.arrays(np.int32, n, elements=st.integers(0, nf - 1)))
    enc, full_map, gmean = vc.te_fit_transform(codes, y, folds, K, nf)
    ref_enc, ref_full, ref_gmean = reference_fit(codes.tolist(), y.tolist(), folds.tolist(), K, nf)
    np.testing.assert_array_equal(enc, ref_enc.reshape(-1))
    np.testing.assert_array_equal(full_map, ref_full.reshape(-1))
    assert gmean == ref_gmean


@settings(max_examples=80, deadline=None)
@given(
    codes=hnp.arrays(np.int64, st.integers(0, 50), elements=st.integers(-5, 12)),
    full_map=hnp.arrays(np.float64, st.integers(0, 8), elements=st.floats(allow_nan=False)),
    gmean=st.floats(allow_nan=False),
)
def test_te_transform_matches_numpy(codes, full_map, gmean):
    inside = (codes >= 0) & (codes < len(full_map))
    expected = np.full(len(codes), gmean)
    expected[inside] = full_map[codes[inside]]
    np.testing.assert_array_equal(vc.te_transform(codes, full_map, gmean), expected)
