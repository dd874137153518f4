"""KPI trend charts of a real demo product: PNG and SVG files, the inline SVG
of the report, and the terminal chart of the installed command."""

from __future__ import annotations

import math
import re
import xml.etree.ElementTree as ET
from datetime import UTC, datetime, timedelta
from pathlib import Path

import matplotlib
import matplotlib.image
import pytest
from pxr import Sdf, Vt

from orvane_platform.core import releases, run_records
from orvane_platform.views import charts
from tests.support import EXTREME_HISTORIES, make_product, orvane, parsed, product_with_history

PRODUCT = Path("products/sedan/sedan.usda")
SVG = "{http://www.w3.org/2000/svg}"
VERSIONS = ["v0.1", "v0.2", "v0.3"]


@pytest.fixture(scope="module")
def product(charted_demo: Path) -> Path:
    return charted_demo / PRODUCT


@pytest.fixture(scope="module")
def points(product: Path) -> dict[str, int]:
    """How many results each KPI has in the history."""
    series = charts.kpi_series(product, charts.charted_kpis(product))["series"]
    return {entry["kpi"]: len(entry["points"]) for entry in series}


def by_id(svg_text: str) -> dict[str, ET.Element]:
    return {element.get("id"): element for element in ET.fromstring(svg_text).iter() if element.get("id")}


def test_kpis_are_the_history_values_without_metadata(product, points):
    # iterations and wall_clock_seconds follow the solver in an entry: metadata, not KPIs.
    assert charts.charted_kpis(product) == ["cd", "cl", "cm_pitch", "lateral_g", "yaw_rate", "roll_angle"]
    assert points["cd"] == 3 and points["lateral_g"] == 1


@pytest.mark.parametrize("kpis", [["cd"], ["cd", "cl", "lateral_g"]])
def test_png_is_one_row_per_kpi(product, points, tmp_path, kpis):
    written = charts.kpi_chart(product, kpis, tmp_path / "chart.png")
    data = (tmp_path / "chart.png").read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    image = matplotlib.image.imread(tmp_path / "chart.png")
    assert image.shape[:2] == (280 * len(kpis), 800)
    assert len({tuple(pixel) for pixel in image.reshape(-1, image.shape[2])[::97]}) > 20  # drawn, not blank
    assert written["format"] == "png" and written["points"] == {kpi: points[kpi] for kpi in kpis}
    assert written["releases"] == VERSIONS


def test_svg_holds_each_series_its_targets_and_the_releases(product, points, tmp_path):
    charts.kpi_chart(product, ["cd", "cl"], tmp_path / "chart.svg")
    parts = by_id((tmp_path / "chart.svg").read_text())
    for kpi in ("cd", "cl"):
        # One marker per result, in the series' own group.
        assert len(parts[f"{kpi}:series"].findall(f".//{SVG}use")) == points[kpi]
        assert f"{kpi}:nominal" in parts
        for version in VERSIONS:
            assert f"{kpi}:release:{version}" in parts
            label = parts[f"{kpi}:release-label:{version}"]
            assert "".join(label.itertext()).strip() == version  # text, not glyph outlines
    # cl has both bounds: a band; cd only a max: a line.
    assert "cl:band" in parts and "cd:max" in parts and "cd:band" not in parts and "cd:min" not in parts


def test_inline_svg_is_one_element_without_prolog(product):
    svg = charts.kpi_svgs(product, ["cd"])[0]
    assert svg.startswith("<svg") and "<?xml" not in svg and "DOCTYPE" not in svg
    assert "cd:series" in by_id(svg) and "<metadata" not in svg


def test_drawing_leaves_matplotlib_global_state_alone(product, tmp_path):
    import matplotlib.pyplot as plt

    backend, fonttype, figures = matplotlib.get_backend(), matplotlib.rcParams["svg.fonttype"], plt.get_fignums()
    charts.kpi_chart(product, ["cd"], tmp_path / "chart.svg")
    charts.kpi_svgs(product, ["cl"])
    assert (matplotlib.get_backend(), matplotlib.rcParams["svg.fonttype"], plt.get_fignums()) == (
        backend,
        fonttype,
        figures,
    )


