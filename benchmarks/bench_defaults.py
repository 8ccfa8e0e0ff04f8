"""Defaults against defaults: the test loss each system reaches, and the time it takes, with
the settings a user gets without tuning, on eight real tables (defaults_data.py).

    python benchmarks/bench_defaults.py                      # peers and every vorlent set
    python benchmarks/bench_defaults.py --only "vorlent d5"  # some systems (names below)
    python benchmarks/bench_defaults.py --deep               # time per tree at depths 4-8
    python benchmarks/bench_defaults.py --report-only        # table and plot from the file

Systems, each fit in its own process on 2 threads with OMP_WAIT_POLICY=PASSIVE:
  LightGBM    LGBMClassifier/LGBMRegressor defaults (31 leaves, 255 bins, learning rate
              0.1), up to 2,000 rounds, early stopping on the validation split (patience 50);
  XGBoost     XGBClassifier/XGBRegressor defaults (hist, depth 6, 256 bins, rate 0.3), up to
              2,000 rounds, early_stopping_rounds=50 on the validation split;
  sklearn     HistGradientBoosting* defaults (31 leaves, 255 bins, rate 0.1, patience 10)
              with max_iter 2,000 and early stopping on the validation split (X_val, y_val);
  vorlent ... the estimators with one candidate set of defaults, early stopping on the
              validation split through eval_set (the candidate's n_iter_no_change).

Categorical columns are pandas categories and every system reads them as categorical. The
fit time is wall and CPU seconds of fit() alone; the test loss is log-loss of predict_proba
(classification) or the RMSE of predict (regression) on the test split. Every measurement
goes to benchmarks/out/defaults.json as it is taken (--resume keeps those already there),
the report goes to stdout and the plot to benchmarks/results_defaults.png.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "2")
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))

import defaults_data
from timing import run_child

THREADS = 2
MAX_ROUNDS = 2000
PATIENCE = 50
PEERS = ["LightGBM", "XGBoost", "sklearn HistGB"]
# A fit shorter than REPEAT_SECONDS is repeated in the same process (at most REPEAT_FITS
# fits in all): on a shared machine the fastest of a few short fits is the least disturbed.
REPEAT_SECONDS, REPEAT_FITS = 3.0, 5
# The base of the candidate sets; each candidate below changes some of it.
VORLENT_BASE = {
    "n_estimators": 1000,
    "learning_rate": 0.1,
    "max_depth": 5,
    "max_bins": 255,
    "split_mode": "oblique",
    "max_pair_columns": 0,
    "n_iter_no_change": 20,
}
# Candidate default sets: name -> the estimator keywords that differ from VORLENT_BASE.
OWN_SPLIT = "vorlent d5 lr.1 b64 p4, own split"
CANDIDATES = {
    "vorlent old": {
        "n_estimators": 60,
        "learning_rate": 0.12,
        "max_depth": 4,
        "max_bins": 64,
        "n_iter_no_change": 10,
    },
    "vorlent d4 lr.1 b64": {"max_depth": 4, "max_bins": 64},
    "vorlent d4 lr.1 b255": {"max_depth": 4},
    "vorlent d5 lr.1 b64": {"max_bins": 64},
    "vorlent d5 lr.1 b255": {},
    "vorlent d6 lr.1 b64": {"max_depth": 6, "max_bins": 64},
    "vorlent d6 lr.1 b255": {"max_depth": 6},
    "vorlent d5 lr.05 b255": {"learning_rate": 0.05, "n_estimators": 2000},
    "vorlent d6 lr.05 b64": {
        "learning_rate": 0.05,
        "n_estimators": 2000,
        "max_depth": 6,
        "max_bins": 64,
    },
    "vorlent axis d6 lr.1 b255": {"max_depth": 6, "split_mode": "axis"},
    "vorlent axis d8 lr.1 b255": {"max_depth": 8, "split_mode": "axis"},
    "vorlent axis d6 lr.1 b64": {"max_depth": 6, "max_bins": 64, "split_mode": "axis"},
    "vorlent d4 lr.1 b64 p8": {"max_depth": 4, "max_bins": 64, "max_pair_columns": 8},
    "vorlent d5 lr.1 b64 p4": {"max_bins": 64, "max_pair_columns": 4},
    "vorlent d5 lr.1 b255 p4": {"max_pair_columns": 4},
    "vorlent d6 lr.1 b64 p4": {"max_depth": 6, "max_bins": 64, "max_pair_columns": 4},
    "vorlent d5 lr.15 b64 p4": {"learning_rate": 0.15, "max_bins": 64, "max_pair_columns": 4},
    "vorlent d5 lr.2 b64 p4": {"learning_rate": 0.2, "max_bins": 64, "max_pair_columns": 4},
    # The levers of the pairs branch, on the shipped set (measured with that branch's build).
    "vorlent d5 lr.1 b64 p4 best_of_kinds": {
        "max_bins": 64,
        "max_pair_columns": 4,
        "best_of_kinds": True,
    },
    "vorlent d5 lr.1 b64 p4 best_of_kinds learn_missing": {
        "max_bins": 64,
        "max_pair_columns": 4,
        "best_of_kinds": True,
        "learn_missing": True,
    },
    # The shipped set as a user gets it: no eval_set, 10% of the training rows held back.
    OWN_SPLIT: {"max_bins": 64, "max_pair_columns": 4},
}
SYSTEMS = PEERS + list(CANDIDATES)
# The candidate the estimators ship with as their defaults.
SHIPPED = "vorlent d5 lr.1 b64 p4"
# Depths of the deep-tree check and the rounds each one grows (no early stopping).
DEEP_DEPTHS = [4, 5, 6, 7, 8]
DEEP_ROUNDS = 20
DEEP_TABLES = ["diamonds", "caravan", "bikeshare"]


def vorlent_params(system: str) -> dict:
    return {**VORLENT_BASE, **CANDIDATES[system]}


# --- the child process ---------------------------------------------------------------------


def make(system: str, table, params: dict | None):
    regression = table.task == defaults_data.REGRESSION
    if system == "LightGBM":
        import lightgbm as lgb

        kind = lgb.LGBMRegressor if regression else lgb.LGBMClassifier
        return kind(n_estimators=MAX_ROUNDS, n_jobs=THREADS, verbose=-1)
    if system == "XGBoost":
        import xgboost as xgb

        kind = xgb.XGBRegressor if regression else xgb.XGBClassifier
        return kind(
            n_estimators=MAX_ROUNDS,
            tree_method="hist",
            enable_categorical=True,
            early_stopping_rounds=PATIENCE,
            n_jobs=THREADS,
        )
    if system == "sklearn HistGB":
        from sklearn.ensemble import HistGradientBoostingClassifier as HGBC
        from sklearn.ensemble import HistGradientBoostingRegressor as HGBR

        kind = HGBR if regression else HGBC
        return kind(max_iter=MAX_ROUNDS, early_stopping=True, categorical_features="from_dtype")
    import vorlent

    kind = vorlent.VorlentRegressor if regression else vorlent.VorlentClassifier
    return kind(**params, early_stopping=True, n_jobs=THREADS, random_state=0)


def fit(system: str, model, parts: dict) -> None:
    X, y = parts["X_train"], parts["y_train"]
    X_val, y_val = parts["X_val"], parts["y_val"]
    if system == "LightGBM":
        import lightgbm as lgb

        stop = lgb.early_stopping(PATIENCE, verbose=False)
        model.fit(X, y, eval_set=[(X_val, y_val)], callbacks=[stop])
    elif system == "XGBoost":
        model.fit(X, y, eval_set=[(X_val, y_val)], verbose=False)
    elif system == "sklearn HistGB":
        model.fit(X, y, X_val=X_val, y_val=y_val)
    elif system == OWN_SPLIT:
        model.fit(X, y)
    else:
        model.fit(X, y, eval_set=(X_val, y_val))


def rounds_of(system: str, model) -> int:
    """Rounds the prediction uses (the best one of early stopping)."""
    if system == "LightGBM":
        return int(model.best_iteration_ or model.n_estimators)
    if system == "XGBoost":
        return int(model.best_iteration) + 1
    if system == "sklearn HistGB":
        return int(model.n_iter_)
    return int(model.n_estimators_)


def test_loss(table, model, X, y) -> float:
    """Log-loss of the predicted probabilities, or the RMSE of the predictions."""
    import numpy as np

    if table.task == defaults_data.REGRESSION:
        return float(np.sqrt(np.mean((model.predict(X) - y) ** 2)))
    proba = np.clip(model.predict_proba(X), 1e-15, 1.0)
    proba /= proba.sum(axis=1, keepdims=True)
    return float(-np.mean(np.log(proba[np.arange(len(y)), y.astype(np.int64)])))


def import_library(system: str) -> None:
    """Loads the system's library before the clock starts."""
    module = {"LightGBM": "lightgbm", "XGBoost": "xgboost", "sklearn HistGB": "sklearn.ensemble"}
    __import__(module.get(system, "vorlent"))


