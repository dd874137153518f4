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
