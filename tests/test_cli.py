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


def test_demo_walks_through_the_platform(tmp_path):
    from pxr import Sdf

    from orvane_platform.core import product_twin, releases, run_records
    from orvane_platform.core.product import Product

    shown = orvane("demo", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "Step 13/13" in shown.stdout and "cd=0.2677" in shown.stdout and "cd=0.2590" in shown.stdout
    assert "0 passed, 1 failed, 2 not run (3 total)" in shown.stdout  # the first design misses cd_max
    assert "3 passed, 0 failed, 2 not run (5 total)" in shown.stdout  # the second passes, with derived targets
    product_path = tmp_path / "orvane-demo" / "products" / "sedan" / "sedan.usda"
    product = Product(product_path)
    history = [r["raw"] for r in product_twin.load_product_history(product_path)]
    assert len(history) == 2 and all("|domain=aero|" in entry for entry in history)
    runs = run_records.list_runs(product_path)
    assert len(runs) == 2 and all(run["fingerprint"].startswith("sha256:") for run in runs)
    assert product.targets["cl_nominal"] == pytest.approx(0.014)  # filled from the run
    layer = Sdf.Layer.OpenAsAnonymous(str(product_path.parent / "layers" / "prototype.usda"))
    assert len(layer.GetPrimAtPath("/Sedan").attributes.get("orvane:baseline:history").default) == 2
    assert [r["version"] for r in releases.list_releases(product_path)] == ["v0.1", "v0.2"]
    assert releases.diff_releases(product_path, "v0.2", "v0.1")["orvane:product:roofline_slope_deg"] == (18.0, 14.5, 3.5)
    # The product's latest provenance is that of the latest run file, and both runs' records verified.
    assert product.specs["orvane_provenance_fingerprint"] == runs[-1]["fingerprint"]
    assert shown.stdout.count("(verified)") == 2

    # Running it again starts from a fresh copy.
    (product_path.parent / "layers" / "prototype.usda").write_text("broken")
    again = orvane("demo", "--dir", str(tmp_path / "orvane-demo"), cwd=tmp_path)
    assert again.returncode == 0, again.stderr


def test_demo_refuses_a_folder_it_did_not_make(tmp_path):
    (tmp_path / "work").mkdir()
    (tmp_path / "work" / "thesis.txt").write_text("keep me")
    refused = orvane("demo", "--dir", "work", cwd=tmp_path)
    assert refused.returncode == 2
    assert "was not made by the demo" in refused.stderr
    assert os.listdir(tmp_path / "work") == ["thesis.txt"]


def test_product_show(tmp_path):
    path = make_product(tmp_path, layers={"design_intent": {"orvane:product:mass": 1234.5}})
    shown = orvane("product", "show", str(path), cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "mass" in shown.stdout and "1234.5" in shown.stdout and "yes" in shown.stdout


@pytest.mark.parametrize(
    "command",
    [("product", "show"), ("product", "history"), ("runs", "list"), ("release", "list"), ("gates",),
     ("product", "clean")],
)
def test_a_missing_or_unusable_product_is_an_error_for_every_command(tmp_path, command):
    for path, reason in ((tmp_path / "nope.usda", "no such product file"), (tmp_path, "not a product file")):
        result = orvane(*command, str(path), cwd=tmp_path)
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr.startswith(f"orvane: error: {reason}") and str(path) in result.stderr


@pytest.mark.parametrize(
    ("content", "arguments", "message"),
    [(b"#usda 1.0\n\xff\xfe (", ("product", "show"), ""),
     (b"[1, 2]", ("fingerprint", "--image", "img", "--case"), "--params must hold a JSON object"),
     (b"not json", ("verify",), "the record is not JSON")],
)
def test_bad_files_give_one_line_and_no_traceback(tmp_path, content, arguments, message):
    bad = tmp_path / "bad.usda"
    bad.write_bytes(content)
    if arguments[0] == "fingerprint":
        arguments = (*arguments, str(tmp_path / "case.yaml"), "--params", str(bad))
        (tmp_path / "case.yaml").write_text("speed: 40\n")
    else:
        arguments = (*arguments, str(bad))
    result = orvane(*arguments, cwd=tmp_path)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr.startswith(f"orvane: error: {message}") and result.stderr.count("\n") == 1
    assert "Traceback" in orvane("--debug", *arguments, cwd=tmp_path).stderr


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
    assert "2 entries" in history.stdout and "sample_aero" in history.stdout

    diff = orvane("product", "diff", product, product, "--attrs", "cd", "mass", cwd=tmp_path)
    assert diff.returncode == 0, diff.stderr
    assert "0.259" in diff.stdout and "2050" in diff.stdout

    benchmark = orvane("product", "benchmark", product, "rival_b", cwd=tmp_path)
    assert benchmark.returncode == 0 and "-0.001" in benchmark.stdout
    unknown = orvane("product", "benchmark", product, "rival_z", cwd=tmp_path)
    assert unknown.returncode == 2 and "Available: ['rival_a', 'rival_b']" in unknown.stderr

    cleaned = orvane("product", "clean", product, "--keep-days", "0", cwd=tmp_path)
    assert cleaned.returncode == 0, cleaned.stderr
    assert "2 entries before, 0 after" in cleaned.stdout and "current results cleared" in cleaned.stdout
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
    assert listed.returncode == 0 and "run_aero_" in listed.stdout and "2, oldest first" in listed.stdout
    assert "0, oldest first" in orvane("runs", "list", product, "--solver", "other", cwd=tmp_path).stdout


def test_gates_and_releases(tmp_path):
    assert orvane("demo", cwd=tmp_path).returncode == 0
    product = str(tmp_path / "orvane-demo" / "products" / "sedan" / "sedan.usda")
    env = {"ORVANE_SOLVERS_DIR": str(tmp_path / "orvane-demo" / "solvers")}
    gates = orvane("gates", product, cwd=tmp_path, env=env)
    assert gates.returncode == 0, gates.stderr
    assert "WARN" in gates.stdout and "NOT RUN" in gates.stdout and "Drag coefficient" in gates.stdout

    frozen = orvane("release", "freeze", product, "v0.3", "--notes", "third", cwd=tmp_path)
    assert frozen.returncode == 0 and "Release v0.3 frozen" in frozen.stdout
    again = orvane("release", "freeze", product, "v0.3", cwd=tmp_path)
    assert again.returncode == 2 and "already exists" in again.stderr
    assert orvane("release", "freeze", product, "v0.3", "--force", cwd=tmp_path).returncode == 0
    listed = orvane("release", "list", product, cwd=tmp_path).stdout
    assert listed.index("v0.1") < listed.index("v0.2") < listed.index("v0.3") and "aero 1/1 pass" in listed
    shown = orvane("release", "show", product, "v0.1", cwd=tmp_path)
    assert shown.returncode == 0 and "orvane:current:cd" in shown.stdout
    assert orvane("release", "show", product, "v9", cwd=tmp_path).returncode == 2
    diff = orvane("release", "diff", product, "v0.2", "v0.1", cwd=tmp_path)
    assert diff.returncode == 0 and "orvane:product:mass" in diff.stdout
    missing = orvane("release", "diff", product, "v0.2", "v9", cwd=tmp_path)
    assert missing.returncode == 2 and "Release 'v9' not found" in missing.stderr


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
    agent = orvane("agent", str(tmp_path / "none.usda"), cwd=tmp_path, env=env)
    assert agent.returncode == 1 and "Ollama not reachable at 127.0.0.1:9" in agent.stdout


def test_agent_uses_the_tools(tmp_path):
    from tests.test_local_llm import FakeOllama

    assert orvane("demo", cwd=tmp_path).returncode == 0
    server = FakeOllama()
    server.chat_messages = [{"role": "assistant", "content": "", "tool_calls": [
        {"function": {"name": "run_simulation", "arguments": {"solver": "sample_aero"}}}]}]
    server.chat_message = {"role": "assistant", "content": "Cd is 0.259, within the range target."}
    try:
        env = {"ORVANE_OLLAMA_URL": f"http://{server.host}", "ORVANE_LLM_MODEL": "llama3.1:8b",
               "ORVANE_SOLVERS_DIR": str(tmp_path / "orvane-demo" / "solvers")}
        product = str(tmp_path / "orvane-demo" / "products" / "sedan" / "sedan.usda")
        talked = subprocess.run([sys.executable, "-m", "orvane_platform", "agent", product], input="How is the drag?\n\n",
                                env=os.environ | {"COLUMNS": "400"} | env, capture_output=True, text=True, timeout=120)
    finally:
        server.server.shutdown()
        server.server.server_close()
    assert talked.returncode == 0, talked.stderr
    assert "tool run_simulation" in talked.stdout and "Cd is 0.259, within the range target." in talked.stdout
    chats = server.posts("/api/chat")
    assert len(chats) == 2 and chats[1]["messages"][-1]["role"] == "tool"
    assert chats[1]["messages"][-1]["content"].startswith("SIMULATION COMPLETE (solver: sample_aero):")
    assert {tool["function"]["name"] for tool in chats[0]["tools"]} == {
        "run_simulation", "assess_aerodynamic_targets", "get_range_competitiveness", "run_dynamics_simulation",
        "assess_dynamics_targets"}