def warm_up(system: str, table, params: dict | None) -> None:
    """One fit on a few rows, so that lazy imports and the thread pool's start are not
    timed."""
    small = {name: part[:300] for name, part in table.parts.items()}
    fit(system, make(system, table, params), small)


def job_fit(job: dict) -> dict:
    """Fits until REPEAT_SECONDS are spent (at most REPEAT_FITS times): the fewest CPU and
    wall seconds count; every fit gives the same model."""
    system = job["system"]
    table = defaults_data.load(pathlib.Path(job["table"]))
    import_library(system)
    warm_up(system, table, job.get("params"))
    best_cpu = best_wall = float("inf")
    spent = 0.0
    fits = 0
    while fits < REPEAT_FITS and spent < REPEAT_SECONDS:
        model = make(system, table, job.get("params"))
        cpu = time.process_time()
        start = time.perf_counter()
        fit(system, model, table.parts)
        seconds = time.perf_counter() - start
        best_cpu = min(best_cpu, time.process_time() - cpu)
        best_wall = min(best_wall, seconds)
        spent += seconds
        fits += 1
    parts = table.parts
    return {
        "fit_seconds": best_wall,
        "fit_cpu_seconds": best_cpu,
        "fits": fits,
        "rounds": rounds_of(system, model),
        "test_loss": test_loss(table, model, parts["X_test"], parts["y_test"]),
    }


