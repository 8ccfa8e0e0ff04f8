"""The benchmark suite's own arithmetic: losses, row blocks, goal verdicts, profile parsing.

Timings are never asserted here; these tests check that the report says what the numbers
say.
"""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "benchmarks"))

import suite_data
import suite_profile
import suite_report
import suite_systems


def naive_binary_log_loss(y, scores):
    p = 1.0 / (1.0 + np.exp(-scores))
    return -np.mean([np.log(pi) if yi == 1 else np.log(1.0 - pi) for yi, pi in zip(y, p)])


def naive_multiclass_log_loss(y, scores):
    total = 0.0
    for row, cls in zip(scores, y):
        e = np.exp(row)
        total -= np.log(e[int(cls)] / e.sum())
    return total / len(y)


class TestLosses:
    def test_binary_matches_the_direct_formula(self, rng):
        y = rng.integers(0, 2, 200).astype(np.float64)
        scores = rng.normal(scale=3.0, size=200)
        got = suite_systems.test_loss(suite_data.BINARY, y, scores)
        assert got == pytest.approx(naive_binary_log_loss(y, scores), rel=1e-12)

    def test_binary_stays_finite_for_confident_misses(self):
        got = suite_systems.test_loss(
            suite_data.BINARY, np.array([1.0, 0.0]), np.array([-800.0, 800.0])
        )
        assert got == pytest.approx(800.0)

    def test_multiclass_matches_the_direct_formula(self, rng):
        y = rng.integers(0, 4, 150).astype(np.float64)
        scores = rng.normal(scale=2.0, size=(150, 4))
        got = suite_systems.test_loss(suite_data.MULTICLASS, y, scores)
        assert got == pytest.approx(naive_multiclass_log_loss(y, scores), rel=1e-12)

    def test_multiclass_is_shift_invariant_per_row(self, rng):
        y = rng.integers(0, 3, 50).astype(np.float64)
        scores = rng.normal(size=(50, 3))
        shifted = scores + rng.normal(scale=100.0, size=(50, 1))
        assert suite_systems.test_loss(2, y, shifted) == pytest.approx(
            suite_systems.test_loss(2, y, scores), rel=1e-9
        )

    def test_regression_is_rmse(self):
        y = np.array([1.0, 2.0, 3.0, 4.0])
        scores = np.array([1.0, 2.0, 3.0, 8.0])
        assert suite_systems.test_loss(suite_data.REGRESSION, y, scores) == pytest.approx(2.0)


def test_rows_block_repeats_whole_rows(rng):
    X = rng.normal(size=(7, 3))
    block = suite_systems.rows_block(X, 17)
    assert block.shape == (17, 3) and block.flags["C_CONTIGUOUS"]
    for i in range(17):
        np.testing.assert_array_equal(block[i], X[i % 7])


# --- report ------------------------------------------------------------------------------


def fit(
    dataset,
    system,
    seconds,
    trees=60,
    threads=2,
    rounds=None,
    peak=0,
    predict=None,
    explain=None,
    shap=None,
    phase="matched",
):
    run = {
        "fit_seconds": seconds,
        "fit_cpu_seconds": seconds * threads,
        "fit_peak_bytes": peak,
        "rounds": rounds or trees,
        "test_loss": 0.5,
        "load": 1.0,
    }
    if predict:
        run.update(predict_rows=1000, predict_seconds=1000 / predict)
    if explain:
        run.update(explain_rows=100, explain_seconds=100 / explain)
    if shap:
        run.update(shap_rows=100, shap_seconds=100 / shap)
    return {
        "dataset": dataset,
        "system": system,
        "trees": trees,
        "threads": threads,
        "phase": phase,
        "runs": [run],
    }


def dataset(name, rows, cols, real):
    return {
        "name": name,
        "key": name,
        "objective": 0,
        "n_classes": 2,
        "categorical": [0] * cols,
        "real": real,
        "rows": {"train": rows, "val": 10, "test": 10},
    }


def curve_entry(ds, system, points, best_rounds=None, reach=None):
    pts = [{"rounds": r, "seconds": s, "val": t, "test": t} for r, s, t in points]
    best = next(p for p in pts if p["rounds"] == best_rounds) if best_rounds else pts[-1]
    out = {
        "dataset": ds,
        "system": system,
        "load": 1.0,
        "time_cap": 100.0,
        "points": pts,
        "best_by_val": best,
        "stopped_seconds": pts[-1]["seconds"],
    }
    if reach:
        out["reach"] = reach
    return out


