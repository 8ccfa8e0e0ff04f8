"""The benchmark suite's contenders and the child process that measures one of them.

Every system trains with the settings the libraries share: depth 4 (16 leaves), 64 bins,
learning rate 0.12, L2 term 1, at least 10 rows per leaf or split where the library has
such a knob, no row or column sampling. A child process loads one cached dataset, takes
its resident size with the data loaded as the baseline, fits, reads its peak resident size
since the baseline, and then times prediction, explanation and (vorlent) Shapley values; it
prints one JSON line.

    python benchmarks/suite_systems.py '{"job": "fit", "system": "LightGBM", ...}'

Threads come from the environment the parent sets (OMP_NUM_THREADS, OMP_WAIT_POLICY) and
are passed on to each library's own knob as well.
"""

from __future__ import annotations

import json
import os
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import suite_data
from suite_data import BINARY, REGRESSION
from timing import best_seconds

DEPTH = 4
LEAVES = 16
BINS = 64
LEARNING_RATE = 0.12
LAMBDA = 1.0
MIN_ROWS = 10
# LightGBM's early-stopping patience in rounds, for its best test loss.
PATIENCE = 50
# Seconds under which a curve's timing is repeated (the fastest run counts).
SHORT_SECONDS = 5.0

VORLENT = {
    "vorlent split_mode 0": {"split_mode": 0, "max_lineage": 0},
    "vorlent split_mode 1": {"split_mode": 1, "max_lineage": 0},
    "vorlent split_mode 2": {"split_mode": 2, "max_lineage": 0},
    "vorlent max_lineage 2": {"split_mode": 0, "max_lineage": 2},
}
PEERS = ["LightGBM", "XGBoost hist", "sklearn HistGB"]
SYSTEMS = list(VORLENT) + PEERS
# Tree counts at which stepped training (vorlent's fit then fit_more, scikit-learn's warm
# start) is evaluated; LightGBM and XGBoost are evaluated at the same counts.
GRID = [5, 10, 20, 30, 45, 60, 90, 120, 180, 240, 360, 480, 720, 960, 1440, 2000]


def threads() -> int:
    return int(os.environ.get("OMP_NUM_THREADS", "2"))


def memory_status() -> dict:
    """VmRSS and VmHWM (the peak) of this process image, in bytes."""
    out = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                out[name] = int(value.split()[0]) * 1024
    return out


def start_peak() -> int:
    """Resets the peak resident size to the current one and returns that baseline.

    getrusage's ru_maxrss cannot serve: Linux carries the parent's peak across fork and
    exec into it, so a child of a parent holding a large dataset starts with the parent's
    peak. VmHWM belongs to the process image alone, and writing 5 to clear_refs resets it.
    """
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    return memory_status()["VmRSS"]


# --- models ------------------------------------------------------------------------------


def import_library(system: str) -> None:
    """Loads the system's library before the memory baseline is taken."""
    if system in VORLENT:
        import vorlent_core  # noqa: F401
    elif system == "LightGBM":
        import lightgbm  # noqa: F401
    elif system == "XGBoost hist":
        import xgboost  # noqa: F401
    else:
        import sklearn.ensemble  # noqa: F401
        import threadpoolctl  # noqa: F401


def categorical_columns(meta) -> list[int]:
    return [j for j, flag in enumerate(meta.categorical) if flag]


