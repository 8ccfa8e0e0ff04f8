import os

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def pytest_configure(config):
    # The suite must not depend on the machine's default thread count.
    os.environ.setdefault("OMP_NUM_THREADS", "2")


# Tests of the layers above the core, which the sanitizer run leaves out: they are marked
# here, by what they use, so that a new test in these files is marked without being told.
ABOVE_THE_CORE = {
    "test_plotting.py": "plot",
    "test_plotting_geometry.py": "plot",
    "test_cli.py": "cli",
}


def pytest_collection_modifyitems(config, items):
    for item in items:
        marker = ABOVE_THE_CORE.get(item.path.name)
        if marker is not None:
            item.add_marker(marker)
        # The Dask tests' client fixture starts a LocalCluster of worker processes.
        if "client" in getattr(item, "fixturenames", ()):
            item.add_marker("cluster")
