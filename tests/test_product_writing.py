"""Writing domain results into a product's layers."""

from __future__ import annotations

import logging
import re
from pathlib import Path

import pytest
from pxr import Sdf, Tf, Usd

from orvane_platform.core import product_twin
from tests.support import make_product

FINGERPRINT = "sha256:" + "0123456789abcdef" * 4
KPIS = {"cd": 0.31, "cl": -0.012, "cm_pitch": 0.0005}


@pytest.fixture
def product(tmp_path, sample_registry) -> Path:
    return make_product(
        tmp_path / "car",
        layers={"prototype": {}, "benchmark": {}, "design_intent": {"orvane:product:mass": 1800.0}},
    )


def layer_files(product: Path) -> dict[str, bytes]:
    folder = product.parent
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*.usda"))}


def attributes(product: Path, layer: str) -> dict[str, tuple[str, object]]:
    """What the layer file holds on /Car: name to (type, value)."""
    path = product if layer == "root" else product.parent / "layers" / f"{layer}.usda"
    opened = Sdf.Layer.OpenAsAnonymous(str(path))
    spec = opened.GetPrimAtPath("/Car")
    return {a.name: (str(a.typeName), a.default) for a in spec.attributes} if spec else {}


def history(product: Path, layer: str = "prototype") -> list[str]:
    value = attributes(product, layer).get("resultsHistory", (None, []))[1]
    return list(value)


def test_prototype_write(product):
    before = layer_files(product)
    product_twin.write_domain_results(
        product,
        "aero",
        KPIS,
        solver="sample_aero",
        provenance={
            "fingerprint": FINGERPRINT,
            "solver_image": "img@sha256:9",
            "geometry": None,
            "mesh_cache": "none",
            "solver_cert": "verified",
            "timestamp": 5,
            "extra": "x",
        },
        extra_meta={"iterations": 500, "mesh": "fine"},
        parameters={"speed_kmh": {"value": 130, "override": True}, "yaw": {"value": 0, "override": False}},
    )
    written = attributes(product, "prototype")
    assert written["orvane:current:cd"] == ("double", 0.31)
    assert written["orvane:current:cm_pitch"] == ("double", 0.0005)
    assert written["lastModifiedBy"] == ("string", "Orvane")
    assert written["simulationStatus"] == ("string", "COMPLETE")
    assert written["orvane:provenance:fingerprint"] == ("string", FINGERPRINT)
    assert written["orvane:provenance:solver_image"] == ("string", "img@sha256:9")
    assert written["orvane:provenance:timestamp"] == ("string", "5")
    assert written["orvane:provenance:cd"] == ("string", "simulation:aero:sample_aero")
    assert written["orvane:provenance:last_updated"] == ("string", "derived")
    assert "orvane:provenance:geometry" not in written and "orvane:provenance:extra" not in written
    assert "orvane:aiAuthored" not in written
    [entry] = history(product)
    time, rest = entry.split("|", 1)
    assert time == written["lastUpdated"][1]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00", time)
    assert rest == (
        "domain=aero|cd=0.310000|cl=-0.012000|cm_pitch=5.000000e-04|solver=sample_aero"
        "|iterations=500|mesh=fine|override_speed_kmh=130|run=0123456789ab"
    )
    after = layer_files(product)
    assert {k for k in after if after[k] != before[k]} == {"layers/prototype.usda"}


def test_each_write_appends_one_entry(product):
    product_twin.write_domain_results(product, "aero", KPIS)
    product_twin.write_domain_results(product, "aero", KPIS | {"cd": 0.3})
    entries = history(product)
    assert [e.split("|")[2] for e in entries] == ["cd=0.310000", "cd=0.300000"]
    assert attributes(product, "prototype")["orvane:current:cd"][1] == 0.3


def test_non_converged_prototype_keeps_values_but_records_the_run(product):
    product_twin.write_domain_results(product, "aero", {"cd": 0.2, "cl": 0, "cm_pitch": 0}, converged=False)
    written = attributes(product, "prototype")
    assert not any(name.startswith("orvane:current:") for name in written)
    assert written["simulationStatus"] == ("string", "COMPLETE")
    assert history(product)[0].split("|")[2:] == ["cd=0.200000", "cl=0.000000", "cm_pitch=0.000000"]


def test_non_converged_benchmark_writes_values(product):
    product_twin.write_domain_results(product, "aero", KPIS, converged=False, save_target="benchmark")
    assert attributes(product, "benchmark")["orvane:current:cd"] == ("double", 0.31)
    assert len(history(product, "benchmark")) == 1
    assert "resultsHistory" not in attributes(product, "prototype")


