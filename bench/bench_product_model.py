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

import os
import tempfile
from datetime import UTC, datetime
from pathlib import Path

from pxr import Sdf, Usd, Vt

from timing import median_seconds

from orvane_platform.core import product_twin

SIZES = (1_000, 10_000, 100_000)
KPIS = {"cd": 0.2471, "cl": -0.031, "cm_pitch": -0.012}
PROVENANCE = {"fingerprint": "sha256:" + "ab" * 32, "solver_image": "orvane-samples/aero-estimate@sha256:" + "cd" * 32}



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
            history.default = Vt.StringArray([
                f"{now}|domain=aero|cd=0.{index:06d}|cl=-0.031000|cm_pitch=-0.012000|solver=sample_aero"
                f"|iterations=500|run={index:012x}" for index in range(entries)])
        layer.Save()
        stage.GetRootLayer().subLayerPaths.append(f"layers/{name}.usda")
    stage.GetRootLayer().Save()
    return root


def bare_write(product: Path) -> None:
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


def bare_read(product: Path) -> list[str]:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    return list(layer.GetPrimAtPath("/Car").attributes.get("resultsHistory").default)


def bare_clean(product: Path) -> None:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    history = layer.GetPrimAtPath("/Car").attributes.get("resultsHistory")
    history.default = list(history.default)
    layer.Save()


def row(label: str, entries: int, measured: float, floor: float) -> None:
    print(f"{label:<24} {entries:>7} entries  {measured * 1e3:9.2f} ms   floor {floor * 1e3:9.2f} ms"
          f"   ratio {measured / floor:5.2f}")


def main() -> None:
    os.environ.setdefault("ORVANE_SOLVERS_DIR", str(Path(__file__).resolve().parents[1] / "examples" / "solvers"))
    with tempfile.TemporaryDirectory() as temporary:
        for entries in SIZES:
            product = make_product(Path(temporary) / f"p{entries}", entries)
            repeats = 20 if entries < 100_000 else 5

            def write() -> None:
                product_twin.write_domain_results(product, "aero", KPIS, solver="sample_aero", provenance=PROVENANCE)

            row("write_domain_results", entries, median_seconds(write, repeats),
                median_seconds(lambda: bare_write(product), repeats))
            row("load_product_history", entries,
                median_seconds(lambda: product_twin.load_product_history(product), repeats),
                median_seconds(lambda: bare_read(product), repeats))
            row("clean_history", entries,
                median_seconds(lambda: product_twin.clean_history(product, 90), repeats),
                median_seconds(lambda: bare_clean(product), repeats))


if __name__ == "__main__":
    main()
