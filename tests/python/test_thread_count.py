"""The n_threads keyword sizes one booster's calls and nothing else."""

import json

import pytest
from vorlent_core import Booster

from helpers import run_capped


@pytest.mark.parametrize(
    "n, error",
    [(-1, ValueError), (1025, ValueError), (2**31, TypeError), (1.5, TypeError), (None, TypeError)],
)
def test_bad_thread_counts_are_refused(n, error):
    with pytest.raises(error, match="n_threads" if error is ValueError else None):
        Booster(n_threads=n)


# OpenMP keeps its worker threads once made, so the process's thread count after a call
# shows the largest team any call has used so far.
COUNT_THREADS = r"""
import json, os
import numpy as np
from vorlent_core import Booster

def threads():
    return len(os.listdir("/proc/self/task"))

rng = np.random.default_rng(0)
X = rng.normal(size=(20000, 6)); y = (X[:, 0] > 0) * 1.0
counts, models = {}, {}
for name, n in [("default", 0), ("one", 1), ("three", 3)]:
    b = Booster(n_estimators=3, n_threads=n)
    b.fit(X, y)
    b.predict_raw(X)
    counts[name] = threads()
    models[name] = b.serialize().hex()
print(json.dumps(dict(counts=counts, same=len({models[k] for k in ("default", "one", "three")}) == 1)))
"""


def test_n_threads_sizes_the_calls_of_its_booster_only():
    done = run_capped(COUNT_THREADS, env={"OMP_NUM_THREADS": "1"}, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    counts = result["counts"]
    # OMP_NUM_THREADS=1: no worker thread until a booster asks for three.
    assert counts["default"] == counts["one"]
    assert counts["three"] == counts["default"] + 2
    assert result["same"]