@pytest.mark.parametrize("target", ["nonexistent", "car"])
def test_unknown_save_target_edits_the_root_layer(product, target):
    product_twin.write_domain_results(
        product, "dynamics", {"lateral_g": 0.9, "yaw_rate": 20, "roll_angle": 4}, save_target=target
    )
    assert attributes(product, "root")["orvane:current:lateral_g"] == ("double", 0.9)


def test_flat_product_writes_its_root_layer(tmp_path, sample_registry):
    flat = make_product(tmp_path / "flat")
    product_twin.write_domain_results(flat, "aero", KPIS)
    assert len(history(flat, "root")) == 1


def test_design_intent_derives_ranges_by_direction(product):
    product_twin.write_domain_results(
        product,
        "aero",
        {"cd": 0, "cl": -0.5, "cm_pitch": 2.0},
        save_target="design_intent",
        provenance={"solver_image": "img:1"},
    )
    product_twin.write_domain_results(
        product,
        "dynamics",
        {"lateral_g": 0.9, "yaw_rate": 20.0, "roll_angle": 4.0},
        save_target="design_intent",
    )
    written = attributes(product, "design_intent")
    targets = {k: v[1] for k, v in written.items() if k.startswith("target_")}
    assert targets == pytest.approx(
        {
            "target_cd_max": 0.01,
            "target_cd_nominal": 0.0,  # minimize, value 0
            "target_cl_min": -0.55,
            "target_cl_nominal": -0.5,
            "target_cl_max": -0.45,  # neutral
            "target_cm_pitch_min": 1.8,
            "target_cm_pitch_nominal": 2.0,
            "target_cm_pitch_max": 2.2,
            "target_lateral_g_min": 0.81,
            "target_lateral_g_nominal": 0.9,  # maximize
            "target_yaw_rate_min": 18.0,
            "target_yaw_rate_nominal": 20.0,
            "target_yaw_rate_max": 22.0,
            "target_roll_angle_max": 4.4,
            "target_roll_angle_nominal": 4.0,  # minimize
        }
    )
    assert written["orvane:target_src:cd"] == ("string", "img:1")
    assert written["orvane:target_src:lateral_g"] == ("string", "")
    assert not {"resultsHistory", "lastUpdated", "simulationStatus"} & set(written)
    assert "resultsHistory" not in attributes(product, "prototype")


@pytest.mark.parametrize(
    ("existing", "rewritten"),
    [
        pytest.param({"orvane:target:cd_min": 0.2}, False, id="hand-set-range"),
        pytest.param({"orvane:target:cd": 0.2}, False, id="hand-set-single"),
        pytest.param({"target_cd_max": 0.5, "orvane:target_src:cd": "img:1"}, False, id="same-image"),
        pytest.param({"target_cd_max": 0.5, "orvane:target_src:cd": "img:0"}, True, id="other-image"),
        pytest.param({"target_cd_max": 0.5, "orvane:target_src:cd": ""}, True, id="empty-marker"),
        pytest.param({"target_cd_max": 0.5}, True, id="no-marker"),
        pytest.param({"orvane:target:cdx_min": 0.5}, True, id="other-kpi-hand-set"),
    ],
)
def test_only_missing_targets(tmp_path, sample_registry, existing, rewritten):
    product = make_product(tmp_path, layers={"prototype": {}, "design_intent": existing})
    product_twin.write_domain_results(
        product,
        "aero",
        {"cd": 0.3},
        save_target="design_intent",
        only_missing_targets=True,
        provenance={"solver_image": "img:1"},
    )
    written = attributes(product, "design_intent")
    assert (written.get("target_cd_max", (None, None))[1] == pytest.approx(0.33)) == rewritten
    if rewritten:
        assert written["orvane:target_src:cd"] == ("string", "img:1")
        assert written["target_cd_nominal"] == ("double", 0.3)
    # cl and cm_pitch are missing from the KPIs and are skipped without error.
    assert not any("cl" in name or "cm_pitch" in name for name in written)


