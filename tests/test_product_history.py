"""The results history read back, cleaned and baseline entries; product diffs."""

from __future__ import annotations

from datetime import UTC, datetime, timedelta, timezone

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pxr import Sdf, Vt

from orvane_platform.core import product_twin
from tests.support import make_product


def with_history(tmp_path, layers: dict[str, list[str]], root: list[str] | None = None, **extra):
    """A product whose named layers (and root) carry these resultsHistory entries."""
    product = make_product(tmp_path, layers={name: {} for name in layers}, **extra)
    for name, entries in {**layers, **({"root": root} if root is not None else {})}.items():
        path = product if name == "root" else tmp_path / "layers" / f"{name}.usda"
        layer = Sdf.Layer.FindOrOpen(str(path))
        spec = Sdf.AttributeSpec(layer.GetPrimAtPath("/Car"), "resultsHistory", Sdf.ValueTypeNames.StringArray)
        spec.default = Vt.StringArray(entries)
        layer.Save()
    return product


def stored(product, layer="prototype", name="resultsHistory"):
    path = product if layer == "root" else product.parent / "layers" / f"{layer}.usda"
    opened = Sdf.Layer.OpenAsAnonymous(str(path))
    spec = opened.GetPrimAtPath("/Car").attributes.get(name)
    return list(spec.default) if spec else None


# --- reading ------------------------------------------------------------------


def test_record_of_a_legacy_style_entry(tmp_path):
    entry = "2026-04-10T17:30:00+01:00|Cd=0.016|Cl=-0.0001|Cm=-0.0006|type=simulation|solver=xlb"
    [record] = product_twin.load_product_history(with_history(tmp_path, {"prototype": [entry]}))
    assert record == {
        "raw": entry,
        "timestamp": "2026-04-10T17:30:00+01:00",
        "cd": 0.016,
        "cl": -0.0001,
        "cm": -0.0006,
        "type": "simulation",
        "solver": "xlb",
        "domain": "simulation",
    }
    assert list(record) == ["raw", "timestamp", "cd", "cl", "cm", "type", "solver", "domain"]


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        ("domain=aero", {"domain": "aero", "type": "simulated:aero"}),
        ("DOMAIN=aero|type=x", {"domain": "aero", "type": "x"}),
        ("type=simulated:dyn", {"type": "simulated:dyn", "domain": "dyn"}),
        ("type=1", {"type": 1.0, "domain": "1"}),
        ("a=b=c|noequals|=v", {"a": "b=c", "": "v", "domain": ""}),
        ("k=1|K=2", {"k": 2.0, "domain": ""}),
        ("run=0123456789ab|n=000000000123", {"run": "0123456789ab", "n": 123.0, "domain": ""}),
        (
            "x= 1.5 |y=1_000|z=inf|w=-Infinity|v=nan(1)|u=1e999",
            {
                "x": 1.5,
                "y": 1000.0,
                "z": float("inf"),
                "w": float("-inf"),
                "v": "nan(1)",
                "u": float("inf"),
                "domain": "",
            },
        ),
        ("x=١٢|y=0x10|z=+.5|w=5.", {"x": 12.0, "y": "0x10", "z": 0.5, "w": 5.0, "domain": ""}),
        ("a=+-0|b=-+1|c=++2|d=+-inf", {"a": "+-0", "b": "-+1", "c": "++2", "d": "+-inf", "domain": ""}),
        ("Ünit=3", {"ünit": 3.0, "domain": ""}),
    ],
)
def test_record_fields(tmp_path, fields, expected):
    [record] = product_twin.load_product_history(with_history(tmp_path, {"prototype": ["t|" + fields]}))
    assert {k: v for k, v in record.items() if k not in ("raw", "timestamp")} == expected


def reference_value(text: str):
    try:
        return float(text)
    except ValueError:
        return text


@settings(max_examples=60, deadline=None)
@given(st.text(alphabet="0123456789+-.eE_ ainfINF\u0660x", max_size=8))
def test_values_parse_as_the_host_float_does(tmp_path_factory, text):
    product = with_history(tmp_path_factory.mktemp("value"), {"prototype": [f"t|v={text}"]})
    value = product_twin.load_product_history(product)[0]["v"]
    expected = reference_value(text)
    assert type(value) is type(expected)
    assert value == expected or (value != value and expected != expected)


