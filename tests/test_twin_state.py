"""The twin never lies: a product's current results, its design and its releases describe one evaluated design,
and every command says so when they do not."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

import pytest
import yaml
from pxr import Sdf

from orvane_platform.core import product_twin
from orvane_platform.runs import index, solver_run, twin_state
from orvane_platform.views import report
from tests.support import orvane, parsed, write_solver

PRODUCT = Path("products/sedan/sedan.usda")


def product_files(workspace: Path) -> dict[str, str]:
    """Digest of every file of the product but its run records and its lock file."""
    folder = workspace / PRODUCT.parent
    return {
        str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest()
        for path in sorted(folder.rglob("*"))
        if path.is_file() and "simulation_runs" not in path.parts and path.name != ".orvane.lock"
    }


def gates(workspace: Path) -> dict:
    return parsed(orvane("gates", "sedan", "--json", cwd=workspace))


# --- through the command ------------------------------------------------------------------------


def test_a_design_change_marks_the_kpis_of_the_runs_it_changes_stale(demo):
    assert gates(demo)["stale"] == {}
    assert orvane("product", "set", "sedan", "roofline_slope_deg=16", cwd=demo).returncode == 0
    checked = gates(demo)
    assert set(checked["stale"]) == {"cd", "cl", "cm_pitch"}  # the demo's aero run; dynamics has not run
    assert checked["stale"]["cd"].startswith("roofline_slope_deg 18 → 16 since run run_aero_")
    assert checked["runs"]["aero"]["changes"] == {"roofline_slope_deg": [18.0, 16.0]}
    shown = orvane("gates", "sedan", cwd=demo).stdout
    assert "STALE" in shown and "stale: cd, cl, cm_pitch: roofline_slope_deg 18 → 16" in shown
    product = parsed(orvane("product", "show", "sedan", "--json", cwd=demo))
    assert set(product["_stale"]) == {"cd", "cl", "cm_pitch"} and product["roofline_slope_deg"] == 16.0
    assert orvane("product", "set", "sedan", "roofline_slope_deg=18", cwd=demo).returncode == 0
    assert gates(demo)["stale"] == {}  # back to the design its run evaluated


def test_a_release_of_a_stale_product_is_refused_unless_forced(demo):
    assert orvane("product", "set", "sedan", "mass=2100", cwd=demo).returncode == 0
    assert orvane("release", "freeze", "sedan", "v0.8", cwd=demo).returncode == 0  # the aero solver reads no mass
    orvane("product", "set", "sedan", "ride_height=0.16", cwd=demo)
    refused = orvane("release", "freeze", "sedan", "v0.9", cwd=demo)
    assert refused.returncode == 1 and "Not frozen" in refused.stdout
    assert refused.stdout.count("stale ") == 3 and "ride_height 0.14 → 0.16" in refused.stdout
    assert not (demo / PRODUCT.parent / "releases" / "v0.9.usda").exists()

    forced = parsed(orvane("release", "freeze", "sedan", "v0.9", "--force", "--json", cwd=demo))
    assert forced["status"] == "frozen" and [line.split(":")[0] for line in forced["stale"]] == ["cd", "cl", "cm_pitch"]
    assert forced["not_run"] == ["lateral_g", "roll_angle"]  # targets no run has evaluated: listed, not blocking
    layer = Sdf.Layer.FindOrOpen(forced["path"])
    recorded = layer.GetPrimAtPath("/Sedan").attributes
    assert list(recorded["orvane:release:stale"].default) == forced["stale"]
    assert list(recorded["orvane:release:not_run"].default) == ["lateral_g", "roll_angle"]
    listed = orvane("release", "list", "sedan", cwd=demo).stdout
    assert "not run: lateral_g, roll_angle; stale: cd, cl, cm_pitch" in listed


def test_a_what_if_leaves_the_product_as_it_was(demo):
    before = product_files(demo)
    what_if = parsed(
        orvane(
            "run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=12", "--save", "none", "--json", cwd=demo
        )
    )
    assert what_if["status"] == "success" and what_if["design_saved"] is False
    assert what_if["parameters_set"] == {"roofline_slope_deg": [18.0, 12.0]}
    assert product_files(demo) == before
    case = yaml.safe_load(Path(what_if["run_record"]).read_text().split('case_yaml = """', 1)[1].split('"""')[0])
    assert case["design"]["roofline_slope_deg"] == 12.0  # the change went into the run's case only
    shown = orvane("run", "sedan", "--domain", "aero", "--set", "mass=1900", "--save", "none", cwd=demo).stdout
    assert "(for this run only)" in shown and "not saved: a what-if" in shown


def test_a_saved_change_moves_design_and_results_together(demo):
    saved = parsed(orvane("run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=16", "--json", cwd=demo))
    assert saved["design_saved"] is True and saved["saved"] == "prototype"
    assert parsed(orvane("product", "show", "sedan", "--json", cwd=demo))["roofline_slope_deg"] == 16.0
    assert gates(demo)["stale"] == {}


def test_run_and_gates_give_one_verdict(demo):
    for domain in ("aero", "dynamics"):
        run = orvane("run", "sedan", "--domain", domain, cwd=demo)
        assert run.returncode == orvane("gates", "sedan", cwd=demo).returncode
    summary = parsed(orvane("run", "sedan", "--domain", "aero", "--json", cwd=demo))
    assert summary["gates"]["summary"] == gates(demo)["summary"]  # every domain, not only the one that ran
    assert {gate["domain"] for gate in summary["gates"]["gates"]} == {"aero", "dynamics"}


def test_a_kpi_that_is_not_a_number_is_an_error_run_everywhere(demo):
    folder = demo / "solvers" / "hot_brakes"
    write_solver(demo / "solvers", "hot_brakes", """cat > /dev/null; echo '{"status": "success", "t_max": "hot"}'""")
    assert folder.is_dir()
    before = product_files(demo)
    run = orvane("run", "sedan", "--solver", "hot_brakes", cwd=demo)
    assert run.returncode == 1 and "solver hot_brakes returned t_max = 'hot': not a number" in run.stdout
    [found] = parsed(orvane("runs", "search", "solver = 'hot_brakes'", "--json", cwd=demo))
    assert found["status"] == "error" and found["kpis"] == {}
    assert product_files(demo) == before  # no history entry, no values


# --- the library ---------------------------------------------------------------------------------


@pytest.fixture
def product(sample_product, sample_registry):
    return sample_product


def test_a_solver_that_names_what_it_reads_is_stale_only_when_that_changes(product, sample_registry):
    config = sample_registry / "sample_aero" / "solver.yaml"
    declared = yaml.safe_load(config.read_text()) | {"design": ["roofline_slope_deg"]}
    config.write_text(yaml.safe_dump(declared))
    solver_run.run_product(product, domain="aero")
    solver_run.set_design_parameters(product, {"mass": 2300.0})
    assert twin_state.stale_kpis(product) == {}
    solver_run.set_design_parameters(product, {"roofline_slope_deg": 15.0})
    assert set(twin_state.stale_kpis(product)) == {"cd", "cl", "cm_pitch"}
    page = report.report_html(product)
    assert "stale since its run" in page and "roofline_slope_deg 14.5 → 15 since run run_aero_" in page


def test_results_whose_run_is_gone_failed_or_unconverged_are_stale(product, sample_registry):
    summary = solver_run.run_product(product, domain="aero")
    assert twin_state.stale_kpis(product) == {}
    Path(summary["run_record"]).unlink()
    assert twin_state.stale_kpis(product)["cd"] == f"their run {summary['run_id']} is not on record"

    write_solver(
        sample_registry, "flaky", """cat > /dev/null; echo '{"status": "success", "t_max": 1, "converged": "no"}'"""
    )
    unconverged = solver_run.run_product(product, solver="flaky")
    assert twin_state.current_runs(product)["thermal"]["reason"] == (
        f"their run {unconverged['run_id']} did not converge"
    )
    failed = failed_run_fingerprint(product, sample_registry)
    product_twin.write_domain_results(product, "thermal", {"t_max": 1.0}, provenance={"fingerprint": failed})
    assert twin_state.stale_kpis(product)["t_max"].endswith("failed")


def failed_run_fingerprint(product, registry) -> str:
    """The fingerprint of a failed run of the product, as its record holds it."""
    write_solver(registry, "broken", "exit 3")
    assert solver_run.run_product(product, solver="broken")["status"] == "error"
    [failed] = index.product_runs(product, solver="broken")
    return failed["fingerprint"]


def test_history_without_a_run_says_so(product):
    product_twin.write_domain_results(product, "aero", {"cd": 0.25, "cl": 0.01, "cm_pitch": 0.0})
    assert twin_state.current_runs(product)["aero"]["reason"] == "no run is on record for them"
    assert json.dumps(twin_state.product_gates(product)["stale"])  # plain data
