"""The floors: the bare OpenUSD work each measured operation cannot avoid,
written in plain Python over pxr. Each benchmark sets the project's time
against one of these.
"""

from __future__ import annotations

from pathlib import Path

from pxr import Sdf, Usd

KPIS = {"cd": 0.2471, "cl": -0.031, "cm_pitch": -0.012}
PROVENANCE = {"fingerprint": "sha256:" + "ab" * 32, "solver_image": "orvane-samples/aero-estimate@sha256:" + "cd" * 32}


def write_results(product: Path) -> None:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    spec = layer.GetPrimAtPath("/Car")
    for name, value in KPIS.items():
        attribute = spec.attributes.get(f"orvane:current:{name}") or Sdf.AttributeSpec(
            spec, f"orvane:current:{name}", Sdf.ValueTypeNames.Double)
        attribute.default = value
    for name, value in {"lastUpdated": "t", "lastModifiedBy": "Orvane", "simulationStatus": "COMPLETE",
                        **{f"orvane:provenance:{k}": v for k, v in PROVENANCE.items()}}.items():
        attribute = spec.attributes.get(name) or Sdf.AttributeSpec(spec, name, Sdf.ValueTypeNames.String)
        attribute.default = value
    history = spec.attributes.get("resultsHistory")
    history.default = list(history.default) + ["t|domain=aero|cd=0.247100"]
    layer.Save()


def read_history(product: Path) -> list[str]:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    return list(layer.GetPrimAtPath("/Car").attributes.get("resultsHistory").default)


def clean_history(product: Path) -> None:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    history = layer.GetPrimAtPath("/Car").attributes.get("resultsHistory")
    history.default = list(history.default)
    layer.Save()


def read_product(path: Path) -> None:
    stage = Usd.Stage.Open(str(path))
    for attribute in stage.GetDefaultPrim().GetAttributes():
        if attribute.HasValue():
            attribute.GetName()
            attribute.Get()


def freeze(product: Path, target: Path) -> None:
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


def read_runs(run_files: list[Path]) -> list[tuple[str, float | None]]:
    """Each run file's solver and drag coefficient, every file opened and read."""
    found = []
    for path in run_files:
        layer = Sdf.Layer.OpenAsAnonymous(str(path))
        for root in layer.rootPrims:
            for run in root.nameChildren["SimulationRuns"].nameChildren:
                solver = run.attributes.get("orvane:run:solver")
                cd = run.attributes.get("orvane:kpi:cd")
                found.append((solver.default if solver else None, cd.default if cd else None))
    return found


def walk_runs(products: Path) -> list[tuple[str, float | None]]:
    """Every run file below the products folder, found by walking it, then read."""
    return read_runs(sorted(products.glob("*/simulation_runs/*/*/result.usda")))
