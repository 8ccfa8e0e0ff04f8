"""Hostile arguments to every function and method of the module.

Each call either raises a ValueError or TypeError, a ValueError naming the argument, or
works: no crash and no hang, and a booster that refused a call is exactly as it was (its
bytes and its predictions). Training's own argument checks are in test_training_inputs.py,
the byte format's in test_model_bytes.py; this file covers the rest.
"""

import copy
import pickle

import numpy as np
import pytest
import vorlent_core as vc
from model_craft import Model, leaf
from vorlent_core import Booster

from helpers import planted_binary, run_capped, sanitized

X, Y = planted_binary(n=300, d=4, seed=21)
NAN, INF = np.nan, np.inf
I32_MAX, I32_MIN = 2**31 - 1, -(2**31)


@pytest.fixture
def fitted():
    b = Booster(n_estimators=5)
    b.fit(X, Y)
    return b


def state(b):
    return b.serialize(), b.predict_raw(X).tobytes(), b.n_trees(), b.best_iteration()


def refused(b, call, error, message=""):
    before = state(b)
    with pytest.raises(error, match=message or None):
        call()
    assert state(b) == before


def with_entry(a, value, at=7):
    out = np.array(a, dtype=float)
    out.flat[at] = value
    return out


def read_only(a):
    out = np.array(a)
    out.flags.writeable = False
    return out


# --- Prediction, probabilities and explanations --------------------------------------

READS = ("predict_raw", "predict_proba", "explain")

BAD_MATRICES = [
    (None, ValueError, "X must be a two-dimensional"),
    (1.5, ValueError, "X must be a two-dimensional"),
    (np.zeros(4), ValueError, "X must be a two-dimensional"),
    (np.zeros((2, 2, 4)), ValueError, "X must be a two-dimensional"),
    (np.zeros((5, 0)), ValueError, "X has 0 columns, but the model reads column"),
    (X[:, :2], ValueError, "X has 2 columns, but the model reads column"),
    (np.array([["a", "b", "c", "d"]]), TypeError, ""),
    ([[1.0, 2.0, 3.0, 4.0], [1.0]], TypeError, ""),
    ({"X": 1}, TypeError, ""),
]


@pytest.mark.parametrize("method", READS)
@pytest.mark.parametrize("bad,error,message", BAD_MATRICES, ids=lambda v: str(v)[:20])
def test_reads_refuse_what_is_not_a_wide_enough_matrix(fitted, method, bad, error, message):
    refused(fitted, lambda: getattr(fitted, method)(bad), error, message)


GOOD_MATRICES = {
    "nan": np.full((3, 4), NAN),
    "inf": np.array([[INF, -INF, INF, -INF], [-INF, INF, -INF, INF], [INF] * 4]),
    "huge": np.full((2, 4), 1e308) * np.array([1, -1, 1, -1]),
    "subnormal": np.full((2, 4), 5e-324),
    "mixed": np.where(np.arange(40).reshape(10, 4) % 3 == 0, NAN, X[:10]),
    "no rows": np.zeros((0, 4)),
    "wider": np.hstack([X[:6], np.full((6, 3), NAN)]),
    "strided": np.repeat(X[:8], 2, axis=1)[:, ::2],
    "fortran": np.asfortranarray(X[:8]),
    "read-only": read_only(X[:8]),
    "float32": X[:8].astype(np.float32),
    "int": (X[:8] * 3).astype(np.int64),
    "object": X[:8].astype(object),
    "zero stride": np.broadcast_to(X[0], (5, 4)),
    "list": X[:3].tolist(),
}


@pytest.mark.parametrize("name", GOOD_MATRICES)
def test_reads_of_any_convertible_matrix_match_a_contiguous_copy(fitted, name):
    given = GOOD_MATRICES[name]
    copy_ = np.ascontiguousarray(np.asarray(given, dtype=np.float64))
    before = state(fitted)
    for method in READS:
        got = getattr(fitted, method)(given)
        np.testing.assert_array_equal(got, getattr(fitted, method)(copy_))
        assert len(got) == len(copy_)
        assert not np.isnan(got).any()
    assert state(fitted) == before


