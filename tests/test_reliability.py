"""Nothing lost, nothing half-written, nothing written where it must not be:
concurrent writers, processes killed at random instants, hostile paths and
solvers, all with real processes and real files."""

from __future__ import annotations

import itertools
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest
import yaml
from pxr import Sdf

from orvane_platform.core import product_twin, provenance, releases, run_records, run_store, solver, workspace
from orvane_platform.core.product import Product
from orvane_platform.core.solver_certs import verify_solver_cert
from orvane_platform.runs import solver_run, twin_state
from tests.support import ORVANE, SAMPLE_SOLVERS, kill_at_random, orvane, write_solver

KPIS = {"cd": 0.25, "cl": 0.01, "cm_pitch": 0.0}


def run_python(code: str, env: dict[str, str], *, wait: bool = True) -> subprocess.Popen | subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with the package and `env`."""
    command = [sys.executable, "-c", textwrap.dedent(code)]
    full_env = {**os.environ, **env}
    if wait:
        return subprocess.run(command, env=full_env, capture_output=True, text=True, timeout=120)
    return subprocess.Popen(command, env=full_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def history_of(product: Path) -> list[str]:
    layer = Sdf.Layer.OpenAsAnonymous(str(product.parent / "layers" / "prototype.usda"))
    spec = layer.GetPrimAtPath("/Sedan").attributes.get("resultsHistory")
    return list(spec.default) if spec else []


@pytest.fixture
def env(sample_registry, isolated_home):
    return {"ORVANE_SOLVERS_DIR": str(sample_registry), "ORVANE_HOME": str(isolated_home)}


# --- concurrent writers ----------------------------------------------------------------


def test_concurrent_writers_keep_every_history_entry(sample_product, env):
    before = len(history_of(sample_product))
    workers, writes = 4, 20
    code = f"""
        from orvane_platform.core import product_twin
        for i in range({writes}):
            product_twin.write_domain_results({str(sample_product)!r}, "aero", {KPIS!r}, solver="sample_aero",
                                              extra_meta={{"writer": __import__("os").getpid(), "i": i}})
    """
    processes = [run_python(code, env, wait=False) for _ in range(workers)]
    for process in processes:
        assert process.wait(timeout=120) == 0, process.stderr.read()
    assert len(history_of(sample_product)) == before + workers * writes


def test_threads_of_one_process_are_serialised_too(sample_product, sample_registry):
    import threading

    before = len(history_of(sample_product))
    errors = []

    def write():
        try:
            for _ in range(10):
                product_twin.write_domain_results(sample_product, "aero", KPIS, solver="sample_aero")
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=write) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and len(history_of(sample_product)) == before + 30


def test_a_writer_that_waits_too_long_names_the_product(sample_product, env, monkeypatch):
    holder = run_python(
        f"""
        import fcntl, sys, time
        with open({str(sample_product.parent / ".orvane.lock")!r}, "a") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            print("held", flush=True)
            time.sleep(30)
        """,
        env,
        wait=False,
    )
    try:
        assert holder.stdout.readline().strip() == "held"
        monkeypatch.setattr(product_twin, "_LOCK_TIMEOUT_SECONDS", 0.2)
        started = time.monotonic()
        waited = f"writing product {sample_product}: gave up waiting after 0.2 s (lock file "
        with pytest.raises(TimeoutError, match=re.escape(waited)):
            product_twin.write_domain_results(sample_product, "aero", KPIS)
        assert time.monotonic() - started < 5
    finally:
        holder.kill()
        holder.wait()


def test_two_freezes_of_one_version_give_one_release(sample_product, env):
    code = f"""
        from orvane_platform.core import releases
        import sys
        for version in ["v1", "v2", "v3", "v4", "v5"]:
            print(releases.freeze_release({str(sample_product)!r}, version)["status"], flush=True)
    """
    first, second = run_python(code, env, wait=False), run_python(code, env, wait=False)
    outcomes = list(zip(first.communicate(timeout=120)[0].split(), second.communicate(timeout=120)[0].split()))
    assert len(outcomes) == 5
    assert all(sorted(pair) == ["error", "frozen"] for pair in outcomes)
    assert [release["version"] for release in releases.list_releases(sample_product)] != []
    assert sorted(path.name for path in (sample_product.parent / "releases").iterdir()) == [
        f"v{n}.usda" for n in range(1, 6)
    ]


def test_first_use_of_the_key_by_many_processes_gives_one_key(env, isolated_home):
    code = """
        import json
        from orvane_platform.core.solver_certs import sign_solver_cert
        print(json.dumps(sign_solver_cert("aero", "img", "sha256:1")))
    """
    processes = [run_python(code, env, wait=False) for _ in range(6)]
    import json

    certificates = []
    for process in processes:
        out, err = process.communicate(timeout=120)
        assert process.returncode == 0, err
        certificates.append(json.loads(out))
    from orvane_platform.core import solver_certs

    solver_certs._SIGNING_SECRET_PATH = isolated_home / ".signing-secret"
    assert [verify_solver_cert({"alias": "aero", "cert": cert}) for cert in certificates] == ["verified"] * 6
    assert [path.name for path in isolated_home.iterdir()] == [".signing-secret"]


# --- killed at a random instant -------------------------------------------------------------


def ready_python(code: str, env: dict[str, str]) -> Callable[[], subprocess.Popen]:
    """What starts `code` (which prints "ready" and then works for ever) and returns once it is ready."""

    def start() -> subprocess.Popen:
        process = run_python(code, env, wait=False)
        assert process.stdout.readline().strip() == "ready", process.stderr.read()
        return process

    return start


def test_writes_killed_at_random_leave_complete_layers(sample_product, env):
    before = len(history_of(sample_product))
    code = f"""
        from orvane_platform.core import product_twin
        print("ready", flush=True)
        while True:
            product_twin.write_domain_results({str(sample_product)!r}, "aero", {KPIS!r}, solver="sample_aero")
    """
    kill_at_random(ready_python(code, env), tries=12, seed=1)
    layers = sample_product.parent / "layers"
    assert Sdf.Layer.OpenAsAnonymous(str(layers / "prototype.usda")) is not None
    assert len(history_of(sample_product)) >= before
    # What killed saves left is cleared by the next write.
    product_twin.write_domain_results(sample_product, "aero", KPIS)
    assert sorted(path.name for path in layers.iterdir()) == ["design_intent.usda", "prototype.usda"]


@pytest.mark.parametrize(
    ("killer", "design_written"),
    [
        ("from orvane_platform.core import product_twin as target; name = 'write_domain_results'", True),
        ("from orvane_platform.core.product import Product as target; name = 'set_design_parameter'", False),
    ],
    ids=["before the results", "before the design"],
)
def test_a_save_cut_short_is_completed_by_the_next_write(sample_product, env, killer, design_written):
    code = f"""
        import os, signal
        from orvane_platform.runs import solver_run
        {killer}
        setattr(target, name, lambda *arguments, **keywords: os.kill(os.getpid(), signal.SIGKILL))
        solver_run.run_product({str(sample_product)!r}, domain="aero", parameters={{"ride_height": 0.17}})
    """
    assert run_python(code, env).returncode == -signal.SIGKILL
    assert (sample_product.parent / ".orvane-pending-save.json").exists()
    assert product_twin.load_product(sample_product)["ride_height"] == (0.17 if design_written else 0.14)
    [reason] = set(twin_state.stale_kpis(sample_product).values())
    assert reason.startswith("a save of run run_aero_") and reason.endswith(
        "the next write to the product completes it"
    )
    assert history_of(sample_product) == []

    product_twin.tag_baseline(sample_product, "aero", {})  # any write completes it first
    [entry] = history_of(sample_product)
    [run] = twin_state.recorded_runs(sample_product)
    assert f"run_id={run['run_id']}" in entry and run["saved"] is True
    assert product_twin.load_product(sample_product)["ride_height"] == 0.17
    assert twin_state.stale_kpis(sample_product) == {}
    solver_run.complete_pending_save(sample_product)  # carried out once
    assert len(history_of(sample_product)) == 1


@pytest.mark.parametrize(
    "content",
    [
        "{not json",
        "[1, 2]",
        '{"design": {}, "write": 3}',
        '{"run_id": 1, "domain": "aero", "kpis": 5, "design": {}, "write": {}}',
    ],
)
def test_an_unreadable_pending_save_is_moved_aside_and_named(sample_product, sample_registry, caplog, content):
    pending = sample_product.parent / ".orvane-pending-save.json"
    pending.write_text(content)
    assert twin_state.stale_kpis(sample_product) == {}  # nothing it can tell
    with caplog.at_level("WARNING", logger="orvane_platform.runs.solver_run"):
        product_twin.write_domain_results(sample_product, "aero", KPIS)
    assert not pending.exists() and (pending.parent / ".orvane-pending-save.json.unreadable").read_text() == content
    assert "cannot be read" in caplog.text and len(history_of(sample_product)) == 1


def assert_saved_runs_agree(product: Path) -> None:
    """Once the next write has completed what was cut short: every history entry names its run, each
    saved run once, every run file is in the index, and the design is the one its results were made for."""
    solver_run.complete_pending_save(product)  # what the next write to the product does first
    assert not (product.parent / ".orvane-pending-save.json").exists()
    named = [entry.split("run_id=")[1].split("|")[0] for entry in history_of(product)]
    assert len(named) == len(set(named)) == len(history_of(product))
    runs = twin_state.recorded_runs(product)
    assert {run["run_id"] for run in runs if run["saved"]} == set(named)
    assert all(run["status"] == "success" for run in runs if run["saved"])
    assert twin_state.stale_kpis(product) == {}
    assert len(runs) == len(list((product.parent / "simulation_runs").glob("*/*/result.usda")))


@pytest.mark.parametrize("seed", [3, 4])
def test_runs_saved_and_killed_at_random_leave_the_product_whole(sample_product, env, seed):
    code = f"""
        import itertools
        from orvane_platform.runs import solver_run
        solver_run.run_product({str(sample_product)!r}, domain="aero", save="none")  # imported and warm
        print("ready", flush=True)
        for n in itertools.count():
            height = 0.1 + n % 7 / 100
            solver_run.run_product({str(sample_product)!r}, domain="aero", parameters={{"ride_height": height}})
    """
    kill_at_random(ready_python(code, env), tries=20, seed=seed)
    assert_saved_runs_agree(sample_product)


def kill_commands_at_random(lines: Iterator[list[str]], env: dict[str, str], tries: int, seed: int) -> None:
    """Runs the first command line to its end, to learn how long a command takes, then `tries` more, each
    killed with SIGKILL at a random instant of that span."""
    environment = {**os.environ, **env}
    started = time.monotonic()
    first = subprocess.run([ORVANE, *next(lines)], env=environment, capture_output=True, text=True, timeout=120)
    assert first.returncode in (0, 1), first.stderr  # 1: the product's gates do not pass
    start = lambda: subprocess.Popen([ORVANE, *next(lines)], env=environment, stdout=subprocess.DEVNULL)  # noqa: E731
    kill_at_random(start, tries=tries, seed=seed, longest=time.monotonic() - started)


def test_the_run_command_killed_at_random_saves_whole_runs_or_none(sample_product, env):
    heights = itertools.cycle(f"ride_height={0.1 + n / 100}" for n in range(7))
    lines = (["run", str(sample_product), "--domain", "aero", "--set", height] for height in heights)
    kill_commands_at_random(lines, env, tries=16, seed=5)
    assert_saved_runs_agree(sample_product)


def test_sweeps_killed_at_random_save_nothing_and_cache_only_whole_runs(sample_product, env):
    sweep = ["sweep", "run", str(sample_product), "--domain", "aero", "--vary", "ride_height=0.10:0.16:4", "--json"]
    layers = sample_product.parent / "layers"
    before = {path.name: path.read_bytes() for path in layers.iterdir()}
    kill_commands_at_random(itertools.repeat(sweep), env, tries=12, seed=6)
    assert {path.name: path.read_bytes() for path in layers.iterdir()} == before
    done = subprocess.run([ORVANE, *sweep], env={**os.environ, **env}, capture_output=True, text=True, timeout=120)
    assert done.returncode in (0, 1), done.stderr
    records = {run["run_id"]: run for run in twin_state.recorded_runs(sample_product)}
    for case in json.loads(done.stdout)["cases"]:
        assert case["status"] in ("success", "cached") and records[case["run_id"]]["status"] == "success"
    assert_saved_runs_agree(sample_product)


def test_freezes_killed_at_random_leave_whole_releases_or_none(sample_product, env):
    code = f"""
        import itertools
        from orvane_platform.core import releases
        print("ready", flush=True)
        for n in itertools.count():
            releases.freeze_release({str(sample_product)!r}, f"r{{n}}")
    """
    kill_at_random(ready_python(code, env), tries=10, seed=2)
    folder = sample_product.parent / "releases"
    for path in folder.glob("*.usda"):
        layer = Sdf.Layer.OpenAsAnonymous(str(path))
        assert layer.defaultPrim == "Sedan", path
    listed = releases.list_releases(sample_product)
    assert len(listed) == len(list(folder.glob("*.usda")))
    assert releases.freeze_release(sample_product, "after")["status"] == "frozen"
    assert not [path for path in folder.iterdir() if path.name.endswith(".tmp")]


def test_re_registrations_killed_at_random_leave_the_registry_whole(tmp_path, env):
    registry = tmp_path / "registry"
    env = {**env, "ORVANE_SOLVERS_DIR": str(registry)}
    code = f"""
        from orvane_platform.core import solver
        solver.register_solver("aero", {str(SAMPLE_SOLVERS / "sample_aero")!r}, "img:1")
        print("ready", flush=True)
        n = 0
        while True:
            n += 1
            solver.register_solver("aero", {str(SAMPLE_SOLVERS / "sample_aero")!r}, f"img:{{n}}")
    """
    kill_at_random(ready_python(code, env), tries=12, seed=3)
    result = run_python(
        """
        import json
        from orvane_platform.core import solver
        print(json.dumps([solver.get_solver_config("aero")["name"], solver.get_solver_record("aero")["image"],
                          [row["alias"] for row in solver.list_solvers()]]))
        """,
        env,
    )
    assert result.returncode == 0, result.stderr
    name, image, aliases = __import__("json").loads(result.stdout)
    assert name == yaml.safe_load((SAMPLE_SOLVERS / "sample_aero" / "solver.yaml").read_text())["name"]
    assert image.startswith("img:") and aliases == ["aero"]


def test_an_interrupted_two_step_swap_is_repaired_by_the_next_lookup(tmp_path, monkeypatch):
    registry = tmp_path / "registry"
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(registry))
    solver.register_solver("aero", SAMPLE_SOLVERS / "sample_aero", "img:1")
    (registry / "aero").rename(registry / ".aero.replaced")  # killed between the two renames
    assert solver.get_solver_record("aero")["image"] == "img:1"
    assert not (registry / ".aero.replaced").exists()


# --- paths --------------------------------------------------------------------------------


def test_run_folders_that_lead_out_of_the_product_are_refused(sample_product, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    runs = sample_product.parent / "simulation_runs"
    runs.mkdir()
    (runs / "sample_aero").symlink_to(outside)
    with pytest.raises(ValueError, match="symbolic link"):
        run_records.write_run_record(sample_product, {"cd": 0.2}, "aero", "sample_aero")
    (runs / "sample_aero").unlink()
    runs.rmdir()
    runs.symlink_to(outside)
    with pytest.raises(ValueError, match="symbolic link"):
        run_store.run_dir(sample_product.parent, "sample_aero", timestamp="t")
    assert list(outside.iterdir()) == []


def test_releases_never_write_through_links(sample_product, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    folder = sample_product.parent / "releases"
    folder.symlink_to(outside)
    with pytest.raises(ValueError, match="symbolic link"):
        releases.freeze_release(sample_product, "v1")
    folder.unlink()
    folder.mkdir()
    victim = outside / "precious.usda"
    victim.write_text("precious")
    (folder / "v1.usda").symlink_to(victim)
    assert releases.freeze_release(sample_product, "v1")["status"] == "error"
    assert releases.freeze_release(sample_product, "v1", force=True)["status"] == "frozen"
    assert victim.read_text() == "precious" and not (folder / "v1.usda").is_symlink()


@pytest.mark.parametrize("name", [".orvane-index.sqlite", ".orvane-index.sqlite-wal", ".orvane-index.sqlite.lock"])
@pytest.mark.parametrize("target_exists", [False, True], ids=["dangling", "to a file"])
def test_the_run_index_is_never_opened_through_a_link(demo, tmp_path, name, target_exists):
    for companion in demo.glob(".orvane-index.sqlite*"):
        companion.unlink()
    target = tmp_path / "elsewhere.sqlite"
    if target_exists:
        target.write_bytes(b"")
    (demo / name).symlink_to(target)
    for arguments in (("runs", "search", ""), ("index", "rebuild")):
        done = orvane(*arguments, cwd=demo)
        assert done.returncode == 2 and f"refusing to write through the symbolic link {demo / name}" in done.stderr
    assert target.exists() is target_exists and (not target_exists or target.read_bytes() == b"")


AS_ROOT = pytest.mark.skipif(os.geteuid() != 0, reason="only root may give a folder away")
NOT_AS_ROOT = pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")


@pytest.mark.parametrize(
    "products, make, refusal",
    [
        ("/etc", None, "the run index of the products folder /etc cannot be kept in /: it is the root folder"),
        ("/usr/lib", None, "cannot be kept in /usr: it is a system folder (/usr)"),
        (
            "open/products",
            lambda folder: folder.chmod(0o777),
            "cannot be kept in {folder}: other users may write to it",
        ),
        pytest.param(
            "theirs/products",
            lambda folder: os.chown(folder, 65534, 65534),
            "cannot be kept in {folder}: it belongs to another user (uid 65534)",
            marks=AS_ROOT,
        ),
        pytest.param(
            "closed/products",
            lambda folder: folder.chmod(0o555),
            "cannot be kept in {folder}: you may not write to it",
            marks=NOT_AS_ROOT,
        ),
    ],
    ids=["root folder", "system folder", "open to all", "another user's", "not writable"],
)
def test_a_run_index_outside_a_folder_of_ones_own_is_refused(tmp_path, products, make, refusal):
    workspace_folder = tmp_path / "workspace"
    workspace_folder.mkdir()
    (workspace_folder / "orvane.yaml").write_text(f"products: {products}\n")
    folder = (workspace_folder / products).parent
    if make:
        (folder / "products").mkdir(parents=True)
        make(folder)
    done = orvane("runs", "search", "", cwd=workspace_folder)
    assert done.returncode == 2 and refusal.format(folder=folder) in done.stderr
    assert not (folder / ".orvane-index.sqlite").exists() and not Path("/.orvane-index.sqlite").exists()


def test_product_layers_outside_the_product_are_not_written(sample_product, sample_registry, tmp_path):
    layers = sample_product.parent / "layers"
    moved = tmp_path / "elsewhere"
    layers.rename(moved)
    layers.symlink_to(moved)
    before = (moved / "prototype.usda").read_bytes()
    with pytest.raises(ValueError, match="outside the product folder"):
        product_twin.write_domain_results(sample_product, "aero", KPIS)
    assert (moved / "prototype.usda").read_bytes() == before


@pytest.mark.parametrize(
    "call",
    [
        lambda: solver.register_solver("a\nb", SAMPLE_SOLVERS / "sample_aero", "img"),
        lambda: run_store.run_dir(Path("."), "solver\r", timestamp="t"),
        lambda: releases.freeze_release(Path("missing.usda"), "v1\nforged"),
        lambda: run_records.write_run_record(Path("missing.usda"), {}, "aero\x1b[31m", "s"),
    ],
    ids=["alias", "solver", "version", "domain"],
)
def test_control_characters_in_names_are_refused(call, sample_registry):
    with pytest.raises(ValueError, match="control characters|single folder name"):
        call()


def test_special_files_are_refused_at_once(tmp_path):
    fifo = tmp_path / "product.usda"
    os.mkfifo(fifo)
    started = time.monotonic()
    with pytest.raises(ValueError, match="not a regular file"):
        product_twin.load_product(fifo)
    assert provenance._sha256_file(fifo) is None
    assert provenance._sha256_file("/dev/zero") is None
    assert time.monotonic() - started < 1


# --- structures that contain themselves -----------------------------------------------------


def test_self_referencing_values_are_refused_by_name(sample_registry):
    cert = {"payload": "{}"}
    cert["self"] = cert
    with pytest.raises(ValueError, match="argument 'cert' refers to itself"):
        solver.register_solver("aero2", SAMPLE_SOLVERS / "sample_aero", "img", cert=cert)
    parameters: dict = {"a": []}
    parameters["a"].append(parameters)
    with pytest.raises(ValueError, match="parameters refers to itself"):
        provenance.compute_run_fingerprint(parameters=parameters)
    deep = []
    for _ in range(100000):
        deep = [deep]
    with pytest.raises(RecursionError):
        provenance._canonical_json(deep)


def alias_bomb(levels: int) -> str:
    """A few hundred bytes whose aliases expand to 9**(levels + 1) texts."""
    lines = ["l0: &l0 [" + ", ".join(["lol"] * 9) + "]"]
    lines += [f"l{level}: &l{level} [" + ", ".join([f"*l{level - 1}"] * 9) + "]" for level in range(1, levels + 1)]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("where", ["orvane.yaml", "solvers/sample_aero/solver.yaml"])
@pytest.mark.parametrize(
    "added, refusal",
    [
        (alias_bomb(10), "malformed YAML in {file}: the document expands to more than 1048576 entries"),
        (alias_bomb(16), "malformed YAML in {file}: the document expands to more than 1048576 entries"),
        ("#" * workspace.MAX_YAML_BYTES, "{file} is larger than 1048576 bytes (1 MiB), the most a YAML file may hold"),
    ],
    ids=["bomb of 10 levels", "bomb of 16 levels", "past the cap"],
)
def test_yaml_files_past_their_bounds_are_refused_at_once(demo, where, added, refusal):
    file = demo / where
    file.write_text(file.read_text() + added)
    done = orvane("gates", "sedan", cwd=demo)
    assert done.returncode == 2 and refusal.format(file=file) in done.stderr


@pytest.mark.parametrize(
    "case, refusal",
    [
        (alias_bomb(16), "--case case.yaml expands to more than 1048576 entries"),
        ("a: " + "x" * workspace.MAX_YAML_BYTES, "--case case.yaml is longer than 1048576 characters"),
    ],
)
def test_case_texts_past_their_bounds_are_refused(tmp_path, case, refusal):
    (tmp_path / "case.yaml").write_text(case)
    done = orvane("fingerprint", "--image", "img", "--case", "case.yaml", cwd=tmp_path)
    assert done.returncode == 2 and refusal in done.stderr


def test_shared_parts_of_a_yaml_file_within_bounds_stay_shared(sample_registry):
    with (sample_registry / "sample_aero" / "solver.yaml").open("a") as config:
        config.write(alias_bomb(4))
    shared = solver.get_solver_config("sample_aero")["l4"]
    assert len(shared) == 9 and all(part is shared[0] for part in shared)


# --- solvers that misbehave --------------------------------------------------------------------


def test_output_past_the_cap_stops_the_solver(sample_product, sample_registry, monkeypatch):
    monkeypatch.setattr(solver_run, "_MAX_OUTPUT_BYTES", 100_000)
    write_solver(sample_registry, "chatty", "cat > /dev/null; yes 'x' | head -c 10000000; echo '{}'")
    result = Product(sample_product).simulate(domain="thermal")
    assert (result["status"], result["error"]) == (
        "error",
        "solver 'chatty' printed more than 100000 bytes on standard output and was stopped",
    )
    # The failed run is on record all the same.
    assert run_records.list_runs(sample_product)[0]["run_id"] == result["run_id"]


def test_a_background_child_holding_the_output_does_not_hold_the_run(sample_product, sample_registry):
    write_solver(
        sample_registry, "daemon", 'cat > /dev/null; sleep 30 & echo \'{"status": "success", "t_max": 1}\'; exit 0'
    )
    started = time.monotonic()
    result = Product(sample_product).simulate(domain="thermal")
    assert result["status"] == "success" and result["t_max"] == 1
    assert time.monotonic() - started < 10


def test_a_time_out_kills_descendants_in_sessions_of_their_own(sample_product, sample_registry, tmp_path):
    pid_file = tmp_path / "escaped.pid"
    write_solver(
        sample_registry,
        "escaper",
        f"setsid bash -c 'echo $$ > {pid_file}; exec sleep 60' < /dev/null > /dev/null 2>&1 & sleep 30",
        timeout=1,
    )
    result = Product(sample_product).simulate(domain="thermal")
    assert result["error"] == "solver 'escaper' did not finish within 1 s"
    escaped = int(pid_file.read_text())
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.kill(escaped, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        os.kill(escaped, signal.SIGKILL)
        pytest.fail("the escaped grandchild survived the time-out")


def test_error_output_that_is_not_utf8_is_reported(sample_product, sample_registry):
    write_solver(sample_registry, "latin", "printf 'caf\\xe9 failed' >&2; exit 2")
    result = Product(sample_product).simulate(domain="thermal")
    assert result["error"] == "solver 'latin' exited with status 2: caf\ufffd failed"


# --- layers -------------------------------------------------------------------------------


def test_only_stale_save_files_of_a_layer_are_removed(sample_product, sample_registry):
    layers = sample_product.parent / "layers"
    stale = layers / "prototype.Ab3dEf"
    stale.write_text("#usda 1.0\n(")
    stale.chmod(0o640)
    kept = layers / "prototype.backup"
    kept.write_text("#usda 1.0\n")
    kept.chmod(0o644)
    product_twin.write_domain_results(sample_product, "aero", KPIS)
    assert not stale.exists() and kept.exists()
