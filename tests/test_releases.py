"""Release snapshots over real products and real git repositories."""

from __future__ import annotations

import os
import subprocess
from datetime import UTC, datetime, timedelta
from pathlib import Path

import pytest
from pxr import Sdf, Usd, Vt

from orvane_platform.core import releases
from orvane_platform.core.product import Product
from tests.support import install_double, make_product

WHEN = datetime(2026, 4, 19, 5, 10, 10, tzinfo=UTC)


def git(folder: Path, *arguments: str) -> str:
    return subprocess.run(
        ["git", "-c", "user.name=t", "-c", "user.email=t@t", *arguments],
        cwd=folder,
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()


@pytest.fixture
def product(tmp_path, monkeypatch) -> Path:
    """A layered product inside a git repository that is also the workspace."""
    path = make_product(
        tmp_path / "products" / "car",
        root={"orvane:current:cd": 0.29, "label": "car", "orvane:release:version": "stale"},
        layers={"prototype": {}, "design_intent": {"orvane:product:mass": 1800.0, "orvane:target:cd_max": 0.3}},
    )
    stage = Usd.Stage.Open(str(path))
    prim = stage.GetDefaultPrim()
    prim.CreateAttribute("documented", Sdf.ValueTypeNames.Int).Set(7)
    prim.GetAttribute("documented").SetDocumentation("Seats in the cabin")
    prim.CreateAttribute("declared_only", Sdf.ValueTypeNames.Double)
    stage.GetRootLayer().Save()
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", "-A")
    git(tmp_path, "commit", "-qm", "product")
    monkeypatch.setenv("ORVANE_WORKSPACE", str(tmp_path))
    return path


def set_history(product: Path, entries: list[str]) -> None:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "prototype.usda"))
    spec = layer.GetPrimAtPath("/Car").attributes.get("resultsHistory") or Sdf.AttributeSpec(
        layer.GetPrimAtPath("/Car"), "resultsHistory", Sdf.ValueTypeNames.StringArray
    )
    spec.default = Vt.StringArray(entries)
    layer.Save()


@pytest.mark.parametrize(
    ("version", "safe"),
    [
        ("v0.1", "v0.1"),
        ("2026-04-19-gate-pass", "2026-04-19-gate-pass"),
        (" 2026-04-19 gate pass ", "2026-04-19_gate_pass"),
        ("a/b:c", "a_b_c"),
        ("a//::b", "a_b"),
        ("ünïcode", "_n_code"),
        ("", ""),
        ("   ", ""),
        ("\u3000v1\u3000", "v1"),
    ],
)
def test_sanitise_version(version, safe):
    assert releases._sanitise_version(version) == safe


def test_freeze_release(product, tmp_path):
    set_history(product, ["t|domain=aero|cd=0.29|solver=x"])
    frozen = releases.freeze_release(product, "v0.1", "first", timestamp=WHEN)
    release_file = product.parent / "releases" / "v0.1.usda"
    assert frozen == {
        "status": "frozen",
        "version": "v0.1",
        "path": str(release_file),
        "source": str(product),
        "timestamp": WHEN.isoformat(),
        "git_commit": git(tmp_path, "rev-parse", "--short", "HEAD"),
        "attributes_captured": frozen["attributes_captured"],
    }
    stage = Usd.Stage.Open(str(release_file))
    prim = stage.GetDefaultPrim()
    assert prim.GetPath() == Sdf.Path("/Car") and prim.GetTypeName() == "Xform"
    assert not stage.GetRootLayer().subLayerPaths
    names = [a.GetName() for a in prim.GetAuthoredAttributes()]
    metadata = [n for n in names if n.startswith("orvane:release:")]
    assert sorted(metadata) == sorted(
        [
            "orvane:release:version",
            "orvane:release:timestamp",
            "orvane:release:notes",
            "orvane:release:git_commit",
            "orvane:release:source",
            "orvane:release:validation_summary",
        ]
    )
    assert prim.GetAttribute("orvane:release:version").Get() == "v0.1"  # the product's stale one is not copied
    assert prim.GetAttribute("orvane:release:source").Get() == "products/car/car.usda"
    assert prim.GetAttribute("orvane:release:validation_summary").Get() == "aero 1/1 pass"
    assert prim.GetAttribute("documented").GetDocumentation() == "Seats in the cabin"
    assert str(prim.GetAttribute("documented").GetTypeName()) == "int"
    assert prim.GetAttribute("orvane:product:mass").Get() == 1800.0
    assert "declared_only" not in names and "purpose" not in names  # no value, or only a fallback
    copied = [n for n in names if not n.startswith("orvane:release:")]
    assert frozen["attributes_captured"] == len(copied)


def test_refusals_and_force(product):
    first = releases.freeze_release(product, "v1", "", timestamp=WHEN)
    release_file = Path(first["path"])
    before = release_file.read_bytes()
    refused = releases.freeze_release(product, "v1", "again")
    assert refused == {
        "status": "error",
        "error": f"Release v1 already exists at {release_file}. Pass force=True to overwrite.",
    }
    assert release_file.read_bytes() == before
    later = WHEN + timedelta(days=1)
    forced = releases.freeze_release(product, "v1", "again", force=True, timestamp=later)
    assert forced["timestamp"] == later.isoformat()
    assert releases.read_release(product, "v1")["metadata"]["notes"] == "again"


