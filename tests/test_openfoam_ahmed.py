"""The openfoam_ahmed solver: its driver program run for real, with Debian's OpenFOAM.

The fast tests check the body's STL and the refusals of bad cases. The tests
marked `cfd` run OpenFOAM: one real run on the coarse mesh through `orvane run`
(minutes), a second run that changes only the flow speed and reuses its mesh,
and the ways a run fails (a broken mesh, a diverging case, a killed solver).
"""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import sysconfig
import time
from collections import Counter
from pathlib import Path

import pytest
import yaml
from pxr import Usd

import orvane_platform.core.paths as paths
from orvane_platform.runs import solver_run
from orvane_platform.setup import demo

DRIVER = str(Path(sysconfig.get_path("scripts")) / "orvane-openfoam-ahmed")
ORVANE = str(Path(sys.executable).parent / "orvane")

# The body of the wind-tunnel experiments, in metres, and its flow in m/s.
AHMED = {
    "length": 1.044,
    "width": 0.389,
    "height": 0.288,
    "front_radius": 0.1,
    "slant_angle_deg": 25.0,
    "slant_length": 0.222,
    "ground_clearance": 0.05,
    "flow_speed": 40.0,
}
PUBLISHED_CD_25 = 0.285  # Ahmed, Ramm and Faltin, SAE 840300 (1984)


def case_text(design: dict | None = None, **inputs: object) -> str:
    return yaml.safe_dump(
        {
            "product": "ahmed",
            "domain": "aero",
            "solver": "openfoam_ahmed",
            "design": AHMED | (design or {}),
            "inputs": inputs,
        },
        sort_keys=False,
    )


def drive(
    case: str, *arguments: str, env: dict[str, str] | None = None, timeout: float = 120
) -> tuple[dict, subprocess.CompletedProcess[str]]:
    done = subprocess.run(
        [DRIVER, *arguments], input=case, capture_output=True, text=True, timeout=timeout, env=os.environ | (env or {})
    )
    return json.loads(done.stdout), done


# --- the body's surface -------------------------------------------------------------


def read_stl(path: Path) -> list[tuple[tuple[float, float, float], ...]]:
    vertices = [
        tuple(float(v) for v in line.split()[1:])
        for line in path.read_text().splitlines()
        if line.strip().startswith("vertex")
    ]
    return [tuple(vertices[i : i + 3]) for i in range(0, len(vertices), 3)]


def signed_volume(triangles) -> float:
    total = 0.0
    for a, b, c in triangles:
        total += (
            a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) + a[2] * (b[0] * c[1] - b[1] * c[0])
        ) / 6
    return total


BODIES = [
    pytest.param({}, id="25deg"),
    pytest.param({"slant_angle_deg": 0.0}, id="0deg"),
    pytest.param({"slant_angle_deg": 35.0}, id="35deg"),
    pytest.param(
        {
            "length": 0.5,
            "width": 0.2,
            "height": 0.15,
            "front_radius": 0.05,
            "slant_length": 0.1,
            "slant_angle_deg": 12.5,
            "ground_clearance": 0.02,
        },
        id="small",
    ),
]


@pytest.fixture(scope="module")
def stls(tmp_path_factory: pytest.TempPathFactory) -> dict[str, tuple[dict, Path, dict]]:
    made = {}
    for body in BODIES:
        folder = tmp_path_factory.mktemp(body.id)
        answer, done = drive(case_text(body.values[0]), "--prepare", str(folder))
        assert done.returncode == 0, done.stderr
        made[body.id] = (AHMED | body.values[0], Path(answer["geometry"][0]), answer)
    return made


