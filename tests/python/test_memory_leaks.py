"""A thousand cycles of every call, failing ones included, leave resident memory flat.

Resident memory is read from /proc/self/statm after a warm-up that lets the allocator and
NumPy reach their steady state. Under AddressSanitizer (whose quarantine holds freed
memory back on purpose) the test is skipped; there LeakSanitizer checks the C++ tests.
"""

import os

import numpy as np
import pytest
import vorlent_core as vc
from vorlent_core import Booster

from helpers import planted_binary, sanitized

pytestmark = [
    pytest.mark.skipif(sanitized(), reason="sanitizer quarantine"),
    pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc"),
]

X, Y = planted_binary(n=200, d=4, seed=9, nan_share=0.05)
CODES = (np.abs(np.nan_to_num(X[:, 0])) * 3).astype(np.int64)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cycle(i):
    b = Booster(n_estimators=3, max_depth=3, objective=i % 3, colsample=0.8, subsample=0.9)
    y = Y if i % 3 == 0 else Y + (i % 3 == 2) * (X[:, 1] > 0)
    b.fit(X, y, X_val=X[:40], y_val=y[:40], es_patience=2)
    b.fit_more(X, y, 1)
    b.predict_raw(X)
    b.predict_proba(X)
    b.explain(X)
    b.feature_importances()
    b.interaction_importances()
    loaded = Booster()
    loaded.deserialize(b.serialize())
    folds = vc.make_folds(Y, 4, i, True)
    _, full_map, gmean = vc.te_fit_transform(CODES, Y, folds, 5, 4)
    vc.te_transform(CODES, full_map, gmean)
    # The failure paths allocate messages and exceptions; they must free them too.
    for bad in (
        lambda: b.fit(X, Y[:-1]),
        lambda: loaded.deserialize(b"\x00" * 50),
        lambda: b.predict_raw(X[:, :0]),
        lambda: vc.te_fit_transform(CODES, Y, folds, -1, 4),
    ):
        with pytest.raises(ValueError):
            bad()


def test_a_thousand_cycles_leave_resident_memory_flat():
    for i in range(150):
        cycle(i)
    start = resident_bytes()
    for i in range(1000):
        cycle(i)
    grown = resident_bytes() - start
    # A leak of even one small array per cycle (200 doubles) would add 1.6 MB.
    assert grown < 1_000_000, f"resident memory grew by {grown} bytes over 1000 cycles"