def test_existing_attribute_keeps_its_type(tmp_path, sample_registry):
    product = make_product(tmp_path, layers={"prototype": {"orvane:current:cd": 1}})  # an int attribute
    product_twin.write_domain_results(product, "aero", {"cd": 2.0, "cl": 0, "cm_pitch": 0})
    assert attributes(product, "prototype")["orvane:current:cd"] == ("int", 2)


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (0.0005, "5.000000e-04"),
        (1000000, "1.000000e+06"),
        (999999.5, "999999.500000"),
        (0, "0.000000"),
        (-0.0005, "-5.000000e-04"),
        (-2500000, "-2.500000e+06"),
        (0.001, "0.001000"),
        (0.0009999, "9.999000e-04"),
        (-0.3, "-0.300000"),
        (1.0000005, "1.000001"),
        (2.5e-7, "2.500000e-07"),
        (1e300, "1.000000e+300"),
        (5e-324, "4.940656e-324"),
        ("0.25", "0.250000"),
        (True, "1.000000"),
        (-0.0, "-0.000000"),
        (0.0000001234567, "1.234567e-07"),
    ],
)
def test_history_number_format(product, value, expected):
    product_twin.write_domain_results(product, "aero", {"cd": value, "cl": 1, "cm_pitch": 1})
    field = history(product)[0].split("|")[2]
    assert field == f"cd={expected}"
    number = float(value)
    reference = format(number, ".6e" if abs(number) >= 1e6 or 0 < abs(number) < 0.001 else ".6f")
    assert expected == reference


@pytest.mark.parametrize(
    ("flag", "authored"),
    [
        (True, True),
        (1, True),
        (1.0, True),
        ("true", True),
        ("1", True),
        (False, False),
        ("True", False),
        ("yes", False),
        (0, False),
        (None, False),
        (2, False),
    ],
)
def test_ai_authored_only_for_true_values(product, flag, authored):
    product_twin.write_domain_results(product, "aero", KPIS, provenance={"ai_authored": flag})
    written = attributes(product, "prototype")
    assert ("orvane:aiAuthored" in written) == authored
    if authored:
        assert written["orvane:aiAuthored"] == ("bool", True)


@pytest.mark.parametrize("fingerprint", ["0123456789abcdef", "sha1:0123456789abcdef", 42, None])
def test_run_field_needs_a_sha256_fingerprint(product, fingerprint):
    product_twin.write_domain_results(product, "aero", KPIS, provenance={"fingerprint": fingerprint})
    assert "run=" not in history(product)[0]


def test_solver_declared_kpis_rebuild_the_specification(tmp_path, sample_registry):
    (sample_registry / "sample_aero" / "solver.yaml").write_text("kpi_spec:\n  kpis: [cl, downforce]\n")
    product = make_product(tmp_path, layers={"prototype": {}})
    product_twin.write_domain_results(product, "aero", {"cd": 0.3, "cl": 0.1, "downforce": 120.5}, solver="sample_aero")
    written = attributes(product, "prototype")
    assert "orvane:current:cd" not in written
    assert written["orvane:current:downforce"] == ("double", 120.5)
    assert history(product)[0].split("|")[2:5] == ["cl=0.100000", "downforce=120.500000", "solver=sample_aero"]
    assert written["orvane:provenance:downforce"] == ("string", "simulation:aero:sample_aero")


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"domain": "thermal"}, ValueError, r"^Unknown domain: thermal\. Valid: \['aero', 'dynamics'\]$"),
        ({"kpis": {"cd": 0.3, "cl": 0.1}}, ValueError, r"^Missing required KPI 'cm_pitch' for domain 'aero'$"),
        ({"kpis": {"cd": 0.3, "cl": None, "cm_pitch": 1}}, ValueError, "Missing required KPI 'cl'"),
        ({"kpis": {"cd": "fast", "cl": 0.1, "cm_pitch": 1}}, ValueError, "could not convert string to float"),
        ({"kpis": {"cd": [1], "cl": 0.1, "cm_pitch": 1}}, TypeError, "must be a string or a real number"),
        ({"parameters": {"p": {"override": True}}}, KeyError, "value"),
        ({"usda_path": 1}, TypeError, "argument 'usda_path' must be str or os.PathLike, not int"),
        ({"domain": None}, TypeError, "argument 'domain' must be str, not None"),
        ({"kpis": [("cd", 1)]}, TypeError, "argument 'kpis' must be dict, not list"),
        ({"solver": None}, TypeError, "argument 'solver' must be str"),
        ({"provenance": "x"}, TypeError, "argument 'provenance' must be dict or None"),
        ({"assumptions": []}, TypeError, "argument 'assumptions' must be dict or None"),
        ({"extra_meta": 1}, TypeError, "argument 'extra_meta' must be dict or None"),
        ({"save_target": 1}, TypeError, "argument 'save_target' must be str"),
        ({"parameters": ()}, TypeError, "argument 'parameters' must be dict or None"),
    ],
)
def test_failed_calls_leave_every_file_untouched(product, arguments, error, message):
    call = {"usda_path": product, "domain": "aero", "kpis": KPIS} | arguments
    before = layer_files(product)
    with pytest.raises(error, match=message):
        product_twin.write_domain_results(**call)
    assert layer_files(product) == before


