"""The hardware probe, the resource gate and override filtering."""

from __future__ import annotations

import dataclasses
import os

import pytest

from orvane_platform.core import capacity_gate
from orvane_platform.core.capacity_gate import (
    GateResult,
    HardwareProbe,
    SolverRequirements,
    _check_resource,
    _parse_meminfo,
    filter_overrides,
    gate_solver_resources,
)
from tests.support import install_double, logged_calls

# --- the probe ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "megabytes"),
    [
        ("MemTotal: 4096000 kB\nMemAvailable:    2048000 kB\n", 2000),
        ("MemAvailable: 1023 kB", 0),
        ("MemTotal: 1 kB\n", None),
        ("", None),
        ("MemAvailable: 10240 kB\nMemAvailable: 20480 kB", 10),
    ],
)
def test_parse_meminfo(text, megabytes):
    assert _parse_meminfo(text) == megabytes


@pytest.mark.parametrize("line", ["MemAvailable:", "MemAvailable: lots kB"])
def test_parse_meminfo_malformed_line_raises(line):
    with pytest.raises((IndexError, ValueError)):
        _parse_meminfo(line)


@pytest.mark.parametrize(
    ("body", "vram"),
    [
        ("printf '8000\\n12000\\n'", 20000),
        ("printf '8000\\n[N/A]\\n 100 \\n'", 8100),
        ("echo", 0),
        ("exit 9", None),
        ("printf 'abc'", 0),
    ],
)
def test_probe_vram(tmp_path, monkeypatch, body, vram):
    log = install_double(tmp_path, monkeypatch, "nvidia-smi", body)
    assert capacity_gate._probe_vram() == vram
    assert logged_calls(log) == [["--query-gpu=memory.free", "--format=csv,noheader,nounits"]]


