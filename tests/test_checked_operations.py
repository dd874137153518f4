"""Every comparison, containment test and arithmetic operation on a caller's
object raises what the object's own method raised: never SystemError, never
a silent wrong answer."""

from __future__ import annotations

import io
import shutil
from fractions import Fraction

import pytest
from rich.console import Console

from orvane_platform.agent_tools import aero
from orvane_platform.core import capacity_gate, gateway_config, product_twin, provenance, save_flow, solver
from orvane_platform.core.capacity_gate import HardwareProbe, _check_resource, filter_overrides, gate_solver_resources
from orvane_platform.core.image_tools import docker_cat
from orvane_platform.core.product import Product
from orvane_platform.core.solver_certs import sign_solver_cert, verify_solver_cert
from orvane_platform.core.target_gates import GatesMixin, _evaluate_range
from orvane_platform.mcp import mcp_client
from orvane_platform.schema import extract_kpis
from tests.support import SAMPLE_PRODUCT, Context, Platform


class Boom(Exception):
    """What the caller's object raised."""


def boom(*_):
    raise Boom


class BrokenNumber(Fraction):
    """A real number that cannot become a float or an int."""

    def __float__(self):
        raise Boom

    __int__ = __float__


class BrokenInt(int):
    def __lt__(self, other):
        raise Boom

    __gt__ = __ge__ = __le__ = __mul__ = __lt__


class BrokenEquality:
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise Boom


class BrokenContainer(list):
    def __contains__(self, item):
        raise Boom


class BrokenDict(dict):
    def __contains__(self, item):
        raise Boom


# --- range gates ---------------------------------------------------------------------


class BrokenCompare(float):
    def __gt__(self, other):
        raise Boom

    __lt__ = __gt__


@pytest.mark.parametrize(
    ("direction", "bounds"),
    [
        ("minimize", (None, None, 0.5)),
        ("minimize", (0.1, 0.4, None)),
        ("maximize", (0.5, None, None)),
        ("neutral", (0.1, None, None)),
        ("neutral", (None, None, 0.9)),
    ],
)
def test_range_comparisons_raise_what_the_value_raises(direction, bounds):
    with pytest.raises(Boom):
        _evaluate_range(BrokenCompare(0.3), *bounds, direction)


def test_a_real_number_compares_by_the_hosts_rules():
    # An exact 1/3 against the float nearest it: the host compares exactly.
    assert _evaluate_range(Fraction(1, 3), None, None, 1 / 3, "minimize") == (False, "FAIL")


class Car(GatesMixin):
    targets = {"cd_max": 0.3}
    name = "car"

    def _kpi_directions(self):
        return {"cd": "minimize"}


def test_result_status_equality_raises():
    with pytest.raises(Boom):
        Car().evaluate_gates({"aero": {"status": BrokenEquality(), "cd": 0.2}})


def test_legacy_status_equality_raises():
    class Odd(Car):
        def evaluate_gates(self, results=None):
            return {"gates": [{"passed": None, "status": BrokenEquality()}], "all_passed": False, "summary": ""}

    with pytest.raises(Boom):
        Odd().run_gates({})


# --- resource gate ---------------------------------------------------------------------


@pytest.mark.parametrize(("available", "required"), [(BrokenInt(5), 10), (5, BrokenInt(10))])
def test_resource_comparisons_and_products_raise(available, required):
    with pytest.raises(Boom):
        _check_resource("RAM", available, required)


def test_architecture_containment_raises(monkeypatch):
    monkeypatch.setattr(
        capacity_gate,
        "get_solver_config",
        lambda alias: {"compute": {"requirements": {"arch": BrokenContainer(["arm64"])}}},
    )
    probe = HardwareProbe(ram_mb=1, vram_mb=None, cpu_cores=1, arch="amd64", disk_mb=1)
    with pytest.raises(Boom):
        gate_solver_resources("s", hw=probe)


def test_rejected_parameters_must_be_hashable(monkeypatch):
    monkeypatch.setattr(capacity_gate, "get_solver_config", lambda alias: {"overrides": {"reject": [["mesh"]]}})
    with pytest.raises(TypeError, match="unhashable"):
        filter_overrides("s", "mesh: 1\n")


# --- the product object ----------------------------------------------------------------


def test_a_domain_that_is_not_text_is_named(sample_product, sample_registry):
    product = Product(sample_product)
    product.set_solver(domain="aero", backend="sample_aero")
    with pytest.raises(TypeError, match="argument 'domain' must be str, not list"):
        product.simulate(domain=["x"])


@pytest.mark.parametrize(
    ("keyword", "value", "expected"),
    [("solver", 7, "str or None"), ("overrides", ["iterations"], "dict or None"), ("manoeuvre", 1, "str or None")],
)
def test_simulate_names_each_bad_keyword(sample_product, sample_registry, keyword, value, expected):
    with pytest.raises(TypeError, match=f"argument '{keyword}' must be {expected}"):
        Product(sample_product).simulate(domain="aero", **{keyword: value})


