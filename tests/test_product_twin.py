"""Product loading: the attribute scan, design-intent keys, names and sublayers."""

from __future__ import annotations

import re
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pxr import Sdf, Tf, Usd

from orvane_platform.core import product_twin
from tests.support import make_product

# --- the attribute scan -----------------------------------------------------


@pytest.mark.parametrize(
    ("attributes", "expected"),
    [
        pytest.param(
            {"orvane:current:cd": 0.3, "orvane:target:cd": 0.28, "orvane:product:cd": 0.25},
            {"cd": 0.3, "target_cd": 0.28},
            id="current-beats-target-beats-product",
        ),
        pytest.param(
            {"orvane:target:cd": 0.28, "orvane:product:cd": 0.25},
            {"cd": 0.28, "target_cd": 0.28},
            id="target-beats-product",
        ),
        pytest.param(
            {"orvane:target:cd_max": 0.31},
            {"cd_max": 0.31, "target_cd_max": 0.31},
            id="target-entered-twice",
        ),
        pytest.param({"cd": 0.5, "orvane:product:cd": 0.25}, {"cd": 0.25}, id="bare-loses"),
        pytest.param({"cd": 0.5}, {"cd": 0.5}, id="bare-alone"),
        pytest.param(
            {"orvane:provenance:fingerprint": "sha256:ab"},
            {"orvane_provenance_fingerprint": "sha256:ab"},
            id="other-namespace-full-name",
        ),
        pytest.param(
            {"orvane:target_src:cd": "img", "orvane:req:a:b": 1},
            {"orvane_target_src_cd": "img", "orvane_req_a_b": 1},
            id="every-colon-replaced",
        ),
        pytest.param(
            {"orvane_provenance_x": "bare", "orvane:provenance:x": "namespaced"},
            {"orvane_provenance_x": "namespaced"},
            id="namespaced-key-beats-bare-twin",
        ),
        pytest.param(
            {"orvane_target_src_cd": 1.0, "orvane:current:orvane_target_src_cd": 2.0, "orvane:target_src:cd": "x"},
            {"orvane_target_src_cd": "x"},
            id="other-namespace-key-not-overwritten-by-short-name",
        ),
        pytest.param({"a:current:x": 1.0, "z:current:x": 2.0}, {"x": 1.0}, id="first-by-name"),
        pytest.param({"empty": None, "orvane:current:gone": None}, {}, id="declared-no-value"),
        pytest.param({"flag": True, "count": 3}, {"flag": True, "count": 3}, id="types-kept"),
    ],
)
def test_scan_keys_and_precedence(tmp_path, attributes, expected):
    stage = Usd.Stage.Open(str(make_product(tmp_path, root=attributes)))
    scanned = product_twin._scan_prim_attributes(stage.GetDefaultPrim())
    # An Xform prim also reports its schema fallbacks.
    assert {k: v for k, v in scanned.items() if k not in ("purpose", "visibility")} == expected


def test_scan_insertion_order(tmp_path):
    attributes = {
        "zz": 1.0,
        "orvane:product:mass": 2.0,
        "orvane:target:cd_max": 3.0,
        "orvane:current:cd": 4.0,
        "orvane:provenance:b": "p",
        "aa": 5.0,
        "orvane:provenance:a": "q",
    }
    stage = Usd.Stage.Open(str(make_product(tmp_path, root=attributes)))
    keys = list(product_twin._scan_prim_attributes(stage.GetDefaultPrim()))
    assert keys == [
        "orvane_provenance_a",
        "orvane_provenance_b",
        "cd",
        "cd_max",
        "target_cd_max",
        "mass",
        "aa",
        "purpose",
        "visibility",
        "zz",
    ]


def test_scan_values_are_the_usd_objects(tmp_path):
    path = make_product(tmp_path)
    stage = Usd.Stage.Open(str(path))
    prim = stage.GetDefaultPrim()
    prim.CreateAttribute("resultsHistory", Sdf.ValueTypeNames.StringArray).Set(["a", "b"])
    scanned = product_twin._scan_prim_attributes(prim)
    assert scanned["resultsHistory"] == prim.GetAttribute("resultsHistory").Get()
    assert type(scanned["resultsHistory"]) is type(prim.GetAttribute("resultsHistory").Get())


def test_scan_requires_a_prim():
    with pytest.raises(TypeError, match="'prim' must be Usd.Prim, not str"):
        product_twin._scan_prim_attributes("/Car")


