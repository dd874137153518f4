"""The installed `orvane` command, run as a user runs it: real processes in a demo workspace."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from pxr import Sdf

from tests.support import FAKE_CFD, ORVANE, make_product, orvane, parsed, tool_call

PRODUCT = Path("products/sedan/sedan.usda")


def history_length(workspace: Path) -> int:
    layer = Sdf.Layer.OpenAsAnonymous(str(workspace / "products/sedan/layers/prototype.usda"))
    return len(layer.GetPrimAtPath("/Sedan").attributes.get("resultsHistory").default)


def run_count(workspace: Path) -> int:
    return len(list((workspace / "products/sedan/simulation_runs").glob("*/*/result.usda")))


# --- the walk-through and the workspace ---------------------------------------------


def test_demo_walks_through_the_platform(pristine_demo):
    from orvane_platform.core import product_twin, releases, run_records
    from orvane_platform.core.product import Product

    shown = orvane("demo", "--dir", str(pristine_demo.parent / "again"), cwd=pristine_demo.parent)
    assert shown.returncode == 0, shown.stderr
    assert "Step 10/10" in shown.stdout and "cd=0.2677" in shown.stdout and "cd=0.2590" in shown.stdout
    assert "0 passed, 1 failed, 2 not run (3 total)" in shown.stdout  # the first design misses cd_max
    assert "3 passed, 0 failed, 2 not run (5 total)" in shown.stdout  # the second passes, with derived targets
    product_path = pristine_demo / PRODUCT
    product = Product(product_path)
    history = [r["raw"] for r in product_twin.load_product_history(product_path)]
    assert len(history) == 2 and all("|domain=aero|" in entry for entry in history)
    runs = run_records.list_runs(product_path)
    assert len(runs) == 2 and all(run["fingerprint"].startswith("sha256:") for run in runs)
    # One run, one record, one history entry: each entry names its run.
    assert [entry.rsplit("run=", 1)[1][:12] for entry in history] == [run["fingerprint"][7:19] for run in runs]
    assert product.targets["cl_nominal"] == pytest.approx(0.014)  # filled from the run
    layer = Sdf.Layer.OpenAsAnonymous(str(product_path.parent / "layers" / "prototype.usda"))
    assert len(layer.GetPrimAtPath("/Sedan").attributes.get("orvane:baseline:history").default) == 2
    assert [r["version"] for r in releases.list_releases(product_path)] == ["v0.1", "v0.2"]
    assert releases.diff_releases(product_path, "v0.2", "v0.1")["orvane:product:roofline_slope_deg"] == (
        18.0,
        14.5,
        3.5,
    )
    assert product.specs["orvane_provenance_fingerprint"] == runs[-1]["fingerprint"]
    assert shown.stdout.count("(verified)") == 2
    assert "products: products" in (pristine_demo / "orvane.yaml").read_text()

    # Running it again starts from a fresh copy.
    (pristine_demo.parent / "again" / "products/sedan/layers/prototype.usda").write_text("broken")
    again = orvane("demo", "--dir", "again", cwd=pristine_demo.parent)
    assert again.returncode == 0, again.stderr


def test_demo_refuses_a_folder_it_did_not_make(tmp_path):
    (tmp_path / "work").mkdir()
    (tmp_path / "work" / "thesis.txt").write_text("keep me")
    refused = orvane("demo", "--dir", "work", cwd=tmp_path)
    assert refused.returncode == 2
    assert "was not made by the demo" in refused.stderr
    assert os.listdir(tmp_path / "work") == ["thesis.txt"]


def test_commands_inside_the_workspace_see_its_settings(demo, tmp_path):
    deep = demo / "products" / "sedan" / "layers"
    listed = parsed(orvane("solver", "list", "--json", cwd=deep))
    assert {row["alias"] for row in listed} == {"openfoam_ahmed", "sample_aero", "sample_dynamics"}
    gates = parsed(orvane("gates", "sedan", "--json", cwd=deep))
    assert gates["gates"][0]["description"] == "Drag coefficient"

    doctor = parsed(orvane("doctor", "--json", cwd=deep, env={"ORVANE_OLLAMA_URL": "http://127.0.0.1:9"}))
    settings = doctor["settings"]
    assert settings["solvers"] == {"value": str(demo / "solvers"), "source": "file", "variable": "ORVANE_SOLVERS_DIR"}
    assert settings["llm_model"]["source"] == "default" and settings["llm_model"]["value"] == "llama3.1:8b"
    overridden = parsed(
        orvane(
            "doctor",
            "--json",
            cwd=deep,
            env={"ORVANE_SOLVERS_DIR": str(tmp_path / "elsewhere"), "ORVANE_OLLAMA_URL": "http://127.0.0.1:9"},
        )
    )
    assert overridden["settings"]["solvers"]["source"] == "environment" and overridden["solvers"] == []

    # Outside any workspace the registry is the home folder's, and an empty one says how to fill it.
    outside = orvane("solver", "list", cwd=tmp_path)
    assert outside.returncode == 0 and "orvane solver add" in outside.stdout


def test_a_product_is_named_by_file_folder_or_name(demo):
    shown = [
        parsed(orvane("product", "show", argument, "--json", cwd=demo))
        for argument in ("products/sedan/sedan.usda", "products/sedan", "sedan")
    ]
    assert shown[0] == shown[1] == shown[2] and shown[0]["mass"] == 2050
    layers = orvane("product", "show", "products/sedan/layers", cwd=demo)
    assert layers.returncode == 2 and "is a folder without a product's root file" in layers.stderr


# --- running ------------------------------------------------------------------------


def test_run_records_saves_and_gates_once(demo):
    runs, entries = run_count(demo), history_length(demo)
    summary = parsed(orvane("run", "products/sedan", "--domain", "aero", "--json", cwd=demo))
    assert summary["status"] == "success" and summary["passed"] is True
    assert (run_count(demo), history_length(demo)) == (runs + 1, entries + 1)
    assert Path(demo / summary["run_record"]).is_file() and summary["saved"] == "prototype"
    assert {gate["kpi"]: gate["status"] for gate in summary["gates"]["gates"]}["cd"] == "WARN"
    assert summary["error"] is None and summary["kpis"]["cd"] == pytest.approx(0.259)

    unsaved = parsed(orvane("run", "sedan", "--solver", "sample_aero", "--save", "none", "--json", cwd=demo))
    assert (run_count(demo), history_length(demo)) == (runs + 2, entries + 1) and unsaved["saved"] is None


def test_set_changes_the_fingerprint_and_a_target_does_not(demo):
    def fingerprint(*extra: str) -> str:
        return parsed(orvane("run", "sedan", "--domain", "aero", "--save", "none", "--json", *extra, cwd=demo))[
            "fingerprint"
        ]

    first = fingerprint()
    assert fingerprint() == first  # the same inputs, the same fingerprint
    changed = orvane("product", "set", "sedan", "cd_max=0.3", cwd=demo)
    assert changed.returncode == 2 and "sedan has no design parameter 'cd_max'" in changed.stderr
    layer = Sdf.Layer.FindOrOpen(str(demo / "products/sedan/layers/design_intent.usda"))
    layer.GetPrimAtPath("/Sedan").attributes["orvane:target:cd_max"].default = 0.3
    layer.Save()
    assert fingerprint() == first  # a target is not an input of the solver

    steeper = parsed(orvane("run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=20", "--json", cwd=demo))
    assert steeper["parameters_set"] == {"roofline_slope_deg": [18.0, 20.0]}
    assert steeper["fingerprint"] != first
    set_ = parsed(orvane("product", "set", "sedan", "roofline_slope_deg=18", "--json", cwd=demo))
    assert set_ == {"roofline_slope_deg": {"old": 20.0, "new": 18.0}} and fingerprint() == first


def test_exit_statuses(demo):
    assert orvane("run", "sedan", "--domain", "aero", cwd=demo).returncode == 0
    failing_gate = orvane("run", "sedan", "--domain", "aero", "--set", "roofline_slope_deg=14.5", cwd=demo)
    assert failing_gate.returncode == 1 and "FAIL" in failing_gate.stdout
    assert orvane("gates", "sedan", cwd=demo).returncode == 1
    missing = orvane("run", "nosuch", "--domain", "aero", cwd=demo)
    assert missing.returncode == 2 and missing.stdout == ""
    assert missing.stderr.startswith("orvane: error: argument PRODUCT: no product 'nosuch'")
    assert missing.stderr.count("\n") == 1

    broken = demo / "solvers" / "broken"
    broken.mkdir()
    (broken / "solver.yaml").write_text('name: Broken\nrun:\n  command: ["false"]\n')
    (broken / "kpi_spec.yaml").write_text("domain: aero\nkpis:\n  cd: {}\n")
    failed_run = parsed(orvane("run", "sedan", "--solver", "broken", "--json", cwd=demo))
    assert failed_run == failed_run | {"status": "error", "passed": False, "run_gates": None, "saved": None}
    assert failed_run["gates"]["summary"] == parsed(orvane("gates", "sedan", "--json", cwd=demo))["summary"]
    assert failed_run["run_id"]  # a failed run is recorded too
    assert orvane("run", "sedan", "--solver", "broken", cwd=demo).returncode == 1
    both = orvane("run", "sedan", "--domain", "aero", "--solver", "broken", cwd=demo)
    assert both.returncode == 2 and "not allowed with argument" in both.stderr


@pytest.mark.parametrize(
    "arguments",
    [
        ("solver", "list"),
        ("product", "show", "sedan"),
        ("product", "history", "sedan"),
        ("product", "clean", "sedan", "--dry-run"),
        ("product", "diff", "sedan", "sedan", "--attrs", "mass"),
        ("product", "benchmark", "sedan", "rival_a"),
        ("runs", "list", "sedan"),
        ("gates", "sedan"),
        ("release", "list", "sedan"),
        ("release", "show", "sedan", "v0.1"),
        ("release", "diff", "sedan", "v0.2", "v0.1"),
        ("release", "freeze", "sedan", "v0.9"),
        ("runs", "search", "kpi.cd > 0"),
        ("index", "rebuild"),
        ("doctor",),
        ("llm", "chat", "hi"),
    ],
)
def test_every_json_output_is_one_document(demo, arguments):
    result = orvane(*arguments, "--json", cwd=demo, env={"ORVANE_OLLAMA_URL": "http://127.0.0.1:9"})
    assert result.returncode in (0, 1), result.stderr
    document = json.loads(result.stdout)  # nothing else on standard output
    assert "NaN" not in result.stdout and "None" not in result.stdout
    if arguments[0] == "product" and arguments[1] == "history":
        assert all(isinstance(record["cd"], float) for record in document)


def test_runs_show_and_piped_tables_never_fold(demo):
    runs = parsed(orvane("runs", "list", "sedan", "--json", cwd=demo))
    listed = orvane("runs", "list", "sedan", cwd=demo, env={"COLUMNS": "40"})
    for run in runs:
        assert any(run["fingerprint"] in line and run["run_id"] in line for line in listed.stdout.splitlines())
    shown = parsed(orvane("runs", "show", runs[0]["run_id"], "--json", cwd=demo))
    assert {key: shown[key] for key in ("run_id", "layer", "fingerprint", "kpis")} == {
        key: runs[0][key] for key in ("run_id", "layer", "fingerprint", "kpis")
    }
    missing = orvane("runs", "show", "run_x", cwd=demo)
    assert missing.returncode == 2 and "no run 'run_x'" in missing.stderr


def test_runs_search_show_and_diff(demo):
    found = parsed(
        orvane("runs", "search", "solver = 'sample_aero'", "--order-by", "timestamp", "--desc", "--json", cwd=demo)
    )
    times = [run["timestamp"] for run in found]
    assert len(found) >= 2 and times == sorted(times, reverse=True)
    assert len(parsed(orvane("runs", "search", "--product", "sedan", "--limit", "1", "--json", cwd=demo))) == 1
    assert parsed(orvane("runs", "search", "--product", "nothing", "--json", cwd=demo)) == []
    bad = orvane("runs", "search", "kpi.cd < 'x'", cwd=demo)
    assert bad.returncode == 2
    assert bad.stderr == 'orvane: error: query error at column 10: kpi.cd holds numbers, not the text "x"\n'

    first, second = found[0]["run_id"], found[1]["run_id"]
    shown = parsed(orvane("runs", "show", first, "--json", cwd=demo))
    assert shown["verification"]["status"] == "verified" and shown["case"].startswith("product: sedan")
    assert parsed(orvane("runs", "show", "sedan", first, "--json", cwd=demo)) == shown
    printed = orvane("runs", "show", first, cwd=demo)
    assert printed.returncode == 0 and "(verified)" in printed.stdout and "speed_kmh" in printed.stdout

    diff = parsed(orvane("runs", "diff", first, second, "--changed-only", "--json", cwd=demo))
    assert set(diff) == {"a", "b", "fields", "kpis", "parameters", "case_diff"}
    assert "product" not in diff["fields"] and diff["fields"]["fingerprint"][0] == found[0]["fingerprint"]
    printed = orvane("runs", "diff", first, second, cwd=demo)
    assert printed.returncode == 0 and "difference" in printed.stdout
    missing = orvane("runs", "diff", first, "run_x", cwd=demo)
    assert missing.returncode == 2 and "run_b: no run 'run_x'" in missing.stderr

    # A case edited after the run no longer matches its fingerprint.
    layer = Sdf.Layer.FindOrOpen(shown["layer"])
    [run] = layer.GetPrimAtPath("/Sedan/SimulationRuns").nameChildren
    run.attributes["orvane:run:provenance:case_yaml"].default = "edited: true\n"
    layer.Save()
    tampered = orvane("runs", "show", first, cwd=demo)
    assert tampered.returncode == 1 and "(mismatch)" in tampered.stdout


def test_runs_list_and_history_filters(demo):
    runs = parsed(orvane("runs", "list", "sedan", "--json", cwd=demo))
    assert parsed(orvane("runs", "list", "sedan", "--last", "1", "--json", cwd=demo)) == runs[-1:]
    assert parsed(orvane("runs", "list", "sedan", "--since", runs[-1]["timestamp"], "--json", cwd=demo)) == runs[-1:]
    assert (
        parsed(orvane("runs", "list", "sedan", "--domain", "dynamics", "--solver", "sample_aero", "--json", cwd=demo))
        == []
    )
    table = orvane("runs", "list", "sedan", cwd=demo).stdout
    assert all(kpi in table for kpi in ("cd", "cl", "cm_pitch"))

    history = parsed(orvane("product", "history", "sedan", "--json", cwd=demo))
    assert parsed(orvane("product", "history", "sedan", "--last", "1", "--json", cwd=demo)) == history[-1:]
    assert parsed(
        orvane("product", "history", "sedan", "--domain", "aero", "--since", "2000-01-01", "--json", cwd=demo)
    ) == [entry for entry in history if entry["domain"] == "aero"]
    assert parsed(orvane("product", "history", "sedan", "--since", "2999-01-01T00:00+02:00", "--json", cwd=demo)) == []
    for arguments in (("--since", "yesterday"), ("--last", "-1")):
        refused = orvane("runs", "list", "sedan", *arguments, cwd=demo)
        assert refused.returncode == 2 and arguments[0] in refused.stderr


# --- bad input ----------------------------------------------------------------------


@pytest.fixture
def bad_inputs(tmp_path: Path) -> dict[str, str]:
    """Files and names a user may pass by mistake, each with what the error must say."""
    (tmp_path / "folder").mkdir()
    (tmp_path / "binary.usda").write_bytes(b"#usda 1.0\n\xff\xfe (")
    (tmp_path / "garbage.usda").write_text("not usd at all")
    (tmp_path / "empty.usda").write_text("")
    os.mkfifo(tmp_path / "fifo.usda")
    (tmp_path / "loop.usda").symlink_to(tmp_path / "loop.usda")
    return {
        "missing.usda": "no product",
        "folder": "is a folder without",
        "binary.usda": "",
        "garbage.usda": "",
        "fifo.usda": "",
        "loop.usda": "",
        "bad\nname": "no product",
    }


@pytest.mark.parametrize(
    "command",
    [
        ("product", "show"),
        ("product", "history"),
        ("product", "clean"),
        ("product", "set", "{}", "mass=1"),
        ("runs", "list"),
        ("release", "list"),
        ("release", "freeze", "{}", "v1"),
        ("gates",),
        ("run", "{}", "--domain", "aero"),
    ],
)
def test_bad_products_give_one_line_and_no_traceback(tmp_path, bad_inputs, command):
    # Listings read the folders beside the root file, not the file itself.
    reads_the_file = command[0] not in ("runs", "release") or command[1] == "freeze"
    for name, message in bad_inputs.items():
        arguments = [part.replace("{}", name) for part in command] if "{}" in command else [*command, name]
        result = orvane(*arguments, cwd=tmp_path)
        if not reads_the_file and name in ("binary.usda", "garbage.usda", "empty.usda"):
            assert result.returncode == 0 and result.stderr == "", (name, result)
            continue
        assert result.returncode == 2 and result.stdout == "", (name, result)
        assert result.stderr.startswith("orvane: error: ") and result.stderr.count("\n") == 1, (name, result.stderr)
        assert message in result.stderr and "Traceback" not in result.stderr, (name, result.stderr)
        assert "pxrInternal" not in result.stderr and "Error in '" not in result.stderr, (name, result.stderr)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("--set", "mass"), "argument --set: 'mass' is not KEY=VALUE"),
        (("--set", "mass=heavy"), "the value of 'mass=heavy' is not a number"),
        (("--save", "elsewhere"), "argument --save: invalid choice"),
        (("--test", "no-such-test"), "Solver 'sample_aero' declares no tests"),
        ((), "one of the arguments --domain --solver is required"),
    ],
)
def test_bad_run_arguments(demo, arguments, message):
    domain = () if not arguments or arguments[0] != "--test" else ("--solver", "sample_aero")
    result = orvane("run", "sedan", *(domain or (("--domain", "aero") if arguments else ())), *arguments, cwd=demo)
    assert result.returncode == 2 and message in result.stderr and result.stderr.count("\n") == 1
    assert "Traceback" in orvane("--debug", "run", "sedan", "--domain", "aero", "--set", "x=y", cwd=demo).stderr


def test_fingerprint_refuses_weakened_inputs(tmp_path):
    (tmp_path / "case.yaml").write_text("speed: 30\n")
    (tmp_path / "broken.yaml").write_text("speed: [30\n")
    (tmp_path / "params.json").write_text('{"speed": {"value": 30, "override": true}}')
    (tmp_path / "body.stl").write_text("solid")
    (tmp_path / "mesh.bin").write_bytes(b"\x00mesh")
    env = {"PATH": f"{tmp_path}:{os.path.dirname(sys.executable)}"}  # no docker
    base = ("fingerprint", "--image", "img:1", "--case", "case.yaml")
    made = orvane(
        *base, "--geometry", "body.stl", "--params", "params.json", "--mesh-cache", "mesh.bin", cwd=tmp_path, env=env
    )
    assert made.returncode == 0, made.stderr
    record = json.loads(made.stdout)
    assert record["geometry"].startswith("sha256:") and record["mesh_cache"].startswith("sha256:")
    (tmp_path / "record.json").write_text(made.stdout)
    assert parsed(orvane("verify", "record.json", "--json", cwd=tmp_path))["status"] == "verified"
    (tmp_path / "record.json").write_text(json.dumps(record | {"case_yaml": "speed: 31\n"}))
    changed = orvane("verify", "record.json", cwd=tmp_path)
    assert changed.returncode == 1 and "mismatch" in changed.stdout

    for arguments, message in (
        (("--geometry", "missing.stl"), "--geometry: no such file: missing.stl"),
        (("--geometry", "."), "--geometry: not a file: ."),
        (("--mesh-cache", "missing.bin"), "--mesh-cache: no such file: missing.bin"),
        (("--params", "case.yaml"), "--params is not JSON: case.yaml"),
    ):
        refused = orvane(*base, *arguments, cwd=tmp_path, env=env)
        assert refused.returncode == 2 and refused.stderr.startswith(f"orvane: error: {message}"), refused.stderr
    raw = ("fingerprint", "--image", "img:1", "--case", "broken.yaml")
    refused = orvane(*raw, cwd=tmp_path, env=env)
    assert refused.returncode == 2 and "--case is not valid YAML: broken.yaml" in refused.stderr
    assert "--allow-raw-case" in refused.stderr and refused.stderr.count("\n") == 1
    assert orvane(*raw, "--allow-raw-case", cwd=tmp_path, env=env).returncode == 0
    for record in ("/etc/passwd", "missing.json"):
        result = orvane("verify", record, cwd=tmp_path)
        assert (
            result.returncode == 2
            and record in result.stderr
            and "Expecting value" in result.stderr
            or ("no such file" in result.stderr)
        )


# --- guards -------------------------------------------------------------------------


def test_clean_that_would_remove_everything_needs_yes(demo):
    entries = history_length(demo)
    preview = orvane("product", "clean", "sedan", "--keep-days", "0", "--dry-run", cwd=demo)
    assert preview.returncode == 0 and f"Would remove {entries} of {entries} entries" in preview.stdout
    assert "and clear the current results" in preview.stdout and "|domain=aero|" in preview.stdout
    refused = orvane("product", "clean", "sedan", "--keep-days", "0", cwd=demo)
    assert refused.returncode == 2 and "pass --yes" in refused.stderr and history_length(demo) == entries
    declined = orvane("product", "clean", "sedan", "--keep-days", "0", cwd=demo, input="n\n")
    assert declined.returncode == 2 and history_length(demo) == entries  # standard input is not a terminal
    kept = orvane("product", "clean", "sedan", cwd=demo)  # trims nothing recent: no question
    assert kept.returncode == 0 and f"{entries} entries before, {entries} after" in kept.stdout
    wiped = orvane("product", "clean", "sedan", "--keep-days", "0", "--yes", cwd=demo)
    assert wiped.returncode == 0 and "current results cleared" in wiped.stdout and history_length(demo) == 0


def test_solver_add_over_an_alias_needs_force(demo):
    source = demo / "solvers" / "sample_dynamics"
    env = {"PATH": f"{demo}:{os.path.dirname(sys.executable)}"}  # no docker: digest unknown
    added = orvane("solver", "add", "dyn", "--from", str(source), cwd=demo, env=env)
    assert added.returncode == 0 and "verified" in added.stdout, added.stderr
    again = orvane("solver", "add", "dyn", "--from", str(source), "--image", "other:2", cwd=demo, env=env)
    assert again.returncode == 2 and "--force" in again.stderr
    assert parsed(orvane("solver", "list", "--json", cwd=demo))[0]["image"] != "other:2"
    forced = parsed(
        orvane(
            "solver", "add", "dyn", "--from", str(source), "--image", "other:2", "--force", "--json", cwd=demo, env=env
        )
    )
    assert forced["image"] == "other:2" and forced["certificate"] == "verified"


def test_release_freeze_names_the_flag(demo):
    again = orvane("release", "freeze", "sedan", "v0.1", cwd=demo)
    assert again.returncode == 2 and "release 'v0.1'" in again.stderr and "--force replaces it" in again.stderr
    assert "force=True" not in again.stderr
    assert orvane("release", "freeze", "sedan", "v0.1", "--force", cwd=demo).returncode == 0


# --- completion ---------------------------------------------------------------------


@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_completion_scripts_generate(tmp_path, shell):
    script = orvane("completion", shell, cwd=tmp_path)
    assert script.returncode == 0 and "orvane" in script.stdout and "_ARGCOMPLETE" in script.stdout
    if shell == "bash":
        checked = subprocess.run(["bash", "-n"], input=script.stdout, text=True, capture_output=True)
        assert checked.returncode == 0, checked.stderr


def test_global_completion_finds_the_marker_of_the_entry_point():
    # The shell's global completion completes only scripts whose entry point's module carries the marker.
    checked = subprocess.run(
        [sys.executable, "-m", "argcomplete._check_console_script", ORVANE], capture_output=True, text=True, timeout=60
    )
    assert checked.returncode == 0, checked.stderr


def complete(line: str, cwd: Path) -> set[str]:
    """What the shell would be offered for `line`, through argcomplete's own protocol."""
    out = cwd / "completions.txt"
    environment = os.environ | {
        "_ARGCOMPLETE": "1",
        "COMP_LINE": line,
        "COMP_POINT": str(len(line)),
        "_ARGCOMPLETE_IFS": "\n",
        "_ARGCOMPLETE_STDOUT_FILENAME": str(out),
    }
    subprocess.run([ORVANE], cwd=cwd, env=environment, capture_output=True, timeout=60, check=True)
    return {word.strip() for word in out.read_text().split("\n") if word.strip()}


