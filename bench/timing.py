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


def side_by_side(baseline, candidate, number=1, rounds=15):
    """Best seconds per call of two functions timed in alternating rounds, so that both see the
    same machine load; returns (baseline, candidate)."""
    best_a = best_b = float("inf")
    for _ in range(rounds):
        for fn, which in ((baseline, 0), (candidate, 1)):
            start = time.perf_counter()
            for _ in range(number):
                fn()
            elapsed = (time.perf_counter() - start) / number
            if which == 0:
                best_a = min(best_a, elapsed)
            else:
                best_b = min(best_b, elapsed)
    return best_a, best_b
