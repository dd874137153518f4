"""The file-backed solver registry over real YAML folders."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

from orvane_platform.core import solver
from tests.support import SAMPLE_SOLVERS


def visible(folder: Path) -> list[str]:
    """The entries of a folder that are not hidden (locks, entries being swapped)."""
    return sorted(name for name in os.listdir(folder) if not name.startswith("."))


def write_solver(root: Path, alias: str, config: str, kpi_spec: str | None = None) -> Path:
    folder = root / alias
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "solver.yaml").write_text(config)
    if kpi_spec is not None:
        (folder / "kpi_spec.yaml").write_text(kpi_spec)
    return folder


@pytest.fixture
def registry(tmp_path, monkeypatch) -> Path:
    root = tmp_path / "registry"
    root.mkdir()
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(root))
    return root


def test_registry_folder_defaults_to_the_platform_home(isolated_home):
    assert solver.registry_dir() == isolated_home / "solvers"
    assert solver.all_solver_aliases() == []


def test_sample_registry(sample_registry):
    assert solver.registry_dir() == sample_registry
    assert solver.all_solver_aliases() == ["openfoam_ahmed", "sample_aero", "sample_dynamics"]
    config = solver.get_solver_config("sample_aero")
    assert config["kpi_spec"]["kpis"] == ["cd", "cl", "cm_pitch"]
    assert config["compute"]["requirements"]["min_ram_mb"] == 512
    assert config["overrides"] == {"reject": ["mesh_resolution"], "accept": ["iterations", "speed_kmh"]}
    assert sorted(solver.get_solver_tests("sample_dynamics")) == ["skidpad", "step_steer"]


def test_domain_schemas_of_the_sample(sample_registry):
    schemas = solver.get_domain_schemas()
    assert list(schemas) == ["aero", "dynamics"]
    aero = solver.get_domain_schema("aero")
    assert aero == schemas["aero"]
    assert aero["history_prefix"] == "domain=aero"
    assert aero["source_prefix"] == "simulation:aero"
    assert aero["extra_metadata"] == ["iterations", "wall_clock_seconds"]
    # Both aero solvers, in registry order.
    assert aero["solvers"] == ["openfoam_ahmed", "sample_aero"]
    assert list(aero["kpis"]) == ["cd", "cl", "cm_pitch"]
    assert aero["kpis"]["cd"] == {
        "usd_attr": "orvane:current:cd",
        "unit": "-",
        "direction": "minimize",
        "display_name": "Drag coefficient",
    }
    assert schemas["dynamics"]["kpis"]["lateral_g"]["direction"] == "maximize"


def test_schema_members_get_defaults(registry):
    write_solver(registry, "bare", "name: bare\n", "domain: thermal\nkpis:\n  t_max:\n  flow: {unit: kg/s}\n")
    schema = solver.get_domain_schema("thermal")
    assert schema["history_prefix"] == "domain=thermal"
    assert schema["source_prefix"] == "thermal"
    assert schema["extra_metadata"] == []
    assert schema["kpis"]["t_max"] == {
        "usd_attr": "orvane:current:t_max",
        "unit": "",
        "direction": "neutral",
        "display_name": "t_max",
    }
    assert schema["kpis"]["flow"]["unit"] == "kg/s"


def test_domains_merge_over_solvers_in_registry_order(registry):
    write_solver(registry, "b_second", "{}", "domain: aero\nhistory_prefix: second\nkpis: {cd: {unit: b}, cl: {}}\n")
    write_solver(registry, "a_first", "{}", "domain: aero\nkpis: {cd: {unit: a}}\n")
    schema = solver.get_domain_schema("aero")
    assert schema["solvers"] == ["a_first", "b_second"]
    assert schema["kpis"]["cd"]["unit"] == "a"
    assert list(schema["kpis"]) == ["cd", "cl"]
    assert schema["history_prefix"] == "domain=aero"


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: solver.get_solver_config("nope"), None),
        (lambda: solver.get_solver_record("nope"), None),
        (lambda: solver.get_domain_schema("nope"), None),
        (lambda: solver.get_solver_inputs("nope"), {}),
        (lambda: solver.get_solver_tests("nope"), {}),
        (lambda: solver.resolve_test_preset("nope", "t"), (None, "Unknown solver 'nope'")),
        (lambda: solver.get_solver_config("../sample_aero"), None),
        (lambda: solver.get_solver_config(".hidden"), None),
        (lambda: solver.get_solver_config(""), None),
        (lambda: solver.get_kpi_display_name("unknown_kpi"), "unknown_kpi"),
    ],
)
def test_unknown_names_give_false_values(sample_registry, call, expected):
    assert call() == expected


def test_display_names(sample_registry):
    assert solver.get_kpi_display_name("roll_angle") == "Steady-state roll angle"


def test_results_are_copies(sample_registry):
    solver.get_solver_config("sample_aero")["kpi_spec"]["kpis"].append("x")
    solver.get_domain_schema("aero")["kpis"].clear()
    solver.get_solver_tests("sample_dynamics")["skidpad"]["inputs"]["radius_m"] = 1
    assert solver.get_solver_config("sample_aero")["kpi_spec"]["kpis"] == ["cd", "cl", "cm_pitch"]
    assert list(solver.get_domain_schema("aero")["kpis"]) == ["cd", "cl", "cm_pitch"]
    assert solver.get_solver_tests("sample_dynamics")["skidpad"]["inputs"]["radius_m"] == 40


def test_inputs_with_product_overrides(registry):
    write_solver(
        registry,
        "s",
        "inputs: {timesteps: {default: 100}, iterations: {default: 5}}\n"
        "products: {sedan: {inputs: {timesteps: {default: 50}, mesh: {default: fine}}}}\n",
    )
    assert solver.get_solver_inputs("s") == {"timesteps": {"default": 100}, "iterations": {"default": 5}}
    assert solver.get_solver_inputs("s", product_name="sedan") == {
        "timesteps": {"default": 50},
        "iterations": {"default": 5},
        "mesh": {"default": "fine"},
    }
    assert solver.get_solver_inputs("s", product_name="coupe") == solver.get_solver_inputs("s")


@pytest.mark.parametrize(
    ("test", "expected"),
    [
        ("skidpad", ({"manoeuvre": "skidpad", "radius_m": 40, "speed_kmh": 55}, None)),
        ("step_steer", ({"manoeuvre": "step_steer", "speed_kmh": 80, "steer_deg": 2.0}, None)),
        ("slalom", (None, "Unknown test 'slalom' for solver 'sample_dynamics'. Available: skidpad, step_steer")),
    ],
)
def test_resolve_test_preset(sample_registry, test, expected):
    assert solver.resolve_test_preset("sample_dynamics", test, product_name="sedan") == expected


def test_resolve_test_preset_refusals(registry):
    write_solver(registry, "plain", "name: plain\n")
    write_solver(registry, "loose", "inputs: {a: {}}\ntests: {t: {inputs: {a: 1, z: 2, y: 3}}}\n")
    assert solver.resolve_test_preset("plain", "t") == (None, "Solver 'plain' declares no tests")
    assert solver.resolve_test_preset("loose", "t") == (
        None,
        "Test 't' of solver 'loose' sets undeclared inputs: z, y",
    )


@pytest.mark.parametrize(
    ("file", "text", "message"),
    [
        ("solver.yaml", "name: [unclosed\n", "malformed YAML in .*solver.yaml"),
        ("solver.yaml", "- a list\n", "solver.yaml: expected a mapping at the top level, got list"),
        ("solver.yaml", "tests: [a, b]\n", "solver.yaml: 'tests' must be a mapping, got list"),
        ("kpi_spec.yaml", "domain: aero\nkpis: [cd]\n", "kpi_spec.yaml: 'kpis' must be a mapping"),
        ("kpi_spec.yaml", "domain: [aero]\n", "kpi_spec.yaml: 'domain' must be a string"),
        ("kpi_spec.yaml", "kpis: {cd: {unit: '}\n", "malformed YAML in .*kpi_spec.yaml"),
    ],
)
def test_malformed_files_raise_naming_the_file(sample_registry, file, text, message):
    (sample_registry / "sample_aero" / file).write_text(text)
    with pytest.raises(ValueError, match=message):
        solver.get_domain_schemas()
    with pytest.raises(ValueError, match=message):
        solver.get_solver_config("sample_aero")


@pytest.mark.parametrize(
    ("design", "message"),
    [
        ("3", "'design' must be a list of names or a mapping of names to bounds, got int"),
        ("[a, 3]", "'design' must list names, got 3"),
        ("{1: null}", "'design' must map names to bounds, got the key 1"),
        ("{a: [1, 2]}", "'design.a' must be a mapping of min, max or choices, or null, got list"),
        ("{a: {maximum: 3}}", "'design.a' has an unknown member 'maximum' \\(min, max or choices\\)"),
        ("{a: {min: low}}", "'design.a.min' must be a finite number, got 'low'"),
        ("{a: {max: true}}", "'design.a.max' must be a finite number, got True"),
        ("{a: {max: .nan}}", "'design.a.max' must be a finite number, got nan"),
        ("{a: {min: 5, max: 3.5}}", "'design.a' has its min 5 above its max 3.5"),
        ("{a: {choices: []}}", "'design.a.choices' must be a non-empty list of texts, got \\[\\]"),
        ("{a: {choices: [x], max: 3}}", "'design.a' has choices \\(texts\\) and min or max \\(numbers\\)"),
    ],
)
def test_a_malformed_design_is_refused_naming_the_file(registry, design, message):
    write_solver(registry, "aero", f"image: img\ndesign: {design}\n")
    with pytest.raises(ValueError, match="malformed solver file .*aero/solver.yaml: " + message):
        solver.get_solver_config("aero")


def test_edited_file_is_read_again(sample_registry):
    assert solver.get_solver_config("sample_aero")["version"] == "1.0.0"
    path = sample_registry / "sample_aero" / "solver.yaml"
    stat = path.stat()
    path.write_text(path.read_text().replace('version: "1.0.0"', 'version: "1.0.1"'))
    # Same size and modification time: the change of inode/ctime still counts.
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert solver.get_solver_config("sample_aero")["version"] == "1.0.1"
    path.unlink()
    assert solver.get_solver_config("sample_aero") is None


def test_unchanged_files_are_parsed_once(sample_registry, monkeypatch):
    solver.get_domain_schemas()
    calls = []
    original = yaml.safe_load
    monkeypatch.setattr(yaml, "safe_load", lambda stream: calls.append(stream) or original(stream))
    solver.get_domain_schemas()
    solver.get_solver_config("sample_aero")
    assert calls == []


def test_folders_that_are_not_solvers_are_ignored(sample_registry):
    (sample_registry / "notes").mkdir()
    (sample_registry / "README.txt").write_text("x")
    shutil.copytree(sample_registry / "sample_aero", sample_registry / ".sample_aero.staging")
    assert solver.all_solver_aliases() == ["openfoam_ahmed", "sample_aero", "sample_dynamics"]


def test_hand_made_entry_has_a_record_without_certificate(sample_registry):
    assert solver.get_solver_record("sample_aero") == {
        "alias": "sample_aero",
        "image": "orvane-samples/aero-estimate:1.0",
        "image_digest": "",
        "added_at": None,
        "cert": None,
    }


def test_register_solver_copies_files_and_writes_record(registry):
    cert = {"payload": "{}", "signature": "ab", "scheme": "hmac-sha256"}
    record = solver.register_solver("aero", SAMPLE_SOLVERS / "sample_aero", "img:1", image_digest="sha256:1", cert=cert)
    assert list(record) == ["alias", "image", "image_digest", "added_at", "cert"]
    assert record["alias"] == "aero" and record["cert"] == cert
    assert record["added_at"].endswith("+00:00")
    for name in ("solver.yaml", "kpi_spec.yaml"):
        assert (registry / "aero" / name).read_bytes() == (SAMPLE_SOLVERS / "sample_aero" / name).read_bytes()
    assert yaml.safe_load((registry / "aero" / "record.yaml").read_text()) == record
    assert solver.get_solver_record("aero") == record
    assert solver.get_domain_schema("aero")["solvers"] == ["aero"]
    assert visible(registry) == ["aero"]
    rows = solver.list_solvers()
    assert [row["alias"] for row in rows] == ["aero"]
    assert rows[0]["name"] == "Sample aero estimate" and rows[0]["domain"] == "aero"
    assert rows[0]["image"] == "img:1" and rows[0]["cert"] == cert and rows[0]["gpu"] is False


def test_register_solver_replaces_an_earlier_registration(registry, tmp_path):
    solver.register_solver("s", SAMPLE_SOLVERS / "sample_aero", "img:1")
    source = write_solver(tmp_path / "src", "s", "name: second\n")
    solver.register_solver("s", source, "img:2")
    assert solver.get_solver_config("s") == {"name": "second"}
    assert not (registry / "s" / "kpi_spec.yaml").exists()
    assert solver.get_solver_record("s")["image"] == "img:2"
    assert visible(registry) == ["s"]


@pytest.mark.parametrize(
    ("alias", "source", "error", "message"),
    [
        ("../x", "sample_aero", ValueError, "alias must be a single folder name"),
        ("", "sample_aero", ValueError, "alias must be a single folder name"),
        (".x", "sample_aero", ValueError, "must not start with '.'"),
        ("x", "missing", ValueError, "no solver.yaml in"),
        ("x", "malformed", ValueError, "malformed YAML in .*malformed/solver.yaml"),
        (3, "sample_aero", TypeError, "argument 'alias' must be str, not int"),
    ],
)
def test_register_solver_refusals_write_nothing(registry, tmp_path, alias, source, error, message):
    solver.register_solver("kept", SAMPLE_SOLVERS / "sample_aero", "img")
    write_solver(tmp_path, "malformed", "a: [b\n")
    before = sorted(os.listdir(registry))
    folder = SAMPLE_SOLVERS / source if source.startswith("sample") else tmp_path / source
    with pytest.raises(error, match=message):
        solver.register_solver(alias, folder, "img")
    assert sorted(os.listdir(registry)) == before


@pytest.mark.parametrize(
    ("function", "arguments", "message"),
    [
        ("register_solver", ("a", "b", None), "argument 'image' must be str, not None"),
        ("register_solver", ("a", "b", "i", 1), "argument 'image_digest' must be str"),
        ("register_solver", ("a", "b", "i", "", []), "argument 'cert' must be dict or None"),
        ("get_solver_config", (None,), "argument 'solver' must be str"),
        ("get_domain_schema", (1,), "argument 'domain' must be str"),
        ("get_solver_inputs", ("a", 1), "argument 'product_name' must be str"),
        ("resolve_test_preset", ("a", None), "argument 'test' must be str"),
    ],
)
def test_argument_types(registry, function, arguments, message):
    with pytest.raises(TypeError, match=message):
        getattr(solver, function)(*arguments)


# --- the kept snapshot sees every change -----------------------------------------------


@pytest.fixture(params=[True, False], ids=["inotify", "stat signatures"])
def watched(request, sample_registry, monkeypatch):
    monkeypatch.setattr(solver, "_USE_INOTIFY", request.param)
    solver.all_solver_aliases()  # the snapshot is taken
    return sample_registry


def test_a_hand_edit_of_the_same_size_within_the_second_is_seen(watched):
    path = watched / "sample_aero" / "solver.yaml"
    before = path.stat()
    assert solver.get_solver_config("sample_aero")["version"] == "1.0.0"
    path.write_text(path.read_text().replace('version: "1.0.0"', 'version: "1.0.9"'))
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert path.stat().st_size == before.st_size
    assert solver.get_solver_config("sample_aero")["version"] == "1.0.9"


def test_new_and_removed_solver_folders_are_seen(watched):
    shutil.copytree(watched / "sample_aero", watched / "copy")
    assert solver.all_solver_aliases() == ["copy", "openfoam_ahmed", "sample_aero", "sample_dynamics"]
    assert solver.get_domain_schema("aero")["solvers"] == ["copy", "openfoam_ahmed", "sample_aero"]
    shutil.rmtree(watched / "sample_dynamics")
    assert solver.all_solver_aliases() == ["copy", "openfoam_ahmed", "sample_aero"]
    assert solver.get_domain_schema("dynamics") is None


def test_a_registration_by_another_process_is_seen(watched):
    assert solver.get_solver_record("sample_aero")["cert"] is None
    code = (
        "from orvane_platform.core import solver; "
        f"solver.register_solver('sample_aero', {str(SAMPLE_SOLVERS / 'sample_aero')!r}, 'img:child')"
    )
    subprocess.run([sys.executable, "-c", code], check=True, env={**os.environ})
    assert solver.get_solver_record("sample_aero")["image"] == "img:child"


def test_a_registration_is_seen_by_the_next_lookup(watched):
    solver.register_solver("fresh", SAMPLE_SOLVERS / "sample_aero", "img:1")
    assert "fresh" in solver.all_solver_aliases()
    assert solver.get_kpi_display_name("cd") == "Drag coefficient"


def test_another_registry_folder_is_seen(watched, tmp_path, monkeypatch):
    other = tmp_path / "other"
    write_solver(other, "only", "name: only\n", "domain: thermal\nkpis: {t_max: {display_name: Peak}}\n")
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(other))
    assert solver.all_solver_aliases() == ["only"]
    assert solver.get_kpi_display_name("t_max") == "Peak"
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(watched))
    assert solver.get_kpi_display_name("t_max") == "t_max"


def test_threads_that_look_up_while_the_registry_moves_see_the_new_one(watched, tmp_path, monkeypatch):
    import threading

    other = tmp_path / "other"
    for index in range(20):  # enough files that reading them lets other threads in
        write_solver(other, f"s{index:02}", "name: s\n", "domain: thermal\nkpis: {t_max: {}}\n")
    assert solver.all_solver_aliases() != []  # the watched registry is the one kept
    monkeypatch.setenv("ORVANE_SOLVERS_DIR", str(other))
    seen: list[list[str]] = []
    threads = [threading.Thread(target=lambda: seen.append(sorted(solver.get_domain_schemas()))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == [["thermal"]] * 4


def test_answers_are_copies_the_caller_owns(watched):
    schemas = solver.get_domain_schemas()
    schemas["aero"]["kpis"].clear()
    solver.get_solver_config("sample_aero")["inputs"].clear()
    assert solver.get_domain_schemas()["aero"]["kpis"]
    assert solver.get_solver_config("sample_aero")["inputs"]
