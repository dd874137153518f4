"""Product loading against the OpenUSD calls it cannot avoid.

    .venv/bin/python bench/bench_product_loading.py

Prints the median time of `load_product` on a product with 2,000 attributes
beside opening the same stage and reading every attribute in plain Python, and
of `_design_intent_keys` on a 5 MB design-intent file beside reading the file
and beside the regular expression the scan implements.
"""

from __future__ import annotations

import re
import tempfile
from pathlib import Path

import floors
from pxr import Sdf, Usd
from timing import median_seconds, report, side_by_side

from orvane_platform.core import product_twin

ATTRIBUTES = 2_000
DESIGN_INTENT_BYTES = 5 * 1024 * 1024
PATTERN = re.compile(r"^\s*(?:double|int|float|string|bool)\s+([A-Za-z0-9_:]+)\s*=", re.MULTILINE)


def make_product(folder: Path) -> Path:
    """A layered product whose default prim carries ATTRIBUTES attributes across
    every key form: current, target, product, other namespaces and bare names."""
    root = folder / "car.usda"
    stage = Usd.Stage.CreateNew(str(root))
    stage.SetDefaultPrim(stage.DefinePrim("/Car", "Xform"))
    layers = {}
    for name in ("prototype", "design_intent"):
        layers[name] = Sdf.Layer.CreateNew(str(folder / "layers" / f"{name}.usda"))
        Sdf.CreatePrimInLayer(layers[name], "/Car")
        stage.GetRootLayer().subLayerPaths.append(f"layers/{name}.usda")
    forms = ["orvane:current:k{}", "orvane:target:k{}_max", "orvane:product:p{}", "orvane:provenance:k{}", "bare_{}"]
    for index in range(ATTRIBUTES):
        form = forms[index % len(forms)]
        layer = layers["design_intent" if "target" in form or "product" in form else "prototype"]
        spec = Sdf.AttributeSpec(layer.GetPrimAtPath("/Car"), form.format(index), Sdf.ValueTypeNames.Double)
        spec.default = float(index)
    for layer in layers.values():
        layer.Save()
    stage.GetRootLayer().Save()
    return root


def make_design_intent(folder: Path) -> Path:
    lines = ["#usda 1.0", 'over "Car"', "{"]
    size = 0
    index = 0
    while size < DESIGN_INTENT_BYTES:
        line = [
            f"    double orvane:product:p{index} = {index}.5",
            f"    custom double orvane:current:k{index} = 1",
            f'    string label_{index} = "text {index}"',
            f"    double[] series_{index} = [1, 2, 3]",
        ][index % 4]
        lines.append(line)
        size += len(line) + 1
        index += 1
    lines.append("}")
    # A flat product: no layers/ folder beside it, so the root file is scanned.
    path = folder / "flat" / "flat.usda"
    path.parent.mkdir()
    path.write_text("\n".join(lines) + "\n")
    return path


def main() -> None:
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        (folder / "layers").mkdir()
        product = make_product(folder)
        loaded = product_twin.load_product(product)
        assert len(loaded) >= ATTRIBUTES
        ours, floor = side_by_side(lambda: product_twin.load_product(product), lambda: floors.read_product(product), 30)
        report(f"load_product ({ATTRIBUTES} attributes)", ours, "open stage + read attributes", floor)

        flat = make_design_intent(folder)
        keys = product_twin._design_intent_keys(flat)
        assert len(keys) == len(set(PATTERN.findall(flat.read_text())))
        scan = median_seconds(lambda: product_twin._design_intent_keys(flat), 20)
        megabytes = flat.stat().st_size / 2**20
        report(
            f"_design_intent_keys ({megabytes:.1f} MB)",
            scan,
            "read the file (bytes)",
            median_seconds(flat.read_bytes, 20),
        )
        report(
            f"_design_intent_keys ({megabytes:.1f} MB)",
            scan,
            "read_text + re.findall",
            median_seconds(lambda: PATTERN.findall(flat.read_text("utf-8")), 20),
        )


if __name__ == "__main__":
    main()
