"""Design sweeps: case generation, the local and Dask engines, the run cache, interruption, the
sweep's record and a case applied to the product."""

from __future__ import annotations

import json
import math
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
import yaml
from pxr import Sdf

from orvane_platform.core import product_twin, run_records
from orvane_platform.runs import sweep
from tests.support import SAMPLE_PRODUCT, orvane, parsed

ORVANE = str(Path(sys.executable).parent / "orvane")


# --- cases --------------------------------------------------------------------------


def test_grid_is_the_full_factorial():
    cases = sweep.make_cases({"a": "1:3:3", "b": "10,20"})
    assert cases == [{"a": a, "b": b} for a in (1.0, 2.0, 3.0) for b in (10.0, 20.0)]
    assert sweep.parse_spec("0.1:0.3:3") == [0.1, 0.2, 0.3]


def test_latin_hypercube_is_stratified_bounded_and_seeded():
    cases = sweep.make_cases({"a": "0:10:2", "b": "-1,0,1"}, method="lhs", samples=20, seed=5)
    assert len(cases) == 20
    for name, (low, high) in {"a": (0, 10), "b": (-1, 1)}.items():
        values = [case[name] for case in cases]
        assert all(low <= value < high for value in values)
        assert sorted(int((value - low) / (high - low) * 20) for value in values) == list(range(20))
    assert sweep.make_cases({"a": "0:10:2"}, method="lhs", samples=20, seed=5) != cases
    assert cases == sweep.make_cases({"a": "0:10:2", "b": "-1,0,1"}, method="lhs", samples=20, seed=5)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (({"a": "1:2"},), "neither start:stop:count nor a comma list"),
        (({},), "at least one variable"),
        (({"a": "1,x"},), "variable 'a': 'x' in '1,x' is not a finite number"),
        (({"mass": "1e308:1e309:3"},), "variable 'mass': '1e309' in '1e308:1e309:3' is not a finite number"),
        (({"a": "1"}, {"method": "lhs"}), "argument 'samples' must be int"),
        (({"a": "1"}, {"method": "lhs", "samples": 0}), "samples must be from 1"),
        (({"a": "1"}, {"method": "sobol"}), "method must be 'grid' or 'lhs'"),
        (({"a": "1:2:1000", "b": "1:2:1000"},), "more than 100000 cases"),
    ],
)
def test_bad_case_specifications(arguments, message):
    variables, *keywords = arguments
    with pytest.raises((ValueError, TypeError), match=message):
        sweep.make_cases(variables, **(keywords[0] if keywords else {}))


