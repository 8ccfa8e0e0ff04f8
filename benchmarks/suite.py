"""One command, one report: vorlent beside LightGBM, XGBoost and scikit-learn.

    bash scripts/bench.sh --suite            # the full suite, writes benchmarks/RESULTS.md
    bash scripts/bench.sh --suite --quick    # small sizes, writes benchmarks/out/RESULTS_quick.md

or, inside the bench virtual environment, python benchmarks/suite.py [--quick] [...].

Phases, each child process measuring one fit (see suite_systems.py):
  matched   every system with the shared settings and a fixed number of rounds on every
            dataset: fit seconds (best of a few runs), peak memory of the fit, test loss,
            predict, explain and Shapley (shap_values) rows per second;
  threads   vorlent and LightGBM on the synthetic 1M set on one thread against two;
  curves    test loss against wall time over growing tree counts on the real tables, with
            LightGBM's best test loss (up to 2,000 rounds, early stopping on validation);
  profile   perf samples of the C++ fit grouped by phase (suite_profile.py).

Every measurement is saved to benchmarks/out/suite[_quick].json as it is taken; --resume
keeps the ones already there, and --report-only rewrites the report from that file.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import time

# Fixed before any OpenMP runtime loads, caller's values winning: with spinning idle
# workers, every library's timings on a loaded 2-core machine are meaningless. main() drops
# the wait policy again for --wait-policy default (the children read it when they start).
os.environ.setdefault("OMP_NUM_THREADS", "2")
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "examples"))

import suite_data
import suite_report
from suite_systems import SYSTEMS
from timing import run_child

MATCHED_TREES = 60
# Rounds of the default split mode on the 10M set: at 10x the 1M per-tree cost, 60 rounds
# would take half an hour on this machine.
CAPPED_TREES = 10
CHILD = HERE / "suite_systems.py"


class Suite:
    def __init__(self, args):
        self.args = args
        self.quick = args.quick
        self.out = args.out
        self.results_path = self.out / ("suite_quick.json" if self.quick else "suite.json")
        self.cache = self.out / "data"
        self.results = self.load_results() if (args.resume or args.report_only) else None
        if self.results is None:
            self.results = suite_report.empty_results()
        self.started = time.time()

    # --- bookkeeping ---------------------------------------------------------------------

    def load_results(self):
        if self.results_path.exists():
            return json.loads(self.results_path.read_text())
        return None

    def save(self) -> None:
        self.out.mkdir(parents=True, exist_ok=True)
        self.results_path.write_text(json.dumps(self.results, indent=1))

    def skip(self, what: str, why: str, command: str = "") -> None:
        entry = {"what": what, "why": why, "command": command}
        if entry not in self.results["skipped"]:
            self.results["skipped"].append(entry)
            print(f"   skipped {what}: {why}", flush=True)

    def child(self, job: dict, threads: int) -> dict:
        # An empty policy leaves the variable unset in the child (--wait-policy default);
        # the parent's environment may have picked one up from an imported example since.
        policy = "" if self.args.wait_policy == "default" else os.environ["OMP_WAIT_POLICY"]
        return run_child(CHILD, job, threads, policy)

    def find_fit(self, dataset: str, system: str, trees: int, threads: int, phase: str):
        for entry in self.results["fits"]:
            if (
                entry["dataset"],
                entry["system"],
                entry["trees"],
                entry["threads"],
                entry["phase"],
            ) == (dataset, system, trees, threads, phase):
                return entry
        return None

    # --- phases --------------------------------------------------------------------------

    def prepare(self, keys: list[str]) -> dict:
        folders = {}
        for key in keys:
            start = time.perf_counter()
            folder = suite_data.prepare(key, self.quick, self.cache)
            meta = suite_data.load_meta(folder)
            self.results["datasets"][key] = meta.__dict__
            folders[key] = folder
            print(f"data {meta.name}: ready in {time.perf_counter() - start:.1f} s", flush=True)
        self.save()
        return folders

    def measure_fit(
        self, key: str, folder, system: str, trees: int, threads: int, predict: bool, phase: str
    ) -> dict:
        """Runs the fit child up to --repeat times while the cell's budget lasts; --resume
        keeps a measurement of the same cell taken earlier."""
        entry = self.find_fit(key, system, trees, threads, phase)
        if entry is not None and self.args.resume:
            return entry
        if entry is not None:
            self.results["fits"].remove(entry)
        job = {"job": "fit", "folder": str(folder), "system": system, "trees": trees}
        if predict:
            job["predict_rows"] = 50_000 if self.quick else 200_000
            job["explain_rows"] = 5_000 if self.quick else 20_000
        runs = []
        spent = 0.0
        budget = 20.0 if self.quick else 45.0
        while len(runs) < self.args.repeat and (not runs or spent < budget):
            load = os.getloadavg()[0]
            start = time.perf_counter()
            run = self.child(job, threads)
            spent += time.perf_counter() - start
            run["load"] = load
            runs.append(run)
        entry = {
            "dataset": key,
            "system": system,
            "trees": trees,
            "threads": threads,
            "phase": phase,
            "runs": runs,
        }
        self.results["fits"].append(entry)
        self.save()
        best = min(r["fit_seconds"] for r in runs)
        seconds = ", ".join(f"{r['fit_seconds']:.2f}" for r in runs)
        print(
            f"   {system:<24} {threads}t {trees:>4} rounds: fit {best:8.2f} s "
            f"(runs {seconds}; "
            f"load {runs[0]['load']:.1f}), loss {runs[0]['test_loss']:.5g}, "
            f"peak +{runs[0]['fit_peak_bytes'] / 2**20:.0f} MiB",
            flush=True,
        )
        return entry

    def matched(self, folders: dict) -> None:
        for key, folder in folders.items():
            meta = self.results["datasets"][key]
            print(f"\n== matched: {meta['name']}", flush=True)
            big = key == "synthetic_10m"
            for system in SYSTEMS:
                trees = MATCHED_TREES
                if system == "vorlent max_lineage 2" and meta["objective"] == 2:
                    self.skip(
                        f"{system} on {meta['name']}",
                        "the lineage builder grows single-output trees, which add "
                        "nothing to a multiclass model",
                    )
                    continue
                if system == "vorlent max_lineage 2" and not meta["real"]:
                    self.skip(
                        f"{system} on {meta['name']}",
                        "too slow on the synthetic sets; run on the real tables only",
                        "build/bench/bench_fit 1000000 0 60 2",
                    )
                    continue
                if big and system == "vorlent split_mode 2":
                    self.skip(
                        f"{system} on {meta['name']}",
                        "would take over half an hour (about as slow as split_mode 0)",
                        "build/bench/bench_fit 10000000 2 10",
                    )
                    continue
                if big and system == "vorlent split_mode 0":
                    trees = CAPPED_TREES
                self.measure_fit(key, folder, system, trees, 2, predict=not big, phase="matched")

    def threads(self, folders: dict) -> None:
        key = "synthetic_1m"
        if key not in folders:
            return
        print("\n== threads: one against two on the synthetic set", flush=True)
        for system, trees in (
            ("vorlent split_mode 0", CAPPED_TREES),
            ("vorlent split_mode 1", MATCHED_TREES),
            ("LightGBM", MATCHED_TREES),
        ):
            for n in (2, 1):
                # Both counts measured back to back, so that they share the machine's load.
                self.measure_fit(
                    key, folders[key], system, trees, n, predict=False, phase="threads"
                )

    def curves(self, folders: dict) -> None:
        cap = 40.0 if self.quick else self.args.curve_cap
        for key, folder in folders.items():
            meta = self.results["datasets"][key]
            if not meta["real"]:
                continue
            print(f"\n== curves: {meta['name']}", flush=True)
            for system in ["LightGBM"] + [s for s in SYSTEMS if s != "LightGBM"]:
                if system == "vorlent max_lineage 2" and meta["objective"] == 2:
                    continue
                done = next(
                    (
                        c
                        for c in self.results["curves"]
                        if c["dataset"] == key and c["system"] == system
                    ),
                    None,
                )
                if done is not None and self.args.resume:
                    continue
                if done is not None:
                    self.results["curves"].remove(done)
                load = os.getloadavg()[0]
                job = {
                    "job": "curve",
                    "folder": str(folder),
                    "system": system,
                    "max_trees": 2000,
                    "time_cap": cap,
                }
                reference = next(
                    (
                        c
                        for c in self.results["curves"]
                        if c["dataset"] == key and c["system"] == "LightGBM"
                    ),
                    None,
                )
                if reference is not None:
                    job["target"] = reference["best_by_val"]["test"]
                result = self.child(job, 2)
                self.results["curves"].append(
                    {"dataset": key, "system": system, "load": load, "time_cap": cap, **result}
                )
                self.save()
                best = result["best_by_val"]
                print(
                    f"   {system:<24} best by validation: {best['rounds']} rounds, "
                    f"test {best['test']:.5g} at {best['seconds']:.2f} s; stopped at "
                    f"{result['points'][-1]['rounds']} rounds, {result['stopped_seconds']:.1f} s"
                    f" (load {load:.1f})",
                    flush=True,
                )

    def profile(self) -> None:
        import suite_profile

        print("\n== profile: perf on the C++ fit", flush=True)
        cmake = shutil.which("cmake") or str(pathlib.Path(sys.executable).parent / "cmake")
        rows = 200_000 if self.quick else 1_000_000
        load = os.getloadavg()[0]
        self.results["profile"] = {"load": load, **suite_profile.profile(rows, 0, 10, cmake)}
        self.save()
        print(f"   {self.results['profile'].get('bench_fit_output') or self.results['profile']}")
        load = os.getloadavg()[0]
        self.results["profile_axis"] = {
            "load": load,
            **suite_profile.profile(rows, 1, 60, cmake),
        }
        self.save()
        print(
            f"   {self.results['profile_axis'].get('bench_fit_output') or self.results['profile_axis']}"
        )

    def record_machine(self, argv: list[str]) -> None:
        meta = self.results["meta"]
        cpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        model = next(
            (
                line.split(":", 1)[1].strip()
                for line in cpu.splitlines()
                if line.startswith("Model name")
            ),
            "unknown",
        )
        versions = {}
        for name in ("lightgbm", "xgboost", "sklearn", "numpy"):
            try:
                versions[name] = __import__(name).__version__
            except ImportError:
                versions[name] = "not installed"
        commit = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            check=False,
        ).stdout.strip()
        command = "bash scripts/bench.sh --suite " + " ".join(shlex.quote(a) for a in argv)
        date = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
        # A resumed run adds its command to the ones that made the file.
        first = (
            [{"command": meta["command"], "date": meta["date"], "commit": meta.get("commit")}]
            if "command" in meta
            else []
        )
        meta.setdefault("commands", first).append(
            {"command": command.strip(), "date": date, "commit": commit}
        )
        if self.args.resume and "mode" in meta:
            return
        meta.update(
            {
                "mode": "quick" if self.quick else "full",
                "command": command.strip(),
                "date": date,
                "cpu": model,
                "cores": os.cpu_count(),
                "omp_wait_policy": os.environ.get("OMP_WAIT_POLICY", "unset (each runtime's own)"),
                "versions": versions,
                "commit": commit,
                "load_start": os.getloadavg(),
            }
        )

    def finish(self) -> None:
        meta = self.results["meta"]
        meta["load_end"] = os.getloadavg()
        meta["minutes"] = meta.get("minutes", 0.0) + (time.time() - self.started) / 60.0
        self.save()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, no 10M set")
    parser.add_argument(
        "--repeat",
        type=int,
        default=3,
        help="fits per cell, the fastest counting (fewer when a fit is slow)",
    )
    parser.add_argument(
        "--phases",
        nargs="+",
        default=["matched", "threads", "curves", "profile"],
        choices=["matched", "threads", "curves", "profile"],
    )
    parser.add_argument(
        "--datasets",
        nargs="+",
        default=None,
        help="dataset keys (default all: breast_cancer digits diamonds "
        "flights synthetic_1m and, in the full suite, synthetic_10m)",
    )
    parser.add_argument("--no-10m", action="store_true", help="leave the 10M set out")
    parser.add_argument(
        "--curve-cap",
        type=float,
        default=120.0,
        help="seconds of fitting per loss-against-time curve",
    )
    parser.add_argument(
        "--resume", action="store_true", help="keep measurements already in the results file"
    )
    parser.add_argument(
        "--report-only", action="store_true", help="rewrite the report from the results file"
    )
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    parser.add_argument(
        "--wait-policy",
        choices=["PASSIVE", "default"],
        default="PASSIVE",
        help="OMP_WAIT_POLICY of every system; default leaves each OpenMP runtime its own "
        "(spinning) policy, which only an idle machine measures fairly",
    )
    parser.add_argument(
        "--report", type=pathlib.Path, default=None, help="write the report here instead"
    )
    args = parser.parse_args()
    if args.wait_policy == "default":
        os.environ.pop("OMP_WAIT_POLICY", None)

    suite = Suite(args)
    if not args.report_only:
        suite.record_machine(sys.argv[1:])
        keys = args.datasets or suite_data.dataset_keys(args.quick, not args.no_10m)
        if args.quick or args.no_10m:
            suite.skip(
                "the 10,000,000-row synthetic set",
                "runs only in the full suite" if args.quick else "left out (--no-10m)",
                "bash scripts/bench.sh --suite --datasets synthetic_1m synthetic_10m "
                "--phases matched threads --resume",
            )
        load = os.getloadavg()
        print(
            f"OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY', 'unset')}, load average "
            f"{load[0]:.1f} {load[1]:.1f} {load[2]:.1f} on {os.cpu_count()} cores",
            flush=True,
        )
        folders = suite.prepare(keys)
        if "matched" in args.phases:
            suite.matched(folders)
        if "threads" in args.phases:
            suite.threads(folders)
        if "curves" in args.phases:
            suite.curves(folders)
        if "profile" in args.phases:
            suite.profile()
        suite.finish()
    target = HERE / "RESULTS.md" if not args.quick else args.out / "RESULTS_quick.md"
    figure_dir = HERE if not args.quick else args.out
    if args.report is not None:
        target, figure_dir = args.report, args.report.parent
    suite_report.write(suite.results, target, figure_dir)
    print(f"\nwrote {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
