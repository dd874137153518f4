"""Range gates: the decision table, messages, shapes and the mixin."""

from __future__ import annotations

from fractions import Fraction

import pytest

from orvane_platform.core import target_gates
from orvane_platform.core.target_gates import GatesMixin, _evaluate_range, _gate_message, _make_gate

BASELINE = "Baseline — no targets yet. Results will populate design intent."


class Car(GatesMixin):
    """A product as the surrounding package would make one."""

    def __init__(self, targets, name="car", directions=None):
        self._targets = targets
        self._name = name
        self._directions = directions

    @property
    def targets(self):
        return self._targets

    @property
    def name(self):
        return self._name

    def _kpi_directions(self):
        return self._directions if self._directions is not None else super()._kpi_directions()


@pytest.mark.parametrize(
    ("direction", "value", "t_min", "t_nom", "t_max", "verdict"),
    [
        ("minimize", 0.30, None, 0.28, 0.30, (True, "WARN")),
        ("minimize", 0.28, None, 0.28, 0.30, (True, "PASS")),
        ("minimize", 0.3000001, None, 0.28, 0.30, (False, "FAIL")),
        ("minimize", 0.10, 0.2, None, 0.30, (True, "PASS")),  # the minimum is not consulted
        ("minimize", 0.29, 0.2, 0.28, None, (False, "FAIL")),  # no maximum: the nominal is the bound
        ("minimize", 0.28, 0.2, 0.28, None, (True, "PASS")),
        ("minimize", 9.0, 0.2, None, None, (True, "PASS")),
        ("maximize", 0.85, 0.85, 0.9, None, (True, "WARN")),
        ("maximize", 0.95, 0.85, 0.9, None, (True, "PASS")),
        ("maximize", 0.84, 0.85, 0.9, None, (False, "FAIL")),
        ("maximize", 0.89, None, 0.9, 1.0, (False, "FAIL")),
        ("maximize", 5.0, None, None, 1.0, (True, "PASS")),
        ("neutral", 1.0, 1.0, 1.5, 2.0, (True, "PASS")),
        ("neutral", 2.0, 1.0, None, 2.0, (True, "PASS")),
        ("neutral", 0.99, 1.0, 1.5, 2.0, (False, "FAIL")),
        ("neutral", 2.01, 1.0, 1.5, 2.0, (False, "FAIL")),
        ("neutral", 1.9, None, 1.0, 2.0, (True, "PASS")),  # never WARN
        ("Minimize", 0.5, None, 0.28, 0.30, (False, "FAIL")),  # case-sensitive: neutral
        ("sideways", 0.29, None, 0.28, 0.30, (True, "PASS")),
        ("minimize", 0.5, None, 0.3, None, (False, "NO_TARGET")),  # only a nominal
        ("neutral", 0.5, None, 0.3, None, (False, "NO_TARGET")),
        ("maximize", 0.5, None, None, None, (False, "NO_TARGET")),
        ("minimize", 1, None, None, 1.0, (True, "PASS")),  # an int value
        ("neutral", True, 0.5, None, 1.0, (True, "PASS")),
        ("neutral", Fraction(3, 2), 1.0, None, 2.0, (True, "PASS")),
    ],
)
def test_decision_table(direction, value, t_min, t_nom, t_max, verdict):
    assert _evaluate_range(value, t_min, t_nom, t_max, direction) == verdict


@pytest.mark.parametrize(
    ("call", "argument"),
    [
        (lambda: _evaluate_range("0.3", None, None, 0.3, "minimize"), "value"),
        (lambda: _evaluate_range(0.3, 1, None, None, "neutral"), "t_min"),
        (lambda: _evaluate_range(0.3, None, None, 2, "neutral"), "t_max"),
        (lambda: _evaluate_range(0.3, None, None, 2.0, None), "direction"),
        (lambda: _make_gate("cd", "aero", 1, True, status="PASS"), "value"),
        (lambda: _make_gate("cd", "aero", 0.3, 1, status="PASS"), "passed"),
        (lambda: _make_gate("cd", "aero", 0.3, True, t_nom=1, status="PASS"), "t_nom"),
        (lambda: _make_gate(1, "aero", None, None), "kpi_key"),
        (lambda: _make_gate("cd", None, None, None), "domain"),
        (lambda: _make_gate("cd", "aero", None, None, status=None), "status"),
        (lambda: _gate_message([("value", 1)]), "g"),
        (lambda: Car({"cd_max": 0.3}).evaluate_gates([]), "results"),
        (lambda: Car({"cd_max": 0.3}).run_gates("aero"), "results"),
        (lambda: Car({"cd_max": 0.3}).assess(1), "results"),
    ],
)
def test_type_errors_name_the_argument(call, argument):
    with pytest.raises(TypeError, match=f"argument '{argument}'"):
        call()


