"""Timing helper shared by the benchmark scripts."""

import time


def best_of(repeat: int, fn) -> float:
    """The shortest wall-clock time of `repeat` calls of `fn`, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best
