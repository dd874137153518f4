"""The files the platform writes stay byte for byte what they were: results,
derived targets, a release and a run record, written under a fixed clock and
compared with the files in tests/data/golden."""

from __future__ import annotations

import datetime
import shutil
from pathlib import Path

import pytest

from orvane_platform.core import product_twin, releases, run_records
from tests.support import SAMPLE_PRODUCT, SAMPLE_SOLVERS

GOLDEN = Path(__file__).with_name("data") / "golden"
KPIS = {"cd": 0.2471, "cl": -0.031, "cm_pitch": -0.012}
PROVENANCE = {"fingerprint": "sha256:" + "ab" * 32, "solver_image": "img@sha256:" + "cd" * 32, "ai_authored": True}


class FrozenClock(datetime.datetime):
    @classmethod
    def now(cls, tz=None):
        return FIXED


FIXED = FrozenClock(2026, 3, 4, 5, 6, 7, 890123, tzinfo=datetime.UTC)


@pytest.fixture
def product(tmp_path, monkeypatch):
    monkeypatch.setattr(datetime, "datetime", FrozenClock)
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(SAMPLE_SOLVERS))
    monkeypatch.setenv("ORVANE_WORKSPACE", str(tmp_path))
    shutil.copytree(SAMPLE_PRODUCT, tmp_path / "products" / "sedan")
    return tmp_path / "products" / "sedan" / "sedan.usda"


def test_written_files_are_byte_identical(product):
    for _ in range(2):  # the second appends to the history the first made
        product_twin.write_domain_results(
            product,
            "aero",
            KPIS,
            solver="sample_aero",
            provenance=PROVENANCE,
            extra_meta={"iterations": 500},
            parameters={"speed": {"value": 40, "default": 30, "path": "inputs.speed", "override": True}},
        )
    product_twin.write_domain_results(
        product, "aero", KPIS, solver="sample_aero", provenance=PROVENANCE, save_target="design_intent"
    )
    frozen = releases.freeze_release(product, "v1.0", "golden notes", timestamp=FIXED)
    record = run_records.write_run_record(
        product,
        {**KPIS, "iterations": 500, "converged": True, "status": "success"},
        "aero",
        "sample_aero",
        provenance=PROVENANCE,
        parameters={"speed": {"value": 40}},
        assumptions={"rho": {"value": 1.2, "unit": "kg/m3"}},
        timestamp=FIXED,
    )
    layers = product.parent / "layers"
    written = {
        "prototype.usda": layers / "prototype.usda",
        "design_intent.usda": layers / "design_intent.usda",
        "release.usda": Path(frozen["path"]),
        "run_record.usda": Path(record["layer"]),
    }
    for name, path in written.items():
        assert path.read_bytes() == (GOLDEN / name).read_bytes(), name
