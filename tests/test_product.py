"""The product object: running solvers, the range model, design changes."""

from __future__ import annotations

import shutil
import stat
from pathlib import Path

import pytest
import yaml

from orvane_platform.core import provenance
from orvane_platform.core.product import Product
from tests.support import SAMPLE_PRODUCT, write_solver


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
        "speed_kmh": {"value": 120, "default": 120, "path": "inputs.speed_kmh", "override": False},
    }
    record = result["provenance"]
    assert record["solver_image"] == "unknown" and record["solver_cert"] == "missing"
    assert provenance.verify_provenance_record(record)["status"] == "verified"
    case = yaml.safe_load(record["case_yaml"])
    assert case["design"]["roofline_slope_deg"] == 14.5 and case["inputs"] == {"iterations": 500, "speed_kmh": 120}


def test_overrides_and_the_chosen_solver(product):
    product.set_solver(domain="aero", backend="sample_aero")
    result = product.simulate(domain="aero", overrides={"iterations": 100})
    assert result["converged"] is False and result["iterations"] == 100
    assert result["parameters"]["iterations"] == {
        "value": 100,
        "default": 500,
        "path": "inputs.iterations",
        "override": True,
    }


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


@pytest.mark.parametrize(
    ("body", "timeout", "error"),
    [
        ("echo 'mesh failed' >&2; exit 3", 5, "solver 'broken' exited with status 3: mesh failed"),
        ("sleep 10", 0.3, "solver 'broken' did not finish within 0.3 s"),
        ("echo 'not json'", 5, "solver 'broken' printed no JSON result"),
        ("echo '[1, 2]'", 5, "solver 'broken' printed a result that is not an object"),
        ('cat > /dev/null; echo \'{"status": "success", "t_max": 80}\'', 5, None),
    ],
)
def test_solvers_that_fail_hang_or_print_garbage(product, sample_registry, body, timeout, error):
    write_solver(sample_registry, "broken", body, timeout)
    result = product.simulate(domain="thermal")
    if error is None:
        assert result["status"] == "success" and result["t_max"] == 80 and result["solver"] == "broken"
    else:
        assert result["status"] == "error" and result["error"].startswith(error)


def test_solvers_that_cannot_run(product, sample_registry):
    assert product.simulate(domain="thermal") == {
        "status": "error",
        "error": "no solver registered for domain 'thermal'",
    }
    assert product.simulate(domain="aero", solver="nope") == {"status": "error", "error": "unknown solver 'nope'"}
    (sample_registry / "manual").mkdir()
    (sample_registry / "manual" / "solver.yaml").write_text("name: manual\n")
    assert product.simulate(solver="manual")["error"] == "solver 'manual' declares no command to run"
    (sample_registry / "manual" / "solver.yaml").write_text("run: {command: [no-such-program-here]}\n")
    assert product.simulate(solver="manual")["error"] == "solver program not found: no-such-program-here"


def test_range_competitiveness(product):
    analysis = product.range_competitiveness(0.2575)
    assert list(analysis) == [
        "battery_kwh",
        "highway_speed_kmh",
        "crr",
        "aux_power_kw",
        "cd",
        "frontal_area",
        "cda",
        "mass_kg",
        "range_km",
        "competitors",
        "sensitivity_per_0_01_cd",
        "target_cd",
        "range_at_target_cd",
        "segment_verdict",
    ]
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
    from tests.support import make_product

    product = Product(make_product(tmp_path, root={"orvane:product:mass": 1500.0}))
    analysis = product.range_competitiveness(0.3)
    assert analysis["competitors"] == [] and analysis["segment_verdict"] == "no competitors to compare"
    assert analysis["target_cd"] == pytest.approx(0.29)


def test_the_default_solver_is_the_first_of_the_domain_that_fits_the_product(product, tmp_path, sample_registry):
    ahmed = tmp_path / "products" / "ahmed"
    shutil.copytree(SAMPLE_PRODUCT.parent / "ahmed", ahmed)
    # The CFD solver comes first but reads design parameters the sedan lacks.
    assert product.default_solver("aero") == "sample_aero"
    assert Product(ahmed / "ahmed.usda").default_solver("aero") == "openfoam_ahmed"
    assert product.default_solver("thermal") is None
    product.set_solver(domain="aero", backend="openfoam_ahmed")
    assert product.default_solver("aero") == "openfoam_ahmed"
    # When none fits, the first runs and says what is missing.
    config = sample_registry / "sample_aero" / "solver.yaml"
    config.write_text(config.read_text() + "design: [wingspan]\n")
    assert Product(product.usd_path).default_solver("aero") == "openfoam_ahmed"
    assert "no design parameter 'length'" in Product(product.usd_path).simulate(domain="aero")["error"]