# --- Training -------------------------------------------------------------------------

BAD_FITS = [
    ({"X": None}, ValueError, "X must be a two-dimensional"),
    ({"X": [["a"] * 4] * 300}, TypeError, ""),
    ({"y": None}, ValueError, "y must be a one-dimensional"),
    ({"y": with_entry(Y, INF)}, ValueError, "y must be finite, but entry 7 is inf"),
    ({"y": with_entry(Y, -INF)}, ValueError, "y must be finite"),
    ({"y": Y[:0]}, ValueError, "y has 0 entries"),
    ({"y": np.append(Y, 0.0)}, ValueError, "y has 301 entries"),
    ({"sample_weight": with_entry(np.ones(300), NAN)}, ValueError, "sample_weight must be finite"),
    ({"sample_weight": np.ones((300, 1))}, ValueError, "sample_weight must be a one-dimensional"),
    ({"sample_weight": np.ones(301)}, ValueError, "sample_weight has 301 entries"),
    ({"X_val": X, "y_val": with_entry(Y, INF)}, ValueError, "y_val must be finite"),
    ({"X_val": X, "y_val": Y.reshape(-1, 1)}, ValueError, "y_val must be a one-dimensional"),
    ({"X_val": X, "y_val": with_entry(Y, 3.0)}, ValueError, r"y_val must lie in \[0, 1\]"),
    ({"X_val": None, "y_val": Y[:5]}, ValueError, "X_val must be a two-dimensional"),
    ({"X_val": X[:4], "y_val": Y[:5]}, ValueError, "X_val has 4 rows but y_val has 5"),
    ({"es_patience": 2**31}, TypeError, ""),
    ({"es_patience": 1.0}, TypeError, ""),
    ({"es_tol": "small"}, TypeError, ""),
    ({"es_tol": None}, TypeError, ""),
]


@pytest.mark.parametrize("change,error,message", BAD_FITS, ids=lambda v: str(v)[:30])
def test_bad_fits_change_nothing(fitted, change, error, message):
    args = {"X": X, "y": Y, **change}
    refused(fitted, lambda: fitted.fit(**args), error, message)


def test_bad_continued_training_changes_nothing(fitted):
    refused(fitted, lambda: fitted.fit_more(X, with_entry(Y, NAN), 2), ValueError, "y must be")
    refused(fitted, lambda: fitted.fit_more(X[:, :5].T, Y, 2), ValueError, "X has 300 columns")
    refused(fitted, lambda: fitted.fit_more(X[:0], Y[:0], 2), ValueError, "X has no rows")
    refused(fitted, lambda: fitted.fit_more(X, Y, 2**31), TypeError)
    refused(fitted, lambda: fitted.fit_more(X, Y, None), TypeError)
    # Nothing to add: a no-op, even with arguments that would be refused otherwise.
    for extra in (0, -1, I32_MIN):
        before = state(fitted)
        fitted.fit_more(X[:, :1], Y[:3], extra)
        assert state(fitted) == before
    fresh = Booster()
    fresh.fit_more(X, Y, 3)
    assert fresh.n_trees() == 0


def test_multiclass_targets_need_a_class_of_zero_or_more(fitted):
    b = Booster(objective=2, n_estimators=3)
    b.fit(X, np.arange(300) % 3.0)
    refused(b, lambda: b.fit(X, -np.ones(300)), ValueError, "y must hold a class of 0 or more")
    refused(b, lambda: b.fit(X, np.full(300, 1e6)), ValueError, "at most 1000000 classes")
    refused(b, lambda: b.fit_more(X, np.full(300, 3.0), 1), ValueError, "class the model does")
    # A negative class next to real ones would drop its rows, a fractional one would be
    # truncated: both are refused, in y and in y_val.
    classes = np.arange(300) % 3.0
    for bad in (-3.0, -0.5, 1.5):
        refused(b, lambda: b.fit(X, with_entry(classes, bad)), ValueError, "y must hold a class")
        refused(
            b,
            lambda: b.fit(X, classes, X_val=X[:9], y_val=with_entry(classes[:9], bad),
                          es_patience=1),
            ValueError,
            "y_val must hold a class",
        )


