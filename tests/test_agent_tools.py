"""The agent's aerodynamics and vehicle-dynamics tool tables."""

from __future__ import annotations

import pytest

from orvane_platform.agent_tools import aero, dynamics
from tests.support import Context, Platform

SOLVERS = [
    {"alias": "sample_aero", "name": "Sample aero estimate", "kind": "surrogate"},
    {"alias": "xlb", "name": "XLB lattice Boltzmann", "gpu": True},
    {"alias": "domino", "name": "DoMINO", "kind": "ml", "gpu": True},
    {"alias": "cpu_ml", "name": "CPU surrogate", "kind": "ml"},
]


@pytest.fixture
def ctx():
    return Context(Platform())


def test_no_solvers_no_tools(ctx):
    assert aero.register(ctx) == {} and aero.register(ctx, []) == {}
    with pytest.raises(KeyError):
        aero.register(ctx, [{"alias": "a"}])


def test_aero_schemas(ctx):
    table = aero.register(ctx, SOLVERS)
    assert list(table) == ["run_simulation", "assess_aerodynamic_targets", "get_range_competitiveness"]
    assert list(table["run_simulation"]) == ["fn", "schema"]
    schema = table["run_simulation"]["schema"]
    assert list(schema) == ["type", "function"] and list(schema["function"]) == ["name", "description", "parameters"]
    assert schema["function"]["description"] == (
        "Run CFD simulation. Choose solver based on the brief: 'sample_aero' for Sample aero estimate; 'xlb' for "
        "XLB lattice Boltzmann (fast GPU); 'domino' for DoMINO (fast GPU) (instant surrogate); 'cpu_ml' for CPU "
        "surrogate (instant surrogate). Returns Cd, Cl, CmPitch, convergence, and timing."
    )
    parameters = schema["function"]["parameters"]
    assert list(parameters) == ["type", "properties", "required"] and parameters["required"] == ["solver"]
    assert list(parameters["properties"]) == ["solver", "steps", "test"]
    assert parameters["properties"]["solver"] == {
        "type": "string",
        "enum": ["sample_aero", "xlb", "domino", "cpu_ml"],
        "description": "Solver backend: 'sample_aero'=Sample aero estimate; 'xlb'=XLB lattice Boltzmann (GPU, fast); "
        "'domino'=DoMINO (GPU, fast) (instant surrogate); 'cpu_ml'=CPU surrogate (instant surrogate) "
        "(highest accuracy). Default is 'sample_aero'.",
    }
    assert list(parameters["properties"]["steps"]) == ["type", "description"]
    assert parameters["properties"]["test"]["description"] == (
        "Named scenario test declared by the solver (see `orvane tests list`). Omit for solver defaults."
    )
    for name, description in [
        (
            "assess_aerodynamic_targets",
            "Evaluate the last simulation against design_intent targets. No parameters — "
            "reads from platform result store.",
        ),
        (
            "get_range_competitiveness",
            "Analyse range competitiveness vs benchmarked competitors. No parameters — "
            "reads Cd from most recent simulation.",
        ),
    ]:
        assert table[name]["schema"] == {
            "type": "function",
            "function": {"name": name, "description": description, "parameters": {"type": "object", "properties": {}}},
        }


def test_run_simulation_defaults(ctx):
    text = aero.register(ctx, SOLVERS)["run_simulation"]["fn"]()
    assert ctx.platform.calls == [
        ("set_solver", {"domain": "aero", "backend": "sample_aero"}),
        ("simulate", {"solver": "sample_aero", "domain": "aero"}),
    ]
    assert text == "SIMULATION COMPLETE (solver: sample_aero):\n  Cd = 0.247100\n  Cl = -0.030000\n"
    assert ctx.last_aero_result is ctx.platform.result


def test_run_simulation_full_summary(ctx):
    ctx.platform.result = {
        "status": "success",
        "solver": "xlb-gpu",
        "cl": 0,
        "cm_pitch": "-0.0012",
        "converged": False,
        "timesteps_run": 2000,
        "wall_clock_seconds": 12.345,
    }
    text = aero.register(ctx, SOLVERS)["run_simulation"]["fn"](solver="xlb")
    assert text == (
        "SIMULATION COMPLETE (solver: xlb-gpu):\n  Cd = 0.000000\n  Cl = 0.000000\n  CmPitch = -0.001200\n"
        "  Converged = False\n  Timesteps run = 2000\n  Wall time = 12.3s\n"
    )


def test_steps_and_presets(ctx, sample_registry):
    table = aero.register(ctx, [{"alias": "sample_dynamics", "name": "Cornering"}, *SOLVERS])
    run = table["run_simulation"]["fn"]
    run(steps=250, test="skidpad")
    assert ctx.platform.calls[-1] == (
        "simulate",
        {
            "solver": "sample_dynamics",
            "domain": "aero",
            "overrides": {"timesteps": 250, "manoeuvre": "skidpad", "radius_m": 40, "speed_kmh": 55},
        },
    )
    run(solver="sample_aero", steps=10)
    assert ctx.platform.calls[-1][1]["overrides"] == {"iterations": 10}
    for steps in (0, -5):
        run(solver="sample_aero", steps=steps)
        assert "overrides" not in ctx.platform.calls[-1][1]


