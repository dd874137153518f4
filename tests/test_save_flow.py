"""The interactive save: requests to the gateway's save tool, design-intent
population, and the console dialogue."""

from __future__ import annotations

import io
import shutil

import pytest
from rich.console import Console

from orvane_platform.core import gateway_config, save_flow
from orvane_platform.core.product import Product
from orvane_platform.mcp import mcp_client
from orvane_platform.mcp.mcp_client import SolverMCPClient
from tests.support import SAMPLE_PRODUCT

AERO = {
    "status": "success",
    "cd": 0.251,
    "cl": -0.02,
    "cm_pitch": 0.001,
    "solver": "sample_aero",
    "iterations": 500,
    "wall_clock_seconds": 1.5,
    "provenance": {"solver_image": "img:1", "fingerprint": "sha256:" + "a" * 64},
}
DYNAMICS = {
    "status": "success",
    "lateral_g": 0.91,
    "yaw_rate": 20.0,
    "roll_angle": 4.2,
    "executor_id": "cornering-7",
    "solver": "sample_dynamics",
    "manoeuvre": "skidpad",
    "converged": False,
}


class Recorder:
    """Stands in for the gateway client: records each save request."""

    requests: list[dict] = []
    reply: dict = {"status": "ok"}

    def save_results(self, **request):
        Recorder.requests.append(request)
        return dict(Recorder.reply)


@pytest.fixture
def console(monkeypatch):
    output = io.StringIO()
    monkeypatch.setattr(save_flow, "_console", Console(file=output, highlight=False, width=200, color_system=None))
    return output


@pytest.fixture
def recorder(monkeypatch):
    Recorder.requests = []
    Recorder.reply = {"status": "ok"}
    monkeypatch.setattr(mcp_client, "SolverMCPClient", Recorder)
    return Recorder


@pytest.fixture
def workspace(tmp_path, monkeypatch, sample_registry):
    products = tmp_path / "products"
    shutil.copytree(SAMPLE_PRODUCT, products / "sedan")
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(products))
    monkeypatch.delenv("ORVANE_TARGET_REFRESH", raising=False)
    gateway_config.gateway_config.cache_clear()
    yield products / "sedan" / "sedan.usda"
    gateway_config.gateway_config.cache_clear()


class FakeProduct:
    def __init__(self, specs=None):
        self.usd_path = "/products/sedan/sedan.usda"
        self.specs = specs or {}


@pytest.mark.parametrize("results", [None, {}, {"aero": {"status": "failed", "cd": 0.3}, "dyn": {}}])
def test_nothing_succeeded(console, recorder, results):
    assert save_flow.prompt_save_usd(FakeProduct(), results) is False
    assert console.getvalue() == "" and recorder.requests == []


@pytest.mark.parametrize(
    ("all_passed", "force", "header"),
    [
        (False, False, "Saving results ..."),
        (True, False, "All gates passed — saving ..."),
        (False, True, "--set-targets — saving + updating targets ..."),
        (True, True, "All gates passed — saving ..."),
    ],
)
def test_headers(console, recorder, sample_registry, all_passed, force, header):
    assert save_flow.prompt_save_usd(FakeProduct(), {"aero": AERO}, all_gates_passed=all_passed, force_targets=force)
    assert console.getvalue().splitlines()[:2] == ["", f"  │ {header}"]


def test_save_requests(console, recorder, sample_registry):
    parameters = {"speed_kmh": {"value": 130, "override": True}, "mesh": {"value": 2, "override": False}}
    assert (
        save_flow.prompt_save_usd(
            FakeProduct(), {"aero": AERO | {"parameters": parameters}, "dynamics": DYNAMICS}, all_gates_passed=True
        )
        is True
    )
    aero_request, dynamics_request, *design = recorder.requests
    assert aero_request == {
        "product_name": "sedan",
        "domain": "aero",
        "kpis": {"cd": 0.251, "cl": -0.02, "cm_pitch": 0.001},
        "solver": "sample_aero",
        "provenance": AERO["provenance"],
        "assumptions": None,
        "extra_meta": {"iterations": 500, "wall_clock_seconds": 1.5, "override_speed_kmh": 130},
        "save_target": "prototype",
        "tag_baseline": True,
        "converged": True,
    }
    assert dynamics_request["solver"] == "cornering-7" and dynamics_request["converged"] is False
    assert dynamics_request["extra_meta"] == {"manoeuvre": "skidpad"}
    assert [r["domain"] for r in design] == ["aero", "dynamics"]
    assert all(r["save_target"] == "design_intent" and r["only_missing_targets"] is True for r in design)
    lines = console.getvalue().splitlines()
    assert lines[-2:] == [
        "  │ Results saved (prototype).",
        "  │ Design intent targets set (aero: 3 KPIs, dynamics: 3 KPIs).",
    ]