def test_make_gate(sample_registry):
    gate = _make_gate("lateral_g", "dynamics", 0.9, True, t_min=0.85, status="PASS")
    assert gate == {
        "req_id": "KPI-LATERAL_G",
        "domain": "dynamics",
        "kpi": "lateral_g",
        "passed": True,
        "value": 0.9,
        "target_min": 0.85,
        "target_nominal": None,
        "target_max": None,
        "description": "Peak lateral acceleration",
        "status": "PASS",
    }
    assert list(gate) == [
        "req_id",
        "domain",
        "kpi",
        "passed",
        "value",
        "target_min",
        "target_nominal",
        "target_max",
        "description",
        "status",
    ]
    assert _make_gate("cd", "aero", None, None)["status"] == "UNKNOWN"


def test_display_names_come_from_the_module_binding(monkeypatch):
    monkeypatch.setattr(target_gates, "get_kpi_display_name", lambda key: f"<{key}>")
    assert _make_gate("cd", "aero", None, None)["description"] == "<cd>"
    gates = Car({"cd_max": 0.3, "lateral_g_min": 0.85}).evaluate_gates({})["gates"]
    assert [g["description"] for g in gates] == ["<cd>", "<lateral_g>"]


def test_evaluation_descriptions_follow_the_registry(sample_registry):
    car = Car({"lateral_g_min": 0.85, "unnamed_kpi_max": 1.0})
    assert [g["description"] for g in car.evaluate_gates({})["gates"]] == ["Peak lateral acceleration", "unnamed_kpi"]
    spec = sample_registry / "sample_dynamics" / "kpi_spec.yaml"
    spec.write_text(spec.read_text().replace("Peak lateral acceleration", "Lateral grip"))
    assert car.evaluate_gates({})["gates"][0]["description"] == "Lateral grip"


def test_display_name_map_is_the_callers_copy(sample_registry):
    from orvane_platform.core import solver

    names = solver._kpi_display_names()
    assert names["lateral_g"] == solver.get_kpi_display_name("lateral_g")
    names["lateral_g"] = "changed"
    assert solver.get_kpi_display_name("lateral_g") == "Peak lateral acceleration"


@pytest.mark.parametrize(
    ("gate", "message"),
    [
        ({"value": None, "status": "NOT RUN", "kpi": "cd"}, "cd: not run"),
        (
            {
                "value": 0.31,
                "status": "FAIL",
                "kpi": "cd",
                "target_min": 0.25,
                "target_nominal": 0.28,
                "target_max": 0.3,
            },
            "cd=0.3100 range [0.2500, 0.3000] (nominal 0.2800) → FAIL",
        ),
        ({"value": 0.25, "status": "PASS", "kpi": "cd", "target_max": 0.3}, "cd=0.2500 ≤ 0.3000 → PASS"),
        (
            {"value": 0.9, "status": "WARN", "kpi": "g", "target_min": 0.85, "target_nominal": 0.95},
            "g=0.9000 ≥ 0.8500 (nominal 0.9500) → WARN",
        ),
        ({"value": -1.23456, "status": "X", "kpi": "k", "target_nominal": 2.0}, "k=-1.2346 (nominal 2.0000) → X"),
        ({"value": 1.0, "status": "PASS", "kpi": "k"}, "k=1.0000 → PASS"),
    ],
)
def test_gate_messages(gate, message):
    assert _gate_message(gate) == message


@pytest.mark.parametrize("missing", ["value", "status", "kpi"])
def test_gate_message_needs_its_keys(missing):
    gate = {"value": 1.0, "status": "PASS", "kpi": "k"}
    del gate[missing]
    with pytest.raises(KeyError):
        _gate_message(gate)


@pytest.mark.parametrize("targets", [None, {}])
def test_no_targets_is_the_baseline(targets):
    assert Car(targets).evaluate_gates({"aero": {"status": "success", "cd": 0.3}}) == {
        "gates": [],
        "all_passed": False,
        "summary": BASELINE,
    }