@pytest.mark.parametrize("body", [b.id for b in BODIES])
def test_the_stl_is_closed_and_faces_outwards(stls, body):
    design, stl, _ = stls[body]
    triangles = read_stl(stl)
    directed = Counter((a, b) for t in triangles for a, b in zip(t, t[1:] + t[:1]))
    # Every edge is met once each way: no hole, no fold, one orientation.
    assert all(count == 1 for count in directed.values())
    assert all((b, a) in directed for a, b in directed)
    # Outward normals enclose a positive volume: the box less the slant's
    # wedge and the nose's rounding (a few per cent of the box).
    box = design["length"] * design["width"] * design["height"]
    angle = math.radians(design["slant_angle_deg"])
    wedge = 0.5 * design["slant_length"] ** 2 * math.sin(angle) * math.cos(angle) * design["width"]
    assert box - wedge - 0.05 * box < signed_volume(triangles) < box - wedge


@pytest.mark.parametrize("body", [b.id for b in BODIES])
def test_the_stl_has_the_body_dimensions_in_metres_and_its_slant(stls, body):
    design, stl, _ = stls[body]
    points = {p for t in read_stl(stl) for p in t}
    xs, ys, zs = zip(*points)
    floor, roof = design["ground_clearance"], design["ground_clearance"] + design["height"]
    assert (min(xs), max(xs)) == pytest.approx((0, design["length"]))
    assert (min(ys), max(ys)) == pytest.approx((-design["width"] / 2, design["width"] / 2))
    assert (min(zs), max(zs)) == pytest.approx((floor, roof))
    angle = math.radians(design["slant_angle_deg"])
    start = design["length"] - design["slant_length"] * math.cos(angle)

    def roofline(x: float) -> float:
        return roof - max(0.0, x - start) * math.tan(angle)

    # No point above the roof or the slanted face; the base's top edge on it.
    assert all(z <= roofline(x) + 1e-7 for x, _, z in points)
    base_top = max(z for x, _, z in points if x == pytest.approx(design["length"]))
    assert base_top == pytest.approx(roof - design["slant_length"] * math.sin(angle))
    assert max(z for x, _, z in points if x == pytest.approx(start)) == pytest.approx(roof)


def test_prepare_names_the_mesh_by_its_inputs(stls, tmp_path):
    _, _, answer = stls["25deg"]
    assert answer["mesh_cache"].startswith("sha256:") and len(answer["mesh_cache"]) == 71
    assert answer["solver_version"].startswith("1912")
    # The flow does not make another mesh; the geometry or the mesh level does.
    same, _ = drive(case_text({"flow_speed": 30.0}, relaxation=0.7), "--prepare", str(tmp_path / "a"))
    finer, _ = drive(case_text(mesh_level="medium"), "--prepare", str(tmp_path / "b"))
    assert same["mesh_cache"] == answer["mesh_cache"]
    assert finer["mesh_cache"] != answer["mesh_cache"]
    assert stls["35deg"][2]["mesh_cache"] != answer["mesh_cache"]


@pytest.mark.parametrize(
    ("design", "inputs", "message"),
    [
        ({"slant_angle_deg": 90.0}, {}, "slant_angle_deg must be at least 0 and below 90, not 90"),
        ({"flow_speed": -5.0}, {}, "flow_speed must be positive, not -5.0"),
        ({"width": 0.0}, {}, "width must be a positive length, not 0"),
        ({"slant_length": 0.3, "slant_angle_deg": 80.0}, {}, "drops below the floor"),
        ({"front_radius": 0.2}, {}, "front_radius 0.2 m leaves no flat front"),
        ({}, {"mesh_level": "ultra"}, "mesh_level must be one of coarse, medium, fine, not 'ultra'"),
        ({}, {"iterations": 0}, "inputs.iterations must be a whole number from 1 to 100000, not 0"),
        ({}, {"relaxation": 2.5}, "relaxation must be above 0 and below 2, not 2.5"),
        ({}, {"cores": "many"}, "inputs.cores must be a finite number, not 'many'"),
    ],
)
def test_a_bad_case_is_an_error_result_naming_the_value(design, inputs, message, tmp_path):
    answer, done = drive(case_text(design, **inputs), env={"ORVANE_CACHE_DIR": str(tmp_path)})
    assert done.returncode == 0
    assert answer["status"] == "error"
    assert message in answer["error"]
    assert list(tmp_path.iterdir()) == []  # nothing ran


