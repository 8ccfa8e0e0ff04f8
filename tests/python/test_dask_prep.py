"""vorlent.dask's fold assignment and target encoding on a real two-process LocalCluster,
against vorlent_core's functions on the concatenated rows, bit for bit: arrays and Series
split into uneven blocks with an empty one, plain and stratified folds, codes outside the
map, and the core's own refusals."""

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import vorlent.dask as vd
import vorlent_core as vc
from dask_support import local_cluster, same_bits, split

CHUNKS = (90, 0, 151, 33, 126)  # uneven, with an empty block
N = sum(CHUNKS)


def as_array(values):
    return da.from_array(values, chunks=(CHUNKS,))


def as_series(values, name):
    """A Dask Series of CHUNKS rows per partition (lengths unknown to Dask), on an index
    that is not 0..n-1."""
    return split(pd.Series(values, index=np.arange(N) * 3 + 7, name=name), CHUNKS)


@pytest.fixture(scope="module", autouse=True)
def client():
    """Every test here computes on the module's LocalCluster (the default client)."""
    with local_cluster() as client:
        yield client


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    # Labels with halves (rounded away from zero), negatives and a gap between them.
    y = rng.integers(-3, 4, N) + rng.choice([0.0, 0.5, -0.5, 0.25], N)
    # Targets of many magnitudes, so that sums in another order round differently.
    target = rng.normal(size=N) * 10.0 ** rng.integers(-3, 6, N)
    codes = rng.integers(-2, 14, N)  # K = 12: codes -2, -1, 12 and 13 are outside the map
    return y, target, codes


@pytest.mark.parametrize("stratified", [False, True])
@pytest.mark.parametrize("kind", ["array", "series"])
def test_folds_are_the_local_folds_of_the_concatenated_rows(data, stratified, kind):
    y = data[0]
    for nf, seed in ((5, 42), (3, 2**32 - 1), (N + 4, 0)):
        want = vc.make_folds(y, nf, seed, stratified)
        lazy = vd.make_folds(
            as_array(y) if kind == "array" else as_series(y, "y"), nf, seed, stratified
        )
        got = lazy.compute()
        if kind == "array":
            assert lazy.chunks == (CHUNKS,) and lazy.dtype == np.int32
        else:
            assert list(got.index) == list(np.arange(N) * 3 + 7) and got.name == "fold"
        same_bits(np.asarray(got), want)


def test_stratified_folds_of_widely_spread_labels(data):
    # Labels more than 2^16 apart take the core's hashed path; the stand-in must too.
    y = np.where(data[0] > 1, 1e15, data[0])
    want = vc.make_folds(y, 4, 9, True)
    same_bits(vd.make_folds(as_array(y), 4, 9, True).compute(), want)


def test_fold_refusals_match_the_core(data):
    y = data[0].copy()
    y[250] = np.nan
    with pytest.raises(ValueError) as local:
        vc.make_folds(y, 3, 1, True)
    lazy = vd.make_folds(as_array(y), 3, 1, True)  # values are only seen when computed
    with pytest.raises(ValueError) as remote:
        lazy.compute()
    assert str(remote.value) == str(local.value)
    with pytest.raises(ValueError, match="nf must be at least 1, got 0"):
        vd.make_folds(as_array(y), 0, 1, False)
    with pytest.raises(ValueError, match="seed"):
        vd.make_folds(as_array(y), 3, -1, False)
    with pytest.raises(TypeError, match="dask"):
        vd.make_folds(y, 3, 1, False)


def reference_partials_differ(codes, target, folds, K):
    """Whether summing each block from zero and adding the block sums would round some
    cell's target sum differently than the core's row order: the property that makes the
    bit-for-bit comparison below able to catch such an implementation."""
    keep = (codes >= 0) & (codes < K)
    cell = folds * K + np.where(keep, codes, 0)
    in_order = np.zeros(5 * K)
    np.add.at(in_order, cell[keep], target[keep])
    by_block = np.zeros(5 * K)
    start = 0
    for n in CHUNKS:
        part = np.zeros(5 * K)
        sl = slice(start, start + n)
        np.add.at(part, cell[sl][keep[sl]], target[sl][keep[sl]])
        by_block += part
        start += n
    return not np.array_equal(in_order, by_block)


@pytest.mark.parametrize("kind", ["array", "series"])
def test_target_encoding_is_the_local_encoding_bit_for_bit(data, kind):
    y, target, codes = data
    folds = vc.make_folds(y, 5, 3, True)
    assert reference_partials_differ(codes, target, folds, 12)
    for K in (12, 200):  # a table per (fold, code), and more cells than rows
        want = vc.te_fit_transform(codes, target, folds, K, 5)
        if kind == "array":
            inputs = (as_array(codes), as_array(target), vd.make_folds(as_array(y), 5, 3, True))
        else:
            inputs = (as_series(codes, "c"), as_series(target, "t"), as_series(folds, "f"))
        enc, full_map, gmean = vd.te_fit_transform(*inputs, K, 5)
        got = dask.compute(enc, full_map, gmean)
        same_bits(np.asarray(got[0]), want[0])
        same_bits(got[1], want[1])
        assert got[2].tobytes() == np.float64(want[2]).tobytes()
        if kind == "series":
            assert list(got[0].index) == list(np.arange(N) * 3 + 7)

        # Encoding new codes with the fitted map, given lazily or in memory.
        new_codes = codes[::-1].copy()
        expected = vc.te_transform(new_codes, want[1], want[2])
        for args in ((full_map, gmean), (want[1], want[2])):
            lazy = vd.te_transform(as_array(new_codes), *args)
            assert lazy.chunks == (CHUNKS,)
            same_bits(lazy.compute(), expected)


def test_target_encoding_refusals(data):
    y, target, codes = data
    folds = vc.make_folds(y, 5, 3, False).astype(np.float64)
    for bad in (2.5, 5.0):  # not a whole number; outside 0 .. nf-1
        folds[300] = bad
        with pytest.raises(ValueError) as local:
            vc.te_fit_transform(codes, target, folds, 12, 5)
        inputs = (as_array(codes), as_array(target), as_array(folds))
        enc, _, _ = vd.te_fit_transform(*inputs, 12, 5)  # folds are only seen when computed
        with pytest.raises(ValueError) as remote:
            enc.compute()
        assert str(remote.value) == str(local.value)  # "folds entry 300 is 2.5, ..."

    good = (as_array(codes), as_array(target), as_array(np.zeros(N)))
    with pytest.raises(ValueError, match="K must be at least 0"):
        vd.te_fit_transform(*good, -1, 5)
    with pytest.raises(ValueError, match="nf must be at least 1"):
        vd.te_fit_transform(*good, 3, 0)
    with pytest.raises(TypeError, match="dask"):
        vd.te_fit_transform(codes, *good[1:], 3, 5)
    with pytest.raises(ValueError, match="same row blocks"):
        vd.te_fit_transform(good[0], da.from_array(target, chunks=100), good[2], 3, 5)
    with pytest.raises(ValueError, match="one-dimensional"):
        vd.te_transform(good[0], np.zeros((2, 2)), 0.0)
    with pytest.raises(TypeError, match="gmean"):
        vd.te_transform(good[0], np.zeros(3), "0.5")
