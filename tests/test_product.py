"""The product object: running solvers, the range model, design changes."""

from __future__ import annotations

import shutil
import stat

import pytest
import yaml

from orvane_platform.core import provenance
from orvane_platform.core.product import Product
from tests.conftest import SAMPLE_PRODUCT


@pytest.fixture
def product(tmp_path, sample_registry) -> Product:
    shutil.copytree(SAMPLE_PRODUCT, tmp_path / "products" / "sedan")
    return Product(tmp_path / "products" / "sedan" / "sedan.usda")


def test_sample_aero_solver(product, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))  # no docker: the image digest is unknown
    result = product.simulate(domain="aero")
    assert result["status"] == "success" and result["solver"] == "sample_aero"
    assert result["cd"] == pytest.approx(0.26775) and result["converged"] is True
    assert result["parameters"] == {
        "iterations": {"value": 500, "default": 500, "path": "inputs.iterations", "override": False},
        "speed_kmh": {"value": 120, "default": 120, "path": "inputs.speed_kmh", "override": False}}
    record = result["provenance"]
    assert record["solver_image"] == "unknown" and record["solver_cert"] == "missing"
    assert provenance.verify_provenance_record(record)["status"] == "verified"
    case = yaml.safe_load(record["case_yaml"])
    assert case["design"]["roofline_slope_deg"] == 14.5 and case["inputs"] == {"iterations": 500, "speed_kmh": 120}


def test_overrides_and_the_chosen_solver(product):
    product.set_solver(domain="aero", backend="sample_aero")
    result = product.simulate(domain="aero", overrides={"iterations": 100})
    assert result["converged"] is False and result["iterations"] == 100
    assert result["parameters"]["iterations"] == {"value": 100, "default": 500, "path": "inputs.iterations", "override": True}


def test_sample_cornering_solver(product):
    result = product.simulate(domain="dynamics", manoeuvre="skidpad", overrides={"timesteps": 50})
    assert result["status"] == "success" and result["manoeuvre"] == "skidpad"
    assert result["lateral_g"] == pytest.approx(min((60 / 3.6) ** 2 / 40 / 9.81, 0.95), abs=1e-6)
    assert len(result["time_series"]["time"]) == 50
    assert {"yaw_rate", "yaw_rate_dps", "roll_angle", "roll_angle_deg", "speed_kmh"} <= set(result)


def test_design_changes_reach_the_solver(product):
    before = product.simulate(domain="aero")["cd"]
    product.set_design_parameter("roofline_slope_deg", 18)
    assert product.specs["roofline_slope_deg"] == 18.0
    assert product.simulate(domain="aero")["cd"] == pytest.approx(before - 0.00875)
    with pytest.raises(TypeError, match="argument 'value' must be float or int"):
        product.set_design_parameter("mass", "heavy")


def write_solver(registry, alias, body, timeout=5):
    folder = registry / alias
    folder.mkdir()
    script = folder / "run.sh"
    script.write_text(f"#!/bin/bash\n{body}\n")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    (folder / "solver.yaml").write_text(yaml.safe_dump({"image": "img", "run": {"command": [str(script)],
                                                                                 "timeout_seconds": timeout}}))
    (folder / "kpi_spec.yaml").write_text("domain: thermal\nkpis: {t_max: {}}\n")


@pytest.mark.parametrize(
    ("body", "timeout", "error"),
    [("echo 'mesh failed' >&2; exit 3", 5, "solver 'broken' exited with status 3: mesh failed"),
     ("sleep 10", 0.3, "solver 'broken' did not finish within 0.3 s"),
     ("echo 'not json'", 5, "solver 'broken' printed no JSON result"),
     ("echo '[1, 2]'", 5, "solver 'broken' printed a result that is not an object"),
     ("cat > /dev/null; echo '{\"status\": \"success\", \"t_max\": 80}'", 5, None)],
)
def test_solvers_that_fail_hang_or_print_garbage(product, sample_registry, body, timeout, error):
    write_solver(sample_registry, "broken", body, timeout)
    result = product.simulate(domain="thermal")
    if error is None:
        assert result["status"] == "success" and result["t_max"] == 80 and result["solver"] == "broken"
    else:
        assert result["status"] == "error" and result["error"].startswith(error)


def test_solvers_that_cannot_run(product, sample_registry):
    assert product.simulate(domain="thermal") == {"status": "error", "error": "no solver registered for domain 'thermal'"}
    assert product.simulate(domain="aero", solver="nope") == {"status": "error", "error": "unknown solver 'nope'"}
    (sample_registry / "manual").mkdir()
    (sample_registry / "manual" / "solver.yaml").write_text("name: manual\n")
    assert product.simulate(solver="manual")["error"] == "solver 'manual' declares no command to run"
    (sample_registry / "manual" / "solver.yaml").write_text("run: {command: [no-such-program-here]}\n")
    assert product.simulate(solver="manual")["error"] == "solver program not found: no-such-program-here"


def test_range_competitiveness(product):
    analysis = product.range_competitiveness(0.2575)
    assert list(analysis) == ["battery_kwh", "highway_speed_kmh", "crr", "aux_power_kw", "cd", "frontal_area", "cda",
                              "mass_kg", "range_km", "competitors", "sensitivity_per_0_01_cd", "target_cd",
                              "range_at_target_cd", "segment_verdict"]
    assert analysis["cda"] == pytest.approx(0.2575 * 2.32)
    speed = 120 / 3.6
    watts = (0.5 * 1.2 * 0.2575 * 2.32 * speed**3 + 0.009 * 2050 * 9.81 * speed) / 0.9 + 1500
    assert analysis["range_km"] == pytest.approx(82_000 / (watts / speed * 1000 / 3600))
    assert [c["name"] for c in analysis["competitors"]] == ["rival_a", "rival_b"]
    rival_a = analysis["competitors"][0]
    assert list(rival_a) == ["name", "cd", "cda", "range_km", "delta_km"]
    assert rival_a["delta_km"] == pytest.approx(rival_a["range_km"] - analysis["range_km"])
    assert analysis["sensitivity_per_0_01_cd"] > 0 and analysis["target_cd"] == 0.24
    assert analysis["segment_verdict"] == "worst in segment (highest CdA)"
    assert product.range_competitiveness(0.2)["segment_verdict"] == "best in segment (lowest CdA)"
    assert product.range_competitiveness(0.25)["segment_verdict"].startswith("mid-pack (1 of 2")


def test_range_without_competitors(tmp_path, sample_registry):
    from tests.conftest import make_product

    product = Product(make_product(tmp_path, root={"orvane:product:mass": 1500.0}))
    analysis = product.range_competitiveness(0.3)
    assert analysis["competitors"] == [] and analysis["segment_verdict"] == "no competitors to compare"
    assert analysis["target_cd"] == pytest.approx(0.29)
