"""Shared fixtures: real USD products and solver registries in temporary folders."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest
from pxr import Sdf

from tests.support import HOSTILE_NOTES, HOSTILE_TEXT, SAMPLE_PRODUCT, SAMPLE_SOLVERS, FakeOllama, orvane


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


@pytest.fixture
def ollama():
    """A FakeOllama server on 127.0.0.1, shut down after the test."""
    server = FakeOllama()
    yield server
    server.server.shutdown()
    server.server.server_close()


@pytest.fixture(scope="session")
def pristine_demo(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("pristine")
    made = orvane("demo", cwd=folder)
    assert made.returncode == 0, made.stderr
    return folder / "orvane-demo"


@pytest.fixture
def demo(pristine_demo: Path, tmp_path: Path) -> Path:
    """A demo workspace of this test's own, after the walk-through."""
    return Path(shutil.copytree(pristine_demo, tmp_path / "orvane-demo", symlinks=True))


@pytest.fixture(scope="session")
def charted_demo(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A demo workspace with a history worth drawing, made by the installed
    command: the walk-through's two aero runs and releases v0.1 and v0.2, one
    more aero run, a dynamics run and release v0.3, and file texts that would
    be markup if a page took them as such. Returns the workspace folder."""
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
    # Forced: the hostile body style may be a design change since the runs, which makes them stale.
    frozen = orvane("release", "freeze", "sedan", "v0.3", "--notes", HOSTILE_NOTES, "--force", cwd=workspace)
    assert frozen.returncode == 0, frozen.stderr
    return workspace