def test_probe_vram_without_nvidia_smi(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert capacity_gate._probe_vram() is None


@pytest.mark.parametrize(("tool", "probe"), [("nvidia-smi", "_probe_vram"), ("sysctl", "_ram_from_sysctl")])
def test_probes_of_a_hanging_tool_give_up(tmp_path, monkeypatch, tool, probe):
    install_double(tmp_path, monkeypatch, tool, "sleep 10")
    monkeypatch.setattr(capacity_gate, "_PROBE_TIMEOUT_SECONDS", 0.3)
    assert getattr(capacity_gate, probe)() is None


@pytest.mark.parametrize(
    ("body", "ram"),
    [("echo 17179869184", 16384), ("echo 0", None), ("echo many", None), ("echo 1048575; exit 1", 0)],
)
def test_ram_from_sysctl(tmp_path, monkeypatch, body, ram):
    log = install_double(tmp_path, monkeypatch, "sysctl", body)
    assert capacity_gate._ram_from_sysctl() == ram
    assert logged_calls(log) == [["-n", "hw.memsize"]]


def test_ram_from_sysctl_without_the_tool(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert capacity_gate._ram_from_sysctl() is None


class FakePlatform:
    def __init__(self, system="Linux", machine="x86_64"):
        self._system, self._machine = system, machine

    def system(self):
        return self._system

    def machine(self):
        return self._machine


@pytest.mark.parametrize(
    ("machine", "arch"),
    [
        ("x86_64", "amd64"),
        ("AMD64", "amd64"),
        ("aarch64", "arm64"),
        ("arm64", "arm64"),
        ("riscv64", "riscv64"),
        ("", ""),
    ],
)
def test_probe_arch(monkeypatch, machine, arch):
    monkeypatch.setattr(capacity_gate, "_platform", FakePlatform(machine=machine))
    assert capacity_gate._probe_arch() == arch


def test_probe_ram(monkeypatch):
    assert capacity_gate._probe_ram() > 0  # this Linux host
    monkeypatch.setattr(capacity_gate, "_platform", FakePlatform(system="Plan9"))
    assert capacity_gate._probe_ram() == 0
    monkeypatch.setattr(capacity_gate, "_platform", FakePlatform(system="Linux"))
    monkeypatch.setattr(capacity_gate, "_parse_meminfo", lambda text: 1 / 0)
    assert capacity_gate._probe_ram() == 0


def test_probe_disk(tmp_path, monkeypatch):
    assert capacity_gate._probe_disk(tmp_path) > 0
    assert capacity_gate._probe_disk(str(tmp_path / "missing")) == 0
    monkeypatch.setenv("ORVANE_WORKSPACE", str(tmp_path / "missing"))
    assert capacity_gate._probe_disk() == 0
    with pytest.raises(TypeError, match="argument 'workspace'"):
        capacity_gate._probe_disk(3)


def test_hardware_probe(monkeypatch, tmp_path):
    calls = []
    for name, value in [("_probe_ram", 1000), ("_probe_vram", None), ("_probe_arch", "arm64")]:
        monkeypatch.setattr(capacity_gate, name, lambda name=name, value=value: calls.append(name) or value)
    monkeypatch.setattr(capacity_gate, "_probe_disk", lambda workspace: calls.append(workspace) or 5)
    monkeypatch.setattr(os, "cpu_count", lambda: None)
    snapshot = HardwareProbe.probe(tmp_path)
    assert snapshot == HardwareProbe(ram_mb=1000, vram_mb=None, cpu_cores=1, arch="arm64", disk_mb=5)
    assert calls == ["_probe_ram", "_probe_vram", "_probe_arch", tmp_path]


def test_dataclasses():
    assert [f.name for f in dataclasses.fields(HardwareProbe)] == ["ram_mb", "vram_mb", "cpu_cores", "arch", "disk_mb"]
    assert HardwareProbe.__doc__ == "Snapshot of host hardware resources at probe time."
    assert GateResult.__doc__ == "Outcome of a resource pre-flight check."
    assert [f.name for f in dataclasses.fields(GateResult)] == ["solver", "passed", "severity", "messages"]
    assert SolverRequirements() == SolverRequirements(None, None, None, None, False)
    assert dataclasses.asdict(GateResult("s", True, "pass", [])) == {
        "solver": "s",
        "passed": True,
        "severity": "pass",
        "messages": [],
    }
    assert repr(HardwareProbe(1, None, 2, "amd64", 3)).startswith("HardwareProbe(ram_mb=1, vram_mb=None")
    with pytest.raises(TypeError):
        HardwareProbe(1, 2)
    assert capacity_gate._MARGINAL_THRESHOLD == 0.9


# --- requirements and the gate ------------------------------------------------------


@pytest.mark.parametrize(
    ("available", "required", "verdict"),
    [
        (16000, 16000, ("pass", "")),
        (14400, 16000, ("warn", "  RAM: 14400 MB available, 16000 MB recommended — marginal")),
        (14399, 16000, ("warn", "  RAM: 14399 MB available, 16000 MB recommended — may be slow or OOM")),
        (0, 512, ("warn", "  RAM: 0 MB available, 512 MB recommended — may be slow or OOM")),
        (None, 8000, ("warn", "  RAM: cannot probe — 8000+ MB needed")),
        (-1, 8000, ("warn", "  RAM: cannot probe — 8000+ MB needed")),
        (5, None, ("pass", "")),
        (None, None, ("pass", "")),
    ],
)
def test_check_resource(available, required, verdict):
    assert _check_resource("RAM", available, required) == verdict


def test_check_resource_unit_and_types():
    assert _check_resource("Disk", 1, 2, "GB") == (
        "warn",
        "  Disk: 1 GB available, 2 GB recommended — may be slow or OOM",
    )
    with pytest.raises(TypeError):
        _check_resource("RAM", 100, "16000")


def snapshot(**changes):
    return HardwareProbe(
        **({"ram_mb": 32000, "vram_mb": None, "cpu_cores": 8, "arch": "amd64", "disk_mb": 100000} | changes)
    )


@pytest.fixture
def requirements(tmp_path, monkeypatch):
    def declare(requirements):
        folder = tmp_path / "registry" / "s"
        folder.mkdir(parents=True, exist_ok=True)
        import yaml

        (folder / "solver.yaml").write_text(yaml.safe_dump({"compute": {"requirements": requirements}}))
        monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(tmp_path / "registry"))

    return declare


@pytest.mark.parametrize(
    ("declared", "hardware", "severity", "messages"),
    [
        ({"min_ram_mb": 16000}, {}, "pass", []),
        (
            {"min_ram_mb": 16000},
            {"ram_mb": 14400},
            "warn",
            ["  RAM: 14400 MB available, 16000 MB recommended — marginal"],
        ),
        ({"min_vram_mb": 8000, "gpu_required": True}, {}, "warn", ["  GPU: required but none detected"]),
        ({"min_vram_mb": 8000}, {}, "warn", ["  VRAM: cannot probe — 8000+ MB needed"]),
        (
            {"min_vram_mb": 8000, "gpu_required": True},
            {"vram_mb": 4000},
            "warn",
            ["  VRAM: 4000 MB available, 8000 MB recommended — may be slow or OOM"],
        ),
        ({"gpu_required": True}, {}, "warn", ["  GPU: required but none detected"]),
        (
            {"gpu_required": True, "min_ram_mb": 16000},
            {"ram_mb": 15000},
            "warn",
            ["  RAM: 15000 MB available, 16000 MB recommended — marginal"],
        ),
        ({"arch": ["arm64"]}, {}, "warn", ["  Architecture: amd64 not in ['arm64'] — may be incompatible"]),
        ({"arch": ["amd64", "arm64"]}, {}, "pass", []),
        (
            {"min_disk_mb": 10},
            {"disk_mb": 0},
            "warn",
            ["  Disk: 0 MB available, 10 MB recommended — may be slow or OOM"],
        ),
        (
            {"min_ram_mb": 64000, "min_disk_mb": 200000, "arch": ["arm64"], "gpu_required": True},
            {},
            "warn",
            [
                "  RAM: 32000 MB available, 64000 MB recommended — may be slow or OOM",
                "  Disk: 100000 MB available, 200000 MB recommended — may be slow or OOM",
                "  Architecture: amd64 not in ['arm64'] — may be incompatible",
            ],
        ),
    ],
)
def test_gate(requirements, declared, hardware, severity, messages):
    requirements(declared)
    result = gate_solver_resources("s", hw=snapshot(**hardware))
    assert result == GateResult(solver="s", passed=True, severity=severity, messages=messages)


@pytest.mark.parametrize("declared", [{}, None])
def test_nothing_declared(requirements, declared, monkeypatch):
    requirements(declared)
    monkeypatch.setattr(HardwareProbe, "probe", classmethod(lambda cls, workspace=None: 1 / 0))
    expected = GateResult("s", True, "pass", ["  (no requirements declared)"])
    assert gate_solver_resources("s") == expected
    assert gate_solver_resources("unknown") == GateResult("unknown", True, "pass", ["  (no requirements declared)"])


def test_gate_probes_when_no_snapshot_is_given(requirements, monkeypatch, tmp_path):
    requirements({"min_ram_mb": 1})
    seen = []
    monkeypatch.setattr(
        HardwareProbe, "probe", classmethod(lambda cls, workspace=None: seen.append(workspace) or snapshot())
    )
    assert gate_solver_resources("s", tmp_path).severity == "pass"
    assert seen == [tmp_path]


def test_requirement_of_the_wrong_type_raises(requirements):
    requirements({"min_ram_mb": "lots"})
    with pytest.raises(TypeError):
        gate_solver_resources("s", hw=snapshot())


def test_requirements_from_solver(sample_registry):
    assert SolverRequirements.from_solver("sample_dynamics") == SolverRequirements(
        min_ram_mb=256, min_vram_mb=None, min_disk_mb=50, arch=None, gpu_required=False
    )
    assert SolverRequirements.from_solver("nope") is None


# --- filtering overrides ------------------------------------------------------------


def test_filter_overrides(sample_registry):
    case = "# case\nspeed_kmh: 120\nmesh_resolution: 3   # ours\nnested:\n  mesh_resolution: 1\n"
    text, warnings = filter_overrides("sample_aero", case)
    assert text == "speed_kmh: 120\nnested:\n  mesh_resolution: 1\n"
    assert warnings == ["stripped rejected param 'mesh_resolution' from case.yaml (solver owns it)"]


@pytest.mark.parametrize(
    ("solver", "case"),
    [
        ("sample_aero", "# kept as it is\nspeed_kmh: 120   # with comments\n"),
        ("sample_aero", "mesh_resolution: [unclosed\n"),
        ("sample_aero", "- a list\n"),
        ("sample_dynamics", "mesh_resolution: 3\n"),
        ("unknown", "mesh_resolution: 3\n"),
    ],
)
def test_filter_overrides_leaves_the_text_alone(sample_registry, solver, case):
    assert filter_overrides(solver, case) == (case, [])
