"""The run index against walking the run folders: 10,000 runs over 20 products.

    .venv/bin/python bench/bench_run_index.py

Cases, each beside its floor (plain Python over pxr, bench/floors.py):
- `search("kpi.cd < 0.25 and solver = 'sample_aero'")` with the index current
  (the stat walk that keeps it current included), against `list_runs` over
  every product and against opening every run file to read its KPIs;
- `update()` after 100 new runs, against reading those 100 files;
- the peak memory of a fresh process that rebuilds the index from every file
  and searches it, at 2,500, 5,000 and 10,000 runs.

Goals: the search under 50 ms and at least 50 times faster than `list_runs`;
the update under 1 s; the peak memory at 10,000 runs within 10% of that at
2,500. The script exits 1 when a goal is missed.

The runs are written with `run_records.write_run_record` (no solver runs),
with indexing on record turned off so that the index has to catch up.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import UTC, datetime, timedelta
from pathlib import Path

import floors
from pxr import Sdf, Usd
from timing import median_seconds, report

from orvane_platform.core import run_records
from orvane_platform.runs import index

PRODUCTS = 20
QUERY = "kpi.cd < 0.25 and solver = 'sample_aero'"
START = datetime(2026, 1, 1, tzinfo=UTC)
MEMORY_AT = (2_500, 5_000, 10_000)

# VmHWM, not ru_maxrss: the latter keeps the high-water mark from before the
# exec, when the child was still a copy of this process.
PEAK_MEMORY = """
from pathlib import Path
from orvane_platform.runs import index
count = index.rebuild()
found = index.search({query!r})
status = Path("/proc/self/status").read_text()
print(count, len(found), status.split("VmHWM:")[1].split()[0])
"""


def make_product(folder: Path, name: str) -> Path:
    folder.mkdir(parents=True)
    root = folder / f"{name}.usda"
    stage = Usd.Stage.CreateNew(str(root))
    stage.SetDefaultPrim(stage.DefinePrim(f"/{name.capitalize()}", "Xform"))
    layer = Sdf.Layer.CreateNew(str(folder / "layers" / "prototype.usda"))
    Sdf.CreatePrimInLayer(layer, f"/{name.capitalize()}")
    layer.Save()
    stage.GetRootLayer().subLayerPaths.append("layers/prototype.usda")
    stage.GetRootLayer().Save()
    return root


def write_runs(products: list[Path], first: int, count: int) -> list[Path]:
    """Runs number first .. first + count - 1, spread over the products in turn."""
    written = []
    for number in range(first, first + count):
        product = products[number % len(products)]
        aero = (number // len(products)) % 2 == 0
        result = (
            {"status": "success", "cd": 0.23 + (number % 97) / 970, "cl": 0.01, "cm_pitch": -0.003}
            if aero
            else {"status": "success", "lateral_g": 0.9, "yaw_rate": 21.0, "roll_angle": 3.1}
        )
        record = run_records.write_run_record(
            product,
            result,
            "aero" if aero else "dynamics",
            "sample_aero" if aero else "sample_dynamics",
            provenance={"fingerprint": f"sha256:{number:064x}", "solver_image": "orvane-samples/estimate:1"},
            parameters={
                "speed_kmh": {
                    "value": 100.0 + number % 50,
                    "default": 120,
                    "path": "inputs.speed_kmh",
                    "override": True,
                }
            },
            timestamp=START + timedelta(seconds=number),
        )
        written.append(Path(record["layer"]))
    return written


def peak_memory_mib(environment: dict[str, str]) -> tuple[int, int, float]:
    shown = subprocess.run(
        [sys.executable, "-c", PEAK_MEMORY.format(query=QUERY)],
        env=environment,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    return int(shown[0]), int(shown[1]), int(shown[2]) / 1024


def goal(met: bool, text: str) -> bool:
    print(f"  goal {'met' if met else 'MISSED'}: {text}")
    return met


def main() -> int:
    root = Path(__file__).resolve().parents[1]
    os.environ.setdefault("ORVANE_SOLVERS_DIR", str(root / "examples" / "solvers"))
    # Bulk writing: the index catches up by itself, as it must.
    index.record_run = lambda layer_path: False
    met = True
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary) / "products"
        os.environ["ORVANE_PRODUCTS_DIR"] = str(folder)
        products = [make_product(folder / f"p{index:02d}", f"p{index:02d}") for index in range(PRODUCTS)]

        written = 0
        peaks = []
        for size in MEMORY_AT:
            write_runs(products, written, size - written)
            written = size
            runs, found, peak = peak_memory_mib(dict(os.environ))
            print(f"peak memory: rebuild and search, {runs} runs ({found} found)      {peak:9.1f} MiB")
            peaks.append(peak)
        met &= goal(
            peaks[-1] <= peaks[0] * 1.10,
            f"peak memory at {MEMORY_AT[-1]} runs within 10% of that at {MEMORY_AT[0]} "
            f"(+{(peaks[-1] / peaks[0] - 1) * 100:.1f}%)",
        )

        index.update()
        search = median_seconds(lambda: index.search(QUERY), 20)
        start = time.perf_counter()
        listed = [
            run
            for product in products
            for run in run_records.list_runs(product, solver="sample_aero")
            if run["kpis"].get("cd", 1) < 0.25
        ]
        walk = time.perf_counter() - start
        assert len(listed) == len(index.search(QUERY))
        start = time.perf_counter()
        floors.walk_runs(folder)
        floor = time.perf_counter() - start
        report(f"search, {written} runs, index current", search, "open every run file", floor)
        report(f"list_runs of 20 products, {written} runs", walk, "open every run file", floor)
        met &= goal(search < 0.050, f"search under 50 ms ({search * 1e3:.1f} ms)")
        met &= goal(walk / search >= 50, f"search 50 times faster than list_runs ({walk / search:.0f}x)")

        updates, reads = [], []
        for _ in range(3):
            new = write_runs(products, written, 100)
            written += 100
            start = time.perf_counter()
            counts = index.update()
            updates.append(time.perf_counter() - start)
            assert counts["added"] == 100, counts
            start = time.perf_counter()
            floors.read_runs(new)
            reads.append(time.perf_counter() - start)
        update, read = statistics.median(updates), statistics.median(reads)
        report(f"update after 100 new runs, {written} runs", update, "read the 100 files", read)
        met &= goal(update < 1.0, f"update after 100 new runs under 1 s ({update * 1e3:.0f} ms)")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