def test_completion_offers_products_solvers_releases_and_runs(demo):
    assert "sedan" in complete("orvane gates se", demo)
    assert {"sample_aero", "sample_dynamics"} <= complete("orvane run sedan --solver sa", demo)
    assert complete("orvane release show sedan v0.", demo) == {"v0.1", "v0.2"}
    run_ids = complete("orvane runs show run_", demo)
    assert len(run_ids) == 2 and all(word.startswith("run_aero_") for word in run_ids)


# --- the LLM and the agent ----------------------------------------------------------


def test_llm_unavailable_names_the_settings(tmp_path):
    env = {"ORVANE_OLLAMA_URL": "http://127.0.0.1:9", "ORVANE_SOLVERS_DIR": str(tmp_path / "none")}
    chat = orvane("llm", "chat", "hello", cwd=tmp_path, env=env)
    assert chat.returncode == 1 and "Could not reach Ollama at 127.0.0.1:9" in chat.stdout
    assert "ORVANE_OLLAMA_URL" in chat.stdout
    doctor = orvane("doctor", cwd=tmp_path, env=env)
    assert doctor.returncode == 1 and "Ollama not reachable at 127.0.0.1:9" in doctor.stdout
    assert "ORVANE_OLLAMA_URL" in doctor.stdout and "CPU cores" in doctor.stdout
    make_product(tmp_path / "car")
    agent = orvane("agent", "car", cwd=tmp_path, env=env | {"ORVANE_PRODUCTS_DIR": str(tmp_path)})
    assert agent.returncode == 1 and "Ollama not reachable at 127.0.0.1:9" in agent.stdout


