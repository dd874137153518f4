"""Per-run record files and finding them again."""

from __future__ import annotations

from datetime import UTC, datetime, timedelta
from pathlib import Path

import pytest
from pxr import Sdf, Usd

from orvane_platform.core import run_records
from tests.support import make_product

WHEN = datetime(2026, 4, 19, 5, 10, 10, 123456, tzinfo=UTC)


@pytest.fixture
def product(tmp_path, sample_registry) -> Path:
    return make_product(tmp_path / "car", layers={"prototype": {}}, prim="Car")


def run_attributes(layer_path: str) -> dict[str, tuple[str, object]]:
    stage = Usd.Stage.Open(layer_path)
    [run] = stage.GetPrimAtPath("/Car/SimulationRuns").GetChildren()
    return {a.GetName(): (str(a.GetTypeName()), a.Get()) for a in run.GetAuthoredAttributes()}


def test_every_scalar_is_recorded_with_its_type(product):
    result = {
        "converged": True,
        "cells": 12000,
        "cd": 0.25,
        "mesh": "fine",
        "series": [1, 2],
        "nested": {},
        "missing": None,
        "CL": "-0.01",
        "big": 2**40,
        "timestamp": "solver's own",
    }
    written = run_records.write_run_record(
        product,
        result,
        "aero",
        "sample_aero",
        provenance={"fingerprint": "sha256:ab", "solver_image": "img", "nested": {"a": 1}, "list": [], "none": None},
        assumptions={"rho": {"value": 1.225, "unit": "kg/m3"}, "gas": {"value": "air"}, "skip": 3, "bare": {}},
        parameters={"speed": {"value": 120.0, "default": 100, "path": "inputs.speed", "override": True}},
        timestamp=WHEN,
    )
    layer = product.parent / "simulation_runs" / "sample_aero" / "20260419T051010123456" / "result.usda"
    assert written == {
        "status": "written",
        "layer": str(layer),
        "run_id": "run_aero_20260419T051010123456",
        "attributes_written": 6 + 2 + 2 + 1,
    }  # fields, KPIs, provenance, parameters
    stored = run_attributes(str(layer))
    assert stored == {
        "orvane:run:domain": ("string", "aero"),
        "orvane:run:solver": ("string", "sample_aero"),
        "orvane:run:timestamp": ("string", "solver's own"),
        "orvane:run:converged": ("bool", True),
        "orvane:run:cells": ("int", 12000),
        "orvane:run:cd": ("double", 0.25),
        "orvane:run:mesh": ("string", "fine"),
        "orvane:run:CL": ("string", "-0.01"),
        "orvane:kpi:cd": ("double", 0.25),
        "orvane:kpi:cl": ("double", -0.01),
        "orvane:run:provenance:fingerprint": ("string", "sha256:ab"),
        "orvane:run:provenance:solver_image": ("string", "img"),
        "orvane:run:parameters": (
            "string",
            '{"speed":{"default":100,"override":true,"path":"inputs.speed","value":120}}',
        ),
        "orvane:run:assumptions:rho:value": ("double", 1.225),
        "orvane:run:assumptions:rho:unit": ("string", "kg/m3"),
        "orvane:run:assumptions:gas:value": ("string", "air"),
    }
    stage = Usd.Stage.Open(str(layer))
    assert stage.GetPrimAtPath("/Car").GetTypeName() == "Xform"
    assert stage.GetPrimAtPath("/Car/SimulationRuns").GetTypeName() == "Scope"


def test_first_fields_count(product):
    written = run_records.write_run_record(
        product,
        {"converged": True, "cells": 3, "cd": 0.3, "mesh": "m", "l": [], "d": {}, "n": None},
        "thermal",
        "s",
        timestamp=WHEN,
    )
    assert written["attributes_written"] == 4  # no KPIs for an unknown domain


def test_run_times_and_rewrites(product):
    first = run_records.write_run_record(product, {"cd": 0.3}, "aero", "s", timestamp=WHEN)
    second = run_records.write_run_record(product, {"cd": 0.4}, "aero", "s", timestamp=WHEN + timedelta(microseconds=1))
    assert first["run_id"] != second["run_id"] and first["layer"] != second["layer"]
    again = run_records.write_run_record(product, {"cl": 0.1}, "aero", "s", timestamp=WHEN)
    assert again["layer"] == first["layer"]
    stored = run_attributes(first["layer"])
    assert "orvane:run:cd" not in stored and stored["orvane:run:cl"] == ("double", 0.1)


def test_default_time_is_now(product):
    written = run_records.write_run_record(product, {}, "aero", "s")
    stamp = datetime.fromisoformat(run_attributes(written["layer"])["orvane:run:timestamp"][1])
    assert abs(stamp - datetime.now(UTC)) < timedelta(minutes=1)


@pytest.mark.parametrize(
    ("domain", "run_id"),
    [
        ("aero", "run_aero_20260419T051010123456"),
        ("aero-2.d", "run_aero_2_d_20260419T051010123456"),
        ("ü x", "run___x_20260419T051010123456"),
        ("", "run__20260419T051010123456"),
    ],
)
def test_run_ids(domain, run_id):
    assert run_records._make_run_id(domain, WHEN) == run_id
    assert Sdf.Path.IsValidIdentifier(run_id)


def test_make_run_id_argument_types():
    with pytest.raises(TypeError, match="argument 'ts_utc' must be datetime"):
        run_records._make_run_id("aero", "2026-04-19")
    with pytest.raises(TypeError, match="argument 'manoeuvre' must be str"):
        run_records._make_run_id(None, WHEN)


