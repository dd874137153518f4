"""Whatever a solver prints, the workspace keeps working: arbitrary JSON-like
output goes through the real run path, and afterwards the workspace still
searches, gates and reports, and no value that is not a finite number reaches
the product."""

from __future__ import annotations

import json
import math
import shutil
import stat

import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane_platform.core import product_twin
from orvane_platform.runs import index, solver_run, twin_state
from orvane_platform.views import report
from tests.support import orvane

KPIS = ("cd", "cl", "cm_pitch")

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(10**400), max_value=10**400)
    | st.floats()
    | st.sampled_from(["nan", "NaN", "inf", "-Infinity", "1e999", "0.3", "", "hot"])
    | st.text(max_size=12)
)
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=6), children, max_size=3),
    max_leaves=8,
)
outputs = (
    st.fixed_dictionaries(
        {},
        optional={
            "status": st.sampled_from(["success", "error", "failed", ""]) | values,
            **dict.fromkeys(KPIS, st.floats(min_value=-1, max_value=1) | values),
            "converged": values,
            "error": values,
            "assumptions": values,
            "extra": values,
        },
    )
    | values
)


def hostile_solver(registry, output_file):
    """A solver in the aero domain that prints the contents of `output_file`."""
    folder = registry / "hostile_aero"
    folder.mkdir()
    script = folder / "run.sh"
    script.write_text(f"#!/bin/bash\ncat {output_file}\n")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    config = {
        "image": "img",
        "domain": "aero",
        "run": {"command": [str(script)], "timeout_seconds": 10},
        "design": {"ride_height": {"min": 0.08, "max": 0.25}},
        "kpi_spec": {"kpis": list(KPIS)},
    }
    (folder / "solver.yaml").write_text(yaml.safe_dump(config))
    shutil.copy(registry / "sample_aero" / "kpi_spec.yaml", folder)


def finite_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def test_any_solver_output_leaves_the_workspace_working(sample_product, sample_registry, tmp_path, monkeypatch):
    products = sample_product.parents[1]
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(products))
    output_file = tmp_path / "output.json"
    hostile_solver(sample_registry, output_file)
    page = tmp_path / "report.html"

    @settings(max_examples=100, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(outputs)
    def run_with(output):
        output_file.write_text(json.dumps(output))  # NaN and the infinities as Python writes them
        result = solver_run.run_product(sample_product, solver="hostile_aero", domain="aero")
        if result["status"] == "success":
            assert all(finite_number(result["kpis"][kpi]) for kpi in KPIS), result
        else:
            assert result["error"] and result["saved"] is None, result
        gates = twin_state.product_gates(sample_product)["gates"]
        assert all(gate["value"] is None or finite_number(gate["value"]) for gate in gates)
        index.search("kpi.cd > 0 or status = 'error'")
        report.write_report(sample_product, page)

    run_with()
    # The installed command too, over everything the examples left behind.
    for arguments in (["runs", "search", ""], ["runs", "list", "sedan"], ["gates", "sedan"], ["report", "sedan"]):
        done = orvane(*arguments, cwd=products.parent, env={"ORVANE_PRODUCTS_DIR": str(products)})
        assert done.returncode in (0, 1) and "Traceback" not in done.stderr, (arguments, done.stderr)


def test_a_text_a_solver_prints_cannot_pose_as_a_field_of_the_history(sample_product, sample_registry, tmp_path):
    output_file = tmp_path / "output.json"
    hostile_solver(sample_registry, output_file)
    forged = {"status": "success", "cd": 0.25, "cl": 0.01, "cm_pitch": 0.0, "iterations": "7|run_id=forged"}
    output_file.write_text(json.dumps(forged))
    run = solver_run.run_product(sample_product, solver="hostile_aero", domain="aero")
    entry = product_twin.load_product_history(sample_product)[-1]["raw"]
    assert "|iterations=7%7Crun_id=forged|" in entry and f"|run_id={run['run_id']}" in entry
    assert [each["saved"] for each in twin_state.recorded_runs(sample_product)] == [True]