def reference_record(entry: str) -> dict:
    """A record as the history grammar defines it, built field by field."""
    record = {"raw": entry, "timestamp": entry.split("|")[0]}
    type_text, has_domain = "", False
    for field in entry.split("|")[1:]:
        if "=" not in field:
            continue
        key, value = field.split("=", 1)
        record[key.lower()] = reference_value(value)
        if key.lower() == "domain":
            has_domain = True
            record["type"] = "simulated:" + value
        elif key.lower() == "type":
            type_text = value
    if not has_domain:
        record["domain"] = type_text.replace("simulated:", "")
    return record


HISTORY_KEYS = st.sampled_from(["domain", "Domain", "type", "raw", "timestamp", "cd", "CD", "run"])
HISTORY_VALUES = st.sampled_from(["aero", "simulated:dyn", "1", "0.5", "0a1b", "1_0", ""])


@settings(max_examples=80, deadline=None)
@given(
    st.lists(st.lists(HISTORY_KEYS, max_size=4), min_size=1, max_size=2),
    st.lists(st.lists(HISTORY_VALUES, min_size=4, max_size=4), min_size=1, max_size=6),
)
def test_consecutive_entries_give_the_grammars_records(tmp_path_factory, shapes, rows):
    # Entries of one shape in a row, then maybe another: repeated and
    # colliding keys, repeated and changing values and time stamps.
    entries = [
        f"t{index % 2}|" + "|".join(f"{key}={value}" for key, value in zip(shapes[0] if index < 3 else shapes[-1], row))
        for index, row in enumerate(rows)
    ]
    product = with_history(tmp_path_factory.mktemp("entries"), {"prototype": entries})
    records = product_twin.load_product_history(product)
    expected = [reference_record(entry) for entry in entries]
    assert records == expected
    assert [list(record) for record in records] == [list(record) for record in expected]
    assert len({id(record) for record in records}) == len(records)


def test_prototype_then_benchmark_and_root_ignored(tmp_path):
    product = with_history(tmp_path, {"prototype": ["p1|domain=a", "p2"], "benchmark": ["b1"]}, root=["r1"])
    assert [r["raw"] for r in product_twin.load_product_history(product)] == ["p1|domain=a", "p2", "b1"]


@pytest.mark.parametrize(
    "options, expected",
    [
        ({"domain": "aero"}, ["a1", "a2", "a3"]),
        ({"solver": "xlb"}, ["a2", "d1"]),
        ({"since": "2026-03-01T00:00:00+00:00"}, ["a2", "d1", "a3"]),
        ({"since": "2026-03-01T12:30:00+00:00"}, ["d1", "a3"]),  # the legacy 20260301T120000 is before
        ({"last": 2}, ["d1", "a3"]),
        ({"domain": "aero", "last": 1}, ["a3"]),
        ({"last": 0}, []),
        ({"domain": "none"}, []),
    ],
)
def test_history_filters(tmp_path, options, expected):
    product = with_history(
        tmp_path,
        {
            "prototype": [
                "2026-01-01T00:00:00+00:00|domain=aero|name=a1",
                "20260301T120000|domain=aero|solver=xlb|name=a2",
                "2026-04-01T00:00:00+00:00|domain=dynamics|solver=xlb|name=d1",
                "2026-05-01T00:00:00+00:00|domain=aero|name=a3",
            ]
        },
    )
    assert [record["name"] for record in product_twin.load_product_history(product, **options)] == expected


@pytest.mark.parametrize(
    "options, error",
    [
        ({"last": -1}, ValueError),
        ({"last": True}, TypeError),
        ({"since": 3}, TypeError),
        ({"domain": b"aero"}, TypeError),
    ],
)
def test_history_filter_arguments(tmp_path, options, error):
    with pytest.raises(error, match=next(iter(options))):
        product_twin.load_product_history(with_history(tmp_path, {"prototype": []}), **options)


def test_composed_history_when_result_layers_are_empty(tmp_path):
    product = with_history(tmp_path, {"prototype": []}, root=["r1|domain=x"])
    assert [r["domain"] for r in product_twin.load_product_history(product)] == ["x"]
    flat = with_history(tmp_path / "flat", {}, root=["f1"])
    assert [r["raw"] for r in product_twin.load_product_history(flat)] == ["f1"]
    assert product_twin.load_product_history(make_product(tmp_path / "empty")) == []


# --- cleaning -----------------------------------------------------------------


def days_ago(days: int) -> str:
    return (datetime.now(UTC) - timedelta(days=days)).isoformat()