def make(system: str, meta, trees: int):
    n_threads = threads()
    if system in VORLENT:
        import vorlent_core as vc

        return vc.Booster(
            n_estimators=trees,
            learning_rate=LEARNING_RATE,
            max_depth=DEPTH,
            max_bins=BINS,
            reg_lambda=LAMBDA,
            min_samples=MIN_ROWS,
            objective=meta.objective,
            categorical=meta.categorical,
            **VORLENT[system],
        )
    if system == "LightGBM":
        import lightgbm as lgb

        kind = lgb.LGBMRegressor if meta.objective == REGRESSION else lgb.LGBMClassifier
        return kind(
            n_estimators=trees,
            learning_rate=LEARNING_RATE,
            num_leaves=LEAVES,
            max_depth=DEPTH,
            max_bin=BINS,
            reg_lambda=LAMBDA,
            min_child_samples=MIN_ROWS,
            n_jobs=n_threads,
            verbose=-1,
        )
    if system == "XGBoost hist":
        import xgboost as xgb

        kind = xgb.XGBRegressor if meta.objective == REGRESSION else xgb.XGBClassifier
        return kind(
            n_estimators=trees,
            learning_rate=LEARNING_RATE,
            max_depth=DEPTH,
            max_bin=BINS,
            reg_lambda=LAMBDA,
            tree_method="hist",
            n_jobs=n_threads,
            feature_types=["c" if flag else "q" for flag in meta.categorical],
            enable_categorical=bool(categorical_columns(meta)),
        )
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

    kind = (
        HistGradientBoostingRegressor
        if meta.objective == REGRESSION
        else HistGradientBoostingClassifier
    )
    return kind(
        max_iter=trees,
        learning_rate=LEARNING_RATE,
        max_depth=DEPTH,
        max_leaf_nodes=LEAVES,
        max_bins=BINS,
        l2_regularization=LAMBDA,
        min_samples_leaf=MIN_ROWS,
        early_stopping=False,
        categorical_features=categorical_columns(meta) or None,
    )


def fit(system: str, model, meta, X, y, **extra) -> None:
    if system == "LightGBM":
        model.fit(X, y, categorical_feature=categorical_columns(meta) or "auto", **extra)
    else:
        model.fit(X, y, **extra)


def raw(system: str, model, X: np.ndarray, rounds: int | None = None) -> np.ndarray:
    """Raw scores (log-odds, per-class scores or the regression value), rows first."""
    if system in VORLENT:
        return model.predict_raw(X)
    if system == "LightGBM":
        return model.predict(X, raw_score=True, num_iteration=rounds)
    if system == "XGBoost hist":
        span = (0, rounds) if rounds else None
        return model.predict(X, output_margin=True, iteration_range=span)
    if hasattr(model, "decision_function"):
        return model.decision_function(X)
    return model.predict(X)


def contributions(system: str, model, X: np.ndarray):
    """A callable giving per-feature contributions of X, or None when the system has none;
    building XGBoost's DMatrix is left out of the timed call."""
    if system in VORLENT:
        return lambda: model.explain(X)
    if system == "LightGBM":
        return lambda: model.predict(X, pred_contrib=True)
    if system == "XGBoost hist":
        import xgboost as xgb

        matrix = xgb.DMatrix(
            X,
            nthread=threads(),
            feature_types=model.feature_types,
            enable_categorical=model.enable_categorical,
        )
        return lambda: model.get_booster().predict(matrix, pred_contribs=True)
    return None


def shapley(system: str, model, X: np.ndarray):
    """A callable giving vorlent's exact Shapley values of X, or None for the peers, whose
    contributions (LightGBM pred_contrib, XGBoost pred_contribs) already are exact
    path-dependent Shapley values and are timed as their explanation."""
    if system in VORLENT:
        return lambda: model.shap_values(X)
    return None


def rounds_of(system: str, model) -> int:
    if system in VORLENT:
        return model.n_trees()
    if system == "LightGBM":
        return model.booster_.current_iteration()
    if system == "XGBoost hist":
        return model.get_booster().num_boosted_rounds()
    return model.n_iter_


def test_loss(objective: int, y: np.ndarray, scores: np.ndarray) -> float:
    """Log-loss (binary), multiclass log-loss or RMSE of raw scores."""
    if objective == REGRESSION:
        return float(np.sqrt(np.mean((scores - y) ** 2)))
    if objective == BINARY:
        # log(1 + exp(-s)) for a positive row, log(1 + exp(s)) for a negative one.
        signed = np.where(y == 1, -scores, scores)
        return float(np.mean(np.logaddexp(0.0, signed)))
    shifted = scores - scores.max(axis=1, keepdims=True)
    log_p = shifted - np.log(np.exp(shifted).sum(axis=1, keepdims=True))
    return float(-np.mean(log_p[np.arange(len(y)), y.astype(np.int64)]))


