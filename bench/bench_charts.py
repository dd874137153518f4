"""KPI charts and the product report, at 100 and 10,000 history entries.

    .venv/bin/python bench/bench_charts.py

Cases, each beside its floor:
- `kpi_chart` of three KPIs to SVG and to PNG, against reading the history
  array and drawing the same rows (results, target band, nominal, releases)
  with matplotlib's own calls (bench/floors.py);
- `report_html`, against drawing the charts it embeds (`kpi_svgs` of every
  charted KPI): what the rest of the report costs.
No goals: the numbers show where the time of a chart goes.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from datetime import UTC, datetime, timedelta
from pathlib import Path

import floors
from pxr import Sdf, Vt
from timing import report, side_by_side

from orvane_platform.core import releases
from orvane_platform.views import charts
from orvane_platform.views import report as product_report

SIZES = (100, 10_000)
KPIS = ["cd", "cl", "cm_pitch"]
START = datetime(2026, 1, 5, 8, 0, tzinfo=UTC)
ROOT = Path(__file__).resolve().parents[1]


def make_product(folder: Path, entries: int) -> tuple[Path, list[tuple[datetime, str]]]:
    """The sample sedan with `entries` aero results a day apart and three releases."""
    shutil.copytree(ROOT / "examples" / "products" / "sedan", folder)
    layer = Sdf.Layer.FindOrOpen(str(folder / "layers" / "prototype.usda"))
    spec = layer.GetPrimAtPath("/Sedan").attributes.get("resultsHistory") or Sdf.AttributeSpec(
        layer.GetPrimAtPath("/Sedan"), "resultsHistory", Sdf.ValueTypeNames.StringArray
    )
    spec.default = Vt.StringArray(
        [
            f"{(START + timedelta(hours=index)).isoformat()}|domain=aero|cd={0.24 + (index % 40) / 1000:.6f}"
            f"|cl={0.010 + (index % 7) / 1000:.6f}|cm_pitch=-0.003000|solver=sample_aero"
            for index in range(entries)
        ]
    )
    layer.Save()
    product = folder / "sedan.usda"
    frozen = []
    for number in range(3):
        moment = START + timedelta(hours=entries * (number + 1) // 4)
        version = f"v0.{number + 1}"
        releases.freeze_release(product, version, "", timestamp=moment)
        frozen.append((moment, version))
    return product, frozen


def main() -> None:
    os.environ.setdefault("ORVANE_SOLVERS_DIR", str(ROOT / "examples" / "solvers"))
    targets = {"cd": (0.22, 0.24, 0.26), "cl": (0.0, 0.012, 0.02), "cm_pitch": (-0.01, -0.003, 0.0)}
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        os.environ["ORVANE_WORKSPACE"] = temporary
        for entries in SIZES:
            product, frozen = make_product(folder / f"sedan{entries}", entries)
            repeats = 7 if entries < 10_000 else 3
            for suffix in ("svg", "png"):
                ours, floor = side_by_side(
                    lambda: charts.kpi_chart(product, KPIS, folder / f"chart.{suffix}"),
                    lambda: floors.draw_history(product, "/Sedan", KPIS, targets, frozen, folder / f"floor.{suffix}"),
                    repeats,
                )
                report(
                    f"kpi_chart, 3 KPIs, {entries} entries, {suffix.upper()}", ours, "read the array, draw, save", floor
                )
            charted = charts.charted_kpis(product)
            ours, floor = side_by_side(
                lambda: product_report.report_html(product), lambda: charts.kpi_svgs(product, charted), repeats
            )
            report(f"report_html, {entries} entries", ours, f"its {len(charted)} charts alone", floor)


if __name__ == "__main__":
    main()