def test_a_freeze_clears_what_killed_writers_left_in_the_folder(product):
    folder = product.parent / "releases"
    folder.mkdir()
    dead = folder / "v0.usda.999999999-3.tmp"  # another version's, its writer gone
    live = folder / f"v0.usda.{os.getppid()}-1.tmp"  # a writer still at work
    kept = [folder / "notes.tmp", folder / "v0.usda.12-x.tmp"]  # not named as a writer names one
    for path in (dead, live, *kept):
        path.write_text("partial")
    assert releases.freeze_release(product, "v1")["status"] == "frozen"
    assert not dead.exists() and live.exists() and all(path.exists() for path in kept)


@pytest.mark.parametrize(
    ("version", "error"),
    [("", "Invalid version: ''"), ("  ", "Invalid version: '  '"), ("\t", "Invalid version: '\\t'")],
)
def test_invalid_versions(product, version, error):
    assert releases.freeze_release(product, version, "") == {"status": "error", "error": error}


def test_missing_product_and_default_prim(tmp_path):
    missing = tmp_path / "none.usda"
    assert releases.freeze_release(missing, "v1", "") == {
        "status": "error",
        "error": f"Product USD not found: {missing}",
    }
    bare = tmp_path / "bare" / "bare.usda"
    bare.parent.mkdir()
    Sdf.Layer.CreateNew(str(bare)).Save()
    assert releases.freeze_release(bare, "v1", "") == {"status": "error", "error": "Product USD has no default prim"}
    assert (bare.parent / "releases").is_dir()  # made before the checks that follow it
    assert releases.list_releases(bare) == []


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("v1", 3), "argument 'notes' must be str"),
        ((1, ""), "argument 'version' must be str"),
        (("v1", "", False, "2026"), "argument 'timestamp' must be datetime or None"),
    ],
)
def test_freeze_argument_types(product, arguments, message):
    with pytest.raises(TypeError, match=message):
        releases.freeze_release(product, *arguments)
    assert not (product.parent / "releases").exists()


def test_outside_a_repository_or_workspace(tmp_path, monkeypatch):
    product = make_product(tmp_path / "loose", root={"a": 1.0})
    monkeypatch.setenv("ORVANE_WORKSPACE", str(tmp_path / "elsewhere"))
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(tmp_path))
    frozen = releases.freeze_release(product, "v1", "")
    assert frozen["git_commit"] is None
    metadata = releases.read_release(product, "v1")["metadata"]
    assert metadata["git_commit"] is None and metadata["source"] == str(product)
    assert metadata["validation_summary"] == "(no gate results recorded)"
    prefix_sibling = tmp_path / "loo"  # a text prefix of the path, not a parent folder
    monkeypatch.setenv("ORVANE_WORKSPACE", str(prefix_sibling))
    releases.freeze_release(product, "v2", "")
    assert releases.read_release(product, "v2")["metadata"]["source"] == str(product)


def test_read_git_commit(tmp_path, monkeypatch):
    git(tmp_path, "init", "-q")
    (tmp_path / "f").write_text("x")
    git(tmp_path, "add", "f")
    git(tmp_path, "commit", "-qm", "c")
    head = git(tmp_path, "rev-parse", "--short", "HEAD")
    assert releases._read_git_commit(tmp_path) == head
    monkeypatch.setenv("ORVANE_WORKSPACE", str(tmp_path))
    assert releases._read_git_commit() == head
    assert releases._read_git_commit(tmp_path / "missing") is None
    monkeypatch.setenv("PATH", str(tmp_path / "bin-without-git"))
    assert releases._read_git_commit(tmp_path) is None


def test_read_git_commit_time_out(tmp_path, monkeypatch):
    install_double(tmp_path, monkeypatch, "git", "sleep 10")
    assert releases._read_git_commit(tmp_path) is None


def test_listing_and_reading(product):
    releases.freeze_release(product, "b", "", timestamp=WHEN + timedelta(hours=2))
    releases.freeze_release(product, "a", "", timestamp=WHEN + timedelta(hours=1))
    releases.freeze_release(product, "c", "", timestamp=WHEN + timedelta(hours=2))
    (product.parent / "releases" / "stray.usda").write_text("#usda 1.0\n")
    listed = releases.list_releases(product)
    assert [r["version"] for r in listed] == ["a", "b", "c"]
    assert list(listed[0]) == ["version", "timestamp", "notes", "git_commit", "source", "validation_summary", "path"]
    read = releases.read_release(str(product), " a ")
    assert read["metadata"] == listed[0]
    assert read["attributes"]["orvane:current:cd"] == 0.29
    assert not any(name.startswith("orvane:release:") for name in read["attributes"])
    assert releases.read_release(product, "zz") == {}
    assert releases.list_releases(make_product(product.parent.parent / "fresh")) == []