def test_a_case_without_a_design_parameter_names_it():
    case = yaml.safe_load(case_text())
    del case["design"]["slant_length"]
    answer, _ = drive(yaml.safe_dump(case))
    assert answer == {
        "status": "error",
        "error": "the case has no design parameter 'slant_length' (orvane:product:slant_length)",
    }


def test_a_case_that_is_not_the_platforms_yaml_is_refused():
    answer, _ = drive("design:\n  nested:\n    deeper: 1\n")
    assert answer["status"] == "error" and "nests deeper than its sections" in answer["error"]


# --- real OpenFOAM runs ---------------------------------------------------------------


def work_folders() -> set[Path]:
    return set(Path("/tmp").glob("orvane-openfoam-ahmed-*"))


def openfoam_processes_under(pid: int) -> list[int]:
    """Processes started (directly or not) by `pid`."""
    parents = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            parents[int(entry.name)] = int(fields[1])
    found = []
    for child in parents:
        ancestor = parents.get(child)
        while ancestor and ancestor != pid:
            ancestor = parents.get(ancestor)
        if ancestor == pid:
            found.append(child)
    return found


@pytest.fixture(scope="module")
def cfd_run(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, dict]:
    """A demo workspace after one real run of the Ahmed body (coarse, 25 degrees) through `orvane run`, saved."""
    workspace = demo.prepare_workspace(tmp_path_factory.mktemp("cfd"))["workspace"]
    environment = {k: v for k, v in os.environ.items() if not k.startswith("ORVANE_")}
    done = subprocess.run(
        [ORVANE, "run", "ahmed", "--solver", "openfoam_ahmed", "--json"],
        cwd=workspace,
        env=environment,
        capture_output=True,
        text=True,
        timeout=3000,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return workspace, json.loads(done.stdout)


def run_attributes(record: str) -> dict:
    """The attributes of the run in its record file."""
    stage = Usd.Stage.Open(record)
    (run,) = stage.GetDefaultPrim().GetChild("SimulationRuns").GetChildren()
    return {a.GetName(): a.Get() for a in run.GetAttributes()}


@pytest.mark.cfd
def test_a_real_run_through_orvane_run_converges_to_the_published_drag(cfd_run):
    workspace, summary = cfd_run
    assert summary["status"] == "success" and summary["passed"]
    assert summary["kpis"]["cd"] == pytest.approx(PUBLISHED_CD_25, rel=0.10)
    run = run_attributes(summary["run_record"])
    assert run["orvane:run:converged"]
    assert 60_000 < run["orvane:run:cells"] < 90_000
    assert run["orvane:run:mesh_reused"] is False
    assert run["orvane:run:provenance:solver_version"].startswith("1912")
    assert run["orvane:run:provenance:geometry"].startswith("sha256:")
    mesh = run["orvane:run:provenance:mesh_cache"]
    assert (workspace / ".orvane/cache/openfoam_ahmed/meshes" / mesh.removeprefix("sha256:")).is_dir()


@pytest.mark.cfd
def test_a_run_that_changes_only_the_flow_speed_reuses_the_mesh(cfd_run, monkeypatch):
    workspace, first = cfd_run
    monkeypatch.setattr(paths, "ORVANE_HOME", workspace / ".orvane")
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(workspace / "solvers"))
    # A short run is enough to see the mesh come from the cache.
    config = workspace / "solvers/openfoam_ahmed/solver.yaml"
    settings = yaml.safe_load(config.read_text())
    settings["inputs"]["iterations"]["default"] = 20
    config.write_text(yaml.safe_dump(settings))
    lines: list[str] = []
    second = solver_run.run_product(
        workspace / "products/ahmed/ahmed.usda",
        solver="openfoam_ahmed",
        parameters={"flow_speed": 30.0},
        save="none",
        progress=lambda _, text: lines.extend(text.splitlines()),
    )
    assert second["status"] == "success", second["error"]
    result = second["result"]
    before = run_attributes(first["run_record"])
    assert result["mesh_reused"] is True
    assert result["provenance"]["mesh_cache"] == before["orvane:run:provenance:mesh_cache"]
    assert result["provenance"]["geometry"] == before["orvane:run:provenance:geometry"]
    assert second["fingerprint"] != first["fingerprint"]
    assert result["mesh_seconds"] < before["orvane:run:mesh_seconds"] / 5
    # The live progress: phases, iterations with residuals.
    assert any(line.startswith("mesh: reused") for line in lines)
    assert any(line.startswith("simpleFoam: iteration 10, Cd") and "residuals Ux" in line for line in lines)
    assert [h for h in ("iteration", "cd", "cl") if len(result["history"][h]) != result["iterations"]] == []


