"""Ctrl-C during training stops it after the current round and keeps a usable booster; an
estimator interrupted in a warm start keeps the model it had; during prediction and
explanation Ctrl-C stops the call at once and changes nothing.

Each booster case runs in a child interpreter that sends itself SIGINT early in a call that
would take many seconds or minutes, so a broken interruption fails the test by its timeout or
its delay instead of hanging the suite. The estimator's case interrupts itself from a round
callback.
"""

import json
import os
import pathlib
import signal
import subprocess
import sys

import numpy as np
import pytest
import vorlent
from helpers import run_capped

ROUNDS = 100_000

CHILD = r"""
import json, os, subprocess, sys, time
import numpy as np
from vorlent_core import Booster

case, rounds = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
X = rng.normal(size=(20000, 8))
y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(float)
X_val, y_val = X[:2000], 1.0 - y[:2000]
params = dict(max_depth=6, learning_rate=0.1)
b = Booster(n_estimators=rounds, **params)
if case == "fit_more":
    b = Booster(n_estimators=2, **params)
    b.fit(X, y)
killer = subprocess.Popen(["sh", "-c", f"sleep 1; kill -INT {os.getpid()}"])
start = time.monotonic()
interrupted = False
try:
    if case == "fit":
        b.fit(X, y)
    elif case == "early_stopping":
        # Validation labels that disagree with training: only the first round improves, and
        # a patience that never runs out leaves the cut to the interruption.
        b.fit(X, y, X_val=X_val, y_val=y_val, es_patience=10**9)
    else:
        b.fit_more(X, y, rounds)
except KeyboardInterrupt:
    interrupted = True
elapsed = time.monotonic() - start
killer.wait()

# The booster answers every call, and its bytes load back into the same model.
n = b.n_trees()
raw = b.predict_raw(X)
data = b.serialize()
loaded = Booster()
loaded.deserialize(data)
same_loaded = bool(np.array_equal(loaded.predict_raw(X), raw) and loaded.serialize() == data)
b.explain(X[:10])
b.predict_proba(X[:10])

# The trees kept are the complete trees of an uninterrupted run of that many rounds.
if case == "early_stopping":
    reference = Booster(n_estimators=b.best_iteration() + 1, **params)
    reference.fit(X, y)
else:
    reference = Booster(n_estimators=n, **params)
    reference.fit(X, y)
same_as_shorter_fit = bool(np.array_equal(reference.predict_raw(X), raw))
print(json.dumps(dict(interrupted=interrupted, n_trees=n, best_iteration=b.best_iteration(),
                      elapsed=elapsed, same_loaded=same_loaded,
                      same_as_shorter_fit=same_as_shorter_fit)))
"""


@pytest.mark.slow
@pytest.mark.parametrize("case", ["fit", "early_stopping", "fit_more"])
def test_ctrl_c_stops_training_after_a_complete_round(case):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, case, str(ROUNDS)],
        check=False,
        capture_output=True,
        text=True,
        cwd=pathlib.Path(__file__).parent,
        env=dict(os.environ),
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["interrupted"]
    assert result["same_loaded"]
    assert result["same_as_shorter_fit"]
    if case == "early_stopping":
        # Cut back to the best round, as early stopping would have done.
        assert result["best_iteration"] == 0
        assert result["n_trees"] == 1
    else:
        assert 1 <= result["n_trees"] <= ROUNDS - 1
        assert result["best_iteration"] == -1
    if case == "fit_more":
        assert result["n_trees"] >= 3


WAITING_CHILD = r"""
import json, os, subprocess, threading, time
import numpy as np
from vorlent_core import Booster

rng = np.random.default_rng(0)
X = rng.normal(size=(20000, 8))
y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(float)
# Rounds enough to outlast the test, few enough for training's memory check.
b = Booster(n_estimators=10_000, max_depth=6)
trainer = threading.Thread(target=lambda: b.fit(X, y), daemon=True)
trainer.start()
time.sleep(0.3)
killer = subprocess.Popen(["sh", "-c", f"sleep 1; kill -INT {os.getpid()}"])
start = time.monotonic()
try:
    b.n_trees()  # waits for the fit in the other thread
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
killer.wait()
print(json.dumps(dict(outcome=outcome, waited=time.monotonic() - start,
                      training=trainer.is_alive())))
os._exit(0)  # the endless fit is not waited for
"""


@pytest.mark.slow
def test_ctrl_c_interrupts_a_wait_for_a_booster_busy_in_another_thread():
    done = run_capped(WAITING_CHILD, timeout=120)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["outcome"] == "interrupted"
    assert result["training"]  # the other thread's call went on
    assert result["waited"] < 30


def interrupt(info):
    """A real Ctrl-C, delivered to this process while a warm start trains."""
    if info.iteration == 13:
        signal.raise_signal(signal.SIGINT)


def fail(info):
    if info.iteration == 13:
        raise LookupError("from the callback")


@pytest.mark.parametrize(
    ("callback", "error"), [(interrupt, KeyboardInterrupt), (fail, LookupError)]
)
def test_an_interrupted_warm_start_leaves_the_estimator_as_it_was(callback, error, tmp_path):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(400, 4))
    y = X[:, 0] - X[:, 1] * X[:, 2] + rng.normal(scale=0.3, size=400)
    params = {"n_estimators": 10, "subsample": 0.7, "random_state": 0, "early_stopping": False}
    model = vorlent.VorlentRegressor(warm_start=True, **params).fit(X, y)
    twin = vorlent.VorlentRegressor(warm_start=True, **params).fit(X, y)
    before, predicted = model.booster_.serialize(), model.predict(X)
    model.set_params(n_estimators=16)
    with pytest.raises(error):
        model.fit(X, y, callbacks=[callback])
    assert model.n_estimators_ == model.booster_.n_trees() == 10
    assert model.booster_.serialize() == before
    np.testing.assert_array_equal(model.predict(X), predicted)
    model.save_model(tmp_path / "m.vrl")
    assert vorlent.load_model(tmp_path / "m.vrl").n_estimators_ == 10
    # Nothing of the dropped rounds remains, the row draws included: continuing now gives
    # what an uninterrupted warm start gives.
    model.fit(X, y)
    twin.set_params(n_estimators=16).fit(X, y)
    assert model.booster_.serialize() == twin.booster_.serialize()


READ_CHILD = r"""
import json, os, signal, sys, threading, time
import numpy as np
from vorlent_core import Booster

method, rows = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
X = rng.normal(size=(2000, 8))
y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(float)
b = Booster(n_estimators=100, max_depth=6, split_mode=1)
b.fit(X, y)
call = getattr(b, method)
before, data = call(X[:500]), b.serialize()
big = np.tile(X, (rows // len(X), 1))
sent = []

def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

threading.Timer(0.5, interrupt).start()
try:
    call(big)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
delay = time.monotonic() - sent[0]
unchanged = bool(np.array_equal(call(X[:500]), before) and b.serialize() == data)
print(json.dumps(dict(outcome=outcome, delay=delay, unchanged=unchanged)))
"""


@pytest.mark.slow
@pytest.mark.parametrize(
    "method, rows",
    [
        # Rows for some ten seconds of work each on one core.
        ("predict_raw", 2_000_000),
        ("predict_proba", 2_000_000),
        ("explain", 1_000_000),
        ("shap_values", 50_000),
        ("interaction_values", 10_000),
    ],
)
def test_ctrl_c_stops_a_long_read_at_once_and_changes_nothing(method, rows):
    done = run_capped(READ_CHILD, method, rows, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["outcome"] == "interrupted"
    assert result["delay"] < 1.0
    assert result["unchanged"]