def test_diff_releases(product):
    releases.freeze_release(product, "v1", "")
    stage = Usd.Stage.Open(str(product))
    stage.GetDefaultPrim().GetAttribute("orvane:current:cd").Set(0.27)
    stage.GetRootLayer().Save()
    releases.freeze_release(product, "v2", "")
    diff = releases.diff_releases(product, "v2", "v1")
    assert diff["orvane:current:cd"][:2] == (0.27, 0.29)
    assert diff["orvane:current:cd"][2] == pytest.approx(-0.02)
    assert diff["documented"] == (7, 7, 0)
    assert "label" not in diff and list(diff) == sorted(diff)
    with pytest.raises(ValueError, match="Release 'v9' not found"):
        releases.diff_releases(product, "v1", "v9")


@pytest.mark.parametrize(
    ("entries", "targets", "summary"),
    [
        ([], {}, "(no gate results recorded)"),
        (["t|cd=0.3|solver=x"], {"cd_max": 0.3}, "(no gate results recorded)"),
        (
            ["t|domain=aero|cd=0.29|cl=0.1", "t|domain=aero|cd=0.31"],
            {"cd_max": 0.3, "cl_max": 0.0},
            "aero 0/1 pass (cd FAIL)",
        ),
        (["t|domain=aero|cd=0.30"], {"cd_max": 0.3}, "aero 1/1 pass"),
        (
            ["t|domain=dynamics|lateral_g=0.8|yaw_rate=20|roll_angle=5", "t|domain=aero|CD=0.29"],
            {"cd_max": 0.3, "lateral_g_min": 0.85, "roll_angle_max": 4.5, "yaw_rate_min": 10.0},
            "aero 1/1 pass · dynamics 1/3 pass (lateral_g, roll_angle FAIL)",
        ),
        (
            ["t|domain=aero|cd=0.2|status=1|solver_image=2|override_cd=9|timestamp=3|run=abc|note=x"],
            {"cd_max": 0.3, "status_max": 0.0, "solver_image_max": 0.0, "override_cd_max": 0.0, "timestamp_max": 0.0},
            "aero 1/1 pass",
        ),
        (["t|domain=aero|cd=0.5"], {"cl_max": 0.3}, "(no gate results recorded)"),
        (["t|x=1|domain=Aero|domain=aero2|cd=0.5"], {"cd_max": 0.3}, "aero2 0/1 pass (cd FAIL)"),
        (["t|domain=aero| cd = 0.25 |cd=0.35|cd=0.2"], {"cd_min": 0.1, "cd_max": 0.3}, "aero 1/1 pass"),
        (["t|domain=aero|CD=0.2"], {"CD_max": 0.3}, "(no gate results recorded)"),
    ],
)
def test_validation_summary(tmp_path, entries, targets, summary):
    product = make_product(tmp_path, root={f"orvane:target:{k}": v for k, v in targets.items()})
    stage = Usd.Stage.Open(str(product))
    if entries:
        stage.GetDefaultPrim().CreateAttribute("resultsHistory", Sdf.ValueTypeNames.StringArray).Set(entries)
    assert releases._build_validation_summary(stage, product) == summary


def test_validation_summary_with_an_unreadable_target(tmp_path):
    product = make_product(tmp_path, root={"orvane:target:cd_max": "high"})
    stage = Usd.Stage.Open(str(product))
    stage.GetDefaultPrim().CreateAttribute("resultsHistory", Sdf.ValueTypeNames.StringArray).Set(["t|domain=a|cd=1"])
    with pytest.raises(ValueError):
        releases._build_validation_summary(stage, product)


def test_product_object(tmp_path, sample_registry):
    path = make_product(
        tmp_path / "sedan",
        root={
            "target_cd_max": 0.35,
            "target_cl_min": -0.1,
            "target_cd_tol": 0.01,
            "target_x": 1.0,
            "target_label_max": "high",
        },
        layers={"design_intent": {"orvane:target:cd_max": 0.3, "orvane:target:cm_pitch_nominal": 2}},
    )
    product = Product(path)
    assert product.name == "sedan" and product.usd_path == path
    assert product.targets == {"cd_max": 0.3, "cm_pitch_nominal": 2.0, "cl_min": -0.1}
    assert all(type(v) is float for v in product.targets.values())
    assert product.specs["cd_max"] == 0.3
    assert (
        product.evaluate_gates({"aero": {"status": "success", "cd": 0.32, "cl": 0.0}})["summary"]
        == "1 passed, 1 failed, 0 not run (2 total)"
    )
    with pytest.raises(TypeError, match="argument 'usd_path' must be str or os.PathLike"):
        Product(None)


def test_latest_results_from_the_history(product):
    set_history(
        product,
        [
            "t1|domain=aero|cd=0.31|solver=a",
            "t2|domain=dynamics|lateral_g=0.9",
            "t3|domain=aero|cd=0.28|run=0123456789ab",
            "t4|no domain",
        ],
    )
    assert Product(product).latest_results() == {
        "aero": {"status": "success", "cd": 0.28},
        "dynamics": {"status": "success", "lateral_g": 0.9},
    }
