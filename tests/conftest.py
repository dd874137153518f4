"""Shared fixtures: real USD products and solver registries in temporary folders."""

from __future__ import annotations

import os
import shutil
import stat
from pathlib import Path
from typing import Any

import pytest
from pxr import Sdf, Usd

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SAMPLE_PRODUCT = EXAMPLES / "products" / "sedan"
SAMPLE_SOLVERS = EXAMPLES / "solvers"


@pytest.fixture(autouse=True)
def isolated_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Keep every test away from the real ~/.orvane and any configured registry."""
    import orvane_platform.core.paths as paths
    import orvane_platform.core.solver_certs as solver_certs

    home = tmp_path / "orvane-home"
    monkeypatch.setattr(paths, "ORVANE_HOME", home)
    monkeypatch.setattr(solver_certs, "_SIGNING_SECRET_PATH", home / ".signing-secret")
    for variable in ("ORVANE_SOLVERS_DIR", "ORVANE_WORKSPACE"):
        monkeypatch.delenv(variable, raising=False)
    return home


@pytest.fixture
def sample_product(tmp_path: Path) -> Path:
    """A copy of the bundled sample product; returns its root file."""
    destination = tmp_path / "products" / "sedan"
    shutil.copytree(SAMPLE_PRODUCT, destination)
    return destination / "sedan.usda"


@pytest.fixture
def sample_registry(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A copy of the bundled sample registry, made the active one."""
    destination = tmp_path / "solvers"
    shutil.copytree(SAMPLE_SOLVERS, destination)
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(destination))
    return destination


def author(layer: Sdf.Layer, prim: str, attributes: dict[str, Any]) -> None:
    """Author attributes on `prim` of `layer` (an `over` unless it exists); None
    declares an attribute without a value."""
    spec = layer.GetPrimAtPath(prim) or Sdf.CreatePrimInLayer(layer, prim)
    for name, value in attributes.items():
        type_name = {
            bool: Sdf.ValueTypeNames.Bool,
            int: Sdf.ValueTypeNames.Int,
            float: Sdf.ValueTypeNames.Double,
            str: Sdf.ValueTypeNames.String,
            type(None): Sdf.ValueTypeNames.Double,
        }[type(value)]
        attribute = Sdf.AttributeSpec(spec, name, type_name)
        if value is not None:
            attribute.default = value


def make_product(
    folder: Path,
    *,
    name: str = "car",
    root: dict[str, Any] | None = None,
    layers: dict[str, dict[str, Any]] | None = None,
    prim: str = "Car",
) -> Path:
    """A product folder with a root layer sublayering `layers/<name>.usda` for
    each entry of `layers` (in that order, strongest first); no layers makes a
    flat product."""
    folder.mkdir(parents=True, exist_ok=True)
    root_path = folder / f"{name}.usda"
    stage = Usd.Stage.CreateNew(str(root_path))
    stage.SetDefaultPrim(stage.DefinePrim(f"/{prim}", "Xform"))
    root_layer = stage.GetRootLayer()
    author(root_layer, f"/{prim}", root or {})
    for layer_name, attributes in (layers or {}).items():
        layer_path = folder / "layers" / f"{layer_name}.usda"
        layer_path.parent.mkdir(exist_ok=True)
        layer = Sdf.Layer.CreateNew(str(layer_path))
        author(layer, f"/{prim}", attributes)
        layer.Save()
        root_layer.subLayerPaths.append(f"layers/{layer_name}.usda")
    root_layer.Save()
    return root_path


@pytest.fixture
def ollama():
    """A FakeOllama server on 127.0.0.1, shut down after the test."""
    from tests.test_local_llm import FakeOllama

    server = FakeOllama()
    yield server
    server.server.shutdown()
    server.server.server_close()


def install_double(folder: Path, monkeypatch: pytest.MonkeyPatch, name: str, body: str) -> Path:
    """An executable script `name` first on PATH that logs its arguments, one
    per line, to <folder>/<name>.log and then runs the bash `body`."""
    bin_dir = folder / "bin"
    bin_dir.mkdir(exist_ok=True)
    log = folder / f"{name}.log"
    script = bin_dir / name
    script.write_text(f'#!/bin/bash\nprintf "%s\\n" "$@" >> "{log}"\necho --- >> "{log}"\n{body}\n')
    script.chmod(script.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    return log


def logged_calls(log: Path) -> list[list[str]]:
    """The argument vectors a double was called with."""
    if not log.exists():
        return []
    calls, current = [], []
    for line in log.read_text().splitlines():
        if line == "---":
            calls.append(current)
            current = []
        else:
            current.append(line)
    return calls


HOSTILE_TEXT = "<script>alert(1)</script>"
HOSTILE_NOTES = "<img src=x onerror=alert(2)>"


@pytest.fixture(scope="session")
def charted_demo(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A demo workspace with a history worth drawing, made by the installed
    command: the walk-through's two aero runs and releases v0.1 and v0.2, one
    more aero run, a dynamics run and release v0.3, and file texts that would
    be markup if a page took them as such. Returns the workspace folder."""
    from tests.test_cli import orvane

    folder = tmp_path_factory.mktemp("charted")
    steps = [
        (folder, ("demo", "--dir", "workspace")),
        (folder / "workspace", ("run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=16.5")),
        (folder / "workspace", ("run", "sedan", "--domain", "dynamics")),
    ]
    for cwd, arguments in steps:
        done = orvane(*arguments, cwd=cwd)
        assert done.returncode in (0, 1), done.stderr  # 1: a gate failed, as it may
    workspace = folder / "workspace"
    layer = Sdf.Layer.FindOrOpen(str(workspace / "products/sedan/layers/design_intent.usda"))
    layer.GetPrimAtPath("/Sedan").attributes["body_style"].default = HOSTILE_TEXT
    layer.Save()
    frozen = orvane("release", "freeze", "sedan", "v0.3", "--notes", HOSTILE_NOTES, cwd=workspace)
    assert frozen.returncode == 0, frozen.stderr
    return workspace