def test_classes_beyond_memory_are_refused_before_anything_changes():
    b = Booster(objective=2, n_estimators=2)
    b.fit(X, np.arange(300) % 3.0)
    many = np.full(30_000, 999_999.0)
    message = "the scores of 30000 rows times 1000000 classes need"
    refused(b, lambda: b.fit(np.zeros((30_000, 4)), many), ValueError, message)
    # A loaded model of 2^20 classes continued on 300000 rows would need terabytes.
    model = Model(objective=2, n_outputs=2**20, n_features=1, learning_rate=0.1)
    model.trees = [[leaf(0.0, [0.0] * 2**20)]]
    b = Booster(objective=2)
    b.deserialize(model.pack())
    X_big = np.zeros((300_000, 1))
    before = b.serialize()
    with pytest.raises(ValueError, match="the scores of 300000 rows times 1048576 classes need"):
        b.fit_more(X_big, np.zeros(300_000), 1)
    assert b.serialize() == before


# --- Degenerate but valid training data ------------------------------------------------


def trained(X_, y_, **params):
    b = Booster(n_estimators=3, **params)
    b.fit(X_, y_)
    again = Booster(n_estimators=3, **params)
    again.fit(X_, y_)
    assert b.serialize() == again.serialize()
    loaded = Booster()
    loaded.deserialize(b.serialize())
    np.testing.assert_array_equal(loaded.predict_raw(X_), b.predict_raw(X_))
    return b


def test_training_on_any_convertible_matrix_equals_training_on_a_contiguous_copy():
    want = trained(X, Y).serialize()
    for given in (
        np.asfortranarray(X),
        np.repeat(X, 2, axis=1)[:, ::2],
        read_only(X),
        X.astype(object),
        X.tolist(),
    ):
        assert trained(given, read_only(Y)).serialize() == want
    assert (
        trained(X.astype(np.float32), Y).serialize()
        == trained(X.astype(np.float32).astype(float), Y).serialize()
    )


@pytest.mark.parametrize("params", [{}, {"colsample": 0.5}, {"max_lineage": 2, "colsample": 0.3}])
def test_no_columns_train_constant_models(params):
    Z = np.zeros((50, 0))
    b = trained(Z, (np.arange(50) % 2).astype(float), **params)
    assert b.n_trees() == 3
    np.testing.assert_array_equal(b.predict_raw(np.zeros((4, 0))), b.predict_raw(Z)[:4])
    assert len(set(b.predict_raw(Z))) == 1
    assert b.explain(np.zeros((4, 0))).shape == (4, 0)
    assert b.feature_importances().shape == (0,)
    assert b.interaction_importances().shape == (0, 0)


@pytest.mark.parametrize("params", [{}, {"max_lineage": 2}, {"objective": 1, "loss": 2}])
def test_a_single_row_trains_a_constant_model(params):
    b = trained(X[:1], Y[:1], **params)
    assert len(set(b.predict_raw(X))) == 1


@pytest.mark.parametrize("objective,labels", [(2, 0.0), (2, 2.0), (0, 1.0), (0, 0.0)])
def test_a_single_class_trains_and_predicts_it(objective, labels):
    b = trained(X, np.full(300, labels), objective=objective)
    p = b.predict_proba(X)
    if objective == 2:
        # The classes below the one seen have the smallest probabilities the model gives.
        assert p.shape == (300, int(labels) + 1)
        assert (p[:, int(labels)] > 0.99).all()
    else:
        assert (p[:, int(labels)] > 0.99).all()