def test_a_solver_table_whose_lookup_raises(sample_product, sample_registry):
    product = Product(sample_product)
    product._solvers = BrokenDict()
    with pytest.raises(Boom):
        product.simulate(domain="aero")


# --- product writes --------------------------------------------------------------------


def test_ai_authored_flag_equality_raises_and_writes_nothing(sample_product, sample_registry):
    prototype = sample_product.parent / "layers" / "prototype.usda"
    before = prototype.read_bytes()
    with pytest.raises(Boom):
        product_twin.write_domain_results(
            sample_product,
            "aero",
            {"cd": 0.25, "cl": 0.1, "cm_pitch": 0.0},
            provenance={"ai_authored": BrokenEquality()},
        )
    assert prototype.read_bytes() == before


def test_keep_days_comparison_raises(sample_product):
    with pytest.raises(Boom):
        product_twin.clean_history(sample_product, BrokenInt(3))


# --- interactive save --------------------------------------------------------------------


class Recorder:
    reply: dict = {"status": "ok"}

    def save_results(self, **request):
        return Recorder.reply


@pytest.fixture
def saving(tmp_path, monkeypatch, sample_registry):
    products = tmp_path / "products"
    shutil.copytree(SAMPLE_PRODUCT, products / "sedan")
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(products))
    monkeypatch.setattr(save_flow, "_console", Console(file=io.StringIO(), highlight=False))
    monkeypatch.setattr(mcp_client, "SolverMCPClient", Recorder)
    Recorder.reply = {"status": "ok"}
    gateway_config.gateway_config.cache_clear()
    yield Product(products / "sedan" / "sedan.usda")
    gateway_config.gateway_config.cache_clear()


AERO = {"status": "success", "cd": 0.25, "cl": 0.1, "provenance": {"solver_image": "img"}}


@pytest.mark.parametrize(
    "results",
    [{"aero": {**AERO, "status": BrokenEquality()}}, {"aero": BrokenDict(AERO)}],
    ids=["status equality", "metadata containment"],
)
def test_save_prompt_raises_what_the_result_raises(saving, results, monkeypatch):
    monkeypatch.setattr(
        solver, "get_domain_schema", lambda domain: {"kpis": {"cd": {}, "cl": {}}, "extra_metadata": ["iterations"]}
    )
    with pytest.raises(Boom):
        save_flow.prompt_save_usd(saving, results, save_target="benchmark")


def test_save_reply_status_equality_raises(saving):
    Recorder.reply = {"status": BrokenEquality()}
    with pytest.raises(Boom):
        save_flow.prompt_save_usd(saving, {"aero": dict(AERO)}, save_target="benchmark")


def test_target_source_equality_raises(saving):
    class Specs(Product):
        specs = {"target_cd_max": 0.3, "orvane_target_src_cd": BrokenEquality()}

    with pytest.raises(Boom):
        save_flow._populate_design_intent_from_results(Specs(saving.usd_path), {"aero": dict(AERO)})


# --- certificates, agent tools, conversions ------------------------------------------------


def test_certificate_field_equality_raises():
    cert = sign_solver_cert("a", "img", "sha256:1")
    with pytest.raises(Boom):
        verify_solver_cert({"alias": BrokenEquality(), "cert": cert})
    with pytest.raises(Boom):
        verify_solver_cert({"alias": "a", "cert": {**cert, "scheme": BrokenEquality()}})


def test_steps_comparison_raises():
    table = aero.register(Context(Platform()), [{"alias": "sample_aero", "name": "Sample"}])
    with pytest.raises(Boom):
        table["run_simulation"]["fn"](solver="sample_aero", steps=BrokenInt(3))


def test_number_conversions_raise_what_the_number_raises():
    table = aero.register(
        Context(Platform({"status": "success", "cm_pitch": BrokenNumber(1)})), [{"alias": "a", "name": "A"}]
    )
    with pytest.raises(Boom):
        table["run_simulation"]["fn"](solver="a")
    with pytest.raises(Boom):
        docker_cat("img", "/f", timeout=BrokenNumber(3))
    with pytest.raises(Boom):
        extract_kpis({"cd": BrokenNumber(1)}, ["cd"])


def test_canonical_json_key_order_raises_what_sorting_raises():
    with pytest.raises(TypeError, match="'<' not supported"):
        provenance._canonical_json({1: "a", "b": 2})


def test_a_document_that_contains_itself_is_refused(sample_registry):
    with (sample_registry / "sample_aero" / "solver.yaml").open("a") as config:
        config.write("loop: &a\n  self: *a\n")
    with pytest.raises(ValueError, match="solver.yaml: the document refers to itself"):
        solver.get_solver_config("sample_aero")