def test_skipped_records(tmp_path, sample_registry):
    missing = tmp_path / "missing.usda"
    assert run_records.write_run_record(missing, {}, "aero", "s") == {
        "status": "skipped",
        "reason": f"root USD not found: {missing}",
        "layer": None,
        "run_id": "",
        "attributes_written": 0,
    }
    bare = tmp_path / "bare" / "bare.usda"
    bare.parent.mkdir()
    Sdf.Layer.CreateNew(str(bare)).Save()
    assert run_records.write_run_record(bare, {}, "aero", "s")["reason"] == "root stage has no defaultPrim"
    assert not (tmp_path / "bare" / "simulation_runs").exists()


def test_solver_that_would_leave_the_runs_folder_is_refused(product):
    with pytest.raises(ValueError, match="solver must be a single folder name"):
        run_records.write_run_record(product, {"cd": 0.3}, "aero", "../../etc", timestamp=WHEN)


def test_failed_record_leaves_no_file(product, monkeypatch):
    import orvane_platform.schema as schema

    def broken(result, kpis):
        raise RuntimeError("schema service down")

    monkeypatch.setattr(schema, "extract_kpis", broken)
    with pytest.raises(RuntimeError, match="schema service down"):
        run_records.write_run_record(product, {"cd": 0.3}, "aero", "s", timestamp=WHEN)
    folder = product.parent / "simulation_runs" / "s" / "20260419T051010123456"
    assert not (folder / "result.usda").exists()


def test_list_runs(product):
    run_records.write_run_record(
        product, {"cd": 0.3}, "aero", "solver_b", timestamp=WHEN, provenance={"fingerprint": "sha256:1"}
    )
    run_records.write_run_record(
        product, {"lateral_g": 0.9}, "dynamics", "solver_a", timestamp=WHEN + timedelta(hours=1)
    )
    run_records.write_run_record(product, {"cd": 0.29}, "aero", "solver_a", timestamp=WHEN - timedelta(hours=1))
    (product.parent / "simulation_runs" / "solver_a" / "stray").mkdir()
    runs = run_records.list_runs(product)
    assert [(r["solver"], r["domain"]) for r in runs] == [
        ("solver_a", "aero"),
        ("solver_b", "aero"),
        ("solver_a", "dynamics"),
    ]
    assert runs[1] == {
        "run_id": "run_aero_20260419T051010123456",
        "solver": "solver_b",
        "domain": "aero",
        "timestamp": WHEN.isoformat(),
        "fingerprint": "sha256:1",
        "status": None,
        "kpis": {"cd": 0.3},
        "layer": str(product.parent / "simulation_runs/solver_b/20260419T051010123456/result.usda"),
    }
    assert runs[0]["fingerprint"] is None
    assert [r["domain"] for r in run_records.list_runs(product, solver="solver_a")] == ["aero", "dynamics"]
    assert [r["solver"] for r in run_records.list_runs(product, domain="aero")] == ["solver_a", "solver_b"]
    assert run_records.list_runs(product, solver="solver_a", domain="thermal") == []
    # Run files are never composed into the product.
    assert Usd.Stage.Open(str(product)).GetRootLayer().subLayerPaths == ["layers/prototype.usda"]


def test_read_run_records_sorts_what_a_record_holds(product):
    written = run_records.write_run_record(
        product,
        {"status": "success", "cd": 0.25, "cells": 3},
        "aero",
        "sample_aero",
        timestamp=WHEN,
        provenance={"fingerprint": "sha256:ab", "case_yaml": "speed: 1\n"},
        assumptions={"rho": {"value": 1.225, "unit": "kg/m3"}},
        parameters={"speed": {"value": 120.0, "default": 100, "path": "inputs.speed", "override": True}},
    )
    [run] = run_records.read_run_records(written["layer"])
    assert run == {
        "run_id": "run_aero_20260419T051010123456",
        "product": "Car",
        "domain": "aero",
        "solver": "sample_aero",
        "timestamp": WHEN.isoformat(),
        "status": "success",
        "layer": written["layer"],
        "kpis": {"cd": 0.25},
        "results": {"cd": 0.25, "cells": 3},
        "provenance": {"fingerprint": "sha256:ab", "case_yaml": "speed: 1\n"},
        "parameters": {"speed": {"value": 120, "default": 100, "path": "inputs.speed", "override": True}},
        "assumptions": {"rho": {"value": 1.225, "unit": "kg/m3"}},
    }
    with pytest.raises(ValueError, match="not a regular file"):
        run_records.read_run_records(product.parent)


def test_list_runs_of_a_product_without_runs(tmp_path):
    assert run_records.list_runs(make_product(tmp_path)) == []
    with pytest.raises(TypeError, match="argument 'solver' must be str"):
        run_records.list_runs(tmp_path / "car.usda", solver=1)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"result": []}, "argument 'result' must be dict"),
        ({"domain": 1}, "argument 'domain' must be str"),
        ({"provenance": "x"}, "argument 'provenance' must be dict or None"),
        ({"timestamp": "now"}, "argument 'timestamp' must be datetime or None"),
    ],
)
def test_write_argument_types(product, arguments, message):
    call = {"usda_path": product, "result": {}, "domain": "aero", "solver": "s"} | arguments
    with pytest.raises(TypeError, match=message):
        run_records.write_run_record(**call)
    assert not (product.parent / "simulation_runs").exists()
