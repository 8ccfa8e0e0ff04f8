"""A booster is busy while a call on it runs, and Python code that runs inside that call
on the same thread (a signal handler between rounds) cannot use it.

Each case trains in a child interpreter with a memory cap and a timeout, so that a guard
that fails (memory corruption, a deadlock) fails the test instead of the run.
"""

import json

import pytest

from helpers import run_capped

CHILD = r"""
import copy, json, pickle, signal, sys
import numpy as np
import vorlent_core as vc

case = sys.argv[1]
rng = np.random.default_rng(0)
# 40 columns, so that the model soon reads columns that a 1-column X lacks.
X = rng.normal(size=(2000, 40))
y = (X[:, 0] + X[:, 39] > 0) * 1.0
other = vc.Booster(objective=2, n_estimators=2)
other.fit(X[:, :4], np.arange(2000) % 50.0)
blob = other.serialize()
params = dict(n_estimators=200, max_depth=3, subsample=0.8, split_mode=1)
b = vc.Booster(**params)
if case == "fit_more":
    b = vc.Booster(**dict(params, n_estimators=2))
    b.fit(X, y)

# Every method; each would corrupt or read a half-built model if it went on.
calls = {
    "fit": lambda: b.fit(X, y),
    "fit_more": lambda: b.fit_more(X, y, 3),
    "deserialize": lambda: b.deserialize(blob),
    "predict_raw": lambda: b.predict_raw(np.zeros((4, 1))),
    "predict_proba": lambda: b.predict_proba(X),
    "explain": lambda: b.explain(X[:5]),
    "tree_nodes": b.tree_nodes,
    "model_facts": b.model_facts,
    "feature_importances": b.feature_importances,
    "coefficient_importances": b.coefficient_importances,
    "interaction_importances": b.interaction_importances,
    "interaction_pairs": b.interaction_pairs,
    "serialize": b.serialize,
    "n_trees": b.n_trees,
    "best_iteration": b.best_iteration,
    "__getstate__": b.__getstate__,
    "__repr__": lambda: repr(b),
    "pickle": lambda: pickle.dumps(b),
    "deepcopy": lambda: copy.deepcopy(b),
}
outcomes = {name: [] for name in calls}
firings = []

def handler(*_):
    firings.append(1)
    if len(firings) >= 3:
        signal.setitimer(signal.ITIMER_REAL, 0)
    for name, call in calls.items():
        try:
            call()
            outcomes[name].append("returned")
        except RuntimeError as e:
            outcomes[name].append("busy" if "is busy" in str(e) else repr(e))

signal.signal(signal.SIGALRM, handler)
# Three firings early in a fit that runs far longer, so none comes after it.
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
if case == "fit":
    b.fit(X, y)
else:
    b.fit_more(X, y, 198)
signal.setitimer(signal.ITIMER_REAL, 0)

# Training went on as if no handler had run.
if case == "fit":
    reference = vc.Booster(**params)
    reference.fit(X, y)
else:
    reference = vc.Booster(**dict(params, n_estimators=2))
    reference.fit(X, y)
    reference.fit_more(X, y, 198)
print(json.dumps(dict(firings=len(firings), outcomes=outcomes, n_trees=b.n_trees(),
                      same_model=b.serialize() == reference.serialize(),
                      same_predictions=bool(np.array_equal(b.predict_raw(X),
                                                           reference.predict_raw(X))))))
"""


@pytest.mark.parametrize("case", ["fit", "fit_more"])
def test_calls_from_a_signal_handler_during_training_are_refused(case):
    done = run_capped(CHILD, case, memory_gb=4, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["firings"] >= 1, "the handler never ran during training"
    for name, outcomes in result["outcomes"].items():
        assert outcomes == ["busy"] * result["firings"], name
    assert result["n_trees"] == 200
    assert result["same_model"] and result["same_predictions"]


STATE_CHILD = r"""
import signal
import numpy as np
import vorlent_core as vc

rng = np.random.default_rng(1)
X = rng.normal(size=(5000, 5)); y = (X[:, 0] > 0) * 1.0
b = vc.Booster(n_estimators=400, max_depth=3, split_mode=1)
other = vc.Booster(n_estimators=3, objective=1)
other.fit(X, X[:, 1])
seen = []

def handler(*_):
    signal.setitimer(signal.ITIMER_REAL, 0)
    # An alarm already pending when the timer stops runs the handler once more.
    if seen:
        return
    # __setstate__ on an initialised booster is ignored, busy or not, as __init__ is.
    seen.append(b.__setstate__(other.__getstate__()))

signal.signal(signal.SIGALRM, handler)
# The alarm repeats until a round boundary sees it, however fast the rounds are.
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
b.fit(X, y)
reference = vc.Booster(n_estimators=400, max_depth=3, split_mode=1)
reference.fit(X, y)
assert seen == [None], seen
assert b.serialize() == reference.serialize()
"""


def test_setstate_inside_training_changes_nothing():
    done = run_capped(STATE_CHILD, memory_gb=4, timeout=300)
    assert done.returncode == 0, done.stderr
