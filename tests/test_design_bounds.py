"""Design bounds: the values a solver declares it accepts (solver.yaml `design`), refused outside them on
every path (a run, a sweep, `product set`) before anything runs or is written."""

from __future__ import annotations

from pathlib import Path

import pytest
import yaml

from orvane_platform.core import run_records
from orvane_platform.runs import solver_run
from orvane_platform.setup import demo
from tests.support import orvane, parsed


@pytest.fixture
def workspace(tmp_path: Path) -> Path:
    """The demo's workspace before its walk-through: the sample products and registry."""
    return demo.prepare_workspace(tmp_path / "workspace")["workspace"]


def files_of(folder: Path) -> dict[str, bytes]:
    return {str(path.relative_to(folder)): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


def add_solver(registry: Path, alias: str, design: object) -> None:
    """A solver of its own domain that declares `design` and would answer if it ran."""
    folder = registry / alias
    folder.mkdir()
    config = {"image": "img", "run": {"command": ["true"]}, "design": design}
    (folder / "solver.yaml").write_text(yaml.safe_dump(config))
    (folder / "kpi_spec.yaml").write_text(f"domain: {alias}\nkpis: {{x: {{}}}}\n")


@pytest.mark.parametrize(
    ("command", "refused"),
    [
        (
            "run sedan --domain aero --set roofline_slope_deg=1e9",
            "roofline_slope_deg = 1e+09 is above the maximum 30 that solver sample_aero declares",
        ),
        # Before the CFD solver's prepare step writes its geometry.
        (
            "run ahmed --domain aero --set slant_angle_deg=45",
            "slant_angle_deg = 45 is above the maximum 40 that solver openfoam_ahmed declares",
        ),
        (
            "sweep sedan --domain aero --vary ride_height=0.14,0.05",
            "ride_height = 0.05 is below the minimum 0.08 that solver sample_aero declares",
        ),
        (
            "product set sedan mass=2100 wheelbase=1.5",
            "wheelbase = 1.5 is below the minimum 2 that solver sample_dynamics declares",
        ),
    ],
)
def test_values_out_of_bounds_are_refused_before_anything_runs_or_is_written(workspace, command, refused):
    before = files_of(workspace)
    done = orvane(*command.split(), cwd=workspace)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"orvane: error: {refused}\n")
    assert files_of(workspace) == before
    for product in ("sedan", "ahmed"):
        assert run_records.list_runs(workspace / "products" / product / f"{product}.usda") == []


def test_values_on_the_bounds_are_accepted(workspace):
    product = workspace / "products" / "sedan" / "sedan.usda"
    changed = parsed(
        orvane("product", "set", "sedan", "roofline_slope_deg=30", "ride_height=0.08", "--json", cwd=workspace)
    )
    assert changed == {
        "roofline_slope_deg": {"old": 14.5, "new": 30.0},
        "ride_height": {"old": 0.14, "new": 0.08},
    }
    ran = orvane("run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=0", "--save", "none", cwd=workspace)
    assert ran.returncode in (0, 1), ran.stderr  # 1: a gate may fail
    sweep = "sweep sedan --domain aero --vary ride_height=0.08,0.25 --json"
    swept = parsed(orvane(*sweep.split(), cwd=workspace))
    assert swept["counts"]["ran"] == 2
    assert len(run_records.list_runs(product)) == 3


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ({"body_style": "fastback", "seats": 99, "mass": 1000, "height": 1.2, "wingspan": -1.0}, None),
        ({"height": 1.2000001}, "height = 1.2000001 is above the maximum 1.2 that solver styled declares"),
        ({"body_style": "wagon"}, "body_style = 'wagon' is not one of the choices 'notchback', 'fastback' that"),
        ({"mass": "heavy"}, "mass = 'heavy' is not a number within the bounds that solver styled declares"),
    ],
)
def test_check_design_against_numbers_and_choices(sample_registry, values, message):
    add_solver(
        sample_registry,
        "styled",
        {
            "body_style": {"choices": ["notchback", "fastback"]},
            "mass": {"min": 1000},
            "height": {"max": 1.2},
            "seats": None,
        },
    )
    if message is None:
        assert solver_run.check_design("styled", values) is None
    else:
        with pytest.raises(ValueError, match=message):
            solver_run.check_design("styled", values)


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        (("nosuch", {}), ValueError, "no solver 'nosuch' is registered"),
        ((1, {}), TypeError, "argument 'solver'"),
        (("sample_aero", [("ride_height", 0.1)]), TypeError, "argument 'values'"),
    ],
)
def test_check_design_refuses_what_it_cannot_check(sample_registry, arguments, error, message):
    with pytest.raises(error, match=message):
        solver_run.check_design(*arguments)


def test_product_set_heeds_only_the_solvers_that_fit_the_product(sample_product, sample_registry):
    # The sedan has no wingspan: a solver that reads one never runs on it.
    add_solver(sample_registry, "glider", {"roofline_slope_deg": {"max": 10}, "wingspan": None})
    assert solver_run.set_design_parameters(sample_product, {"roofline_slope_deg": 18.0}) == {
        "roofline_slope_deg": (14.5, 18.0)
    }
    add_solver(sample_registry, "flat", {"roofline_slope_deg": {"max": 10}})
    with pytest.raises(ValueError, match="roofline_slope_deg = 20 is above the maximum 10 that solver flat declares"):
        solver_run.set_design_parameters(sample_product, {"roofline_slope_deg": 20.0})
    assert solver_run.set_design_parameters(sample_product, {"roofline_slope_deg": 10.0})["roofline_slope_deg"] == (
        18.0,
        10.0,
    )