@pytest.mark.parametrize(
    "name,X_",
    [
        ("all missing", np.full((300, 4), NAN)),
        ("infinite", np.where(X > 1, INF, np.where(X < -1, -INF, X))),
        ("huge", X * 1e300),
        ("subnormal", X * 1e-310),
        ("constant", np.ones((300, 4))),
        ("zero stride", np.broadcast_to(X[0], (300, 4))),
    ],
)
def test_extreme_feature_values_train(name, X_):
    # Categorical columns hold whole codes: the values rounded down, infinities missing.
    whole = np.where(np.isfinite(X_), np.floor(X_), np.nan)
    codes = np.where(np.arange(4) % 3 == 0, whole, X_)
    cases = (({}, X_), ({"max_lineage": 2}, X_), ({"categorical": [1, 0, 0, 1]}, codes))
    for params, data in cases:
        b = trained(data, Y, **params)
        assert b.n_trees() == 3
        assert np.isfinite(b.predict_raw(data)).all()
        assert np.isfinite(b.explain(data)).all()


EXTREME_PARAMETERS = [
    {"max_depth": -1},
    {"max_depth": 0},
    {"max_depth": I32_MAX, "min_samples": 1},
    {"max_bins": -5},
    {"max_bins": 0},
    {"max_bins": 1},
    {"max_bins": 65536},
    {"min_samples": -3},
    {"min_samples": I32_MAX},
    {"subsample": 1e-300},
    {"subsample": 1.0, "colsample": 1e-300},
    {"objective": 1, "loss": 1, "alpha": 1e-300},
    {"objective": 1, "loss": 2, "alpha": 1.0 - 2**-53},
    {"learning_rate": 1e-300},
    {"reg_lambda": 0.0},
    {"reg_lambda": 1e300},
    {"seed": 0},
    {"seed": 2**32 - 1},
    {"objective": 1, "clip": -7},
    {"monotone": [I32_MIN, I32_MAX, 5, -9]},
    {"monotone": [I32_MIN, I32_MIN, I32_MAX, 0], "max_lineage": 2},
    {"categorical": [I32_MIN, I32_MAX, 0, -1]},
    {"max_lineage": -5},
    {"max_lineage": I32_MAX},
    {"split_mode": I32_MIN},
    {"split_mode": I32_MAX},
]


@pytest.mark.parametrize("params", EXTREME_PARAMETERS, ids=str)
def test_extreme_but_accepted_parameters_train(params):
    y = X[:, 0] + X[:, 1] if params.get("objective") == 1 else Y
    X_ = np.floor(X * 3.0) if "categorical" in params else X  # whole codes
    b = trained(X_, y, **params)
    assert b.n_trees() == 3
    assert np.isfinite(b.predict_raw(X_)).all()
    assert np.isfinite(b.explain(X_)).all()


@pytest.mark.parametrize(
    "codes,units",
    [
        ([I32_MIN, I32_MIN, 0, 0], [-1, -1, 0, 0]),
        ([I32_MAX, I32_MAX, -I32_MAX, 0], [1, 1, -1, 0]),
    ],
)
def test_monotone_codes_of_equal_size_act_as_their_signs(codes, units):
    assert trained(X, Y, monotone=codes).serialize() == trained(X, Y, monotone=units).serialize()


def test_endless_rounds_with_early_stopping_stop_without_reserving_them():
    b = Booster(n_estimators=I32_MAX)
    b.fit(X, Y, X_val=X[:50], y_val=1.0 - Y[:50], es_patience=2)
    assert b.n_trees() == 1 and b.best_iteration() == 0


# --- Objects that are not properly made Boosters ---------------------------------------