def test_load_layered_product_composes_and_adds_keys(tmp_path):
    path = make_product(
        tmp_path,
        root={"orvane:current:cd": 0.9},
        layers={
            "prototype": {"orvane:current:cd": 0.31, "resultsHistory": "x"},
            "design_intent": {"orvane:product:mass": 1800.0, "orvane:current:cd": 0.5},
        },
    )
    product = product_twin.load_product(path)
    assert product["cd"] == 0.9  # the root layer is the strongest opinion
    assert product["mass"] == 1800.0
    assert product["usd_file"] == str(path)
    assert product["_design_keys"] == {"mass"}
    assert list(product)[-2:] == ["usd_file", "_design_keys"]


def test_load_sample_product(sample_product):
    product = product_twin.load_product(str(sample_product))
    assert product["cd_max"] == pytest.approx(0.26)
    assert product["target_lateral_g_min"] == pytest.approx(0.85)
    assert product["body_style"] == "notchback"
    assert {"mass", "frontal_area", "battery_kwh", "body_style", "seats"} <= product["_design_keys"]
    assert not {"cd_max", "lateral_g_min"} & product["_design_keys"]


def test_load_without_default_prim_is_empty(tmp_path):
    path = tmp_path / "bare.usda"
    Sdf.Layer.CreateNew(str(path)).Save()
    assert product_twin.load_product(path) == {}


def test_load_missing_file_raises_usd_error(tmp_path):
    with pytest.raises(Tf.ErrorException):
        product_twin.load_product(tmp_path / "missing.usda")


@pytest.mark.parametrize(
    "function",
    ["load_product", "_design_intent_keys", "product_name_from_path"],
)
@pytest.mark.parametrize("value", [42, None, b"car.usda"])
def test_path_arguments_are_type_checked(function, value):
    with pytest.raises(TypeError, match=rf"{function}\(\) argument 'usda_path' must be str or os"):
        getattr(product_twin, function)(value)


# --- design-intent keys -------------------------------------------------------

PATTERN = re.compile(r"^\s*(?:double|int|float|string|bool)\s+([A-Za-z0-9_:]+)\s*=", re.MULTILINE)


def reference_keys(text: str) -> set[str]:
    """What the regular expression finds in the text as read in text mode."""
    keys = set()
    for name in PATTERN.findall(text.replace("\r\n", "\n").replace("\r", "\n")):
        if name.startswith("orvane:product:"):
            keys.add(name.split(":")[-1])
        elif ":" not in name:
            keys.add(name)
    return keys


def write_design_intent(folder: Path, text: str) -> Path:
    (folder / "layers").mkdir(parents=True, exist_ok=True)
    (folder / "layers" / "design_intent.usda").write_text(text, encoding="utf-8")
    return folder / "car.usda"


@pytest.mark.parametrize(
    ("line", "found"),
    [
        ("double orvane:product:mass = 1", {"mass"}),
        ("    int seats=5", {"seats"}),
        ("\tfloat width =2", {"width"}),
        ('string body_style = "x"', {"body_style"}),
        ("bool has_roof = true", {"has_roof"}),
        ("double orvane:product:a:b = 1", {"b"}),
        ("double orvane:current:cd = 0.3", set()),
        ("double orvane:target:cd_max = 0.3", set()),
        ("double orvane:req:x = 1", set()),
        ("double[] masses = [1]", set()),
        ("custom double mass = 1", set()),
        ("uniform int seats = 5", set()),
        ('token kind = "x"', set()),
        ("float3 size = (1, 2, 3)", set()),
        ("doublemass = 1", set()),
        ("double mass", set()),
        ("double mass.connect = </x>", set()),
        ("# double mass = 1", set()),
        ("Double mass = 1", set()),
        ("double\n  mass = 1", {"mass"}),
        ("double mass\n= 1", {"mass"}),
        ("\u00a0\u3000double mass = 1", {"mass"}),
        ("\u200bdouble mass = 1", set()),
        ("\ufeffdouble mass = 1", set()),
        ("x\rdouble mass = 1", {"mass"}),
        ("x\r\ndouble mass = 1\r\n", {"mass"}),
    ],
)
def test_design_keys_declaration_forms(tmp_path, line, found):
    path = write_design_intent(tmp_path, f'#usda 1.0\nover "Car"\n{{\n{line}\n}}\n')
    assert product_twin._design_intent_keys(path) == found == reference_keys(line)


