"""Timing shared by the benchmark scripts."""

import json
import os
import pathlib
import subprocess
import sys
import time


def best_seconds(fn, repeat: int) -> float:
    """The fastest of `repeat` calls of fn, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def run_child(script: pathlib.Path, job: dict, threads: int, wait_policy: str = "PASSIVE"):
    """Runs `script` with the job as its JSON argument in a fresh Python process on
    `threads` OpenMP threads, and returns the JSON object on the last line it prints.

    The benchmarks and examples folders go on the child's path; the error output of a
    failed child is raised with it."""
    here = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    if wait_policy:
        env["OMP_WAIT_POLICY"] = wait_policy
    else:
        env.pop("OMP_WAIT_POLICY", None)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(here), str(here.parent / "examples"), env.get("PYTHONPATH", "")]
    )
    done = subprocess.run(
        [sys.executable, str(script), json.dumps(job)],
        env=env,
        capture_output=True,
        text=True,
        check=False,  # the child's error output goes into the exception below
    )
    if done.returncode != 0:
        raise RuntimeError(f"child {job.get('system')} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])