@pytest.fixture
def results():
    mib = 2**20
    return {
        "meta": {"cores": 2},
        "datasets": {
            "synthetic_1m": dataset("synthetic 1,000 x 4", 1000, 4, False),
            "synthetic_10m": dataset("synthetic 10,000 x 4", 10000, 4, False),
            "a": dataset("a 100 x 2", 100, 2, True),
            "b": dataset("b 100 x 2", 100, 2, True),
        },
        "fits": [
            fit("synthetic_1m", "LightGBM", 2.0, predict=1e6, explain=1e4),
            fit(
                "synthetic_1m",
                "vorlent split_mode 1",
                1.8,
                predict=2e6,
                explain=1e5,
                shap=1.5e4,
                peak=mib // 100,
            ),
            fit(
                "synthetic_1m",
                "vorlent split_mode 0",
                20.0,
                predict=1.2e6,
                explain=6e4,
                shap=3e3,
                peak=mib,
            ),
            fit("synthetic_1m", "vorlent split_mode 0", 4.0, trees=10, phase="threads"),
            fit("synthetic_1m", "vorlent split_mode 0", 7.6, trees=10, threads=1, phase="threads"),
            fit("synthetic_1m", "vorlent split_mode 1", 3.0, threads=1, phase="threads"),
            fit("synthetic_10m", "vorlent split_mode 0", 40.0, trees=10),
            fit("synthetic_10m", "vorlent split_mode 1", 21.0),
            fit("synthetic_1m", "vorlent split_mode 1", 1.8, phase="threads"),
        ],
        "curves": [
            curve_entry("a", "LightGBM", [(10, 1.0, 0.5), (20, 2.0, 0.4), (30, 3.0, 0.45)], 20),
            curve_entry(
                "a",
                "vorlent split_mode 0",
                [(10, 0.5, 0.45), (20, 1.5, 0.39)],
                reach={"rounds": 20, "seconds": 1.2, "test": 0.39},
            ),
            curve_entry("b", "LightGBM", [(10, 1.0, 0.3)], 10),
            curve_entry("b", "vorlent split_mode 0", [(10, 2.0, 0.31)]),
        ],
        "profile": None,
        "skipped": [],
    }


def verdicts(results):
    return {row[0].split(".")[0]: row for row in suite_report.goals(results)}


class TestGoals:
    def test_each_goal_reads_its_ratio(self, results):
        got = verdicts(results)
        assert "0.90x LightGBM" in got["1"][1] and got["1"][2] == "**met**"
        # 20 s over 60 rounds against 2 s over 60: 10x per tree.
        assert "10.0x LightGBM" in got["2a"][1] and got["2a"][2] == "**not met**"
        assert "1 of 2" in got["2b"][1] and got["2b"][2] == "**met**"
        assert "split_mode 0 1.20x" in got["3a"][1] and got["3a"][2] == "**not met**"
        assert "split_mode 0 6.00x" in got["3b"][1] and got["3b"][2] == "**met**"
        assert "10.0-fold" in got["4a"][1] and "11.7-fold" in got["4a"][1]
        assert got["4a"][2] == "**not met**"
        assert "split_mode 0 1.90x" in got["4b"][1] and got["4b"][2] == "**not met**"

    def test_shapley_goal_sets_shap_values_against_lightgbm_pred_contrib(self, results):
        # LightGBM's pred_contrib (its explain figure): 1e4 rows/s.
        got = verdicts(results)["3c"]
        assert "split_mode 1 1.50x, split_mode 0 0.30x" in got[1] and got[2] == "**met**"
        results["fits"][2]["runs"][0]["shap_seconds"] = 100 / 1e3
        got = verdicts(results)["3c"]
        assert "split_mode 0 0.10x" in got[1] and got[2] == "**not met**"
        del results["fits"][1]["runs"][0]["shap_seconds"]
        assert verdicts(results)["3c"][1] == "not measured"

    def test_reaching_uses_the_fresh_fit_time(self, results):
        # The stepped point says 1.5 s, the fresh fit of 20 rounds 1.2 s; LightGBM took 2 s.
        assert "a: 0.60x" in verdicts(results)["2b"][1]

    def test_memory_allowance_is_matrix_plus_codes_plus_a_quarter_less_the_matrix(self, results):
        x, codes = 1000 * 4 * 8, 1000 * 4 * 2
        assert suite_report.memory_budget(results, "synthetic_1m") == 1.25 * (x + codes) - x
        narrow = suite_report.memory_budget(results, "synthetic_1m", code_bytes=1)
        assert narrow == 1.25 * (x + codes / 2) - x
        # split_mode 0 used a whole MiB, far over the 18 kB allowed.
        assert verdicts(results)["4c"][2] == "**not met**"
        results["fits"][2]["runs"][0]["fit_peak_bytes"] = 1000
        results["fits"][1]["runs"][0]["fit_peak_bytes"] = 1000
        results["fits"][6]["runs"][0]["fit_peak_bytes"] = 1000
        results["fits"][7]["runs"][0]["fit_peak_bytes"] = 1000
        assert verdicts(results)["4c"][2] == "**met**"

    def test_missing_measurements_say_so(self):
        empty = suite_report.empty_results()
        assert all(row[2] == "not measured" for row in suite_report.goals(empty))

    def test_the_document_is_written(self, results, tmp_path):
        pytest.importorskip("matplotlib")
        results["skipped"].append({"what": "x", "why": "y", "command": "run z"})
        suite_report.write(results, tmp_path / "R.md", tmp_path)
        text = (tmp_path / "R.md").read_text()
        assert "## Goals" in text and "To measure: `run z`" in text
        assert (tmp_path / "results_curves.png").exists()
        # A rewrite keeps the sections other benchmarks wrote, once each, at the end, and
        # nothing else of the old file.
        kept = "\n".join(
            f"{heading} (a title)\n\n- figure {i}\n"
            for i, heading in enumerate(suite_report.KEPT_SECTIONS)
        )
        (tmp_path / "R.md").write_text(f"# stale report\n\nold lines\n\n{kept}## Other\n\nold\n")
        for _ in range(2):
            suite_report.write(results, tmp_path / "R.md", tmp_path)
            again = (tmp_path / "R.md").read_text()
            assert again == text.removesuffix("\n") + "\n\n" + kept