def test_clean_trims_and_deduplicates(tmp_path):
    recent = days_ago(1) + "|domain=aero|cd=0.3"
    legacy_old = (datetime.now(UTC) - timedelta(days=400)).strftime("%Y%m%dT%H%M%S") + "|domain=aero"
    entries = [
        days_ago(100) + "|old",
        recent,
        recent,
        legacy_old,
        "undated|domain=aero",
        recent,
        "2026-1-01|odd date",
        days_ago(89) + "|kept",
    ]
    product = with_history(tmp_path, {"prototype": entries})
    summary = product_twin.clean_history(product, 90)
    assert summary == {
        "status": "ok",
        "before": 8,
        "after": 4,
        "duplicates_removed": 2,
        "old_removed": 2,
        "prototype_cleared": False,
    }
    assert list(summary) == ["status", "before", "after", "duplicates_removed", "old_removed", "prototype_cleared"]
    assert stored(product) == [recent, "undated|domain=aero", "2026-1-01|odd date", entries[-1]]
    again = product_twin.clean_history(product)
    assert again == {
        "status": "ok",
        "before": 4,
        "after": 4,
        "duplicates_removed": 0,
        "old_removed": 0,
        "prototype_cleared": False,
    }


def test_clean_wipe_clears_current_results(tmp_path):
    product = make_product(
        tmp_path,
        layers={
            "prototype": {
                "orvane:current:cd": 0.3,
                "orvane:current:label": "x",
                "orvane:current:last_updated": "keep",
                "simulationStatus": "COMPLETE",
                "lastUpdated": "t",
                "orvane:provenance:fingerprint": "sha256:1",
                "orvane:run:solver": "s",
                "orvane:target:cd_max": 0.4,
            },
            "design_intent": {"orvane:current:cd": 0.2},
        },
    )
    layer = Sdf.Layer.FindOrOpen(str(tmp_path / "layers" / "prototype.usda"))
    Sdf.AttributeSpec(
        layer.GetPrimAtPath("/Car"), "resultsHistory", Sdf.ValueTypeNames.StringArray
    ).default = Vt.StringArray([f"e{i}" for i in range(5)])
    layer.Save()
    design_intent = (tmp_path / "layers" / "design_intent.usda").read_bytes()
    summary = product_twin.clean_history(product, keep_days=0)
    assert summary == {
        "status": "ok",
        "before": 5,
        "after": 0,
        "duplicates_removed": 0,
        "old_removed": 5,
        "prototype_cleared": True,
    }
    opened = Sdf.Layer.OpenAsAnonymous(str(tmp_path / "layers" / "prototype.usda"))
    values = {a.name: a.default for a in opened.GetPrimAtPath("/Car").attributes}
    assert values == {
        "orvane:current:cd": 0.0,
        "orvane:current:label": "",
        "orvane:current:last_updated": "keep",
        "simulationStatus": "CLEAN",
        "lastUpdated": "",
        "orvane:provenance:fingerprint": "",
        "orvane:run:solver": "",
        "orvane:target:cd_max": 0.4,
        "resultsHistory": Vt.StringArray(),
    }
    assert (tmp_path / "layers" / "design_intent.usda").read_bytes() == design_intent


def test_clean_flat_product_and_missing_prim(tmp_path):
    flat = with_history(tmp_path / "flat", {}, root=["2001-01-01|x", "y"])
    assert product_twin.clean_history(flat)["after"] == 1
    assert stored(flat, "root") == ["y"]
    product = make_product(tmp_path / "layered", layers={"prototype": {}})
    (tmp_path / "layered" / "layers" / "prototype.usda").write_text("#usda 1.0\n")
    assert product_twin.clean_history(product) == {"status": "error", "error": "Prim /Car not found"}


@pytest.mark.parametrize(
    ("keep_days", "error", "message"),
    [
        ("90", TypeError, "argument 'keep_days' must be int, not str"),
        (1.5, TypeError, "must be int"),
        (-1, ValueError, "keep_days must be 0 or more, not -1"),
    ],
)
def test_clean_argument_checks(tmp_path, keep_days, error, message):
    product = with_history(tmp_path, {"prototype": ["2001-01-01|x"]})
    before = product.parent.joinpath("layers", "prototype.usda").read_bytes()
    with pytest.raises(error, match=message):
        product_twin.clean_history(product, keep_days)
    assert product.parent.joinpath("layers", "prototype.usda").read_bytes() == before


# --- baseline -------------------------------------------------------------------


