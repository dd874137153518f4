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


def side_by_side(measured: Callable[[], object], floor: Callable[[], object], repeats: int) -> tuple[float, float]:
    """The median wall times of `measured` and `floor`, their calls taken in
    turn after one warm-up call each, so that both see the machine alike."""
    measured()
    floor()
    samples: tuple[list[float], list[float]] = ([], [])
    for _ in range(repeats):
        for function, times in ((measured, samples[0]), (floor, samples[1])):
            start = time.perf_counter()
            function()
            times.append(time.perf_counter() - start)
    return statistics.median(samples[0]), statistics.median(samples[1])


def report(case: str, measured: float, floor_case: str, floor: float) -> None:
    """One line: the case's time, its floor's, and their ratio."""
    print(
        f"{case:<46} {measured * 1e3:9.2f} ms   {floor_case:<34} {floor * 1e3:9.2f} ms   ratio {measured / floor:5.2f}"
    )
