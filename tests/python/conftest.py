import os

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def pytest_configure(config):
    # The suite must not depend on the machine's default thread count.
    os.environ.setdefault("OMP_NUM_THREADS", "2")