def rows_block(X: np.ndarray, rows: int) -> np.ndarray:
    """rows rows taken from X cyclically (the test rows repeated as often as needed)."""
    return np.ascontiguousarray(np.resize(X, (rows, X.shape[1])))


# --- jobs --------------------------------------------------------------------------------


def job_fit(job: dict) -> dict:
    system = job["system"]
    meta, data = suite_data.load(pathlib.Path(job["folder"]))
    import_library(system)
    baseline = start_peak()
    model = make(system, meta, job["trees"])
    cpu = time.process_time()
    start = time.perf_counter()
    fit(system, model, meta, data["X_train"], data["y_train"])
    seconds = time.perf_counter() - start
    cpu = time.process_time() - cpu
    peak = memory_status()["VmHWM"] - baseline
    out = {
        "fit_seconds": seconds,
        # CPU seconds of all threads: cpu / wall is how many cores the fit really had.
        "fit_cpu_seconds": cpu,
        "fit_peak_bytes": peak,
        "baseline_bytes": baseline,
        "rounds": rounds_of(system, model),
        "test_loss": test_loss(meta.objective, data["y_test"], raw(system, model, data["X_test"])),
    }
    if job.get("predict_rows"):
        block = rows_block(data["X_test"], job["predict_rows"])
        out["predict_rows"] = len(block)
        out["predict_seconds"] = best_seconds(lambda: raw(system, model, block), 3)
    if job.get("explain_rows"):
        block = rows_block(data["X_test"], job["explain_rows"])
        explain = contributions(system, model, block)
        if explain is not None:
            out["explain_rows"] = len(block)
            out["explain_seconds"] = best_seconds(explain, 2)
        shap = shapley(system, model, block)
        if shap is not None:
            out["shap_rows"] = len(block)
            out["shap_seconds"] = best_seconds(shap, 2)
    return out


def job_curve(job: dict) -> dict:
    """Test loss against cumulative fit seconds over growing tree counts."""
    system = job["system"]
    meta, data = suite_data.load(pathlib.Path(job["folder"]))
    import_library(system)
    if system in ("LightGBM", "XGBoost hist"):
        return native_curve(system, meta, data, job["max_trees"], job["time_cap"])
    out = stepped_curve(system, meta, data, job["max_trees"], job["time_cap"])
    target = job.get("target")
    hit = next((p for p in out["points"] if p["test"] <= target), None) if target else None
    if hit is not None:
        # Steps pay for resuming; a fresh fit of the reaching count gives its true time,
        # the best of three when it is short.
        seconds = float("inf")
        for _ in range(3):
            model = make(system, meta, hit["rounds"])
            start = time.perf_counter()
            fit(system, model, meta, data["X_train"], data["y_train"])
            seconds = min(seconds, time.perf_counter() - start)
            if seconds > SHORT_SECONDS:
                break
        scores = raw(system, model, data["X_test"])
        out["reach"] = {
            "rounds": hit["rounds"],
            "seconds": seconds,
            "test": test_loss(meta.objective, data["y_test"], scores),
        }
    return out