def test_tag_baseline_appends_entries(tmp_path):
    product = make_product(tmp_path, layers={"prototype": {}})
    when = datetime(2026, 4, 19, 5, 10, 10, 123456, tzinfo=UTC)
    assert product_twin.tag_baseline(product, "aero", {"cd": 0.31, "cl": -0.012}, timestamp=when) is True
    assert product_twin.tag_baseline(
        product, "dynamics", {"lateral_g": 1}, timestamp=when.astimezone(timezone(timedelta(hours=2)))
    )
    assert stored(product, name="orvane:baseline:history") == [
        "2026-04-19T05:10:10.123456+00:00|domain=aero: cd=0.3100, cl=-0.0120",
        "2026-04-19T07:10:10.123456+02:00|domain=dynamics: lateral_g=1.0000",
    ]
    product_twin.tag_baseline(product, "aero", {})
    latest = stored(product, name="orvane:baseline:history")[-1]
    assert latest.endswith("+00:00|domain=aero: ")


def test_tag_baseline_on_flat_product_and_without_prim(tmp_path):
    flat = make_product(tmp_path / "flat")
    assert product_twin.tag_baseline(flat, "aero", {"cd": 0.3})
    assert len(stored(flat, "root", "orvane:baseline:history")) == 1
    bare = tmp_path / "bare.usda"
    Sdf.Layer.CreateNew(str(bare)).Save()
    assert product_twin.tag_baseline(bare, "aero", {"cd": 0.3}) is False


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("aero", {"cd": "fast"}), "could not convert"),
        ((1, {}), "argument 'domain' must be str"),
        (("aero", [1]), "argument 'kpis' must be dict"),
    ],
)
def test_tag_baseline_failures_write_nothing(tmp_path, arguments, message):
    product = make_product(tmp_path, layers={"prototype": {}})
    before = (tmp_path / "layers" / "prototype.usda").read_bytes()
    with pytest.raises((TypeError, ValueError), match=message):
        product_twin.tag_baseline(product, *arguments)
    with pytest.raises(TypeError, match="argument 'timestamp' must be datetime or None"):
        product_twin.tag_baseline(product, "aero", {}, timestamp="2026-01-01")
    assert (tmp_path / "layers" / "prototype.usda").read_bytes() == before


# --- diffs ----------------------------------------------------------------------


def test_diff_products(tmp_path):
    first = make_product(
        tmp_path / "a", root={"orvane:current:cd": 0.31, "label": "x", "mixed": 1.0, "flag": True, "only_a": 1.0}
    )
    second = make_product(
        tmp_path / "b", root={"orvane:current:cd": 0.29, "label": "y", "mixed": "text", "flag": False}
    )
    diff = product_twin.diff_products(first, second)
    assert list(diff) == ["cd", "flag"]
    assert diff["cd"][:2] == (0.31, 0.29) and diff["cd"][2] == pytest.approx(0.02)
    assert diff["flag"] == (True, False, 1)
    assert product_twin.diff_products(first, second, []) == diff
    assert product_twin.diff_products(first, second, ["mixed", "label", "only_a"]) == {
        "mixed": (1.0, "text", None),
        "label": ("x", "y", None),
        "only_a": (1.0, None, None),
    }


def test_diff_products_without_default_prim(tmp_path):
    bare = tmp_path / "bare.usda"
    Sdf.Layer.CreateNew(str(bare)).Save()
    product = make_product(tmp_path / "p", root={"m": 1.0})
    assert product_twin.diff_products(bare, product) == {}
    assert product_twin.diff_products(bare, product, ["m"]) == {"m": (None, 1.0, None)}
    with pytest.raises(TypeError, match="argument 'attrs' must be list or None"):
        product_twin.diff_products(bare, product, "m")


def test_diff_against_benchmark(sample_product):
    diff = product_twin.diff_against_benchmark(sample_product, "rival_a")
    assert "orvane:current:cd" not in diff  # the product has no result of its own yet
    assert diff["orvane:product:mass"] == (2050.0, 2140.0, -90.0)
    assert diff["displayName"] == ("Orvane Sedan", "Rival A", None)
    assert not any(name.startswith("orvane:provenance:") for name in diff)
    assert list(diff) == sorted(diff)


@pytest.mark.parametrize("name", ["rival_c", "bad name", ""])
def test_diff_against_unknown_competitor(sample_product, name):
    with pytest.raises(ValueError, match=rf"^Competitor '{name}' not found. Available: \['rival_a', 'rival_b'\]$"):
        product_twin.diff_against_benchmark(sample_product, name)


def test_diff_against_benchmark_without_competitors(tmp_path):
    with pytest.raises(ValueError, match=r"Available: \[\]$"):
        product_twin.diff_against_benchmark(make_product(tmp_path), "rival_a")