METHOD_CALLS = {
    "fit": (X, Y),
    "fit_more": (X, Y, 1),
    "n_trees": (),
    "best_iteration": (),
    "predict_raw": (X,),
    "predict_proba": (X,),
    "feature_importances": (),
    "coefficient_importances": (),
    "interaction_importances": (),
    "interaction_pairs": (),
    "explain": (X,),
    "serialize": (),
    "deserialize": (Booster().serialize(),),
    "__getstate__": (),
    "__repr__": (),
}


@pytest.mark.parametrize("method", METHOD_CALLS)
def test_methods_refuse_instances_whose_init_never_ran(method):
    unmade = Booster.__new__(Booster)
    with pytest.raises(TypeError, match=r"Booster.__init__\(\) has not been called"):
        getattr(unmade, method)(*METHOD_CALLS[method])
    with pytest.raises(TypeError):
        getattr(Booster, method)(None, *METHOD_CALLS[method])
    with pytest.raises(TypeError):
        getattr(Booster, method)(object(), *METHOD_CALLS[method])


def test_subclasses_must_initialise_and_pickle_as_their_class():
    class Skips(Booster):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="__init__"):
        Skips()

    class Keeps(Booster):
        pass

    k = Keeps(n_estimators=2)
    k.__init__(n_estimators=7)  # pybind11 constructs an instance once and ignores this
    k.fit(X, Y)
    assert k.n_trees() == 2
    # (pickle finds classes by name, which a class made in a function has not)
    for action in (copy.copy, copy.deepcopy):
        twin = action(k)
        assert type(twin) is Keeps and twin is not k
        assert twin.serialize() == k.serialize()
        np.testing.assert_array_equal(twin.predict_raw(X), k.predict_raw(X))
    # An object whose __init__ never ran has no state to give.
    with pytest.raises(TypeError, match="__init__"):
        pickle.dumps(Booster.__new__(Booster))


def test_a_few_bytes_cannot_claim_a_huge_width(fitted):
    # 68 bytes naming 200,000 columns but carrying no accumulator entries for them: the
    # interaction matrix of such a model would need 320 GB.
    data = bytearray(Booster().serialize())
    data[48:52] = (200_000).to_bytes(4, "little")
    refused(fitted, lambda: fitted.deserialize(bytes(data)), ValueError,
            "feature_gain has 0 entries but n_features is 200000")


def test_deserialize_takes_only_bytes(fitted):
    data = fitted.serialize()
    for bad in (bytearray(data), memoryview(data), data.decode("latin-1"), None, 5):
        refused(fitted, lambda bad=bad: fitted.deserialize(bad), TypeError)
    refused(fitted, lambda: fitted.deserialize(b"\xff" * 100_000), ValueError, "data: invalid")


# --- Data preparation ------------------------------------------------------------------

CODES = np.array([0, 1, 2, 1, 0, 2, 1, 0])
TARGETS = np.array([1.0, 2.0, 3.0, 5.0, 4.0, 7.0, 1.0, 0.5])
FOLDS = np.array([0, 1, 0, 1, 1, 0, 0, 1], dtype=np.int32)