@pytest.mark.parametrize(
    ("kpis", "name", "error", "message"),
    [
        ("cd", "chart.png", TypeError, "'kpis'"),
        ([], "chart.png", ValueError, "names no KPI"),
        (["cd", 7], "chart.png", TypeError, "'kpis'"),
        (["drag"], "chart.png", ValueError, "KPI 'drag' has no results"),
        ([f"k{i}" for i in range(13)], "chart.png", ValueError, "at most 12"),
        (["cd"], "chart.jpg", ValueError, "'.jpg'"),
        (["cd"], "chart", ValueError, "''"),
    ],
)
def test_bad_arguments_are_named_and_write_nothing(product, tmp_path, kpis, name, error, message):
    with pytest.raises(error, match=message):
        charts.kpi_chart(product, kpis, tmp_path / name)
    assert list(tmp_path.iterdir()) == []


def test_plot_command_draws_in_the_terminal_and_to_files(charted_demo):
    shown = orvane("plot", "sedan", "--kpi", "cd", "--kpi", "lateral_g", cwd=charted_demo)
    assert shown.returncode == 0, shown.stderr
    assert "cd \u00b7 Drag coefficient  (nominal 0.24, max 0.26)" in shown.stdout
    assert "lateral_g \u00b7 Peak lateral acceleration  (min 0.85, nominal 0.9)" in shown.stdout
    assert all(version in shown.stdout for version in VERSIONS) and "\x1b[" not in shown.stdout

    written = parsed(orvane("plot", "sedan", "-o", "all.svg", "--json", cwd=charted_demo))
    assert list(written["points"]) == ["cd", "cl", "cm_pitch", "lateral_g", "yaw_rate", "roll_angle"]
    assert (charted_demo / "all.svg").is_file()

    series = parsed(orvane("plot", "sedan", "--kpi", "CD", "--json", cwd=charted_demo))
    assert [entry["kpi"] for entry in series["series"]] == ["cd"]
    assert [release["version"] for release in series["releases"]] == VERSIONS


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("--kpi", "drag"), "KPI 'drag' has no results"),
        (("-o", "chart.gif"), "must end in .png or .svg"),
        (("-o", "no-folder/chart.png"), "No such file or directory: 'no-folder'"),
    ],
)
def test_plot_command_refuses_bad_input_in_one_line(charted_demo, arguments, message):
    refused = orvane("plot", "sedan", *arguments, cwd=charted_demo)
    assert refused.returncode == 2 and message in refused.stderr
    assert refused.stderr.count("\n") == 1 and "Traceback" not in refused.stderr


@pytest.mark.parametrize(
    ("step", "label"),
    [
        (timedelta(milliseconds=30), r"\d\d:\d\d:\d\d\.\d{3}"),  # runs within one second
        (timedelta(seconds=20), r"\d\d:\d\d:\d\d"),
        (timedelta(minutes=7), r"(?<![-:])\d\d:\d\d(?!:)"),
        (timedelta(days=40), r"\d{4}-\d\d-\d\d"),
    ],
)
def test_terminal_time_labels_differ_and_release_labels_stay_whole(tmp_path, step, label):
    product = make_product(tmp_path / "car", layers={"prototype": {}})
    start = datetime(2026, 5, 1, 8, 0, tzinfo=UTC)
    # The highest result at each release, where its label is written.
    values = [0.30, 0.31, 0.35, 0.32, 0.30, 0.35]
    layer = Sdf.Layer.FindOrOpen(str(tmp_path / "car/layers/prototype.usda"))
    history = Sdf.AttributeSpec(layer.GetPrimAtPath("/Car"), "resultsHistory", Sdf.ValueTypeNames.StringArray)
    history.default = Vt.StringArray(
        [f"{(start + step * index).isoformat()}|domain=aero|cd={value}" for index, value in enumerate(values)]
    )
    layer.Save()
    for version, index in (("v1.0", 2), ("v2.0", 5)):
        assert releases.freeze_release(product, version, "", timestamp=start + step * index)["status"] == "frozen"

    text = charts.kpi_terminal(product, ["cd"], width=90, height=14)
    ticks = re.findall(label, text.rstrip().splitlines()[-1])
    assert len(ticks) >= 3 and len(set(ticks)) == len(ticks)
    assert re.search(r"\bv1\.0\b", text) and re.search(r"\bv2\.0\b", text)