def test_targets_without_range_give_no_gates():
    evaluation = Car({"cd_nominal": 0.28, "cd": 0.3, "weight_tol": 1.0}).evaluate_gates({})
    assert evaluation == {"gates": [], "all_passed": False, "summary": "0 passed, 0 failed, 0 not run (0 total)"}


def test_evaluate_gates(sample_registry):
    car = Car({"roll_angle_max": 4.5, "cd_max": 0.30, "cd_nominal": 0.28, "lateral_g_min": 0.85, "yaw_rate_max": 30.0})
    results = {
        "zeta": {"status": "success", "cd": 0.1},
        "dynamics": {"status": "ok", "Lateral_G": "0.8", "roll_angle": 5.0, "converged": "No"},
        "aero": {"status": "success", "CD": 0.29},
        "broken": {"status": "failed", "yaw_rate": 1.0},
        "empty": {},
    }
    evaluation = car.evaluate_gates(results)
    assert list(evaluation) == ["gates", "all_passed", "summary"]
    gates = evaluation["gates"]
    assert [g["kpi"] for g in gates] == ["cd", "lateral_g", "roll_angle", "yaw_rate"]  # sorted keys
    assert [(g["domain"], g["status"], g["passed"]) for g in gates] == [
        ("aero", "WARN", True),  # the alphabetically first successful domain wins
        ("dynamics", "INCONCLUSIVE", None),
        ("dynamics", "INCONCLUSIVE", None),
        ("unknown", "NOT RUN", None),  # a failed domain is never used
    ]
    assert gates[1]["value"] == 0.8
    assert evaluation["all_passed"] is True
    assert evaluation["summary"] == "1 passed, 0 failed, 3 not run (4 total)"


@pytest.mark.parametrize(
    ("converged", "status"),
    [
        ("Converged", "PASS"),
        ("YES", "PASS"),
        ("1", "PASS"),
        ("no", "INCONCLUSIVE"),
        (0, "INCONCLUSIVE"),
        ("", "INCONCLUSIVE"),
        (None, "INCONCLUSIVE"),
        (1, "PASS"),
        ("true", "PASS"),
    ],
)
def test_convergence(converged, status):
    evaluation = Car({"cd_max": 0.3}, directions={}).evaluate_gates(
        {"aero": {"status": "success", "cd": 0.2, "converged": converged}}
    )
    assert evaluation["gates"][0]["status"] == status


def test_failures_and_errors():
    car = Car({"cd_max": 0.3}, directions={"cd": "minimize"})
    evaluation = car.evaluate_gates({"aero": {"status": "success", "cd": 0.31}})
    assert evaluation["all_passed"] is False and evaluation["summary"] == "0 passed, 1 failed, 0 not run (1 total)"
    with pytest.raises(ValueError):
        car.evaluate_gates({"aero": {"status": "success", "cd": "fast"}})
    with pytest.raises(TypeError, match="argument 't_max' must be float or None, not int"):
        Car({"cd_max": 1}, directions={}).evaluate_gates({"aero": {"status": "success", "cd": 0.5}})


@pytest.mark.parametrize("bound", ["cd_min", "cd_nominal", "cd_max"])
@pytest.mark.parametrize(
    ("results", "status"),
    [
        ({"aero": {"status": "success", "cd": 0.5}}, "PASS"),
        ({"aero": {"status": "success", "cd": 1.5}}, "WARN"),
        ({"aero": {"status": "success", "cd": 2.5}}, "FAIL"),
        (None, "NOT RUN"),
        ({"aero": {"status": "success", "cd": 0.5, "converged": False}}, "INCONCLUSIVE"),
    ],
)
def test_an_integer_bound_is_refused_whatever_the_result(results, status, bound):
    targets = {"cd_min": 0.0, "cd_nominal": 1.0, "cd_max": 2.0}
    evaluation = Car(targets, directions={"cd": "minimize"}).evaluate_gates(results)
    assert evaluation["gates"][0]["status"] == status
    argument = {"cd_min": "t_min", "cd_nominal": "t_nom", "cd_max": "t_max"}[bound]
    with pytest.raises(TypeError, match=f"argument '{argument}' must be float or None, not int"):
        Car(targets | {bound: int(targets[bound])}, directions={"cd": "minimize"}).evaluate_gates(results)


def test_directions_from_the_registry(sample_registry):
    assert Car({})._kpi_directions() == {
        "cd": "minimize",
        "cl": "neutral",
        "cm_pitch": "neutral",
        "lateral_g": "maximize",
        "yaw_rate": "neutral",
        "roll_angle": "minimize",
    }


