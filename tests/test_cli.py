"""The `orvane` command, run as a user runs it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from tests.conftest import make_product


def orvane(*arguments: str, cwd: Path, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    environment = os.environ | {"COLUMNS": "400"} | (env or {})
    return subprocess.run(
        [sys.executable, "-m", "orvane_platform", *arguments],
        cwd=cwd, env=environment, capture_output=True, text=True, timeout=120,
    )


def test_demo_copies_the_samples_and_shows_them(tmp_path):
    shown = orvane("demo", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    workspace = tmp_path / "orvane-demo"
    assert (workspace / "products" / "sedan" / "layers" / "design_intent.usda").is_file()
    assert (workspace / "solvers" / "sample_dynamics" / "kpi_spec.yaml").is_file()
    assert "frontal_area" in shown.stdout and "notchback" in shown.stdout
    assert "sample_aero" in shown.stdout and "sample_dynamics" in shown.stdout
    assert "cd=0.247" in shown.stdout  # the sample result, shown in the history

    # Running it again starts from a fresh copy.
    (workspace / "products" / "sedan" / "layers" / "prototype.usda").write_text("broken")
    again = orvane("demo", "--dir", str(workspace), cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert "over" in (workspace / "products" / "sedan" / "layers" / "prototype.usda").read_text()


def test_demo_refuses_a_folder_it_did_not_make(tmp_path):
    (tmp_path / "work").mkdir()
    (tmp_path / "work" / "thesis.txt").write_text("keep me")
    refused = orvane("demo", "--dir", "work", cwd=tmp_path)
    assert refused.returncode == 1
    assert "was not made by the demo" in refused.stdout
    assert os.listdir(tmp_path / "work") == ["thesis.txt"]


def test_product_show(tmp_path):
    path = make_product(tmp_path, layers={"design_intent": {"orvane:product:mass": 1234.5}})
    shown = orvane("product", "show", str(path), cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "mass" in shown.stdout and "1234.5" in shown.stdout and "yes" in shown.stdout


def test_product_show_missing_file_is_an_error(tmp_path):
    shown = orvane("product", "show", str(tmp_path / "nope.usda"), cwd=tmp_path)
    assert shown.returncode == 1
    assert "error" in shown.stdout


@pytest.mark.parametrize("registry", ["sample", "empty"])
def test_solver_list(tmp_path, sample_registry, registry):
    env = {"ORVANE_SOLVERS_DIR": str(sample_registry if registry == "sample" else tmp_path / "none")}
    listed = orvane("solver", "list", cwd=tmp_path, env=env)
    assert listed.returncode == 0, listed.stderr
    assert ("Sample cornering model" in listed.stdout) == (registry == "sample")


def test_product_history_clean_diff_and_benchmark(tmp_path):
    assert orvane("demo", cwd=tmp_path).returncode == 0
    product = str(tmp_path / "orvane-demo" / "products" / "sedan" / "sedan.usda")

    history = orvane("product", "history", product, cwd=tmp_path)
    assert history.returncode == 0, history.stderr
    assert "1 entries" in history.stdout and "sample_aero" in history.stdout

    diff = orvane("product", "diff", product, product, "--attrs", "cd", "mass", cwd=tmp_path)
    assert diff.returncode == 0, diff.stderr
    assert "0.247" in diff.stdout and "2050" in diff.stdout

    benchmark = orvane("product", "benchmark", product, "rival_b", cwd=tmp_path)
    assert benchmark.returncode == 0 and "-0.013" in benchmark.stdout
    unknown = orvane("product", "benchmark", product, "rival_z", cwd=tmp_path)
    assert unknown.returncode == 1 and "Available: ['rival_a', 'rival_b']" in unknown.stdout

    cleaned = orvane("product", "clean", product, "--keep-days", "0", cwd=tmp_path)
    assert cleaned.returncode == 0, cleaned.stderr
    assert "1 entries before, 0 after" in cleaned.stdout and "current results cleared" in cleaned.stdout
    assert "0 entries" in orvane("product", "history", product, cwd=tmp_path).stdout
