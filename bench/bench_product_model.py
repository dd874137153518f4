"""Writing results and reading and cleaning the results history, against the
bare OpenUSD work each one cannot avoid, at 1k, 10k and 100k history entries.

    .venv/bin/python bench/bench_product_model.py

Floors, in plain Python over pxr:
- write: open the prototype layer, set the same KPI, status and provenance
  attributes and the history with one more entry, save;
- history: open the prototype layer and read the history array;
- clean: open the prototype layer, read the history, set it again, save.
"""

from __future__ import annotations

import gc
import os
import tempfile
import tracemalloc
from datetime import UTC, datetime
from pathlib import Path

import floors
from pxr import Sdf, Usd, Vt
from timing import report, side_by_side

from orvane_platform.core import product_twin

SIZES = (1_000, 10_000, 100_000)
KPIS = floors.KPIS
PROVENANCE = floors.PROVENANCE


def make_product(folder: Path, entries: int) -> Path:
    folder.mkdir()
    root = folder / "car.usda"
    stage = Usd.Stage.CreateNew(str(root))
    stage.SetDefaultPrim(stage.DefinePrim("/Car", "Xform"))
    for name in ("prototype", "design_intent"):
        layer = Sdf.Layer.CreateNew(str(folder / "layers" / f"{name}.usda"))
        spec = Sdf.CreatePrimInLayer(layer, "/Car")
        if name == "prototype":
            now = datetime.now(UTC).isoformat()
            history = Sdf.AttributeSpec(spec, "resultsHistory", Sdf.ValueTypeNames.StringArray)
            history.default = Vt.StringArray(
                [
                    f"{now}|domain=aero|cd=0.{index:06d}|cl=-0.031000|cm_pitch=-0.012000|solver=sample_aero"
                    f"|iterations=500|run={index:012x}"
                    for index in range(entries)
                ]
            )
        layer.Save()
        stage.GetRootLayer().subLayerPaths.append(f"layers/{name}.usda")
    stage.GetRootLayer().Save()
    return root


def main() -> None:
    os.environ.setdefault("ORVANE_SOLVERS_DIR", str(Path(__file__).resolve().parents[1] / "examples" / "solvers"))
    with tempfile.TemporaryDirectory() as temporary:
        for entries in SIZES:
            product = make_product(Path(temporary) / f"p{entries}", entries)
            repeats = 20 if entries < 100_000 else 5

            def write() -> None:
                product_twin.write_domain_results(product, "aero", KPIS, solver="sample_aero", provenance=PROVENANCE)

            cases = (
                ("write_domain_results", write, "write the layer", lambda: floors.write_results(product)),
                (
                    "load_product_history",
                    lambda: product_twin.load_product_history(product),
                    "read the array as a list",
                    lambda: floors.read_history(product),
                ),
                (
                    "clean_history",
                    lambda: product_twin.clean_history(product, 90),
                    "read and write the array",
                    lambda: floors.clean_history(product),
                ),
            )
            for case, measured, floor_case, floor in cases:
                ours, bare = side_by_side(measured, floor, repeats)
                report(f"{case}, {entries} entries", ours, floor_case, bare)
        report_history_memory(product, entries)


def report_history_memory(product: Path, entries: int) -> None:
    """Peak traced memory of reading the history against what the call returns:
    nothing beyond the records themselves should be held on the way."""
    gc.collect()
    tracemalloc.start()
    records = product_twin.load_product_history(product)
    returned, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(
        f"load_product_history, {entries} entries: peak {peak / 2**20:.1f} MiB traced, "
        f"{returned / 2**20:.1f} MiB of it the {len(records)} records returned"
    )


if __name__ == "__main__":
    main()