def test_directions_when_the_registry_fails(monkeypatch):
    import orvane_platform.core.solver as solver

    monkeypatch.setattr(solver, "get_domain_schemas", lambda: 1 / 0)
    assert Car({})._kpi_directions() == {}
    monkeypatch.setattr(
        solver,
        "get_domain_schemas",
        lambda: {
            "a": {"kpis": {"x": {"direction": "maximize"}, "y": "not a dict", "z": {}}},
            "b": {"kpis": None},
            "c": {"kpis": {"x": {"direction": "minimize"}}},
        },
    )
    assert Car({})._kpi_directions() == {"x": "minimize", "z": "neutral"}


def test_kpi_lookup_goes_through_the_module_binding(monkeypatch):
    monkeypatch.setattr(target_gates, "_get_kpi", lambda result, kpi: 0.25)
    evaluation = Car({"cd_max": 0.3}, directions={}).evaluate_gates({"aero": {"status": "success"}})
    assert evaluation["gates"][0]["value"] == 0.25


def test_legacy_shape():
    car = Car({"a_max": 1.0, "b_max": 1.0, "c_max": 1.0, "d_max": 1.0}, directions={})
    shaped = car.run_gates(
        {
            "x": {"status": "success", "a": 0.5, "b": 2.0, "c": 0.5, "converged": True},
            "y": {"status": "success", "c": 0.5},
        }
    )
    assert list(shaped) == ["gates", "all_passed", "report"]
    assert shaped["report"] == "2 passed, 1 failed, 1 not run (4 total)"
    assert shaped["gates"][0] == {
        "name": "KPI-A",
        "passed": True,
        "domain": "x",
        "message": "a=0.5000 ≤ 1.0000 → PASS",
        "status": "PASS",
    }
    assert [g["name"] for g in shaped["gates"]] == ["KPI-A", "KPI-B", "KPI-C"]  # not-run dropped
    inconclusive = car.run_gates({"x": {"status": "success", "a": 0.5, "converged": "no"}})
    assert [(g["name"], g["passed"], g["status"]) for g in inconclusive["gates"]] == [("KPI-A", None, "INCONCLUSIVE")]


def test_assessment_shape():
    car = Car({"a_max": 1.0, "b_min": 1.0, "c_max": 1.0, "d_max": 1.0}, name="coupe", directions={})
    shaped = car.assess(
        {"x": {"status": "success", "a": 0.5, "b": 0.5}, "y": {"status": "success", "c": 2.0, "converged": "no"}}
    )
    assert list(shaped) == ["product", "overall", "assessment", "recommendations"]
    assert shaped["product"] == "coupe" and shaped["overall"] == "FAIL"
    assert shaped["assessment"] == {
        "a": {"value": 0.5, "target_min": None, "target_nominal": None, "target_max": 1.0, "pass": True},
        "b": {"value": 0.5, "target_min": 1.0, "target_nominal": None, "target_max": None, "pass": False},
        "c": {"value": 2.0, "target_min": None, "target_nominal": None, "target_max": 1.0, "pass": None},
    }
    assert shaped["recommendations"] == ["b=0.5000 ≥ 1.0000 → FAIL", "c=2.0000 ≤ 1.0000 → INCONCLUSIVE"]
    assert Car({"a_max": 1.0}, directions={}).assess({"x": {"status": "success", "a": 0.1}})["overall"] == "PASS"


def test_the_methods_use_the_subclass_evaluation():
    class Fixed(Car):
        def evaluate_gates(self, results=None):
            return {"gates": [], "all_passed": True, "summary": "fixed"}

    assert Fixed({}).run_gates() == {"gates": [], "all_passed": True, "report": "fixed"}
    assert Fixed({}).assess()["overall"] == "PASS"


def test_a_true_mixin():
    class Slotted:
        __slots__ = ("x",)

    class Product(Slotted, GatesMixin):
        __slots__ = ()

    assert GatesMixin.__bases__ == (object,)
    assert GatesMixin.__slots__ == ()
    assert GatesMixin.__module__ == "orvane_platform.core.target_gates"
    mixin = GatesMixin()
    assert mixin.targets is None and mixin.name is None
    assert Product().evaluate_gates()["summary"] == BASELINE
    assert issubclass(Product, GatesMixin)
    assert "Evaluate gates and return legacy shape" in GatesMixin.run_gates.__doc__