def test_design_keys_read_only_the_design_intent_text(tmp_path):
    path = make_product(
        tmp_path,
        root={"root_only": 1.0},
        layers={
            "prototype": {"proto_only": 1.0},
            "design_intent": {"orvane:product:mass": 1.0, "orvane:current:cd": 0.3, "body_style": "x"},
        },
    )
    assert product_twin._design_intent_keys(str(path)) == {"mass", "body_style"}


def test_design_keys_of_flat_product_come_from_root(tmp_path):
    path = make_product(tmp_path, root={"orvane:product:mass": 1.0, "orvane:current:cd": 0.3})
    assert product_twin._design_intent_keys(path) == {"mass"}


def test_design_keys_of_missing_files_are_empty(tmp_path):
    assert product_twin._design_intent_keys(tmp_path / "nowhere.usda") == set()
    (tmp_path / "layers" / "design_intent.usda").mkdir(parents=True)
    assert product_twin._design_intent_keys(tmp_path / "nowhere.usda") == set()


def test_design_keys_reject_text_that_is_not_utf8(tmp_path):
    path = write_design_intent(tmp_path, "")
    (tmp_path / "layers" / "design_intent.usda").write_bytes(b"double mass = 1\n\xff\n")
    with pytest.raises(UnicodeDecodeError):
        product_twin._design_intent_keys(path)


TOKENS = [
    "double",
    "int",
    "float",
    "string",
    "bool",
    "custom",
    "[]",
    "orvane:product:",
    "orvane:current:",
    "mass",
    "cd_1",
    ":",
    "=",
    " ",
    "\t",
    "\n",
    "\r",
    "\r\n",
    "\u00a0",
    "\u2028",
    "\u3000",
    "\x0b",
    "\x1c",
    "é",
    "#",
    '"',
]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=40))
def test_design_keys_match_the_regular_expression(tmp_path_factory, tokens):
    text = "".join(tokens)
    folder = tmp_path_factory.mktemp("scan")
    path = write_design_intent(folder, text)
    assert product_twin._design_intent_keys(path) == reference_keys(text)


@pytest.mark.parametrize("padding", [65530, 65533, 65534, 65535, 65536, 131070])
def test_design_keys_across_read_boundaries(tmp_path, padding):
    # Declarations, multi-byte spaces and line breaks cut by the 64 KiB reads.
    text = (
        "x" * padding
        + "\ndouble orvane:product:alpha = 1\n\u3000\u3000double beta = 2\n"
        + "\n" * 70000
        + "double\n"
        + " " * 70000
        + "gamma\n = 3\nint delta"
    )
    path = write_design_intent(tmp_path, text)
    assert product_twin._design_intent_keys(path) == {"alpha", "beta", "gamma"}


# --- names and sublayers ------------------------------------------------------


@pytest.mark.parametrize(
    ("path", "name"),
    [("products/sedan/sedan.usda", "sedan"), (Path("/a/b/c.usda"), "b"), ("c.usda", "")],
)
def test_product_name_from_path(path, name):
    assert product_twin.product_name_from_path(path) == name


def test_find_layer_by_name(tmp_path):
    path = make_product(tmp_path, layers={"prototype": {}, "design_intent": {}})
    stage = Usd.Stage.Open(str(path))
    layer = product_twin._find_layer_by_name(stage, "prototype")
    assert Path(layer.realPath) == tmp_path / "layers" / "prototype.usda"
    assert product_twin._find_layer_by_name(stage, "benchmark") is None


def test_find_layer_first_stem_match_wins(tmp_path):
    path = make_product(tmp_path, layers={"prototype.old": {}, "prototype": {}})
    stage = Usd.Stage.Open(str(path))
    layer = product_twin._find_layer_by_name(stage, "prototype")
    assert Path(layer.realPath).name == "prototype.old.usda"


def test_find_layer_with_missing_file_is_none(tmp_path):
    path = make_product(tmp_path, layers={"prototype": {}})
    (tmp_path / "layers" / "prototype.usda").unlink()
    stage = Usd.Stage.Open(str(path))
    assert product_twin._find_layer_by_name(stage, "prototype") is None


def test_find_layer_name_must_be_text(tmp_path):
    stage = Usd.Stage.Open(str(make_product(tmp_path)))
    with pytest.raises(TypeError, match="argument 'name' must be str, not int"):
        product_twin._find_layer_by_name(stage, 3)
