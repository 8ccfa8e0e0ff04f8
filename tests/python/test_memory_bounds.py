"""Calls whose memory grows with the columns, the classes or the parameters rather than the
data: each is refused with ValueError within a second and changes nothing, or it runs in
bounded memory.

Every case runs in a child interpreter whose address space is capped a fixed budget above
what it had mapped at the start (the module reads the cap as the memory available), with a
timeout: a crash or a runaway allocation fails the test, not the run.
"""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from helpers import sanitized

GB = 1 << 30

# AddressSanitizer maps its shadow memory as it goes, which an address-space cap breaks.
pytestmark = pytest.mark.skipif(sanitized(), reason="address-space caps and ASan")

PRELUDE = """
import json, resource, sys, time
import numpy as np
import vorlent_core as vc
from model_craft import Model, leaf

def mapped():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

# Warm the thread pool first: its stacks count towards the cap.
vc.Booster(n_estimators=1).fit(np.random.default_rng(0).normal(size=(200, 3)), np.arange(200) % 2.0)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + BUDGET, resource.RLIM_INFINITY))

def state(b, X):
    blob = b.serialize()
    again = vc.Booster()
    again.deserialize(blob)  # the booster's own bytes load
    return blob, b.predict_raw(X).tobytes(), b.n_trees(), b.best_iteration()
"""


def run_capped(body: str, budget: int = GB, timeout: float = 300) -> dict:
    script = f"BUDGET = {budget}\n" + PRELUDE + textwrap.dedent(body)
    done = subprocess.run(
        [sys.executable, "-c", script],
        check=False,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=pathlib.Path(__file__).parent,  # for model_craft
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- Refused before any change ------------------------------------------------------------


def test_needs_beyond_memory_are_refused_at_once_and_leave_the_model_as_it_was():
    out = run_capped(
        """
        rng = np.random.default_rng(1)
        X = rng.normal(size=(300, 4))
        results = {}

        def refused(name, b, call):
            before = state(b, X)
            start = time.perf_counter()
            try:
                call()
            except ValueError as e:
                results[name] = dict(message=str(e), seconds=time.perf_counter() - start,
                                     kept=state(b, X) == before)
            else:
                results[name] = dict(message=None)

        b = vc.Booster(objective=2, n_estimators=3)
        b.fit(X, np.arange(300) % 3.0)
        # Validation scores of 100000 rows times 1000000 classes: 800 GB.
        refused("validation scores", b, lambda: b.fit(
            np.zeros((20, 4)), np.r_[999_999.0, np.zeros(19)], X_val=np.zeros((100_000, 4)),
            y_val=np.zeros(100_000), es_patience=2))
        # Per-leaf class vectors: 600 trees of up to 16 leaves of 100000 classes, 7.7 GB,
        # while the scores of 100 rows take 240 MB.
        many = vc.Booster(objective=2, n_estimators=600)
        many.fit(X, np.arange(300) % 3.0)
        refused("leaf class vectors", many,
                lambda: many.fit(np.zeros((100, 3)), np.r_[99_999.0, np.zeros(99)]))
        # A binary model whose header claims 2^20 outputs: either the reader refuses it, or
        # continued training must refuse the 2^20 scores per row.
        model = Model(objective=0, n_outputs=2**20, n_features=1, learning_rate=0.1)
        model.trees = [[leaf(0.5)]]
        claimed = vc.Booster()
        try:
            claimed.deserialize(model.pack())
        except ValueError as e:
            results["claimed outputs"] = dict(message=str(e), seconds=0.0, kept=True)
        else:
            x1 = np.zeros((5000, 1))
            before = claimed.serialize()
            start = time.perf_counter()
            try:
                claimed.fit_more(x1, np.zeros(5000), 1)
                results["claimed outputs"] = dict(message=None)
            except ValueError as e:
                results["claimed outputs"] = dict(
                    message=str(e), seconds=time.perf_counter() - start,
                    kept=claimed.serialize() == before)
        print(json.dumps(results))
        """
    )
    assert set(out) == {
        "validation scores",
        "leaf class vectors",
        "claimed outputs",
    }
    for name, r in out.items():
        assert r["message"] is not None, f"{name}: not refused"
        assert r["kept"], f"{name}: the refusal changed the booster"
        assert r["seconds"] < 1.0, f"{name}: refused only after {r['seconds']:.2f} s"
    assert "more than half" in out["leaf class vectors"]["message"]
    assert "leaves" in out["leaf class vectors"]["message"]


# --- Bounded memory ------------------------------------------------------------------------

# Cases whose working memory grew with the square of the column count (4000 columns took
# 3.6 GB, 100 columns with 65536 bins 5 GB): each must train within 1.25 GB of address
# space, which holds the pair batches.
# benchmarks/bench_memory.py --cases measures the full-size cases.
WIDE_CASES = [
    ("20 x 2000", 20, 2000, {"n_estimators": 1}),
    ("20 x 4000", 20, 4000, {"n_estimators": 1}),
    ("50 x 100 lineage", 50, 100, {"n_estimators": 2, "max_lineage": 1, "max_bins": 65536}),
]


@pytest.mark.slow
@pytest.mark.parametrize("name,rows,cols,params", WIDE_CASES, ids=[c[0] for c in WIDE_CASES])
def test_wide_inputs_train_in_bounded_memory(name, rows, cols, params):
    out = run_capped(
        f"""
        rng = np.random.default_rng(0)
        X = rng.normal(size=({rows}, {cols}))
        b = vc.Booster(**{params!r})
        b.fit(X, (X[:, 0] > 0) * 1.0)
        p = b.predict_raw(X)
        print(json.dumps(dict(trees=b.n_trees(), finite=bool(np.isfinite(p).all()))))
        """,
        budget=GB + GB // 4,
    )
    assert out == {"trees": params["n_estimators"], "finite": True}