@pytest.mark.parametrize("values", EXTREME_HISTORIES.values(), ids=EXTREME_HISTORIES.keys())
def test_any_finite_values_are_drawn_and_the_others_left_out(tmp_path, values):
    product = product_with_history(tmp_path / "car", values)
    finite = [value for value in values if math.isfinite(value)]
    shown = orvane("plot", str(product), "--kpi", "cd", cwd=tmp_path)
    assert shown.returncode == 0 and shown.stderr == "", shown.stderr  # no error, no warning
    assert shown.stdout.count("\u25cf") >= 1
    series = parsed(orvane("plot", str(product), "--kpi", "cd", "--json", cwd=tmp_path))
    assert [value for _, value in series["series"][0]["points"]] == finite
    for suffix in ("png", "svg"):
        drawn = orvane("plot", str(product), "--kpi", "cd", "-o", f"chart.{suffix}", "--json", cwd=tmp_path)
        assert drawn.returncode == 0 and drawn.stderr == "", drawn.stderr
        assert parsed(drawn)["points"] == {"cd": len(finite)}
    svg = (tmp_path / "chart.svg").read_text()
    assert len(by_id(svg)["cd:series"].findall(f".//{SVG}use")) == len(finite)
    labels = " ".join("".join(text.itertext()) for text in ET.fromstring(svg).iter(f"{SVG}text"))
    largest = max(abs(value) for value in finite)
    if largest > 1e100 or 0 < largest < 1e-100:  # drawn to scale, ticks tell the values
        assert f"e{math.floor(math.log10(largest)):+03d}" in labels, labels


@pytest.mark.parametrize("values", [[-1e308, 1e308], [1e-308, 3e-308], [0.3, 0.31]])
def test_the_terminal_labels_the_value_axis_with_the_values_themselves(tmp_path, values):
    product = product_with_history(tmp_path / "car", values)
    text = charts.kpi_terminal(product, ["cd"], width=80, height=20)
    ticks = [float(line.split("\u2524")[0]) for line in text.splitlines() if "\u2524" in line]
    assert ticks == sorted(ticks, reverse=True) and len(ticks) >= 3, ticks
    assert math.isclose(ticks[-1], min(values), rel_tol=1e-3) and ticks[0] >= max(values), ticks


@pytest.mark.parametrize("values", EXTREME_HISTORIES.values(), ids=EXTREME_HISTORIES.keys())
def test_any_finite_values_are_drawn_against_a_design_value(tmp_path, sample_registry, monkeypatch, values):
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(tmp_path / "products"))
    product = make_product(tmp_path / "products" / "car", layers={"prototype": {}})
    for minute, value in enumerate(values):  # a run of mass = value giving cd = value
        written = run_records.write_run_record(
            product,
            {"status": "success", "cd": value},
            "aero",
            "sample_aero",
            provenance={"fingerprint": f"sha256:{minute:064x}", "solver_image": "img", "case_yaml": ""},
            parameters={"mass": {"value": value, "default": 0.0, "path": "mass", "override": True}},
            timestamp=datetime(2026, 5, 1, tzinfo=UTC) + timedelta(minutes=minute),
        )
        assert written["status"] == "written"
    drawn = orvane("plot", str(product), "--kpi", "cd", "--against", "mass", "-o", "against.svg", cwd=tmp_path)
    assert drawn.returncode == 0 and drawn.stderr == "", drawn.stderr
    dots = by_id((tmp_path / "against.svg").read_text())["cd:runs"].findall(f".//{SVG}use")
    assert len(dots) == len([value for value in values if math.isfinite(value)])


@pytest.mark.parametrize(
    ("targets", "drawn"),
    [
        ({"min": -1e308, "nominal": 0.3, "max": 1e308}, {"cd:band", "cd:nominal"}),
        ({"nominal": -5e300, "max": 1e308}, set()),
        ({"min": 1e307, "max": 1e308}, set()),
        ({"min": 0.2, "max": 5.0}, {"cd:band"}),
    ],
    ids=["wide-band", "far-lines", "far-band", "near-band"],
)
def test_targets_far_from_the_values_are_cut_off_the_axis(tmp_path, targets, drawn):
    product = product_with_history(tmp_path / "car", [0.3, 0.31], targets=targets)
    done = orvane("plot", str(product), "--kpi", "cd", "-o", "chart.svg", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    svg = (tmp_path / "chart.svg").read_text()
    assert {part for part in by_id(svg) if part in ("cd:band", "cd:min", "cd:nominal", "cd:max")} == drawn
    labels = [float("".join(text.itertext())) for text in by_id(svg)["matplotlib.axis_2"].iter(f"{SVG}text")]
    assert max(labels) <= 0.31 + 10 * 0.01 + 0.1 and min(labels) >= 0.3 - 10 * 0.01 - 0.1, labels  # the values' reach
    shown = orvane("plot", str(product), "--kpi", "cd", cwd=tmp_path)
    assert shown.returncode == 0 and f"max {targets['max']:g}" in shown.stdout  # the caption keeps the targets
