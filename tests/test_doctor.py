"""The doctor's checks: the settings, this host, each solver's verdict and certificate, the LLM."""

from __future__ import annotations

import pytest
import yaml

from orvane_platform.core import solver, solver_certs
from orvane_platform.setup import doctor
from tests.support import install_double


@pytest.fixture
def served(sample_registry, ollama, monkeypatch):
    monkeypatch.setenv("ORVANE_OLLAMA_URL", f"http://{ollama.host}")
    monkeypatch.setenv("ORVANE_LLM_MODEL", "llama3.1:8b")
    return sample_registry


@pytest.mark.parametrize(("smi", "vram_mb"), [("echo 8192; echo 4096", 12288), ("exit 9", None)])
def test_the_document_of_a_ready_set_up(served, ollama, tmp_path, monkeypatch, smi, vram_mb):
    install_double(tmp_path, monkeypatch, "nvidia-smi", smi)
    document = doctor.diagnose()
    assert list(document) == ["settings", "host", "solvers", "llm", "ok"]
    assert document["settings"]["solvers"] == {
        "variable": "ORVANE_SOLVERS_DIR",
        "value": str(served),
        "source": "environment",
    }
    assert list(document["host"]) == ["ram_mb", "vram_mb", "cpu_cores", "arch", "disk_mb"]
    assert document["host"]["vram_mb"] == vram_mb and document["host"]["cpu_cores"] >= 1
    assert [entry["alias"] for entry in document["solvers"]] == ["openfoam_ahmed", "sample_aero", "sample_dynamics"]
    for entry in document["solvers"]:
        assert entry["resources"] in ("pass", "warn") and entry["certificate"] == "missing"
        assert all(isinstance(message, str) for message in entry["messages"])
    assert document["llm"] == {
        "model": "llama3.1:8b",
        "url": f"http://{ollama.host}",
        "ready": True,
        "error": None,
        "hint": None,
    }
    assert document["ok"] is True


def test_a_missing_model_fails_with_the_hint_of_what_to_change(served, monkeypatch):
    monkeypatch.setenv("ORVANE_LLM_MODEL", "mistral:7b")
    document = doctor.diagnose()
    llm = document["llm"]
    assert llm["ready"] is False and llm["error"].startswith("Model 'mistral:7b' not found")
    assert llm["hint"].startswith("Pull the model with 'ollama pull mistral:7b'") and document["ok"] is False


def test_an_unverified_certificate_fails(served):
    solver.register_solver(
        "signed",
        served / "sample_aero",
        "img:1",
        image_digest="",
        cert=solver_certs.sign_solver_cert("signed", "img:1", ""),
    )
    verdicts = {entry["alias"]: entry["certificate"] for entry in doctor.diagnose()["solvers"]}
    assert verdicts["signed"] == "verified"
    record_file = served / "signed" / "record.yaml"
    record = yaml.safe_load(record_file.read_text())
    record_file.write_text(yaml.safe_dump(record | {"image": "img:2"}))  # an image the certificate never named
    document = doctor.diagnose()
    assert {entry["alias"]: entry["certificate"] for entry in document["solvers"]}["signed"] == "unverified"
    assert document["llm"]["ready"] is True and document["ok"] is False