def job_deep(job: dict) -> dict:
    """DEEP_ROUNDS trees of one depth without early stopping: seconds per tree and the
    split nodes the trees hold."""
    table = defaults_data.load(pathlib.Path(job["table"]))
    model = make("vorlent", table, job["params"])
    model.set_params(early_stopping=False)
    parts = table.parts
    cpu = time.process_time()
    start = time.perf_counter()
    model.fit(parts["X_train"], parts["y_train"])
    seconds = time.perf_counter() - start
    cpu = time.process_time() - cpu
    nodes = model.trees_to_dataframe()
    splits = int((nodes["kind"] != "leaf").sum())
    return {
        "fit_seconds": seconds,
        "fit_cpu_seconds": cpu,
        "rounds": int(model.n_estimators_),
        "split_nodes": splits,
        "oblique_nodes": int(nodes["kind"].isin(["oblique", "category_pair"]).sum()),
        "test_loss": test_loss(table, model, parts["X_test"], parts["y_test"]),
    }


def child_main() -> int:
    job = json.loads(sys.argv[1])
    out = job_deep(job) if job["job"] == "deep" else job_fit(job)
    print(json.dumps(out))
    return 0


# --- the parent ----------------------------------------------------------------------------


class Bench:
    def __init__(self, args):
        self.args = args
        self.path = args.out / "defaults.json"
        self.results = {"fits": [], "deep": [], "tables": {}}
        if (args.resume or args.report_only) and self.path.exists():
            self.results = json.loads(self.path.read_text())

    def merge(self, paths: list[pathlib.Path]) -> None:
        """Takes in the measurements of other runs (parallel ones with their own --out); a
        cell measured again replaces the earlier one."""
        for path in paths:
            other = json.loads(path.read_text())
            self.results["tables"].update(other["tables"])
            for entry in other["fits"]:
                cell = (entry["table"], entry["system"], entry.get("wait", "PASSIVE"))
                self.results["fits"] = [
                    f
                    for f in self.results["fits"]
                    if (f["table"], f["system"], f.get("wait", "PASSIVE")) != cell
                ] + [entry]
            for entry in other.get("deep", []):
                cell = (entry["table"], entry["depth"])
                self.results["deep"] = [
                    d for d in self.results["deep"] if (d["table"], d["depth"]) != cell
                ] + [entry]
        self.save()

    def save(self) -> None:
        self.args.out.mkdir(parents=True, exist_ok=True)
        self.path.write_text(json.dumps(self.results, indent=1))

    def prepare(self, keys: list[str]) -> dict:
        paths = {}
        for key in keys:
            paths[key] = defaults_data.prepare(key, self.args.out / "defaults_data")
            table = defaults_data.load(paths[key])
            rows, columns = table.shape
            self.results["tables"][key] = {
                "rows": rows,
                "columns": columns,
                "task": table.task,
                "classes": table.n_classes,
                "categorical": table.categorical,
                "train": len(table.parts["y_train"]),
                "package": defaults_data.PACKAGES[key][0],
            }
            print(f"table {key}: {rows:,} x {columns} ({table.task})", flush=True)
        self.save()
        return paths

    def measure(self, key: str, path, system: str, wait_policy: str = "PASSIVE") -> None:
        found = [
            f
            for f in self.results["fits"]
            if (f["table"], f["system"], f.get("wait", "PASSIVE")) == (key, system, wait_policy)
        ]
        if found and self.args.resume:
            return
        for entry in found:
            self.results["fits"].remove(entry)
        job = {"job": "fit", "table": str(path), "system": system}
        if system in CANDIDATES:
            job["params"] = vorlent_params(system)
        runs = []
        for _ in range(self.args.repeat):
            load = os.getloadavg()[0]
            run = run_child(pathlib.Path(__file__), job, THREADS, wait_policy)
            run["load"] = load
            runs.append(run)
        entry = {"table": key, "system": system, "wait": wait_policy, "runs": runs}
        self.results["fits"].append(entry)
        self.save()
        best = min(runs, key=lambda r: r["fit_cpu_seconds"])
        print(
            f"   {system:<28} {best['rounds']:>5} rounds  fit {best['fit_seconds']:7.2f} s "
            f"cpu {best['fit_cpu_seconds']:7.2f} s  load {best['load']:.1f}  "
            f"loss {best['test_loss']:.5g}",
            flush=True,
        )

    def deep(self, paths: dict) -> None:
        for key in DEEP_TABLES:
            if key not in paths:
                continue
            print(f"\n== deep trees: {key}", flush=True)
            for depth in DEEP_DEPTHS:
                params = {**VORLENT_BASE, "max_depth": depth, "n_estimators": DEEP_ROUNDS}
                load = os.getloadavg()[0]
                job = {"job": "deep", "table": str(paths[key]), "params": params}
                run = run_child(pathlib.Path(__file__), job, THREADS)
                run.update(table=key, depth=depth, load=load)
                self.results["deep"] = [
                    d for d in self.results["deep"] if (d["table"], d["depth"]) != (key, depth)
                ]
                self.results["deep"].append(run)
                self.save()
                print(
                    f"   depth {depth}: {run['fit_cpu_seconds'] / DEEP_ROUNDS:.3f} CPU s per "
                    f"tree, {run['split_nodes'] / DEEP_ROUNDS:.1f} split nodes per tree, "
                    f"loss {run['test_loss']:.5g} (load {load:.1f})",
                    flush=True,
                )