def test_doctor_and_agent_name_a_missing_model(tmp_path, ollama):
    env = {"ORVANE_OLLAMA_URL": f"http://{ollama.host}", "ORVANE_LLM_MODEL": "mistral:7b"}
    doctor = orvane("doctor", cwd=tmp_path, env=env)
    assert doctor.returncode == 1 and "ollama pull mistral:7b" in doctor.stdout and "ORVANE_LLM_MODEL" in doctor.stdout
    ready = orvane("doctor", "--json", cwd=tmp_path, env=env | {"ORVANE_LLM_MODEL": "llama3.1:8b"})
    assert ready.returncode == 0 and json.loads(ready.stdout)["llm"]["ready"] is True


def test_agent_survives_malformed_tool_calls(demo, ollama):
    ollama.chat_messages = [
        tool_call("run_simulation", {"bogus": 1}),
        tool_call("no_such_tool", {}),
        tool_call("run_simulation", {"solver": "sample_aero"}),
    ]
    ollama.chat_message = {"role": "assistant", "content": "Cd is 0.259, within the range target."}
    env = {"ORVANE_OLLAMA_URL": f"http://{ollama.host}", "ORVANE_LLM_MODEL": "llama3.1:8b"}
    runs = run_count(demo)
    talked = orvane("agent", "sedan", cwd=demo, env=env, input="How is the drag?\n")  # then end of input
    assert talked.returncode == 0, talked.stderr
    assert "Traceback" not in talked.stdout + talked.stderr
    assert "Cd is 0.259, within the range target." in talked.stdout
    assert "tool output: SIMULATION COMPLETE (solver: sample_aero):" in talked.stdout
    chats = ollama.posts("/api/chat")
    answers = [message["content"] for message in chats[-1]["messages"] if message["role"] == "tool"]
    assert answers[0].startswith("Error: tool run_simulation refused its arguments")
    assert answers[1].startswith("Error: there is no tool 'no_such_tool'")
    assert answers[2].startswith("SIMULATION COMPLETE")
    assert run_count(demo) == runs + 1  # the agent's run is recorded
    assert "not saved: no terminal to confirm on" in talked.stdout


