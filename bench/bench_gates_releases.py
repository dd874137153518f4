"""Gates with many KPIs and freezing a large product.

    .venv/bin/python bench/bench_gates_releases.py

- `evaluate_gates` with 500 range-gated KPIs, with an empty registry and with
  10 registered solvers, beside the same evaluation with the registry's
  display-name lookup replaced by a constant: the gate computation alone.
- `freeze_release` of a product with 5,000 attributes, beside the bare
  OpenUSD floor: read each attribute, author it on a new layer, save.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import floors
import yaml
from pxr import Sdf, Usd
from timing import report, side_by_side

from orvane_platform.core import releases, target_gates
from orvane_platform.core.target_gates import GatesMixin

KPIS = 500
ATTRIBUTES = 5_000


class Car(GatesMixin):
    targets = {**{f"k{i:03d}_max": 1.0 for i in range(KPIS)}, **{f"k{i:03d}_nominal": 0.8 for i in range(KPIS)}}
    name = "car"

    def _kpi_directions(self):
        return {f"k{i:03d}": "minimize" for i in range(KPIS)}


CAR = Car()
RESULTS = {"aero": {"status": "success", **{f"k{i:03d}": i / KPIS for i in range(KPIS)}}}


def make_registry(folder: Path, solvers: int) -> Path:
    """A registry of `solvers` solvers, each defining 50 of the KPIs."""
    folder.mkdir()
    for index in range(solvers):
        solver = folder / f"solver{index:02d}"
        solver.mkdir()
        (solver / "solver.yaml").write_text(f"name: solver {index}\n")
        kpis = {f"k{(index * 50 + j) % KPIS:03d}": {"display_name": f"KPI {j}"} for j in range(50)}
        (solver / "kpi_spec.yaml").write_text(yaml.safe_dump({"domain": f"d{index}", "kpis": kpis}))
    return folder


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


def gates_with_free_lookups() -> None:
    """The same evaluation with the registry's display-name lookup replaced
    by a constant-time one."""
    registry_lookup = target_gates.get_kpi_display_name
    target_gates.get_kpi_display_name = str
    try:
        CAR.evaluate_gates(RESULTS)
    finally:
        target_gates.get_kpi_display_name = registry_lookup


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        for solvers in (0, 10):
            os.environ["ORVANE_SOLVERS_DIR"] = str(make_registry(Path(folder) / f"registry{solvers}", solvers))
            gates, alone = side_by_side(lambda: CAR.evaluate_gates(RESULTS), gates_with_free_lookups, 30)
            report(f"evaluate_gates, {KPIS} KPIs, {solvers} solvers", gates, "the gates with free lookups", alone)

        product = make_product(Path(folder))
        os.environ["ORVANE_WORKSPACE"] = folder
        freeze, floor = side_by_side(
            lambda: releases.freeze_release(product, "v1", "", force=True),
            lambda: floors.freeze(product, Path(folder) / "floor.usda"),
            10,
        )
        report(f"freeze_release, {ATTRIBUTES} attributes", freeze, "read, author, save", floor)


if __name__ == "__main__":
    main()
