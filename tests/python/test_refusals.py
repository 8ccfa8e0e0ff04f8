"""Arguments that used to train silently wrong models, or models of NaN, and are refused.

Each refusal is a ValueError naming the argument, raised before anything changes: a booster
holding a model keeps it exactly (its bytes and its predictions).
"""

import numpy as np
import pytest
import vorlent_core as vc
from model_craft import every_kind_model
from vorlent_core import Booster

from helpers import planted_binary

X, Y = planted_binary(n=300, d=4, seed=5)
REGRESSION_Y = X[:, 0] - 0.5 * X[:, 1]
CODES = np.floor(np.abs(X) * 2.0)  # whole category codes 0 .. 6


def targets(objective):
    return [Y, REGRESSION_Y, np.arange(300) % 3.0][objective]


def holding_a_model(**params):
    """A booster with the given hyper-parameters that already holds a model of the same
    objective (a loaded model brings its own objective and learning rate)."""
    objective = params.get("objective", 0)
    trained = Booster(n_estimators=4, objective=objective)
    trained.fit(X, targets(objective))
    b = Booster(**params)
    b.deserialize(trained.serialize())
    return b


def state(b):
    return b.serialize(), b.predict_raw(X).tobytes(), b.n_trees(), b.best_iteration()


def refused(b, call, message):
    before = state(b)
    with pytest.raises(ValueError, match=message):
        call()
    assert state(b) == before


BAD_PARAMETERS = [
    ({"learning_rate": 0.0}, "learning_rate must be positive"),
    ({"learning_rate": -0.1}, "learning_rate must be positive"),
    ({"learning_rate": np.inf}, "learning_rate must be finite"),
    ({"learning_rate": np.nan}, "learning_rate must be finite"),
    ({"subsample": 0.0}, r"subsample must lie in \(0, 1\]"),
    ({"subsample": -1.0}, r"subsample must lie in \(0, 1\]"),
    ({"subsample": 1.0 + 2**-52}, r"subsample must lie in \(0, 1\]"),
    ({"subsample": np.inf}, r"subsample must lie in \(0, 1\]"),
    ({"colsample": 0.0}, r"colsample must lie in \(0, 1\]"),
    ({"colsample": 2.0}, r"colsample must lie in \(0, 1\]"),
    ({"colsample": -np.inf}, r"colsample must lie in \(0, 1\]"),
    ({"colsample": np.nan}, "colsample must not be NaN"),
    ({"reg_lambda": -1e-300}, "reg_lambda"),
    ({"objective": 1, "loss": 1, "alpha": 0.0}, r"alpha must lie in \(0, 1\) for the Huber"),
    ({"objective": 1, "loss": 1, "alpha": 1.0}, r"alpha must lie in \(0, 1\) for the Huber"),
    ({"objective": 1, "loss": 2, "alpha": 0.0}, r"alpha must lie in \(0, 1\) for the Huber"),
    ({"objective": 1, "loss": 2, "alpha": 1.0}, r"alpha must lie in \(0, 1\) for the Huber"),
    (
        {"monotone": [0, 1, 0, 0], "categorical": [0, 1, 0, 0]},
        r"monotone\[1\] is 1 but column 1 is categorical",
    ),
    (
        {"monotone": [0, 0, -1, 0], "categorical": [0, 0, 1, 0], "max_lineage": 2},
        r"monotone\[2\] is -1 but column 2 is categorical",
    ),
]


@pytest.mark.parametrize("params,message", BAD_PARAMETERS, ids=str)
def test_bad_hyper_parameters_are_refused_and_the_model_kept(params, message):
    y = targets(params.get("objective", 0))
    data = CODES if "categorical" in params else X
    if "learning_rate" in params:
        # A loaded model brings its own learning rate: only a fresh booster keeps this one.
        b = Booster(**params)
        refused(b, lambda: b.fit(data, y), message)
        return
    b = holding_a_model(**params)
    refused(b, lambda: b.fit(data, y), message)
    refused(b, lambda: b.fit_more(data, y, 2), message)


def test_category_codes_must_be_whole_numbers():
    b = holding_a_model(categorical=[0, 0, 0, 1])
    half = CODES.copy()
    half[17, 3] = 0.5
    refused(b, lambda: b.fit(half, Y), "X column 3 is categorical .* row 17 holds 0.5")
    refused(b, lambda: b.fit_more(half, Y, 2), "X column 3 is categorical")
    inf = CODES.copy()
    inf[3, 3] = np.inf
    refused(b, lambda: b.fit(inf, Y), "X column 3 is categorical .* row 3 holds inf")
    refused(
        b,
        lambda: b.fit(CODES, Y, X_val=half[10:20], y_val=Y[10:20], es_patience=1),
        "X_val column 3 is categorical .* row 7 holds 0.5",
    )
    # Missing, negative and large whole codes stay valid; other columns may hold anything.
    fine = CODES.copy()
    fine[:5, 3] = [np.nan, -4.0, 1e12, -0.0, 2.0**53]
    fine[:, 0] = X[:, 0]
    b.fit(fine, Y)
    assert np.isfinite(b.predict_raw(fine)).all()


