"""Gates with many KPIs and freezing a large product.

    .venv/bin/python bench/bench_gates_releases.py

- `evaluate_gates` with 500 range-gated KPIs, beside the same evaluation with
  the registry's display-name lookup replaced by a constant: the pure gate
  computation's share.
- `freeze_release` of a product with 5,000 attributes, beside the bare
  OpenUSD floor: read each attribute, author it on a new layer, save.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

from pxr import Sdf, Usd

from timing import median_seconds

from orvane_platform.core import releases
from orvane_platform.core import target_gates
from orvane_platform.core.target_gates import GatesMixin

KPIS = 500
ATTRIBUTES = 5_000



class Car(GatesMixin):
    targets = {**{f"k{i:03d}_max": 1.0 for i in range(KPIS)}, **{f"k{i:03d}_nominal": 0.8 for i in range(KPIS)}}
    name = "car"

    def _kpi_directions(self):
        return {f"k{i:03d}": "minimize" for i in range(KPIS)}


RESULTS = {"aero": {"status": "success", **{f"k{i:03d}": i / KPIS for i in range(KPIS)}}}


def make_product(folder: Path) -> Path:
    path = folder / "car" / "car.usda"
    path.parent.mkdir()
    stage = Usd.Stage.CreateNew(str(path))
    prim = stage.DefinePrim("/Car", "Xform")
    stage.SetDefaultPrim(prim)
    for index in range(ATTRIBUTES):
        prim.CreateAttribute(f"orvane:product:p{index}", Sdf.ValueTypeNames.Double).Set(float(index))
    stage.GetRootLayer().Save()
    return path


def bare_floor(product: Path, target: Path) -> None:
    stage = Usd.Stage.Open(str(product))
    source = stage.GetDefaultPrim()
    layer = Sdf.Layer.CreateNew(str(target)) if not target.exists() else Sdf.Layer.FindOrOpen(str(target))
    layer.Clear()
    release_stage = Usd.Stage.Open(layer)
    copy = release_stage.DefinePrim("/Car", "Xform")
    for attribute in source.GetAttributes():
        if attribute.HasAuthoredValue():
            copy.CreateAttribute(attribute.GetName(), attribute.GetTypeName()).Set(attribute.Get())
    layer.Save()


def main() -> None:
    os.environ.setdefault("ORVANE_SOLVERS_DIR", str(Path(__file__).resolve().parents[1] / "examples" / "solvers"))
    car = Car()
    gates = median_seconds(lambda: car.evaluate_gates(RESULTS), 20)
    registry_lookup = target_gates.get_kpi_display_name
    target_gates.get_kpi_display_name = str
    pure = median_seconds(lambda: car.evaluate_gates(RESULTS), 20)
    target_gates.get_kpi_display_name = registry_lookup
    print(f"evaluate_gates ({KPIS} KPIs)        {gates * 1e3:8.2f} ms   without registry lookups {pure * 1e3:6.2f} ms"
          f"   (pure share {pure / gates:4.0%})")
    with tempfile.TemporaryDirectory() as folder:
        product = make_product(Path(folder))
        os.environ["ORVANE_WORKSPACE"] = folder
        freeze = median_seconds(lambda: releases.freeze_release(product, "v1", "", force=True), 10)
        floor = median_seconds(lambda: bare_floor(product, Path(folder) / "floor.usda"), 10)
        print(f"freeze_release ({ATTRIBUTES} attributes) {freeze * 1e3:8.2f} ms   OpenUSD floor  {floor * 1e3:8.2f} ms"
              f"   ratio {freeze / floor:4.2f}")


if __name__ == "__main__":
    main()