# --- profile -----------------------------------------------------------------------------


class TestProfile:
    @pytest.mark.parametrize(
        "symbol, phase",
        [
            ("vorlent::fill_columns(vorlent::Scratch&)", "moments / column fill"),
            ("vorlent::(anonymous namespace)::neighbour_moments(long)", "moments / column fill"),
            ("vorlent::screen_block_complete(vorlent::ScreenBlock const&)", "screening"),
            ("vorlent::fill_screen_block(vorlent::FeatureColumn const* const*)", "screening"),
            ("vorlent::pair_sums_block(vorlent::ScreenBlock const&)", "proposals"),
            ("vorlent::(anonymous namespace)::fast_scatter_any(int)", "evaluation"),
            ("vorlent::projected_cells(double const*, int)", "evaluation"),
            (
                (
                    "void vorlent::parallel_blocks<vorlent::fast_bins(double)::{lambda(long, "
                    "long)#1}>(long, bool, ...) [clone ._omp_fn.0]"
                ),
                "evaluation",
            ),
            (
                "void vorlent::build_bin_histograms<unsigned char>(int const*, int)",
                "bin histograms (axis search)",
            ),
            ("vorlent::grow_node(vorlent::Tree&, int)", "partition / node bookkeeping"),
            (
                (
                    "vorlent::(anonymous namespace)::partition_rows(vorlent::Node const&, "
                    "vorlent::TreeInput const&)"
                ),
                "partition / node bookkeeping",
            ),
            (
                (
                    "vorlent::parallel_for_dynamic<vorlent::(anonymous namespace)::bin_all("
                    "vorlent::MatrixView const&, int)::{lambda(long)#1}>"
                ),
                "binning",
            ),
        ],
    )
    def test_functions_fall_into_their_phase(self, symbol, phase):
        assert suite_profile.phase_of(symbol, "bench_fit") == phase

    def test_outside_code_is_other(self):
        assert suite_profile.phase_of("gomp_barrier_wait", "libgomp.so.1").startswith("other")
        assert suite_profile.phase_of("memcpy", "libc.so.6").startswith("other")

    def test_report_lines_parse(self):
        line = "    12.50%  bench_fit          [.] vorlent::screen_rows(int, long)"
        share, dso, kind, symbol = suite_profile.LINE.match(line).groups()
        assert (float(share), dso, kind) == (12.5, "bench_fit", ".")
        assert suite_profile.short_name(symbol) == "screen_rows"