@pytest.mark.parametrize(
    ("spec", "keywords"),
    [("-1e308:1e308:3", {}), ("1e308:-1e308:9", {}), ("-1e308,1e308", {"method": "lhs", "samples": 7, "seed": 3})],
)
def test_a_range_wider_than_a_double_holds_gives_finite_cases(spec, keywords):
    values = [case["mass"] for case in sweep.make_cases({"mass": spec}, **keywords)]
    assert all(math.isfinite(value) and -1e308 <= value <= 1e308 for value in values), values
    if not keywords:
        assert values[0] == float(spec.split(":")[0]) and values[len(values) // 2] == 0.0


DBL_MAX = sys.float_info.max
GRID: tuple[str, ...] = ()
LHS = ("--method", "lhs", "--samples", "4", "--seed", "1")


@pytest.mark.parametrize(
    ("spec", "method", "expected"),
    [
        ("-1e308:1e308:3", GRID, [-1e308, 0.0, 1e308]),
        (f"{-DBL_MAX!r}:{DBL_MAX!r}:3", GRID, [-DBL_MAX, 0.0, DBL_MAX]),
        (f"{-DBL_MAX!r}:{DBL_MAX!r}:3", LHS, None),
    ],
    ids=["grid", "grid-largest", "lhs-largest"],
)
def test_the_widest_ranges_sweep_and_draw(demo, spec, method, expected):
    product = demo / "products/sedan/sedan.usda"
    runs = len(run_records.list_runs(product))
    wide = orvane("sweep", "sedan", "--domain", "aero", "--vary", f"mass={spec}", *method, "--json", cwd=demo)
    assert wide.returncode == 0, wide.stderr
    cases = parsed(wide)["cases"]
    values = [case["values"]["mass"] for case in cases]
    assert all(math.isfinite(value) for value in values) and {case["status"] for case in cases} == {"success"}
    if expected is None:  # one case in each quarter of the range
        assert sorted(int((value / 2 + DBL_MAX / 2) / DBL_MAX * 4) for value in values) == [0, 1, 2, 3], values
    else:
        assert values == expected
    assert len(run_records.list_runs(product)) == runs + len(values)

    # Its cases are drawn, the value axis to scale with ticks that tell the values.
    drawn = orvane("plot", "sedan", "--kpi", "cd", "--against", "mass", "-o", "wide.svg", cwd=demo)
    assert drawn.returncode == 0 and drawn.stderr == "", drawn.stderr
    assert "e+308" in (demo / "wide.svg").read_text()
    reported = orvane("report", "sedan", "-o", "report.html", cwd=demo)
    assert reported.returncode == 0 and reported.stderr == "", reported.stderr
    assert "cd against mass" in (demo / "report.html").read_text()


@pytest.mark.parametrize("method", [GRID, LHS], ids=["grid", "lhs"])
@pytest.mark.parametrize(
    ("vary", "message"),
    [
        ("mass=1e308:1e309:3", r"variable 'mass': '1e309' in '1e308:1e309:3' is not a finite number"),
        (
            "roofline_slope_deg=-1e308:1e308:3",
            r"roofline_slope_deg = \S+ is (below the minimum 0|above the maximum 30)",
        ),
        ("roofline_slope_deg=10,20,1e308", r"roofline_slope_deg = (1e\+308|\S+e\+30\d) is above the maximum 30"),
    ],
    ids=["not-finite", "out-of-bounds", "last-out-of-bounds"],
)
def test_a_sweep_with_a_case_outside_the_design_bounds_runs_nothing(demo, method, vary, message):
    product = demo / "products/sedan/sedan.usda"
    runs = len(run_records.list_runs(product))
    done = orvane("sweep", "sedan", "--domain", "aero", "--vary", vary, *method, cwd=demo)
    assert done.returncode == 2 and re.search(message, done.stderr) and done.stderr.count("\n") == 1, done.stderr
    assert len(run_records.list_runs(product)) == runs


# --- running ------------------------------------------------------------------------


@pytest.fixture
def product(tmp_path, sample_registry):
    shutil.copytree(SAMPLE_PRODUCT, tmp_path / "products" / "sedan")
    return tmp_path / "products" / "sedan" / "sedan.usda"


def design_parameter(product: Path, name: str) -> float:
    layer = Sdf.Layer.OpenAsAnonymous(str(product.parent / "layers" / "design_intent.usda"))
    return layer.GetPrimAtPath("/Sedan").attributes[f"orvane:product:{name}"].default


CASES = sweep.make_cases({"roofline_slope_deg": "14:18:3", "ride_height": "0.12,0.14"})
RECORDED = ("index", "values", "status", "run_id", "fingerprint", "error", "kpis")


def product_files(product: Path, *, runs: bool = False) -> dict[str, bytes]:
    """Every file of the product by its path, but the lock and, unless `runs`, what sweeps add."""
    added = ("simulation_runs", "sweeps") if not runs else ()
    return {
        str(path.relative_to(product.parent)): path.read_bytes()
        for path in product.parent.rglob("*")
        if path.is_file() and path.name != ".orvane.lock" and path.relative_to(product.parent).parts[0] not in added
    }


def run_labels(product: Path) -> dict[str, tuple[str, int]]:
    """{run id: (sweep, case)} of the product's labelled runs."""
    return {
        run["run_id"]: (run["results"]["sweep"], run["results"]["sweep_case"])
        for listed in run_records.list_runs(product)
        for run in run_records.read_run_records(listed["layer"])
        if "sweep" in run["results"]
    }


def test_a_local_sweep_records_each_case_once_and_never_changes_the_product(product):
    before = product_files(product)
    summary = sweep.run_sweep(product, domain="aero", cases=CASES, workers=2)
    assert summary["counts"] == {"total": 6, "ran": 6, "cached": 0, "failed": 0, "not_run": 0}
    assert summary["passed"] is True and summary["resources"]["severity"] == "pass"
    runs = run_records.list_runs(product)
    assert sorted(run["run_id"] for run in runs) == sorted(case["run_id"] for case in summary["cases"])
    assert run_labels(product) == {case["run_id"]: (summary["sweep"], case["index"]) for case in summary["cases"]}
    # Each case ran with its own design; the product, its design and history included, is as it was.
    steep = next(
        case for case in summary["cases"] if case["values"] == {"roofline_slope_deg": 18.0, "ride_height": 0.14}
    )
    assert steep["kpis"]["cd"] == pytest.approx(0.259) and steep["gates"]["cd"] == "WARN"
    assert (design_parameter(product, "roofline_slope_deg"), design_parameter(product, "ride_height")) == (14.5, 0.14)
    assert product_files(product) == before and product_twin.load_product_history(product) == []
    assert len({case["fingerprint"] for case in summary["cases"]}) == 6

    # Cached cases keep pointing at the runs of the first sweep.
    again = sweep.run_sweep(product, domain="aero", cases=CASES)
    assert again["counts"]["cached"] == 6 and len(run_records.list_runs(product)) == 6
    assert again["sweep"] != summary["sweep"]
    assert [case["kpis"] for case in again["cases"]] == [case["kpis"] for case in summary["cases"]]
    assert [case["run_id"] for case in again["cases"]] == [case["run_id"] for case in summary["cases"]]

    rerun = sweep.run_sweep(product, domain="aero", cases=CASES[:2], rerun=True)
    assert rerun["counts"]["ran"] == 2 and len(run_records.list_runs(product)) == 8
    assert product_files(product) == before
    assert sorted(path.stem for path in (product.parent / "sweeps").iterdir()) == sorted(
        done["sweep"] for done in (summary, again, rerun)
    )


def test_the_sweep_record_keeps_every_case_and_stays_in_the_product(product, tmp_path):
    study = {"variables": {"roofline_slope_deg": "14:18:3"}, "method": "grid"}
    summary = sweep.run_sweep(product, domain="aero", cases=CASES[:2], study=study)
    assert re.fullmatch(r"\d{8}T\d{6}Z-[0-9a-f]{6}", summary["sweep"])
    assert summary["record"] == str(product.parent / "sweeps" / f"{summary['sweep']}.json")
    record = json.loads(Path(summary["record"]).read_text())
    assert {key: record[key] for key in ("sweep", "product", "domain", "solver", "study", "counts")} == {
        "sweep": summary["sweep"],
        "product": str(product),
        "domain": "aero",
        "solver": "sample_aero",
        "study": study,
        "counts": summary["counts"],
    }
    assert record["cases"] == [{key: case[key] for key in RECORDED} for case in summary["cases"]]
    assert record["started"] < record["finished"]

    # A sweeps folder that leads out of the product is never written through.
    shutil.rmtree(product.parent / "sweeps")
    outside = tmp_path / "outside"
    outside.mkdir()
    (product.parent / "sweeps").symlink_to(outside)
    with pytest.raises(ValueError, match="refusing to write through the symbolic link .*sweeps"):
        sweep.run_sweep(product, domain="aero", cases=CASES[:1])
    assert list(outside.iterdir()) == []


def write_picky_solver(registry: Path) -> None:
    """A solver that fails at a slope of 16, hangs at 17 and answers otherwise."""
    folder = registry / "picky"
    folder.mkdir()
    script = folder / "run.py"
    script.write_text(
        f"#!{sys.executable}\n"
        "import json, sys, time, yaml\n"
        "slope = yaml.safe_load(sys.stdin)['design']['roofline_slope_deg']\n"
        "if slope == 16: sys.exit('mesh failed at 16')\n"
        "if slope == 17: time.sleep(60)\n"
        "print(json.dumps({'status': 'success', 'cd': 0.3 - slope / 1000}))\n"
    )
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    (folder / "solver.yaml").write_text(
        yaml.safe_dump({"image": "img", "run": {"command": [str(script)], "timeout_seconds": 2}})
    )
    (folder / "kpi_spec.yaml").write_text("domain: thermal\nkpis: {cd: {}}\n")


def test_failing_and_hanging_cases_do_not_stop_the_others(product, sample_registry):
    write_picky_solver(sample_registry)
    cases = sweep.make_cases({"roofline_slope_deg": "14:18:5"})
    summary = sweep.run_sweep(product, solver="picky", cases=cases, workers=2)
    statuses = {case["values"]["roofline_slope_deg"]: case["status"] for case in summary["cases"]}
    assert statuses == {14.0: "success", 15.0: "success", 16.0: "error", 17.0: "error", 18.0: "success"}
    errors = {case["values"]["roofline_slope_deg"]: case["error"] for case in summary["cases"] if case["error"]}
    assert errors == {
        16.0: "solver 'picky' exited with status 1: mesh failed at 16",
        17.0: "solver 'picky' did not finish within 2 s",
    }
    assert summary["counts"]["failed"] == 2 and summary["passed"] is False
    assert len(run_records.list_runs(product)) == 5  # failed runs are on record too


def test_the_dask_engine_gives_what_the_local_one_gives(product):
    cases = sweep.make_cases({"roofline_slope_deg": "14:18:3"})
    local = sweep.run_sweep(product, domain="aero", cases=cases, workers=2)
    seen = []
    dask = sweep.run_sweep(
        product, domain="aero", cases=cases, engine="dask", workers=2, rerun=True, progress=seen.append
    )
    assert dask["engine"] == "dask" and dask["counts"]["ran"] == 3
    assert [(case["kpis"], case["fingerprint"]) for case in dask["cases"]] == [
        (case["kpis"], case["fingerprint"]) for case in local["cases"]
    ]
    assert seen[-1]["done"] == 3 and max(counts["running"] for counts in seen) <= 2
    assert len(run_records.list_runs(product)) == 6
    assert set(run_labels(product).values()) == {(done["sweep"], index) for done in (local, dask) for index in range(3)}


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"cases": []}, ValueError, "cases must be a non-empty list"),
        ({"cases": [{"nope": 1.0}]}, ValueError, "sedan has no design parameter 'nope'"),
        ({"cases": [{"mass": "heavy"}]}, TypeError, "design"),
        ({"cases": CASES, "engine": "slurm"}, ValueError, "engine must be 'local' or 'dask'"),
        ({"cases": CASES, "scheduler": "tcp://x:1"}, ValueError, "a scheduler address needs the dask engine"),
        ({"cases": CASES, "workers": 0}, ValueError, "workers must be from 1 to 1024"),
        ({"cases": CASES, "study": {"n": float("nan")}}, ValueError, "study must hold JSON values only"),
        ({"cases": CASES, "study": {"when": object()}}, ValueError, "study must hold JSON values only"),
    ],
)
def test_bad_sweeps_are_refused_before_anything_runs(product, arguments, error, message):
    with pytest.raises(error, match=message):
        sweep.run_sweep(product, domain="aero", **arguments)
    assert run_records.list_runs(product) == [] and not (product.parent / "sweeps").exists()