@pytest.mark.parametrize(
    ("arguments", "text"),
    [
        (
            {"solver": "xlb", "steps": 100},
            "Simulation error: solver 'xlb' declares no timesteps/iterations input — cannot honour steps=100.",
        ),
        (
            {"solver": "sample_dynamics", "test": "slalom"},
            "Simulation error: Unknown test 'slalom' for solver 'sample_dynamics'. Available: skidpad, step_steer",
        ),
    ],
)
def test_refusals_never_simulate(ctx, sample_registry, arguments, text):
    ctx.last_aero_result = previous = {"status": "success", "cd": 0.3}
    run = aero.register(ctx, [*SOLVERS, {"alias": "sample_dynamics", "name": "d"}])["run_simulation"]["fn"]
    assert run(**arguments) == text
    assert [name for name, _ in ctx.platform.calls] == ["set_solver"]
    assert ctx.last_aero_result is previous


@pytest.mark.parametrize(
    ("result", "text"),
    [
        ({"status": "failed", "error": "mesh broke"}, "Simulation error: mesh broke"),
        ({"status": "timeout"}, "Simulation error: unknown"),
    ],
)
def test_failed_runs_are_kept(ctx, result, text):
    ctx.platform.result = result
    table = aero.register(ctx, SOLVERS)
    assert table["run_simulation"]["fn"]() == text
    assert ctx.last_aero_result is result
    table["assess_aerodynamic_targets"]["fn"]()
    assert ctx.platform.calls[-1] == ("evaluate_gates", {"aero": result})


def test_assessment_texts(ctx):
    table = aero.register(ctx, SOLVERS)
    assess = table["assess_aerodynamic_targets"]["fn"]
    assert assess() == "No simulation has been run yet. Call run_simulation first."
    ctx.last_aero_result = {"status": "success"}
    assert assess() == "No gates to report."
    ctx.platform.gates = [{"status": "WARN", "kpi": "cd"}, {"status": "INCONCLUSIVE", "kpi": "cl"}]
    assert assess() == "Sedan GATE RESULTS:\n\nOverall: ALL PASS"
    ctx.platform.gates = [
        {"status": "PASS", "kpi": "cd"},
        {"status": "FAIL", "kpi": "cl", "message": "cl=0.1"},
        {"status": "NO_TOL", "kpi": "cm"},
        {"status": "NOT RUN", "kpi": "x"},
        {},
    ]
    assert assess() == (
        "Sedan GATE RESULTS:\n  PASS: cd\n  FAIL: cl — cl=0.1\n  NO_TOL: cm\n  SKIP: x (not run)\n"
        "\nOverall: GATES FAILED"
    )


ANALYSIS = dict(
    battery_kwh=82,
    highway_speed_kmh=120,
    crr=0.009,
    aux_power_kw=1.5,
    cd=0.2471,
    frontal_area=2.32,
    cda=0.5733,
    mass_kg=2050.4,
    range_km=455.6,
    competitors=[
        dict(name="rival_a", cd=0.23, cda=0.5428, range_km=470.2, delta_km=12.4),
        dict(name="rival_b", cd=0.26, cda=0.5928, range_km=452.0, delta_km=-3.6),
    ],
    sensitivity_per_0_01_cd=8.14,
    target_cd=0.24,
    range_at_target_cd=470.4,
    segment_verdict="mid-pack",
)


def test_range_competitiveness(ctx):
    tool = aero.register(ctx, SOLVERS)["get_range_competitiveness"]["fn"]
    assert tool() == "No aero simulation has been run yet. Call run_simulation first."
    ctx.platform.analysis = ANALYSIS
    ctx.last_aero_result = {"status": "success", "cd": None}
    rule = "=" * 60
    assert tool() == "\n".join(
        [
            rule,
            "Sedan RANGE COMPETITIVENESS ANALYSIS",
            rule,
            "Assumptions: 82.0 kWh battery, 120 km/h highway cruise, Crr=0.009, aux=1.5 kW",
            "",
            "Sedan:",
            "   Cd = 0.2471 | Aref = 2.32 m² | CdA = 0.573 m²",
            "   Mass = 2050 kg",
            "   Est. highway range = 456 km",
            "",
            "COMPETITOR COMPARISON:",
            "   rival_a: Cd=0.23, CdA=0.543 m², range=470 km (Δ +12 km vs Sedan)",
            "   rival_b: Cd=0.26, CdA=0.593 m², range=452 km (Δ -4 km vs Sedan)",
            "",
            "RANGE IMPACT SENSITIVITY:",
            "   Every 0.01 Cd reduction = ~8.1 km extra range",
            "   Target Cd (0.24) would give: 470 km range",
            "",
            "   CdA segment position: mid-pack",
            "",
            rule,
        ]
    )
    assert ctx.platform.calls[-1] == ("range_competitiveness", {"cd": 0})
    ctx.platform.analysis = {k: v for k, v in ANALYSIS.items() if k != "segment_verdict"}
    with pytest.raises(KeyError):
        tool()