def test_agent_ends_cleanly_on_ctrl_c(demo, ollama):
    ollama.chat_message = {"role": "assistant", "content": "Ready."}
    env = os.environ | {
        "ORVANE_OLLAMA_URL": f"http://{ollama.host}",
        "ORVANE_LLM_MODEL": "llama3.1:8b",
        "HOME": str(demo),
    }
    agent = subprocess.Popen(
        [ORVANE, "agent", "sedan"],
        cwd=demo,
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        agent.stdin.write("Hello\n")
        agent.stdin.flush()
        deadline = time.monotonic() + 60
        while not ollama.posts("/api/chat") and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)  # the reply is printed and the next question asked
        agent.send_signal(signal.SIGINT)
        out, err = agent.communicate(timeout=60)
    finally:
        agent.kill()
    assert agent.returncode == 0, err
    assert "Ready." in out and "Traceback" not in out + err


def test_debug_anywhere_shows_the_traceback_and_keeps_the_status(demo):
    for arguments in (
        ("--debug", "release", "diff", "sedan", "v9", "v0.1"),
        ("release", "diff", "sedan", "v9", "v0.1", "--debug"),
    ):
        result = orvane(*arguments, cwd=demo)
        assert result.returncode == 2 and "Traceback" in result.stderr
        assert result.stderr.splitlines()[-1].startswith("orvane: error: ")