@pytest.mark.cfd
def test_a_diverging_case_is_an_error_with_the_tools_last_words(cfd_run):
    workspace, _ = cfd_run
    before = work_folders()
    answer, done = drive(
        case_text(relaxation=1.95),
        timeout=600,
        env={"ORVANE_CACHE_DIR": str(workspace / ".orvane/cache/openfoam_ahmed")},
    )
    assert done.returncode == 0
    assert answer["status"] == "error"
    assert answer["error"].startswith("simpleFoam diverged")
    kept = Path(answer["work_dir"])
    assert kept in work_folders() - before and (kept / "log.simpleFoam").is_file()
    subprocess.run(["rm", "-rf", str(kept)], check=True)


@pytest.mark.cfd
def test_a_broken_mesh_is_an_error_with_the_tools_last_words(tmp_path):
    (tmp_path / "ahmed.stl").write_text("solid ahmed\n  facet normal 0 0 1\n    outer loop\n      vertex 0 0\n")
    answer, done = drive(
        case_text(),
        timeout=600,
        env={"ORVANE_PREPARED_DIR": str(tmp_path), "ORVANE_CACHE_DIR": str(tmp_path / "cache")},
    )
    assert done.returncode == 0
    assert answer["status"] == "error"
    # The tool's own words, not its banner (which names the FPE trap).
    assert answer["error"].startswith("surfaceFeatureExtract failed with exit status")
    assert answer["error"].endswith("Problem loading surface(s) for entry: ahmed.stl")
    kept = Path(answer["work_dir"])
    assert kept.is_dir()
    assert not (tmp_path / "cache").exists()  # a failed mesh is never cached
    subprocess.run(["rm", "-rf", str(kept)], check=True)


@pytest.mark.cfd
@pytest.mark.parametrize("target", ["solver", "driver"])
def test_a_killed_solver_is_an_error_and_leaves_no_process(cfd_run, target):
    workspace, _ = cfd_run
    process = subprocess.Popen(
        [DRIVER],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=os.environ | {"ORVANE_CACHE_DIR": str(workspace / ".orvane/cache/openfoam_ahmed")},
    )
    process.stdin.write(case_text())
    process.stdin.close()
    for line in process.stderr:
        if line.startswith("simpleFoam: iteration"):
            break
    ranks = [
        pid
        for pid in openfoam_processes_under(process.pid)
        if Path(f"/proc/{pid}/comm").read_text().strip() == "simpleFoam"
    ]
    assert ranks
    if target == "solver":
        os.kill(ranks[0], signal.SIGKILL)
    else:
        process.send_signal(signal.SIGTERM)
    answer = json.loads(process.stdout.read())
    status = process.wait(timeout=60)
    assert answer["status"] == "error"
    if target == "solver":
        assert status == 0 and answer["error"].startswith("simpleFoam ")
    else:
        assert status == 128 + signal.SIGTERM and answer["error"].startswith("stopped by signal 15")
    deadline = time.monotonic() + 10
    while (
        any(
            Path(f"/proc/{pid}").exists() and "Z" not in Path(f"/proc/{pid}/stat").read_text().split()[2]
            for pid in ranks
        )
        and time.monotonic() < deadline
    ):
        time.sleep(0.1)
    assert not [
        pid
        for pid in ranks
        if Path(f"/proc/{pid}").exists() and Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    ]
    kept = Path(answer["work_dir"])
    assert (kept / "log.simpleFoam").is_file()
    subprocess.run(["rm", "-rf", str(kept)], check=True)