def test_benchmark_saves_never_tag_or_populate(console, recorder, sample_registry):
    assert save_flow.prompt_save_usd(FakeProduct(), {"aero": AERO}, all_gates_passed=True, save_target="benchmark")
    [request] = recorder.requests
    assert request["save_target"] == "benchmark" and request["tag_baseline"] is False


def test_missing_provenance_is_built(console, recorder, sample_registry, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))  # no docker
    result = {k: v for k, v in AERO.items() if k != "provenance"} | {"when": object()}
    save_flow.prompt_save_usd(FakeProduct(), {"aero": result})
    provenance = recorder.requests[0]["provenance"]
    assert provenance["solver_image"] == "unknown" and provenance["case_yaml"].startswith('{"cd": 0.251')
    assert "<object object at" in provenance["case_yaml"]


def test_failed_saves_and_empty_kpis(console, recorder, sample_registry):
    recorder.reply = {"status": "error", "error": "disk full"}
    assert save_flow.prompt_save_usd(FakeProduct(), {"aero": AERO, "thermal": {"status": "success", "t": 1}}) is False
    output = console.getvalue()
    assert "  │ ⚠ Save failed (aero): disk full" in output
    assert "  │ ⚠ No KPIs in thermal result — skipping save" in output
    assert "Results saved" not in output
    recorder.reply = {"status": "error"}
    save_flow.prompt_save_usd(FakeProduct(), {"aero": AERO})
    assert "⚠ Save failed (aero): unknown error" in console.getvalue()


def test_argument_types(console, recorder):
    with pytest.raises(TypeError, match="argument 'results' must be dict or None"):
        save_flow.prompt_save_usd(FakeProduct(), [AERO])
    with pytest.raises(TypeError, match="argument 'save_target' must be str"):
        save_flow.prompt_save_usd(FakeProduct(), {}, save_target=None)
    with pytest.raises(TypeError, match="argument 'results_by_domain' must be dict"):
        save_flow._populate_design_intent_from_results(FakeProduct(), None)


# --- design-intent population -------------------------------------------------------

SPECS = {
    "target_cd_max": 0.3,
    "orvane_target_src_cd": "img:0",
    "target_cl_min": -0.1,
    "orvane_target_src_cl": "img:1",
    "target_cm_pitch_tol": 0.1,
}


@pytest.fixture
def refresh(monkeypatch):
    def set_mode(mode):
        monkeypatch.setenv("ORVANE_TARGET_REFRESH", mode)
        gateway_config.gateway_config.cache_clear()

    yield set_mode
    gateway_config.gateway_config.cache_clear()


@pytest.mark.parametrize(
    ("mode", "selected"),
    [("auto", ["cd", "cm_pitch"]), ("keep", ["cm_pitch"]), ("sideways", ["cd", "cm_pitch"])],
)
def test_population_by_setting(console, recorder, sample_registry, refresh, mode, selected):
    refresh(mode)
    save_flow._populate_design_intent_from_results(FakeProduct(SPECS), {"aero": AERO})
    [request] = recorder.requests
    assert list(request["kpis"]) == selected
    assert request == {
        "product_name": "sedan",
        "domain": "aero",
        "kpis": request["kpis"],
        "solver": "sample_aero",
        "provenance": AERO["provenance"],
        "save_target": "design_intent",
        "only_missing_targets": True,
    }
    count = len(selected)
    assert console.getvalue().strip() == f"│ Design intent targets set (aero: {count} KPI{'s' if count != 1 else ''})."


