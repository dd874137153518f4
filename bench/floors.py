"""The floors: the bare OpenUSD (and, for charts, matplotlib) work each
measured operation cannot avoid, written in plain Python over pxr. Each
benchmark sets the project's time against one of these.
"""

from __future__ import annotations

from datetime import datetime
from pathlib import Path

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from pxr import Sdf, Usd

KPIS = {"cd": 0.2471, "cl": -0.031, "cm_pitch": -0.012}
PROVENANCE = {"fingerprint": "sha256:" + "ab" * 32, "solver_image": "orvane-samples/aero-estimate@sha256:" + "cd" * 32}


def write_results(product: Path) -> None:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    spec = layer.GetPrimAtPath("/Car")
    for name, value in KPIS.items():
        attribute = spec.attributes.get(f"orvane:current:{name}") or Sdf.AttributeSpec(
            spec, f"orvane:current:{name}", Sdf.ValueTypeNames.Double
        )
        attribute.default = value
    for name, value in {
        "lastUpdated": "t",
        "lastModifiedBy": "Orvane",
        "simulationStatus": "COMPLETE",
        **{f"orvane:provenance:{k}": v for k, v in PROVENANCE.items()},
    }.items():
        attribute = spec.attributes.get(name) or Sdf.AttributeSpec(spec, name, Sdf.ValueTypeNames.String)
        attribute.default = value
    history = spec.attributes.get("resultsHistory")
    history.default = list(history.default) + ["t|domain=aero|cd=0.247100"]
    layer.Save()


def read_history(product: Path, prim: str = "/Car") -> list[str]:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    return list(layer.GetPrimAtPath(prim).attributes.get("resultsHistory").default)


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


def draw_history(
    product: Path,
    prim: str,
    kpis: list[str],
    targets: dict[str, tuple[float, float, float]],
    releases: list[tuple[datetime, str]],
    target: Path,
) -> None:
    """Read the history and draw each KPI in a row of its own (results, target
    band, nominal, releases), with matplotlib's own calls; save as PNG or SVG."""
    times, values = [], {kpi: [] for kpi in kpis}
    for entry in read_history(product, prim):
        fields = entry.split("|")
        pairs = dict(field.split("=", 1) for field in fields[1:] if "=" in field)
        times.append(datetime.fromisoformat(fields[0]))
        for kpi in kpis:
            values[kpi].append(float(pairs[kpi]))
    figure = Figure(figsize=(8, 2.8 * len(kpis)), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    for axes, kpi in zip(figure.subplots(len(kpis), 1, squeeze=False, sharex=True).ravel(), kpis):
        low, nominal, high = targets[kpi]
        axes.axhspan(low, high, alpha=0.16, linewidth=0, label="target band")
        axes.axhline(nominal, linestyle="--", label="nominal")
        axes.plot(times, values[kpi], marker="o" if len(times) <= 500 else "None", markersize=4, label="results")
        for moment, version in releases:
            axes.axvline(moment, linestyle="-.", linewidth=0.8)
            axes.text(moment, 0.97, version, transform=axes.get_xaxis_transform(), rotation=90, fontsize=8)
        axes.set_title(kpi, loc="left", fontsize=10)
        axes.grid(True, alpha=0.3)
        axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    figure.savefig(target)