def test_options_may_come_before_the_product_and_errors_name_the_argument(demo):
    summary = parsed(
        orvane(
            "run",
            "--domain",
            "aero",
            "--set",
            "ride_height=0.13",
            "--set",
            "mass=2000",
            "--save",
            "none",
            "sedan",
            "--json",
            cwd=demo,
        )
    )
    assert summary["parameters_set"] == {"ride_height": [0.14, 0.13], "mass": [2050.0, 2000.0]}
    bad = orvane("product", "set", "sedan", "mass=abc", cwd=demo)
    assert bad.returncode == 2 and bad.stderr.startswith("orvane: error: argument KEY=VALUE: the value of")


def test_the_workspace_named_by_the_environment_is_used_from_anywhere(demo, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    summary = parsed(
        orvane(
            "run",
            "sedan",
            "--domain",
            "aero",
            "--save",
            "none",
            "--json",
            cwd=elsewhere,
            env={"ORVANE_WORKSPACE": str(demo)},
        )
    )
    assert summary["status"] == "success" and summary["product"] == str(demo / PRODUCT)


def test_a_reader_that_stops_early_is_no_error(demo):
    layer = Sdf.Layer.FindOrOpen(str(demo / "products/sedan/layers/prototype.usda"))
    history = layer.GetPrimAtPath("/Sedan").attributes["resultsHistory"]
    history.default = list(history.default) * 2000  # far more than a pipe holds
    layer.Save()
    piped = subprocess.run(
        f"set -o pipefail; '{ORVANE}' product history sedan --json | head -c 10",
        shell=True,
        cwd=demo,
        capture_output=True,
        text=True,
        timeout=60,
        env=os.environ | {"HOME": str(demo)},
        executable="/bin/bash",
    )
    assert (piped.returncode, piped.stdout, piped.stderr) == (0, "[\n  {\n    ", "")


def test_demo_cfd_ends_with_a_run_of_the_ahmed_body(tmp_path):
    # The walk-through's wiring, with a stand-in for the OpenFOAM driver
    # first on PATH (the real one is tested in test_openfoam_ahmed.py).
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = bin_dir / "orvane-openfoam-ahmed"
    fake.write_text(FAKE_CFD)
    fake.chmod(0o755)
    done = orvane(
        "demo", "--dir", "d", "--cfd", cwd=tmp_path, env={"PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    )
    assert done.returncode == 0, done.stderr
    assert "Step 11/11" in done.stdout and "Step 10/11" in done.stdout
    assert "ahmed with openfoam_ahmed (aero): success" in done.stdout
    assert "ahmed1984_slant25" in done.stdout  # compared with the published drag
    assert len(list((tmp_path / "d/products/ahmed/simulation_runs/openfoam_ahmed").glob("*/result.usda"))) == 1