@pytest.mark.parametrize(
    ("answer", "refreshed"),
    [
        ("\n", True),
        ("Y\n", True),
        (" yes \n", True),
        ("no\n", False),
        ("n\n", False),
        (EOFError, False),
        (KeyboardInterrupt, False),
        (OSError, False),
    ],
)
def test_population_asks(console, recorder, sample_registry, refresh, monkeypatch, answer, refreshed):
    refresh("ask")

    def read(prompt="", **kwargs):
        save_flow._console.print(prompt, end="")
        if isinstance(answer, type):
            raise answer
        return answer.rstrip("\n")

    monkeypatch.setattr(save_flow._console, "input", read)
    save_flow._populate_design_intent_from_results(FakeProduct(SPECS), {"aero": AERO})
    assert ("cd" in recorder.requests[0]["kpis"]) == refreshed
    output = console.getvalue()
    assert "  Solver image changed for cd — refresh derived target from this run? [Y/n] " in output
    if isinstance(answer, type):
        assert "[Y/n] \n" in output


def test_forced_population(console, recorder, sample_registry, refresh):
    refresh("keep")
    save_flow._populate_design_intent_from_results(FakeProduct(SPECS), {"aero": AERO, "dynamics": DYNAMICS}, force=True)
    assert [list(r["kpis"]) for r in recorder.requests] == [
        ["cd", "cl", "cm_pitch"],
        ["lateral_g", "yaw_rate", "roll_angle"],
    ]
    assert all(r["only_missing_targets"] is False for r in recorder.requests)
    assert recorder.requests[1]["provenance"] == {} and recorder.requests[1]["solver"] == "cornering-7"


def test_one_kpi_is_singular(console, recorder, sample_registry):
    save_flow._populate_design_intent_from_results(FakeProduct(), {"aero": {"status": "success", "cd": 0.3}})
    assert console.getvalue().strip() == "│ Design intent targets set (aero: 1 KPI)."


# --- the gateway client stand-in ----------------------------------------------------


def test_client_saves_into_the_product(workspace):
    reply = SolverMCPClient().save_results(
        product_name="sedan",
        domain="aero",
        kpis={"cd": 0.25, "cl": 0, "cm_pitch": 0},
        solver="sample_aero",
        tag_baseline=True,
        save_target="prototype",
    )
    assert reply == {"status": "ok"}
    product = Product(workspace)
    assert product.specs["cd"] == 0.25
    from pxr import Sdf

    layer = Sdf.Layer.OpenAsAnonymous(str(workspace.parent / "layers" / "prototype.usda"))
    baseline = list(layer.GetPrimAtPath("/Sedan").attributes.get("orvane:baseline:history").default)
    assert baseline[0].endswith("|domain=aero: cd=0.2500, cl=0.0000, cm_pitch=0.0000")


@pytest.mark.parametrize(
    ("request_", "error"),
    [
        ({"product_name": "coupe", "domain": "aero", "kpis": {}}, "Product not found: "),
        ({"product_name": "../sedan", "domain": "aero", "kpis": {}}, "product_name must name one product folder"),
        ({"product_name": None}, "product_name must name one product folder"),
        ({"product_name": "sedan", "domain": "thermal", "kpis": {}}, "Unknown domain: thermal"),
        (
            {"product_name": "sedan", "domain": "aero", "kpis": {"cd": 0.3}},
            "Missing required KPI 'cl' for domain 'aero'",
        ),
        ({"product_name": "sedan", "domain": "aero", "kpis": "cd"}, "argument 'kpis' must be dict"),
    ],
)
def test_client_answers_bad_requests(workspace, request_, error):
    reply = SolverMCPClient().save_results(**request_)
    assert reply["status"] == "error" and error in reply["error"]


def test_end_to_end_save_into_a_real_product(workspace, console):
    product = Product(workspace)
    assert save_flow.prompt_save_usd(product, {"aero": AERO}, all_gates_passed=True)
    assert product.specs["cd"] == 0.251 and product.targets["cl_nominal"] == -0.02
    assert product.targets["cd_max"] == 0.26  # hand-set: never overwritten
    assert "Design intent targets set (aero: 3 KPIs)" in console.getvalue()