def test_failure_while_authoring_leaves_no_edit_in_memory(tmp_path, sample_registry):
    spec = sample_registry / "sample_aero" / "kpi_spec.yaml"
    spec.write_text(spec.read_text().replace('"orvane:current:cm_pitch"', '"not a valid name"'))
    product = make_product(tmp_path, layers={"prototype": {}})
    held = Sdf.Layer.FindOrOpen(str(tmp_path / "layers" / "prototype.usda"))  # keeps it in memory
    before = layer_files(product)
    with pytest.raises(Tf.ErrorException):
        product_twin.write_domain_results(product, "aero", KPIS)
    assert not held.dirty
    assert not held.GetPrimAtPath("/Car").attributes
    assert layer_files(product) == before


def test_missing_prim_spec_raises(tmp_path, sample_registry):
    product = make_product(tmp_path, layers={"prototype": {}}, prim="Car")
    (tmp_path / "layers" / "prototype.usda").write_text("#usda 1.0\n")
    with pytest.raises(RuntimeError, match="^Prim /Car not found in target layer$"):
        product_twin.write_domain_results(product, "aero", KPIS)


def test_write_logs_one_line(product, caplog):
    with caplog.at_level(logging.INFO, logger="orvane_platform.core.product_twin"):
        product_twin.write_domain_results(product, "aero", KPIS | {"extra": 1})
    assert caplog.messages == [
        "Wrote car results (domain=aero, KPIs=cd, cl, cm_pitch, extra, solver=unknown, layer=prototype)"
    ]


# --- provenance attributes and layer queries ------------------------------------


def new_prim_spec():
    """A prim spec on a new anonymous layer, with the layer that keeps it alive."""
    layer = Sdf.Layer.CreateAnonymous()
    return layer, Sdf.CreatePrimInLayer(layer, "/Car")


def test_write_provenance_attrs_on_prim_spec_and_prim(tmp_path):
    _layer, spec = new_prim_spec()
    product_twin.write_provenance_attrs(spec, {"fingerprint": "sha256:1", "n": 3})
    product_twin.write_provenance_attrs(spec, {"n": 4})
    assert {a.name: a.default for a in spec.attributes} == {
        "orvane:provenance:fingerprint": "sha256:1",
        "orvane:provenance:n": "4",
    }
    stage = Usd.Stage.CreateInMemory()
    prim = stage.DefinePrim("/Run")
    product_twin.write_provenance_attrs(prim, {"image": "img"}, ns="orvane:run:provenance")
    attribute = prim.GetAttribute("orvane:run:provenance:image")
    assert attribute.Get() == "img" and str(attribute.GetTypeName()) == "string"


@pytest.mark.parametrize("kv", [{}, None])
def test_write_provenance_attrs_with_nothing_writes_nothing(kv):
    _layer, spec = new_prim_spec()
    product_twin.write_provenance_attrs(spec, kv)
    assert not spec.attributes


def test_write_provenance_attrs_argument_types():
    _layer, spec = new_prim_spec()
    with pytest.raises(TypeError, match="argument 'kv' must be dict or None"):
        product_twin.write_provenance_attrs(spec, [("a", "b")])
    with pytest.raises(TypeError, match="argument 'ns' must be str"):
        product_twin.write_provenance_attrs(spec, {"a": "b"}, ns=1)


@pytest.mark.parametrize(
    ("names", "has", "hand_set"),
    [
        (["target_cd_min"], True, False),
        (["orvane:target:cd_max"], True, True),
        (["target_cd", "target_cd_tol", "orvane:target:cd_tol"], False, True),
        (["target_cd", "target_cd_tol"], False, False),
        (["orvane:target:cd"], False, True),
        (["target_cdx_min"], False, False),
        (["target_cd_x_min"], True, False),
        ([], False, False),
    ],
)
def test_layer_target_queries(names, has, hand_set):
    _layer, spec = new_prim_spec()
    for name in names:
        Sdf.AttributeSpec(spec, name, Sdf.ValueTypeNames.Double)
    assert product_twin._layer_has_target(spec, "cd") is has
    assert product_twin._layer_hand_set_target(spec, "cd") is hand_set


def test_layer_derived_target_image():
    _layer, spec = new_prim_spec()
    assert product_twin._layer_derived_target_image(spec, "cd") is None
    Sdf.AttributeSpec(spec, "orvane:target_src:cd", Sdf.ValueTypeNames.String).default = ""
    assert product_twin._layer_derived_target_image(spec, "cd") == ""
    with pytest.raises(TypeError, match="argument 'kpi_key' must be str"):
        product_twin._layer_derived_target_image(spec, None)