BAD_PREP_CALLS = [
    (lambda: vc.make_folds(None, 2, 1, False), ValueError, "y must be a one-dimensional"),
    (lambda: vc.make_folds(np.zeros((3, 2)), 2, 1, False), ValueError, "y must be a one-dim"),
    (lambda: vc.make_folds(np.zeros(3), 0, 1, False), ValueError, "nf must be at least 1"),
    (lambda: vc.make_folds(np.zeros(3), I32_MIN, 1, True), ValueError, "nf must be at least 1"),
    (lambda: vc.make_folds(np.zeros(3), 2**31, 1, True), TypeError, ""),
    (lambda: vc.make_folds(np.zeros(3), 2.0, 1, True), TypeError, ""),
    (lambda: vc.make_folds(np.zeros(3), 2, -1, True), TypeError, ""),
    (lambda: vc.make_folds(np.zeros(3), 2, 2**32, True), TypeError, ""),
    (lambda: vc.make_folds(np.zeros(3), 2, 1, "yes"), TypeError, ""),
    (lambda: vc.make_folds(np.array(["a"]), 2, 1, True), TypeError, ""),
    (lambda: vc.make_folds(with_entry(np.zeros(9), NAN), 2, 1, True), ValueError, "entry 7"),
    (lambda: vc.make_folds(with_entry(np.zeros(9), -INF), 2, 1, True), ValueError, "y must"),
    (lambda: vc.make_folds(with_entry(np.zeros(9), 2.0**63), 2, 1, True), ValueError, r"2\^63"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS, -1, 2), ValueError, "K must be"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS, 3, 0), ValueError, "nf must be"),
    (lambda: vc.te_fit_transform(CODES, TARGETS[:-1], FOLDS, 3, 2), ValueError, "y has 7"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS[:-1], 3, 2), ValueError, "folds has 7"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS + 1, 3, 2), ValueError, "folds entry 1"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS - 1, 3, 2), ValueError, "folds entry 0"),
    (lambda: vc.te_fit_transform(CODES[None], TARGETS, FOLDS, 3, 2), ValueError, "codes must"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS[None], 3, 2), ValueError, "folds must"),
    (lambda: vc.te_fit_transform(None, TARGETS, FOLDS, 3, 2), TypeError, ""),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS, 3, 2**31), TypeError, ""),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS, I32_MAX, 2), ValueError, "K = 2147483647"),
    (lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS * 0, 9, I32_MAX), ValueError, "need"),
    (
        lambda: vc.te_fit_transform(CODES, TARGETS, FOLDS * 0, I32_MAX, 1),
        ValueError,
        "bytes of mem",
    ),
    (lambda: vc.te_transform(CODES, np.zeros((2, 2)), 0.0), ValueError, "full_map must be"),
    (lambda: vc.te_transform(CODES, np.zeros(2), None), TypeError, ""),
    (lambda: vc.te_transform(CODES, None, 0.0), ValueError, "full_map must be"),
    (lambda: vc.te_transform(np.array(["a", "b"]), np.zeros(2), 0.0), TypeError, ""),
]


@pytest.mark.parametrize("call,error,message", BAD_PREP_CALLS)
def test_preparation_refuses_bad_arguments(call, error, message):
    with pytest.raises(error, match=message or None):
        call()


def test_preparation_of_edge_values_works():
    # Empty inputs.
    assert vc.make_folds(np.zeros(0), 3, 1, True).shape == (0,)
    enc, full_map, gmean = vc.te_fit_transform(CODES[:0], TARGETS[:0], FOLDS[:0], 2, 3)
    assert enc.shape == (0,) and list(full_map) == [0.0, 0.0] and gmean == 0.0
    # More folds than rows: every row its own fold.
    folds = vc.make_folds(np.zeros(3), I32_MAX, 9, False)
    assert sorted(folds) == [0, 715827882, 1431655764]
    # NaN in unstratified y does not matter; extreme labels still stratify.
    assert vc.make_folds(np.full(4, NAN), 2, 1, False).tolist().count(0) == 2
    labels = np.array([-(2.0**62), 2.0**62, 0.0, 2.0**62])
    assert set(vc.make_folds(labels, 2, 1, True)) <= {0, 1}
    # Codes far out of range take no part; y longer than codes is fine.
    extreme = np.array([2**63 - 1, -(2**63), 5, 0], dtype=np.int64)
    enc, full_map, gmean = vc.te_fit_transform(extreme, np.arange(6.0), FOLDS[:4], 2, 2)
    assert gmean == 3.0 and full_map[1] == 3.0
    np.testing.assert_array_equal(
        vc.te_transform(extreme, full_map, -1.0), [-1.0, -1.0, -1.0, full_map[0]]
    )
    # NaN and infinite targets propagate instead of failing.
    enc, full_map, gmean = vc.te_fit_transform(CODES, with_entry(TARGETS, INF, 2), FOLDS, 3, 2)
    assert np.isnan(gmean) or np.isinf(gmean)
    # Non-contiguous and read-only inputs give what contiguous copies give.
    wide = np.repeat(CODES, 2)[::2]
    got = vc.te_fit_transform(wide, read_only(TARGETS), FOLDS.astype(np.int64), 3, 2)
    want = vc.te_fit_transform(CODES, TARGETS, FOLDS, 3, 2)
    for a, b in zip(got, want):
        np.testing.assert_array_equal(a, b)
    # A map with NaN entries or an empty one looks codes up all the same.
    np.testing.assert_array_equal(vc.te_transform(CODES[:3], np.zeros(0), 2.5), [2.5] * 3)
    got = vc.te_transform(CODES[:3], np.array([NAN, 1.0]), 0.0)
    assert np.isnan(got[0]) and list(got[1:]) == [1.0, 0.0]


