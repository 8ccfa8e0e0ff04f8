"""The defaults benchmark's tables and verdicts: each table has its documented shape, split
and categorical columns, and the goal summary counts what the numbers say.

Nothing here is timed; a table whose package is missing is skipped (flights, the slowest to
build, is left to the benchmark itself).
"""

import importlib.util
import pathlib
import sys

import numpy as np
import pytest

pytest.importorskip("pandas")
pytest.importorskip("sklearn")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "benchmarks"))

import defaults_data
import defaults_report

# Rows, columns, classes (1: regression) and categorical columns, as documented.
SHAPES = {
    "caravan": (5822, 85, 2, []),
    "breast_cancer": (569, 30, 2, []),
    "digits": (1797, 64, 10, []),
    "diamonds_cut": (53940, 9, 5, ["color", "clarity"]),
    "diamonds": (53940, 9, 1, ["cut", "color", "clarity"]),
    "bikeshare": (8645, 12, 1, ["mnth", "hr", "weathersit"]),
    "wage": (
        3000,
        9,
        1,
        ["maritl", "race", "education", "region", "jobclass", "health"] + ["health_ins"],
    ),
}


@pytest.mark.parametrize("key", sorted(SHAPES))
def test_each_table_has_its_documented_shape_split_and_categories(key):
    module = defaults_data.PACKAGES[key][1]
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed")
    table = defaults_data.build(key)
    rows, columns, classes, categorical = SHAPES[key]
    assert table.shape == (rows, columns)
    assert table.n_classes == classes and table.categorical == categorical
    parts = table.parts
    sizes = [len(parts[f"y_{p}"]) for p in ("train", "val", "test")]
    # 60/20/20, each part's rows matching its targets and the columns the same everywhere.
    assert sizes[1] == pytest.approx(0.2 * rows, abs=1)
    assert sizes[2] == pytest.approx(0.2 * rows, abs=1)
    for p in ("train", "val", "test"):
        frame = parts[f"X_{p}"]
        assert len(frame) == len(parts[f"y_{p}"]) and list(frame.columns) == list(
            parts["X_train"].columns
        )
        for column in frame.columns:
            assert (str(frame[column].dtype) == "category") == (column in categorical)
    if classes > 1:
        # Stratified: every class keeps its share in the test part.
        for c in range(classes):
            share = np.mean(parts["y_test"] == c)
            assert share == pytest.approx(np.mean(parts["y_train"] == c), abs=0.01)
    # The same seed gives the same split.
    again = defaults_data.build(key)
    np.testing.assert_array_equal(again.parts["y_test"], parts["y_test"])


def run(loss, cpu, wall=None):
    return {"test_loss": loss, "fit_cpu_seconds": cpu, "fit_seconds": wall or cpu, "load": 1.0}


def test_the_summary_counts_wins_against_the_best_peer_and_ratios_to_lightgbm():
    tables = {f"t{i}": {} for i in range(8)}
    fits = []
    for i, key in enumerate(tables):
        fits += [
            {"table": key, "system": "LightGBM", "runs": [run(1.0, 2.0)]},
            {"table": key, "system": "XGBoost", "runs": [run(0.9 if i < 2 else 1.1, 1.0)]},
            # Two runs: the one with fewer CPU seconds counts.
            {"table": key, "system": "sklearn HistGB", "runs": [run(1.2, 9.0), run(1.2, 3.0)]},
            {"table": key, "system": "mine", "runs": [run(0.95, 2.0 * (i + 1) / 2)]},
        ]
    (got,) = defaults_report.summary({"tables": tables, "fits": fits})
    # Best peer: XGBoost's 0.9 on two tables (mine loses), LightGBM's 1.0 on six (mine wins).
    assert got["wins"] == 6 and got["tables"] == 8
    cpu = [(i + 1) / 2 for i in range(8)]
    assert got["cpu_max"] == pytest.approx(max(cpu))
    assert got["cpu_median"] == pytest.approx(np.median(cpu))
    assert got["loss_ratio_max"] == pytest.approx(0.95 / 0.9)
    assert not got["meets"]  # six wins, but 4x LightGBM's time at worst
    fits = [f for f in fits if f["system"] != "mine"] + [
        {"table": key, "system": "mine", "runs": [run(0.95, 2.0)]} for key in tables
    ]
    (fast,) = defaults_report.summary({"tables": tables, "fits": fits})
    assert fast["wins"] == 6 and fast["cpu_max"] == pytest.approx(1.0) and fast["meets"]