def stepped_curve(system: str, meta, data: dict, max_trees: int, time_cap: float) -> dict:
    """vorlent (fit, then fit_more) and scikit-learn (warm start) trained in steps up the
    grid; a step's seconds include what the library redoes when it resumes (vorlent bins
    the data and scores it with the trees so far). Stops after two grid points without a
    better validation loss, at max_trees or once time_cap seconds are spent."""
    counts = [c for c in GRID if c <= max_trees]
    model = make(system, meta, counts[0])
    if system not in VORLENT:
        model.set_params(warm_start=True)
    X, y = data["X_train"], data["y_train"]
    points = []
    elapsed = 0.0
    best_val = float("inf")
    stall = 0
    previous = 0
    for count in counts:
        start = time.perf_counter()
        if system in VORLENT and previous:
            model.fit_more(X, y, count - previous)
        elif system in VORLENT:
            fit(system, model, meta, X, y)
        else:
            model.set_params(max_iter=count)
            fit(system, model, meta, X, y)
        elapsed += time.perf_counter() - start
        previous = count
        val = test_loss(meta.objective, data["y_val"], raw(system, model, data["X_val"]))
        test = test_loss(meta.objective, data["y_test"], raw(system, model, data["X_test"]))
        points.append(
            {"rounds": rounds_of(system, model), "seconds": elapsed, "val": val, "test": test}
        )
        stall = 0 if val < best_val else stall + 1
        best_val = min(best_val, val)
        if stall >= 2 or elapsed > time_cap:
            break
    best = min(points, key=lambda p: p["val"])
    return {"points": points, "best_by_val": best, "stopped_seconds": elapsed}


def native_curve(system: str, meta, data: dict, max_trees: int, time_cap: float) -> dict:
    """LightGBM and XGBoost with their own early stopping on the validation split
    (PATIENCE rounds), every round's time taken by a callback; the staged test losses are
    computed afterwards at the grid counts and at the best round. A short training runs
    three times and each round keeps its earliest time stamp."""
    runs = []
    while len(runs) < 3:
        runs.append(native_run(system, meta, data, max_trees, time_cap))
        if runs[-1][0][-1] > SHORT_SECONDS:
            break
    stamps, model, best_rounds = runs[-1]
    length = min(len(run[0]) for run in runs)
    stamps = [min(run[0][i] for run in runs) for i in range(length)]
    counts = sorted({c for c in GRID if c <= len(stamps)} | {best_rounds})
    points = []
    for count in counts:
        val = test_loss(meta.objective, data["y_val"], raw(system, model, data["X_val"], count))
        test = test_loss(meta.objective, data["y_test"], raw(system, model, data["X_test"], count))
        points.append({"rounds": count, "seconds": stamps[count - 1], "val": val, "test": test})
    best = next(p for p in points if p["rounds"] == best_rounds)
    return {"points": points, "best_by_val": best, "stopped_seconds": stamps[-1], "runs": len(runs)}


def native_run(system: str, meta, data: dict, max_trees: int, time_cap: float):
    """One early-stopped training: the time stamp of every round, the model and its best
    round count."""
    stamps = []
    model = make(system, meta, max_trees)
    X, y = data["X_train"], data["y_train"]
    evals = [(data["X_val"], data["y_val"])]
    start = time.perf_counter()
    if system == "LightGBM":
        import lightgbm as lgb

        def stamp(env) -> None:
            stamps.append(time.perf_counter() - start)

        fit(
            system,
            model,
            meta,
            X,
            y,
            eval_set=evals,
            callbacks=[stamp, lgb.early_stopping(PATIENCE, verbose=False)],
        )
        best_rounds = model.booster_.best_iteration or len(stamps)
    else:
        import xgboost as xgb

        class Stamp(xgb.callback.TrainingCallback):
            def after_iteration(self, booster, epoch, evals_log) -> bool:
                stamps.append(time.perf_counter() - start)
                return stamps[-1] > time_cap

        model.set_params(early_stopping_rounds=PATIENCE, callbacks=[Stamp()])
        fit(system, model, meta, X, y, eval_set=evals, verbose=False)
        best_rounds = model.best_iteration + 1
    return stamps, model, best_rounds


def main() -> int:
    job = json.loads(sys.argv[1])
    if job["job"] == "fit":
        out = job_fit(job)
    elif job["job"] == "curve":
        out = job_curve(job)
    else:
        raise ValueError(f"unknown job {job['job']!r}")
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
