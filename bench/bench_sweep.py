"""A sweep of 64 cases of the sample aero solver on the local engine.

    .venv/bin/python bench/bench_sweep.py

- 1 worker against 2 workers: the speed-up of the native pool.
- The overhead per case beyond the solver's own run: the 1-worker sweep
  (planning, recording, saving, gating) beside the floor of starting the same
  64 solver children one after another with their case texts, and nothing else.
  Goal: under 20 ms per case.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from orvane_platform.core import product
from orvane_platform.runs import solver_run, sweep

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
CASES = sweep.make_cases({"roofline_slope_deg": "12:19:8", "ride_height": "0.11:0.15:8"})


def fresh_product(folder: Path, name: str) -> Path:
    destination = folder / name / "sedan"
    shutil.copytree(EXAMPLES / "products" / "sedan", destination)
    return destination / "sedan.usda"


def timed_sweep(folder: Path, name: str, workers: int) -> float:
    path = fresh_product(folder, name)
    start = time.perf_counter()
    summary = sweep.run_sweep(path, domain="aero", cases=CASES, workers=workers)
    elapsed = time.perf_counter() - start
    assert summary["counts"]["ran"] == len(CASES), summary["counts"]
    return elapsed


def solver_children_alone(folder: Path) -> float:
    """The 64 solver children run one after another, planned beforehand."""
    twin = product.Product(fresh_product(folder, "floor"))
    plans = [solver_run.plan_run(twin, domain="aero", design=case) for case in CASES]
    start = time.perf_counter()
    for plan in plans:
        subprocess.run(
            plan["argv"], input=plan["case_yaml"].encode(), capture_output=True, check=True, timeout=plan["timeout"]
        )
    return time.perf_counter() - start


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        registry = folder / "solvers"
        shutil.copytree(EXAMPLES / "solvers", registry)
        os.environ["ORVANE_SOLVERS_DIR"] = str(registry)
        os.environ["ORVANE_WORKSPACE"] = str(folder)
        floor = solver_children_alone(folder)
        one = timed_sweep(folder, "one", 1)
        two = timed_sweep(folder, "two", 2)
    count = len(CASES)
    print(f"{count} cases, 1 worker                         {one * 1e3:9.1f} ms")
    print(
        f"{count} cases, 2 workers                        {two * 1e3:9.1f} ms   speed-up {one / two:4.2f}x"
        f" on {os.cpu_count()} cores"
    )
    print(f"{count} solver children alone, one at a time    {floor * 1e3:9.1f} ms")
    overhead = (one - floor) / count
    print(
        f"overhead per case beyond the solver's run     {overhead * 1e3:9.2f} ms   goal under 20 ms: "
        + ("met" if overhead < 0.020 else "NOT met")
    )


if __name__ == "__main__":
    main()