@pytest.mark.parametrize(
    "objective,y,weights,reg_lambda,message",
    [
        (1, np.full(300, 1e308), None, 1.0, "y makes the start score inf"),
        (1, np.full(300, -1e308), None, 1.0, "y makes the start score -inf"),
        (1, np.r_[np.full(150, 1e308), np.full(150, -1e308)], None, 1.0, "y makes the start"),
        (1, np.r_[1e308, np.zeros(299)], None, 1.0, None),
        (0, Y, np.full(300, 1e308), 1.0, "sample_weight makes"),
        (1, REGRESSION_Y, np.full(300, 1e308), 1.0, "sample_weight makes"),
        (2, np.arange(300) % 3.0, np.full(300, 1e308), 1.0, "sample_weight makes"),
        (0, Y, np.zeros(300), 0.0, "sample_weight makes the first round's hessian sum 0"),
        (1, REGRESSION_Y, np.zeros(300), 0.0, "sample_weight makes the first round's hessian"),
        (2, np.arange(300) % 3.0, np.zeros(300), 0.0, "sample_weight makes the first round"),
        (0, Y, np.full(300, 5e-324), 0.0, "sample_weight makes the first round's hessian sum"),
        (0, Y, np.zeros(300), 1.0, None),
        (1, REGRESSION_Y, np.full(300, 5e-324), 0.0, None),
        (1, REGRESSION_Y, np.r_[np.zeros(299), 1.0], 0.0, None),
        (1, REGRESSION_Y, np.r_[np.zeros(150), np.ones(150)], 0.0, None),
    ],
)
def test_inputs_that_make_the_first_round_not_finite_are_refused(
    objective, y, weights, reg_lambda, message
):
    """Either the fit is refused, naming the argument at fault, or the model is finite.
    Continued training starts from the model's scores and is refused the same way."""
    b = holding_a_model(objective=objective, reg_lambda=reg_lambda, n_estimators=3)
    if message is not None:
        refused(b, lambda: b.fit(X, y, sample_weight=weights), message)
        at_fault = message.split(" makes")[0] + " makes the first round's"
        refused(b, lambda: b.fit_more(X, y, 2, sample_weight=weights), at_fault)
        return
    b.fit(X, y, sample_weight=weights)
    assert np.isfinite(b.predict_raw(X)).all()
    assert np.isfinite(b.explain(X)).all()


def test_weights_a_bag_can_leave_out_entirely_are_refused_without_reg_lambda():
    # With subsample 0.5 a bag leaves out 150 of the 300 rows: if those can be all the
    # rows of positive weight, some round's root has no hessian (a model of NaN before).
    for objective in (0, 1):
        y = targets(objective)
        b = holding_a_model(objective=objective, reg_lambda=0.0, subsample=0.5)
        for weights in (np.r_[np.zeros(299), 1.0], np.r_[np.zeros(150), np.ones(150)]):
            refused(b, lambda: b.fit(X, y, sample_weight=weights), "in only")
        b.fit(X, y, sample_weight=np.r_[np.zeros(149), np.ones(151)])
        assert np.isfinite(b.predict_raw(X)).all()
        with_lambda = Booster(objective=objective, reg_lambda=1e-3, subsample=0.5)
        with_lambda.fit(X, y, sample_weight=np.r_[np.zeros(299), 1.0])
        assert np.isfinite(with_lambda.predict_raw(X)).all()


def test_target_encoding_folds_must_be_whole_and_in_range():
    codes = np.arange(8) % 3
    y = np.arange(8.0)
    folds = np.arange(8) % 2
    want = vc.te_fit_transform(codes, y, folds.astype(np.int32), 3, 2)
    # Any integer or float type holding whole fold numbers gives the same encoding.
    for given in (folds.astype(np.int64), folds.astype(np.uint8), folds.astype(float)):
        got = vc.te_fit_transform(codes, y, given, 3, 2)
        np.testing.assert_array_equal(got[0], want[0])
    for bad, message in [
        (2**32, r"folds entry 5 is 4294967296, outside 0 \.\. nf-1"),
        (2**32 + 1, r"folds entry 5 is 4294967297, outside"),
        (-1, "folds entry 5 is -1, outside"),
        (2, "folds entry 5 is 2, outside"),
        (1.5, "folds entry 5 is 1.5, not a whole fold number"),
        (np.nan, "folds entry 5 is nan, not a whole fold number"),
    ]:
        given = folds.astype(type(bad) if isinstance(bad, float) else np.int64)
        given[5] = bad
        with pytest.raises(ValueError, match=message):
            vc.te_fit_transform(codes, y, given, 3, 2)


@pytest.mark.parametrize("objective", [0, 1])
def test_single_output_headers_claiming_more_outputs_are_refused(objective):
    model = every_kind_model()
    model.objective = objective
    good = model.pack()
    b = Booster()
    b.deserialize(good)
    for outputs in (2, 2**20):
        model.n_outputs = outputs
        refused(
            b,
            lambda: b.deserialize(model.pack()),
            "invalid model bytes at offset 40: n_outputs must be 1 for the binary and regression",
        )