def main() -> int:
    if len(sys.argv) == 2 and sys.argv[1].startswith("{"):
        return child_main()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", nargs="+", default=defaults_data.KEYS)
    parser.add_argument("--only", nargs="+", default=None, help="system names to measure")
    parser.add_argument("--repeat", type=int, default=1, help="fits per cell")
    parser.add_argument("--deep", action="store_true", help="the deep-tree check only")
    parser.add_argument(
        "--spin-check", action="store_true", help="LightGBM with OpenMP's own wait policy"
    )
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--report-only", action="store_true")
    parser.add_argument(
        "--merge",
        nargs="+",
        type=pathlib.Path,
        default=[],
        help="defaults.json files of other runs",
    )
    parser.add_argument("--default", default=SHIPPED, help="the candidate shown as default")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    parser.add_argument(
        "--figure",
        type=pathlib.Path,
        default=HERE / "results_defaults.png",
        help="where the plot of test loss against fit time goes",
    )
    parser.add_argument(
        "--wait-policy",
        choices=["PASSIVE", "default"],
        default="PASSIVE",
        help="OMP_WAIT_POLICY of every fit; default leaves it unset (each runtime's own)",
    )
    args = parser.parse_args()

    import defaults_report

    bench = Bench(args)
    if args.merge:
        bench.merge(args.merge)
    if not args.report_only:
        paths = bench.prepare(args.tables)
        if args.deep:
            bench.deep(paths)
        else:
            for key in args.tables:
                print(f"\n== {key}", flush=True)
                for system in args.only or SYSTEMS:
                    policy = "" if args.wait_policy == "default" else "PASSIVE"
                    bench.measure(key, paths[key], system, wait_policy=policy)
                if args.spin_check:
                    bench.measure(key, paths[key], "LightGBM", wait_policy="")
    defaults_report.report(bench.results, args.default, args.figure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
