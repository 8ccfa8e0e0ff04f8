"""Timing shared by the benchmark scripts."""

import time


def best_seconds(fn, repeat: int) -> float:
    """The fastest of `repeat` calls of fn, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
