"""split_mode and the environment switches of the oblique search."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from vorlent_core import Booster

from helpers import planted_binary

X, Y = planted_binary(n=2500, d=5, seed=31)


def train(**params):
    b = Booster(n_estimators=8, **params)
    b.fit(X, Y)
    return b


def is_axis_only(b):
    return (np.all(b.interaction_importances() == 0)
            and np.array_equal(b.feature_importances(), b.coefficient_importances()))


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in ("VRL_AXIS", "VRL_FULL", "VRL_K", "VRL_DUMP"):
        monkeypatch.delenv(name, raising=False)


def test_split_modes():
    assert not is_axis_only(train(split_mode=0))
    assert not is_axis_only(train(split_mode=2))
    assert is_axis_only(train(split_mode=1))
    assert is_axis_only(train(split_mode=7))


def test_axis_switch(monkeypatch):
    reference = train().predict_raw(X)
    monkeypatch.setenv("VRL_AXIS", "0")
    np.testing.assert_array_equal(train().predict_raw(X), reference)
    monkeypatch.setenv("VRL_AXIS", "")
    np.testing.assert_array_equal(train().predict_raw(X), reference)
    monkeypatch.setenv("VRL_AXIS", "1")
    assert is_axis_only(train())


def test_full_switch_turns_the_uncapped_search_on(monkeypatch):
    uncapped = train(split_mode=2).predict_raw(X)
    monkeypatch.setenv("VRL_FULL", "1")
    np.testing.assert_array_equal(train(split_mode=1).predict_raw(X), uncapped)
    np.testing.assert_array_equal(train(split_mode=0).predict_raw(X), uncapped)


def test_keep_top_switch(monkeypatch):
    reference = train().predict_raw(X)
    monkeypatch.setenv("VRL_K", "abc")  # not a number: no limit
    np.testing.assert_array_equal(train().predict_raw(X), reference)
    monkeypatch.setenv("VRL_K", "1")
    assert not np.array_equal(train().predict_raw(X), reference)


def test_dump_writes_one_header_and_a_line_per_candidate(tmp_path, monkeypatch):
    path = tmp_path / "dump.txt"
    monkeypatch.setenv("VRL_DUMP", str(path))
    dumped = train(max_depth=2).predict_raw(X)
    monkeypatch.delenv("VRL_DUMP")
    # The dump evaluates sequentially, which must not change the model.
    np.testing.assert_array_equal(train(max_depth=2).predict_raw(X), dumped)
    lines = path.read_text().splitlines()
    headers = [i for i, line in enumerate(lines) if line.startswith("#NODE ")]
    assert headers and headers[0] == 0
    for start, end in zip(headers, headers[1:] + [len(lines)]):
        rows, count = map(int, lines[start].split()[1:])
        assert rows >= 20
        assert end - start - 1 == count
        for line in lines[start + 1:end]:
            prescore, gain = map(float, line.split(","))
            assert prescore >= 0 and gain >= 0


def test_dump_stops_after_500_nodes(tmp_path):
    path = tmp_path / "dump.txt"
    script = textwrap.dedent(
        """
        import numpy as np
        from vorlent_core import Booster
        rng = np.random.default_rng(0)
        X = rng.normal(size=(400, 3))
        y = (X[:, 0] + X[:, 1] > 0).astype(float)
        Booster(n_estimators=200, max_depth=3, min_samples=1).fit(X, y)
        """
    )
    env = dict(os.environ, VRL_DUMP=str(path))
    subprocess.run([sys.executable, "-c", script], env=env, check=True)
    assert path.read_text().count("#NODE") == 500
