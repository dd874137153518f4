"""Every USD file the platform writes passes OpenUSD's own validators."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from pxr import Sdf, Usd, UsdValidation

ORVANE = str(Path(sys.executable).parent / "orvane")


@pytest.fixture(scope="module")
def validate():
    validators = UsdValidation.ValidationRegistry().GetOrLoadAllValidators()
    assert len(validators) > 10
    context = UsdValidation.ValidationContext(validators)

    def errors_of(path: Path) -> list[str]:
        return [f"{error.GetName()}: {error.GetMessage()}" for error in context.Validate(Usd.Stage.Open(str(path)))]

    return errors_of


def test_the_validators_catch_a_file_without_units(tmp_path, validate):
    layer = Sdf.Layer.CreateNew(str(tmp_path / "bare.usda"))
    Sdf.CreatePrimInLayer(layer, "/Thing").specifier = Sdf.SpecifierDef
    layer.Save()
    assert any("metersPerUnit" in error or "upAxis" in error for error in validate(tmp_path / "bare.usda"))


def test_every_file_of_a_worked_demo_workspace_is_valid(tmp_path, validate):
    def orvane(*arguments: str) -> None:
        done = subprocess.run(
            [ORVANE, *arguments],
            cwd=tmp_path / "orvane-demo" if arguments[0] != "demo" else tmp_path,
            env=os.environ | {"HOME": str(tmp_path)},
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode in (0, 1), done.stderr  # 1: a gate failed, which is fine here

    orvane("demo")
    orvane("run", "sedan", "--domain", "dynamics", "--save", "design_intent")
    orvane("run", "sedan", "--domain", "aero", "--set", "ride_height=0.12", "--baseline")
    orvane("release", "freeze", "sedan", "v0.3")
    orvane("run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=16", "--save", "none")  # a what-if
    orvane("product", "set", "sedan", "mass=2100")
    orvane("release", "freeze", "sedan", "v0.4", "--force")  # with the stale KPIs it records
    orvane("sweep", "sedan", "--domain", "aero", "--vary", "ride_height=0.12,0.16")
    [record] = (tmp_path / "orvane-demo" / "products" / "sedan" / "sweeps").glob("*.json")
    orvane("sweep", "apply", record.stem, "--best", "cd")
    files = sorted((tmp_path / "orvane-demo").rglob("*.usda"))
    assert len(files) >= 14  # the product and its layers, seven run records, four releases
    assert {path: validate(path) for path in files} == {path: [] for path in files}
