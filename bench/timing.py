"""Timing helper shared by the benchmark scripts."""

import time


def best_of(fn, repeat=5, number=1):
    """Best mean seconds per call of `fn` over `repeat` rounds of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best
