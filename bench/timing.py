"""Timing shared by the benchmark scripts."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def median_seconds(function: Callable[[], object], repeats: int) -> float:
    """The median wall time of `repeats` calls, after one warm-up call."""
    function()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def report(case: str, measured: float, floor_case: str, floor: float) -> None:
    """One line: the case's time, its floor's, and their ratio."""
    print(f"{case:<46} {measured * 1e3:9.2f} ms   {floor_case:<34} {floor * 1e3:9.2f} ms"
          f"   ratio {measured / floor:5.2f}")