# --- dynamics -----------------------------------------------------------------------


def test_dynamics_schemas(ctx, sample_registry):
    table = dynamics.register(ctx)
    assert list(table) == ["run_dynamics_simulation", "assess_dynamics_targets"]
    function = table["run_dynamics_simulation"]["schema"]["function"]
    assert function["description"] == (
        "Run vehicle dynamics simulation in Docker. Available scenarios: skidpad, "
        "step_steer. Returns lateral_g, yaw_rate, roll_angle, speed, and time_series data."
    )
    assert function["parameters"] == {
        "type": "object",
        "properties": {
            "manoeuvre": {
                "type": "string",
                "enum": ["skidpad", "step_steer"],
                "description": "Scenario test declared by the solver (see `orvane tests list`). "
                "Omit for solver defaults.",
            }
        },
    }
    assert list(function["parameters"]["properties"]["manoeuvre"]) == ["type", "enum", "description"]
    assert table["assess_dynamics_targets"]["schema"]["function"]["description"] == (
        "Compare vehicle dynamics results (lateral_g, yaw_rate, roll_angle) against targets from the USD digital twin."
    )


def test_dynamics_without_scenarios(ctx):
    function = dynamics.register(ctx)["run_dynamics_simulation"]["schema"]["function"]
    assert function["description"] == (
        "Run vehicle dynamics simulation in Docker. Returns lateral_g, yaw_rate, "
        "roll_angle, speed, and time_series data."
    )
    assert "enum" not in function["parameters"]["properties"]["manoeuvre"]
    assert dynamics._dynamics_manoeuvres() == []


RESULT = {
    "status": "success",
    "manoeuvre": "skidpad",
    "lateral_g": 0.91234,
    "yaw_rate_dps": 20.5,
    "roll_angle_deg": 4.0,
    "speed_kmh": 55,
}


@pytest.mark.parametrize(
    ("extra", "ending"),
    [
        ({}, "  Converged = N/A\n  Wall time = N/As\n"),
        (
            {"converged": True, "wall_clock_seconds": 12.3456, "time_series": {}},
            "  Converged = True\n  Wall time = 12.3456s\n",
        ),
        (
            {"time_series": {"time": list(range(250))}},
            "  Converged = N/A\n  Wall time = N/As\n  Time-series: 250 samples\n",
        ),
    ],
)
def test_run_dynamics(ctx, extra, ending):
    ctx.platform.result = RESULT | extra
    run = dynamics.register(ctx)["run_dynamics_simulation"]["fn"]
    text = run()
    assert ctx.platform.calls == [("simulate", {"domain": "dynamics"})]
    assert text == (
        "DYNAMICS SIMULATION COMPLETE:\n  Manoeuvre = skidpad\n  Peak lateral acceleration = 0.9123 g\n"
        "  Peak yaw rate = 20.5000 deg/s\n  Peak roll angle = 4.0000 deg\n  Final speed = 55.0 km/h\n" + ending
    )
    run(manoeuvre="unlisted")
    assert ctx.platform.calls[-1] == ("simulate", {"domain": "dynamics", "manoeuvre": "unlisted"})


def test_dynamics_failures_and_missing_keys(ctx):
    table = dynamics.register(ctx)
    ctx.platform.result = {"status": "error", "error": "solver crashed"}
    assert table["run_dynamics_simulation"]["fn"]() == "Dynamics simulation error: solver crashed"
    assert ctx.last_dyn_result == {"status": "error", "error": "solver crashed"}
    ctx.platform.result = {k: v for k, v in RESULT.items() if k != "speed_kmh"}
    with pytest.raises(KeyError):
        table["run_dynamics_simulation"]["fn"]()


def test_assess_dynamics(ctx):
    assess = dynamics.register(ctx)["assess_dynamics_targets"]["fn"]
    assert assess() == "No dynamics simulation has been run yet. Call run_dynamics_simulation first."
    ctx.last_dyn_result = RESULT
    ctx.platform.gates = [
        {"status": "FAIL", "kpi": "cd", "domain": "aero"},
        {"status": "NOT RUN", "kpi": "x", "domain": "unknown"},
    ]
    assert assess() == "No dynamics gates to report."
    ctx.platform.gates += [
        {"status": "PASS", "kpi": "lateral_g", "domain": "dynamics"},
        {"status": "FAIL", "kpi": "roll_angle", "domain": "dynamics", "message": "too much"},
    ]
    assert assess() == (
        "Sedan DYNAMICS GATE RESULTS:\n  PASS: lateral_g\n  FAIL: roll_angle — too much\n\nOverall: GATES FAILED"
    )
    assert ctx.platform.calls[-1] == ("evaluate_gates", {"dynamics": RESULT})