@pytest.mark.parametrize(
    ("design", "chosen"),
    [
        ({"roofline_slope_deg": None, "ride_height": {"min": 0.1}}, "sample_aero"),
        (["roofline_slope_deg", "ride_height"], "sample_aero"),
        ({"roofline_slope_deg": {"max": 30}, "wingspan": None}, "openfoam_ahmed"),  # none fits: the first
        (["roofline_slope_deg", "wingspan"], "openfoam_ahmed"),
    ],
)
def test_a_solver_fits_by_its_design_as_a_list_or_with_bounds(product, sample_registry, design, chosen):
    path = sample_registry / "sample_aero" / "solver.yaml"
    config = yaml.safe_load(path.read_text())
    path.write_text(yaml.safe_dump(config | {"design": design}))
    assert Product(product.usd_path).default_solver("aero") == chosen


def write_prepared_solver(registry, prepare_body):
    write_solver(
        registry,
        "prepared",
        'cat > /dev/null; echo "{\\"status\\": \\"success\\", \\"t_max\\": $(wc -c < $ORVANE_PREPARED_DIR/body.stl),'
        ' \\"cache\\": \\"$ORVANE_CACHE_DIR\\", \\"prepared\\": \\"$ORVANE_PREPARED_DIR\\"}"',
    )
    script = registry / "prepared" / "prepare.sh"
    script.write_text(f"#!/bin/bash\n{prepare_body}\n")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    config = yaml.safe_load((registry / "prepared" / "solver.yaml").read_text())
    config["run"]["prepare"] = [str(script)]
    config["version"] = "from-yaml"
    (registry / "prepared" / "solver.yaml").write_text(yaml.safe_dump(config))


def test_a_prepare_step_puts_the_geometry_and_the_mesh_into_the_fingerprint(product, sample_registry, isolated_home):
    write_prepared_solver(
        sample_registry,
        'cat > "$1/body.stl"; echo "{\\"geometry\\": [\\"$1/body.stl\\"], '
        '\\"mesh_cache\\": \\"sha256:abc\\", \\"solver_version\\": \\"9.1\\"}"',
    )
    result = product.simulate(domain="thermal")
    assert result["status"] == "success", result
    record = result["provenance"]
    assert record["geometry"].startswith("sha256:") and record["mesh_cache"] == "sha256:abc"
    assert record["solver_version"] == "9.1"
    assert provenance.verify_provenance_record(record)["status"] == "verified"
    # The prepare step was given the case; its folder is gone after the run.
    assert result["t_max"] == len(record["case_yaml"].encode())
    assert result["cache"] == str(isolated_home / "cache" / "prepared")
    assert not Path(result["prepared"]).exists()
    # Another case (another geometry) is another fingerprint.
    product.set_design_parameter("mass", 2100.0)
    assert product.simulate(domain="thermal")["provenance"]["geometry"] != record["geometry"]


@pytest.mark.parametrize(
    ("prepare_body", "error"),
    [
        ("echo oops >&2; exit 4", "solver 'prepared' exited with status 4: oops"),
        ('echo \'{"geometry": ["/etc/hostname"]}\'', "its geometry file '/etc/hostname' is not a file in "),
        ('echo \'{"geometry": ["$1/missing.stl"]}\'', "is not a file in "),
        ("echo '{\"mesh_cache\": 3}'", "its mesh_cache is not a string"),
        ('echo \'{"error": "slant too steep"}\'', "slant too steep"),
        ("echo garbage", "it printed no JSON"),
    ],
)
def test_a_failed_prepare_step_is_an_error_before_the_run(product, sample_registry, prepare_body, error):
    write_prepared_solver(sample_registry, prepare_body)
    result = product.simulate(domain="thermal")
    assert result["status"] == "error"
    assert result["error"].startswith("solver 'prepared' could not prepare its inputs: ")
    assert error in result["error"]
    assert "run_id" not in result
