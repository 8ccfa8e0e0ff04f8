"""An allocation failure inside any parallel region reaches Python as MemoryError, and the
interpreter and the booster carry on.

Needs a module built with VORLENT_FAULT_INJECTION, where VRL_FAULT_AFTER=N fails the N-th
entry into a parallel region (scripts/sanitize.sh tests such a build); against a release
module these tests are skipped.
"""

import os

import numpy as np
import pytest
from vorlent_core import Booster

ONE_ROW = np.zeros((1, 1))


def reset_count():
    os.environ.pop("VRL_FAULT_AFTER", None)
    # A region entered with the variable unset restarts the count.
    Booster().predict_raw(ONE_ROW)


def fault_hook_built() -> bool:
    reset_count()
    os.environ["VRL_FAULT_AFTER"] = "1"
    try:
        Booster().predict_raw(ONE_ROW)
    except MemoryError:
        return True
    finally:
        reset_count()
    return False


pytestmark = pytest.mark.skipif(
    not fault_hook_built(), reason="the module was built without VORLENT_FAULT_INJECTION"
)


@pytest.fixture
def fail_at():
    def arm(n: int):
        reset_count()
        os.environ["VRL_FAULT_AFTER"] = str(n)

    yield arm
    reset_count()


def data(objective):
    rng = np.random.default_rng(8)
    X = rng.normal(size=(8400, 8))
    X[:, 7] = rng.integers(0, 4, size=8400)
    signal = X[:, 0] + X[:, 1] * X[:, 2] + 0.3 * X[:, 7]
    X[:, :7][rng.random((8400, 7)) < 0.03] = np.nan
    y = {0: signal > 0, 1: signal, 2: np.digitize(signal, [-0.5, 0.5])}[objective]
    return X, y.astype(float)


def booster(objective, lineage):
    return Booster(
        n_estimators=2,
        max_depth=3,
        subsample=0.8,
        colsample=0.9,
        seed=3,
        objective=objective,
        max_lineage=lineage,
        categorical=[0] * 7 + [1],
    )


@pytest.mark.parametrize("objective,lineage", [(0, 0), (1, 2), (2, 0)])
def test_failed_training_raises_memory_error_and_leaves_a_usable_booster(
    fail_at, objective, lineage
):
    X, y = data(objective)
    reference = booster(objective, lineage)
    reference.fit(X, y)
    expected = reference.serialize()

    # Fail ever later region entries until the fit gets through.
    failures = 0
    for n in (1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597, 2584):
        b = booster(objective, lineage)
        fail_at(n)
        try:
            b.fit(X, y)
        except MemoryError:
            failures += 1
        else:
            break
        finally:
            reset_count()
        assert b.n_trees() <= 2
        scores = b.predict_raw(X)
        loaded = Booster()
        loaded.deserialize(b.serialize())
        np.testing.assert_array_equal(loaded.predict_raw(X), scores)
        b.fit(X, y)
        assert b.serialize() == expected
    else:
        pytest.fail("every fit failed")
    assert failures >= 5
    assert b.serialize() == expected

    # Continued training fails the same way and keeps whole trees.
    fail_at(3)
    with pytest.raises(MemoryError):
        b.fit_more(X, y, 2)
    reset_count()
    assert 2 <= b.n_trees() <= 4
    b.predict_raw(X)


def test_failed_reads_raise_memory_error_and_change_nothing(fail_at):
    X, y = data(2)
    b = booster(2, 0)
    b.fit(X, y)
    before = b.serialize()
    raw = b.predict_raw(X)
    for call in (b.predict_raw, b.predict_proba, b.explain):
        fail_at(1)
        with pytest.raises(MemoryError):
            call(X)
        reset_count()
    assert b.serialize() == before
    np.testing.assert_array_equal(b.predict_raw(X), raw)


def test_a_fit_failing_before_its_first_tree_leaves_the_previous_model(fail_at):
    X, y = data(1)
    b = booster(1, 0)
    b.fit(X, y)
    before = b.serialize()
    raw = b.predict_raw(X)
    # The first regions of a fit come long before its first tree is complete.
    for n in (1, 2, 3):
        fail_at(n)
        with pytest.raises(MemoryError):
            b.fit(X[:5000, :6], y[:5000])
        reset_count()
        assert b.serialize() == before
        np.testing.assert_array_equal(b.predict_raw(X), raw)
        Booster().deserialize(b.serialize())