# --- the command --------------------------------------------------------------------


def wait_for_files(folder: Path, count: int) -> None:
    deadline = time.monotonic() + 60
    while len(list(folder.iterdir())) < count:
        assert time.monotonic() < deadline, f"fewer than {count} cases started"
        time.sleep(0.05)


def test_ctrl_c_stops_the_sweep_and_leaves_only_complete_records(product, sample_registry, tmp_path):
    folder = sample_registry / "slow"
    folder.mkdir()
    script = folder / "run.sh"
    # Each case marks that it started, then takes its time.
    script.write_text(
        '#!/bin/bash\ncat > /dev/null\nmktemp -p "$STARTED" > /dev/null\nsleep "$SLOWNESS"\n'
        'echo \'{"status": "success", "cd": 0.3}\'\n'
    )
    script.chmod(0o755)
    (folder / "solver.yaml").write_text(yaml.safe_dump({"image": "img", "run": {"command": [str(script)]}}))
    (folder / "kpi_spec.yaml").write_text("domain: thermal\nkpis: {cd: {}}\n")
    command = [
        ORVANE,
        "sweep",
        str(product),
        "--solver",
        "slow",
        "--vary",
        "roofline_slope_deg=10:20:8",
        "--workers",
        "2",
        "--json",
    ]

    def start(started: Path, slowness: str, *extra: str) -> subprocess.Popen[str]:
        started.mkdir()
        env = os.environ | {
            "ORVANE_SOLVERS_DIR": str(sample_registry),
            "HOME": str(tmp_path),
            "STARTED": str(started),
            "SLOWNESS": slowness,
        }
        return subprocess.Popen([*command, *extra], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    # One Ctrl-C while two cases run: they finish and are recorded, nothing else starts.
    sweeping = start(tmp_path / "first", "1")
    wait_for_files(tmp_path / "first", 2)
    sweeping.send_signal(signal.SIGINT)
    out, err = sweeping.communicate(timeout=60)
    assert sweeping.returncode == 1 and "Traceback" not in err, err
    summary = json.loads(out)
    statuses = [case["status"] for case in summary["cases"]]
    assert summary["interrupted"] is True and statuses.count("success") == 2 and statuses.count("not run") == 6
    record = json.loads(Path(summary["record"]).read_text())
    assert record["interrupted"] is True and [case["status"] for case in record["cases"]] == statuses
    runs = run_records.list_runs(product)
    assert len(runs) == 2 and all(Sdf.Layer.OpenAsAnonymous(run["layer"]) for run in runs)
    assert not list(product.parent.rglob("*.tmp"))

    # A second Ctrl-C stops the running cases too: they are on record as interrupted.
    sweeping = start(tmp_path / "second", "60", "--rerun")
    wait_for_files(tmp_path / "second", 2)
    sweeping.send_signal(signal.SIGINT)
    time.sleep(1)  # two signals too close together arrive as one
    sweeping.send_signal(signal.SIGINT)
    out, err = sweeping.communicate(timeout=60)
    statuses = [case["status"] for case in json.loads(out)["cases"]]
    assert statuses.count("interrupted") == 2 and statuses.count("not run") == 6, err
    assert len(run_records.list_runs(product)) == 4


def test_the_sweep_command(tmp_path):
    subprocess.run(
        [ORVANE, "demo"], cwd=tmp_path, capture_output=True, check=True, env=os.environ | {"HOME": str(tmp_path)}
    )
    workspace = tmp_path / "orvane-demo"

    def sweep_command(*arguments: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [ORVANE, "sweep", "sedan", "--domain", "aero", *arguments],
            cwd=workspace,
            capture_output=True,
            text=True,
            timeout=120,
            env=os.environ | {"HOME": str(tmp_path)},
        )

    shown = sweep_command("--vary", "roofline_slope_deg=16:18:3", "--vary", "ride_height=0.14", "--sort", "cd")
    assert shown.returncode == 0, shown.stderr
    lines = [line for line in shown.stdout.splitlines() if "│" in line and ("success" in line or "cached" in line)]
    assert [line.split("│")[2].strip() for line in lines] == ["18", "17", "16"]  # lowest drag first
    assert "3 cases: 2 ran, 1 cached, 0 failed" in shown.stdout  # the demo ran 18° already
    [named] = re.findall(r"orvane sweep apply (\S+) --case N", shown.stdout)
    assert (workspace / "products" / "sedan" / "sweeps" / f"{named}.json").is_file()
    summary = json.loads(
        sweep_command(
            "--vary",
            "roofline_slope_deg=14:18:3",
            "--method",
            "lhs",
            "--samples",
            "3",
            "--seed",
            "1",
            "--json",
        ).stdout
    )
    assert len(summary["cases"]) == 3 and summary["counts"]["failed"] == 0
    assert summary["sweep"] != named
    bad = sweep_command("--vary", "roofline_slope_deg")
    assert (
        bad.returncode == 2 and bad.stderr == "orvane: error: argument --vary: 'roofline_slope_deg' is not KEY=SPEC\n"
    )


def test_a_sweeps_cases_are_searchable_and_drawn_by_their_design_values(product, tmp_path):
    from orvane_platform.runs import index
    from orvane_platform.views import charts, report

    summary = sweep.run_sweep(product, domain="aero", cases=CASES, workers=2)
    steep = index.product_runs(product)
    assert sorted(run["parameters"]["roofline_slope_deg"] for run in steep) == [14.0, 14.0, 16.0, 16.0, 18.0, 18.0]
    assert all(run["parameters"]["iterations"] == 500 for run in steep)  # solver inputs keep their place

    chart = charts.design_chart(product, "cd", "ride_height", tmp_path / "cd.svg")
    assert chart["points"] == len(summary["cases"])
    drawing = (tmp_path / "cd.svg").read_text()
    assert 'id="cd:runs"' in drawing and "ride_height" in drawing
    with pytest.raises(ValueError, match="no successful run .* has both the KPI 'cd' and the parameter 'wingspan'"):
        charts.design_chart(product, "cd", "wingspan", tmp_path / "wingspan.svg")
    assert not (tmp_path / "wingspan.svg").exists()

    written = report.write_report(product, tmp_path / "report.html")
    assert ("cd", "roofline_slope_deg") in [tuple(pair) for pair in written["design_studies"]]
    page = (tmp_path / "report.html").read_text()
    assert 'id="studies"' in page and "cd against ride_height" in page


# --- applying a case ----------------------------------------------------------------


@pytest.fixture
def swept(product):
    """The sedan swept over CASES by the command, which leaves the product as it was; the summary."""
    before = product_files(product)
    done = orvane(
        "sweep", "run", "sedan", "--domain", "aero", "--vary", "roofline_slope_deg=14:18:3",
        "--vary", "ride_height=0.12,0.14", "--json", cwd=product.parents[2],
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert product_files(product) == before
    return parsed(done)


@pytest.mark.parametrize(
    ("selection", "chosen"),
    [
        (("--best", "cd"), 4),  # cd is minimised: the lowest
        (("--best", "cd", "--max"), 1),
        (("--best", "cl", "--min"), 0),  # the first of equals
        (("--case", "3"), 3),
    ],
)
def test_apply_makes_the_product_the_chosen_case(product, swept, selection, chosen):
    workspace = product.parents[2]
    history = product_twin.load_product_history(product)
    case = swept["cases"][chosen]
    applied = parsed(orvane("sweep", "apply", swept["sweep"], *selection, "--json", cwd=workspace))
    assert (applied["case"], applied["run_id"], applied["kpis"]) == (chosen, case["run_id"], case["kpis"])
    was = {"roofline_slope_deg": 14.5, "ride_height": 0.14}
    assert applied["design"] == {
        name: {"old": was[name], "new": value} for name, value in case["values"].items() if value != was[name]
    }
    shown = parsed(orvane("product", "show", "sedan", "--json", cwd=workspace))
    assert {name: shown[name] for name in case["values"]} == case["values"] and shown["cd"] == case["kpis"]["cd"]
    gates = parsed(orvane("gates", "sedan", "--json", cwd=workspace))
    assert next(gate["value"] for gate in gates["gates"] if gate["kpi"] == "cd") == case["kpis"]["cd"]
    # One new history entry, of the case's run; a run now plans as the case's run did.
    after = product_twin.load_product_history(product)
    assert after[:-1] == history and after[-1]["run"] == case["fingerprint"][7:19]
    again = parsed(orvane("run", "sedan", "--domain", "aero", "--json", cwd=workspace))
    assert again["fingerprint"] == case["fingerprint"]


def delete_run(product: Path, run_id: str) -> None:
    [layer] = [run["layer"] for run in run_records.list_runs(product) if run["run_id"] == run_id]
    Path(layer).unlink()


def change_case(product: Path, run_id: str) -> None:
    [layer] = [run["layer"] for run in run_records.list_runs(product) if run["run_id"] == run_id]
    record = Sdf.Layer.FindOrOpen(layer)
    case = record.GetPrimAtPath(f"/Sedan/SimulationRuns/{run_id}").attributes["orvane:run:provenance:case_yaml"]
    case.default = case.default.replace("roofline_slope_deg: 16.0", "roofline_slope_deg: 15.0")
    record.Save()


def rename_body_style(product: Path, run_id: str) -> None:
    layer = Sdf.Layer.FindOrOpen(str(product.parent / "layers" / "design_intent.usda"))
    layer.GetPrimAtPath("/Sedan").attributes["body_style"].default = "fastback"
    layer.Save()


def leave_alone(product: Path, run_id: str) -> None:
    pass


@pytest.mark.parametrize(
    ("spoil", "arguments", "message"),
    [
        (leave_alone, ("nosuch", "--case", "0"), r"no sweep 'nosuch' in .*products"),
        (leave_alone, ("../sedan", "--case", "0"), r"no sweep '\.\./sedan'"),
        (leave_alone, ("{sweep}", "--case", "6"), r"sweep '.*' has no case 6: its cases are 0 to 5"),
        (leave_alone, ("{sweep}", "--best", "lateral_g"), r"no successful case of sweep '.*' has the KPI 'lateral_g'"),
        (leave_alone, ("{sweep}", "--best", "cl"), r"'cl' of domain 'aero' is neither minimised nor maximised"),
        (leave_alone, ("{sweep}", "--case", "2", "--max"), "lowest goes with best"),
        (delete_run, ("{sweep}", "--case", "2"), r"the run 'run_aero_\w+' is gone"),
        (change_case, ("{sweep}", "--case", "2"), r"the fingerprint of run 'run_aero_\w+' no longer verifies"),
        (rename_body_style, ("{sweep}", "--case", "2"), "'body_style' .* is 'notchback'.*: only numbers are applied"),
    ],
)
def test_apply_refuses_what_it_cannot_apply_and_writes_nothing(product, swept, spoil, arguments, message):
    spoil(product, swept["cases"][2]["run_id"])
    before = product_files(product, runs=True)
    arguments = [argument.format(sweep=swept["sweep"]) for argument in arguments]
    refused = orvane("sweep", "apply", *arguments, cwd=product.parents[2])
    assert refused.returncode == 2 and refused.stdout == "" and refused.stderr.count("\n") == 1
    assert refused.stderr.startswith("orvane: error: ") and re.search(message, refused.stderr), refused.stderr
    assert product_files(product, runs=True) == before


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({}, ValueError, "give either a case or the KPI of the best case"),
        ({"case": 0, "best": "cd"}, ValueError, "give either a case or the KPI of the best case"),
        ({"case": -1}, ValueError, "case must be 0 or more"),
        ({"case": True}, TypeError, "argument 'case' must be int or None"),
        ({"best": "cd", "lowest": "yes"}, TypeError, "argument 'lowest' must be bool or None"),
    ],
)
def test_apply_case_names_a_bad_argument(arguments, error, message):
    with pytest.raises(error, match=message):
        sweep.apply_case("20260419T051010Z-3fa9c1", **arguments)
