"""The `orvane` command, run as a user runs it."""

from __future__ import annotations

import json
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
    assert "verified" in shown.stdout and "run_aero_" in shown.stdout
    assert len(list((workspace / "products" / "sedan" / "simulation_runs" / "sample_aero").iterdir())) == 1
    assert "1 passed, 0 failed, 2 not run (3 total)" in shown.stdout
    assert (workspace / "products" / "sedan" / "releases" / "v0.1.usda").is_file()

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


def test_fingerprint_verify_and_runs(tmp_path):
    (tmp_path / "case.yaml").write_text("speed: 30\n")
    (tmp_path / "params.json").write_text('{"speed": {"value": 30, "override": true}}')
    (tmp_path / "body.stl").write_text("solid")
    env = {"PATH": f"{tmp_path}:{os.path.dirname(sys.executable)}"}  # no docker
    made = orvane("fingerprint", "--image", "img:1", "--case", "case.yaml", "--geometry", "body.stl",
                  "--params", "params.json", cwd=tmp_path, env=env)
    assert made.returncode == 0, made.stderr
    record = json.loads(made.stdout)
    assert record["solver_image"] == "unknown" and record["geometry"].startswith("sha256:")
    (tmp_path / "record.json").write_text(made.stdout)
    verified = orvane("verify", "record.json", cwd=tmp_path)
    assert verified.returncode == 0 and "verified" in verified.stdout
    (tmp_path / "record.json").write_text(json.dumps(record | {"case_yaml": "speed: 31\n"}))
    changed = orvane("verify", "record.json", cwd=tmp_path)
    assert changed.returncode == 1 and "mismatch" in changed.stdout

    assert orvane("demo", cwd=tmp_path).returncode == 0
    product = str(tmp_path / "orvane-demo" / "products" / "sedan" / "sedan.usda")
    listed = orvane("runs", "list", product, "--domain", "aero", cwd=tmp_path)
    assert listed.returncode == 0 and "run_aero_" in listed.stdout and "1, oldest first" in listed.stdout
    assert "0, oldest first" in orvane("runs", "list", product, "--solver", "other", cwd=tmp_path).stdout


def test_gates_and_releases(tmp_path):
    assert orvane("demo", cwd=tmp_path).returncode == 0
    product = str(tmp_path / "orvane-demo" / "products" / "sedan" / "sedan.usda")
    env = {"ORVANE_SOLVERS_DIR": str(tmp_path / "orvane-demo" / "solvers")}
    gates = orvane("gates", product, cwd=tmp_path, env=env)
    assert gates.returncode == 0, gates.stderr
    assert "WARN" in gates.stdout and "NOT RUN" in gates.stdout and "Drag coefficient" in gates.stdout

    frozen = orvane("release", "freeze", product, "v0.2", "--notes", "second", cwd=tmp_path)
    assert frozen.returncode == 0 and "Release v0.2 frozen" in frozen.stdout
    again = orvane("release", "freeze", product, "v0.2", cwd=tmp_path)
    assert again.returncode == 1 and "Pass force=True to overwrite" in again.stdout
    assert orvane("release", "freeze", product, "v0.2", "--force", cwd=tmp_path).returncode == 0
    listed = orvane("release", "list", product, cwd=tmp_path).stdout
    assert listed.index("v0.1") < listed.index("v0.2") and "aero 1/1 pass" in listed
    shown = orvane("release", "show", product, "v0.1", cwd=tmp_path)
    assert shown.returncode == 0 and "orvane:current:cd" in shown.stdout
    assert orvane("release", "show", product, "v9", cwd=tmp_path).returncode == 1
    diff = orvane("release", "diff", product, "v0.2", "v0.1", cwd=tmp_path)
    assert diff.returncode == 0 and "orvane:product:mass" in diff.stdout
    missing = orvane("release", "diff", product, "v0.2", "v9", cwd=tmp_path)
    assert missing.returncode == 1 and "Release 'v9' not found" in missing.stdout


def test_solver_add_list_and_doctor(tmp_path):
    env = {"ORVANE_SOLVERS_DIR": str(tmp_path / "registry"), "ORVANE_HOME": str(tmp_path / "home"),
           "PATH": f"{tmp_path}:{os.path.dirname(sys.executable)}"}  # no docker: digest unknown
    source = Path(__file__).resolve().parents[1] / "examples" / "solvers" / "sample_dynamics"
    added = orvane("solver", "add", "dyn", "--from", str(source), cwd=tmp_path, env=env)
    assert added.returncode == 0, added.stderr
    assert "orvane-samples/cornering:1.0" in added.stdout and "verified" in added.stdout
    (tmp_path / "registry" / "manual").mkdir()
    (tmp_path / "registry" / "manual" / "solver.yaml").write_text("name: by hand\n")
    listed = orvane("solver", "list", cwd=tmp_path, env=env).stdout
    assert "verified" in listed and "missing" in listed
    doctor = orvane("doctor", cwd=tmp_path, env=env)
    assert doctor.returncode == 0, doctor.stderr
    assert "CPU cores" in doctor.stdout and "dyn: pass, certificate verified" in doctor.stdout
    assert "manual: pass, certificate missing" in doctor.stdout and "(no requirements declared)" in doctor.stdout


def test_llm_chat_and_doctor_without_a_server(tmp_path):
    env = {"ORVANE_OLLAMA_URL": "http://127.0.0.1:9", "ORVANE_SOLVERS_DIR": str(tmp_path / "none")}
    chat = orvane("llm", "chat", "hello", cwd=tmp_path, env=env)
    assert chat.returncode == 1 and "Could not reach Ollama at 127.0.0.1:9" in chat.stdout
    doctor = orvane("doctor", cwd=tmp_path, env=env)
    assert doctor.returncode == 0
    assert "LLM: model" in doctor.stdout and "Ollama not reachable at 127.0.0.1:9" in doctor.stdout