# --- Arrays that are not aligned for their type ----------------------------------------


def misaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address."""
    a = np.ascontiguousarray(a)
    out = np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1).reshape(a.shape)
    assert not out.flags.aligned
    return out


def test_misaligned_arrays_are_read_as_aligned_ones():
    # Read in place, these arrays would be misaligned loads, which the sanitizer run of
    # this test turns into a failure; copied, they give what aligned arrays give.
    w = np.linspace(0.5, 2.0, len(Y))
    trained = []
    for convert in (np.ascontiguousarray, misaligned):
        b = Booster(n_estimators=4, subsample=0.8)
        b.fit(convert(X), convert(Y), sample_weight=convert(w), X_val=convert(X[:50]),
              y_val=convert(Y[:50]), es_patience=3)
        b.fit_more(convert(X), convert(Y), 2, sample_weight=convert(w))
        outputs = [b.serialize()]
        outputs += [getattr(b, m)(convert(X)).tobytes() for m in ("predict_raw", "predict_proba",
                                                                 "explain")]
        folds = vc.make_folds(convert(Y), 3, 5, True)
        codes = convert(np.arange(len(Y), dtype=np.int64) % 4)
        enc, full_map, gmean = vc.te_fit_transform(codes, convert(Y), convert(folds), 4, 3)
        outputs += [folds.tobytes(), enc.tobytes(), full_map.tobytes(), gmean]
        outputs.append(vc.te_transform(codes, convert(full_map), gmean).tobytes())
        trained.append(outputs)
    assert trained[0] == trained[1]


# --- Out of memory ---------------------------------------------------------------------

SERIALIZE_UNDER_A_CAP = r"""
import re, resource
import numpy as np, vorlent_core as vc

rng = np.random.default_rng(0)
X = rng.normal(size=(300, 3))
# 4000 classes: every leaf holds 4000 values, so the model bytes are tens of megabytes.
b = vc.Booster(objective=2, n_estimators=60, max_depth=6, min_samples=2, split_mode=1)
b.fit(X, (np.arange(300) * 17 % 4000) * 1.0)
data = b.serialize()
size = len(data)
del data
status = open("/proc/self/status").read()
in_use = int(re.search(r"VmSize:\s+(\d+) kB", status).group(1)) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for the bytes once (the native buffer) but not twice (the bytes object as well).
resource.setrlimit(resource.RLIMIT_AS, (in_use + int(1.5 * size), hard))
try:
    b.serialize()
    outcome = "returned"
except MemoryError:
    outcome = "MemoryError"
except Exception as e:
    outcome = repr(e)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert len(b.serialize()) == size  # the booster is as it was
print(outcome, size)
"""


@pytest.mark.skipif(sanitized(), reason="AddressSanitizer cannot run under a memory cap")
def test_serialize_without_memory_raises_memory_error():
    done = run_capped(SERIALIZE_UNDER_A_CAP, memory_gb=4, timeout=300)
    assert done.returncode == 0, done.stderr
    outcome, size = done.stdout.split()
    assert int(size) > 20_000_000
    assert outcome == "MemoryError"
